#include "progressdlg.h"

#include <commctrl.h>

#include <new>

#include "app.h"
#include "mbcs.h"
#include "resource.h"
#include "string_ids.h"
#include "velvoxdlg.h"

int g_nJobPhase = 0;

CVxProgressDlg::CVxProgressDlg(UINT captionId)
    : fw::CDialog(IDD_PROGRESS), m_nCaptionId(captionId ? captionId : IDS_PROGRESS_CAPTION) {
  // The text line shows file names as they are, also those the code page cannot spell.
  m_bUnicode = true;
}

CVxProgressDlg::~CVxProgressDlg() {
  if (m_hWnd && ::IsWindow(m_hWnd)) DestroyWindow();
}

BOOL CVxProgressDlg::Create(fw::CWnd* parent) {
  m_hOwner = fw::AfxGetSafeOwner(parent);
  if (m_hOwner && ::IsWindowEnabled(m_hOwner)) {
    ::EnableWindow(m_hOwner, FALSE);
    m_bOwnerDisabled = 1;
  }
  if (!fw::CDialog::Create(parent)) {
    ReEnableOwner();
    return 0;
  }
  return 1;
}

BOOL CVxProgressDlg::DestroyWindow() {
  // The owner comes back before the window goes, so activation returns to it rather
  // than to some other program's window.
  ReEnableOwner();
  return fw::CDialog::DestroyWindow();
}

void CVxProgressDlg::ReEnableOwner() {
  if (m_bOwnerDisabled && m_hOwner) ::EnableWindow(m_hOwner, TRUE);
  m_bOwnerDisabled = 0;
}

void CVxProgressDlg::DoDataExchange(fw::CDataExchange* dx) {
  if (!m_progress.m_hWnd) m_progress.Attach(::GetDlgItem(dx->m_hDlg, IDC_PROGRESS_BAR));
  fw::DDX_Text(dx, IDC_PROGRESS_TEXT, m_strText);
}

BOOL CVxProgressDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  m_progress.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(m_nLower, m_nUpper));
  m_progress.SendMessage(PBM_SETSTEP, static_cast<WPARAM>(m_nStep));
  m_progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(m_nLower));
  m_nBarPos = m_nLower;
  SetWindowText(fw::LoadStr(m_nCaptionId));
  return TRUE;
}

INT_PTR CVxProgressDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  // Kept as it is set, by this class or anyone else, so that an unchanged caption costs
  // a comparison and no round trip to the window.
  if (msg == WM_SETTEXT)
    m_strCaption = lParam ? fw::ToCodePage(reinterpret_cast<const wchar_t*>(lParam)) : std::string();
  return fw::CDialog::WindowProc(msg, wParam, lParam);
}

void CVxProgressDlg::OnOK() {}

void CVxProgressDlg::OnCancel() { m_bCancel = 1; }

void CVxProgressDlg::PumpMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (m_hWnd && (msg.hwnd == m_hWnd || ::IsChild(m_hWnd, msg.hwnd))) {
      // The dialog manager turns Enter into a press of the default button, which is
      // Cancel here: a user who presses Enter by habit must not be asked to stop.
      if ((msg.message == WM_KEYDOWN || msg.message == WM_KEYUP || msg.message == WM_CHAR) &&
          msg.wParam == VK_RETURN)
        continue;
      if (::IsDialogMessageA(m_hWnd, &msg)) continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

void CVxProgressDlg::SetTextLine(const std::wstring& text) {
  // `text` may be the pending name itself: shown before the pending one is cleared.
  m_strText = fw::ToCodePage(text);
  ::SetDlgItemTextW(m_hWnd, IDC_PROGRESS_TEXT, text.c_str());
  m_bTextPending = false;
  m_strPending.clear();
  m_dwTextShown = ::GetTickCount();
  m_bPumpDue = true;
}

void CVxProgressDlg::ShowCaption(const std::string& caption) {
  if (!m_hWnd || caption == m_strCaption) return;
  SetWindowText(caption);
  m_bCaptionFresh = true;
  m_bPumpDue = true;
}

void CVxProgressDlg::ShowText(const std::string& text) { ShowText(fw::ToWide(text)); }

void CVxProgressDlg::ShowText(const std::wstring& text) {
  if (!m_hWnd) return;
  m_bCaptionFresh = false;
  SetTextLine(text);
}

BOOL CVxProgressDlg::BeginItem(const std::string& name, uint64_t bytes) {
  return BeginItem(fw::ToWide(name), bytes);
}

BOOL CVxProgressDlg::BeginItem(const std::wstring& name, uint64_t bytes) {
  if (!m_hWnd) return 0;
  if (m_bCaptionFresh || bytes >= kLargeItem || ::GetTickCount() - m_dwTextShown >= kTextInterval) {
    m_bCaptionFresh = false;
    SetTextLine(name);
    return 1;
  }
  m_strPending = name;
  m_bTextPending = true;
  return 0;
}

void CVxProgressDlg::Flush() {
  if (!m_hWnd) return;
  if (m_bTextPending) SetTextLine(m_strPending);
  UpdateWindow();
}

void CVxProgressDlg::SetBar(int pos) {
  if (!m_hWnd || pos == m_nBarPos) return;
  m_nBarPos = pos;
  m_progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos));
}

BOOL CVxProgressDlg::PollCancel() {
  const DWORD now = ::GetTickCount();
  if (m_hWnd && m_bTextPending && now - m_dwTextShown >= kTextInterval) SetTextLine(m_strPending);
  if (m_bPumpDue || now - m_dwPumped >= kPumpInterval) {
    m_bPumpDue = false;
    m_dwPumped = now;
    PumpMessages();
  }
  BOOL cancel = m_bCancel;
  m_bCancel = 0;
  // The caller asks whether to stop: the question finds the line naming the file it
  // would stop at.
  if (cancel && m_hWnd && m_bTextPending) SetTextLine(m_strPending);
  return cancel;
}

BOOL CVxProgressDlg::CheckCancel() {
  PumpMessages();
  BOOL cancel = m_bCancel;
  m_bCancel = 0;
  return cancel;
}

int WINAPI CryptoProgressCallback(DWORD total, DWORD done, DWORD, DWORD, DWORD) {
  fw::CWinApp* app = fw::AfxGetApp();
  auto* main = app ? dynamic_cast<CVelvoxDlg*>(app->m_pMainWnd) : nullptr;
  CVxProgressDlg* dlg = main ? main->m_pProgressDlg : nullptr;
  if (!dlg) return 0;
  // A total of 0 has no proportion; the bar keeps what it shows.
  if (total != 0)
    dlg->SetBar(static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * 100.0));
  if (dlg->PollCancel() &&
      fw::AfxMessageBox(IDS_CONFIRM_ABORT, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK)
    return 1;
  return 0;
}

void CVelvoxDlg::OpenProgressDialog() {
  m_pProgressDlg = new (std::nothrow) CVxProgressDlg();
  if (!m_pProgressDlg) return;
  m_pProgressDlg->Create();
  if (m_pProgressDlg->m_hWnd) {
    m_pProgressDlg->ShowWindow(SW_SHOW);
    // Painted now: the step that follows pumps messages only from its callbacks.
    ::RedrawWindow(m_pProgressDlg->m_hWnd, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  }
}

void CVelvoxDlg::CloseProgressDialog() {
  if (!m_pProgressDlg) return;
  m_pProgressDlg->ShowWindow(SW_HIDE);
  m_pProgressDlg->DestroyWindow();
  delete m_pProgressDlg;
  m_pProgressDlg = nullptr;
}
