// A DLL that only records that it was loaded (into the file named by TV_PLANTED_MARK):
// the self-decrypting tests plant copies of it beside a self-decrypting file under the
// names of system DLLs. Its one export lets another library import it by its own name.
#include <windows.h>

__declspec(dllexport) void TvPlanted(void) {}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("TV_PLANTED_MARK", path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    }
  }
  return TRUE;
}
