// Drives real windows the way a user would, from a test thread or another process:
// find a dialog or message box, read what it shows, type, tick, click, answer.
// Every wait has a watchdog: a window that never appears fails the test with a list
// of the windows that do exist, instead of hanging the run.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "process.h"

namespace vxtest {

// Converts UTF-8 (test sources write Japanese as u8"" literals) to the system code page.
std::string Acp(const char8_t* utf8);
std::string Acp(const std::string& utf8);
// Converts system-code-page text to UTF-8, for readable failure messages.
std::string Utf8(const std::string& acp);
// Converts system-code-page text to UTF-16.
std::wstring Wide(const std::string& acp);

// Visible top-level windows of any process whose title equals `title` (empty: any)
// and whose class equals `cls` (empty: any); `pid` 0 matches every process.
std::vector<HWND> FindWindows(const std::string& title, const std::string& cls = "#32770", DWORD pid = 0);
// Waits for such a window; on timeout it records a test failure naming what exists and
// returns nullptr.
HWND WaitForWindow(const std::string& title, const std::string& cls = "#32770",
                   DWORD timeoutMs = kDefaultWait, DWORD pid = 0);
bool WaitWindowGone(HWND w, DWORD timeoutMs = kDefaultWait);
// The control `id` anywhere below `top` (a common dialog keeps its template's controls
// one level down), or nullptr.
HWND FindDescendant(HWND top, int id);
// Waits for a visible top-level dialog of `pid` that holds control `id` somewhere: the way
// to find a dialog whose title is chosen by the system, such as the save dialog.
HWND WaitForDialogWith(int id, DWORD pid, DWORD timeoutMs = kDefaultWait);
// A file dialog's name field: the combo box of the Explorer style or the plain edit.
HWND FileDialogNameField(HWND dlg);
// One line per visible top-level window: pid, class, title (UTF-8). For reports.
std::string DescribeWindows();

std::string WindowText(HWND w);
std::string ControlText(HWND dlg, int id);
// Texts of the static controls of a dialog, joined by "\n": a message box's message.
std::string StaticTexts(HWND dlg);
bool IsControlEnabled(HWND dlg, int id);
bool IsChecked(HWND dlg, int id);

// Sets an edit control's text as typing would (WM_SETTEXT raises EN_CHANGE).
void SetControlText(HWND dlg, int id, const std::string& text);
void SetCheck(HWND dlg, int id, bool checked);
// Clicks a button through BM_CLICK, as a mouse click would, so a disabled button stays dead.
void ClickButton(HWND dlg, int id);
// Posts the WM_COMMAND of a click on button `id` of `dlg`: it reaches the dialog even
// when the button is disabled.
void PostCommand(HWND dlg, int id);
// Runs a modal dialog on this thread (`doModal`) while `user` acts on the dialog titled
// `title` of this process from another thread; whatever the user leaves open is
// cancelled. What `doModal` returns.
INT_PTR RunModal(const std::function<INT_PTR()>& doModal, const std::string& title,
                 const std::function<void(HWND)>& user);

struct MessageBoxSeen {
  HWND hwnd = nullptr;
  std::string caption;  // system code page
  std::string text;     // system code page
  std::wstring wtext;   // as shown, with names that the code page cannot spell
  bool icon = false;    // an icon (exclamation, question, ...) is shown beside the text
};
// Waits for a message box with this caption, reads it and presses `button` (IDOK,
// IDCANCEL, IDYES, IDNO ...).
MessageBoxSeen AnswerMessageBox(int button, const std::string& caption = "TARVO-Pro",
                                DWORD timeoutMs = kDefaultWait, DWORD pid = 0);

// Folder of the running test executable, with a trailing backslash.
std::string ExeFolder();

// Saves the screen (or one window's area) as a PNG under the build tree's
// screenshots folder and returns the full path; empty on failure.
std::string SaveScreenshot(const std::string& name, HWND w = nullptr);

// Hooks every thread of process `pid` with an export of the test's cancel hook library
// (vx_cancelhook.dll, which the system then loads into that process), until destruction.
class CancelHook {
 public:
  explicit CancelHook(DWORD pid, const char* hookExport = "VxCancelAtDecrypting");
  ~CancelHook();
  CancelHook(const CancelHook&) = delete;
  CancelHook& operator=(const CancelHook&) = delete;

 private:
  HMODULE module_ = nullptr;
  std::vector<HHOOK> hooks_;
};

}  // namespace vxtest
