#include "keyedit.h"

#include <cstring>

#include "app.h"

LRESULT CKeyEditBase::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CHAR: {
      if (m_bDropTrailByte) {
        m_bDropTrailByte = false;
        return 0;
      }
      // Both bytes of a double-byte character in one message: never a key character.
      if (wParam & 0xFF00) return 0;
      auto c = static_cast<unsigned char>(wParam & 0xFF);
      if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
      if (IsAccepted(c)) return Default(msg, wParam, lParam);
      if (::IsDBCSLeadByte(c)) m_bDropTrailByte = true;
      return 0;
    }
    case WM_SETFOCUS: {
      LRESULT r = Default(msg, wParam, lParam);
      m_bDropTrailByte = false;
      m_hSavedImc = ::ImmAssociateContext(m_hWnd, nullptr);
      return r;
    }
    case WM_KILLFOCUS: {
      LRESULT r = Default(msg, wParam, lParam);
      ::ImmAssociateContext(m_hWnd, m_hSavedImc);
      m_hSavedImc = nullptr;
      return r;
    }
    default:
      return Default(msg, wParam, lParam);
  }
}

bool CKeyEdit::IsAccepted(unsigned char c) const {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == VK_BACK;
}

bool CKeyEditEx::IsAccepted(unsigned char c) const {
  return (c >= 0x21 && c <= 0x7E) || c == VK_BACK;
}

void SetMeiryoFont(HWND dialog, int id) {
  HWND control = ::GetDlgItem(dialog, id);
  if (!control) return;
  auto current = reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0));
  LOGFONTA lf{};
  if (!current || !::GetObjectA(current, sizeof lf, &lf)) return;
  lstrcpynA(lf.lfFaceName, "Meiryo UI", LF_FACESIZE);
  HFONT font = ::CreateFontIndirectA(&lf);
  if (font) ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void GetScaledIconSize(int* cx, int* cy, int baseCx, int baseCy) {
  HDC screen = ::GetDC(nullptr);
  int dpiX = ::GetDeviceCaps(screen, LOGPIXELSX);
  int dpiY = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  *cx = static_cast<int>(static_cast<float>(dpiX) / 96.0f * static_cast<float>(baseCx));
  *cy = static_cast<int>(static_cast<float>(dpiY) / 96.0f * static_cast<float>(baseCy));
}

void WipeString(std::string& s) {
  if (!s.empty()) ::SecureZeroMemory(s.data(), s.size());
  s.clear();
}

void AddResourceIcon(const fw::CImageList& list, int id, int cx, int cy) {
  auto icon = static_cast<HICON>(::LoadImageA(fw::AfxGetResourceHandle(), MAKEINTRESOURCEA(id),
                                              IMAGE_ICON, cx, cy, 0));
  if (!icon) return;
  list.Add(icon);
  ::DestroyIcon(icon);
}
