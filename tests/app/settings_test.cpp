// Settings: INI defaults and limits, the last key name in the registry, the key list
// file. Each case writes a real INI file or registry value and reads it back through the
// program's own loaders.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <fstream>
#include <sstream>

#include "uidriver.h"
#include "velvoxapp.h"

namespace {

std::string TempFolder() {
  char buf[MAX_PATH];
  GetTempPathA(MAX_PATH, buf);
  return buf;
}

std::string WriteIni(const std::string& name, const std::string& text) {
  std::string path = TempFolder() + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

constexpr const char* kUserKey = "SOFTWARE\\Norvane\\TARVO-Pro";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteKeyA(HKEY_CURRENT_USER, kUserKey); }
  void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, kUserKey); }
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    app.m_nLanguage = 0;
    app.LoadPolicySettings(WriteIni("vx_policy.ini", c.ini));
    EXPECT_EQ(app.m_nPwRetryMax, c.pwRetryMax);
    EXPECT_EQ(app.m_nPwMinLen, c.pwMinLen);
    EXPECT_EQ(app.m_strExtString, c.ext);
    EXPECT_EQ(app.m_nSelfExtLang, c.selfExtLang);
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
  app.LoadLastKeyName();
  EXPECT_EQ(app.m_strLastKeyName, "");

  // With the option off the registry is neither read nor written.
  CVelvoxApp off;
  off.m_nLastKeyName = 0;
  off.m_strLastKeyName = "SHOULDNOTBEWRITTEN";
  off.SaveLastKeyName();
  off.LoadLastKeyName();
  EXPECT_EQ(off.m_strLastKeyName, "SHOULDNOTBEWRITTEN");
  app.LoadLastKeyName();
  EXPECT_EQ(app.m_strLastKeyName, "");
}

TEST_F(SettingsTest, KeyListFileHasOneLineFeedPerName) {
  char appdata[MAX_PATH];
  ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, appdata, CSIDL_APPDATA, FALSE));
  // The suite's installer makes the vendor folder; the program creates only the last level.
  CreateDirectoryA((std::string(appdata) + "\\Norvane").c_str(), nullptr);
  ASSERT_TRUE(app.PrepareKeyListFile());
  EXPECT_EQ(app.m_strKeyListFile, std::string(appdata) + "\\Norvane\\TARVO-Pro\\tarvokey.dat");

  std::string name = vxtest::Acp(u8"\u8868\u30ad\u30fc");  // a name with 0x5C trail bytes
  ASSERT_TRUE(app.WriteKeyListFile({"ALPHA", name}));
  EXPECT_EQ(ReadFile(app.m_strKeyListFile), "ALPHA\n" + name + "\n");
  ASSERT_TRUE(app.WriteKeyListFile({}));
  EXPECT_EQ(ReadFile(app.m_strKeyListFile), "");
}

TEST_F(SettingsTest, TemplateFolderFromCommonPolicyOrDefault) {
  char common[MAX_PATH];
  ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, common, CSIDL_COMMON_APPDATA, FALSE));
  std::string folder = std::string(common) + "\\Norvane\\TARVO-Pro\\";
  SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr);
  std::string policy = folder + "policy.ini";
  std::string saved = ReadFile(policy);
  bool existed = GetFileAttributesA(policy.c_str()) != INVALID_FILE_ATTRIBUTES;

  DeleteFileA(policy.c_str());
  EXPECT_TRUE(app.LoadTemplateFolder());
  EXPECT_EQ(app.m_strTemplateFolder, folder + "TEMPLATE");

  std::ofstream(policy, std::ios::binary) << "[OPTION]\nTEMPLATEPATH=\n";
  app.LoadTemplateFolder();
  EXPECT_EQ(app.m_strTemplateFolder, folder + "TEMPLATE");

  std::ofstream(policy, std::ios::binary) << "[OPTION]\nTEMPLATEPATH=D:\\keys\\tmpl\n";
  app.LoadTemplateFolder();
  EXPECT_EQ(app.m_strTemplateFolder, "D:\\keys\\tmpl");

  if (existed)
    std::ofstream(policy, std::ios::binary) << saved;
  else
    DeleteFileA(policy.c_str());
}

}  // namespace
