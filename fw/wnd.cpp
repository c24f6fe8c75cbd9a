#include "wnd.h"

namespace fw {

std::string CWnd::GetWindowText() const {
  int n = ::GetWindowTextLengthA(m_hWnd);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  int got = ::GetWindowTextA(m_hWnd, s.data(), n + 1);
  s.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return s;
}

std::string CWnd::GetDlgItemText(int id) const {
  HWND c = ::GetDlgItem(m_hWnd, id);
  return c ? CWnd(c).GetWindowText() : std::string();
}

}  // namespace fw
