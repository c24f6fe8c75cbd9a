#include "velvoxdlg.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>

#include "app.h"
#include "contracts/tempmark.h"
#include "filedialog.h"
#include "mbcs.h"
#include "phasetrace.h"
#include "resource.h"
#include "string_ids.h"
#include "velvoxapp.h"

namespace {

// The shell's help command; the program has no help, so it is swallowed.
constexpr WPARAM kHelpCommand = 0xE146;

bool EndsWithXss(const std::string& s, bool ignoreCase) {
  if (s.size() <= 4) return false;
  const char* tail = s.c_str() + s.size() - 4;
  return ignoreCase ? _strnicmp(tail, ".xss", 4) == 0 : std::strcmp(tail, ".xss") == 0;
}

}  // namespace

CVelvoxDlg::CVelvoxDlg(fw::CWnd* parent) : fw::CDialog(IDD_VELVOX_DIALOG, parent) {
  m_hIcon = ::LoadIconA(fw::AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CVelvoxDlg::~CVelvoxDlg() { DeleteTempFiles(); }

void CVelvoxDlg::DeleteTempFiles() {
  for (HANDLE h : m_tempHandles) ::CloseHandle(h);
  m_tempHandles.clear();
  // Closing deleted them. Their names are no proof: what a name holds now goes only
  // when it is still the file the job made, and with it the record.
  for (const std::string& temp : m_tempFiles) tempmark::Discard(tempmark::kVelvoxKey, temp);
  m_tempFiles.clear();
}

BOOL CVelvoxDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();

  if (HMENU sys = ::GetSystemMenu(m_hWnd, FALSE)) {
    std::string about = fw::LoadStr(IDS_ABOUTBOX);
    if (!about.empty()) {
      ::AppendMenuA(sys, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(sys, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  int count = CollectArguments();
  if (count == -1 || (count == 0 && !fw::RawCommandLineArgsW().empty())) {
    m_sources.clear();
    ShowPathTooLong();
    PostMessage(WM_CLOSE);
    return TRUE;
  }
  if (count == 0 && !ChooseFileToOpen()) {
    PostMessage(WM_CLOSE);
    return TRUE;
  }
  if (m_sources.size() >= 2 && !SourcesShareParent()) {
    m_sources.clear();
    fw::AfxMessageBox(IDS_PARENT_FOLDERS_DIFFER, MB_OK);
    PostMessage(WM_CLOSE);
    return TRUE;
  }
  if (m_bDecrypt && m_sources.size() >= 2) KeepLastArchiveArgument();
  if (m_sources.empty()) {
    // Decrypt mode whose every ".xss" argument had another long name: nothing is left to
    // decrypt, so no job may start; the user sees what was passed.
    ShowPathTooLong();
    PostMessage(WM_CLOSE);
    return TRUE;
  }
  if (!SourcesHaveUsableNames()) {
    m_sources.clear();
    m_wideSources.clear();
    PostMessage(WM_CLOSE);
    return TRUE;
  }

  m_strWorkFolder = GetSourceParentFolder(m_sources.front());
  m_bOpLog = 0;
  if (m_bDecrypt)
    DecryptJob();
  else
    EncryptJob();

  vxtrace::Mark("job-end");
  CleanUpAfterJob();
  vxtrace::Mark("cleaned-up");
  vxtrace::MarkPeakMemory();
  PostMessage(WM_CLOSE);
  return TRUE;
}

void CVelvoxDlg::ShowPathTooLong() {
  fw::AfxMessageBox(fw::FormatArgs(fw::LoadStrW(IDS_PATH_TOO_LONG), {fw::RawCommandLineArgsW()}),
                    MB_OK);
}

BOOL CVelvoxDlg::SourcesHaveUsableNames() {
  const std::vector<std::wstring> real = RealSources();
  auto source = m_sources.begin();
  for (const std::wstring& path : real) {
    bool lossy = false;
    fw::ToCodePage(path, &lossy);
    if (lossy && m_bDecrypt) {
      // The crypto library opens the archive by a code-page path. The system's short
      // form names this very file; the code page's form of the long name may name its
      // look-alike.
      std::wstring brief(MAX_PATH, L'\0');
      const DWORD n = ::GetShortPathNameW(path.c_str(), brief.data(), MAX_PATH);
      if (n > 0 && n < MAX_PATH) {
        brief.resize(n);
        const std::string acp = fw::ToCodePage(brief, &lossy);
        if (!lossy) *source = acp;
      }
    } else if (lossy) {
      // The archiver takes each source by its bare name in the code page and stores
      // that as the entry's name; the folder is entered by its real name.
      fw::ToCodePage(path.substr(path.find_last_of(L'\\') + 1), &lossy);
    }
    if (lossy) {
      fw::AfxMessageBox(fw::FormatArgs(fw::LoadStrW(IDS_FILE_NAME_INVALID), {path}), MB_OK);
      return FALSE;
    }
    ++source;
  }
  return TRUE;
}

std::vector<std::wstring> CVelvoxDlg::RealSources() const {
  if (m_wideSources.size() == m_sources.size())
    return std::vector<std::wstring>(m_wideSources.begin(), m_wideSources.end());
  std::vector<std::wstring> real;
  for (const std::string& source : m_sources) real.push_back(fw::ToWide(source));
  return real;
}

BOOL CVelvoxDlg::ChooseFileToOpen() {
  fw::CFileDialog dlg(TRUE, "xss", "",
                      OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_EXTENSIONDIFFERENT |
                          OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NOTESTFILECREATE |
                          OFN_ENABLESIZING | OFN_DONTADDTORECENT,
                      fw::LoadStr(IDS_OPEN_FILTER), this);
  if (dlg.DoModal() != IDOK) return FALSE;
  m_sources.clear();
  std::string path = dlg.GetPathName();
  m_sources.push_back(path);
  // Unlike the arguments' test, the chosen name is compared case-sensitively.
  m_bDecrypt = EndsWithXss(path, false) ? 1 : 0;
  return TRUE;
}

BOOL CVelvoxDlg::SourcesShareParent() {
  // By the real names: two folders the code page cannot spell may share their code-page
  // text.
  std::wstring reference;
  for (const std::wstring& source : RealSources()) {
    size_t slash = source.find_last_of(L'\\');
    std::wstring parent = slash == std::wstring::npos ? std::wstring() : source.substr(0, slash + 1);
    ::CharUpperBuffW(parent.data(), static_cast<DWORD>(parent.size()));
    if (reference.empty())
      reference = parent;
    else if (parent != reference)
      return FALSE;
  }
  return TRUE;
}

void CVelvoxDlg::CleanUpAfterJob() {
  m_sources.clear();
  m_wideSources.clear();
  DeleteTempFiles();
  m_pProgressDlg = nullptr;
  if (m_bOpLog) {
    ReleaseGuard();
    ExportOperationLog();
    m_logFiles.clear();
  }
}

int CVelvoxDlg::CollectArguments() {
  m_bDecrypt = 0;
  m_sources.clear();
  m_wideSources.clear();
  // Read as the shell passed them: the code page's form of a name it cannot spell is a
  // look-alike, which may be another file.
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return 0;
  int count = 0;
  for (int i = 1; i < argc && count >= 0; ++i) {
    const std::wstring arg = argv[i];
    std::wstring normalized;
    if (!NormalizeArgPath(normalized, arg)) {
      count = -1;
      break;
    }
    // The code page's form, for the libraries; '?' stands for what it cannot spell, so
    // an ".xss" ending survives.
    const std::string acp = fw::ToCodePage(normalized);
    if (EndsWithXss(fw::ToCodePage(arg), true)) m_bDecrypt = 1;
    m_sources.push_back(acp);
    m_wideSources.push_back(normalized);
    count = acp.size() >= 256 ? -1 : count + 1;
  }
  ::LocalFree(argv);
  return count;
}

BOOL CVelvoxDlg::NormalizeArgPath(std::wstring& out, const std::wstring& path) {
  out.clear();
  if (path.size() < 3) return FALSE;
  // Only a backslash before the final character counts: "C:\dir\" names no entry.
  const size_t slash = path.find_last_of(L'\\', path.size() - 2);
  if (slash == std::wstring::npos) return FALSE;
  WIN32_FIND_DATAW fd;
  HANDLE find = ::FindFirstFileW(path.c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return FALSE;
  out = path.substr(0, slash + 1) + fd.cFileName;
  ::FindClose(find);
  // The code-page form must fit the 520 bytes that the narrow form is limited to.
  if (fw::ToCodePage(out).size() >= 520) {
    out.clear();
    return FALSE;
  }
  return TRUE;
}

std::string CVelvoxDlg::GetSourceParentFolder(const std::string& path) {
  std::string r = ResolveShellPath(path);
  size_t slash = fw::ReverseFindBackslash(r);
  if (slash == std::string::npos) return {};
  if (slash == r.size() - 1) {
    r.erase(slash);
    slash = fw::ReverseFindBackslash(r);
    if (slash == std::string::npos) return r;
  }
  return r.substr(0, slash + 1);
}

std::string CVelvoxDlg::ResolveShellPath(const std::string& path) {
  IShellFolder* desktop = nullptr;
  if (FAILED(::SHGetDesktopFolder(&desktop))) return path;
  wchar_t wide[1040] = {};
  ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 1040);
  wide[1039] = L'\0';
  LPITEMIDLIST pidl = nullptr;
  HRESULT hr = desktop->ParseDisplayName(nullptr, nullptr, wide, nullptr, &pidl, nullptr);
  desktop->Release();
  if (FAILED(hr)) return path;
  IMalloc* alloc = nullptr;
  if (FAILED(::SHGetMalloc(&alloc))) return path;
  // Wide, and never in a look-alike: the narrow call would best-fit a name the code page
  // cannot spell into another folder's.
  wchar_t resolved[MAX_PATH] = {};
  BOOL ok = ::SHGetPathFromIDListW(pidl, resolved);
  alloc->Free(pidl);
  alloc->Release();
  bool lossy = false;
  const std::string acp = ok ? fw::ToCodePage(resolved, &lossy) : std::string();
  return ok && !lossy ? acp : path;
}

void CVelvoxDlg::KeepLastArchiveArgument() {
  const std::vector<std::wstring> real = RealSources();
  std::string last;
  std::wstring lastReal;
  bool found = false;
  size_t i = 0;
  for (const std::string& source : m_sources) {
    if (EndsWithXss(source, true)) {
      last = source;
      lastReal = real[i];
      found = true;
    }
    ++i;
  }
  m_sources.clear();
  m_wideSources.clear();
  if (found) {
    m_sources.push_back(last);
    m_wideSources.push_back(lastReal);
  }
}

INT_PTR CVelvoxDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        OnSysCommand(static_cast<UINT>(wParam), lParam);
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      if (!::IsIconic(m_hWnd)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_COMMAND:
      if (wParam == kHelpCommand) return TRUE;
      break;
    default:
      break;
  }
  return fw::CDialog::WindowProc(msg, wParam, lParam);
}

void CVelvoxDlg::OnSysCommand(UINT, LPARAM) {
  CAboutDlg about;
  about.DoModal();
}

void CVelvoxDlg::OnPaint() {
  PAINTSTRUCT ps;
  HDC dc = ::BeginPaint(m_hWnd, &ps);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rc;
  ::GetClientRect(m_hWnd, &rc);
  int x = (rc.right - rc.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  int y = (rc.bottom - rc.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(dc, x, y, m_hIcon);
  ::EndPaint(m_hWnd, &ps);
}

CAboutDlg::CAboutDlg() : fw::CDialog(IDD_ABOUTBOX) {}

BOOL CAboutDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  SetDlgItemText(IDC_ABOUT_PRODUCT, "TARVO-Pro");
  return TRUE;
}
