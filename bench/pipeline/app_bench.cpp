// Benchmark driver for the whole program, run under Wine by bench/pipeline/run.sh:
//   encrypt SOURCE OUT.xss   starts velvox.exe with SOURCE as the shell would, types OUT.xss
//                            in the save-as dialog and the key in the key dialog
//   decrypt IN.xss DEST      starts velvox.exe with IN.xss, gives the key's value if it is
//                            asked for, chooses DEST in the folder browser (or takes it as
//                            the browser opens when DEST is IN.xss's own folder)
// The clock runs from the last dialog's OK to the end of velvox.exe (the output is then
// complete: it is moved into place before the program exits); the dialogs before it are
// not timed. Prints seconds and what was written. velvox.exe marks the times of its
// steps on the debugger output stream; read here as a debug-output monitor reads it, they
// give a line "timeline: step +seconds ..." set against the OK. The key "BenchKey" with
// the value "bench" must be a key of the store that TARVODEV_HOME names (run.sh makes it).
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// The debugger output stream of this session, read as a debug-output monitor reads it:
// a writer waits for DBWIN_BUFFER_READY, puts its process id and text into the
// DBWIN_BUFFER section and sets DBWIN_DATA_READY. Without a debugger attached to it,
// velvox.exe's marks come here. One monitor per session: another one running takes
// some of the lines.
class DebugOutputMonitor {
 public:
  DebugOutputMonitor() {
    bufferReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    dataReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize,
                                  "DBWIN_BUFFER");
    if (mapping_ && GetLastError() == ERROR_ALREADY_EXISTS)
      std::printf("note: another debug-output monitor is running; the timeline may miss steps\n");
    view_ = mapping_ ? static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kSize))
                     : nullptr;
    if (bufferReady_ && dataReady_ && view_) thread_ = std::thread([this] { Read(); });
    else std::printf("note: no debug-output monitor, so no timeline\n");
  }
  ~DebugOutputMonitor() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (view_) UnmapViewOfFile(view_);
    for (HANDLE h : {mapping_, dataReady_, bufferReady_})
      if (h) CloseHandle(h);
  }
  // The texts that process `pid` sent, in order.
  std::vector<std::string> From(DWORD pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& [from, text] : lines_)
      if (from == pid) texts.push_back(text);
    return texts;
  }

 private:
  static constexpr DWORD kSize = 4096;
  void Read() {
    for (;;) {
      SetEvent(bufferReady_);
      // A text set before the writer ended is still read: stopping waits for a quiet turn.
      if (WaitForSingleObject(dataReady_, 100) != WAIT_OBJECT_0) {
        if (stop_) return;
        continue;
      }
      DWORD pid = 0;
      std::memcpy(&pid, view_, sizeof pid);
      std::string text(view_ + sizeof pid, strnlen(view_ + sizeof pid, kSize - sizeof pid));
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(pid, std::move(text));
    }
  }
  HANDLE bufferReady_ = nullptr, dataReady_ = nullptr, mapping_ = nullptr;
  const char* view_ = nullptr;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::pair<DWORD, std::string>> lines_;
  std::thread thread_;
};

// The steps that velvox.exe marked, from the OK on.
void PrintTimeline(DebugOutputMonitor& monitor, DWORD pid, double start, double end) {
  std::printf("timeline:");
  for (const std::string& line : monitor.From(pid)) {
    double t = 0;
    char step[128];
    if (std::sscanf(line.c_str(), "vxtrace %lf %127s", &t, step) != 2) continue;
    if (std::strncmp(step, "peak_ws_mib=", 12) == 0)
      std::printf(" %s", step);
    else if (t >= start)
      std::printf(" %s +%.3f", step, t - start);
  }
  std::printf(" exit +%.3f\n", end - start);
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
  DebugOutputMonitor monitor;
  if (g_mode == "encrypt") {
    // The save-as dialog remembers the output folder, which run.sh removes.
    const vxtest::RegistryPutBack saveAsHistory(HKEY_CURRENT_USER, vxtest::kSaveAsHistoryKey);
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
    PrintTimeline(monitor, p.pid(), start, start + seconds);
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
    PrintTimeline(monitor, p.pid(), start, start + seconds);
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
