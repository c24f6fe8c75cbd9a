// Button 1001 of the key dialogs: a key from the token plug-in named by the settings.
#include "keyaccess.h"
#include "keyedit.h"
#include "keyindlg.h"
#include "keyseldlg.h"
#include "string_ids.h"
#include "tokenkey.h"
#include "app.h"

void CVxKeyInDlg::OnTokenButton() {
  TokenFlow flow;
  flow.keyDialog = this;
  flow.plugInFolder = m_strPlugInFolder;
  flow.plugInName = m_strPlugInName;
  flow.keyInDisable = m_nKeyInDisable;
  flow.fixedKeyName = m_bFixedKeyName;
  flow.keyName = m_strKeyName;
  flow.take = [this](const TokenKeyRecord& r) {
    // A decryption's name stays exactly as its file gives it: the token's key matched it
    // ignoring case only, and the file's name is the one the validation must see.
    if (m_bFixedKeyName != 1) m_strKeyName = r.Name;
    WipeString(m_strKeyValue);
    m_strKeyValue = r.Value;
    UpdateData(FALSE);
    return true;
  };
  flow.validate = [this] { return ValidateKeyEntry(); };
  flow.accept = [this] { fw::CDialog::OnOK(); };
  RunTokenFlow(flow);
}

void CVxKeySelDlg::OnTokenButton() {
  TokenFlow flow;
  flow.keyDialog = this;
  flow.plugInFolder = m_strPlugInFolder;
  flow.plugInName = m_strPlugInName;
  flow.keyInDisable = m_nKeyInDisable;
  flow.fixedKeyName = m_bFixedKeyName;
  flow.keyName = m_strCurrentKeyName;
  flow.take = [this](const TokenKeyRecord& r) {
    int entry = CB_ERR;
    for (int i = 0; entry == CB_ERR && i < m_comboKeys.GetCount(); ++i)
      if (KeyNamesEqual(m_comboKeys.GetLBText(i), r.Name)) entry = i;
    if (entry == CB_ERR || m_comboKeys.SetCurSel(entry) == CB_ERR) {
      fw::AfxMessageBox(IDS_SELECTED_KEY_NOT_REGISTERED, MB_OK);
      return false;
    }
    OnSelChange();
    WipeString(m_strKeyValue);
    m_strKeyValue = r.Value;
    fw::SetSecretText(m_editValue.m_hWnd, m_strKeyValue);
    return true;
  };
  flow.validate = [this] { return ValidateKeyEntry(); };
  flow.accept = [this] { fw::CDialog::OnOK(); };
  RunTokenFlow(flow);
}
