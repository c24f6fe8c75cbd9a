#include "archdriver.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "app.h"
#include "contracts/archiver.h"
#include "mbcs.h"
#include "owdlg.h"
#include "progressdlg.h"
#include "sourcewalk.h"
#include "string_ids.h"
#include "velvoxapp.h"
#include "velvoxdlg.h"

uint32_t g_nCurrentFileSize = 0;
int g_bCurrentFileIsNew = 0;

namespace {

// Names are remembered by a 64-bit digest: a folder of tens of thousands of files then
// costs a fraction of the memory that the names themselves would.
std::unordered_set<uint64_t> g_seenEntryNames;

uint64_t NameDigest(const std::string& name) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// Unpacking: the file being written, and whether it is ours to delete if the run stops
// before it is complete. A file that existed before the library began it is the user's:
// the library either writes it whole or leaves it, so it is never deleted here.
std::string g_extractingFilePath;
bool g_extractingOpen = false;
bool g_extractingPreexisting = false;
// The files that the path's code-page text could name when the library began it: a file
// made since then is the one being written.
std::vector<std::wstring> g_extractingFoundBefore;

// Packing: the sources' folder as the library's names begin with it (code-page text) and
// as it is, both with the final backslash.
std::string g_packingFolder;
std::wstring g_packingFolderReal;

struct ErrorText {
  DWORD code;
  UINT id;
};
constexpr ErrorText kErrorTexts[] = {
    {ARCERR_INVALID_COMMAND, IDS_ARC_ERR_INVALID_COMMAND},
    {ARCERR_INVALID_OPTION, IDS_ARC_ERR_INVALID_OPTION},
    {ARCERR_CANCELLED, IDS_ARC_ERR_CANCELLED},
    {ARCERR_BUSY, IDS_ARC_ERR_WAITING},
    {ARCERR_TOO_MANY_ITEMS, IDS_ARC_ERR_TOO_MANY_ITEMS},
    {ARCERR_NO_ARCHIVE, IDS_ARC_ERR_NO_ARCHIVE},
    {ARCERR_ARCHIVE_NOT_FOUND, IDS_ARC_ERR_ARCHIVE_NOT_FOUND},
    {ARCERR_NO_FILE, IDS_ARC_ERR_NO_FILE_TO_PROCESS},
    {ARCERR_FILE_NOT_FOUND, IDS_ARC_ERR_FILE_NOT_FOUND},
    {ARCERR_NO_READ_FILE, IDS_ARC_ERR_NO_READ_FILE},
    {ARCERR_NO_WRITE_FILE, IDS_ARC_ERR_NO_WRITE_FILE},
    {ARCERR_DIRECTORY_GIVEN, IDS_ARC_ERR_DIRECTORY_GIVEN},
    {ARCERR_DUPLICATE, IDS_ARC_ERR_DUPLICATE_FILE},
    {ARCERR_WRONG_PASSWORD, IDS_ARC_ERR_WRONG_PASSWORD},
    {ARCERR_PASSWORD_TOO_LONG, IDS_ARC_ERR_PASSWORD_TOO_LONG},
    {ARCERR_TOO_MANY_FILES, IDS_ARC_ERR_TOO_MANY_ENTRIES},
    {ARCERR_NAME_TOO_LONG, IDS_ARC_ERR_NAME_TOO_LONG},
    {ARCERR_PATH_TOO_LONG, IDS_ARC_ERR_PATH_TOO_LONG},
    {ARCERR_BAD_FORMAT, IDS_ARC_ERR_BAD_FORMAT},
    {ARCERR_INVALID_VALUE, IDS_ARC_ERR_INVALID_VALUE},
    {ARCERR_VERIFY, IDS_ARC_ERR_VERIFY},
    {ARCERR_CRC, IDS_ARC_ERR_CRC},
};

// The library's fixed-size text fields are zero-terminated inside their size; a field
// without the terminator is taken up to its size.
std::string Field(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

CVelvoxDlg* MainDialog() {
  fw::CWinApp* app = fw::AfxGetApp();
  return app ? dynamic_cast<CVelvoxDlg*>(app->m_pMainWnd) : nullptr;
}

// The existing files and folders whose code-page text is `reported`. The library writes
// '?' for what the code page cannot spell and never a look-alike, and '?' is in no file
// name: a text without one names its file exactly; one with it may stand for several
// names, which the folders are searched for.
std::vector<std::wstring> ExistingPathsOf(const std::string& reported) {
  std::vector<std::wstring> found;
  if (reported.find('?') == std::string::npos) {
    const std::wstring exact = fw::ToWide(reported);
    if (!exact.empty() && ::GetFileAttributesW(exact.c_str()) != INVALID_FILE_ATTRIBUTES)
      found.push_back(exact);
    return found;
  }
  const size_t slash = fw::ReverseFindBackslash(reported);
  if (slash == std::string::npos) return found;
  const std::string name = reported.substr(slash + 1);
  for (const std::wstring& folder : ExistingPathsOf(reported.substr(0, slash))) {
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      if (fw::ToCodePage(fd.cFileName) == name) found.push_back(folder + L"\\" + fd.cFileName);
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
  }
  return found;
}

// The file that the library names in code-page text, as it is; the text itself when no
// one file has it.
std::wstring RealPathOf(const std::string& reported) {
  const std::vector<std::wstring> found = ExistingPathsOf(reported);
  return found.size() == 1 ? found.front() : fw::ToWide(reported);
}

// The name that the library shows for a file being packed, relative to the sources'
// folder, by its real name as the walk found it.
std::wstring RealPackedName(const std::string& display) {
  const std::wstring real = RealSourceName(g_packingFolder + display);
  if (!g_packingFolderReal.empty() && real.compare(0, g_packingFolderReal.size(), g_packingFolderReal) == 0)
    return real.substr(g_packingFolderReal.size());
  return fw::ToWide(display);
}

// Deletes the file that the stopped extraction was writing: only one that did not exist
// when the library began it, found by its real name, so that neither the user's file
// nor one whose name merely looks like it is touched.
void DeleteHalfWrittenFile() {
  std::vector<std::wstring> made;
  for (const std::wstring& now : ExistingPathsOf(g_extractingFilePath))
    if (std::find(g_extractingFoundBefore.begin(), g_extractingFoundBefore.end(), now) ==
        g_extractingFoundBefore.end())
      made.push_back(now);
  if (made.size() == 1) ::DeleteFileW(made.front().c_str());
}

// Splits at the last backslash that is not the path's last character.
bool SplitReal(const std::wstring& path, std::wstring& folder, std::wstring& name) {
  folder.clear();
  name.clear();
  if (path.size() < 3) return false;
  const size_t slash = path.find_last_of(L'\\', path.size() - 2);
  if (slash == std::wstring::npos) return false;
  folder = path.substr(0, slash + 1);
  name = path.substr(slash + 1);
  return true;
}

// Size of a file, all 64 bits; -1 when it cannot be found.
int64_t FileSize64(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return -1;
  return (static_cast<int64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// Restores the current directory on every way out of packing; by its real name, which
// the code page may not spell.
class CurrentDirectoryGuard {
 public:
  CurrentDirectoryGuard() {
    wchar_t buf[MAX_PATH] = {};
    DWORD n = ::GetCurrentDirectoryW(MAX_PATH, buf);
    if (n > 0 && n < MAX_PATH) saved_ = buf;
  }
  ~CurrentDirectoryGuard() {
    if (!saved_.empty()) ::SetCurrentDirectoryW(saved_.c_str());
  }

 private:
  std::wstring saved_;
};

void SetLanguageForSelfExtract() {
  CVelvoxApp* app = VxApp();
  int lang = app ? app->m_nSelfExtLang : 0;
  if (lang == 0)
    ArchiverSetLanguage(256);
  else if (lang == 1)
    ArchiverSetLanguage(255);
}

}  // namespace

BOOL IsNewEntryName(const std::string& name) { return g_seenEntryNames.insert(NameDigest(name)).second ? 1 : 0; }

void ResetEntryNames() { g_seenEntryNames.clear(); }

BOOL CALLBACK ArchiverCallback(UINT code, WPARAM, LPARAM data) {
  CVelvoxDlg* main = MainDialog();
  CVxProgressDlg* dlg = main ? main->m_pProgressDlg : nullptr;
  if (dlg && !dlg->m_hWnd) dlg = nullptr;
  ArchiveTotals& totals = g_archiveTotals;
  // A question finds the progress line naming the file that has begun, not one before it
  // whose name was still on screen.
  if (dlg && (code == ARCQ_CANNOT_OPEN || code == ARCQ_EXISTS)) dlg->Flush();

  switch (code) {
    case ARCN_TOTAL:
      if (g_nJobPhase == 3 && data) {
        const DWORD* words = reinterpret_cast<const DWORD*>(data);
        totals.TotalHigh = words[0];
        totals.TotalLow = words[1];
      }
      return TRUE;

    case ARCN_FILE_BEGIN: {
      const auto* rec = reinterpret_cast<const ArchiverEntryRecord*>(data);
      if (!rec) return FALSE;
      UINT caption = 0;
      if (g_nJobPhase == 0) {
        g_bCurrentFileIsNew = IsNewEntryName(Field(rec->EntryName, sizeof rec->EntryName));
        if (!g_bCurrentFileIsNew) return FALSE;
        caption = IDS_CAPTION_COMPRESSING;
        g_nCurrentFileSize = rec->PackSize;
      } else if (g_nJobPhase == 3) {
        caption = IDS_CAPTION_EXTRACTING;
        g_nCurrentFileSize = rec->UnpackSize;
        // A path that does not end inside its field is not one we can name safely.
        size_t n = strnlen(rec->Path, sizeof rec->Path);
        g_extractingFilePath = n < sizeof rec->Path ? std::string(rec->Path, n) : std::string();
        g_extractingOpen = true;
        g_extractingFoundBefore = g_extractingFilePath.empty() ? std::vector<std::wstring>()
                                                                 : ExistingPathsOf(g_extractingFilePath);
        g_extractingPreexisting = !g_extractingFoundBefore.empty();
      }
      if (dlg) {
        // Loaded once per caption, not once for each of thousands of files.
        static UINT loadedId = 0;
        static std::string loaded;
        if (caption != loadedId) {
          loaded = caption ? fw::LoadStr(caption) : std::string();
          loadedId = caption;
        }
        dlg->ShowCaption(loaded);
        const std::string display = Field(rec->DisplayName, sizeof rec->DisplayName);
        if (g_nJobPhase == 0)
          dlg->BeginItem(RealPackedName(display), g_nCurrentFileSize);
        else
          dlg->BeginItem(display, g_nCurrentFileSize);
      }
      return TRUE;
    }

    case ARCN_FILE_PROGRESS: {
      if (!dlg) return FALSE;
      if (dlg->PollCancel() &&
          fw::AfxMessageBox(IDS_CONFIRM_ABORT, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK) {
        if (main) main->m_nArchiverStatus = ARCSTAT_CANCELLED;
        ArchiverCancel();
      }
      // The message box may have let the job end the dialog; look it up again.
      dlg = main ? main->m_pProgressDlg : nullptr;
      if (!dlg || !dlg->m_hWnd) return FALSE;
      if (g_nJobPhase != 0 || g_bCurrentFileIsNew == 1) {
        uint32_t percent = static_cast<uint32_t>(data);
        uint32_t pos = (totals.DoneBytes + (g_nCurrentFileSize / 100) * percent) /
                       (totals.TotalLow / 100 + 1);
        dlg->SetBar(static_cast<int>(pos));
        return TRUE;
      }
      return FALSE;
    }

    case ARCN_FILE_END:
      totals.DoneBytes += g_nCurrentFileSize;
      g_nCurrentFileSize = 0;
      g_extractingOpen = false;
      return TRUE;

    case ARCN_IDLE:
      return TRUE;

    case ARCQ_CANNOT_OPEN: {
      ArchiverReply(ARCQ_CANNOT_OPEN, ARCR_CANCEL, 0);
      const char* name = reinterpret_cast<const char*>(data);
      // The library names the file in code-page text; the user sees the name it has.
      fw::AfxMessageBox(FormatIdS(IDS_SOURCE_FILE_IN_USE, RealSourceName(name ? name : "")),
                        MB_OK | MB_ICONEXCLAMATION);
      if (main) main->m_nArchiverStatus = ARCSTAT_CANNOT_OPEN;
      return TRUE;
    }

    case ARCQ_EXISTS: {
      const char* name = reinterpret_cast<const char*>(data);
      CVxOwDlg ow;
      ow.m_strMessage = FormatIdS(IDS_CONFIRM_OVERWRITE_EXTRACTED, name ? name : "");
      // The library names the file in code-page text; the user is asked about the file
      // itself.
      ow.m_strRealMessage = FormatIdS(IDS_CONFIRM_OVERWRITE_EXTRACTED, RealPathOf(name ? name : ""));
      INT_PTR answer = ow.DoModal();
      if (answer == 32 && main) main->m_nArchiverStatus = ARCSTAT_OVERWRITE_CANCELLED;
      ArchiverReply(ARCQ_EXISTS, static_cast<DWORD>(answer), 0);
      return TRUE;
    }

    default:
      return FALSE;
  }
}

void CVelvoxDlg::ShowArchiverError() {
  DWORD code = 0;
  if (ArchiverGetLastError(&code) != 0) return;
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) {
      fw::AfxMessageBox(e.id, MB_OK);
      return;
    }
  }
  char text[256] = {};
  if (ArchiverGetErrorText(code, text, sizeof text) == 0) {
    text[sizeof text - 1] = '\0';
    fw::AfxMessageBox(text, MB_OK);
  } else {
    fw::AfxMessageBox(IDS_ERROR_TEXT_UNAVAILABLE, MB_OK);
  }
}

BOOL CVelvoxDlg::CompressSources(const std::string& archivePath, BOOL bSelfDecrypting) {
  g_archiveTotals = ArchiveTotals{0, 0, 0};
  g_nCurrentFileSize = 0;
  // Entry names repeat across the per-source commands of one run, never across runs.
  ResetEntryNames();
  if (!ScanSources()) return 0;

  m_nArchiverStatus = ARCSTAT_NONE;
  CurrentDirectoryGuard currentDirectory;

  // The folder is entered by its real name, which the code page may not spell; the
  // library gets only the bare names, which it can.
  const std::vector<std::wstring> sources = RealSources();
  std::wstring folder, name;
  if (sources.empty() || !SplitReal(sources.front(), folder, name)) {
    fw::AfxMessageBox(IDS_CHDIR_FAILED, MB_OK);
    return 0;
  }
  ::SetCurrentDirectoryW(folder.c_str());
  g_packingFolder = fw::ToCodePage(folder);
  g_packingFolderReal = folder;

  auto fail = [&] {
    ::DeleteFileA(archivePath.c_str());
    return 0;
  };
  // The archiver extends whatever archive it finds: only the empty file that the job
  // created for it may receive the sources, never one that was there before.
  WIN32_FILE_ATTRIBUTE_DATA archiveData;
  if (!::GetFileAttributesExA(archivePath.c_str(), GetFileExInfoStandard, &archiveData) ||
      (archiveData.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      archiveData.nFileSizeLow != 0 || archiveData.nFileSizeHigh != 0) {
    fw::AfxMessageBox(IDS_TEMP_FILE_FAILED, MB_OK);
    return 0;
  }

  ArchiverSetMode(3);
  ArchiverSetCallback(ArchiverCallback);
  SetLanguageForSelfExtract();

  for (const std::wstring& source : sources) {
    DWORD attrs = ::GetFileAttributesW(source.c_str());
    SplitReal(source, folder, name);
    ::SetCurrentDirectoryW(folder.c_str());

    std::string command = "-A -H -Q ";
    if (bSelfDecrypting) command += "-S ";
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) command += "-X -R -M ";
    command += "\"" + archivePath + "\" \"" + fw::ToCodePage(name) + "\"";

    int result = ArchiverCommand(nullptr, command.c_str());
    // The last file's name and the bar's final position stay on screen.
    if (m_pProgressDlg) m_pProgressDlg->Flush();
    if (result != 0 && m_nArchiverStatus != ARCSTAT_CANNOT_OPEN) {
      DWORD code = 0;
      ArchiverGetLastError(&code);
      if (code == ARCERR_FILE_NOT_FOUND) {
        // A folder without any file: the walk has made sure another source has one.
        DWORD a = ::GetFileAttributesW((folder + name).c_str());
        if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
          fw::AfxMessageBox(IDS_FILE_SEARCH_ERROR, MB_OK);
          return fail();
        }
      } else {
        // The library refuses to let an archive reach 2 GB and keeps it below; the size
        // is checked as well, whole, for a library that does not.
        if (code == ARCERR_ARCHIVE_TOO_LARGE || FileSize64(archivePath) >= (int64_t{1} << 31))
          fw::AfxMessageBox(IDS_ARCHIVE_OVER_2GB, MB_OK);
        else
          ShowArchiverError();
        return fail();
      }
    }
    if (m_nArchiverStatus != ARCSTAT_NONE) return fail();
  }
  return 1;
}

BOOL CVelvoxDlg::ExtractArchive(const std::string& archivePath, const std::string& folder) {
  char command[512];
  int n = std::snprintf(command, sizeof command, "-E -X -R -H -Q -C -O\"%s\" \"%s\"", folder.c_str(),
                        archivePath.c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof command) {
    // A cut command would name another folder or archive.
    fw::AfxMessageBox(IDS_EXTRACT_FAILED, MB_OK);
    return 0;
  }

  ArchiverSetMode(3);
  ArchiverSetCallback(ArchiverCallback);
  g_extractingFilePath.clear();
  g_extractingOpen = false;
  g_extractingPreexisting = false;
  g_extractingFoundBefore.clear();
  m_nArchiverStatus = ARCSTAT_NONE;

  int result = ArchiverCommand(m_hWnd, command);
  if (m_pProgressDlg) m_pProgressDlg->Flush();
  if (result == 0) return 1;

  // Whatever stopped the run, a file it had begun and not finished is not left behind.
  bool removeHalfWritten = g_extractingOpen && !g_extractingPreexisting && !g_extractingFilePath.empty();
  switch (m_nArchiverStatus) {
    case ARCSTAT_NONE:
      ShowArchiverError();
      fw::AfxMessageBox(IDS_EXTRACT_FAILED, MB_OK);
      if (removeHalfWritten) DeleteHalfWrittenFile();
      return 0;
    case ARCSTAT_CANCELLED:
      ::OutputDebugStringW(
          L"\u5FA9\u53F7\u4E2D\u6B62\u3001\u30D5\u30A1\u30A4\u30EB\u524A\u9664\u304C\u5FC5\u8981"
          L"\u3067\u3042\u308B");
      if (removeHalfWritten) DeleteHalfWrittenFile();
      return 0;
    default:
      return 0;
  }
}
