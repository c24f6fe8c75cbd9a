// The application object: one per process, reached through AfxGetApp(). It owns the
// instance handle, the main-window pointer, string-table loading and the one
// message-box function whose caption is always the application title.
#pragma once
#include <windows.h>

#include <string>

#include "wnd.h"

namespace fw {

class CWinApp {
 public:
  // `titleId`: string-table id of the application title (every message box's caption).
  explicit CWinApp(UINT titleId);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual BOOL InitInstance();
  // Runs after InitInstance returned FALSE; its result is the process exit code.
  virtual int ExitInstance();
  virtual void WinHelp(DWORD_PTR data, UINT cmd);
  // Last chance to remove what must not outlive the process when AfxExitProcess ends it
  // from inside a dialog; window procedures and destructors will not run.
  virtual void OnExitProcess();

  HINSTANCE m_hInstance = nullptr;
  CWnd* m_pMainWnd = nullptr;
  UINT m_nTitleId;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
// Text of a string-table entry in the system code page, or as UTF-16 for a text that
// will hold a name the code page cannot spell; empty when missing.
std::string LoadStr(UINT id);
std::wstring LoadStrW(UINT id);
// The command line after the program name, as the shell passed it (UTF-16: it may hold
// names the code page cannot spell).
std::wstring RawCommandLineArgsW();
// The window that a dialog or message box opened "without parent" belongs to: the main
// window's last active popup, so the dialog that asks is the one disabled while its
// question is open. `parent`, when given, wins. nullptr while there is no main window.
HWND AfxGetSafeOwner(CWnd* parent = nullptr);
// Ends the process with `code` from anywhere, even inside nested modal loops, after the
// application's OnExitProcess. For failures after which no step of the job may run.
[[noreturn]] void AfxExitProcess(UINT code);
// A message box owned by the main window's active popup, captioned with the title.
int AfxMessageBox(const std::string& text, UINT type = MB_OK);
// For a text that names a file the code page cannot spell.
int AfxMessageBox(const std::wstring& text, UINT type = MB_OK);
int AfxMessageBox(UINT id, UINT type = MB_OK);
// Entry point body for WinMain: InitInstance, then ExitInstance when it returns FALSE.
int AfxWinMain(HINSTANCE instance);
// A library of the program's installation, loaded by its full path in the folder of the
// running executable and from nowhere else: one missing there is not looked for in the
// current folder or on PATH, where anyone may have left a file of that name. nullptr
// when it cannot be loaded from there.
HMODULE AfxLoadProgramLibrary(const char* name);
// For start-up: libraries loaded by name from then on are searched for in the program's
// folder and the system folder only.
void AfxRestrictLibrarySearch();

}  // namespace fw
