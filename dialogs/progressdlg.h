// The modeless progress dialog shown while a library call runs, the job phase that the
// archiver's callback reads, and the crypto library's progress callback.
#pragma once
#include <windows.h>

#include <cstdint>
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

  // What the user cannot see is not paid for: thousands of small files each set the
  // text line and pumped the queue, and under a slow window system that cost more than
  // the work itself. The caption is set at once when it changes (rarely); a file's name
  // is shown as it begins when it is the first under a new caption, a large file (on
  // screen long enough to read) or the first after a pause; otherwise it waits for the
  // next refresh and Flush() shows it.
  void ShowCaption(const std::string& caption);
  void ShowText(const std::string& text);
  // For names the code page may not spell; m_strText then holds their code-page form.
  void ShowText(const std::wstring& text);
  // `bytes` is the file's size. TRUE when the name was put on screen now.
  BOOL BeginItem(const std::string& name, uint64_t bytes);
  BOOL BeginItem(const std::wstring& name, uint64_t bytes);
  // The pending name, if any, on screen now and painted.
  void Flush();
  void SetBar(int pos);
  // For the library's callbacks: pumps the queue when due and then reads and clears the
  // Cancel flag. The first call after something new was shown always pumps (a click
  // posted meanwhile is seen at once); otherwise the queue is pumped every
  // kPumpInterval, which keeps Cancel answering within a fraction of a second. On TRUE
  // the pending name is on screen: the caller's question is about that file. Before
  // any other question or message about the file that has begun, Flush().
  BOOL PollCancel();

  static constexpr DWORD kPumpInterval = 50;       // ms
  static constexpr DWORD kTextInterval = 100;      // ms
  static constexpr uint64_t kLargeItem = 1 << 20;  // bytes

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
  INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void SetTextLine(const std::wstring& text);

  HWND m_hOwner = nullptr;
  std::string m_strCaption;  // as on screen, whoever set it
  std::wstring m_strPending;
  bool m_bTextPending = false;
  bool m_bCaptionFresh = false;
  bool m_bPumpDue = true;
  int m_nBarPos = -1;
  DWORD m_dwTextShown = 0;
  DWORD m_dwPumped = 0;
};

// Progress callback of the crypto library's archive calls (the context is the main
// dialog, reached through the application's main window). Returns 1 to stop.
int WINAPI CryptoProgressCallback(DWORD total, DWORD done, DWORD a3, DWORD a4, DWORD a5);
