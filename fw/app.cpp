#include "app.h"

#include <vector>

namespace fw {

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp(UINT titleId) : m_nTitleId(titleId) {
  g_app = this;
  m_hInstance = ::GetModuleHandleA(nullptr);
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return FALSE; }
int CWinApp::ExitInstance() { return 0; }
void CWinApp::WinHelp(DWORD_PTR, UINT) {}
void CWinApp::OnExitProcess() {}

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetResourceHandle() {
  return g_app ? g_app->m_hInstance : ::GetModuleHandleA(nullptr);
}

std::wstring LoadStrW(UINT id) {
  const wchar_t* p = nullptr;
  int n = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&p), 0);
  if (n <= 0 || !p) return {};
  return std::wstring(p, static_cast<size_t>(n));
}

std::string LoadStr(UINT id) {
  // The table holds UTF-16; read it wide and convert, so double-byte text keeps its
  // exact bytes and length in the system code page.
  const std::wstring w = LoadStrW(id);
  if (w.empty()) return {};
  const int n = static_cast<int>(w.size());
  int len = ::WideCharToMultiByte(CP_ACP, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(len), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, w.data(), n, s.data(), len, nullptr, nullptr);
  return s;
}

namespace {

const wchar_t* AfterProgramName(const wchar_t* p) {
  // The same split as the runtime's: a quoted or unquoted program name, then blanks.
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

}  // namespace

std::wstring RawCommandLineArgsW() { return AfterProgramName(::GetCommandLineW()); }

HWND AfxGetSafeOwner(CWnd* parent) {
  if (parent && parent->m_hWnd) return parent->m_hWnd;
  if (g_app && g_app->m_pMainWnd && g_app->m_pMainWnd->m_hWnd &&
      ::IsWindow(g_app->m_pMainWnd->m_hWnd))
    return ::GetLastActivePopup(g_app->m_pMainWnd->m_hWnd);
  return nullptr;
}

void AfxExitProcess(UINT code) {
  if (g_app) {
    try {
      g_app->OnExitProcess();
    } catch (...) {
    }
  }
  ::ExitProcess(code);
}

int AfxMessageBox(const std::string& text, UINT type) {
  HWND owner = AfxGetSafeOwner();
  std::string caption = g_app ? LoadStr(g_app->m_nTitleId) : std::string();
  return ::MessageBoxA(owner, text.c_str(), caption.c_str(), type);
}

int AfxMessageBox(const std::wstring& text, UINT type) {
  HWND owner = AfxGetSafeOwner();
  std::wstring caption = g_app ? LoadStrW(g_app->m_nTitleId) : std::wstring();
  return ::MessageBoxW(owner, text.c_str(), caption.c_str(), type);
}

int AfxMessageBox(UINT id, UINT type) { return AfxMessageBox(LoadStr(id), type); }

int AfxWinMain(HINSTANCE instance) {
  CWinApp* app = AfxGetApp();
  if (!app) return 1;
  app->m_hInstance = instance;
  int code = 0;
  try {
    if (!app->InitInstance()) code = app->ExitInstance();
  } catch (...) {
    code = 1;
  }
  return code;
}

HMODULE AfxLoadProgramLibrary(const char* name) {
  if (!name || !*name) return nullptr;
  // Wide throughout, so that a program folder outside the code page is still found.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return nullptr;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return nullptr;
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return nullptr;
  path.resize(slash + 1);
  const int wn = ::MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (wn <= 1) return nullptr;
  std::wstring file(static_cast<size_t>(wn), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, name, -1, file.data(), wn);
  file.resize(static_cast<size_t>(wn) - 1);
  if (file.find_first_of(L"\\/:") != std::wstring::npos) return nullptr;
  return ::LoadLibraryW((path + file).c_str());
}

void AfxRestrictLibrarySearch() {
  // Systems without SetDefaultDllDirectories (Vista, 7 without KB2533623) still lose the
  // current folder; PATH then stays in their search order, which is why the program's
  // own libraries are never loaded by name.
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto setDirectories = reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDirectories)
    setDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetDllDirectoryA("");
}

}  // namespace fw
