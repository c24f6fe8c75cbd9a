#include "dialog.h"

#include <algorithm>

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

namespace {

// Room made in a secret field's own buffer before anything is typed or put there: a
// buffer that grows moves, and the block it leaves goes back to the heap with what it
// held.
constexpr size_t kSecretRoom = 256;

void SetFieldText(HWND edit, size_t stars) {
  std::wstring filler(stars, L'*');
  ::SetWindowTextW(edit, filler.c_str());
}

// Filler over the text buffer and over the undo buffer, which keeps what was deleted
// (a typing mistake erased keeps its characters there), `stars` characters of each,
// then an empty field with nothing left to undo. Both buffers grow to that size here,
// while they hold no secret, and not later while they do.
void FillSecretRoom(HWND edit, size_t stars) {
  SetFieldText(edit, stars);
  ::SendMessageW(edit, EM_SETSEL, 0, -1);
  ::SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L""));
  ::SendMessageW(edit, EM_EMPTYUNDOBUFFER, 0, 0);
}

}  // namespace

// Secrets go into and out of the control as UTF-16 through buffers that are wiped here:
// the ANSI calls would have the system convert them in a buffer of its own, on the
// stack or in the heap, that nobody wipes.
void SetSecretText(HWND edit, const std::string& value) {
  if (!edit) return;
  // The old text goes first and the room is made, so the buffer never moves with the
  // new one in it.
  WipeEditText(edit);
  const int n = value.empty() ? 0
                              : ::MultiByteToWideChar(CP_ACP, 0, value.data(),
                                                      static_cast<int>(value.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n) + 1, L'\0');
  if (n > 0)
    ::MultiByteToWideChar(CP_ACP, 0, value.data(), static_cast<int>(value.size()), wide.data(), n);
  ::SetWindowTextW(edit, wide.c_str());
  ::SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
}

void DDX_SecretText(CDataExchange* dx, int id, std::string& value) {
  HWND control = ::GetDlgItem(dx->m_hDlg, id);
  if (!dx->m_bSaveAndValidate) {
    SetSecretText(control, value);
    return;
  }
  if (!value.empty()) ::SecureZeroMemory(value.data(), value.size());
  value.clear();
  const int n = control ? ::GetWindowTextLengthW(control) : 0;
  if (n <= 0) return;
  std::wstring wide(static_cast<size_t>(n) + 1, L'\0');
  const int got = ::GetWindowTextW(control, wide.data(), n + 1);
  const int bytes =
      got > 0 ? ::WideCharToMultiByte(CP_ACP, 0, wide.data(), got, nullptr, 0, nullptr, nullptr) : 0;
  // The room is made before the text arrives: the string never moves the text itself.
  value.resize(static_cast<size_t>(bytes > 0 ? bytes : 0));
  if (bytes > 0)
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), got, value.data(), bytes, nullptr, nullptr);
  ::SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
}

void WipeEditText(HWND edit) {
  if (!edit) return;
  const size_t n = static_cast<size_t>(std::max(::GetWindowTextLengthW(edit), 0));
  // In place first: the same length never moves the buffer. Then as far as the room
  // reaches: what was typed and deleted again stays behind the end of the text and in
  // the undo buffer.
  if (n > 0) SetFieldText(edit, n);
  FillSecretRoom(edit, std::max(n, kSecretRoom));
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
  if (m_hWnd && !m_bModal && ::IsWindow(m_hWnd)) CDialog::DestroyWindow();
}

INT_PTR CDialog::DoModal() {
  m_bModal = true;
  HWND parent = AfxGetSafeOwner(m_pParentWnd);
  INT_PTR r = m_bUnicode ? ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate),
                                             parent, DialogProc, reinterpret_cast<LPARAM>(this))
                         : ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate),
                                             parent, DialogProc, reinterpret_cast<LPARAM>(this));
  m_hWnd = nullptr;
  return r;
}

BOOL CDialog::Create(CWnd* parent) {
  m_bModal = false;
  if (parent) m_pParentWnd = parent;
  HWND p = AfxGetSafeOwner(m_pParentWnd);
  HWND h = m_bUnicode ? ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate),
                                             p, DialogProc, reinterpret_cast<LPARAM>(this))
                      : ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate),
                                             p, DialogProc, reinterpret_cast<LPARAM>(this));
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
