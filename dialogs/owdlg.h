// Asked before extraction writes over an existing file. The result of DoModal is the
// archiver's answer code itself: 1 overwrite, 128 overwrite all, 2 skip, 32 stop.
#pragma once
#include <windows.h>

#include <string>

#include "dialog.h"

class CVxOwDlg : public fw::CDialog {
 public:
  explicit CVxOwDlg(fw::CWnd* parent = nullptr);
  ~CVxOwDlg() override;

  std::string m_strMessage;
  // The same question naming the file as it is, which the code page may not spell;
  // shown instead of m_strMessage when set.
  std::wstring m_strRealMessage;

 protected:
  void DoDataExchange(fw::CDataExchange* dx) override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
};
