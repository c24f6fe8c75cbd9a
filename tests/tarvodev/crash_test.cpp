// A process that dies in the middle of writing an encrypted or decrypted file leaves
// nothing in the output folder: the library's temporary output is deleted by the
// system when the dead process's handles close. The dying process is this same test
// program, started again with TV_CRASH_CHILD set; it ends itself from inside the
// progress callback with TerminateProcess, as a kill or a crash would.
#include <gtest/gtest.h>

#include <string>

#include "contracts/tvdev.h"
#include "tvtest.h"
#include "uidriver.h"

using namespace tvtest;

namespace {

constexpr UINT kChildExit = 77;

int WINAPI DieMidway(DWORD, DWORD done, DWORD, DWORD, DWORD) {
  if (done > 0) TerminateProcess(GetCurrentProcess(), kChildExit);
  return 0;
}

std::string Env(const char* name) {
  char buf[MAX_PATH] = {};
  return GetEnvironmentVariableA(name, buf, MAX_PATH) ? buf : "";
}

// Runs before main in the child: certifies the key, then encrypts or decrypts until the
// first progress report after some output has been written.
const int g_child = [] {
  const std::string mode = Env("TV_CRASH_CHILD");
  if (mode.empty()) return 0;
  if (!TVDEV_CertifyKey("Crash", "crash-value", 0)) ExitProcess(1);
  const std::string in = Env("TV_CRASH_IN"), out = Env("TV_CRASH_OUT");
  if (mode == "encrypt")
    TVDEV_EncryptArchive("Crash", in.c_str(), out.c_str(), 0, nullptr, DieMidway, nullptr, 0, 0);
  else
    TVDEV_DecryptArchive("Crash", in.c_str(), out.c_str(), DieMidway, nullptr, 0, 0);
  ExitProcess(2);  // the callback was never called with data written
}();

}  // namespace

TEST(Crash, DeathMidwayLeavesNoPartialOutput) {
  StoreHome home;
  AddKey("Crash", KEY_ALG_AES, "crash-value");
  TempDir work;
  const std::string plain = work / "plain.zip", encrypted = work / "plain.xss";
  WriteAll(plain, Pattern(8u << 20));
  ASSERT_TRUE(TVDEV_CertifyKey("Crash", "crash-value", 0));
  ASSERT_TRUE(TVDEV_EncryptArchive("Crash", plain.c_str(), encrypted.c_str(), 0, nullptr, nullptr,
                                   nullptr, 0, 0))
      << TVDEV_GetLastError(0);
  struct Case {
    const char* mode;
    std::string in;
  } cases[] = {{"encrypt", plain}, {"decrypt", encrypted}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    TempDir out;
    SetEnvironmentVariableA("TV_CRASH_CHILD", c.mode);
    SetEnvironmentVariableA("TV_CRASH_IN", c.in.c_str());
    SetEnvironmentVariableA("TV_CRASH_OUT", (out / "result").c_str());
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    auto p = vxtest::Process::Start("\"" + std::string(self) + "\"");
    for (const char* v : {"TV_CRASH_CHILD", "TV_CRASH_IN", "TV_CRASH_OUT"})
      SetEnvironmentVariableA(v, nullptr);
    EXPECT_EQ(p.Wait(60000), kChildExit) << "the child died inside the progress callback";
    EXPECT_TRUE(out.List().empty()) << "left behind: " << (out.List().empty() ? "" : out.List()[0]);
  }
}
