#include "controls.h"

#include <vector>

namespace fw {

namespace {
// The window property that leads the subclass procedure back to its hook.
const char kHookProp[] = "fw.CSubclassHook";
}  // namespace

CSubclassHook::~CSubclassHook() { Unhook(); }

BOOL CSubclassHook::Hook(HWND h) {
  if (!h) return FALSE;
  if (h == m_hHooked && m_pfnSuper) return TRUE;
  Unhook();
  m_hHooked = h;
  ::SetPropA(h, kHookProp, this);
  m_pfnSuper = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc)));
  return m_pfnSuper != nullptr;
}

void CSubclassHook::Unhook() {
  if (m_hHooked && m_pfnSuper && ::IsWindow(m_hHooked) && ::GetPropA(m_hHooked, kHookProp) == this) {
    ::SetWindowLongPtrA(m_hHooked, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    ::RemovePropA(m_hHooked, kHookProp);
  }
  m_pfnSuper = nullptr;
  m_hHooked = nullptr;
}

LRESULT CSubclassHook::CallSuper(UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::CallWindowProcA(m_pfnSuper, m_hHooked, msg, wParam, lParam);
}

LRESULT CALLBACK CSubclassHook::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<CSubclassHook*>(::GetPropA(hwnd, kHookProp));
  if (!self || !self->m_pfnSuper) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    WNDPROC super = self->m_pfnSuper;
    ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(super));
    ::RemovePropA(hwnd, kHookProp);
    self->m_pfnSuper = nullptr;
    self->m_hHooked = nullptr;
    self->OnUnhooked();
    return ::CallWindowProcA(super, hwnd, msg, wParam, lParam);
  }
  // No exception may unwind through the system's window procedures.
  try {
    return self->HookedProc(msg, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

BOOL CSubclassedEdit::SubclassDlgItem(int id, HWND dialog) {
  HWND h = ::GetDlgItem(dialog, id);
  if (!h) return FALSE;
  m_hWnd = h;
  return Hook(h);
}

LRESULT CSubclassedEdit::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  return Default(msg, wParam, lParam);
}

BOOL CSubclassedComboBox::SubclassWindow(HWND h) {
  if (!h) return FALSE;
  m_hWnd = h;
  return Hook(h);
}

LRESULT CSubclassedComboBox::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  return Default(msg, wParam, lParam);
}

std::string CComboBox::GetLBText(int index) const {
  LRESULT n = SendMessage(CB_GETLBTEXTLEN, index);
  if (n == CB_ERR) return {};
  std::string s(static_cast<size_t>(n) + 1, '\0');
  LRESULT got = SendMessage(CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(s.data()));
  s.resize(got == CB_ERR ? 0 : static_cast<size_t>(got));
  return s;
}

void* CComboBox::GetItemDataPtr(int index) const {
  LRESULT r = SendMessage(CB_GETITEMDATA, index);
  return r == CB_ERR ? nullptr : reinterpret_cast<void*>(r);
}

int CListCtrl::InsertColumn(int index, const std::string& heading, int format, int width) const {
  LVCOLUMNA col{};
  col.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
  col.fmt = format;
  col.pszText = const_cast<char*>(heading.c_str());
  col.iSubItem = index;
  if (width >= 0) {
    col.mask |= LVCF_WIDTH;
    col.cx = width;
  }
  return static_cast<int>(SendMessage(LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&col)));
}

int CListCtrl::InsertItem(int index, const std::string& text, int image) const {
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = index;
  item.pszText = const_cast<char*>(text.c_str());
  if (image >= 0) {
    item.mask |= LVIF_IMAGE;
    item.iImage = image;
  }
  return static_cast<int>(SendMessage(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

BOOL CListCtrl::SetItemText(int item, int subItem, const std::string& text) const {
  LVITEMA it{};
  it.iSubItem = subItem;
  it.pszText = const_cast<char*>(text.c_str());
  return static_cast<BOOL>(SendMessage(LVM_SETITEMTEXTA, item, reinterpret_cast<LPARAM>(&it)));
}

std::string CListCtrl::GetItemText(int item, int subItem) const {
  // LVM_GETITEMTEXT gives no length; grow until the text fits with room to spare.
  for (size_t size = 256;; size *= 2) {
    std::vector<char> buf(size, '\0');
    LVITEMA it{};
    it.iSubItem = subItem;
    it.pszText = buf.data();
    it.cchTextMax = static_cast<int>(size);
    auto n = static_cast<size_t>(
        SendMessage(LVM_GETITEMTEXTA, item, reinterpret_cast<LPARAM>(&it)));
    if (n + 1 < size || size >= 65536) return std::string(buf.data(), n < size ? n : size - 1);
  }
}

BOOL CListCtrl::SetItemData(int item, DWORD_PTR data) const {
  LVITEMA it{};
  it.mask = LVIF_PARAM;
  it.iItem = item;
  it.lParam = static_cast<LPARAM>(data);
  return static_cast<BOOL>(SendMessage(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&it)));
}

DWORD_PTR CListCtrl::GetItemData(int item) const {
  LVITEMA it{};
  it.mask = LVIF_PARAM;
  it.iItem = item;
  SendMessage(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it));
  return static_cast<DWORD_PTR>(it.lParam);
}

int CListCtrl::GetItemImage(int item) const {
  LVITEMA it{};
  it.mask = LVIF_IMAGE;
  it.iItem = item;
  if (!SendMessage(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it))) return -1;
  return it.iImage;
}

BOOL CListCtrl::GetCheck(int item) const {
  auto state = static_cast<UINT>(SendMessage(LVM_GETITEMSTATE, item, LVIS_STATEIMAGEMASK));
  return ((state >> 12) - 1) == 1;
}

void CListCtrl::SetCheck(int item, BOOL checked) const {
  LVITEMA it{};
  it.stateMask = LVIS_STATEIMAGEMASK;
  it.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
  SendMessage(LVM_SETITEMSTATE, item, reinterpret_cast<LPARAM>(&it));
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  // A dialog object may run more than once: follow the control of the current window.
  HWND h = ::GetDlgItem(dx->m_hDlg, id);
  if (control.m_hWnd != h) control.Attach(h);
}

void DDX_Control(CDataExchange* dx, int id, CSubclassedEdit& control) {
  control.SubclassDlgItem(id, dx->m_hDlg);
}

}  // namespace fw
