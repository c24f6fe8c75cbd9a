#include "dialog.h"

#include "app.h"

namespace fw {

void DDX_Text(CDataExchange* dx, int id, std::string& value) {
  CWnd dlg(dx->m_hDlg);
  if (dx->m_bSaveAndValidate)
    value = dlg.GetDlgItemText(id);
  else
    dlg.SetDlgItemText(id, value);
}

void DDV_MaxChars(CDataExchange* dx, int id, const std::string& value, int maxBytes) {
  HWND control = ::GetDlgItem(dx->m_hDlg, id);
  if (!dx->m_bSaveAndValidate) {
    ::SendMessageA(control, EM_LIMITTEXT, static_cast<WPARAM>(maxBytes), 0);
  } else if (value.size() > static_cast<size_t>(maxBytes)) {
    dx->m_bFailed = true;
    ::SetFocus(control);
  }
}

void DDX_Check(CDataExchange* dx, int id, int& value) {
  if (dx->m_bSaveAndValidate)
    value = static_cast<int>(::IsDlgButtonChecked(dx->m_hDlg, id));
  else
    ::CheckDlgButton(dx->m_hDlg, id, static_cast<UINT>(value));
}

void DDX_SecretText(CDataExchange* dx, int id, std::string& value) {
  HWND control = ::GetDlgItem(dx->m_hDlg, id);
  if (!dx->m_bSaveAndValidate) {
    ::SetWindowTextA(control, value.c_str());
    return;
  }
  if (!value.empty()) ::SecureZeroMemory(value.data(), value.size());
  value.clear();
  const int n = control ? ::GetWindowTextLengthA(control) : 0;
  if (n <= 0) return;
  // The room is made before the text arrives: the string never moves the text itself.
  value.resize(static_cast<size_t>(n) + 1);
  const int got = ::GetWindowTextA(control, value.data(), n + 1);
  value.resize(got > 0 ? static_cast<size_t>(got) : 0);
}

void WipeEditText(HWND edit) {
  if (!edit) return;
  const int n = ::GetWindowTextLengthA(edit);
  if (n > 0) ::SetWindowTextA(edit, std::string(static_cast<size_t>(n), '*').c_str());
  ::SetWindowTextA(edit, "");
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
  if (m_hWnd && !m_bModal && ::IsWindow(m_hWnd)) CDialog::DestroyWindow();
}

INT_PTR CDialog::DoModal() {
  m_bModal = true;
  HWND parent = AfxGetSafeOwner(m_pParentWnd);
  INT_PTR r = ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), parent,
                                DialogProc, reinterpret_cast<LPARAM>(this));
  m_hWnd = nullptr;
  return r;
}

BOOL CDialog::Create(CWnd* parent) {
  m_bModal = false;
  if (parent) m_pParentWnd = parent;
  HWND p = AfxGetSafeOwner(m_pParentWnd);
  HWND h = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), p,
                                DialogProc, reinterpret_cast<LPARAM>(this));
  return h != nullptr;
}

BOOL CDialog::DestroyWindow() {
  if (!m_hWnd) return FALSE;
  BOOL ok = ::DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
  return ok;
}

void CDialog::EndDialog(INT_PTR result) {
  if (m_bModal)
    ::EndDialog(m_hWnd, result);
  else
    DestroyWindow();
}

BOOL CDialog::UpdateData(BOOL save) {
  CDataExchange dx{m_hWnd, save != FALSE};
  DoDataExchange(&dx);
  return dx.m_bFailed ? FALSE : TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM, LPARAM) { return FALSE; }

BOOL CDialog::OnNotify(WPARAM, LPARAM, LRESULT*) { return FALSE; }

void CDialog::DoDataExchange(CDataExchange*) {}

INT_PTR CDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          if (HIWORD(wParam) == BN_CLICKED) OnOK();
          return TRUE;
        case IDCANCEL:
          if (HIWORD(wParam) == BN_CLICKED) OnCancel();
          return TRUE;
        default:
          return OnCommand(wParam, lParam);
      }
    case WM_NOTIFY: {
      LRESULT r = 0;
      if (!OnNotify(wParam, lParam, &r)) return FALSE;
      SetMsgResult(r);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CDialog* self;
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog*>(lParam);
    self->m_hWnd = hwnd;
    ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
  }
  if (!self) return FALSE;
  if (msg == WM_NCDESTROY) {
    ::SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    self->m_hWnd = nullptr;
    return FALSE;
  }
  // No exception may unwind through the system's dialog manager.
  try {
    return self->WindowProc(msg, wParam, lParam);
  } catch (...) {
    return FALSE;
  }
}

}  // namespace fw
