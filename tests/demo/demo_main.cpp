// The demo's scripted user: does what a new user of the tool would do, on the real
// windows of the virtual display, and tells what happens. It registers a key with the
// key administration tool, starts the suite's services, encrypts a sample folder with
// Japanese names to an ".xss" file, decrypts it into another folder, makes a
// self-decrypting executable and runs it, then compares all three results with the
// sample and shows what the operation log recorded. Every dialog is photographed.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "folderbrowser.h"
#include "stubdriver.h"
#include "testfiles.h"
#include "uidriver.h"

using vxtest::Acp;

namespace {

const std::string kHome = "C:\\velvox-demo";
const std::string kSample = kHome + "\\" + Acp(u8"報告書");
const std::string kKeyName = "DEMO";
const std::string kKeyValue = "demo-Value1";
const std::string kPassword = "OPEN-SESAME";
constexpr int kSaveSelfDecrypting = 1004;
constexpr int kKeyValueField = 1002, kKeyNameField = 1005;
constexpr int kSfxPassword = 1001, kSfxConfirm = 1002;

// Printed in the system code page; the demo script converts it for the terminal.
void Say(const std::string& acp) {
  std::printf("%s\n", acp.c_str());
  std::fflush(stdout);
}
std::string g_step = "start";
void Step(const char8_t* utf8) {
  g_step = Acp(utf8);
  Say("\n== " + g_step);
}
void Shot(const std::string& name, HWND w) {
  std::string path = vxtest::SaveScreenshot(name, w);
  Say("   (screenshot: " + (path.empty() ? std::string("not saved") : path) + ")");
}

template <typename F>
bool WaitUntil(F condition, DWORD ms = vxtest::kDefaultWait) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20))
    if (condition()) return true;
  return condition();
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }
std::string Bin(const char* exe) { return Quote(vxtest::ExeFolder() + exe); }

void Tree(const std::string& root, const std::string& rel, std::map<std::string, std::string>& out) {
  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA((root + "\\" + rel + (rel.empty() ? "" : "\\") + "*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = fd.cFileName;
    if (name == "." || name == "..") continue;
    std::string r = rel.empty() ? name : rel + "\\" + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[r] = "<folder>";
      Tree(root, r, out);
    } else {
      std::ifstream in(root + "\\" + r, std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      out[r] = ss.str();
    }
  } while (FindNextFileA(f, &fd));
  FindClose(f);
}
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> t;
  Tree(root, "", t);
  return t;
}

void MakeSample() {
  vxtest::RemoveTree(kHome);
  CreateDirectoryA(kHome.c_str(), nullptr);
  CreateDirectoryA(kSample.c_str(), nullptr);
  CreateDirectoryA((kSample + "\\2026").c_str(), nullptr);
  CreateDirectoryA((kSample + "\\" + Acp(u8"空のフォルダ")).c_str(), nullptr);
  std::ofstream(kSample + "\\summary.txt", std::ios::binary) << "Quarterly summary\r\n";
  std::ofstream(kSample + "\\2026\\" + Acp(u8"売上表.csv"), std::ios::binary)
      << Acp(u8"月,金額\r\n1,100\r\n2,250\r\n");
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>((i * 7919) >> 3);
  std::ofstream(kSample + "\\" + Acp(u8"表ソ.bin"), std::ios::binary) << big;
  for (const char* d : {"\\encrypted", "\\decrypted", "\\self-decrypted"})
    CreateDirectoryA((kHome + d).c_str(), nullptr);
}

// Runs a console program with `input` on its standard input (a value never goes on a
// command line) and shows what it printed unless `quiet`; returns its exit code.
DWORD RunWithInput(const std::string& cmd, const std::string& input, bool quiet = false) {
  vxtest::RunOptions options;
  options.input = input;
  const vxtest::RunResult r = vxtest::Run(cmd, options);
  if (!quiet) {
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    std::fwrite(r.err.data(), 1, r.err.size(), stderr);
    std::fflush(stdout);
    std::fflush(stderr);
  }
  return r.code;
}
DWORD RunTool(const std::string& cmd, bool quiet = false) { return RunWithInput(cmd, "", quiet); }

void PostClick(HWND dlg, int id) {
  PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

HWND WaitSaveAs(DWORD pid) { return vxtest::WaitForDialogWith(kSaveSelfDecrypting, pid); }

// Ticks or clears the self-decrypting box and types `path`; photographed as `shot` when
// given, while the user could still look at it; then Save.
void SaveAs(HWND save, const std::string& path, bool selfDecrypting, const char* shot = nullptr) {
  HWND box = vxtest::FindDescendant(save, kSaveSelfDecrypting);
  if (selfDecrypting != (SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED))
    SendMessageA(box, BM_CLICK, 0, 0);
  SendMessageA(vxtest::FileDialogNameField(save), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  if (shot) Shot(shot, save);
  PostMessageA(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

std::string ReadUtf8Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string FromUtf8(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
  int m = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(), m, nullptr, nullptr);
  if (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

const std::string kLogFile = "C:\\ProgramData\\Norvane\\TARVO-Pro\\Log\\tarvolog.dat";

TEST(Demo, TheWholeTool) {
  ASSERT_NE(GetSystemMetrics(SM_CXSCREEN), 0) << "the demo needs a display";
  std::string velvox = Bin("velvox.exe");

  Step(u8"1. 見本のフォルダを用意します (a sample folder with Japanese names)");
  MakeSample();
  const auto sample = Tree(kSample);
  for (const auto& [rel, data] : sample)
    Say("   " + rel + (data == "<folder>" ? "\\" : "  (" + std::to_string(data.size()) + " bytes)"));

  Step(u8"2. 鍵管理ツールで鍵 DEMO を登録します (the key administration tool registers a key)");
  RunTool(Bin("tvkeyadm.exe") + " init");
  // A key left by an earlier run of the demo goes first; on a new machine there is none.
  RunTool(Bin("tvkeyadm.exe") + " remove " + kKeyName, /*quiet=*/true);
  DWORD added = RunWithInput(Bin("tvkeyadm.exe") + " add " + kKeyName +
                                 " --alg aes --value-stdin --desc demo",
                             kKeyValue + "\n");
  ASSERT_EQ(added, 0u) << "tvkeyadm add";
  Say("   tvkeyadm add DEMO --alg aes --value-stdin: done (the value went through standard input)");

  Step(u8"3. スイートのサービスを起動します (the suite's log service and resident window)");
  DeleteFileA(kLogFile.c_str());
  auto logService = vxtest::Process::Start(Bin("tglogsvc.exe"));
  auto resident = vxtest::Process::Start(Bin("tvresident.exe"));
  ASSERT_TRUE(WaitUntil([] { return FindWindowA("#32770", "tarvo") != nullptr; }));
  Say("   tglogsvc.exe and tvresident.exe are running");

  const std::string xss = kHome + "\\encrypted\\" + Acp(u8"報告書.xss");
  {
    Step(u8"4. フォルダを暗号化します (encrypt the folder to .xss)");
    Say("   velvox.exe " + Quote(kSample) + "   (as the Explorer entry starts it)");
    auto p = vxtest::Process::Start(velvox + " " + Quote(kSample));
    HWND save = WaitSaveAs(p.pid());
    ASSERT_NE(save, nullptr);
    Say("   the save-as dialog proposes: " + vxtest::WindowText(vxtest::FileDialogNameField(save)));
    Shot("demo-01-save-as", save);
    SaveAs(save, xss, false);
    HWND key = vxtest::WaitForWindow(Acp(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait, p.pid());
    ASSERT_NE(key, nullptr);
    vxtest::SetControlText(key, kKeyNameField, kKeyName);
    vxtest::SetControlText(key, kKeyValueField, kKeyValue);
    Shot("demo-02-key", key);
    Say("   key " + kKeyName + " and its value typed, OK");
    PostClick(key, IDOK);
    ASSERT_EQ(p.Wait(60000), 0u);
    ASSERT_NE(GetFileAttributesA(xss.c_str()), INVALID_FILE_ATTRIBUTES);
    Say("   written: " + xss);
  }

  const std::string decrypted = kHome + "\\decrypted";
  {
    Step(u8"5. 暗号化ファイルを復号します (decrypt the .xss into another folder)");
    Say("   velvox.exe " + Quote(xss) + "   (as a double-click starts it)");
    auto p = vxtest::Process::Start(velvox + " " + Quote(xss));
    HWND key = vxtest::WaitForWindow(Acp(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait, p.pid());
    ASSERT_NE(key, nullptr);
    Say("   the key dialog shows the archive's key, fixed: " + vxtest::ControlText(key, kKeyNameField));
    vxtest::SetControlText(key, kKeyValueField, kKeyValue);
    Shot("demo-03-decrypt-key", key);
    PostClick(key, IDOK);
    HWND browser = vxtest::WaitFolderBrowser(p.pid());
    ASSERT_NE(browser, nullptr);
    vxtest::SettleFolderTimes(decrypted);
    vxtest::SelectFolder(p, browser, decrypted);
    Shot("demo-04-folder", browser);
    Say("   destination chosen in the folder browser: " + decrypted);
    PostMessageA(browser, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(p.Wait(60000), 0u);
  }

  const std::string exe = kHome + "\\encrypted\\" + Acp(u8"報告書.exe");
  {
    Step(u8"6. 自己復号ファイルを作ります (make a self-decrypting executable)");
    auto p = vxtest::Process::Start(velvox + " " + Quote(kSample));
    HWND save = WaitSaveAs(p.pid());
    ASSERT_NE(save, nullptr);
    SaveAs(save, kHome + "\\encrypted\\" + Acp(u8"報告書"), true, "demo-05-save-as-self-decrypting");
    HWND pw = vxtest::WaitForWindow(Acp(u8"自己復号パスワード入力"), "#32770", vxtest::kDefaultWait, p.pid());
    ASSERT_NE(pw, nullptr);
    vxtest::SetControlText(pw, kSfxPassword, kPassword);
    vxtest::SetControlText(pw, kSfxConfirm, kPassword);
    Shot("demo-06-password", pw);
    Say("   the password typed twice, OK");
    PostClick(pw, IDOK);
    ASSERT_EQ(p.Wait(60000), 0u);
    ASSERT_NE(GetFileAttributesA(exe.c_str()), INVALID_FILE_ATTRIBUTES);
    Say("   written: " + exe);
  }

  const std::string selfDecrypted = kHome + "\\self-decrypted";
  {
    Step(u8"7. 自己復号ファイルを実行します (run the self-decrypting executable)");
    auto run = vxtest::RunSelfDecrypting(exe, kPassword, selfDecrypted, [](const char* stage, HWND w) {
      Shot(std::string("demo-07-self-decrypting-") + stage, w);
    });
    Say("   the executable says: " + run.doneText);
    EXPECT_EQ(run.exitCode, 0u);
  }

  Step(u8"8. 結果を見本と比べます (compare every result with the sample, byte for byte)");
  auto expectSame = [&](const std::string& label, const std::string& root) {
    auto got = Tree(root);
    std::map<std::string, std::string> want;
    const std::string top = Acp(u8"報告書");
    want[top] = "<folder>";
    for (const auto& [rel, data] : sample) want[top + "\\" + rel] = data;
    bool same = got == want;
    Say("   " + label + ": " + (same ? "identical to the sample" : "DIFFERENT from the sample"));
    EXPECT_TRUE(same) << label;
  };
  expectSame("decrypted .xss", decrypted);
  expectSame("self-decrypted executable", selfDecrypted);

  Step(u8"9. 操作ログの記録 (what the suite's operation log recorded)");
  std::string log = ReadUtf8Lines(kLogFile);
  if (log.empty()) Say("   (no record)");
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) Say("   " + FromUtf8(line));
  EXPECT_FALSE(log.empty());

  RunTool(Bin("tglogsvc.exe") + " --stop");
  if (HWND tarvo = FindWindowA("#32770", "tarvo")) PostMessageA(tarvo, WM_CLOSE, 0, 0);
  logService.Wait(10000);
  resident.Wait(10000);
  Say("\nThe demo is over: the sample, the .xss, the executable and both results are in " + kHome);
}

}  // namespace

// The demo tells its own story: no harness banners, and a failure as one clear line
// naming the step in which it happened.
class StoryListener : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& r) override {
    if (!r.failed()) return;
    Say("\nDEMO FAILED in step \"" + g_step + "\": " + std::string(r.summary()) + "  (" +
        (r.file_name() ? r.file_name() : "?") + ":" + std::to_string(r.line_number()) + ")");
  }
};

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
  delete listeners.Release(listeners.default_result_printer());
  listeners.Append(new StoryListener);
  return RUN_ALL_TESTS();
}
