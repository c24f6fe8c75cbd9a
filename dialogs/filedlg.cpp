#include "filedlg.h"

#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "app.h"
#include "dialogs_ids.h"
#include "mbcs.h"
#include "string_ids.h"
#include "velvoxapp.h"

namespace {

// Controls of the platform's save dialog (dlgs.h: cmb1, cmb13).
constexpr int kTypeList = 1136;
constexpr int kNameField = 1148;
constexpr size_t kMaxPath = 260;
const char kArchiveExt[] = "xss";

// Index just past the lead and trail bytes of the character at `i`.
size_t NextChar(const std::string& s, size_t i) {
  if (::IsDBCSLeadByte(static_cast<BYTE>(s[i])) && i + 1 < s.size()) return i + 2;
  return i + 1;
}

// Drive, folder (with its final separator), name and extension (with its dot), as the
// runtime's path splitting gives them, but never taking a trail byte for a separator.
struct PathParts {
  std::string drive, dir, name, ext;
};

PathParts SplitPath(const std::string& path) {
  PathParts p;
  size_t start = 0;
  if (path.size() >= 2 && path[1] == ':' && !::IsDBCSLeadByte(static_cast<BYTE>(path[0]))) {
    p.drive = path.substr(0, 2);
    start = 2;
  }
  size_t lastSep = std::string::npos, lastDot = std::string::npos;
  for (size_t i = start; i < path.size(); i = NextChar(path, i)) {
    if (path[i] == '\\' || path[i] == '/') lastSep = i;
    if (path[i] == '.') lastDot = i;
  }
  size_t nameStart = lastSep == std::string::npos ? start : lastSep + 1;
  p.dir = path.substr(start, nameStart - start);
  if (lastDot == std::string::npos || lastDot < nameStart) lastDot = path.size();
  p.name = path.substr(nameStart, lastDot - nameStart);
  p.ext = path.substr(lastDot);
  return p;
}

bool HasForbiddenNameChar(const std::string& name) {
  for (size_t i = 0; i < name.size(); i = NextChar(name, i)) {
    if (::IsDBCSLeadByte(static_cast<BYTE>(name[i])) && i + 1 < name.size()) continue;
    if (std::strchr("\\/:\"<>|*?", name[i]) && name[i] != '\0') return true;
  }
  return false;
}

// Over the owner when it can be seen, else over the work area of the dialog's monitor
// (the job's main dialog stays hidden).
void CenterOnOwner(HWND dlg) {
  RECT r;
  if (!dlg || !::GetWindowRect(dlg, &r)) return;
  RECT area;
  HWND owner = ::GetWindow(dlg, GW_OWNER);
  if (!owner || !::IsWindowVisible(owner) || ::IsIconic(owner) || !::GetWindowRect(owner, &area)) {
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    ::GetMonitorInfoA(::MonitorFromWindow(dlg, MONITOR_DEFAULTTOPRIMARY), &mi);
    area = mi.rcWork;
  }
  const int w = r.right - r.left, h = r.bottom - r.top;
  int x = area.left + ((area.right - area.left) - w) / 2;
  int y = area.top + ((area.bottom - area.top) - h) / 2;
  if (x < area.left) x = area.left;
  if (y < area.top) y = area.top;
  ::SetWindowPos(dlg, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

LRESULT CVxComboBox::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COMMAND) {
    OnCommand(wParam, lParam);
    return Default(msg, wParam, lParam);
  }
  return fw::CSubclassedComboBox::WindowProc(msg, wParam, lParam);
}

BOOL CVxComboBox::OnCommand(WPARAM wParam, LPARAM) {
  // The drop-down list tells its combo box of a new selection (LBN_SELCHANGE) before the
  // combo box tells the dialog, so the name field still holds what the user typed.
  if (HIWORD(wParam) == LBN_SELCHANGE && m_hWndName)
    ::GetWindowTextA(m_hWndName, m_szNameSnapshot, static_cast<int>(kNameSize));
  return FALSE;
}

CVxFileDlg::CVxFileDlg(BOOL open, const std::string& defExt, const std::string& fileName,
                       DWORD flags, const std::string& filter, fw::CWnd* parent,
                       BOOL noTestCreate)
    : fw::CFileDialog(open, defExt, fileName, flags, filter, parent) {
  SetTemplate(IDD_SAVE_AS_CHILD);
  const CVelvoxApp* app = VxApp();
  if (OsVersionCode >= 600 &&
      ((app->m_nRemovable != 0 && app->m_nDisableArchive == 0) || noTestCreate != 0))
    m_ofn.Flags |= OFN_NOTESTFILECREATE;
}

CVxFileDlg::~CVxFileDlg() = default;

HWND CVxFileDlg::NameField() const {
  HWND dlg = GetOwnerDialog();
  return dlg ? ::GetDlgItem(dlg, kNameField) : nullptr;
}

BOOL CVxFileDlg::OnHookMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COMMAND && LOWORD(wParam) == IDC_SAVE_SELF_DECRYPTING) {
    if (HIWORD(wParam) == BN_CLICKED) OnClickSelfDecrypting();
    return TRUE;
  }
  return fw::CFileDialog::OnHookMessage(msg, wParam, lParam);
}

void CVxFileDlg::OnInitDone() {
  if (VxApp()->m_nSelfExtract == 1) {
    m_bSelfDecryptChecked = true;
    ::CheckDlgButton(m_hHook, IDC_SAVE_SELF_DECRYPTING, BST_CHECKED);
    SetDefExt(m_strSelfExt);
  }
  HWND dlg = GetOwnerDialog();
  CenterOnOwner(dlg);
  if (OsVersionCode >= 600 && dlg) {
    HWND name = ::GetDlgItem(dlg, kNameField);
    HWND list = ::GetDlgItem(dlg, kTypeList);
    if (list) {
      m_comboType.SubclassWindow(list);
      if (name) m_comboType.m_hWndName = name;
    }
  }
}

void CVxFileDlg::OnClickSelfDecrypting() {
  const bool ticked = ::IsDlgButtonChecked(m_hHook, IDC_SAVE_SELF_DECRYPTING) == BST_CHECKED;
  char name[CVxComboBox::kNameSize] = {};
  if (OsVersionCode >= 600)
    if (HWND field = NameField()) ::GetWindowTextA(field, name, sizeof name);
  ApplyKind(ticked, name, false);
}

void CVxFileDlg::OnTypeChange() {
  HWND dlg = GetOwnerDialog();
  const bool self = dlg && ::SendDlgItemMessageA(dlg, kTypeList, CB_GETCURSEL, 0, 0) == 1;
  char name[CVxComboBox::kNameSize] = {};
  if (OsVersionCode >= 600) {
    std::memcpy(name, m_comboType.m_szNameSnapshot, sizeof name);
    name[sizeof name - 1] = '\0';
    // A type chosen without the list announcing its new selection leaves no snapshot of
    // this change; an older one would bring back a name the user has since replaced.
    if (name[0] == '\0')
      if (HWND field = NameField()) ::GetWindowTextA(field, name, sizeof name);
    std::memset(m_comboType.m_szNameSnapshot, 0, sizeof m_comboType.m_szNameSnapshot);
  }
  ApplyKind(self, name, true);
}

void CVxFileDlg::ApplyKind(bool selfDecrypting, const char* name, bool fromList) {
  m_bSelfDecryptChecked = selfDecrypting;
  HWND dlg = GetOwnerDialog();
  if (fromList)
    ::CheckDlgButton(m_hHook, IDC_SAVE_SELF_DECRYPTING,
                     selfDecrypting ? BST_CHECKED : BST_UNCHECKED);
  else if (dlg)
    ::SendDlgItemMessageA(dlg, kTypeList, CB_SETCURSEL, selfDecrypting ? 1 : 0, 0);
  if (OsVersionCode >= 600) {
    if (HWND field = NameField()) {
      char text[CVxComboBox::kNameSize] = {};
      lstrcpynA(text, name, sizeof text);
      BOOL stripped = 0;
      StripOwnExtension(text, sizeof text, &stripped);
      std::string result = name;
      if (stripped)
        result = std::string(text) + "." + (selfDecrypting ? m_strSelfExt : kArchiveExt);
      ::SetWindowTextA(field, result.c_str());
    }
  }
  SetDefExt(selfDecrypting ? m_strSelfExt : kArchiveExt);
}

BOOL CVxFileDlg::StripOwnExtension(char* name, size_t size, BOOL* stripped) const {
  if (!name || size == 0 || !stripped) return 0;
  *stripped = 0;
  wchar_t wide[CVxComboBox::kNameSize] = {};
  const int bytes = static_cast<int>(strnlen(name, size));
  ::MultiByteToWideChar(CP_ACP, 0, name, bytes, wide, CVxComboBox::kNameSize - 1);
  if (wchar_t* dot = std::wcsrchr(wide, L'.')) {
    std::wstring ext(dot);
    ::CharLowerBuffW(ext.data(), static_cast<DWORD>(ext.size()));
    std::string own = "." + m_strSelfExt;
    std::wstring ownExt(own.size() + 1, L'\0');
    ownExt.resize(static_cast<size_t>(::MultiByteToWideChar(
        CP_ACP, 0, own.data(), static_cast<int>(own.size()), ownExt.data(),
        static_cast<int>(ownExt.size()))));
    ::CharLowerBuffW(ownExt.data(), static_cast<DWORD>(ownExt.size()));
    if (ext == ownExt || ext == L".xss") {
      *dot = L'\0';
      *stripped = 1;
    }
  }
  const int n = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, name, static_cast<int>(size), nullptr,
                                      nullptr);
  if (n == 0) name[size - 1] = '\0';
  return 1;
}

BOOL CVxFileDlg::OnFileNameOK() {
  // The dialog hands the chosen folder over in the code page, where a folder it cannot
  // spell becomes a look-alike, possibly another folder; the crypto library takes no
  // other form, so such a folder is refused and the dialog stays. Its item list is the
  // folder itself (the dialog's text messages answer in the dialog's own code-page form).
  const std::string typedName = GetFileName();
  const bool typedFull = (typedName.size() >= 2 && typedName[1] == ':') || typedName.compare(0, 2, "\\\\") == 0;
  if (HWND dlg = GetOwnerDialog(); dlg && !typedFull) {
    const LRESULT size = ::SendMessageA(dlg, CDM_GETFOLDERIDLIST, 0, 0);
    std::vector<BYTE> list(size > 0 ? static_cast<size_t>(size) : 0);
    wchar_t folder[MAX_PATH] = {};
    bool lossy = false;
    if (!list.empty() &&
        ::SendMessageA(dlg, CDM_GETFOLDERIDLIST, list.size(), reinterpret_cast<LPARAM>(list.data())) > 0 &&
        ::SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(list.data()), folder))
      fw::ToCodePage(folder, &lossy);
    if (lossy) {
      std::wstring chosen = folder;
      if (!chosen.empty() && chosen.back() != L'\\') chosen += L'\\';
      fw::AfxMessageBox(fw::FormatArgs(fw::LoadStrW(IDS_FILE_NAME_INVALID), {chosen + fw::ToWide(typedName)}),
                        MB_OK);
      return 1;
    }
  }
  const std::string path = GetPathName();
  const PathParts parts = SplitPath(path);

  const std::string folder = parts.drive + parts.dir;
  const DWORD attributes = folder.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    fw::AfxMessageBox(IDS_OUTPUT_FOLDER_INACCESSIBLE, MB_OK);
    return 1;
  }

  if (lstrcmpiA(parts.ext.c_str(), ".lnk") == 0) {
    fw::AfxMessageBox(fw::LoadStr(IDS_LNK_EXTENSION_FORBIDDEN) + "\n\n    \".lnk\"", MB_OK);
    return 1;
  }

  std::string use;
  if (m_bSelfDecryptChecked)
    use = folder + parts.name + "." + m_strSelfExt;
  else if (parts.ext.empty())
    use = folder + parts.name + "." + kArchiveExt;
  else
    use = path;

  const std::string typed = parts.name + parts.ext;
  const std::string fileName = GetFileName();
  if (typed != fileName || use.size() >= kMaxPath) {
    // A name typed with its folder ends in the name that the path was split into.
    const size_t slash = fw::ReverseFindBackslash(fileName);
    if (slash == std::string::npos || fileName.substr(slash + 1) != typed) {
      fw::AfxMessageBox(IDS_OUTPUT_FOLDER_INACCESSIBLE, MB_OK);
      return 1;
    }
  }

  if (HasForbiddenNameChar(typed)) {
    fw::AfxMessageBox(fw::FormatArgs(fw::LoadStr(IDS_FILE_NAME_INVALID), {fileName}), MB_OK);
    return 1;
  }

  if (use.size() >= kMaxPath) {
    fw::AfxMessageBox(IDS_OUTPUT_FOLDER_INACCESSIBLE, MB_OK);
    return 1;
  }
  lstrcpynA(m_ofn.lpstrFile, use.c_str(), static_cast<int>(kMaxPath));

  if (::GetFileAttributesA(use.c_str()) != INVALID_FILE_ATTRIBUTES) {
    const std::string question =
        fw::Sprintf(fw::LoadStr(IDS_CONFIRM_OVERWRITE_OUTPUT).c_str(), use.c_str());
    return fw::AfxMessageBox(question, MB_YESNO) == IDYES ? 0 : 1;
  }
  return 0;
}
