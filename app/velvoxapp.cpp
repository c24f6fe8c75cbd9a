#include "velvoxapp.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include "constants.h"
#include "contracts/sfxoptions.h"
#include "contracts/tempfiles.h"
#include "mbcs.h"
#include "phasetrace.h"
#include "string_ids.h"
#include "velvoxdlg.h"

unsigned OsVersionCode = 0;

namespace {

int ReadIniInt(const char* section, const char* key, int def, const std::string& path) {
  // An empty path would make the profile functions read the Windows folder's win.ini.
  if (path.empty()) return def;
  return static_cast<int>(::GetPrivateProfileIntA(section, key, def, path.c_str()));
}

std::string ReadIniString(const char* section, const char* key, const char* def, DWORD size,
                          const std::string& path) {
  if (path.empty()) return def;
  std::string buf(size, '\0');
  DWORD n = ::GetPrivateProfileStringA(section, key, def, buf.data(), size, path.c_str());
  buf.resize(n);
  return buf;
}

std::string TrimBackslashes(std::string s, bool front) {
  while (!s.empty() && s.back() == '\\' && fw::ReverseFindBackslash(s) == s.size() - 1) s.pop_back();
  if (front)
    while (!s.empty() && s.front() == '\\') s.erase(0, 1);
  return s;
}

}  // namespace

CVelvoxApp* VxApp() { return static_cast<CVelvoxApp*>(fw::AfxGetApp()); }

CVelvoxApp::CVelvoxApp() : fw::CWinApp(IDS_APP_TITLE) {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  size_t slash = fw::ReverseFindBackslash(p);
  m_strModuleFolder = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  m_strExtString = VX_DEFAULT_EXTSTRING;
}

CVelvoxApp::~CVelvoxApp() = default;

void CVelvoxApp::OnExitProcess() {
  if (auto* dlg = dynamic_cast<CVelvoxDlg*>(m_pMainWnd)) dlg->DeleteTempFiles();
}

void CVelvoxApp::WinHelp(DWORD_PTR, UINT) {}

unsigned CVelvoxApp::GetOsVersionCode() {
  static const struct {
    DWORD major, minor;
    unsigned code;
  } kRows[] = {{5, 0, 500}, {5, 1, 501}, {6, 0, 600}, {6, 1, 601},
               {6, 2, 602}, {6, 3, 603}, {10, 0, 1000}};
  unsigned result = 0;
  for (const auto& row : kRows) {
    OSVERSIONINFOEXA vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
    vi.dwMajorVersion = row.major;
    vi.dwMinorVersion = row.minor;
    DWORDLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_EQUAL);
    if (::VerifyVersionInfoA(&vi, VER_MAJORVERSION | VER_MINORVERSION, mask)) result = row.code;
  }
  return result;
}

BOOL CVelvoxApp::QueryTokenRestricted(BOOL* flag) {
  if (!flag) return 0;
  BOOL result = 0;
  HANDLE token = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenHasRestrictions, nullptr, 0, &size);
    DWORD err = ::GetLastError();
    if (err == ERROR_INSUFFICIENT_BUFFER || err == ERROR_BAD_LENGTH) {
      void* buf = ::HeapAlloc(::GetProcessHeap(), 0, size);
      if (buf) {
        if (::GetTokenInformation(token, TokenHasRestrictions, buf, size, &size)) {
          *flag = *static_cast<DWORD*>(buf) != 0 ? 1 : 0;
          result = 1;
        }
        ::HeapFree(::GetProcessHeap(), 0, buf);
      }
    }
    ::CloseHandle(token);
  }
  return result;
}

BOOL CVelvoxApp::InitInstance() {
  // Before anything can load a library by name: velvox is often started in the folder of
  // the files it is given, where anyone may have left a DLL.
  fw::AfxRestrictLibrarySearch();
  RemoveStaleTempFiles();
  LoadConfiguration();
  {
    CVelvoxDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    vxtrace::Mark("dialog-ended");
    m_pMainWnd = nullptr;
  }
  vxtrace::Mark("exiting");
  return FALSE;
}

void CVelvoxApp::LoadConfiguration() {
  OsVersionCode = GetOsVersionCode();

  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&icc);
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  m_bTokenRestricted = 1;
  QueryTokenRestricted(&m_bTokenRestricted);

  std::string lang = fw::LoadStr(IDS_LANGUAGE);
  m_nLanguage = lang == VX_LANG_JAPANESE ? 0 : lang == VX_LANG_ENGLISH ? 1 : 0;

  m_strPolicyIni.clear();
  if (OsVersionCode >= 600) {
    char folder[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE))
      m_strPolicyIni = fw::Sprintf("%s%s\\%s", folder, VX_SUITE_FOLDER, VX_POLICY_INI);
  } else {
    m_strPolicyIni = fw::Sprintf("%s%s", m_strModuleFolder.c_str(), VX_POLICY_INI);
  }
  LoadPolicySettings(m_strPolicyIni);

  m_strMediaIni.clear();
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, VX_REG_KVRFLT, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (::RegQueryValueExA(key, VX_REG_MEDIA, nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                           &size) == ERROR_SUCCESS) {
      value[MAX_PATH - 1] = '\0';
      m_strMediaIni = value;
    }
    ::RegCloseKey(key);
  }
  if (m_strMediaIni.empty()) {
    char sys[MAX_PATH] = {};
    ::GetSystemDirectoryA(sys, MAX_PATH);
    m_strMediaIni = fw::Sprintf("%s\\%s", sys, VX_MEDIA_INI);
  }
  LoadMediaSettings(m_strMediaIni);

  m_strPlugInFolder = fw::Sprintf("%s%s", m_strModuleFolder.c_str(), VX_PLUGIN_FOLDER);
  if (OsVersionCode < 600) ::CreateDirectoryA(m_strPlugInFolder.c_str(), nullptr);

  LoadLastKeyName();
}

void CVelvoxApp::LoadPolicySettings(const std::string& path) {
  m_nUseTempList = ReadIniInt(VX_SECTION_OPTION, VX_KEY_USETEMPLIST, 0, path);
  m_nLastKeyName = ReadIniInt(VX_SECTION_OPTION, VX_KEY_LASTKEYNAME, 0, path);
  m_nKeyInDisable = ReadIniInt(VX_SECTION_OPTION, VX_KEY_KEYINDISABLE, 0, path);
  m_nUseToken = ReadIniInt(VX_SECTION_OPTION, VX_KEY_USETOKEN, 0, path);
  m_strPlugInName = ReadIniString(VX_SECTION_OPTION, VX_KEY_PLUGINNAME, "", MAX_PATH, path);

  m_nPwRetryList = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_PWRETRYLIST, 0, path);
  m_nPwRetryMode = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_PWRETRYMODE, 0, path);
  m_nExtMode = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_EXTMODE, 0, path);
  m_nPwRetryMax = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_PWRETRYMAX, 5, path);
  if (m_nPwRetryMax < 0 || m_nPwRetryMax > sfxoptions::kRetryMaxHighest)
    m_nPwRetryMax = sfxoptions::kRetryMaxHighest;
  if (m_nPwRetryMax < sfxoptions::kRetryMaxLowest) m_nPwRetryMax = sfxoptions::kRetryMaxLowest;
  m_nPwMinLen = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_PWLEN, 1, path);
  if (m_nPwMinLen > 32) m_nPwMinLen = 32;
  m_strExtString =
      ReadIniString(VX_SECTION_VELVOX, VX_KEY_EXTSTRING, VX_DEFAULT_EXTSTRING, MAX_PATH, path);
  m_strExtString = fw::CutAtCharBoundary(m_strExtString, 3);
  m_nSelfExtract = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_SELFEXTRACT, 0, path);
  m_nSelfExtLang = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_SELFEXTLANG, m_nLanguage, path);
  m_nPwRetry = ReadIniInt(VX_SECTION_VELVOX, VX_KEY_PWRETRY, 1, path);
}

void CVelvoxApp::LoadMediaSettings(const std::string& path) {
  m_nRemovable = ReadIniInt(VX_SECTION_MEDIA, VX_KEY_REMOVABLE, 0, path);
  m_nDisableArchive = ReadIniInt(VX_SECTION_MEDIASETTING, VX_KEY_DISABLEARCHIVE, 0, path);
  m_strMediaKeyName = ReadIniString(VX_SECTION_MEDIASETTING, VX_KEY_KEYNAME, "", 33, path);
}

void CVelvoxApp::LoadLastKeyName() {
  if (m_nLastKeyName == 0) return;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, VX_REG_USER_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    m_strLastKeyName.clear();
    return;
  }
  char buf[33] = {};
  DWORD size = sizeof buf;
  LONG r = ::RegQueryValueExA(key, VX_REG_LASTKEYNAME, nullptr, nullptr,
                              reinterpret_cast<BYTE*>(buf), &size);
  ::RegCloseKey(key);
  if (r != ERROR_SUCCESS) {
    m_strLastKeyName.clear();
    return;
  }
  buf[sizeof buf - 1] = '\0';
  if (buf[0]) m_strLastKeyName = buf;
}

void CVelvoxApp::SaveLastKeyName() {
  if (m_nLastKeyName == 0) return;
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, VX_REG_USER_KEY, 0, const_cast<char*>(""),
                        REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
    return;
  char buf[33] = {};
  lstrcpynA(buf, m_strLastKeyName.c_str(), sizeof buf);
  ::RegSetValueExA(key, VX_REG_LASTKEYNAME, 0, REG_SZ, reinterpret_cast<const BYTE*>(buf),
                   sizeof buf);
  ::RegCloseKey(key);
}

BOOL CVelvoxApp::PrepareKeyListFile() {
  std::string folder;
  BOOL ok = FALSE;
  for (int attempt = 0; attempt < 10 && !ok; ++attempt) {
    char buf[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathA(nullptr, buf, CSIDL_APPDATA, FALSE)) {
      folder = fw::Sprintf("%s%s", TrimBackslashes(buf, false).c_str(), VX_SUITE_FOLDER);
      DWORD attr = ::GetFileAttributesA(folder.c_str());
      // "Norvane" is missing too on a fresh profile: every missing level is made.
      ok = (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) ||
           ::SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr) == ERROR_SUCCESS;
    }
    if (!ok) ::Sleep(m_nFolderRetryWait);
  }
  // Without a folder the path stays empty: "\tarvokey.dat" would land in the root of
  // the current drive.
  m_strKeyListFile.clear();
  if (!folder.empty()) m_strKeyListFile = fw::Sprintf("%s\\%s", folder.c_str(), VX_KEYLIST_FILE);
  return ok;
}

BOOL CVelvoxApp::LoadTemplateFolder() {
  char buf[MAX_PATH] = {};
  BOOL answer = ::SHGetSpecialFolderPathA(nullptr, buf, CSIDL_COMMON_APPDATA, FALSE);
  for (int retry = 0; answer == 0 && retry < 10; ++retry) {
    ::Sleep(m_nFolderRetryWait);
    answer = ::SHGetSpecialFolderPathA(nullptr, buf, CSIDL_COMMON_APPDATA, FALSE);
  }
  std::string folder = fw::Sprintf("%s%s\\", TrimBackslashes(buf, true).c_str(), VX_SUITE_FOLDER);
  std::string policy = folder + VX_POLICY_INI;
  char tmpl[MAX_PATH] = {};
  ::GetPrivateProfileStringA(VX_SECTION_OPTION, VX_KEY_TEMPLATEPATH, "", tmpl, MAX_PATH,
                             policy.c_str());
  m_strTemplateFolder = tmpl;
  if (m_strTemplateFolder.empty())
    m_strTemplateFolder = fw::Sprintf("%s%s", folder.c_str(), VX_TEMPLATE_FOLDER);
  return answer == 1;
}

BOOL CVelvoxApp::WriteKeyListFile(const std::vector<std::string>& names) {
  if (m_strKeyListFile.empty()) return 0;
  HANDLE f = ::CreateFileA(m_strKeyListFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  for (const std::string& name : names) {
    std::string line = name + "\n";
    DWORD written = 0;
    if (!::WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size()) {
      ::CloseHandle(f);
      return 0;
    }
  }
  ::CloseHandle(f);
  return 1;
}
