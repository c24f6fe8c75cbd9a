// The key list: the keys usable without their value, to pick one by name.
#pragma once
#include <windows.h>

#include <string>

#include "controls.h"
#include "dialog.h"

class CVxKeyListDlg : public fw::CDialog {
 public:
  explicit CVxKeyListDlg(fw::CWnd* parent = nullptr);
  ~CVxKeyListDlg() override;

  std::string m_strChosenKeyName;
  fw::CListCtrl m_listKeys;
  fw::CImageList m_imageList;

 protected:
  void DoDataExchange(fw::CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
};
