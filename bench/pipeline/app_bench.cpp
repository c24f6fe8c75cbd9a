// Benchmark driver for the whole program, run under Wine by bench/pipeline/run.sh:
//   encrypt SOURCE OUT.xss   starts velvox.exe with SOURCE as the shell would, types OUT.xss
//                            in the save-as dialog and the key in the key dialog
//   decrypt IN.xss DEST      starts velvox.exe with IN.xss, gives the key's value if it is
//                            asked for, chooses DEST in the folder browser (or takes it as
//                            the browser opens when DEST is IN.xss's own folder)
// The clock runs from the last dialog's OK to the end of velvox.exe (the output is then
// complete: it is moved into place before the program exits); the dialogs before it are
// not timed. Prints seconds and what was written. When VX_PHASE_TRACE names a file,
// velvox.exe writes the times of its steps there, and a line "timeline: step +seconds ..."
// sets them against the OK. The key "BenchKey" with the value
// "bench" must be a key of the store that TARVODEV_HOME names (run.sh makes it).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "dialogs_ids.h"
#include "folderbrowser.h"
#include "keys_ids.h"
#include "uidriver.h"

namespace {

const char kKeyName[] = "BenchKey";
const char kKeyValue[] = "bench";
std::string g_mode, g_from, g_to;

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

void PostOk(HWND dlg) {
  PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
}

HWND WaitKeyDialog(DWORD pid) {
  return vxtest::WaitForWindow(vxtest::Acp(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait, pid);
}

std::string TracePath() {
  char path[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableA("VX_PHASE_TRACE", path, MAX_PATH);
  return n && n < MAX_PATH ? path : "";
}

// The steps that velvox.exe marked, from the OK on.
void PrintTimeline(double start, double end) {
  const std::string path = TracePath();
  if (path.empty()) return;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return;
  std::printf("timeline:");
  double t = 0;
  char step[128];
  while (std::fscanf(f, "%lf %127s", &t, step) == 2) {
    if (std::strncmp(step, "peak_ws_mib=", 12) == 0)
      std::printf(" %s", step);
    else if (t >= start)
      std::printf(" %s +%.3f", step, t - start);
  }
  std::printf(" exit +%.3f\n", end - start);
  std::fclose(f);
}

// Waits for velvox.exe to end after the last OK; the time from `start`.
double FinishTimed(vxtest::Process& p, double start) {
  const DWORD waited = WaitForSingleObject(p.handle(), 30 * 60 * 1000);
  const double seconds = Now() - start;
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "velvox.exe did not end";
  DWORD code = 1;
  GetExitCodeProcess(p.handle(), &code);
  EXPECT_EQ(code, 0u) << "velvox.exe exit code";
  return seconds;
}

TEST(AppBench, Run) {
  ASSERT_NE(GetSystemMetrics(SM_CXSCREEN), 0) << "needs a display";
  const std::string velvox = "\"" + vxtest::ExeFolder() + "velvox.exe\" \"" + g_from + "\"";
  if (!TracePath().empty()) DeleteFileA(TracePath().c_str());
  if (g_mode == "encrypt") {
    DeleteFileA(g_to.c_str());
    auto p = vxtest::Process::Start(velvox);
    HWND save = vxtest::WaitForDialogWith(IDC_SAVE_SELF_DECRYPTING, p.pid());
    ASSERT_NE(save, nullptr);
    SendMessageA(vxtest::FileDialogNameField(save), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(g_to.c_str()));
    PostMessageA(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    HWND key = WaitKeyDialog(p.pid());
    ASSERT_NE(key, nullptr);
    vxtest::SetControlText(key, IDC_KEY_NAME, kKeyName);
    vxtest::SetControlText(key, IDC_KEY_VALUE, kKeyValue);
    const double start = Now();
    PostOk(key);
    const double seconds = FinishTimed(p, start);
    WIN32_FILE_ATTRIBUTE_DATA a{};
    ASSERT_TRUE(GetFileAttributesExA(g_to.c_str(), GetFileExInfoStandard, &a)) << "no output";
    std::printf("seconds=%.3f size=%llu\n", seconds,
                (static_cast<unsigned long long>(a.nFileSizeHigh) << 32) | a.nFileSizeLow);
    PrintTimeline(start, start + seconds);
  } else if (g_mode == "decrypt") {
    auto p = vxtest::Process::Start(velvox);
    // A key enabled in the store needs no proof: the folder browser comes first then.
    const std::string keyTitle = vxtest::Acp(u8"使用する鍵の入力");
    HWND browser = nullptr;
    double keyOk = Now();
    for (DWORD begin = GetTickCount(); !browser && GetTickCount() - begin < vxtest::kDefaultWait; Sleep(20)) {
      for (HWND w : vxtest::FindWindows("", "#32770", p.pid())) {
        if (vxtest::WindowText(w) == keyTitle) {
          vxtest::SetControlText(w, IDC_KEY_VALUE, kKeyValue);
          keyOk = Now();
          PostOk(w);
          vxtest::WaitWindowGone(w);
        } else if (FindWindowExA(w, nullptr, "SysTreeView32", nullptr)) {
          browser = w;
        }
      }
    }
    ASSERT_NE(browser, nullptr) << vxtest::DescribeWindows();
    const double browserShown = Now();
    // The browser opens at the archive's folder: a destination there needs no selecting
    // (run.sh decrypts there), any other is chosen through the browser.
    const std::string archiveFolder = g_from.substr(0, g_from.find_last_of('\\'));
    if (_stricmp(archiveFolder.c_str(), g_to.c_str()) == 0) {
      vxtest::ExpectFolderSelected(browser, g_to);
    } else {
      vxtest::SettleFolderTimes(g_to);
      vxtest::SelectFolder(p, browser, g_to);
    }
    ASSERT_FALSE(::testing::Test::HasFailure());
    const double start = Now();
    PostMessageA(browser, WM_COMMAND, IDOK, 0);
    const double seconds = FinishTimed(p, start);
    std::printf("seconds=%.3f to_browser=%.3f\n", seconds, browserShown - keyOk);
    PrintTimeline(start, start + seconds);
  } else {
    FAIL() << "usage: app_bench encrypt SOURCE OUT.xss | decrypt IN.xss DEST";
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc == 4) {
    g_mode = argv[1];
    g_from = argv[2];
    g_to = argv[3];
  }
  return RUN_ALL_TESTS();
}
