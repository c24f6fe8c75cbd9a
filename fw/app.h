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

  HINSTANCE m_hInstance = nullptr;
  CWnd* m_pMainWnd = nullptr;
  UINT m_nTitleId;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
// Text of a string-table entry in the system code page; empty when missing.
std::string LoadStr(UINT id);
// The command line after the program name, as the shell passed it.
std::string RawCommandLineArgs();
// A message box owned by the main window's active popup, captioned with the title.
int AfxMessageBox(const std::string& text, UINT type = MB_OK);
int AfxMessageBox(UINT id, UINT type = MB_OK);
// Entry point body for WinMain: InitInstance, then ExitInstance when it returns FALSE.
int AfxWinMain(HINSTANCE instance);

}  // namespace fw
