// The modeless progress dialog shown while a library call runs, the job phase that the
// archiver's callback reads, and the crypto library's progress callback.
#pragma once
#include <windows.h>

#include <string>

#include "dialog.h"

// Which library call is running: 0 compressing, 1 encrypting, 2 decrypting, 3 extracting.
// Only the archiver's callback reads it; nothing resets it between phases.
extern int g_nJobPhase;

class CVxProgressDlg : public fw::CDialog {
 public:
  // `captionId` 0 keeps the default caption (string 104).
  explicit CVxProgressDlg(UINT captionId = 0);
  ~CVxProgressDlg() override;

  // Modeless. The owner (the main dialog when `parent` is null) is disabled while the
  // dialog lives, as a modal dialog's owner would be.
  BOOL Create(fw::CWnd* parent = nullptr);
  BOOL DestroyWindow() override;
  void ReEnableOwner();
  // Lets the dialog (and every window of the thread) handle what is pending, then reads
  // and clears the Cancel flag. The library's callbacks are the only place where the
  // thread's queue moves while a library call runs.
  BOOL CheckCancel();
  void PumpMessages();

  fw::CWnd m_progress;
  std::string m_strText;
  UINT m_nCaptionId;
  int m_nLower = 0;
  int m_nUpper = 100;
  int m_nStep = 10;
  BOOL m_bCancel = 0;
  BOOL m_bOwnerDisabled = 0;

 protected:
  void DoDataExchange(fw::CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  // Enter does nothing; the Cancel button and Esc only raise the flag that the next
  // callback reads.
  void OnOK() override;
  void OnCancel() override;

 private:
  HWND m_hOwner = nullptr;
};

// Progress callback of the crypto library's archive calls (the context is the main
// dialog, reached through the application's main window). Returns 1 to stop.
int WINAPI CryptoProgressCallback(DWORD total, DWORD done, DWORD a3, DWORD a4, DWORD a5);
