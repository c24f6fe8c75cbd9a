// A log export library. It checks every record it is handed and appends it to the
// operation log "tarvolog.dat" in the record's log folder: one UTF-8 line per record,
//   time <TAB> record version <TAB> type <TAB> code <TAB> text 1 <TAB> ... text 4
// A record that is malformed (wrong version, type text and code that disagree, a text
// without its terminator, a SELFDEC record with a fourth text, filled padding, a log
// folder that is not a folder) is refused and nothing is written.
#include <windows.h>

#include <string>

#include "contracts/oplog.h"
#include "suite_common.h"

namespace {

enum Result : DWORD {
  kOk = 0,
  kBadRecord = 13,    // ERROR_INVALID_DATA
  kNoFolder = 3,      // ERROR_PATH_NOT_FOUND
  kWriteFailed = 29,  // ERROR_WRITE_FAULT
};

template <size_t N>
bool Terminated(const char (&field)[N]) {
  return ::strnlen(field, N) < N;
}

template <size_t N>
bool Equals(const char (&field)[N], const char* text) {
  return Terminated(field) && std::string(field) == text;
}

template <size_t N>
bool AllZero(const char (&field)[N]) {
  for (char c : field)
    if (c) return false;
  return true;
}

// Control characters would break the one-line-per-record layout.
std::string Clean(const char* acp) {
  std::string utf8 = suite::AcpToUtf8(acp);
  for (char& c : utf8)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return utf8;
}

template <typename Record>
DWORD Export(const Record* rec, const char* version) {
  if (!rec) return kBadRecord;
  const bool sfx = Equals(rec->typeText, "SELFDEC");
  const bool archive = Equals(rec->typeText, "ARCHIVE");
  if (!Equals(rec->version, "1.0") || !(sfx || archive) ||
      rec->typeCode != (sfx ? kLogTypeSelfDecrypting : kLogTypeArchive) ||
      !Terminated(rec->logFolder) || !Terminated(rec->text1) || !Terminated(rec->text2) ||
      !Terminated(rec->text3) || !Terminated(rec->text4) || (sfx && rec->text4[0]) ||
      !rec->text3[0] || !AllZero(rec->reserved))
    return kBadRecord;
  const DWORD attrs = ::GetFileAttributesA(rec->logFolder);
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return kNoFolder;
  const std::string line = suite::TimeStamp() + "\t" + version + "\t" + rec->typeText + "\t" +
                           std::to_string(rec->typeCode) + "\t" + Clean(rec->text1) + "\t" +
                           Clean(rec->text2) + "\t" + Clean(rec->text3) + "\t" +
                           Clean(rec->text4);
  return suite::AppendLine(std::string(rec->logFolder) + "\\tarvolog.dat", line) ? kOk
                                                                                 : kWriteFailed;
}

}  // namespace

extern "C" {

#ifdef EXPLOG_V1
__declspec(dllexport) DWORD WINAPI tgExportLog(const TG_LOG_RECORD_V1* record) {
  return Export(record, "v1");
}
#else
__declspec(dllexport) DWORD WINAPI tcExportLog(const TC_LOG_RECORD_V2* record) {
  if (!record || !Equals(record->magic, "#TG")) return kBadRecord;
  return Export(record, "v2");
}
#endif

}  // extern "C"
