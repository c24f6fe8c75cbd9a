#include "sfxkeydlg.h"

#include <commctrl.h>

#include <cstring>

#include "app.h"
#include "contracts/sfxoptions.h"
#include "dialogs_ids.h"
#include "mbcs.h"
#include "string_ids.h"
#include "velvoxapp.h"

namespace {

// Upper-cases byte by byte as the runtime does in the "C" locale; true when a byte is
// left outside the printable ASCII range without the space (0x21-0x7E).
bool UpperCaseAndCheck(std::string& s) {
  bool bad = false;
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7E) bad = true;
  }
  return bad;
}

// The decimal value of the leading digits (0 when there are none), capped so that a
// long run of digits cannot overflow.
int LeadingNumber(const std::string& s) {
  int n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > 1000000) break;
  }
  return n;
}

}  // namespace

CVxSfxKeyDlg::CVxSfxKeyDlg(UINT templateId, fw::CWnd* parent) : fw::CDialog(templateId, parent) {}

CVxSfxKeyDlg::~CVxSfxKeyDlg() {
  WipeFields();
  WipePassword();
}

void CVxSfxKeyDlg::WipePassword() { WipeString(m_strPassword); }

void CVxSfxKeyDlg::WipeFields() {
  WipeString(m_strPasswordField);
  WipeString(m_strConfirmField);
}

BOOL CVxSfxKeyDlg::IsValidExtension(const std::string& text) {
  return sfxoptions::ExtensionCharactersValid(text) ? 1 : 0;
}

void CVxSfxKeyDlg::DoDataExchange(fw::CDataExchange* dx) {
  fw::DDX_Control(dx, IDC_SFX_EXTENSION, m_editExt);
  fw::DDX_Control(dx, IDC_SFX_RETRY_COUNT, m_editRetry);
  fw::DDX_Control(dx, IDC_SFX_DETAILS_LINE, m_staticSeparator);
  fw::DDX_Control(dx, IDC_SFX_CONFIRM, m_editConfirm);
  fw::DDX_Control(dx, IDC_SFX_PASSWORD, m_editPassword);
  fw::DDX_SecretText(dx, IDC_SFX_PASSWORD, m_strPasswordField);
  fw::DDX_SecretText(dx, IDC_SFX_CONFIRM, m_strConfirmField);
  fw::DDX_Text(dx, IDC_SFX_RETRY_COUNT, m_strRetryCount);
  fw::DDV_MaxChars(dx, IDC_SFX_RETRY_COUNT, m_strRetryCount, 2);
  fw::DDX_Text(dx, IDC_SFX_EXTENSION, m_strExtension);
  fw::DDV_MaxChars(dx, IDC_SFX_EXTENSION, m_strExtension, 3);
}

BOOL CVxSfxKeyDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (HIWORD(wParam) != BN_CLICKED) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_SFX_DETAILS:
      OnDetails();
      return TRUE;
    case IDC_SFX_LIMIT_RETRY:
      OnRetryCheck();
      return TRUE;
    case IDC_SFX_CHANGE_EXT:
      OnExtCheck();
      return TRUE;
    case IDC_SFX_SAVE_SETTINGS:
      OnSaveForNextTime();
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CVxSfxKeyDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DESTROY) {
    fw::WipeEditText(GetDlgItem(IDC_SFX_PASSWORD));
    fw::WipeEditText(GetDlgItem(IDC_SFX_CONFIRM));
    return FALSE;  // and the system's own handling
  }
  return fw::CDialog::WindowProc(msg, wParam, lParam);
}

BOOL CVxSfxKeyDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  CVelvoxApp* app = VxApp();
  m_editPassword.SetLimitText(32);
  m_editPassword.SetFocus();
  m_editConfirm.SetLimitText(32);
  m_bDetailsShown = false;
  if (OsVersionCode >= 602) {
    SetMeiryoFont(m_hWnd, IDC_SFX_PASSWORD);
    SetMeiryoFont(m_hWnd, IDC_SFX_CONFIRM);
  }

  ::CheckDlgButton(m_hWnd, IDC_SFX_LIMIT_RETRY, app->m_nPwRetryMode != 0 ? BST_CHECKED : BST_UNCHECKED);
  m_strRetryCount = fw::Sprintf("%d", app->m_nPwRetryMax);
  m_editRetry.SetWindowText(m_strRetryCount);
  ::CheckDlgButton(m_hWnd, IDC_SFX_CHANGE_EXT, app->m_nExtMode != 0 ? BST_CHECKED : BST_UNCHECKED);
  bool english = app->m_nSelfExtLang == 1;
  if (app->m_nSelfExtLang != 0 && app->m_nSelfExtLang != 1) english = app->m_nLanguage == 1;
  ::CheckDlgButton(m_hWnd, IDC_SFX_ENGLISH, english ? BST_CHECKED : BST_UNCHECKED);
  EnableItem(IDC_SFX_DETAILS, app->m_nPwRetry != 0);
  m_strExtension = app->m_strExtString;
  m_editExt.SetWindowText(m_strExtension);

  if (OsVersionCode >= 600) {
    m_bNeedsElevation =
        app->m_bTokenRestricted != 0 && !CVelvoxApp::IsFileWritable(app->m_strPolicyIni);
    if (m_bNeedsElevation)
      ::SendDlgItemMessageA(m_hWnd, IDC_SFX_SAVE_SETTINGS, BCM_SETSHIELD, 0, 1);
  }
  OnRetryCheck();
  OnExtCheck();

  // Collapsed: the window ends where the details section begins.
  RECT dlg, separator;
  ::GetWindowRect(m_hWnd, &dlg);
  ::GetWindowRect(m_staticSeparator.m_hWnd, &separator);
  m_nDetailsHeight = dlg.bottom - separator.top;
  ::MoveWindow(m_hWnd, dlg.left, dlg.top, dlg.right - dlg.left, separator.top - dlg.top, TRUE);

  EnableItem(IDC_SFX_RETRY_COUNT, FALSE);
  EnableItem(IDC_SFX_EXTENSION, FALSE);
  EnableItem(IDC_SFX_LIMIT_RETRY, FALSE);
  EnableItem(IDC_SFX_CHANGE_EXT, FALSE);
  if (OsVersionCode >= 600) EnableItem(IDC_SFX_SAVE_SETTINGS, FALSE);
  if (app->m_nPwRetryList != 0) OnDetails();
  return FALSE;
}

void CVxSfxKeyDlg::OnDetails() {
  RECT r;
  ::GetWindowRect(m_hWnd, &r);
  if (m_bDetailsShown) {
    r.bottom -= m_nDetailsHeight;
    m_bDetailsShown = false;
    EnableItem(IDC_SFX_RETRY_COUNT, FALSE);
    EnableItem(IDC_SFX_EXTENSION, FALSE);
  } else {
    r.bottom += m_nDetailsHeight;
    m_bDetailsShown = true;
    OnRetryCheck();
    OnExtCheck();
  }
  EnableItem(IDC_SFX_LIMIT_RETRY, m_bDetailsShown);
  EnableItem(IDC_SFX_CHANGE_EXT, m_bDetailsShown);
  if (OsVersionCode >= 600) EnableItem(IDC_SFX_SAVE_SETTINGS, m_bDetailsShown);
  ::MoveWindow(m_hWnd, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
}

void CVxSfxKeyDlg::OnRetryCheck() { EnableItem(IDC_SFX_RETRY_COUNT, IsTicked(IDC_SFX_LIMIT_RETRY)); }

void CVxSfxKeyDlg::OnExtCheck() { EnableItem(IDC_SFX_EXTENSION, IsTicked(IDC_SFX_CHANGE_EXT)); }

void CVxSfxKeyDlg::OnOK() {
  const BOOL exchanged = UpdateData(TRUE);
  struct Wiper {
    CVxSfxKeyDlg* dlg;
    ~Wiper() { dlg->WipeFields(); }
  } wiper{this};
  if (OsVersionCode >= 600 && !exchanged) return;
  CVelvoxApp* app = VxApp();
  if (m_strPasswordField.empty()) {
    fw::AfxMessageBox(IDS_SFX_PASSWORD_EMPTY, MB_OK);
    m_editPassword.SetFocus();
    return;
  }
  if (m_strConfirmField.empty()) {
    fw::AfxMessageBox(IDS_SFX_CONFIRM_EMPTY, MB_OK);
    m_editConfirm.SetFocus();
    return;
  }
  bool bad = UpperCaseAndCheck(m_strPasswordField);
  bad = UpperCaseAndCheck(m_strConfirmField) || bad;
  if (m_strPasswordField != m_strConfirmField) {
    fw::AfxMessageBox(IDS_SFX_PASSWORD_MISMATCH, MB_OK);
    m_editPassword.SetFocus();
    return;
  }
  if (bad) {
    fw::AfxMessageBox(IDS_SFX_PASSWORD_BAD_CHAR, MB_OK);
    return;
  }
  const int minLen = app->m_nPwMinLen;
  if (static_cast<int>(m_strPasswordField.size()) < minLen ||
      static_cast<int>(m_strConfirmField.size()) < minLen) {
    fw::AfxMessageBox(fw::Sprintf(fw::LoadStr(IDS_SFX_PASSWORD_TOO_SHORT).c_str(), minLen), MB_OK);
    return;
  }
  // Kept before the options are checked: their data exchange reads the fields again.
  WipePassword();
  m_strPassword = m_strPasswordField;
  if (!ValidateOptions()) {
    WipePassword();
    return;
  }
  if (OsVersionCode < 600) app->SaveSfxSettings(app->m_strPolicyIni);
  fw::CDialog::OnOK();
}

BOOL CVxSfxKeyDlg::ValidateOptions() {
  // The password fields come along with the exchange; they are not needed here.
  UpdateData(TRUE);
  const bool limitRetry = IsTicked(IDC_SFX_LIMIT_RETRY);
  const bool changeExt = IsTicked(IDC_SFX_CHANGE_EXT);
  int retries = 0;
  if (limitRetry) {
    retries = LeadingNumber(m_strRetryCount);
    if (retries < sfxoptions::kRetryMaxLowest || retries > sfxoptions::kRetryMaxHighest) {
      fw::AfxMessageBox(fw::Sprintf(fw::LoadStr(IDS_SFX_RETRY_OUT_OF_RANGE).c_str(),
                                    sfxoptions::kRetryMaxLowest, sfxoptions::kRetryMaxHighest),
                        MB_OK);
      m_editRetry.SetFocus();
      return 0;
    }
  }
  if (changeExt && !IsValidExtension(m_strExtension)) {
    fw::AfxMessageBox(fw::LoadStr(IDS_SFX_EXT_BAD_CHAR) + "\\ / : * ? \"< > | .", MB_OK);
    return 0;
  }
  if (m_strExtension.size() > sfxoptions::kExtensionMaxBytes) return 0;

  CVelvoxApp* app = VxApp();
  if (limitRetry) {
    app->m_nPwRetryMode = 1;
    app->m_nPwRetryMax = retries;
  } else {
    app->m_nPwRetryMode = 0;
  }
  if (changeExt) {
    app->m_nExtMode = 1;
    app->m_strExtString = m_strExtension;
  } else {
    app->m_nExtMode = 0;
  }
  app->m_nSelfExtLang = IsTicked(IDC_SFX_ENGLISH) ? 1 : 0;
  return 1;
}

void CVxSfxKeyDlg::OnSaveForNextTime() {
  if (!ValidateOptions()) {
    WipeFields();
    return;
  }
  WipeFields();
  CVelvoxApp* app = VxApp();
  switch (app->StoreSfxSettings(app->m_strPolicyIni, m_bNeedsElevation)) {
    case 0:
      fw::AfxMessageBox(IDS_SETTINGS_SAVED, MB_OK | MB_ICONINFORMATION);
      break;
    case 1:  // the user declined the elevation
      break;
    case 2:
      fw::AfxMessageBox(IDS_SETTINGS_SAVE_FAILED, MB_OK);
      break;
    case 3:
      fw::AfxMessageBox(IDS_WRITER_ACCESS_FAILED, MB_OK);
      break;
    default:
      fw::AfxMessageBox(IDS_WRITER_INIT_FAILED, MB_OK);
      break;
  }
}
