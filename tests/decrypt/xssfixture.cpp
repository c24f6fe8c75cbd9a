#include "xssfixture.h"

#include <gtest/gtest.h>

#include "contracts/archiver.h"
#include "contracts/tvdev.h"
#include "uidriver.h"

namespace dectest {

int KeyAdm(const std::string& args) {
  // The tool never takes its store from the environment: it is named as an
  // administrator names it.
  char home[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA("TARVODEV_HOME", home, MAX_PATH);
  const std::string store = n > 0 && n < MAX_PATH ? "--store \"" + std::string(home) + "\" " : "";
  auto p = vxtest::Process::Start("\"" + vxtest::ExeFolder() + "tvkeyadm.exe\" " + store + args);
  return static_cast<int>(p.Wait(60000));
}

void AddKey(const std::string& name, const char* alg, const std::string& value, bool enabled) {
  std::string args = "add " + name + " --alg " + alg + " --value " + value + " --iterations 1000";
  if (enabled) args += " --enable";
  ASSERT_EQ(KeyAdm(args), 0) << args;
}

namespace {
BOOL CALLBACK Quiet(UINT, WPARAM, LPARAM) { return TRUE; }
}  // namespace

bool Pack(const std::string& folder, const std::string& name, const std::string& zip) {
  char saved[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, saved);
  SetCurrentDirectoryA(folder.c_str());
  DeleteFileA(zip.c_str());
  ArchiverSetMode(3);
  ArchiverSetCallback(Quiet);
  const DWORD attrs = GetFileAttributesA((folder + "\\" + name).c_str());
  std::string cmd = "-A -H -Q ";
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) cmd += "-X -R -M ";
  cmd += "\"" + zip + "\" \"" + name + "\"";
  const int rc = ArchiverCommand(nullptr, cmd.c_str());
  SetCurrentDirectoryA(saved);
  return rc == 0;
}

bool Encrypt(const std::string& key, const std::string& value, const std::string& zip,
             const std::string& xss) {
  if (!value.empty() && !TVDEV_CertifyKey(key.c_str(), value.c_str(), 0)) return false;
  return TVDEV_EncryptArchive(key.c_str(), zip.c_str(), xss.c_str(), 0, nullptr, nullptr, nullptr,
                              0, 0) != 0;
}

}  // namespace dectest
