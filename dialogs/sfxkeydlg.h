// The password and options of a self-decrypting file: the password typed twice, an
// English executable, an attempt limit and a changed extension (the last two in a
// details section that the Details button shows and hides). OK checks everything and
// applies the options to the settings for the file being made; the job then reads
// m_strPassword, and wipes it with the dialog.
#pragma once
#include <windows.h>

#include <string>

#include "controls.h"
#include "dialog.h"
#include "keyedit.h"

class CVxSfxKeyDlg : public fw::CDialog {
 public:
  // `templateId`: IDD_SFX_KEY_OLD below OsVersionCode 600, IDD_SFX_KEY otherwise.
  explicit CVxSfxKeyDlg(UINT templateId, fw::CWnd* parent = nullptr);
  ~CVxSfxKeyDlg() override;

  // The details section checked; when valid, its options go into the settings.
  BOOL ValidateOptions();
  // 1 when `text` holds none of \ / : * ? " < > | and the full stop (a trail byte of a
  // double-byte character is never taken for one). The encryption job checks the
  // configured extension with this same test.
  static BOOL IsValidExtension(const std::string& text);
  // Wipes the accepted password; the job calls it once it has handed the password on.
  void WipePassword();

  std::string m_strPassword;
  fw::CEdit m_editExt;
  fw::CEdit m_editRetry;
  fw::CWnd m_staticSeparator;
  CKeyEditEx m_editConfirm;
  CKeyEditEx m_editPassword;
  std::string m_strPasswordField;
  std::string m_strConfirmField;
  std::string m_strRetryCount;
  std::string m_strExtension;
  bool m_bDetailsShown = false;
  int m_nDetailsHeight = 0;
  bool m_bNeedsElevation = false;

 protected:
  void DoDataExchange(fw::CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void OnDetails();
  void OnRetryCheck();
  void OnExtCheck();
  void OnSaveForNextTime();
  void WipeFields();
  void EnableItem(int id, BOOL enable) const { ::EnableWindow(GetDlgItem(id), enable); }
  bool IsTicked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED; }
};
