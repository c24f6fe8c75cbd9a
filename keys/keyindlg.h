// The key input dialog: the user types a key name and its value, or picks an enabled
// key from the key list, or takes a key from a hardware token. OK closes it only for a
// key that validates; the job then reads m_strResultKeyName. The value is wiped as soon
// as it has been checked, and the field's text when the dialog is destroyed: the job
// keeps this object for the whole output.
#pragma once
#include <windows.h>

#include <string>

#include "controls.h"
#include "dialog.h"
#include "keyedit.h"

class CVxKeyInDlg : public fw::CDialog {
 public:
  explicit CVxKeyInDlg(fw::CWnd* parent = nullptr);
  ~CVxKeyInDlg() override;

  // Runs the checks of OK on the members as they stand; 1 when the key is accepted
  // (m_strResultKeyName is set), 0 after a message with the dialog left open. Either
  // way m_strKeyValue is wiped (OK reads the field again).
  BOOL ValidateKeyEntry();

  std::string m_strResultKeyName;
  std::string m_strExpectedKeyName;
  int m_bFixedKeyName = 0;
  fw::CEdit m_editValue;
  CKeyEdit m_editName;
  std::string m_strKeyName;
  std::string m_strKeyValue;
  std::string m_strPlugInFolder;
  std::string m_strPlugInName;
  int m_nUseToken = 0;
  int m_nKeyInDisable = 0;

 protected:
  void DoDataExchange(fw::CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void OnChooseKey();
  void OnNameChange();
  // The token flow (button 1001).
  void OnTokenButton();
};
