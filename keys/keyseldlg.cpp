#include "keyseldlg.h"

#include <cstring>

#include "app.h"
#include "keyedit.h"
#include "keys_ids.h"
#include "keyaccess.h"
#include "string_ids.h"
#include "validate.h"
#include "velvoxapp.h"

CVxKeySelDlg::CVxKeySelDlg(fw::CWnd* parent) : fw::CDialog(IDD_KEY_SELECT, parent) {}

CVxKeySelDlg::~CVxKeySelDlg() { WipeString(m_strKeyValue); }

void CVxKeySelDlg::DoDataExchange(fw::CDataExchange* dx) {
  fw::DDX_Control(dx, IDC_KEY_COMBO, m_comboKeys);
  fw::DDX_Control(dx, IDC_KEY_VALUE, m_editValue);
  fw::DDX_SecretText(dx, IDC_KEY_VALUE, m_strKeyValue);
  fw::DDX_Text(dx, IDC_KEY_DESCRIPTION, m_strDescription);
}

BOOL CVxKeySelDlg::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDC_KEY_TOKEN:
      if (HIWORD(wParam) == BN_CLICKED) OnTokenButton();
      return TRUE;
    case IDC_KEY_COMBO:
      if (HIWORD(wParam) == CBN_SELCHANGE) OnSelChange();
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CVxKeySelDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    default:
      return fw::CDialog::WindowProc(msg, wParam, lParam);
  }
}

void CVxKeySelDlg::ShowDescriptionOf(int index) {
  auto* text = static_cast<const std::array<char, 256>*>(m_comboKeys.GetItemDataPtr(index));
  m_strDescription = text ? text->data() : "";
  SetDlgItemText(IDC_KEY_DESCRIPTION, m_strDescription);
}

BOOL CVxKeySelDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  CVelvoxApp* app = VxApp();
  if (OsVersionCode >= 602) {
    SetMeiryoFont(m_hWnd, IDC_KEY_COMBO);
    SetMeiryoFont(m_hWnd, IDC_KEY_VALUE);
    SetMeiryoFont(m_hWnd, IDC_KEY_DESCRIPTION);
  }
  if (m_strCurrentKeyName.empty() && app->m_nLastKeyName != 0)
    m_strCurrentKeyName = app->m_strLastKeyName;

  // An unreadable store leaves the list empty without a message; OK then says that no
  // key is selected.
  std::vector<KeyInfo> keys;
  if (ReadAllKeys(keys) && keys.empty()) {
    fw::AfxMessageBox(IDS_NO_USABLE_KEY, MB_OK);
    EndDialog(IDCANCEL);
    return TRUE;
  }
  for (const KeyInfo& k : keys) {
    const std::string name(k.Name, strnlen(k.Name, sizeof k.Name));
    int index = m_comboKeys.AddString(name);
    if (index < 0) continue;
    auto text = std::make_unique<std::array<char, 256>>();
    text->fill('\0');
    lstrcpynA(text->data(), k.Description, 256);
    m_comboKeys.SetItemDataPtr(index, text.get());
    m_descriptions.push_back(std::move(text));
    if (m_strCurrentKeyName == name) {
      m_comboKeys.SetCurSel(index);
      ShowDescriptionOf(index);
    }
  }
  if (m_comboKeys.GetCurSel() == CB_ERR && m_comboKeys.GetCount() > 0) {
    m_comboKeys.SetCurSel(0);
    ShowDescriptionOf(0);
  }
  const int selected = m_comboKeys.GetCurSel();
  const std::string selectedName = selected == CB_ERR ? "" : m_comboKeys.GetLBText(selected);
  m_editValue.EnableWindow(ValidKeyExists(selectedName) == 0);
  m_editValue.SetFocus();
  m_editValue.SetLimitText(32);

  m_strPlugInFolder = app->m_strPlugInFolder;
  m_strPlugInName = app->m_strPlugInName;
  m_nUseToken = app->m_nUseToken;
  m_nKeyInDisable = app->m_nKeyInDisable;

  if (m_bFixedKeyName == 1) m_comboKeys.EnableWindow(FALSE);
  if (m_nUseToken == 1) fw::CWnd(GetDlgItem(IDC_KEY_TOKEN)).EnableWindow(TRUE);
  if (m_nKeyInDisable == 1) {
    m_editValue.SetReadOnly(TRUE);
    m_comboKeys.EnableWindow(FALSE);
    if (m_nUseToken == 1) OnTokenButton();
  }
  return TRUE;
}

void CVxKeySelDlg::OnSelChange() {
  const int index = m_comboKeys.GetCurSel();
  m_strCurrentKeyName = index == CB_ERR ? "" : m_comboKeys.GetLBText(index);
  WipeString(m_strKeyValue);
  m_editValue.SetWindowText("");
  ShowDescriptionOf(index);
  m_editValue.EnableWindow(ValidKeyExists(m_strCurrentKeyName) == 0);
}

void CVxKeySelDlg::OnDestroy() {
  fw::WipeEditText(GetDlgItem(IDC_KEY_VALUE));
  WipeString(m_strKeyValue);
  m_descriptions.clear();
}

void CVxKeySelDlg::OnOK() {
  UpdateData(TRUE);
  if (ValidateKeyEntry() == 1) fw::CDialog::OnOK();
}

BOOL CVxKeySelDlg::ValidateKeyEntry() {
  struct Wiper {
    std::string& value;
    ~Wiper() { WipeString(value); }
  } wiper{m_strKeyValue};
  const int index = m_comboKeys.GetCurSel();
  if (index == CB_ERR) {
    fw::AfxMessageBox(IDS_KEY_NAME_NOT_SELECTED, MB_OK);
    m_comboKeys.SetFocus();
    return 0;
  }
  const std::string name = m_comboKeys.GetLBText(index);
  BOOL valid = 0;
  int algorithm = 0;
  GetKeyValidity(name, &valid, &algorithm);
  if (!valid && m_strKeyValue.empty()) {
    fw::AfxMessageBox(IDS_KEY_VALUE_EMPTY, MB_OK);
    m_editValue.SetFocus();
    return 0;
  }
  if (!m_strExpectedKeyName.empty() && m_strExpectedKeyName != name) {
    fw::AfxMessageBox(IDS_KEY_NAME_NOT_EXPECTED, MB_OK);
    m_comboKeys.SetFocus();
    return 0;
  }
  if (!valid && !CertifyEnteredKey(name, m_strKeyValue, algorithm, valid, m_comboKeys.m_hWnd,
                                    m_editValue.m_hWnd))
    return 0;
  m_strResultKeyName = name;
  return 1;
}
