// Dialogs from .rc templates. One static dialog procedure finds the object through
// DWLP_USER (stored at WM_INITDIALOG, cleared at WM_NCDESTROY) and dispatches to a
// few virtual hooks; each dialog routes its own ids in one visible switch.
#pragma once
#include <windows.h>

#include <string>

#include "wnd.h"

namespace fw {

// Moves data between members and controls: to the controls with
// m_bSaveAndValidate false, back into the members with true.
struct CDataExchange {
  HWND m_hDlg;
  bool m_bSaveAndValidate;
  bool m_bFailed = false;  // a check refused the data; UpdateData returns FALSE
};
void DDX_Text(CDataExchange* dx, int id, std::string& value);
// At most `maxBytes` bytes in edit `id`: the limit goes to the control (EM_LIMITTEXT),
// and a longer text taken from it fails the exchange with the focus on the field.
void DDV_MaxChars(CDataExchange* dx, int id, const std::string& value, int maxBytes);
void DDX_Check(CDataExchange* dx, int id, int& value);
// DDX_Text for a field that holds a secret: the old value is wiped, and the text is read
// into `value`'s own buffer, so no temporary copy is left behind with it.
void DDX_SecretText(CDataExchange* dx, int id, std::string& value);
// Puts a secret into an edit control, leaving no copy but the control's own; the control
// is first given room for a secret of 255 characters, so that its buffer never moves.
void SetSecretText(HWND edit, const std::string& value);
// Overwrites the text of an edit control that held a secret, inside the control's own
// buffer, before the control gives that buffer back to the heap: filler characters over
// the text and the room behind it, then nothing. For a dialog's WM_DESTROY (the children
// are still there).
void WipeEditText(HWND edit);

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Without a parent the dialog belongs to AfxGetSafeOwner(): the dialog that opened it
  // is disabled while it runs.
  INT_PTR DoModal();
  // Modeless; the caller ends it with DestroyWindow().
  BOOL Create(CWnd* parent = nullptr);
  // Ends a modeless dialog; EndDialog on a modeless dialog comes here too. The base
  // destructor can only reach this class's version: a class that overrides it must call
  // its own DestroyWindow from its destructor.
  virtual BOOL DestroyWindow();
  void EndDialog(INT_PTR result);
  // FALSE when a check of DoDataExchange refused the data.
  BOOL UpdateData(BOOL save = TRUE);

  UINT m_nIDTemplate;

 protected:
  virtual BOOL OnInitDialog();  // TRUE: the system sets the default focus
  virtual void OnOK();
  virtual void OnCancel();
  // WM_COMMAND other than IDOK/IDCANCEL; TRUE when handled.
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
  virtual void DoDataExchange(CDataExchange* dx);
  // Every message; the default dispatches to the hooks above. The return value is the
  // dialog procedure's: TRUE when handled (set DWLP_MSGRESULT through SetMsgResult for
  // messages that carry a result), FALSE for the system's default handling.
  virtual INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  void SetMsgResult(LRESULT r) const { ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, r); }

  CWnd* m_pParentWnd;
  bool m_bModal = false;
  // Set before the dialog is made: its controls are then Unicode windows, which keep a
  // text the code page cannot spell (an ANSI control's text passes through the code
  // page, even when set with a W call). WM_SETTEXT and the other text messages then
  // reach WindowProc as UTF-16.
  bool m_bUnicode = false;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

}  // namespace fw
