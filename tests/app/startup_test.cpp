// Start-up: the version code for every Windows version that Wine can report, and where
// the configuration is looked for. Wine reads the version per executable name at process
// start, so each case runs the start-up in a child process.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <fstream>
#include <map>

#include "uidriver.h"

namespace {

std::map<std::string, std::string> RunProbe(const std::string& exe) {
  vxtest::RunOptions options;
  options.timeoutMs = vxtest::kDefaultWait;
  const vxtest::RunResult run = vxtest::Run("\"" + vxtest::ExeFolder() + exe + "\"", options);
  EXPECT_EQ(run.code, 0u) << exe << ": " << run.err;
  const std::string& text = run.out;
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // text-mode stdout
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    pos = end + 1;
  }
  return out;
}

std::string CommonAppData() {
  char buf[MAX_PATH] = {};
  SHGetSpecialFolderPathA(nullptr, buf, CSIDL_COMMON_APPDATA, FALSE);
  return buf;
}

std::string SystemDir() {
  char buf[MAX_PATH] = {};
  GetSystemDirectoryA(buf, MAX_PATH);
  return buf;
}

struct VersionCase {
  const char* wine;
  unsigned code;
  unsigned codeWithoutManifest;
};

TEST(StartupTest, VersionCodeAndPolicyLocationForEveryWindowsVersion) {
  const VersionCase cases[] = {
      {"winxp", 501, 501},  {"winxp64", 0, 0},  {"vista", 600, 600}, {"win7", 601, 601},
      {"win8", 602, 602},   {"win81", 603, 602}, {"win10", 1000, 602},
  };
  const std::string exe = "vx_startup_probe.exe", bare = "vx_startup_probe_nomanifest.exe";
  vxtest::WineVersion version(exe), bareVersion(bare);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wine);
    version.Set(c.wine);
    bareVersion.Set(c.wine);
    auto probe = RunProbe(exe);
    EXPECT_EQ(probe["code"], std::to_string(c.code));
    EXPECT_EQ(RunProbe(bare)["code"], std::to_string(c.codeWithoutManifest));
    // Vista and later read the machine-wide policy; older systems the program's folder.
    if (c.code >= 600)
      EXPECT_EQ(probe["policy"], CommonAppData() + "\\Norvane\\TARVO-Pro\\policy.ini");
    else
      EXPECT_EQ(probe["policy"], vxtest::ExeFolder() + "policy.ini");
    EXPECT_EQ(probe["plugins"], vxtest::ExeFolder() + "PlugIns");
    EXPECT_EQ(probe["language"], "0");
    EXPECT_EQ(probe["token"], "1");  // the restriction query fails under Wine
  }
}

TEST(StartupTest, OldSystemsCreateThePlugInFolderAndReadPolicyBesideTheProgram) {
  const std::string exe = "vx_startup_probe.exe";
  const std::string plugins = vxtest::ExeFolder() + "PlugIns";
  const std::string policy = vxtest::ExeFolder() + "policy.ini";
  // The program folder is every test's: neither file stays there, however this ends.
  struct Removed {
    std::string plugins, policy;
    ~Removed() {
      RemoveDirectoryA(plugins.c_str());
      DeleteFileA(policy.c_str());
    }
  } removed{plugins, policy};
  RemoveDirectoryA(plugins.c_str());
  std::ofstream(policy, std::ios::binary) << "[VELVOX]\nPWRETRYMAX=7\n";

  vxtest::WineVersion version(exe);
  version.Set("win7");
  auto modern = RunProbe(exe);
  EXPECT_EQ(modern["plugins_exist"], "0");
  EXPECT_EQ(modern["retrymax"], "5");

  version.Set("winxp64");
  auto old = RunProbe(exe);
  EXPECT_EQ(old["plugins_exist"], "1");
  EXPECT_EQ(old["retrymax"], "7");
}

TEST(StartupTest, MediaSettingsFileFromTheFilterServiceKey) {
  const char* key = "SYSTEM\\CurrentControlSet\\Services\\kvrflt";
  struct Deleted {
    const char* key;
    ~Deleted() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, key); }
  } deleted{key};
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
  EXPECT_EQ(RunProbe("vx_startup_probe.exe")["media"], SystemDir() + "\\kvrfltme.ini");

  HKEY h;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                            nullptr),
            ERROR_SUCCESS);
  // Used as it stands, whether or not the file exists.
  const std::string media = "D:\\nowhere\\media.ini";
  RegSetValueExA(h, "Media", 0, REG_SZ, reinterpret_cast<const BYTE*>(media.c_str()),
                 static_cast<DWORD>(media.size() + 1));
  EXPECT_EQ(RunProbe("vx_startup_probe.exe")["media"], media);

  // A value that does not fit the 260-byte buffer falls back to the system folder.
  const std::string tooLong = "D:\\" + std::string(270, 'm') + ".ini";
  RegSetValueExA(h, "Media", 0, REG_SZ, reinterpret_cast<const BYTE*>(tooLong.c_str()),
                 static_cast<DWORD>(tooLong.size() + 1));
  EXPECT_EQ(RunProbe("vx_startup_probe.exe")["media"], SystemDir() + "\\kvrfltme.ini");
  RegCloseKey(h);
}

}  // namespace
