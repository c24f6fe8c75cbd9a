// velvox.msi under Wine's msiexec on a machine that has never seen the suite: a fresh
// Wine prefix of this test's own (run.sh). The tests share that machine and run in
// order: the package's tables, install, the Explorer entries, repair, upgrade from a
// lower version, uninstall. The checks of what is installed are the setup's
// (installed.h).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installed.h"
#include "process.h"
#include "resource.h"
#include "uidriver.h"

namespace {

using namespace vxinst;

std::string Env(const char* name) {
  char text[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableA(name, text, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::string(text, n) : std::string();
}
std::string Package() { return Env("VX_SETUP"); }
std::string OlderPackage() { return Env("VX_OLD_PACKAGE"); }

// msiexec with `arguments`, silent; its exit code.
DWORD Msiexec(const std::string& arguments) {
  vxtest::Process p = vxtest::Process::Start("msiexec.exe " + arguments + " /qn");
  return p.Wait(180000);
}
DWORD Install() { return Msiexec("/i \"" + Package() + "\""); }
// What "msiexec /fa" asks for. Wine's msiexec takes /f's argument for a product code
// only, and then does not implement it; the package's properties say the same.
DWORD Repair() { return Msiexec("/i \"" + Package() + "\" REINSTALL=ALL REINSTALLMODE=a"); }
DWORD Uninstall() { return Msiexec("/x \"" + Package() + "\""); }

// One text of a package's table: the first row that `query` selects, its first column.
std::string Select(const std::string& package, const std::string& query) {
  MSIHANDLE db = 0, view = 0, row = 0;
  std::string out = "<none>";
  if (::MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &db) != ERROR_SUCCESS)
    return "<no database>";
  if (::MsiDatabaseOpenViewA(db, query.c_str(), &view) == ERROR_SUCCESS &&
      ::MsiViewExecute(view, 0) == ERROR_SUCCESS && ::MsiViewFetch(view, &row) == ERROR_SUCCESS) {
    char text[1024] = {};
    DWORD size = sizeof(text);
    if (::MsiRecordGetStringA(row, 1, text, &size) == ERROR_SUCCESS) out = text;
  }
  if (row) ::MsiCloseHandle(row);
  if (view) ::MsiCloseHandle(view);
  ::MsiCloseHandle(db);
  return out;
}
std::string Property(const std::string& package, const std::string& name) {
  return Select(package, "SELECT `Value` FROM `Property` WHERE `Property` = '" + name + "'");
}
int Sequence(const std::string& action) {
  const std::string s = Select(Package(), "SELECT `Sequence` FROM `InstallExecuteSequence` "
                                          "WHERE `Action` = '" + action + "'");
  return s == "<none>" ? -1 : std::stoi(s);
}

std::vector<std::string> registryBefore;

// The package's Start-menu folder. Windows Installer makes a per-machine package's in
// the all-users menu; Wine's msiexec makes it in the installing user's, which is then
// checked, with a note.
std::string PackageMenuDir() {
  if (Exists(MenuDir())) return MenuDir();
  std::printf("[ NOTE     ] Start-menu entries in the user's menu, not the all-users one\n");
  return vxinst::Folder(CSIDL_PROGRAMS) + "\\TARVO-Pro velvox";
}

class MsiPackage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  static void TearDownTestSuite() { ::CoUninitialize(); }
};

// What Wine's msiexec does not enforce, read from the package: it installs per machine,
// its helpers run as administrator (deferred, not impersonated) from the program folder
// after the files and the registry values are in place, a failing helper stops the
// installation, and a newer package removes the older one before it installs.
TEST_F(MsiPackage, HelpersRunAsAdministratorFromTheProgramFolder) {
  ASSERT_TRUE(Exists(Package())) << "VX_SETUP names no package: " << Package();
  EXPECT_EQ("1", Property(Package(), "ALLUSERS"));
  EXPECT_EQ(VX_VERSION_TEXT, Property(Package(), "ProductVersion"));
  const int kDeferred = 0x400, kNoImpersonate = 0x800, kIgnoreExitCode = 0x40;
  const struct {
    const char* action;
    bool checked;  // a failure stops the installation
  } helpers[] = {{"PrepareDataFolder", true},
                 {"DeleteDataFolderHelper", false},
                 {"MakeKeyStore", true},
                 {"StopLogService", false}};
  for (const auto& h : helpers) {
    const std::string type =
        Select(Package(), std::string("SELECT `Type` FROM `CustomAction` WHERE `Action` = '") +
                              h.action + "'");
    ASSERT_NE("<none>", type) << h.action;
    const int t = std::stoi(type);
    EXPECT_EQ(kDeferred | kNoImpersonate, t & (kDeferred | kNoImpersonate)) << h.action;
    EXPECT_EQ(h.checked, (t & kIgnoreExitCode) == 0) << h.action;
    const int at = Sequence(h.action);
    EXPECT_GT(at, Sequence("InstallInitialize")) << h.action;
    EXPECT_LT(at, Sequence("InstallFinalize")) << h.action;
  }
  // The data folder's helper is the package's own file in the program folder.
  EXPECT_EQ("vxdatadir.exe",
            Select(Package(), "SELECT `Source` FROM `CustomAction` WHERE `Action` = 'PrepareDataFolder'"));
  EXPECT_EQ("INSTALLDIR",
            Select(Package(), "SELECT `Component`.`Directory_` FROM `File`, `Component` WHERE "
                              "`File`.`File` = 'vxdatadir.exe' AND "
                              "`File`.`Component_` = `Component`.`Component`"));
  EXPECT_LT(Sequence("InstallFiles"), Sequence("PrepareDataFolder"));
  EXPECT_LT(Sequence("WriteRegistryValues"), Sequence("PrepareDataFolder"));
  EXPECT_LT(Sequence("PrepareDataFolder"), Sequence("DeleteDataFolderHelper"));
  EXPECT_LT(Sequence("PrepareDataFolder"), Sequence("MakeKeyStore"));
  EXPECT_LT(Sequence("StopLogService"), Sequence("RemoveFiles"));
  EXPECT_LT(Sequence("RemoveExistingProducts"), Sequence("InstallInitialize"));
  // The lower version is the same product line.
  ASSERT_TRUE(Exists(OlderPackage())) << "VX_OLD_PACKAGE names no package: " << OlderPackage();
  EXPECT_EQ(Property(Package(), "UpgradeCode"), Property(OlderPackage(), "UpgradeCode"));
  EXPECT_NE(Property(Package(), "ProductCode"), Property(OlderPackage(), "ProductCode"));
}

TEST_F(MsiPackage, SilentInstallInstallsEveryFileAndRegistration) {
  ASSERT_FALSE(Exists(InstallDir())) << "the prefix is not fresh";
  registryBefore = RegistryMentionsOfUs();
  ASSERT_EQ(0u, Install());

  ExpectProgramFiles();
  ExpectRegistrations(PackageMenuDir());
  EXPECT_FALSE(Exists(InstallDir() + "\\vxdatadir.exe")) << "the helper stays installed";
  const std::string product = Property(Package(), "ProductCode");
  char version[64] = {};
  DWORD size = sizeof(version);
  EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS),
            ::MsiGetProductInfoA(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &size));
  EXPECT_EQ(VX_VERSION_TEXT, std::string(version));
  const ShortcutInfo un =
      ReadShortcut(PackageMenuDir() + "\\" + vxtest::Acp(u8"velvox のアンインストール.lnk"));
  EXPECT_EQ("MSIEXEC.EXE", Upper(un.target.substr(un.target.find_last_of('\\') + 1)));
  EXPECT_EQ("/x " + product, un.arguments);

  // The settings writer's class as the package writes it is what the writer registers.
  const struct {
    std::string key;
    const char* value;
  } writer[] = {{kWriterClsidKey, nullptr},
                {kWriterClsidKey, "LocalizedString"},
                {std::string(kWriterClsidKey) + "\\LocalServer32", nullptr}};
  std::vector<std::string> packaged;
  for (const auto& w : writer) packaged.push_back(RegText(HKEY_LOCAL_MACHINE, w.key, w.value));
  const DWORD elevation =
      RegNumber(HKEY_LOCAL_MACHINE, std::string(kWriterClsidKey) + "\\Elevation", "Enabled");
  vxtest::Process reg =
      vxtest::Process::Start("\"" + InstallDir() + "\\tvsetwr.exe\" /RegServer");
  ASSERT_EQ(0u, reg.Wait(60000));
  for (size_t i = 0; i < std::size(writer); ++i)
    EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, writer[i].key, writer[i].value), packaged[i])
        << writer[i].key << " " << (writer[i].value ? writer[i].value : "(default)");
  EXPECT_EQ(1u, elevation);
}

// Explorer hands a multiple selection to the verb's drop target: one velvox gets every
// item as its own argument.
TEST_F(MsiPackage, FileEntryGivesTheWholeSelectionToOneVelvox) {
  ExpectFileEntryReachesSaveAs();
}

TEST_F(MsiPackage, FolderEntryCommandStartsTheInstalledVelvox) {
  ExpectFolderEntryReachesSaveAs();
}

TEST_F(MsiPackage, XssOpenCommandStartsTheInstalledVelvox) {
  ExpectXssReachesKeyDialog();
}

// A repair puts a deleted program file back and prepares the data folder again, with
// the helper gone afterwards.
TEST_F(MsiPackage, RepairPutsBackAProgramFile) {
  ASSERT_TRUE(::DeleteFileA(Velvox().c_str()));
  ASSERT_EQ(0u, Repair());
  EXPECT_TRUE(Exists(Velvox()));
  EXPECT_FALSE(Exists(InstallDir() + "\\vxdatadir.exe"));
  EXPECT_EQ("TVKS", ReadAll(DataDir() + "\\keystore.dat").substr(0, 4));
}

// A data folder that a user made first (installer_test says how) is moved aside whole by
// the package's preparation, here run by a repair.
TEST_F(MsiPackage, RepairMovesAsideADataFolderThatAUserMadeFirst) {
  ExpectUserDataFolderMovedAside(Repair);
}

// A major upgrade from a lower version over a store with a key: the older package goes,
// the key, the settings and the logs stay (in a Wine prefix, moved aside whole as the
// setup's upgrade does: installer_test says why).
TEST_F(MsiPackage, UpgradeFromALowerVersionKeepsKeysSettingsAndLogs) {
  ASSERT_EQ(0u, Uninstall());
  ASSERT_EQ(0u, Msiexec("/i \"" + OlderPackage() + "\""));
  const std::string older = Property(OlderPackage(), "ProductCode");
  ASSERT_EQ(INSTALLSTATE_DEFAULT, ::MsiQueryProductStateA(older.c_str()));
  vxtest::Process add = vxtest::Process::Start(
      "\"" + InstallDir() + "\\tvkeyadm.exe\" add Kept --alg aes --value kept --iterations 1000");
  ASSERT_EQ(0u, add.Wait(60000));

  ExpectSecondInstallKeepsStoreAndSettings(Install);

  EXPECT_NE(INSTALLSTATE_DEFAULT, ::MsiQueryProductStateA(older.c_str()));
  EXPECT_EQ(INSTALLSTATE_DEFAULT,
            ::MsiQueryProductStateA(Property(Package(), "ProductCode").c_str()));
  ExpectProgramFiles();
  ExpectRegistrations(PackageMenuDir());
}

TEST_F(MsiPackage, UninstallRemovesProgramAndRegistrationsAndKeepsTheKeyStore) {
  ExpectUninstallKeepsOnlyTheData(Uninstall, registryBefore);
  EXPECT_FALSE(Exists(vxinst::Folder(CSIDL_PROGRAMS) + "\\TARVO-Pro velvox"));
}

// A guard client key that another product of the suite made stays that product's.
TEST_F(MsiPackage, GuardKeyOfAnotherProductIsLeftToIt) {
  ASSERT_EQ(0u, Install());
  ExpectGuardKeyOfAnotherProductLeftToIt(Install, Uninstall);
}

}  // namespace
