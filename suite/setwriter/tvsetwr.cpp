// The suite's elevated settings writer, an out-of-process COM server of class
// {4E8A1C37-90B2-4F6D-8C15-A3D27E6B0F92} (contracts/setwriter.h) started with
// administrator rights through the elevation moniker.
//
//   tvsetwr.exe /RegServer | /UnregServer   registers the class for this machine
//   tvsetwr.exe -Embedding                   started by COM for one client
//
// Because it writes as administrator, it writes nothing but the five self-decrypting
// options of section [VELVOX] of the suite's "policy.ini" (under the common
// application-data folder), with values of the forms the program itself writes, and only
// for a client that answered this instance's challenge: each call carries the challenge
// with its first 16 bytes replaced by the response of the deployment's shared transform.
// Every request and its answer (never a value) are appended to tvsetwr.log in the folder
// Norvane\TARVO-Pro\SetWriter under the common application-data folder. The server runs
// in the environment of the user who started it, so nothing it decides comes from
// there.
#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "contracts/authresponse.h"
#include "contracts/setwriter.h"
#include "contracts/sfxoptions.h"
#include "dllsearch.h"
#include "suite_common.h"

namespace {

constexpr ULONG kChallengeBytes = 32;
// A server that COM started but no client reached gives up after this long.
constexpr UINT kIdleMs = 30000;

LONG g_objects = 0;
LONG g_locks = 0;
bool g_everUsed = false;

// Below the common application-data folder.
constexpr const wchar_t* kJournalFolders[] = {L"Norvane", L"TARVO-Pro", L"SetWriter"};
constexpr wchar_t kJournalName[] = L"tvsetwr.log";
// A folder level the server makes: SYSTEM and administrators change it, users read it;
// nothing inherited from ProgramData, where users may create and own folders.
constexpr wchar_t kFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
// Characters of a caller's text kept in one journal field.
constexpr size_t kCallerTextLimit = 260;

bool EqualsIgnoreCase(const std::wstring& a, const wchar_t* b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

std::wstring CommonDataFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) return {};
  return folder;
}

// Where the system found what `h` is open on ("\\?\C:\..."); empty when it cannot tell.
std::wstring FinalPath(HANDLE h) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD n = ::GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()), 0);
  if (n >= path.size()) {
    path.resize(n + 1);
    n = ::GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()), 0);
  }
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  return path;
}

// True when `path` is a folder and no link (a reparse point: junction, symbolic link),
// making it with kFolderSecurity when it is missing.
bool PlainFolder(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (::CreateDirectoryW(path.c_str(), security)) return true;
    attributes = ::GetFileAttributesW(path.c_str());
  }
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The journal opened for appending, or INVALID_HANDLE_VALUE when anything on its way is
// a link: a user may have made one where ProgramData lets users create folders, and the
// server would then write with administrator rights wherever it points. Refused are a
// folder level or the file that is a reparse point, a file with another name (hard
// link), and a file that the system found elsewhere than named (a link made between
// the checks and the opening, or one the system does not show as a reparse point).
HANDLE OpenJournal() {
  const std::wstring root = CommonDataFolder();
  if (root.empty()) return INVALID_HANDLE_VALUE;
  HANDLE rootHandle =
      ::CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (rootHandle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  std::wstring expected = FinalPath(rootHandle);
  ::CloseHandle(rootHandle);
  if (expected.empty()) return INVALID_HANDLE_VALUE;

  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1,
                                                              &sd, nullptr))
    return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES security{sizeof security, sd, FALSE};
  std::wstring path = root;
  bool plain = true;
  for (const wchar_t* level : kJournalFolders) {
    path = path + L"\\" + level;
    expected = expected + L"\\" + level;
    if (!(plain = PlainFolder(path, &security))) break;
  }
  ::LocalFree(sd);
  if (!plain) return INVALID_HANDLE_VALUE;
  path = path + L"\\" + kJournalName;
  expected = expected + L"\\" + kJournalName;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
    return INVALID_HANDLE_VALUE;
  HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !EqualsIgnoreCase(FinalPath(h), expected.c_str())) {
    ::CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

void Journal(const std::string& line) {
  HANDLE h = OpenJournal();
  if (h == INVALID_HANDLE_VALUE) return;
  // One write per line: other servers may append at the same time.
  const std::string text = suite::TimeStamp() + " pid=" +
                           std::to_string(::GetCurrentProcessId()) + " " + line + "\r\n";
  DWORD put = 0;
  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
  ::CloseHandle(h);
}

// A text that the caller chose, fit for one journal line: what could end the line or
// reorder it on screen (C0 and C1 controls, DEL, Unicode's line and paragraph
// separators, bidirectional embeddings, overrides and isolates) becomes '?', and at
// most kCallerTextLimit characters are kept, "..." marking a cut.
std::string CallerText(const std::wstring& text) {
  std::wstring kept = text.substr(0, kCallerTextLimit);
  // A cut between the halves of a surrogate pair leaves no half behind.
  if (kept.size() < text.size() && !kept.empty() && kept.back() >= 0xD800 &&
      kept.back() <= 0xDBFF)
    kept.pop_back();
  for (wchar_t& c : kept)
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
        (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069))
      c = L'?';
  return suite::WideToUtf8(kept) + (kept.size() < text.size() ? "..." : "");
}

void QuitWhenUnused() {
  if (g_objects == 0 && g_locks == 0) ::PostQuitMessage(0);
}

std::wstring PolicyIniPath() {
  const std::wstring folder = CommonDataFolder();
  return folder.empty() ? folder : folder + L"\\Norvane\\TARVO-Pro\\policy.ini";
}

// A BSTR argument as text; false for another type or a text with an embedded zero.
bool TextArg(const VARIANT& v, std::wstring& out) {
  if (v.vt != VT_BSTR) return false;
  const UINT n = ::SysStringLen(v.bstrVal);
  out.assign(v.bstrVal ? v.bstrVal : L"", n);
  return out.find(L'\0') == std::wstring::npos;
}

bool IsSuitePolicyFile(const std::wstring& file) {
  const std::wstring allowed = PolicyIniPath();
  if (allowed.empty() || file.empty()) return false;
  wchar_t full[MAX_PATH] = {};
  const DWORD n = ::GetFullPathNameW(file.c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return false;
  return EqualsIgnoreCase(full, allowed.c_str());
}

// `v` as the system-code-page bytes that the file will hold, converted exactly: no
// best-fit character (U+00A5 would become a backslash) and no default character (a
// character outside the code page would become '?'), and reading back as `v`.
bool ExactCodePageBytes(const std::wstring& v, std::string* out) {
  out->clear();
  if (v.empty()) return true;
  if (v.size() > 64) return false;  // longer than any value of the five
  const UINT codePage = ::GetACP();
  // A UTF-8 code page has no best fit and takes neither argument.
  const bool utf8 = codePage == CP_UTF8;
  char bytes[256];
  BOOL usedDefault = FALSE;
  const int n = ::WideCharToMultiByte(codePage, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, v.data(),
                                      static_cast<int>(v.size()), bytes, sizeof bytes, nullptr,
                                      utf8 ? nullptr : &usedDefault);
  if (n <= 0 || usedDefault) return false;
  wchar_t back[256];
  const int m = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, n, back, 256);
  if (m != static_cast<int>(v.size()) || std::wmemcmp(back, v.data(), v.size()) != 0)
    return false;
  out->assign(bytes, static_cast<size_t>(n));
  return true;
}

// The option that `key` names; kNone for anything else.
sfxoptions::Option OptionOf(const std::wstring& key) {
  std::string narrow;
  for (wchar_t c : key) {
    if (c <= 0x20 || c >= 0x7F) return sfxoptions::Option::kNone;
    narrow += static_cast<char>(c);
  }
  return sfxoptions::OptionNamed(narrow);
}

class Writer final : public IDispatch {
 public:
  Writer() {
    ++g_objects;
    g_everUsed = true;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      ::SecureZeroMemory(expected_.data(), expected_.size());
      delete this;
      --g_objects;
      QuitWhenUnused();
    }
    return left;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!names || !ids || count != 1) return E_INVALIDARG;
    const std::wstring name = names[0];
    if (EqualsIgnoreCase(name, L"GetChallenge")) ids[0] = SWDISP_GET_CHALLENGE;
    else if (EqualsIgnoreCase(name, L"WriteProfileString")) ids[0] = SWDISP_WRITE_PROFILE_STRING;
    else if (EqualsIgnoreCase(name, L"FlushProfile")) ids[0] = SWDISP_FLUSH_PROFILE;
    else return DISP_E_UNKNOWNNAME;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (!params || params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    LONG rc;
    switch (id) {
      case SWDISP_GET_CHALLENGE: rc = GetChallenge(*params); break;
      case SWDISP_WRITE_PROFILE_STRING: rc = WriteEntry(*params); break;
      case SWDISP_FLUSH_PROFILE: rc = Flush(*params); break;
      default: return DISP_E_MEMBERNOTFOUND;
    }
    if (result) {
      ::VariantInit(result);
      result->vt = VT_I4;
      result->lVal = rc;
    }
    return S_OK;
  }

 private:
  LONG GetChallenge(const DISPPARAMS& p) {
    if (p.cArgs != 1 || p.rgvarg[0].vt != (VT_VARIANT | VT_BYREF) || !p.rgvarg[0].pvarVal)
      return Log("challenge refused: bad arguments", SWRES_BAD_ARGUMENTS);
    BYTE challenge[kChallengeBytes];
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, challenge, kChallengeBytes,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return Log("challenge failed: no random bytes", SWRES_WRITE_FAILED);
    // Only the answer is kept; a new challenge replaces the previous one.
    expected_.assign(challenge, challenge + kChallengeBytes);
    if (!ComputeAuthResponse(challenge, expected_.data())) {
      expected_.clear();
      return Log("challenge failed: no response", SWRES_WRITE_FAILED);
    }
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, kChallengeBytes);
    void* data = nullptr;
    if (!array || FAILED(::SafeArrayAccessData(array, &data))) {
      if (array) ::SafeArrayDestroy(array);
      expected_.clear();
      return Log("challenge failed: no memory", SWRES_WRITE_FAILED);
    }
    std::memcpy(data, challenge, kChallengeBytes);
    ::SafeArrayUnaccessData(array);
    VARIANT* out = p.rgvarg[0].pvarVal;
    ::VariantClear(out);
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = array;
    return Log("challenge bytes=" + std::to_string(kChallengeBytes), SWRES_OK);
  }

  bool Authenticated(const VARIANT& auth) const {
    if (expected_.empty() || auth.vt != (VT_ARRAY | VT_UI1) || !auth.parray ||
        ::SafeArrayGetDim(auth.parray) != 1 ||
        auth.parray->rgsabound[0].cElements != expected_.size())
      return false;
    const BYTE* data = nullptr;
    if (FAILED(::SafeArrayAccessData(auth.parray, (void**)&data))) return false;
    BYTE diff = 0;
    for (size_t i = 0; i < expected_.size(); ++i) diff |= data[i] ^ expected_[i];
    ::SafeArrayUnaccessData(auth.parray);
    return diff == 0;
  }

  LONG WriteEntry(const DISPPARAMS& p) {
    std::wstring section, key, value, file;
    // Arguments arrive last first: authentication, file, value, key, section.
    if (p.cArgs != 5 || !TextArg(p.rgvarg[4], section) || !TextArg(p.rgvarg[3], key) ||
        !TextArg(p.rgvarg[2], value) || !TextArg(p.rgvarg[1], file))
      return Log("write refused: bad arguments", SWRES_BAD_ARGUMENTS);
    const std::string what =
        "[" + CallerText(section) + "] " + CallerText(key) + " in " + CallerText(file);
    if (!Authenticated(p.rgvarg[0])) return Log("write refused: not authenticated " + what,
                                                SWRES_NOT_AUTHENTICATED);
    if (!IsSuitePolicyFile(file) || !AllowedEntry(section, key, value))
      return Log("write refused: not allowed " + what, SWRES_NOT_ALLOWED);
    if (!::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), file.c_str()))
      return Log("write failed " + what, SWRES_WRITE_FAILED);
    Written(OptionOf(key), value);
    return Log("write " + what, SWRES_OK);
  }

  // The program's rule, for the one save that this instance serves: EXTMODE comes before
  // EXTSTRING, and an extension is checked as in use unless this save has set EXTMODE to
  // 0. Once it stored an extension that could not name a file, EXTMODE 1 is refused for
  // the rest of the save.
  bool AllowedEntry(const std::wstring& section, const std::wstring& key,
                    const std::wstring& value) const {
    using sfxoptions::Option;
    const Option option = OptionOf(key);
    std::string bytes;
    if (!EqualsIgnoreCase(section, L"VELVOX") || option == Option::kNone ||
        !ExactCodePageBytes(value, &bytes) ||
        !sfxoptions::StorableValue(option, bytes, extModeWritten_ != 0))
      return false;
    return !(option == Option::kExtMode && bytes == "1" && idleExtensionWritten_);
  }

  void Written(sfxoptions::Option option, const std::wstring& value) {
    std::string bytes;
    ExactCodePageBytes(value, &bytes);
    if (option == sfxoptions::Option::kExtMode) extModeWritten_ = bytes == "1" ? 1 : 0;
    if (option == sfxoptions::Option::kExtString)
      idleExtensionWritten_ = !sfxoptions::StorableValue(option, bytes, true);
  }

  LONG Flush(const DISPPARAMS& p) {
    std::wstring file;
    if (p.cArgs != 2 || !TextArg(p.rgvarg[1], file))
      return Log("flush refused: bad arguments", SWRES_BAD_ARGUMENTS);
    const std::string what = CallerText(file);
    if (!Authenticated(p.rgvarg[0]))
      return Log("flush refused: not authenticated " + what, SWRES_NOT_AUTHENTICATED);
    if (!IsSuitePolicyFile(file)) return Log("flush refused: not allowed " + what, SWRES_NOT_ALLOWED);
    ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.c_str());
    return Log("flush " + what, SWRES_OK);
  }

  static LONG Log(const std::string& line, LONG rc) {
    Journal(line + " -> " + std::to_string(rc));
    return rc;
  }

  ~Writer() = default;

  ULONG refs_ = 1;
  std::vector<BYTE> expected_;
  int extModeWritten_ = -1;  // EXTMODE as this instance wrote it; -1 before it did
  bool idleExtensionWritten_ = false;
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Writer* w = new Writer();
    const HRESULT hr = w->QueryInterface(iid, out);
    w->Release();
    Journal(SUCCEEDED(hr) ? "instance" : "instance refused");
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
    } else {
      --g_locks;
      QuitWhenUnused();
    }
    return S_OK;
  }
};

std::wstring ClsidKey() {
  wchar_t clsid[40] = {};
  ::StringFromGUID2(kClsidSettingsWriter, clsid, 40);
  return std::wstring(L"Software\\Classes\\CLSID\\") + clsid;
}

bool SetString(HKEY root, const std::wstring& sub, const wchar_t* name, const std::wstring& v) {
  return ::RegSetKeyValueW(root, sub.c_str(), name, REG_SZ, v.c_str(),
                           static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

int Register() {
  wchar_t exe[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  const std::wstring key = ClsidKey();
  const DWORD one = 1;
  const bool ok =
      SetString(HKEY_LOCAL_MACHINE, key, nullptr, L"TARVO-Pro settings writer") &&
      SetString(HKEY_LOCAL_MACHINE, key + L"\\LocalServer32", nullptr,
                L"\"" + std::wstring(exe) + L"\"") &&
      // The elevation moniker starts only classes that ask for it, and names them in
      // its prompt.
      SetString(HKEY_LOCAL_MACHINE, key, L"LocalizedString",
                L"@" + std::wstring(exe) + L",-101") &&
      ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\Elevation").c_str(), L"Enabled",
                        REG_DWORD, &one, sizeof(one)) == ERROR_SUCCESS;
  return ok ? 0 : 1;
}

int Unregister() {
  const LONG rc = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClsidKey().c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? 0 : 1;
}

int Serve() {
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  static Factory factory;
  DWORD cookie = 0;
  // One client per server process: every save starts its own writer.
  if (FAILED(::CoRegisterClassObject(kClsidSettingsWriter, &factory, CLSCTX_LOCAL_SERVER,
                                     REGCLS_SINGLEUSE, &cookie))) {
    ::CoUninitialize();
    return 1;
  }
  ::SetTimer(nullptr, 0, kIdleMs, nullptr);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.hwnd == nullptr) {
      if (!g_everUsed || (g_objects == 0 && g_locks == 0)) break;
      continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  ::CoRevokeClassObject(cookie);
  ::CoUninitialize();
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  suite::RestrictDllSearch();
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return 1;
  const std::wstring arg = argc > 1 ? argv[1] : L"";
  ::LocalFree(argv);
  if (EqualsIgnoreCase(arg, L"/RegServer") || EqualsIgnoreCase(arg, L"-RegServer")) return Register();
  if (EqualsIgnoreCase(arg, L"/UnregServer") || EqualsIgnoreCase(arg, L"-UnregServer"))
    return Unregister();
  if (EqualsIgnoreCase(arg, L"-Embedding") || EqualsIgnoreCase(arg, L"/Embedding")) return Serve();
  return 1;
}
