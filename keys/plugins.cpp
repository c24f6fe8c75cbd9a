#include "plugins.h"

#include <cwchar>

namespace {

template <typename F>
bool Find(HMODULE module, const char* name, F* out) {
  *out = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return *out != nullptr;
}

// A vendor's plug-in brings its own libraries beside it. Start-up restricted the search
// to the program's folder and the system's, so the plug-in's folder is searched for this
// load and its imports alone; PATH and the current folder stay out. The flags exist only
// where SetDefaultDllDirectories does (Vista and 7 without KB2533623 refuse them with
// ERROR_INVALID_PARAMETER); there the plug-in's folder takes the program's place at the
// head of the search, and PATH was never out of it.
HMODULE LoadBesideItsLibraries(const std::string& path) {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel && ::GetProcAddress(kernel, "SetDefaultDllDirectories"))
    return ::LoadLibraryExA(path.c_str(), nullptr,
                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  return ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

CPlugIns::~CPlugIns() = default;

std::string CPlugIns::PathInFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || name.empty() || name.size() >= MAX_PATH) return {};
  // Checked as the characters that the system will read the name as.
  const int n = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                                      static_cast<int>(name.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                        wide.data(), n);
  for (wchar_t c : wide)
    if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c)) return {};
  if (wide.find(L"..") != std::wstring::npos || wide.back() == L'.' || wide.back() == L' ')
    return {};
  return folder + "\\" + name;
}

BOOL CPlugIns::LoadPlugIn(const std::string& path) {
  UnloadPlugIn();
  m_hModule = LoadBesideItsLibraries(path);
  if (!m_hModule) return 0;
  // Every lookup runs, so the object never holds a mix of two libraries' entry points.
  bool all = Find(m_hModule, "TPP_Initialize", &m_pfnInitialize);
  all = Find(m_hModule, "TPP_Shutdown", &m_pfnShutdown) && all;
  all = Find(m_hModule, "TPP_GetKeyInfo", &m_pfnGetKeyInfo) && all;
  all = Find(m_hModule, "TPP_FreeBuffer", &m_pfnFreeBuffer) && all;
  all = Find(m_hModule, "TPP_GetVesion", &m_pfnGetVesion) && all;
  all = Find(m_hModule, "TPP_ShowVesion", &m_pfnShowVesion) && all;
  if (all) return 1;
  UnloadPlugIn();
  return 0;
}

void CPlugIns::UnloadPlugIn() {
  if (m_hModule) ::FreeLibrary(m_hModule);
  m_hModule = nullptr;
  m_pfnInitialize = nullptr;
  m_pfnShutdown = nullptr;
  m_pfnGetKeyInfo = nullptr;
  m_pfnFreeBuffer = nullptr;
  m_pfnGetVesion = nullptr;
  m_pfnShowVesion = nullptr;
}

DWORD CPlugIns::Initialize(HWND owner) const { return m_pfnInitialize(owner, 0); }

DWORD CPlugIns::GetKeyInfo(HWND owner, DWORD* count, TokenKeyRecord** records) const {
  return m_pfnGetKeyInfo(owner, count, records, 0);
}

void CPlugIns::FreeBuffer(HWND owner, TokenKeyRecord* records) const {
  m_pfnFreeBuffer(owner, records, 0);
}

void CPlugIns::Shutdown(HWND owner) const { m_pfnShutdown(owner, 0); }
