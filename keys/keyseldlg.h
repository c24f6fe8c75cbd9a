// The key selection dialog: every key of the store in a drop-down list with its
// description, a value field for keys that must be proven, and the token button. The
// value is wiped as soon as it has been checked, and the field's text when the dialog is
// destroyed: the job keeps this object for the whole output.
#pragma once
#include <windows.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "controls.h"
#include "dialog.h"

class CVxKeySelDlg : public fw::CDialog {
 public:
  explicit CVxKeySelDlg(fw::CWnd* parent = nullptr);
  ~CVxKeySelDlg() override;

  // OK's checks on the selected entry and the members; 1 when the key is accepted
  // (m_strResultKeyName is set), 0 after a message with the dialog left open. Either
  // way m_strKeyValue is wiped (OK reads the field again).
  BOOL ValidateKeyEntry();

  std::string m_strResultKeyName;
  std::string m_strExpectedKeyName;
  std::string m_strCurrentKeyName;
  int m_bFixedKeyName = 0;
  // One description per list entry, attached to the entry as its item data.
  std::vector<std::unique_ptr<std::array<char, 256>>> m_descriptions;
  fw::CComboBox m_comboKeys;
  fw::CEdit m_editValue;
  std::string m_strKeyValue;
  std::string m_strDescription;
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
  void OnSelChange();
  void OnDestroy();
  void ShowDescriptionOf(int index);
  // The token flow (button 1001).
  void OnTokenButton();
};
