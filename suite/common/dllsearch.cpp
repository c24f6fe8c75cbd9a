#include "dllsearch.h"

#include <windows.h>

#include <string>

namespace suite {

// Where SetDefaultDllDirectories is missing (Vista, 7 without KB2533623) the current
// folder is still taken out of the search, and each delay-loaded DLL is loaded here from
// the system folder by full path, so that the first call into it finds that module
// already loaded. The program's own folder stays first in that older search order for
// the DLLs the system loads by name on its own.
void RestrictDllSearch() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto setDirectories = reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDirectories && setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  ::SetDllDirectoryW(L"");
  wchar_t system[MAX_PATH] = {};
  const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  for (const wchar_t* const* dll = kDelayLoadedDlls; *dll; ++dll)
    ::LoadLibraryExW((std::wstring(system) + L"\\" + *dll).c_str(), nullptr,
                     LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace suite
