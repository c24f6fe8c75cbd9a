// tvkeyadm.exe started as a child process, as an administrator runs it; its changes are
// checked through the library's own entry points.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>

#include "contracts/tvdev.h"
#include "tvtest.h"
#include "uidriver.h"

using namespace tvtest;

namespace {

using Result = vxtest::RunResult;

// Runs tvkeyadm.exe with exactly `args`, feeding `input` to its standard input.
Result RawTool(const std::string& args, const std::string& input = "") {
  vxtest::RunOptions options;
  options.input = input;
  options.creationFlags = CREATE_NO_WINDOW;
  options.timeoutMs = 30000;
  return vxtest::Run("\"" + vxtest::ExeFolder() + "tvkeyadm.exe\" " + args, options);
}

// Runs tvkeyadm.exe on the store that this process's library uses (TARVODEV_HOME),
// named on the command line as an administrator names it, unless `args` name one.
Result Tool(const std::string& args, const std::string& input = "") {
  char home[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA("TARVODEV_HOME", home, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || args.rfind("--store ", 0) == 0) return RawTool(args, input);
  return RawTool("--store \"" + std::string(home) + "\" " + args, input);
}

KeyInfo Info(const char* name) {
  KeyInfo k{};
  std::strcpy(k.Name, name);
  EXPECT_TRUE(TVDEV_GetKeyInfoByName(&k, 0)) << name;
  return k;
}

BOOL EncryptWith(const char* key, const TempDir& work) {
  WriteAll(work / "in.zip", Pattern(500));
  return TVDEV_EncryptArchive(key, (work / "in.zip").c_str(), (work / "out.xss").c_str(), 0,
                              nullptr, nullptr, nullptr, 0, 0);
}

class Admin : public ::testing::Test {
 protected:
  StoreHome home;
  TempDir work;
};

}  // namespace

TEST_F(Admin, KeyLifecycleSeenThroughTheLibrary) {
  EXPECT_EQ(Tool("list").code, 4u) << "no store yet";
  EXPECT_EQ(Tool("init").code, 0u);
  EXPECT_EQ(Tool("init").code, 6u) << "an existing store is never replaced";
  Result r = Tool("add Alpha --alg aes --value secret --desc \"first key\" --iterations 1000");
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_EQ(Tool("add ALPHA --alg des --value x --iterations 1000").code, 6u) << "names ignore case";
  ASSERT_EQ(Tool("add Beta --alg 3des --value-stdin --param-file --enable --iterations 1000",
                 "pw\r\n").code, 0u);

  r = Tool("list");
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.out,
            "Alpha\tAES\t256\tdisabled\tactive\tno-parameter-file\tfirst key\r\n"
            "Beta\tTriple DES\t168\tenabled\tactive\tparameter-file\t\r\n");
  KeyInfo beta = Info("Beta");
  EXPECT_EQ(beta.Valid, 1);
  EXPECT_EQ(beta.ParameterFile, 0) << "uses a parameter file";
  EXPECT_TRUE(TVDEV_CertifyKey("Beta", "pw", 0)) << "the value came from standard input";

  EXPECT_EQ(Info("Alpha").Valid, 0);
  EXPECT_FALSE(EncryptWith("Alpha", work));
  EXPECT_EQ(Tool("enable Alpha --value wrong").code, 3u);
  EXPECT_EQ(Tool("enable Alpha --value SECRET").code, 0u) << "256-bit values are upper-cased";
  EXPECT_EQ(Info("Alpha").Valid, 1);
  EXPECT_TRUE(EncryptWith("Alpha", work)) << "enabled: usable without the value";

  EXPECT_EQ(Tool("suspend alpha").code, 0u);
  EXPECT_FALSE(EncryptWith("Alpha", work));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_KEY_SUSPENDED);
  EXPECT_EQ(Tool("resume Alpha").code, 0u);
  EXPECT_TRUE(EncryptWith("Alpha", work));

  EXPECT_EQ(Tool("describe Alpha \"second text\"").code, 0u);
  EXPECT_STREQ(Info("Alpha").Description, "second text");

  EXPECT_EQ(Tool("disable Alpha").code, 0u);
  EXPECT_EQ(Info("Alpha").Valid, 0);
  EXPECT_FALSE(EncryptWith("Alpha", work));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_NOT_CERTIFIED);

  EXPECT_EQ(Tool("remove Alpha").code, 0u);
  EXPECT_EQ(Tool("remove Alpha").code, 2u);
  EXPECT_EQ(Tool("list").out, "Beta\tTriple DES\t168\tenabled\tactive\tparameter-file\t\r\n");
  EXPECT_EQ(home.dir().List(), (std::vector<std::string>{"keystore.dat", "machine.key"}))
      << "no lock or temporary file left behind";
}

TEST_F(Admin, BadInputGivesAMessageAndAnExitCode) {
  ASSERT_EQ(Tool("init").code, 0u);
  ASSERT_EQ(Tool("add Key1 --alg des --value v --iterations 1000").code, 0u);
  const Bytes before = ReadAll(home.StoreFile());
  struct Case {
    const char* args;
    DWORD code;
  } cases[] = {
      {"", 1},
      {"frobnicate", 1},
      {"add --alg aes --value v", 1},
      {"add bad-name --alg aes --value v", 1},
      {"add ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456 --alg aes --value v", 1},  // 33 characters
      {"add Key2 --alg rc4 --value v", 1},
      {"add Key2 --alg aes", 1},
      {"add Key2 --alg aes --value v --value-stdin", 1},
      {"add Key2 --alg aes --value v --iterations 5", 1},
      {"add Key2 --alg aes --value v --iterations 10000001", 1},
      {"add Key2 --alg aes --value v --iterations 4294967295", 1},
      {"add Key2 --alg aes --value v --colour red", 1},
      {"enable Nobody --value v", 2},
      {"enable Key1", 1},
      {"suspend Nobody", 2},
      {"describe Key1", 1},
      {"list extra", 1},
  };
  for (const Case& c : cases) {
    const Result r = Tool(c.args);
    EXPECT_EQ(r.code, c.code) << c.args;
    EXPECT_FALSE(r.err.empty()) << c.args;
  }
  EXPECT_EQ(ReadAll(home.StoreFile()), before) << "failed commands change nothing";
}

TEST_F(Admin, DamagedStoreIsRefusedAndKept) {
  ASSERT_EQ(Tool("init").code, 0u);
  ASSERT_EQ(Tool("add Key1 --alg aes --value v --iterations 1000").code, 0u);
  Bytes damaged = ReadAll(home.StoreFile());
  damaged[20] ^= 0x10;
  WriteAll(home.StoreFile(), damaged);
  for (const char* args : {"list", "add Key2 --alg aes --value v --iterations 1000",
                           "remove Key1", "suspend Key1"}) {
    const Result r = Tool(args);
    EXPECT_EQ(r.code, 4u) << args;
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Tool("init").code, 6u);
  EXPECT_EQ(ReadAll(home.StoreFile()), damaged);
}

// Another store folder on the command line wins over the environment.
TEST_F(Admin, StoreOptionSelectsTheFolder) {
  TempDir other;
  ASSERT_EQ(Tool("--store \"" + other.path() + "\" init").code, 0u);
  EXPECT_TRUE(Exists(other / "keystore.dat"));
  EXPECT_FALSE(Exists(home.StoreFile()));
}

// The tool runs as administrator in an environment that the user's unelevated processes
// may have set (HKCU\Environment): TARVODEV_HOME, which the library honours in a user's
// own process, never chooses the tool's store. Without --store it is the installation's
// store, whatever that holds.
TEST_F(Admin, TheEnvironmentNeverChoosesTheToolsStore) {
  AddKey("EnvOnly", KEY_ALG_AES, "v");  // in the store that TARVODEV_HOME names
  TempDir other;
  const std::string store = "--store \"" + other.path() + "\" ";
  ASSERT_EQ(RawTool(store + "init").code, 0u);
  ASSERT_EQ(RawTool(store + "add Named --alg aes --value v --iterations 1000").code, 0u);
  EXPECT_EQ(RawTool(store + "list").out,
            "Named\tAES\t256\tdisabled\tactive\tno-parameter-file\t\r\n");
  const Result installation = RawTool("list");
  EXPECT_EQ(installation.out.find("EnvOnly"), std::string::npos) << installation.out;
  EXPECT_EQ(installation.err.find(home.dir().path()), std::string::npos) << installation.err;
}

// A store whose checksum is right but whose wrapped material was changed: the right
// value proves, the material does not open, and the tool says the store is damaged.
TEST_F(Admin, EnableWithDamagedMaterialFailsWithFour) {
  ASSERT_EQ(Tool("init").code, 0u);
  ASSERT_EQ(Tool("add Key1 --alg 3des --value-stdin --iterations 1000", "v1\n").code, 0u);
  tvdev::store::Store s;
  ASSERT_EQ(tvdev::store::Load(&s), tvdev::store::LoadResult::Ok);
  s.keys[0].wrapped[0] ^= 0x01;
  std::string why;
  ASSERT_TRUE(tvdev::store::Save(s, &why)) << why;
  const Bytes forged = ReadAll(home.StoreFile());
  const Result r = Tool("enable Key1 --value-stdin", "v1\n");
  EXPECT_EQ(r.code, 4u) << r.err;
  EXPECT_FALSE(r.err.empty());
  EXPECT_EQ(Tool("enable Key1 --value-stdin", "v2\n").code, 3u) << "a wrong value stays wrong";
  EXPECT_EQ(ReadAll(home.StoreFile()), forged);
}

// Another administrator's run holds keystore.lock: the tool gives up with 5 and leaves
// the store as it was.
TEST_F(Admin, HeldLockStopsTheToolAndKeepsTheStore) {
  ASSERT_EQ(Tool("init").code, 0u);
  ASSERT_EQ(Tool("add Key1 --alg aes --value-stdin --iterations 1000", "v\n").code, 0u);
  const Bytes before = ReadAll(home.StoreFile());
  HANDLE lock = CreateFileA((home.dir() / "keystore.lock").c_str(), GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  const Result r = Tool("add Key2 --alg des --value-stdin --iterations 1000", "w\n");
  EXPECT_EQ(r.code, 5u) << r.err;
  EXPECT_NE(r.err.find("lock"), std::string::npos) << r.err;
  EXPECT_EQ(Tool("list").code, 0u) << "reading needs no lock";
  CloseHandle(lock);
  EXPECT_EQ(ReadAll(home.StoreFile()), before);
  EXPECT_EQ(home.dir().List(), (std::vector<std::string>{"keystore.dat"}));
}

// The store folder is made by init only, with its own rights: administrators and the
// system write, users read; nothing inherited from the parent, where users may create
// folders. No other command and no library call creates it. (Wine keeps no file
// security, so the rights are checked as the descriptor the tool creates the folder
// with.)
TEST_F(Admin, OnlyInitCreatesTheStoreFolderWithItsOwnRights) {
  const std::string vendor = work / "Norvane", folder = vendor + "\\TARVO-Pro";
  SetEnvironmentVariableA("TARVODEV_HOME", folder.c_str());
  EXPECT_EQ(Tool("add Key1 --alg aes --value-stdin --iterations 1000", "v\n").code, 4u);
  EXPECT_EQ(Tool("list").code, 4u);
  EXPECT_FALSE(Exists(vendor));
  const Result r = Tool("init");
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_TRUE(Exists(folder + "\\keystore.dat"));
  EXPECT_EQ(Tool("add Key1 --alg aes --value-stdin --iterations 1000 --enable", "v\n").code, 0u);
  EXPECT_TRUE(Exists(folder + "\\machine.key"));
  SetEnvironmentVariableA("TARVODEV_HOME", home.dir().path().c_str());

  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      tvdev::store::HomeSecurity(), SDDL_REVISION_1, &sd, nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the parent";
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl);
  const DWORD writes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                       FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                       WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  int system = 0, admins = 0, users = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << "files in it too";
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = &allowed->SidStart;
    if (IsWellKnownSid(sid, WinLocalSystemSid)) {
      ++system;
      EXPECT_EQ(allowed->Mask, DWORD(FILE_ALL_ACCESS));
    } else if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
      ++admins;
      EXPECT_EQ(allowed->Mask, DWORD(FILE_ALL_ACCESS));
    } else if (IsWellKnownSid(sid, WinBuiltinUsersSid)) {
      ++users;
      EXPECT_EQ(allowed->Mask & writes, 0u) << "users cannot change or replace anything";
      EXPECT_EQ(allowed->Mask & FILE_GENERIC_READ, DWORD(FILE_GENERIC_READ));
    } else {
      ADD_FAILURE() << "no one else gets rights (ACE " << i << ")";
    }
  }
  EXPECT_EQ(system + admins + users, 3);
  EXPECT_EQ(system * admins * users, 1);
  LocalFree(sd);
}

TEST_F(Admin, HelpRecommendsTheValueFromStandardInput) {
  const Result r = Tool("--help");
  EXPECT_EQ(r.code, 0u);
  EXPECT_NE(r.out.find("Give key values with --value-stdin"), std::string::npos) << r.out;
}
