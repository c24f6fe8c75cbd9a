// velvox-setup.exe on a machine that has never seen the suite: a fresh Wine prefix of
// this test's own (run.sh). The tests share that machine and run in order: install,
// the Explorer entries, upgrade, uninstall. What both packages must leave on a machine
// is checked by installed.h, which msi_test.cpp uses too.
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installed.h"
#include "resource.h"
#include "uidriver.h"

namespace {

using namespace vxinst;

// Runs the setup (or the uninstaller) silently and returns its exit code. The NSIS
// uninstaller copies itself to the temporary folder and lets the copy work, so the
// copies it started are waited for as well.
DWORD RunSilently(const std::string& exe) {
  vxtest::Process p = vxtest::Process::Start("\"" + exe + "\" /S");
  const DWORD code = p.Wait(60000);
  HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 pe{};
  pe.dwSize = sizeof(pe);
  for (BOOL ok = ::Process32First(snap, &pe); ok; ok = ::Process32Next(snap, &pe)) {
    if (pe.th32ParentProcessID != p.pid()) continue;
    HANDLE child = ::OpenProcess(SYNCHRONIZE, FALSE, pe.th32ProcessID);
    if (!child) continue;
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child, 60000)) << pe.szExeFile;
    ::CloseHandle(child);
  }
  ::CloseHandle(snap);
  return code;
}

std::string SetupPath() {
  char path[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableA("VX_SETUP", path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
}

DWORD RunSetup() { return RunSilently(SetupPath()); }
DWORD RunUninstaller() { return RunSilently(InstallDir() + "\\uninstall.exe"); }

// What the machine's registry said of us before the first setup.
std::vector<std::string> registryBefore;

class Installer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  static void TearDownTestSuite() { ::CoUninitialize(); }
};

TEST_F(Installer, SilentSetupInstallsEveryFileAndRegistration) {
  const std::string setup = SetupPath();
  ASSERT_TRUE(Exists(setup)) << "VX_SETUP names no setup: " << setup;
  ASSERT_FALSE(Exists(InstallDir())) << "the prefix is not fresh";
  registryBefore = RegistryMentionsOfUs();
  ASSERT_EQ(0u, RunSilently(setup));

  // Version and publisher: the setup, its uninstall entry and velvox.exe agree.
  EXPECT_EQ(VX_VERSION_TEXT, VersionString(Velvox(), "FileVersion"));
  const std::string publisher = VersionString(Velvox(), "CompanyName");
  EXPECT_EQ("Norvane", publisher);
  EXPECT_EQ(VX_VERSION_TEXT, VersionString(setup, "ProductVersion"));
  EXPECT_EQ(publisher, VersionString(setup, "CompanyName"));
  EXPECT_EQ(VX_VERSION_TEXT, RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayVersion"));
  EXPECT_EQ(publisher, RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "Publisher"));
  EXPECT_EQ("TARVO-Pro velvox", RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName"));
  EXPECT_EQ("\"" + InstallDir() + "\\uninstall.exe\"",
            RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString"));
  ExpectProgramFiles();
  EXPECT_TRUE(Exists(InstallDir() + "\\uninstall.exe"));
  ExpectRegistrations(MenuDir());
  const ShortcutInfo un = ReadShortcut(MenuDir() + "\\" + vxtest::Acp(u8"velvox のアンインストール.lnk"));
  EXPECT_EQ(Upper(InstallDir() + "\\uninstall.exe"), Upper(un.target));
}

// Explorer hands a multiple selection to the verb's drop target: one velvox gets every
// item as its own argument.
TEST_F(Installer, FileEntryGivesTheWholeSelectionToOneVelvox) {
  ExpectFileEntryReachesSaveAs();
}

// The folder entry's command line, with the folder put in as the shell does.
TEST_F(Installer, FolderEntryCommandStartsTheInstalledVelvox) {
  ExpectFolderEntryReachesSaveAs();
}

// Double-clicking an .xss file runs its "open" command.
TEST_F(Installer, XssOpenCommandStartsTheInstalledVelvox) {
  ExpectXssReachesKeyDialog();
}

// A second setup over the first keeps what the administrator set, and puts back
// defaults that are missing. The data folder itself is kept only when the setup can
// prove that administrators made it: where the system shows the owner the first setup
// set (Administrators), it keeps the store and settings in place. Wine shows every
// file as owned by the prefix's user, so in a Wine prefix the setup cannot tell the
// first setup's folder from a user's and moves it aside whole, store and settings in
// it untouched, and makes a new one.
TEST_F(Installer, UpgradeKeepsTheKeyStoreAndTheSettings) {
  ExpectSecondInstallKeepsStoreAndSettings(RunSetup);
  EXPECT_EQ(VX_VERSION_TEXT, RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayVersion"));
}

// The data folder's helper runs as administrator. In the setup's temporary folder the
// installing user's own programs could replace it, or put a DLL beside it; it runs from
// the program folder and is gone afterwards. The test holds the helper's name there open,
// sharing everything, and reads what the setup wrote through it before deleting it.
TEST_F(Installer, DataFolderHelperRunsFromTheProgramFolderAndIsDeleted) {
  const std::string helper = InstallDir() + "\\vxdatadir.exe";
  HANDLE held = ::CreateFileA(helper.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  ASSERT_EQ(0u, RunSilently(SetupPath()));
  std::string written(::GetFileSize(held, nullptr), '\0');
  DWORD got = 0;
  ::ReadFile(held, written.data(), static_cast<DWORD>(written.size()), &got, nullptr);
  ::CloseHandle(held);
  EXPECT_TRUE(!written.empty() && written == ReadAll(vxtest::ExeFolder() + "vxdatadir.exe"))
      << "the setup wrote no helper into the program folder";
  EXPECT_FALSE(Exists(helper)) << "the helper stays in the program folder";
}

TEST_F(Installer, UninstallRemovesProgramAndRegistrationsAndKeepsTheKeyStore) {
  ExpectUninstallKeepsOnlyTheData(RunUninstaller, registryBefore);
}

// Ordinary users may create folders under ProgramData, and own them. One who makes the
// data folder before an administrator installs, lets everyone change it, plants a store,
// a machine secret, settings naming a plug-in and a guard policy refusing drive A:, and
// keeps a handle on it, controls none of it afterwards: the setup moves his folder aside
// whole, planted files untouched in it, and makes its own, which his handle does not
// reach.
TEST_F(Installer, SetupMovesAsideADataFolderThatAUserMadeFirst) {
  ExpectUserDataFolderMovedAside(RunSetup);
}

// A guard client key that another product of the suite made stays that product's: the
// setup neither rewrites it nor, uninstalled, removes it.
TEST_F(Installer, GuardKeyOfAnotherProductIsLeftToIt) {
  ExpectGuardKeyOfAnotherProductLeftToIt(RunSetup, RunUninstaller);
}

}  // namespace
