// A host for the output pipeline as the jobs run it: the real application object, the
// main dialog run modally with the job inside its initialisation, the real libraries,
// a user thread that answers message boxes and dialogs, and a hook that presses the
// progress dialog's Cancel button at a chosen phase.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "velvoxdlg.h"

namespace pltest {

// Runs `job` inside the main dialog's OnInitDialog, as the program runs its jobs.
void RunJob(const std::function<void(CVelvoxDlg&)>& job);

// Answers every "TARVO-Pro" message box of this process while it lives: the i-th with
// buttons[i] (IDOK beyond the list), recording each text (system code page).
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::vector<int> buttons = {});
  ~BoxAnswerer();
  // Stops and returns the texts seen, converted to UTF-8.
  std::vector<std::string> Finish();
  // Boxes answered and gone so far.
  size_t answered() const { return answered_; }

 private:
  std::vector<int> buttons_;
  std::vector<std::string> texts_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> answered_{0};
  std::thread thread_;
};

// Presses the progress dialog's Cancel button (a posted click, as a user's click waits
// in the queue) when its text line changes for the `occurrence`-th time under
// `captionUtf8` (to a text ending in `textSuffix` when given); optionally saves a
// screenshot of the dialog at that moment. With `barAt`, the click comes later in that
// item instead, once the bar reaches `barAt` percent: nothing new is shown then, so
// only the dialog's own regular pumping can see it.
class CancelAtPhase {
 public:
  CancelAtPhase(const std::string& captionUtf8, int occurrence = 1, bool press = true,
                const std::string& screenshot = "", const std::string& textSuffix = "", int barAt = 0);
  ~CancelAtPhase();
  bool fired() const { return fired_; }

 private:
  static LRESULT CALLBACK Proc(int code, WPARAM wp, LPARAM lp);
  HHOOK hook_ = nullptr;
  std::string caption_, screenshot_, suffix_;
  int occurrence_, seen_ = 0, barAt_;
  bool press_, armed_ = false, fired_ = false;
};

// A fresh folder tree at `root` (removed first).
void FreshDir(const std::string& root);
void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
// Relative path -> content, with "<dir>" for folders; the whole tree below `root`.
std::map<std::string, std::string> Tree(const std::string& root);

// The decryption job's shape: progress dialog, TVDEV_DecryptArchive into a temporary
// archive, then ExtractArchive into `folder`.
BOOL DecryptAndExtract(CVelvoxDlg& dlg, const std::string& key, const std::string& xss,
                       const std::string& folder);

}  // namespace pltest
