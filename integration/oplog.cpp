// The operation log client: whether the suite's log service runs, which generation of
// the suite is installed, where the log folder is, and one record per packed file for
// the export library. Nothing here is ever shown to the user; a log that cannot be
// opened leaves the job to run without one.
#include <cstring>

#include "app.h"
#include "constants.h"
#include "mbcs.h"
#include "velvoxdlg.h"

namespace {

template <typename T>
T Proc(HMODULE lib, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(lib, name)));
}

// Copies at most `limit` bytes of `text` into a zero-filled field, never splitting a
// double-byte character.
template <size_t N>
void PutText(char (&field)[N], const std::string& text, size_t limit) {
  const std::string cut = fw::CutAtCharBoundary(text, limit);
  std::memcpy(field, cut.data(), cut.size());
}

// A field that must hold the whole text and its terminator.
template <size_t N>
bool PutWhole(char (&field)[N], const std::string& text) {
  if (text.size() >= N) return false;
  std::memcpy(field, text.data(), text.size());
  return true;
}

bool IsFolder(const std::string& path) {
  const DWORD attrs = ::GetFileAttributesA(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

BOOL CVelvoxDlg::SetUpOperationLog(BOOL bSkipGuard) {
  if (!ReadLogServiceState()) return FALSE;
  if (!ReadGuardVersion()) return FALSE;
  if (!ResolveLogFolder()) return FALSE;
  if (::GetFileAttributesA(m_strLogFolder.c_str()) == INVALID_FILE_ATTRIBUTES) return FALSE;
  if (bSkipGuard) return TRUE;
  if (RegisterWithGuard() && LoadExportLibrary()) return TRUE;
  // The guard must not watch a writer with no log behind it: whatever was registered
  // before the failure is released at once, since the closed log never releases it.
  ReleaseGuard();
  return FALSE;
}

BOOL CVelvoxDlg::ReadLogServiceState() {
  // Creating the section read-only tells whether the service holds it already;
  // without the service this creates an empty one, which is dropped at once.
  HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0,
                                        sizeof(TGT_SHARED_MEMORY), kLogServiceSection);
  if (!mapping) return FALSE;
  if (::GetLastError() != ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mapping);
    return FALSE;
  }
  const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(TGT_SHARED_MEMORY));
  if (!view) {
    ::CloseHandle(mapping);
    return FALSE;
  }
  const auto* shared = static_cast<const TGT_SHARED_MEMORY*>(view);
  // The service owns the text: read no further than its field.
  m_strLogIdent.assign(shared->ident, ::strnlen(shared->ident, sizeof(shared->ident)));
  const DWORD status = shared->status;
  ::UnmapViewOfFile(view);
  ::CloseHandle(mapping);
  return status == 1;
}

BOOL CVelvoxDlg::ReadGuardVersion() {
  m_dwGuardVersion = 0;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGuardUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return FALSE;
  DWORD value = 0;
  DWORD size = sizeof(value);
  const LONG rc = ::RegQueryValueExA(key, "Version", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(&value), &size);
  ::RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return FALSE;
  m_dwGuardVersion = value;
  return TRUE;
}

BOOL CVelvoxDlg::ReadGuardInstallPath(std::string& path) {
  path.clear();
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGuardAppPathsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return FALSE;
  char buffer[276] = {};
  DWORD size = 260;
  const LONG rc =
      ::RegQueryValueExA(key, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  ::RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return FALSE;
  path.assign(buffer, ::strnlen(buffer, 260));
  return TRUE;
}

void CVelvoxDlg::ReadLogPathSetting(const std::string& installPath) {
  const std::string ini = fw::Sprintf("%s\\%s", installPath.c_str(), VX_POLICY_INI);
  char buffer[260] = {};
  const DWORD n = ::GetPrivateProfileStringA(VX_SECTION_OPTION, VX_KEY_LOGPATH, "", buffer,
                                             sizeof(buffer), ini.c_str());
  m_strLogFolder.assign(buffer, n);
}

BOOL CVelvoxDlg::QueryTempLogFolder(BOOL bInitialized) {
  char buffer[260] = {};
  if (bInitialized) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      const DWORD rc = m_pfnGetTempLogFolder(buffer, 100);
      if (rc == 0) {
        m_strLogFolder.assign(buffer, ::strnlen(buffer, sizeof(buffer)));
        return TRUE;
      }
      if (rc != 8) break;
      ::Sleep(500);
    }
  }
  if (m_pfnGetTempLogFolderX(buffer) != 0) return FALSE;
  m_strLogFolder.assign(buffer, ::strnlen(buffer, sizeof(buffer)));
  return TRUE;
}

BOOL CVelvoxDlg::ResolveLogFolder() {
  if (m_dwGuardVersion < kGuardVersionLogV2) {
    std::string install;
    if (!ReadGuardInstallPath(install)) return FALSE;
    if (!install.empty() && fw::ReverseFindBackslash(install) == install.size() - 1)
      install.pop_back();
    ReadLogPathSetting(install);
    if (m_strLogFolder.empty() || !IsFolder(m_strLogFolder))
      m_strLogFolder = fw::Sprintf("%s\\%s", install.c_str(), "log");
    return m_strLogFolder.size() < sizeof(TG_LOG_RECORD_V1::logFolder) ? TRUE : FALSE;
  }

  if (!m_hTraceLib) m_hTraceLib = fw::AfxLoadProgramLibrary("TCTrace.dll");
  if (!m_hTraceLib) return FALSE;
  m_pfnTraceInit = Proc<PFN_TCTLIB_Initialize>(m_hTraceLib, "TCTLIB_Initialize");
  m_pfnGetTempLogFolder = Proc<PFN_TCTLIB_GetTempLogFolder>(m_hTraceLib, "TCTLIB_GetTempLogFolder");
  m_pfnGetTempLogFolderX =
      Proc<PFN_TCTLIB_GetTempLogFolderX>(m_hTraceLib, "TCTLIB_GetTempLogFolderX");
  if (!m_pfnTraceInit || !m_pfnGetTempLogFolder || !m_pfnGetTempLogFolderX) return FALSE;
  char init[256] = {};
  const BOOL initialized = m_pfnTraceInit(init) == 0;
  if (!QueryTempLogFolder(initialized)) return FALSE;
  // The record's field holds 258 bytes with the terminator; a longer folder cannot be
  // recorded, so the log is not opened at all.
  return m_strLogFolder.size() < sizeof(TC_LOG_RECORD_V2::logFolder) ? TRUE : FALSE;
}

BOOL CVelvoxDlg::LoadExportLibrary() {
  m_hExportLib = nullptr;
  if (m_dwGuardVersion < kGuardVersionLogV2) {
    m_hExportLib = fw::AfxLoadProgramLibrary("tgexplog.dll");
    if (!m_hExportLib) return FALSE;
    m_pfnExportLogV1 = Proc<PFN_tgExportLog>(m_hExportLib, "tgExportLog");
    return m_pfnExportLogV1 ? TRUE : FALSE;
  }
  m_hExportLib = fw::AfxLoadProgramLibrary("tcexplog.dll");
  if (!m_hExportLib) return FALSE;
  m_pfnExportLogV2 = Proc<PFN_tcExportLog>(m_hExportLib, "tcExportLog");
  return m_pfnExportLogV2 ? TRUE : FALSE;
}

template <typename Record>
BOOL CVelvoxDlg::FillLogRecord(Record& rec, const std::string& file) const {
  const bool sfx = m_bSelfDecrypting != 0;
  std::strcpy(rec.version, "1.0");
  std::strcpy(rec.typeText, sfx ? "SELFDEC" : "ARCHIVE");
  if (!PutWhole(rec.logFolder, m_strLogFolder)) return FALSE;
  rec.typeCode = sfx ? kLogTypeSelfDecrypting : kLogTypeArchive;
  PutText(rec.text1, m_strLogIdent, kLogTextMax);
  PutText(rec.text2, sfx ? m_outputPath : m_strLogKeyName, kLogTextMax);
  PutText(rec.text3, sfx ? file : m_outputPath, kLogTextMax);
  PutText(rec.text4, sfx ? std::string() : file, kLogTextMax);
  return TRUE;
}

BOOL CVelvoxDlg::ExportOperationLog() {
  if (!m_hExportLib) return FALSE;
  const bool v2 = m_dwGuardVersion >= kGuardVersionLogV2;
  if (v2 ? !m_pfnExportLogV2 : !m_pfnExportLogV1) return FALSE;
  for (const std::wstring& name : m_logFiles) {
    // The records hold code-page text: a character the code page lacks is written as its
    // default character, never as a look-alike that may be another file's name.
    const std::string file = fw::ToCodePage(name);
    DWORD rc = 1;
    if (v2) {
      TC_LOG_RECORD_V2 rec = {};
      std::strcpy(rec.magic, "#TG");
      if (!FillLogRecord(rec, file)) return FALSE;
      rc = m_pfnExportLogV2(&rec);
    } else {
      TG_LOG_RECORD_V1 rec = {};
      if (!FillLogRecord(rec, file)) return FALSE;
      rc = m_pfnExportLogV1(&rec);
    }
    if (rc != 0) return FALSE;
  }
  const BOOL freed = ::FreeLibrary(m_hExportLib) ? TRUE : FALSE;
  m_hExportLib = nullptr;
  return freed;
}
