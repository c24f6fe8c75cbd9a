// The programs that the setup and the uninstaller run as administrator (velvox.nsi):
// vxdatadir.exe, the key tool's "init", the settings writer's registration and removal
// (and the writer itself, which COM starts with administrator rights for velvox), and
// the log service's "--stop". Whoever can write a folder in which such a program looks
// for a DLL could run code as administrator. Their static imports are only the system's
// known DLLs, which are never searched for; the other system DLLs that the suite's code
// calls into (bcrypt, crypt32), planted beside each program, which also runs in that
// folder, are not taken although Wine is told to prefer them, as Windows would take
// them. What Wine cannot show is in README.md.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <iterator>
#include <list>

#include "peimports.h"
#include "settingswriter.h"
#include "testfiles.h"
#include "uidriver.h"

namespace {

const char* const kPrograms[] = {"vxdatadir.exe", "tvkeyadm.exe", "tvsetwr.exe", "tglogsvc.exe"};

// The system's known DLLs (the KnownDLLs of Windows 7 and later; combase and shcore exist
// from Windows 8 on), which the loader maps from the system's own copies without a
// search; ntdll is always the system's.
const char* const kKnownDlls[] = {
    "advapi32.dll", "clbcatq.dll",  "combase.dll",  "comdlg32.dll", "difxapi.dll",
    "gdi32.dll",    "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",
    "msvcrt.dll",   "normaliz.dll", "nsi.dll",      "ntdll.dll",    "ole32.dll",
    "oleaut32.dll", "psapi.dll",    "rpcrt4.dll",   "sechost.dll",  "setupapi.dll",
    "shcore.dll",   "shell32.dll",  "shlwapi.dll",  "user32.dll",   "wldap32.dll",
    "ws2_32.dll"};

const std::vector<std::string> kPlanted = {"bcrypt", "crypt32"};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string SystemDll(const std::string& name) {
  char dir[MAX_PATH] = {};
  ::GetSystemDirectoryA(dir, MAX_PATH);
  return Lower(std::string(dir) + "\\" + name);
}

// The process whose program is the file `path`; 0 when none runs.
DWORD ProcessOf(const std::string& path) {
  HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 pe{};
  pe.dwSize = sizeof pe;
  DWORD found = 0;
  for (BOOL ok = ::Process32First(snap, &pe); ok && !found; ok = ::Process32Next(snap, &pe)) {
    HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID);
    if (!h) continue;
    char image[MAX_PATH] = {};
    DWORD n = MAX_PATH;
    if (::QueryFullProcessImageNameA(h, 0, image, &n) && ::lstrcmpiA(image, path.c_str()) == 0)
      found = pe.th32ProcessID;
    ::CloseHandle(h);
  }
  ::CloseHandle(snap);
  return found;
}

TEST(ElevatedPrograms, ImportOnlyKnownDlls) {
  for (const char* exe : kPrograms) {
    const std::vector<std::string> imports = vxtest::StaticImports(vxtest::ExeFolder() + exe);
    EXPECT_FALSE(imports.empty()) << exe << " unreadable";
    for (const std::string& dll : imports)
      EXPECT_NE(std::find(std::begin(kKnownDlls), std::end(kKnownDlls), dll), std::end(kKnownDlls))
          << exe << " imports " << dll << ", which is searched for";
  }
}

// The setup and the uninstaller it writes are NSIS's own program, which restricts its
// library search itself. It imports comctl32, which is no known DLL; the manifest's
// dependency on the common controls has the system take that from its side-by-side
// store, which it consults before the program's folder.
TEST(ElevatedPrograms, TheSetupTakesCommonControlsFromTheSystemStore) {
  const std::string setup = vxtest::ExeFolder() + "..\\velvox-setup.exe";
  const std::vector<std::string> imports = vxtest::StaticImports(setup);
  EXPECT_FALSE(imports.empty()) << setup << " unreadable";
  for (const std::string& dll : imports)
    EXPECT_TRUE(dll == "comctl32.dll" || std::find(std::begin(kKnownDlls), std::end(kKnownDlls),
                                                    dll) != std::end(kKnownDlls))
        << "the setup imports " << dll << ", which is searched for";
  HMODULE image = ::LoadLibraryExA(setup.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  HRSRC found = ::FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(image, found))),
                             ::SizeofResource(image, found));
  ::FreeLibrary(image);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\""), std::string::npos)
      << manifest;
}

TEST(ElevatedPrograms, DllsPlantedBesideThemAreNotLoaded) {
  const std::string root = "C:\\vxelevated\\";
  vxtest::RemoveTree(root);
  struct RemoveRoot {
    const std::string& root;
    ~RemoveRoot() { vxtest::RemoveTree(root); }
  } removeRoot{root};
  ASSERT_TRUE(::CreateDirectoryA(root.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryA((root + "data").c_str(), nullptr));

  // Each program in a folder of its own, with the planted copies, which is also the
  // folder it runs in.
  std::list<vxtest::PreferPlantedDlls> prefer;
  auto folder = [&](const std::string& exe) { return root + exe.substr(0, exe.find('.')) + "\\"; };
  for (const char* exe : kPrograms) {
    ASSERT_TRUE(::CreateDirectoryA(folder(exe).c_str(), nullptr));
    ASSERT_TRUE(
        ::CopyFileA((vxtest::ExeFolder() + exe).c_str(), (folder(exe) + exe).c_str(), FALSE));
    for (const std::string& dll : kPlanted)
      ASSERT_TRUE(::CopyFileA((vxtest::ExeFolder() + "tv_planted_dll.dll").c_str(),
                              (folder(exe) + dll + ".dll").c_str(), FALSE));
    prefer.emplace_back(exe, kPlanted);
  }
  const std::string mark = root + "planted-dll-loaded";
  const vxtest::ScopedEnvironment markEnvironment({{"TV_PLANTED_MARK", mark}});
  auto noneLoaded = [&] {
    EXPECT_EQ(::GetFileAttributesA(mark.c_str()), INVALID_FILE_ATTRIBUTES)
        << "a planted DLL was loaded";
    ::DeleteFileA(mark.c_str());
  };
  auto run = [&](const std::string& exe, const std::string& args, DWORD code) {
    SCOPED_TRACE(exe + " " + args);
    vxtest::RunOptions options;
    options.workDir = folder(exe);
    const vxtest::RunResult result = vxtest::Run("\"" + folder(exe) + exe + "\" " + args, options);
    EXPECT_EQ(result.code, code) << result.err;
    noneLoaded();
  };

  run("vxdatadir.exe", "--root \"" + root + "data\"", 0);
  run("tvkeyadm.exe", "--store \"" + root + "store\" init", 0);  // random bytes, a protected secret
  run("tglogsvc.exe", "--stop", 1);  // no log service runs

  // The writer registered from its folder, beside the planted copies, is then started by
  // COM; its challenge takes random bytes from bcrypt. The prefix's writer and its journal
  // are put back afterwards.
  char common[MAX_PATH] = {};
  ASSERT_EQ(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common), S_OK);
  const vxtest::FilesPutBack journal(
      {std::string(common) + "\\Norvane\\TARVO-Pro\\SetWriter\\tvsetwr.log"});
  struct PutBackWriter {
    ~PutBackWriter() {
      EXPECT_EQ(vxtest::Run("\"" + vxtest::ExeFolder() + "tvsetwr.exe\" /RegServer").code, 0u);
    }
  } putBackWriter;
  run("tvsetwr.exe", "/RegServer", 0);
  {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ElevatedSettingsWriter writer(ElevatedSettingsWriter::Binding::kDirectForTests);
    EXPECT_EQ(writer.GetStatus(), ElevatedSettingsWriter::kConnected);
    const DWORD server = ProcessOf(folder("tvsetwr.exe") + "tvsetwr.exe");
    ASSERT_NE(server, 0u) << "COM did not start the writer registered from its folder";
    EXPECT_EQ(Lower(vxtest::LoadedModulePath(server, "bcrypt.dll")), SystemDll("bcrypt.dll"));
    noneLoaded();
    writer.Close();
    ::CoUninitialize();
    // Its folder goes with the test; it would wait for another client a while.
    HANDLE h = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, server);
    ASSERT_NE(h, nullptr);
    ::TerminateProcess(h, 0);
    EXPECT_EQ(::WaitForSingleObject(h, vxtest::kDefaultWait), WAIT_OBJECT_0);
    ::CloseHandle(h);
  }
  run("tvsetwr.exe", "/UnregServer", 0);
}

}  // namespace
