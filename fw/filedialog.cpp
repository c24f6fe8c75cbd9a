#include "filedialog.h"

#include <cstring>

#include "app.h"
#include "mbcs.h"

namespace fw {

CFileDialog::CFileDialog(BOOL open, const std::string& defExt, const std::string& fileName,
                         DWORD flags, const std::string& filter, CWnd* parent)
    : m_bOpen(open), m_defExt(defExt), m_filter(filter), m_pParent(parent) {
  for (char& c : m_filter)
    if (c == '|') c = '\0';
  m_filter.push_back('\0');
  lstrcpynA(m_szFile, fileName.c_str(), MAX_PATH);
  m_ofn.lStructSize = sizeof m_ofn;
  m_ofn.Flags = flags | OFN_EXPLORER | OFN_ENABLEHOOK;
  m_ofn.lpstrFilter = m_filter.c_str();
  m_ofn.nFilterIndex = 1;
  m_ofn.lpstrFile = m_szFile;
  m_ofn.nMaxFile = MAX_PATH;
  m_ofn.lpstrFileTitle = m_szFileTitle;
  m_ofn.nMaxFileTitle = MAX_PATH;
  m_ofn.lpstrDefExt = m_defExt.empty() ? nullptr : m_defExt.c_str();
  m_ofn.lpfnHook = HookProc;
  m_ofn.lCustData = reinterpret_cast<LPARAM>(this);
}

void CFileDialog::SetTemplate(UINT id) {
  m_ofn.Flags |= OFN_ENABLETEMPLATE;
  m_ofn.hInstance = AfxGetResourceHandle();
  m_ofn.lpTemplateName = MAKEINTRESOURCEA(id);
}

std::string CFileDialog::GetPathName() const {
  HWND dlg = GetOwnerDialog();
  const std::string typed = dlg ? GetFileName() : std::string();
  if (typed.empty()) return m_szFile;
  // Formed here rather than by CDM_GETFILEPATH, which some implementations build by
  // appending even a full path to the current folder.
  const bool drive = typed.size() >= 2 && typed[1] == ':' && !::IsDBCSLeadByte(static_cast<BYTE>(typed[0]));
  if (drive || typed.compare(0, 2, "\\\\") == 0) return typed;
  char folder[MAX_PATH] = {};
  if (::SendMessageA(dlg, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder)) <= 0)
    return m_szFile;
  std::string path = folder;
  if (typed[0] == '\\') return path.substr(0, 2) + typed;  // from the root of the folder's drive
  if (path.empty() || ReverseFindBackslash(path) != path.size() - 1) path += '\\';
  return path + typed;
}

std::string CFileDialog::GetFileName() const {
  if (HWND dlg = GetOwnerDialog()) {
    char typed[MAX_PATH] = {};
    if (::SendMessageA(dlg, CDM_GETSPEC, MAX_PATH, reinterpret_cast<LPARAM>(typed)) < 0) return {};
    return typed;
  }
  return m_szFileTitle;
}

void CFileDialog::SetDefExt(const std::string& ext) {
  m_defExt = ext;
  m_ofn.lpstrDefExt = m_defExt.empty() ? nullptr : m_defExt.c_str();
  if (HWND dlg = GetOwnerDialog())
    ::SendMessageA(dlg, CDM_SETDEFEXT, 0, reinterpret_cast<LPARAM>(m_defExt.c_str()));
}

void CFileDialog::SetInitialDir(const std::string& folder) {
  m_initialDir = folder;
  m_ofn.lpstrInitialDir = m_initialDir.empty() ? nullptr : m_initialDir.c_str();
}

INT_PTR CFileDialog::DoModal() {
  m_ofn.hwndOwner = AfxGetSafeOwner(m_pParent);
  m_ofn.lpstrFilter = m_filter.c_str();
  m_ofn.lpstrFile = m_szFile;
  BOOL ok = m_bOpen ? ::GetOpenFileNameA(&m_ofn) : ::GetSaveFileNameA(&m_ofn);
  m_hHook = nullptr;
  return ok ? IDOK : IDCANCEL;
}

BOOL CFileDialog::OnHookMessage(UINT, WPARAM, LPARAM) { return FALSE; }

UINT_PTR CALLBACK CFileDialog::HookProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CFileDialog* self;
  if (msg == WM_INITDIALOG) {
    auto* ofn = reinterpret_cast<OPENFILENAMEA*>(lParam);
    self = reinterpret_cast<CFileDialog*>(ofn->lCustData);
    self->m_hHook = hwnd;
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    return TRUE;
  }
  self = reinterpret_cast<CFileDialog*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return FALSE;
  try {
    if (msg == WM_NOTIFY) {
      auto* n = reinterpret_cast<OFNOTIFYA*>(lParam);
      switch (n->hdr.code) {
        case CDN_INITDONE:
          self->OnInitDone();
          return TRUE;
        case CDN_TYPECHANGE:
          self->OnTypeChange();
          return TRUE;
        case CDN_FILEOK: {
          BOOL refuse = self->OnFileNameOK();
          ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, refuse ? 1 : 0);
          return refuse;
        }
        default:
          break;
      }
    }
    return self->OnHookMessage(msg, wParam, lParam);
  } catch (...) {
    return FALSE;
  }
}

}  // namespace fw
