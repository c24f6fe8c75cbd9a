// The key store reads over the real tarvodev.dll, the registered-key list, and the mail
// add-on loaded and called as the validation does.
#include <gtest/gtest.h>

#include <fstream>

#include "announce.h"
#include "keyaccess.h"
#include "keyfixture.h"
#include "uidriver.h"
#include "velvoxapp.h"

using namespace keytest;

namespace {

class KeyStoreTest : public ::testing::Test {
 protected:
  CVelvoxApp app;
  FixtureStore store;
};

TEST_F(KeyStoreTest, ReadsEveryRecordInStoreOrder) {
  std::vector<KeyInfo> keys;
  ASSERT_TRUE(ReadAllKeys(keys));
  ASSERT_EQ(keys.size(), 5u);
  EXPECT_STREQ(keys[0].Name, "Alpha");
  EXPECT_STREQ(keys[2].Name, "SALES");
  EXPECT_EQ(keys[2].Valid, 1);
  EXPECT_EQ(keys[2].Description, FixtureKeys::SalesDescription());
  EXPECT_EQ(keys[3].ParameterFile, 0);
  EXPECT_EQ(keys[2].ParameterFile, 1);
}

TEST_F(KeyStoreTest, LookupsIgnoreAsciiCaseOnly) {
  struct Case {
    const char* name;
    BOOL exists, valid, found, statusValid;
    int algorithm, length;
  } cases[] = {
      {"Alpha", 1, 0, 1, 0, KEY_ALG_AES, 256},
      {"ALPHA", 1, 0, 1, 0, KEY_ALG_AES, 256},
      {"plan", 1, 0, 1, 0, KEY_ALG_TRIPLE_DES, 168},
      {"sales", 1, 1, 1, 1, KEY_ALG_AES, 256},
      {"DesKey", 1, 1, 1, 1, KEY_ALG_DES, 56},
      {"Nosuch", 0, 0, 0, 0, 0, -1},
      {"", 0, 0, 0, 0, 0, -1},
      {"SALES ", 0, 0, 0, 0, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(KeyExists(c.name), c.exists);
    EXPECT_EQ(ValidKeyExists(c.name), c.valid);
    BOOL found = 7, valid = 7;
    int algorithm = 7;
    EXPECT_EQ(GetKeyStatus(c.name, &found, &valid, &algorithm), 1);
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(valid, c.statusValid);
    EXPECT_EQ(algorithm, c.algorithm);
    int length = -1;
    EXPECT_EQ(GetKeyLength(c.name, &length), c.length >= 0 ? 1 : 0);
    EXPECT_EQ(length, c.length);
  }
  EXPECT_TRUE(KeyNamesEqual(vxtest::Acp(u8"鍵a"), vxtest::Acp(u8"鍵A")));
  // "ア" is 0x83 0x41 and "ヂ" 0x83 0x61: trail bytes are not letters to fold.
  EXPECT_FALSE(KeyNamesEqual(vxtest::Acp(u8"ア"), vxtest::Acp(u8"ヂ")));
}

TEST_F(KeyStoreTest, UnreadableOrEmptyStoreHoldsNoKey) {
  std::vector<KeyInfo> keys;
  BOOL found = 7, valid = 7;
  int algorithm = 7;
  tvtest::WriteAll(store.home().StoreFile(), tvtest::Pattern(300));
  EXPECT_FALSE(ReadAllKeys(keys));
  EXPECT_FALSE(KeyExists("Alpha"));
  EXPECT_FALSE(ValidKeyExists("SALES"));
  EXPECT_EQ(GetKeyStatus("SALES", &found, &valid, &algorithm), 0);
  EXPECT_EQ(found + valid + algorithm, 0);
  int length = -1;
  EXPECT_EQ(GetKeyLength("Alpha", &length), 0);

  DeleteFileA(store.home().StoreFile().c_str());
  EXPECT_TRUE(ReadAllKeys(keys));
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(GetKeyStatus("SALES", &found, &valid, &algorithm), 1);
  EXPECT_EQ(found, 0);
}

TEST_F(KeyStoreTest, UsableNamesAreEnabledKeysWithTemplateOrTheMediaKey) {
  tvtest::TempDir work;
  app.m_strTemplateFolder = work.path();
  // SALES has a template with a path entry, DESKEY one without; Alpha (not enabled) has
  // one too but must not be listed.
  for (const char* name : {"SALES", "DESKEY", "Alpha"}) {
    CreateDirectoryA((work / name).c_str(), nullptr);
    std::ofstream(work / name + "\\tarvo.ini")
        << (std::string(name) == "DESKEY" ? "[PATH]\n0002=C:\\x\n" : "[PATH]\n0001=C:\\data\n");
  }
  app.m_strMediaIni = work / "kvrfltme.ini";
  std::vector<std::string> names{"stale"};
  ListUsableKeyNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"SALES"}));

  // The media key counts without a template, but only with its exact letter case; the
  // settings file is read again for it.
  std::ofstream(app.m_strMediaIni) << "[MEDIASETTING]\nKEYNAME=DESKEY\n";
  ListUsableKeyNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"SALES", "DESKEY"}));
  std::ofstream(app.m_strMediaIni) << "[MEDIASETTING]\nKEYNAME=deskey\n";
  ListUsableKeyNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"SALES"}));

  tvtest::WriteAll(store.home().StoreFile(), tvtest::Pattern(300));
  ListUsableKeyNames(names);
  EXPECT_TRUE(names.empty());
}

TEST_F(KeyStoreTest, TemplateFileOfADriveRootHasNoDoubleBackslash) {
  // A three-character folder is a drive root that already ends in its backslash.
  tvtest::TempDir work;
  std::string drive = work.path().substr(0, 3);
  ASSERT_EQ(drive[2], '\\');
  std::string keyFolder = work.path().substr(3) + "\\K1";
  CreateDirectoryA((drive + keyFolder).c_str(), nullptr);
  std::ofstream(drive + keyFolder + "\\tarvo.ini") << "[PATH]\n0001=x\n";
  app.m_strTemplateFolder = drive;
  EXPECT_TRUE(HasTemplateEntry(keyFolder));
  app.m_strTemplateFolder = work.path();
  EXPECT_TRUE(HasTemplateEntry("K1"));
  EXPECT_FALSE(HasTemplateEntry("K2"));
}

TEST_F(KeyStoreTest, MailAddOnRecordsNameAndAlgorithmNeverTheValue) {
  InstalledAddOn addOn;
  CMailAddOn loader;
  EXPECT_TRUE(loader.KeyValid("x", "y", 9)) << "nothing loaded answers 1";
  ASSERT_TRUE(loader.Load());
  ASSERT_NE(loader.m_pfnKeyReset, nullptr);

  struct Case {
    const char* name;
    const char* value;
    int algorithm;
    BOOL result;
  } cases[] = {
      {"Plan", "plan-Value", KEY_ALG_TRIPLE_DES, 1},
      {"sales", "whatever", KEY_ALG_AES, 1},
      {"Nosuch", "v", KEY_ALG_AES, 0},   // not registered
      {"Alpha", "v", 3, 0},              // unknown algorithm: not even called
      {"Alpha", nullptr, KEY_ALG_AES, 0},
      {nullptr, "v", KEY_ALG_AES, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    EXPECT_EQ(loader.KeyValid(c.name, c.value, c.algorithm), c.result);
  }
  const std::string recorded = addOn.Recorded();
  EXPECT_EQ(recorded, "Plan\t1\r\nsales\t2\r\n");
  EXPECT_EQ(recorded.find("plan-Value"), std::string::npos);

  EXPECT_TRUE(loader.m_pfnKeyReset());
  EXPECT_EQ(addOn.Recorded(), "");
  // A data file it cannot write makes it fail.
  addOn.MakeUnwritable();
  EXPECT_FALSE(loader.KeyValid("Plan", "v", KEY_ALG_TRIPLE_DES));

  loader.Release();
  EXPECT_EQ(loader.m_hModule, nullptr);
  EXPECT_EQ(loader.m_pfnKeyValid, nullptr);
  EXPECT_TRUE(IsMailAddOnInstalled());
}

TEST(MailAddOn, NotInstalledWithoutItsUninstallKey) { EXPECT_FALSE(IsMailAddOnInstalled()); }

}  // namespace
