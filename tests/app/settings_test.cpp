// Settings: INI defaults and limits, the last key name in the registry, the key list
// file. Each case writes a real INI file or registry value and reads it back through the
// program's own loaders.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <shellapi.h>

#include <fstream>
#include <vector>
#include <sstream>

#include "testfiles.h"
#include "uidriver.h"
#include "velvoxapp.h"

namespace {

std::string TempFolder() {
  char buf[MAX_PATH];
  GetTempPathA(MAX_PATH, buf);
  return buf;
}

// Every INI file a test wrote, removed when the test ends so that no later test (or
// run) finds it.
std::vector<std::string>& WrittenInis() {
  static std::vector<std::string> written;
  return written;
}

std::string WriteIni(const std::string& name, const std::string& text) {
  std::string path = TempFolder() + name;
  std::ofstream(path, std::ios::binary) << text;
  WrittenInis().push_back(path);
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string SpecialFolder(int csidl) {
  char buf[MAX_PATH] = {};
  EXPECT_TRUE(SHGetSpecialFolderPathA(nullptr, buf, csidl, FALSE)) << csidl;
  return buf;
}

// Moves a folder of the shared prefix out of the way for one test and puts it back
// afterwards, removing whatever the test made there: the test starts from "missing" and
// leaves nothing behind for the next one, whatever its outcome.
class FolderAside {
 public:
  explicit FolderAside(const std::string& path)
      : path_(path), aside_(path + ".vxaside" + std::to_string(GetCurrentProcessId())) {
    moved_ = Exists(path_) && MoveFileA(path_.c_str(), aside_.c_str());
    ok_ = !Exists(path_);
  }
  ~FolderAside() {
    vxtest::RemoveTree(path_);
    if (moved_) MoveFileA(aside_.c_str(), path_.c_str());
  }
  bool ok() const { return ok_; }

 private:
  std::string path_, aside_;
  bool moved_ = false, ok_ = false;
};

constexpr const char* kUserKey = "SOFTWARE\\Norvane\\TARVO-Pro";

class SettingsTest : public ::testing::Test {
 protected:
  // The tests delete the user's key and its values: whatever the prefix held there (the
  // last key name, the records of velvox's temporary files) comes back afterwards.
  vxtest::RegistryPutBack userKey_{HKEY_CURRENT_USER, kUserKey};
  void SetUp() override { RegDeleteKeyValueA(HKEY_CURRENT_USER, kUserKey, "LASTKEYNAME"); }
  void TearDown() override {
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kUserKey, "LASTKEYNAME");
    for (const std::string& f : WrittenInis()) DeleteFileA(f.c_str());
    WrittenInis().clear();
  }
  CVelvoxApp app;
};

struct PolicyCase {
  const char* ini;
  int pwRetryMax, pwMinLen;
  const char* ext;
  int selfExtLang;
};

TEST_F(SettingsTest, PolicyValuesAreClampedAndDefaulted) {
  const PolicyCase cases[] = {
      {"", 5, 1, "ex_", 0},
      {"[VELVOX]\nPWRETRYMAX=0\nPWLEN=40\nEXTSTRING=abcd\n", 1, 32, "abc", 0},
      {"[VELVOX]\nPWRETRYMAX=100\nPWLEN=0\nEXTSTRING=ab\nSELFEXTLANG=1\n", 99, 0, "ab", 1},
      {"[VELVOX]\nPWRETRYMAX=-1\nPWLEN=-3\nEXTSTRING=\n", 99, -3, "", 0},
      {"[VELVOX]\nPWRETRYMAX=99\nPWLEN=32\n", 99, 32, "ex_", 0},
  };
  // One file per row: Wine's profile cache keys on the file's last-write time, which
  // rows written within the same tick would share.
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    app.m_nLanguage = 0;
    app.LoadPolicySettings(WriteIni("vx_policy" + std::to_string(row++) + ".ini", c.ini));
    EXPECT_EQ(app.m_nPwRetryMax, c.pwRetryMax);
    EXPECT_EQ(app.m_nPwMinLen, c.pwMinLen);
    EXPECT_EQ(app.m_strExtString, c.ext);
    EXPECT_EQ(app.m_nSelfExtLang, c.selfExtLang);
  }
}

// The extension is cut to 3 bytes at a character boundary: a lone lead byte would end
// up in the self-decrypting file's name.
TEST_F(SettingsTest, ExtensionIsCutAtACharacterBoundary) {
  const std::string hyo = vxtest::Acp(u8"\u8868");  // 0x95 0x5C
  const struct {
    std::string ext, cut;
  } cases[] = {
      {"abcd", "abc"},
      {hyo + hyo, hyo},
      {"a" + hyo, "a" + hyo},
      {"ab" + hyo, "ab"},
      {hyo + "ab", hyo + "a"},
      {vxtest::Acp(u8"\uff71") + "bcd", vxtest::Acp(u8"\uff71") + "bc"},  // single-byte kana
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(vxtest::Utf8(c.ext));
    app.m_strExtString = "sentinel";
    app.LoadPolicySettings(
        WriteIni("vx_ext" + std::to_string(row++) + ".ini", "[VELVOX]\nEXTSTRING=" + c.ext + "\n"));
    EXPECT_EQ(app.m_strExtString, c.cut);
  }
}

TEST_F(SettingsTest, EveryPolicyKeyIsReadFromItsSection) {
  app.LoadPolicySettings(WriteIni("vx_policy.ini",
                                  "[OPTION]\nUSETEMPLIST=1\nUSETOKEN=2\nLASTKEYNAME=1\n"
                                  "KEYINDISABLE=3\nPLUGINNAME=tpcard.dll\n"
                                  "[VELVOX]\nPWRETRYLIST=4\nPWRETRYMODE=5\nEXTMODE=6\n"
                                  "SELFEXTRACT=7\nPWRETRY=0\n"
                                  // Keys in the wrong section must not be taken.
                                  "USETOKEN=9\n"));
  EXPECT_EQ(app.m_nUseTempList, 1);
  EXPECT_EQ(app.m_nUseToken, 2);
  EXPECT_EQ(app.m_nLastKeyName, 1);
  EXPECT_EQ(app.m_nKeyInDisable, 3);
  EXPECT_EQ(app.m_strPlugInName, "tpcard.dll");
  EXPECT_EQ(app.m_nPwRetryList, 4);
  EXPECT_EQ(app.m_nPwRetryMode, 5);
  EXPECT_EQ(app.m_nExtMode, 6);
  EXPECT_EQ(app.m_nSelfExtract, 7);
  EXPECT_EQ(app.m_nPwRetry, 0);
}

TEST_F(SettingsTest, MissingPolicyFileGivesDefaultsAndLanguageDrivesSelfExtLang) {
  app.m_nLanguage = 1;
  app.LoadPolicySettings(TempFolder() + "no-such-policy.ini");
  EXPECT_EQ(app.m_nUseTempList, 0);
  EXPECT_EQ(app.m_nPwRetryMax, 5);
  EXPECT_EQ(app.m_nPwMinLen, 1);
  EXPECT_EQ(app.m_nPwRetry, 1);
  EXPECT_EQ(app.m_strExtString, "ex_");
  EXPECT_EQ(app.m_nSelfExtLang, 1);
  // An empty path (no common application-data folder) keeps the defaults too.
  app.LoadPolicySettings("");
  EXPECT_EQ(app.m_nPwRetryMax, 5);
}

TEST_F(SettingsTest, MediaSettingsAndKeyNameLimit) {
  app.LoadMediaSettings(WriteIni(
      "vx_media.ini",
      "[MEDIA]\nREMOVABLE=1\n[MEDIASETTING]\nDISABLEARCHIVE=0\n"
      "KEYNAME=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n"));
  EXPECT_EQ(app.m_nRemovable, 1);
  EXPECT_EQ(app.m_nDisableArchive, 0);
  EXPECT_EQ(app.m_strMediaKeyName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");  // 32 bytes
}

TEST_F(SettingsTest, LastKeyNameRoundTripsAsA33ByteValue) {
  app.m_nLastKeyName = 1;
  app.m_strLastKeyName = "KEY32CHARSKEY32CHARSKEY32CHARS12";
  app.SaveLastKeyName();

  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kUserKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  RegQueryValueExA(key, "LASTKEYNAME", nullptr, &type, nullptr, &size);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 33u);

  CVelvoxApp other;
  other.m_nLastKeyName = 1;
  other.LoadLastKeyName();
  EXPECT_EQ(other.m_strLastKeyName, "KEY32CHARSKEY32CHARSKEY32CHARS12");
}

TEST_F(SettingsTest, LastKeyNameIgnoredWhenOffOrTooLong) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kUserKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const char longName[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456";  // 33 characters + NUL
  RegSetValueExA(key, "LASTKEYNAME", 0, REG_SZ, reinterpret_cast<const BYTE*>(longName),
                 sizeof longName);
  RegCloseKey(key);

  app.m_nLastKeyName = 1;
  app.m_strLastKeyName = "SENTINEL";
  app.LoadLastKeyName();
  EXPECT_EQ(app.m_strLastKeyName, "") << "a value that does not fit clears the name";

  // With the option off the registry is neither read nor written.
  CVelvoxApp off;
  off.m_nLastKeyName = 0;
  off.m_strLastKeyName = "SHOULDNOTBEWRITTEN";
  off.SaveLastKeyName();
  off.LoadLastKeyName();
  EXPECT_EQ(off.m_strLastKeyName, "SHOULDNOTBEWRITTEN");
  app.m_strLastKeyName = "SENTINEL";
  app.LoadLastKeyName();
  EXPECT_EQ(app.m_strLastKeyName, "");

  // No key at all clears the name too. The key also holds the records of velvox's
  // temporary files, of which none is live while this runs.
  ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, kUserKey), ERROR_SUCCESS);
  app.m_strLastKeyName = "SENTINEL";
  app.LoadLastKeyName();
  EXPECT_EQ(app.m_strLastKeyName, "");
}

// The key list file's folder lives in the shared prefix's profile: each test moves any
// existing %APPDATA%\Norvane aside and puts it back, removing what it made.
class KeyListTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    app.m_nFolderRetryWait = 0;  // every failing attempt would otherwise cost a second
  }
  const std::string appdata = SpecialFolder(CSIDL_APPDATA);
  FolderAside vendor{appdata + "\\Norvane"};
};

TEST_F(KeyListTest, MissingLevelsAreCreatedAndOneLineFeedEndsEachName) {
  ASSERT_TRUE(vendor.ok());
  ASSERT_TRUE(app.PrepareKeyListFile());
  EXPECT_EQ(app.m_strKeyListFile, appdata + "\\Norvane\\TARVO-Pro\\tarvokey.dat");

  std::string name = vxtest::Acp(u8"\u8868\u30ad\u30fc");  // a name with 0x5C trail bytes
  ASSERT_TRUE(app.WriteKeyListFile({"ALPHA", name}));
  EXPECT_EQ(ReadFile(app.m_strKeyListFile), "ALPHA\n" + name + "\n");
  ASSERT_TRUE(app.WriteKeyListFile({}));
  EXPECT_EQ(ReadFile(app.m_strKeyListFile), "");
}

// Without a per-user application-data folder no folder can be built: the path stays
// empty and nothing is written, least of all "\tarvokey.dat" in the drive's root.
TEST_F(KeyListTest, NoFolderLeavesThePathEmptyAndWritesNothing) {
  constexpr const char* kShellFolders =
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kShellFolders, 0, KEY_READ | KEY_WRITE, &key),
            ERROR_SUCCESS);
  char saved[MAX_PATH] = {};
  DWORD size = sizeof saved, type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "AppData", nullptr, &type, reinterpret_cast<BYTE*>(saved), &size),
            ERROR_SUCCESS);
  const char missing[] = "C:\\vx-no-such-profile\\AppData";
  ASSERT_EQ(RegSetValueExA(key, "AppData", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(missing), sizeof missing),
            ERROR_SUCCESS);
  char probe[MAX_PATH] = {};
  const BOOL found = SHGetSpecialFolderPathA(nullptr, probe, CSIDL_APPDATA, FALSE);

  char drive[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, drive);
  const std::string rootFile = std::string(drive, 2) + "\\tarvokey.dat";
  DeleteFileA(rootFile.c_str());
  app.m_strKeyListFile = "sentinel";
  const BOOL prepared = app.PrepareKeyListFile();
  const std::string path = app.m_strKeyListFile;
  const BOOL written = app.WriteKeyListFile({"ALPHA"});
  RegSetValueExA(key, "AppData", 0, type, reinterpret_cast<const BYTE*>(saved), size);
  RegCloseKey(key);

  ASSERT_FALSE(found) << "setup: the lookup must fail, got " << probe;
  EXPECT_FALSE(prepared);
  EXPECT_EQ(path, "");
  EXPECT_FALSE(written);
  EXPECT_FALSE(Exists(rootFile));
  DeleteFileA(rootFile.c_str());
  EXPECT_EQ(SpecialFolder(CSIDL_APPDATA), appdata) << "the profile is as it was";
}

// The common policy file and folder are the prefix's, shared with other tests: saved
// and put back, whatever the outcome.
TEST_F(SettingsTest, TemplateFolderFromCommonPolicyOrDefault) {
  const std::string common = SpecialFolder(CSIDL_COMMON_APPDATA);
  FolderAside vendor(common + "\\Norvane");
  ASSERT_TRUE(vendor.ok());
  const std::string folder = common + "\\Norvane\\TARVO-Pro\\";
  ASSERT_EQ(SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  const std::string policy = folder + "policy.ini";

  EXPECT_TRUE(app.LoadTemplateFolder());
  EXPECT_EQ(app.m_strTemplateFolder, folder + "TEMPLATE");

  // One file per state, moved into place: Wine's profile cache keys on the last-write
  // time.
  int state = 0;
  auto usePolicy = [&](const std::string& text) {
    const std::string staged = WriteIni("vx_tmpl" + std::to_string(state++) + ".ini", text);
    ASSERT_TRUE(MoveFileExA(staged.c_str(), policy.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  };
  usePolicy("[OPTION]\nTEMPLATEPATH=\n");
  app.m_strTemplateFolder = "sentinel";
  app.LoadTemplateFolder();
  EXPECT_EQ(app.m_strTemplateFolder, folder + "TEMPLATE");

  usePolicy("[OPTION]\nTEMPLATEPATH=D:\\keys\\tmpl\n");
  app.LoadTemplateFolder();
  EXPECT_EQ(app.m_strTemplateFolder, "D:\\keys\\tmpl");
}

}  // namespace
