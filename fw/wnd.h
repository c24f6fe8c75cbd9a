// A non-owning window wrapper: it never creates or destroys the window it names.
#pragma once
#include <windows.h>

#include <string>

namespace fw {

class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(HWND h) : m_hWnd(h) {}
  virtual ~CWnd() = default;

  HWND GetSafeHwnd() const { return m_hWnd; }
  void Attach(HWND h) { m_hWnd = h; }

  std::string GetWindowText() const;
  void SetWindowText(const std::string& text) const { ::SetWindowTextA(m_hWnd, text.c_str()); }
  BOOL EnableWindow(BOOL enable = TRUE) const { return ::EnableWindow(m_hWnd, enable); }
  BOOL ShowWindow(int cmd) const { return ::ShowWindow(m_hWnd, cmd); }
  LRESULT SendMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const {
    return ::SendMessageA(m_hWnd, msg, wp, lp);
  }
  BOOL PostMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const {
    return ::PostMessageA(m_hWnd, msg, wp, lp);
  }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  std::string GetDlgItemText(int id) const;
  void SetDlgItemText(int id, const std::string& text) const {
    ::SetDlgItemTextA(m_hWnd, id, text.c_str());
  }
  void SetFocus() const { ::SetFocus(m_hWnd); }
  void UpdateWindow() const { ::UpdateWindow(m_hWnd); }
  HICON SetIcon(HICON icon, BOOL big) const {
    return reinterpret_cast<HICON>(SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                                               reinterpret_cast<LPARAM>(icon)));
  }

  HWND m_hWnd = nullptr;
};

}  // namespace fw
