#include "installed.h"

#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "contracts/authresponse.h"
#include "contracts/guard.h"
#include "contracts/tvdev.h"
#include "dialogs_ids.h"
#include "keys_ids.h"
#include "resource.h"
#include "testfiles.h"
#include "uidriver.h"
#include "vxshell.h"

namespace vxinst {

using vxtest::Acp;


const char kUninstallKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TARVO-Pro velvox";
const char kAppPathKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\velvox.exe";
const char kGuardKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5D2C8E41-7A03-4F6B-9E15-2C7B40A9D3E8}";
const char kMailAddOnKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{A3E91F07-4C2D-4B88-8F6A-71D05E3C92B4}";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kWriterClsidKey[] =
    "Software\\Classes\\CLSID\\{4E8A1C37-90B2-4F6D-8C15-A3D27E6B0F92}";
const char kShellClsidKey[] = "Software\\Classes\\CLSID\\" VXSHELL_CLSID_TEXT;
const char kFileVerb[] = "Software\\Classes\\*\\shell\\velvox.encrypt";
const char kFolderVerb[] = "Software\\Classes\\Directory\\shell\\velvox.encrypt";

namespace {

const char* const kProgramFiles[] = {
    "velvox.exe",  "vxshell.dll",  "tarvodev.dll", "Zoras.dll",   "tvkeyadm.exe",
    "tvxdrv.dll",  "tvresident.exe", "KvrGrd.dll", "tglogsvc.exe", "TCTrace.dll",
    "tgexplog.dll", "tcexplog.dll", "tvsetwr.exe", "tvtokadm.exe", "PlugIns\\tvtoken.dll"};

}  // namespace

std::string Folder(int csidl) {
  char path[MAX_PATH] = {};
  EXPECT_EQ(S_OK, ::SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path));
  return path;
}
std::string InstallDir() { return Folder(CSIDL_PROGRAM_FILES) + "\\Norvane\\TARVO-Pro"; }
std::string DataDir() { return Folder(CSIDL_COMMON_APPDATA) + "\\Norvane\\TARVO-Pro"; }
std::string MenuDir() { return Folder(CSIDL_COMMON_PROGRAMS) + "\\TARVO-Pro velvox"; }
std::string Velvox() { return InstallDir() + "\\velvox.exe"; }

bool Exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool KeyExists(HKEY root, const std::string& key) {
  HKEY h = nullptr;
  if (::RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &h) != ERROR_SUCCESS)
    return false;
  ::RegCloseKey(h);
  return true;
}

// The value's text, or "<missing>".
std::string RegText(HKEY root, const std::string& key, const char* value) {
  char buf[1024] = {};
  DWORD size = sizeof(buf);
  if (::RegGetValueA(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, buf,
                     &size) != ERROR_SUCCESS)
    return "<missing>";
  return buf;
}

DWORD RegNumber(HKEY root, const std::string& key, const char* value) {
  DWORD data = 0xFFFFFFFF, size = sizeof(data);
  ::RegGetValueA(root, key.c_str(), value, RRF_RT_REG_DWORD, nullptr,
                 &data, &size);
  return data;
}

std::string IniText(const std::string& file, const char* section, const char* key) {
  char buf[260] = {};
  ::GetPrivateProfileStringA(section, key, "<missing>", buf, sizeof(buf), file.c_str());
  return buf;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A string of a file's version resource, in its first translation.
std::string VersionString(const std::string& file, const char* name) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return "<no version resource>";
  std::vector<char> data(size);
  if (!::GetFileVersionInfoA(file.c_str(), 0, size, data.data())) return "<unreadable>";
  struct Translation { WORD lang, cp; }* tr = nullptr;
  UINT len = 0;
  if (!::VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&tr),
                        &len) || len < sizeof(*tr))
    return "<no translation>";
  char path[80];
  wsprintfA(path, "\\StringFileInfo\\%04x%04x\\%s", tr->lang, tr->cp, name);
  char* text = nullptr;
  if (!::VerQueryValueA(data.data(), path, reinterpret_cast<void**>(&text), &len) || !text)
    return "<missing>";
  return text;
}

ShortcutInfo ReadShortcut(const std::string& lnk) {
  ShortcutInfo info;
  IShellLinkA* link = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))))
    return info;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    wchar_t wide[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, lnk.c_str(), -1, wide, MAX_PATH);
    if (SUCCEEDED(file->Load(wide, STGM_READ))) {
      char buf[1024] = {};
      if (SUCCEEDED(link->GetPath(buf, MAX_PATH, nullptr, SLGP_RAWPATH))) info.target = buf;
      if (SUCCEEDED(link->GetArguments(buf, sizeof(buf)))) info.arguments = buf;
    }
    file->Release();
  }
  link->Release();
  return info;
}

std::string Upper(std::string s) {
  ::CharUpperBuffA(s.data(), static_cast<DWORD>(s.size()));
  return s;
}

namespace {

// A data object with a CF_HDROP of `paths`, as Explorer hands a selection to a verb's
// drop target.
class FileDrop final : public IDataObject {
 public:
  explicit FileDrop(const std::vector<std::string>& paths) {
    std::wstring list;
    for (const std::string& p : paths) {
      wchar_t wide[MAX_PATH] = {};
      ::MultiByteToWideChar(CP_ACP, 0, p.c_str(), -1, wide, MAX_PATH);
      list += wide;
      list += L'\0';
    }
    list += L'\0';
    bytes_.resize(sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
    auto* df = reinterpret_cast<DROPFILES*>(bytes_.data());
    df->pFiles = sizeof(DROPFILES);
    df->fWide = TRUE;
    memcpy(bytes_.data() + sizeof(DROPFILES), list.data(), list.size() * sizeof(wchar_t));
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDataObject) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetData(FORMATETC* fmt, STGMEDIUM* medium) override {
    if (QueryGetData(fmt) != S_OK) return DV_E_FORMATETC;
    HGLOBAL g = ::GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
    memcpy(::GlobalLock(g), bytes_.data(), bytes_.size());
    ::GlobalUnlock(g);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = g;
    medium->pUnkForRelease = nullptr;
    return S_OK;
  }
  STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP QueryGetData(FORMATETC* fmt) override {
    return fmt && fmt->cfFormat == CF_HDROP && (fmt->tymed & TYMED_HGLOBAL) ? S_OK
                                                                           : DV_E_FORMATETC;
  }
  STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
    out->ptd = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
    return OLE_E_ADVISENOTSUPPORTED;
  }
  STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

 private:
  std::vector<char> bytes_;
};

// A velvox.exe that the shell's entries started, once it shows its first window.
struct StartedVelvox {
  HANDLE process = nullptr;
  DWORD pid = 0;
  std::string image;              // the program file it runs
  std::vector<std::string> args;  // argv[1..], system code page
};

std::string Narrow(const std::wstring& w) {
  const int n = ::WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
  return s;
}

// The command line the process was started with, read from its own parameter block.
std::wstring CommandLineOf(HANDLE process) {
  PROCESS_BASIC_INFORMATION pbi{};
  if (::NtQueryInformationProcess(process, ProcessBasicInformation, &pbi, sizeof(pbi), nullptr) != 0)
    return {};
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS params{};
  if (!::ReadProcessMemory(process, pbi.PebBaseAddress, &peb, sizeof(peb), nullptr) ||
      !::ReadProcessMemory(process, peb.ProcessParameters, &params, sizeof(params), nullptr))
    return {};
  std::wstring line(params.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!::ReadProcessMemory(process, params.CommandLine.Buffer, line.data(),
                           params.CommandLine.Length, nullptr))
    return {};
  return line;
}

// Waits for the one velvox.exe process and its first window; fails the test when none
// or more than one appears.
StartedVelvox WaitForVelvox() {
  StartedVelvox v;
  const DWORD start = ::GetTickCount();
  std::vector<DWORD> pids;
  while (pids.empty() && ::GetTickCount() - start < vxtest::kDefaultWait) {
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof(pe);
    for (BOOL ok = ::Process32First(snap, &pe); ok; ok = ::Process32Next(snap, &pe))
      if (::lstrcmpiA(pe.szExeFile, "velvox.exe") == 0) pids.push_back(pe.th32ProcessID);
    ::CloseHandle(snap);
    if (pids.empty()) ::Sleep(20);
  }
  if (pids.size() != 1) {
    ADD_FAILURE() << pids.size() << " velvox processes";
    return v;
  }
  v.pid = pids.front();
  v.process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE |
                                SYNCHRONIZE, FALSE, v.pid);
  if (!v.process) {
    ADD_FAILURE() << "cannot open velvox " << v.pid;
    return v;
  }
  // Its first dialog: by then its parameters are all in place.
  vxtest::WaitForWindow("", "#32770", 30000, v.pid);
  char image[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (::QueryFullProcessImageNameA(v.process, 0, image, &size)) v.image = image;
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(CommandLineOf(v.process).c_str(), &argc);
  for (int i = 1; argv && i < argc; ++i) v.args.push_back(Narrow(argv[i]));
  ::LocalFree(argv);
  return v;
}

// Ends velvox where it waits for the user; no job has written anything yet.
void EndVelvox(StartedVelvox& v) {
  if (!v.process) return;
  ::TerminateProcess(v.process, 1);
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(v.process, vxtest::kDefaultWait));
  ::CloseHandle(v.process);
  v.process = nullptr;
}

// The encryption starts where a user continues: the save-as dialog, named after the
// first item. Ends velvox.exe either way.
void ExpectSaveAsNamedThenEnd(StartedVelvox& velvox, const std::string& name) {
  HWND save = vxtest::WaitForDialogWith(IDC_SAVE_SELF_DECRYPTING, velvox.pid);
  EXPECT_NE(nullptr, save);
  if (save) {
    EXPECT_EQ(name, vxtest::WindowText(vxtest::FileDialogNameField(save)));
  }
  EndVelvox(velvox);
}

int WINAPI NoProgress(DWORD, DWORD, DWORD, DWORD, DWORD) { return 0; }

// An .xss file made by the installed library under key "Sales", which an administrator
// adds to the installed store with the installed tool, not enabled: opening the file
// asks for the key's value.
void MakeArchive(const std::string& path) {
  vxtest::Process add = vxtest::Process::Start(
      "\"" + InstallDir() + "\\tvkeyadm.exe\" add Sales --alg aes --value secret --iterations 1000");
  ASSERT_EQ(0u, add.Wait(60000));
  const std::string plain = path + ".zip";
  WriteFileText(plain, "PK\x05\x06" + std::string(18, '\0'));
  HMODULE lib = ::LoadLibraryA((InstallDir() + "\\tarvodev.dll").c_str());
  ASSERT_NE(nullptr, lib);
  auto certify = reinterpret_cast<decltype(&TVDEV_CertifyKey)>(
      reinterpret_cast<void*>(::GetProcAddress(lib, "TVDEV_CertifyKey")));
  auto encrypt = reinterpret_cast<decltype(&TVDEV_EncryptArchive)>(
      reinterpret_cast<void*>(::GetProcAddress(lib, "TVDEV_EncryptArchive")));
  EXPECT_TRUE(certify && certify("Sales", "secret", 0));
  EXPECT_TRUE(encrypt && encrypt("Sales", plain.c_str(), path.c_str(), 0, nullptr, NoProgress,
                                 nullptr, 0, 0));
  // The uninstaller must find the library free.
  ::FreeLibrary(lib);
  ::DeleteFileA(plain.c_str());
}

}  // namespace

// The owner of `path` as the system reports it.
std::string OwnerOf(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  char* text = nullptr;
  std::string out = "<unreadable>";
  if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS &&
      ::ConvertSidToStringSidA(owner, &text)) {
    out = text;
    ::LocalFree(text);
  }
  ::LocalFree(sd);
  return out;
}

// Removes what earlier setups moved aside beside the data folder.
std::string NextAside() {
  const std::string norvane = Folder(CSIDL_COMMON_APPDATA) + "\\Norvane";
  for (int n = 1;; ++n) {
    const std::string aside = norvane + ".untrusted-" + std::to_string(n);
    if (!Exists(aside)) return aside;
  }
}

void RemoveMovedAside() {
  const std::string common = Folder(CSIDL_COMMON_APPDATA);
  WIN32_FIND_DATAA d;
  HANDLE find = ::FindFirstFileA((common + "\\Norvane.untrusted-*").c_str(), &d);
  if (find == INVALID_HANDLE_VALUE) return;
  do vxtest::RemoveTree(common + "\\" + d.cFileName);
  while (::FindNextFileA(find, &d));
  ::FindClose(find);
}

namespace {

// What Everyone may do to `path` by its list, read back. Wine keeps neither owners nor
// lists: it reports the prefix's user as owner and a list made from the Unix mode bits,
// in which Everyone stands for "others". That much of a list the setup sets shows here;
// owners and the protected flag are checked on the helper itself (datafolder_test).
DWORD EveryoneMay(const std::string& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return 0xFFFFFFFF;
  DWORD mask = dacl ? 0 : 0xFFFFFFFF;
  PSID everyone = nullptr;
  ::ConvertStringSidToSidA("S-1-1-0", &everyone);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
        ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        !(ace->Header.AceFlags & INHERIT_ONLY_ACE) &&
        ::EqualSid(everyone, reinterpret_cast<PSID>(&ace->SidStart)))
      mask |= ace->Mask;
  }
  ::LocalFree(everyone);
  ::LocalFree(sd);
  return mask;
}

// Registers `path` for this process with the installed guard client, authenticated as
// velvox is; the guard's answer.
DWORD GuardRegisters(HMODULE guard, const char* path) {
  auto getRnd = reinterpret_cast<PFN_TGDRV_GetRnd>(
      reinterpret_cast<void*>(::GetProcAddress(guard, "TGDRV_GetRnd")));
  auto auth = reinterpret_cast<PFN_TGDRV_Auth>(
      reinterpret_cast<void*>(::GetProcAddress(guard, "TGDRV_Auth")));
  auto add = reinterpret_cast<PFN_TGDRV_AddProcess>(
      reinterpret_cast<void*>(::GetProcAddress(guard, "TGDRV_AddProcess")));
  if (!getRnd || !auth || !add) return 0xFFFFFFFF;
  const TGDRV_BLOCK challenge = getRnd();
  TGDRV_BLOCK response{};
  if (!ComputeAuthResponse(challenge.bytes, response.bytes) || auth(response) != 0)
    return 0xFFFFFFFE;
  DWORD id = 0;
  return add(path, ::GetCurrentProcessId(), &id);
}

}  // namespace

void ExpectProgramFiles() {
  for (const char* f : kProgramFiles) EXPECT_TRUE(Exists(InstallDir() + "\\" + f)) << f;
}

void ExpectRegistrations(const std::string& menu) {

  const std::string dir = InstallDir();
  const std::string data = DataDir();
  const struct {
    std::string key;
    const char* value;  // nullptr: the key's default value
    std::string expected;
  } texts[] = {
      {kAppPathKey, nullptr, Velvox()},
      {kAppPathKey, "Path", dir},
      {std::string(kWriterClsidKey) + "\\LocalServer32", nullptr, "\"" + dir + "\\tvsetwr.exe\""},
      {std::string(kShellClsidKey) + "\\InprocServer32", nullptr, dir + "\\vxshell.dll"},
      {std::string(kShellClsidKey) + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
       VXSHELL_CLSID_TEXT, "velvox drop target"},
      // What Explorer shows, in the system code page.
      {kFileVerb, nullptr, Acp(u8"velvox で暗号化(&V)")},
      {kFolderVerb, nullptr, Acp(u8"velvox で暗号化(&V)")},
      {"Software\\Classes\\velvox.xss", nullptr, Acp(u8"手動暗号ファイル")},
      {"Software\\Classes\\velvox.xss\\shell\\open", nullptr, Acp(u8"velvox で復号(&O)")},
      {kFileVerb, "MultiSelectModel", "Player"},
      {std::string(kFileVerb) + "\\DropTarget", "CLSID", VXSHELL_CLSID_TEXT},
      {std::string(kFileVerb) + "\\command", nullptr, "\"" + Velvox() + "\" \"%1\""},
      {kFolderVerb, "MultiSelectModel", "Player"},
      {std::string(kFolderVerb) + "\\DropTarget", "CLSID", VXSHELL_CLSID_TEXT},
      {std::string(kFolderVerb) + "\\command", nullptr, "\"" + Velvox() + "\" \"%1\""},
      {"Software\\Classes\\.xss", nullptr, "velvox.xss"},
      {"Software\\Classes\\velvox.xss\\DefaultIcon", nullptr, "\"" + Velvox() + "\",-128"},
      {"Software\\Classes\\velvox.xss\\shell\\open\\command", nullptr, "\"" + Velvox() + "\" \"%1\""},
      {kRunKey, "TARVO-Pro log service", "\"" + dir + "\\tglogsvc.exe\""},
      {kRunKey, "TARVO-Pro resident", "\"" + dir + "\\tvresident.exe\""},
      {"Software\\Norvane\\TARVO-Pro\\LogService", "TempLogFolder", data + "\\Log"},
      {"SYSTEM\\CurrentControlSet\\Services\\kvrflt", "Media", data + "\\kvrfltme.ini"},
  };
  for (const auto& t : texts) {
    std::string actual = RegText(HKEY_LOCAL_MACHINE, t.key, t.value);
    // A folder's path names the same folder with a trailing backslash (Windows
    // Installer's folder properties end in one).
    if (t.expected == dir && actual == dir + "\\") actual.pop_back();
    EXPECT_EQ(t.expected, actual) << t.key << " " << (t.value ? t.value : "(default)");
  }
  // The same through the merged view that the shell reads.
  EXPECT_EQ("velvox.xss", RegText(HKEY_CLASSES_ROOT, ".xss", nullptr));
  // The guard's version selects the log service's interface (5.1); the add-on counts as
  // installed when its key exists.
  EXPECT_EQ(0x05010000u, RegNumber(HKEY_LOCAL_MACHINE, kGuardKey, "Version"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kMailAddOnKey));

  // The key store, made by tvkeyadm, and the folders the suite's libraries write to from
  // the user's process. (Their rights cannot be read back here: Wine keeps no file
  // ACLs, it only maps a DACL to Unix mode bits.)
  EXPECT_TRUE(Exists(data + "\\keystore.dat"));
  for (const char* f : {"Log", "Guard", "LogService", "mediahook.log"})
    EXPECT_TRUE(Exists(data + "\\" + f)) << f;

  // Settings with their defaults.
  const std::string policy = data + "\\policy.ini";
  const struct {
    const char* section;
    const char* key;
    const char* value;
  } defaults[] = {{"OPTION", "USETEMPLIST", "0"}, {"OPTION", "LASTKEYNAME", "0"},
                  {"OPTION", "KEYINDISABLE", "0"}, {"OPTION", "USETOKEN", "0"},
                  {"OPTION", "PLUGINNAME", ""},    {"VELVOX", "PWRETRYLIST", "0"},
                  {"VELVOX", "PWRETRYMODE", "0"},  {"VELVOX", "EXTMODE", "0"},
                  {"VELVOX", "PWRETRYMAX", "5"},   {"VELVOX", "PWLEN", "1"},
                  {"VELVOX", "EXTSTRING", "ex_"},  {"VELVOX", "SELFEXTRACT", "0"},
                  {"VELVOX", "SELFEXTLANG", "0"},  {"VELVOX", "PWRETRY", "1"}};
  for (const auto& d : defaults)
    EXPECT_EQ(d.value, IniText(policy, d.section, d.key)) << d.section << " " << d.key;
  const std::string media = data + "\\kvrfltme.ini";
  EXPECT_EQ("0", IniText(media, "MEDIA", "REMOVABLE"));
  EXPECT_EQ("0", IniText(media, "MEDIASETTING", "DISABLEARCHIVE"));
  EXPECT_EQ("", IniText(media, "MEDIASETTING", "KEYNAME"));

  // Start menu: the key administration tool's help and the uninstaller.
  const ShortcutInfo help = ReadShortcut(menu + "\\" + Acp(u8"鍵管理ツール (tvkeyadm) のヘルプ.lnk"));
  EXPECT_EQ("CMD.EXE", Upper(help.target.substr(help.target.find_last_of('\\') + 1)));
  EXPECT_EQ("/k \"\"" + dir + "\\tvkeyadm.exe\" --help\"", help.arguments);
}

void ExpectFileEntryReachesSaveAs() {
  const std::string folder = "C:\\vx selection";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::vector<std::string> items = {folder + "\\one.txt", folder + "\\two.txt",
                                          folder + "\\sub"};
  WriteFileText(items[0], "one");
  WriteFileText(items[1], "two");
  ::CreateDirectoryA(items[2].c_str(), nullptr);

  CLSID clsid{};
  wchar_t text[64] = {};
  const std::string registered = RegText(HKEY_CLASSES_ROOT, "*\\shell\\velvox.encrypt\\DropTarget", "CLSID");
  ::MultiByteToWideChar(CP_ACP, 0, registered.c_str(), -1, text, 64);
  ASSERT_EQ(S_OK, ::CLSIDFromString(text, &clsid)) << registered;
  IDropTarget* target = nullptr;
  ASSERT_EQ(S_OK, ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDropTarget,
                                     reinterpret_cast<void**>(&target)));
  FileDrop drop(items);
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_LINK;
  EXPECT_EQ(S_OK, target->DragEnter(&drop, MK_LBUTTON, POINTL{0, 0}, &effect));
  EXPECT_EQ(static_cast<DWORD>(DROPEFFECT_COPY), effect);
  EXPECT_EQ(S_OK, target->Drop(&drop, 0, POINTL{0, 0}, &effect));
  EXPECT_EQ(static_cast<DWORD>(DROPEFFECT_COPY), effect);
  target->Release();
  // Explorer lets go of the DLL once it may unload; so does this process, which the
  // uninstaller would otherwise find holding the program folder.
  ::CoFreeUnusedLibrariesEx(0, 0);

  StartedVelvox velvox = WaitForVelvox();
  EXPECT_EQ(Upper(Velvox()), Upper(velvox.image));
  EXPECT_EQ(items, velvox.args);
  ExpectSaveAsNamedThenEnd(velvox, "one");
}

void ExpectFolderEntryReachesSaveAs() {
  const std::string folder = "C:\\vx folder";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  WriteFileText(folder + "\\report.txt", "report");
  std::string command = RegText(HKEY_CLASSES_ROOT, "Directory\\shell\\velvox.encrypt\\command", nullptr);
  const size_t at = command.find("%1");
  ASSERT_NE(std::string::npos, at) << command;
  command.replace(at, 2, folder);
  vxtest::Process started = vxtest::Process::Start(command);
  StartedVelvox velvox = WaitForVelvox();
  EXPECT_EQ(started.pid(), velvox.pid);
  EXPECT_EQ(Upper(Velvox()), Upper(velvox.image));
  EXPECT_EQ(std::vector<std::string>{folder}, velvox.args);
  ExpectSaveAsNamedThenEnd(velvox, "vx folder");
}

void ExpectXssReachesKeyDialog() {
  const std::string file = "C:\\vx folder\\report.xss";
  MakeArchive(file);
  const std::string progid = RegText(HKEY_CLASSES_ROOT, ".xss", nullptr);
  std::string command = RegText(HKEY_CLASSES_ROOT, progid + "\\shell\\open\\command", nullptr);
  const size_t at = command.find("%1");
  ASSERT_NE(std::string::npos, at) << command;
  command.replace(at, 2, file);
  vxtest::Process started = vxtest::Process::Start(command);
  StartedVelvox velvox = WaitForVelvox();
  EXPECT_EQ(started.pid(), velvox.pid);
  EXPECT_EQ(Upper(Velvox()), Upper(velvox.image));
  EXPECT_EQ(std::vector<std::string>{file}, velvox.args);
  // The decryption asks for the archive's key by name.
  HWND key = vxtest::WaitForWindow(vxtest::Acp(u8"使用する鍵の入力"), "#32770",
                                   vxtest::kDefaultWait, velvox.pid);
  EXPECT_NE(nullptr, key);
  if (key) {
    EXPECT_EQ("SALES", Upper(vxtest::ControlText(key, IDC_KEY_NAME)));
  }
  EndVelvox(velvox);
}

void ExpectSecondInstallKeepsStoreAndSettings(const Run& install) {
  const std::string data = DataDir();
  const std::string norvane = Folder(CSIDL_COMMON_APPDATA) + "\\Norvane";
  RemoveMovedAside();
  // Where the data folder goes when it is moved aside (what an earlier run moved aside
  // and something still holds stays).
  const std::string next = NextAside();
  const std::string store = ReadAll(data + "\\keystore.dat");
  ASSERT_FALSE(store.empty());
  const std::string policy = data + "\\policy.ini";
  ASSERT_TRUE(::WritePrivateProfileStringA("VELVOX", "PWRETRYMAX", "9", policy.c_str()));
  ASSERT_TRUE(::WritePrivateProfileStringA("VELVOX", "EXTSTRING", nullptr, policy.c_str()));
  ASSERT_TRUE(::WritePrivateProfileStringA("MEDIA", "REMOVABLE", "1", (data + "\\kvrfltme.ini").c_str()));
  ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, policy.c_str());
  ::DeleteFileA(Velvox().c_str());
  const std::string line = "a line before the second installation\r\n";
  {
    std::ofstream log(data + "\\Log\\tarvolog.dat", std::ios::binary | std::ios::app);
    log << line;
  }
  const bool provable = OwnerOf(norvane) == "S-1-5-32-544" && OwnerOf(data) == "S-1-5-32-544";

  ASSERT_EQ(0u, install());

  if (provable) {
    EXPECT_EQ(store, ReadAll(data + "\\keystore.dat"));
    EXPECT_EQ("9", IniText(policy, "VELVOX", "PWRETRYMAX"));
    EXPECT_EQ("ex_", IniText(policy, "VELVOX", "EXTSTRING"));
    EXPECT_EQ("1", IniText(data + "\\kvrfltme.ini", "MEDIA", "REMOVABLE"));
    EXPECT_FALSE(Exists(next));
    EXPECT_NE(std::string::npos, ReadAll(data + "\\Log\\tarvolog.dat").find(line));
  } else {
    const std::string aside = next + "\\TARVO-Pro";
    EXPECT_NE(std::string::npos, ReadAll(aside + "\\Log\\tarvolog.dat").find(line));
    EXPECT_EQ(store, ReadAll(aside + "\\keystore.dat"));
    EXPECT_EQ("9", IniText(aside + "\\policy.ini", "VELVOX", "PWRETRYMAX"));
    EXPECT_EQ("1", IniText(aside + "\\kvrfltme.ini", "MEDIA", "REMOVABLE"));
    EXPECT_EQ("TVKS", ReadAll(data + "\\keystore.dat").substr(0, 4));
    EXPECT_NE(store, ReadAll(data + "\\keystore.dat"));
    EXPECT_EQ("5", IniText(policy, "VELVOX", "PWRETRYMAX"));
    EXPECT_EQ("ex_", IniText(policy, "VELVOX", "EXTSTRING"));
    EXPECT_EQ("0", IniText(data + "\\kvrfltme.ini", "MEDIA", "REMOVABLE"));
  }
  EXPECT_TRUE(Exists(Velvox()));
}

namespace {

bool Mentions(std::string text) {
  static const char* const kNeedles[] = {
      "VELVOX", "TARVO", "NORVANE", ".XSS", "KVRFLT", "{4E8A1C37-90B2-4F6D-8C15-A3D27E6B0F92}",
      VXSHELL_CLSID_TEXT, "{5D2C8E41-7A03-4F6B-9E15-2C7B40A9D3E8}",
      "{A3E91F07-4C2D-4B88-8F6A-71D05E3C92B4}"};
  text = Upper(text);
  for (const char* n : kNeedles)
    if (text.find(Upper(n)) != std::string::npos) return true;
  return false;
}

// `depth` levels of keys below `path` (its own values included).
void CollectMentions(HKEY root, const std::string& path, int depth,
                     std::vector<std::string>* out) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return;
  if (Mentions(path)) out->push_back(path);
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD nameLen = sizeof(name), type = 0;
    std::vector<BYTE> data(65536);
    DWORD dataLen = static_cast<DWORD>(data.size());
    const LONG rc = ::RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data.data(), &dataLen);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    std::string text(name, nameLen);
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
      std::string value(reinterpret_cast<char*>(data.data()), dataLen);
      std::replace(value.begin(), value.end(), '\0', '|');
      text += "=" + value;
    }
    if (Mentions(text)) out->push_back(path + " : " + text);
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameLen = sizeof(name);
    const LONG rc = ::RegEnumKeyExA(key, i, name, &nameLen, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    if (depth > 0) {
      CollectMentions(root, path + "\\" + name, depth - 1, out);
    } else if (Mentions(name)) {
      out->push_back(path + "\\" + name);
    }
  }
  ::RegCloseKey(key);
}

}  // namespace

std::vector<std::string> RegistryMentionsOfUs() {
  // Where a package registers anything: the whole of those trees, and the names of the
  // classes (walking every class and interface of a Wine prefix takes minutes).
  const struct {
    const char* path;
    int depth;
  } places[] = {{"Software\\Norvane", 64},
                {"Software\\Microsoft\\Windows\\CurrentVersion", 64},
                {"Software\\Classes\\Installer", 64},
                {"Software\\Classes\\*", 64},
                {"Software\\Classes\\Directory", 64},
                {"Software\\Classes", 0},
                {"Software\\Classes\\CLSID", 0},
                {"SYSTEM\\CurrentControlSet\\Services", 0}};
  std::vector<std::string> found;
  for (const auto& p : places) CollectMentions(HKEY_LOCAL_MACHINE, p.path, p.depth, &found);
  return found;
}

void ExpectUninstallKeepsOnlyTheData(const Run& uninstall,
                                     const std::vector<std::string>& before) {
  const std::string data = DataDir();
  const std::string store = ReadAll(data + "\\keystore.dat");
  ASSERT_FALSE(store.empty());
  ASSERT_TRUE(::WritePrivateProfileStringA("VELVOX", "PWRETRYMAX", "9",
                                           (data + "\\policy.ini").c_str()));

  ASSERT_EQ(0u, uninstall());

  EXPECT_FALSE(Exists(InstallDir())) << "program folder left behind";
  EXPECT_FALSE(Exists(MenuDir())) << "Start menu folder left behind";
  for (const std::string& key :
       {std::string(kUninstallKey), std::string(kAppPathKey), std::string(kWriterClsidKey),
        std::string(kShellClsidKey), std::string(kFileVerb), std::string(kFolderVerb),
        std::string("Software\\Classes\\.xss"), std::string("Software\\Classes\\velvox.xss"),
        std::string(kGuardKey), std::string(kMailAddOnKey),
        std::string("Software\\Norvane\\TARVO-Pro\\LogService"),
        std::string("SYSTEM\\CurrentControlSet\\Services\\kvrflt")})
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, key)) << key;
  EXPECT_EQ("<missing>", RegText(HKEY_LOCAL_MACHINE, kRunKey, "TARVO-Pro log service"));
  EXPECT_EQ("<missing>", RegText(HKEY_LOCAL_MACHINE, kRunKey, "TARVO-Pro resident"));
  EXPECT_EQ("<missing>",
            RegText(HKEY_LOCAL_MACHINE,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
                    VXSHELL_CLSID_TEXT));

  EXPECT_EQ(before, RegistryMentionsOfUs());

  EXPECT_EQ(store, ReadAll(data + "\\keystore.dat"));
  EXPECT_EQ("9", IniText(data + "\\policy.ini", "VELVOX", "PWRETRYMAX"));
}

void ExpectUserDataFolderMovedAside(const Run& install) {
  const std::string norvane = Folder(CSIDL_COMMON_APPDATA) + "\\Norvane";
  const std::string data = DataDir();
  vxtest::RemoveTree(norvane);
  RemoveMovedAside();
  // Where the data folder goes when it is moved aside (what an earlier run moved aside
  // and something still holds stays).
  const std::string next = NextAside();
  // As the user leaves it: his (Wine keeps no owner), everyone may change everything.
  for (const std::string& folder : {norvane, data, data + "\\Guard", data + "\\Log"}) {
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr)) << folder;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "O:S-1-5-21-1004336348-1177238915-682003330-1001D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
        &sd, nullptr));
    ::SetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION, sd);
    ::LocalFree(sd);
    ASSERT_NE(0u, EveryoneMay(folder) & DELETE) << "the fixture's list does not show";
  }
  const std::string store = data + "\\keystore.dat", secret = data + "\\machine.key";
  const std::string policy = data + "\\policy.ini", log = data + "\\Log\\tarvolog.dat";
  const std::string guardPolicy = data + "\\Guard\\kvrgrd.ini";
  WriteFileText(store, "planted store");
  WriteFileText(secret, "planted secret");
  WriteFileText(policy, "[OPTION]\r\nUSETOKEN=1\r\nPLUGINNAME=evil.dll\r\n");
  WriteFileText(guardPolicy, "[GUARD]\r\nREFUSE=A:\\\r\n");
  WriteFileText(log, "a line before the setup\r\n");
  // Its owner may change its list through this handle whatever list it gets later.
  HANDLE held = ::CreateFileA(data.c_str(), READ_CONTROL | WRITE_DAC,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  BY_HANDLE_FILE_INFORMATION his{}, now{};
  ASSERT_TRUE(::GetFileInformationByHandle(held, &his));

  ASSERT_EQ(0u, install());

  // His folder is aside whole, what he planted untouched in it; the setup made its own.
  const std::string aside = next + "\\TARVO-Pro";
  const struct {
    std::string path, planted;
  } planted[] = {{"keystore.dat", "planted store"},
                 {"machine.key", "planted secret"},
                 {"policy.ini", "[OPTION]\r\nUSETOKEN=1\r\nPLUGINNAME=evil.dll\r\n"},
                 {"Guard\\kvrgrd.ini", "[GUARD]\r\nREFUSE=A:\\\r\n"},
                 {"Log\\tarvolog.dat", "a line before the setup\r\n"}};
  for (const auto& p : planted) EXPECT_EQ(p.planted, ReadAll(aside + "\\" + p.path)) << p.path;
  HANDLE mine = ::CreateFileA(data.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, mine);
  ASSERT_TRUE(::GetFileInformationByHandle(mine, &now));
  ::CloseHandle(mine);
  EXPECT_FALSE(his.nFileIndexLow == now.nFileIndexLow && his.nFileIndexHigh == now.nFileIndexHigh)
      << "his handle reaches the setup's data folder";
  ::CloseHandle(held);
  const std::string made = ReadAll(store);
  EXPECT_EQ("TVKS", made.substr(0, 4)) << "not a store the key tool made";
  EXPECT_FALSE(Exists(secret));
  EXPECT_FALSE(Exists(guardPolicy));
  EXPECT_EQ("", IniText(policy, "OPTION", "PLUGINNAME"));
  EXPECT_EQ("0", IniText(policy, "OPTION", "USETOKEN"));
  // The journals exist from the setup on, empty.
  for (const char* journal :
       {"mediahook.log", "Log\\tarvolog.dat", "Guard\\kvrgrd.log", "LogService\\tctrace.log"})
    EXPECT_TRUE(Exists(data + "\\" + journal)) << journal;
  EXPECT_EQ("", ReadAll(log));

  // Everyone may no longer change, replace or re-list any level or kept file.
  const DWORD change = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                       WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE;
  for (const std::string& path :
       {norvane, data, data + "\\Log", data + "\\Guard", data + "\\LogService",
        data + "\\SetWriter", store, policy, data + "\\mediahook.log", log})
    EXPECT_EQ(0u, EveryoneMay(path) & change) << path;

  // The guard's policy is the administrators' file beside the store; one in the guard's
  // journal folder, which users could write, decides nothing.
  HMODULE guard = ::LoadLibraryA((InstallDir() + "\\KvrGrd.dll").c_str());
  ASSERT_NE(nullptr, guard);
  WriteFileText(data + "\\Guard\\kvrgrd.ini", "[GUARD]\r\nREFUSE=A:\\\r\n");
  EXPECT_EQ(0u, GuardRegisters(guard, "A:\\"));
  ::DeleteFileA((data + "\\Guard\\kvrgrd.ini").c_str());
  WriteFileText(data + "\\kvrgrd.ini", "[GUARD]\r\nREFUSE=B:\\\r\n");
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GuardRegisters(guard, "B:\\"));
  ::FreeLibrary(guard);
}

void ExpectGuardKeyOfAnotherProductLeftToIt(const Run& install, const Run& uninstall) {
  ASSERT_EQ(0u, uninstall());
  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kGuardKey)) << "ours went with the uninstall";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kGuardKey, 0, nullptr, 0,
                                             KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
  const DWORD version = 0x0500FFFF;
  const char name[] = "Guard client of another product";
  ::RegSetValueExA(key, "Version", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&version), sizeof version);
  ::RegSetValueExA(key, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof name);
  ::RegCloseKey(key);

  ASSERT_EQ(0u, install());
  EXPECT_EQ(version, RegNumber(HKEY_LOCAL_MACHINE, kGuardKey, "Version"));
  EXPECT_EQ(name, RegText(HKEY_LOCAL_MACHINE, kGuardKey, "DisplayName"));

  ASSERT_EQ(0u, uninstall());
  EXPECT_EQ(version, RegNumber(HKEY_LOCAL_MACHINE, kGuardKey, "Version"));
  EXPECT_EQ(name, RegText(HKEY_LOCAL_MACHINE, kGuardKey, "DisplayName"));
}

}  // namespace vxinst
