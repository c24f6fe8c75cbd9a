// The save-as dialog of the encryption job: the platform's classic save dialog with one
// check box "save in self-decrypting form" that the file-type list and the extension of
// the typed name follow. The job sets m_strSelfExt before DoModal and reads the path and
// m_bSelfDecryptChecked after IDOK.
#pragma once
#include <windows.h>

#include <string>

#include "controls.h"
#include "filedialog.h"

// The dialog's file-type list. It notes the file name as it stood when the list's
// selection began to change, before the dialog reacts to the new type.
class CVxComboBox : public fw::CSubclassedComboBox {
 public:
  static constexpr size_t kNameSize = 520;

  HWND m_hWndName = nullptr;
  char m_szNameSnapshot[kNameSize] = {};

 protected:
  LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
};

class CVxFileDlg : public fw::CFileDialog {
 public:
  // `noTestCreate`: the dialog must not try to create the file to test the name (the
  // operation log's partial set-up said so).
  CVxFileDlg(BOOL open, const std::string& defExt, const std::string& fileName, DWORD flags,
             const std::string& filter, fw::CWnd* parent, BOOL noTestCreate);
  ~CVxFileDlg() override;

  // Cuts a final "." + m_strSelfExt or ".xss" (any letter case) off `name`, a text of at
  // most `size` bytes; `stripped` tells whether it did. 0 only for bad arguments.
  BOOL StripOwnExtension(char* name, size_t size, BOOL* stripped) const;

  std::string m_strSelfExt;
  bool m_bSelfDecryptChecked = false;
  CVxComboBox m_comboType;

 protected:
  BOOL OnFileNameOK() override;
  void OnInitDone() override;
  void OnTypeChange() override;
  BOOL OnHookMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void OnClickSelfDecrypting();
  // Ticks or clears the box, selects the matching type, gives `name` (the file name as
  // it stood) the matching extension in the name field and sets the default extension.
  void ApplyKind(bool selfDecrypting, const char* name, bool fromList);
  HWND NameField() const;
};
