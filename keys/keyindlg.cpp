#include "keyindlg.h"

#include "app.h"
#include "keylistdlg.h"
#include "keys_ids.h"
#include "string_ids.h"
#include "validate.h"
#include "velvoxapp.h"

CVxKeyInDlg::CVxKeyInDlg(fw::CWnd* parent) : fw::CDialog(IDD_KEY_INPUT, parent) {}

CVxKeyInDlg::~CVxKeyInDlg() { WipeString(m_strKeyValue); }

void CVxKeyInDlg::DoDataExchange(fw::CDataExchange* dx) {
  fw::DDX_Control(dx, IDC_KEY_VALUE, m_editValue);
  fw::DDX_Control(dx, IDC_KEY_NAME, m_editName);
  // The field shows every name upper-cased (ES_UPPERCASE); a name given by the job
  // cannot be edited and is kept exactly as given, or a decryption with a key whose name
  // has lower-case letters could never match the name in its file.
  if (!(dx->m_bSaveAndValidate && m_bFixedKeyName == 1)) fw::DDX_Text(dx, IDC_KEY_NAME, m_strKeyName);
  fw::DDX_SecretText(dx, IDC_KEY_VALUE, m_strKeyValue);
}

INT_PTR CVxKeyInDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DESTROY) {
    fw::WipeEditText(GetDlgItem(IDC_KEY_VALUE));
    WipeString(m_strKeyValue);
    return FALSE;  // and the system's own handling
  }
  return fw::CDialog::WindowProc(msg, wParam, lParam);
}

BOOL CVxKeyInDlg::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDC_KEY_CHOOSE:
      if (HIWORD(wParam) == BN_CLICKED) OnChooseKey();
      return TRUE;
    case IDC_KEY_NAME:
      if (HIWORD(wParam) == EN_CHANGE) OnNameChange();
      return TRUE;
    case IDC_KEY_TOKEN:
      if (HIWORD(wParam) == BN_CLICKED) OnTokenButton();
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL CVxKeyInDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  CVelvoxApp* app = VxApp();
  if (OsVersionCode >= 602) {
    SetMeiryoFont(m_hWnd, IDC_KEY_NAME);
    SetMeiryoFont(m_hWnd, IDC_KEY_VALUE);
  }
  if (m_strKeyName.empty() && app->m_nLastKeyName != 0) {
    m_strKeyName = app->m_strLastKeyName;
    m_editName.SetWindowText(m_strKeyName);
  }
  m_editName.SetLimitText(32);
  m_editName.SetFocus();
  if (!m_strKeyName.empty()) m_editValue.SetFocus();
  m_editValue.SetLimitText(32);

  m_strPlugInFolder = app->m_strPlugInFolder;
  m_strPlugInName = app->m_strPlugInName;
  m_nUseToken = app->m_nUseToken;
  m_nKeyInDisable = app->m_nKeyInDisable;

  if (m_bFixedKeyName == 1) m_editName.EnableWindow(FALSE);
  if (m_nUseToken == 1) fw::CWnd(GetDlgItem(IDC_KEY_TOKEN)).EnableWindow(TRUE);
  if (m_nKeyInDisable == 1) {
    m_editValue.SetReadOnly(TRUE);
    m_editName.SetReadOnly(TRUE);
    if (m_nUseToken == 1) OnTokenButton();
  }
  return FALSE;
}

void CVxKeyInDlg::OnNameChange() {
  if (m_editValue.m_hWnd && !::IsWindowEnabled(m_editValue.m_hWnd)) m_editValue.EnableWindow(TRUE);
}

void CVxKeyInDlg::OnChooseKey() {
  UpdateData(TRUE);
  CVxKeyListDlg list;
  if (list.DoModal() == IDOK) {
    m_strResultKeyName = list.m_strChosenKeyName;
    m_strKeyName = list.m_strChosenKeyName;
    // The chosen name goes into the field before the value field is disabled: writing a
    // different name raises EN_CHANGE, which would enable the value field again.
    UpdateData(FALSE);
    m_editValue.EnableWindow(FALSE);
  } else {
    m_editName.SetFocus();
    UpdateData(FALSE);
  }
  // The exchange put the value back into its field; OK reads it from there.
  WipeString(m_strKeyValue);
}

void CVxKeyInDlg::OnOK() {
  UpdateData(TRUE);
  if (ValidateKeyEntry() == 1) fw::CDialog::OnOK();
}

BOOL CVxKeyInDlg::ValidateKeyEntry() {
  struct Wiper {
    std::string& value;
    ~Wiper() { WipeString(value); }
  } wiper{m_strKeyValue};
  const bool valueEnabled = m_editValue.m_hWnd && ::IsWindowEnabled(m_editValue.m_hWnd);
  if (m_strKeyName.empty()) {
    fw::AfxMessageBox(IDS_KEY_NAME_EMPTY, MB_OK);
    m_editName.SetFocus();
    return 0;
  }
  if (valueEnabled && m_strKeyValue.empty()) {
    fw::AfxMessageBox(IDS_KEY_VALUE_EMPTY, MB_OK);
    m_editValue.SetFocus();
    return 0;
  }
  if (!m_strExpectedKeyName.empty() && m_strExpectedKeyName != m_strKeyName) {
    fw::AfxMessageBox(IDS_KEY_NAME_NOT_EXPECTED, MB_OK);
    m_editName.SetFocus();
    return 0;
  }
  BOOL valid = 0;
  int algorithm = 0;
  GetKeyValidity(m_strKeyName, &valid, &algorithm);
  if (valueEnabled && !CertifyEnteredKey(m_strKeyName, m_strKeyValue, algorithm, valid,
                                         m_editName.m_hWnd, m_editValue.m_hWnd))
    return 0;
  m_strResultKeyName = m_strKeyName;
  return 1;
}
