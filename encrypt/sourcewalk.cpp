#include "sourcewalk.h"

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app.h"
#include "mbcs.h"
#include "phasetrace.h"
#include "progressdlg.h"
#include "string_ids.h"
#include "velvoxdlg.h"

ArchiveTotals g_archiveTotals = {0, 0, 0};

namespace {

constexpr size_t kMaxEntryPath = 256;    // an entry path must stay below this
constexpr size_t kMaxFolderTail = 244;   // a folder, counted from the source's parent
constexpr uint32_t kMaxTotal = 0x7FFFFFFF;

void AddSize(ArchiveTotals& totals, DWORD high, DWORD low) {
  uint32_t before = totals.TotalLow;
  totals.TotalLow += low;
  totals.TotalHigh += high + (totals.TotalLow < before ? 1 : 0);
}

// The walk does not pump messages: a name that the dialog puts on screen is painted
// directly. Most of thousands of small files pass unseen, as in packing.
void ShowFileName(CVxProgressDlg* dlg, const WIN32_FIND_DATAW& fd) {
  if (!dlg || !dlg->m_hWnd) return;
  const uint64_t bytes = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  if (dlg->BeginItem(std::wstring(fd.cFileName), bytes)) dlg->UpdateWindow();
}

// A path's length as the limits count it: the bytes of its code-page text, a character
// that the code page lacks counting as its stand-in, and never less than its UTF-16
// units, by which the file calls without the long-path prefix are bound (a system may
// write one stand-in for a surrogate pair).
struct PathSize {
  size_t bytes = 0;
  size_t units = 0;
  bool lossy = false;  // the code page cannot spell it
  size_t Length() const { return std::max(bytes, units); }
};

PathSize Measure(const wchar_t* s, size_t n) {
  PathSize size;
  size.units = n;
  if (n == 0) return size;
  BOOL used = FALSE;
  const int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, s, static_cast<int>(n),
                                          nullptr, 0, nullptr, &used);
  size.bytes = bytes > 0 ? static_cast<size_t>(bytes) : n;
  size.lossy = used != FALSE || bytes <= 0;
  return size;
}

bool IsDriveRoot(const std::wstring& folder) { return folder.size() == 3; }

PathSize ChildSize(const std::wstring& folder, const PathSize& folderSize, const wchar_t* name) {
  const PathSize nameSize = Measure(name, std::wcslen(name));
  const size_t separator = IsDriveRoot(folder) ? 0 : 1;
  PathSize size;
  size.bytes = folderSize.bytes + separator + nameSize.bytes;
  size.units = folderSize.units + separator + nameSize.units;
  size.lossy = folderSize.lossy || nameSize.lossy;
  return size;
}

// The archiver records a folder link as a folder and does not follow it (it may lead
// anywhere, also back into the tree), so the walk does not either: what is checked and
// logged is what is packed.
bool IsFollowedFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Files listed by the walk and not yet checked for another program's handle. Opening
// every file is most of the walk's time on a folder of thousands of small files, and
// two can be opened at once; each check is still made before anything is packed, and
// the first file in the walk's order that fails is the one named, even when the walk
// stops at a later problem (the pending checks are made before that is reported).
std::vector<std::wstring> g_unchecked;
constexpr size_t kCheckInPairsFrom = 64;
// Checked as soon as this many wait: the paths of a whole tree of small files held at
// once were megabytes at the job's peak, and a held file found early ends the walk
// early. Every earlier file has passed by then, so it is still the first in order.
constexpr size_t kCheckBatch = 2048;

// The archiver names what it cannot open in code-page text, where a name the code page
// cannot spell has lost characters; the walk keeps the real ones for that text. Only
// such names are kept, so a walk of ordinary names keeps nothing. An empty real name:
// two names share the text.
std::unordered_map<std::string, std::wstring> g_realNames;

void RememberRealName(const std::wstring& path) {
  auto [it, added] = g_realNames.try_emplace(fw::ToCodePage(path), path);
  if (!added && it->second != path) it->second.clear();
}

// FALSE, after naming the first file held by another program, when there is one.
BOOL CheckPendingFiles() {
  std::vector<std::wstring> paths;
  paths.swap(g_unchecked);
  const size_t n = paths.size();
  std::atomic<size_t> next{0}, firstHeld{n};
  auto check = [&] {
    for (size_t i; (i = next.fetch_add(1)) < n;) {
      // Files are handed out in order: past a held one, nothing can come first.
      if (i > firstHeld.load()) break;
      if (IsFileAccessible(paths[i])) continue;
      size_t seen = firstHeld.load();
      while (i < seen && !firstHeld.compare_exchange_weak(seen, i)) {
      }
    }
  };
  std::thread helper;
  if (n >= kCheckInPairsFrom) {
    try {
      helper = std::thread(check);
    } catch (...) {
      // Without a second thread the checks are made on this one alone.
    }
  }
  check();
  if (helper.joinable()) helper.join();
  if (firstHeld.load() == n) return 1;
  fw::AfxMessageBox(FormatIdS(IDS_SOURCE_FILE_IN_USE, paths[firstHeld.load()]), MB_OK);
  return 0;
}

std::wstring ChildPath(const std::wstring& folder, const wchar_t* name) {
  std::wstring p = folder;
  if (!IsDriveRoot(folder)) p += L'\\';
  p += name;
  return p;
}

void ReportPathTooLong(const std::wstring& path) {
  fw::AfxMessageBox(fw::FormatArgs(fw::LoadStrW(IDS_PATH_TOO_LONG), {path}), MB_OK);
}

}  // namespace

std::string FormatIdS(UINT id, const std::string& arg) {
  std::string text = fw::LoadStr(id);
  size_t pos = text.find("%s");
  if (pos != std::string::npos) text.replace(pos, 2, arg);
  return text;
}

std::wstring FormatIdS(UINT id, const std::wstring& arg) {
  std::wstring text = fw::LoadStrW(id);
  size_t pos = text.find(L"%s");
  if (pos != std::wstring::npos) text.replace(pos, 2, arg);
  return text;
}

BOOL IsFileAccessible(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  ::CloseHandle(h);
  return 1;
}

std::wstring RealSourceName(const std::string& reported) {
  const auto it = g_realNames.find(reported);
  if (it == g_realNames.end() || it->second.empty()) return fw::ToWide(reported);
  return it->second;
}

BOOL SplitFolderAndName(const std::string& path, std::string& folder, std::string& name) {
  folder.clear();
  name.clear();
  if (path.size() < 3) return 0;
  size_t found = std::string::npos;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    if (::IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0') {
      ++i;
      continue;
    }
    if (path[i] == '\\') found = i;
  }
  if (found == std::string::npos) return 0;
  folder = path.substr(0, found + 1);
  name = path.substr(found + 1);
  return 1;
}

HRESULT ResolveShortcutPath(const std::string& path, char* target, int capacity,
                            WIN32_FIND_DATAA* findData) {
  IShellLinkA* link = nullptr;
  HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                  reinterpret_cast<void**>(&link));
  if (FAILED(hr)) return hr;
  IPersistFile* file = nullptr;
  hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (SUCCEEDED(hr)) {
    WCHAR wide[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
    wide[MAX_PATH - 1] = L'\0';
    hr = file->Load(wide, STGM_READ);
    if (SUCCEEDED(hr)) hr = link->GetPath(target, capacity, findData, SLGP_UNCPRIORITY);
    file->Release();
  }
  link->Release();
  return hr;
}

BOOL CVelvoxDlg::ScanSources() {
  vxtrace::Mark("walk-begin");
  if (m_pProgressDlg && m_pProgressDlg->m_hWnd) {
    m_pProgressDlg->ShowCaption(fw::LoadStr(IDS_CAPTION_CHECKING));
    m_pProgressDlg->UpdateWindow();
  }
  BOOL bFoundFile = 0;
  ArchiveTotals& totals = g_archiveTotals;
  g_unchecked.clear();
  g_realNames.clear();

  // The archiver is given each source by its bare name in its own folder and walks below
  // it with wide calls; the walk takes the sources by their real names and does the
  // same, so that it sees every name the archiver packs.
  for (const std::wstring& path : RealSources()) {
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW(path.c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) {
      if (!CheckPendingFiles()) return 0;
      fw::AfxMessageBox(FormatIdS(IDS_SOURCE_FILE_MISSING, path), MB_OK);
      return 0;
    }
    ::FindClose(find);

    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!IsFollowedFolder(fd.dwFileAttributes)) continue;
      const size_t slash = path.find_last_of(L'\\');
      const size_t baseLength = slash == std::wstring::npos ? 0 : Measure(path.data(), slash + 1).Length();
      if (!WalkFolder(path, bFoundFile, totals, baseLength)) return 0;
    } else {
      ShowFileName(m_pProgressDlg, fd);
      AddSize(totals, fd.nFileSizeHigh, fd.nFileSizeLow);
      if (Measure(path.data(), path.size()).lossy) RememberRealName(path);
      g_unchecked.push_back(path);
      if (m_bOpLog) m_logFiles.push_back(path);
      bFoundFile = 1;
    }
  }

  // The walk's last name stays on screen until packing names its first.
  if (m_pProgressDlg) m_pProgressDlg->Flush();
  if (!CheckPendingFiles()) return 0;
  vxtrace::Mark("walked");
  if (totals.TotalHigh != 0 || totals.TotalLow > kMaxTotal) {
    fw::AfxMessageBox(IDS_TOTAL_OVER_2GB, MB_OK);
    return 0;
  }
  if (!bFoundFile) {
    fw::AfxMessageBox(IDS_FOLDER_HAS_NO_FILES, MB_OK);
    return 0;
  }
  return 1;
}

BOOL CVelvoxDlg::WalkFolder(const std::wstring& folder, BOOL& bFoundFile, ArchiveTotals& totals,
                            size_t baseLength) {
  const PathSize folderSize = Measure(folder.data(), folder.size());
  if (folderSize.Length() < baseLength || folderSize.Length() - baseLength >= kMaxFolderTail) {
    if (!CheckPendingFiles()) return 0;
    ReportPathTooLong(folder);
    return 0;
  }
  if (folderSize.lossy) RememberRealName(folder);
  std::wstring pattern = ChildPath(folder, L"*");
  WIN32_FIND_DATAW fd;
  HANDLE find = ::FindFirstFileW(pattern.c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return 1;
    if (!CheckPendingFiles()) return 0;
    fw::AfxMessageBox(fw::FormatArgs(fw::LoadStrW(IDS_FOLDER_SEARCH_FAILED), {folder}), MB_OK);
    return 0;
  }
  do {
    if (std::wcscmp(fd.cFileName, L".") == 0 || std::wcscmp(fd.cFileName, L"..") == 0) continue;
    const PathSize entrySize = ChildSize(folder, folderSize, fd.cFileName);
    std::wstring entry = ChildPath(folder, fd.cFileName);
    if (entrySize.Length() >= kMaxEntryPath) {
      ::FindClose(find);
      if (!CheckPendingFiles()) return 0;
      ReportPathTooLong(entry);
      return 0;
    }
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (IsFollowedFolder(fd.dwFileAttributes) && !WalkFolder(entry, bFoundFile, totals, baseLength)) {
        ::FindClose(find);
        return 0;
      }
    } else {
      ShowFileName(m_pProgressDlg, fd);
      AddSize(totals, fd.nFileSizeHigh, fd.nFileSizeLow);
      if (entrySize.lossy) RememberRealName(entry);
      if (m_bOpLog) m_logFiles.push_back(entry);
      g_unchecked.push_back(std::move(entry));
      bFoundFile = 1;
      if (g_unchecked.size() >= kCheckBatch && !CheckPendingFiles()) {
        ::FindClose(find);
        return 0;
      }
    }
  } while (::FindNextFileW(find, &fd));
  DWORD err = ::GetLastError();
  ::FindClose(find);
  if (err == ERROR_NO_MORE_FILES) return 1;
  if (!CheckPendingFiles()) return 0;
  fw::AfxMessageBox(IDS_FOLDER_ENUM_ERROR, MB_OK);
  return 0;
}
