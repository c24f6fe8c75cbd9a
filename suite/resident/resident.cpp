// tvresident.exe, the suite's resident window: a hidden top-level dialog of class
// "#32770" titled "tarvo". Every WM_COPYDATA it receives carries a key name that a user
// has just proven; it appends the name as one line to its record file and answers TRUE.
// WM_CLOSE ends it.
//
//   tvresident.exe [--log FILE]
//
// The record file defaults to %APPDATA%\Norvane\TARVO-Pro\resident.log. A message
// whose data is not a zero-terminated name of at most 127 bytes is answered FALSE and
// not recorded.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "contracts/tvxdrv.h"

namespace {

std::string g_logPath;

std::string DefaultLogPath() {
  char buf[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf)))
    return {};
  std::string folder = std::string(buf) + "\\Norvane";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  folder += "\\TARVO-Pro";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  return folder + "\\resident.log";
}

BOOL RecordName(const COPYDATASTRUCT* cds) {
  if (!cds || !cds->lpData || cds->cbData == 0 || cds->cbData > 128) return FALSE;
  const char* data = static_cast<const char*>(cds->lpData);
  const size_t length = ::strnlen(data, cds->cbData);
  if (length == cds->cbData) return FALSE;  // no terminating zero inside the data
  std::string line(data, length);
  line += "\r\n";
  HANDLE f = ::CreateFileA(g_logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return FALSE;
  DWORD put = 0;
  BOOL ok = ::WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &put, nullptr) &&
            put == line.size();
  ::CloseHandle(f);
  return ok;
}

INT_PTR CALLBACK ResidentProc(HWND hwnd, UINT msg, WPARAM, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      return FALSE;
    case WM_COPYDATA:
      ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT,
                          RecordName(reinterpret_cast<const COPYDATASTRUCT*>(lParam)));
      return TRUE;
    case WM_CLOSE:
      ::DestroyWindow(hwnd);
      return TRUE;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  for (int i = 1; argv && i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"--log") == 0) {
      int n = ::WideCharToMultiByte(CP_ACP, 0, argv[i + 1], -1, nullptr, 0, nullptr, nullptr);
      std::string path(static_cast<size_t>(n > 0 ? n : 1), '\0');
      ::WideCharToMultiByte(CP_ACP, 0, argv[i + 1], -1, path.data(), n, nullptr, nullptr);
      path.resize(std::strlen(path.c_str()));
      g_logPath = path;
      ++i;
    }
  }
  if (argv) ::LocalFree(argv);
  if (g_logPath.empty()) g_logPath = DefaultLogPath();
  if (g_logPath.empty()) return 2;

  // One resident window per session: a second start leaves the first one in charge.
  if (::FindWindowA(TVRESIDENT_CLASS, TVRESIDENT_TITLE)) return 3;
  HWND dlg = ::CreateDialogParamA(instance, MAKEINTRESOURCEA(1), nullptr, ResidentProc, 0);
  if (!dlg) return 1;
  MSG m;
  while (::GetMessageA(&m, nullptr, 0, 0) > 0) {
    if (!::IsDialogMessageA(dlg, &m)) {
      ::TranslateMessage(&m);
      ::DispatchMessageA(&m);
    }
  }
  return 0;
}
