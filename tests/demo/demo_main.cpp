// The demo's scripted user: prepares a sample folder, starts velvox.exe on it as the
// shell would, and acts on every window the program opens, saving a screenshot of each.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "uidriver.h"

using vxtest::Acp;

namespace {

const std::string kSample = "C:\\velvox-demo\\report";

void MakeSample() {
  CreateDirectoryA("C:\\velvox-demo", nullptr);
  CreateDirectoryA(kSample.c_str(), nullptr);
  CreateDirectoryA((kSample + "\\2026").c_str(), nullptr);
  std::ofstream(kSample + "\\summary.txt") << "Quarterly summary\r\n";
  std::ofstream(kSample + "\\2026\\" + Acp(u8"売上表.csv")) << "month,amount\r\n1,100\r\n";
}

// Printed in the system code page; the demo script converts it for the terminal.
void Say(const std::string& acp) {
  std::printf("demo: %s\n", acp.c_str());
  std::fflush(stdout);
}

TEST(Demo, EncryptASampleFolder) {
  MakeSample();
  Say("starting velvox.exe \"" + kSample + "\"");
  auto p = vxtest::Process::Start("\"" + vxtest::ExeFolder() + "velvox.exe\" \"" + kSample + "\"");
  HWND box = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, p.pid());
  ASSERT_NE(box, nullptr);
  Say("screenshot " + vxtest::SaveScreenshot("demo-1-job", box));
  std::string text = vxtest::StaticTexts(box);
  Say("the program says: " + text);
  vxtest::ClickButton(box, IDOK);
  EXPECT_EQ(p.Wait(), 0u);
  if (text.find("EncryptJob") != std::string::npos)
    Say("the program got as far as the encryption job, which this build does not have yet");
}

}  // namespace
