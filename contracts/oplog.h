// The suite's operation log: the log service's shared section, the client library
// "TCTrace.dll" and the records handed to the export libraries "tgexplog.dll" (guard
// versions below 5.1) and "tcexplog.dll" (5.1 and later). Texts are zero-terminated in
// the system code page; every record is zero-filled before it is filled in.
#pragma once
#include <windows.h>

#include <cstddef>

// Shared section of the running log service.
inline constexpr char kLogServiceSection[] = "tgt_shared_memory";
struct TGT_SHARED_MEMORY {
  char ident[264];  // identification text
  DWORD status;     // 1: the log service is usable
};
static_assert(sizeof(TGT_SHARED_MEMORY) == 268);
static_assert(offsetof(TGT_SHARED_MEMORY, status) == 264);

// Guard versions in the installer's packed form (major in the top byte, minor next).
inline constexpr DWORD kGuardVersionLogV2 = 0x05010000;

inline constexpr DWORD kLogTypeSelfDecrypting = 3;  // "SELFDEC"
inline constexpr DWORD kLogTypeArchive = 4;         // "ARCHIVE"

struct TG_LOG_RECORD_V1 {
  char version[8];      // "1.0"
  char typeText[8];     // "SELFDEC" or "ARCHIVE"
  char logFolder[256];  // the whole folder; it must fit
  DWORD typeCode;       // kLogTypeSelfDecrypting or kLogTypeArchive
  char text1[256];      // identification text of the log service
  char text2[256];      // SELFDEC: output path; ARCHIVE: key name
  char text3[256];      // SELFDEC: logged file; ARCHIVE: output path
  char text4[256];      // SELFDEC: empty; ARCHIVE: logged file
  char reserved[2048];
};
static_assert(sizeof(TG_LOG_RECORD_V1) == 3348);
static_assert(offsetof(TG_LOG_RECORD_V1, typeText) == 8);
static_assert(offsetof(TG_LOG_RECORD_V1, logFolder) == 16);
static_assert(offsetof(TG_LOG_RECORD_V1, typeCode) == 272);
static_assert(offsetof(TG_LOG_RECORD_V1, text1) == 276);
static_assert(offsetof(TG_LOG_RECORD_V1, text2) == 532);
static_assert(offsetof(TG_LOG_RECORD_V1, text3) == 788);
static_assert(offsetof(TG_LOG_RECORD_V1, text4) == 1044);
static_assert(offsetof(TG_LOG_RECORD_V1, reserved) == 1300);

struct TC_LOG_RECORD_V2 {
  char magic[10];       // "#TG"
  char version[10];     // "1.0"
  char typeText[10];    // "SELFDEC" or "ARCHIVE"
  char logFolder[258];  // the whole folder; it must fit
  DWORD typeCode;
  char text1[258];
  char text2[258];
  char text3[258];
  char text4[258];
  char reserved[2064];
};
static_assert(sizeof(TC_LOG_RECORD_V2) == 3388);
static_assert(offsetof(TC_LOG_RECORD_V2, version) == 10);
static_assert(offsetof(TC_LOG_RECORD_V2, typeText) == 20);
static_assert(offsetof(TC_LOG_RECORD_V2, logFolder) == 30);
static_assert(offsetof(TC_LOG_RECORD_V2, typeCode) == 288);
static_assert(offsetof(TC_LOG_RECORD_V2, text1) == 292);
static_assert(offsetof(TC_LOG_RECORD_V2, text2) == 550);
static_assert(offsetof(TC_LOG_RECORD_V2, text3) == 808);
static_assert(offsetof(TC_LOG_RECORD_V2, text4) == 1066);
static_assert(offsetof(TC_LOG_RECORD_V2, reserved) == 1324);

// Texts 1 to 4 carry at most this many bytes of their source.
inline constexpr size_t kLogTextMax = 255;

extern "C" {
// TCTrace.dll. `buffer` is zero-filled by the caller; 0 is success.
typedef DWORD(WINAPI* PFN_TCTLIB_Initialize)(char* buffer256);
// 0: `buffer260` holds the log folder; 8: busy, ask again. `waitMs` is how long the
// caller is prepared to wait for one answer (the library never blocks longer).
typedef DWORD(WINAPI* PFN_TCTLIB_GetTempLogFolder)(char* buffer260, DWORD waitMs);
// Answers the log folder without needing the log service's attention.
typedef DWORD(WINAPI* PFN_TCTLIB_GetTempLogFolderX)(char* buffer260);
// Export libraries: 0 when the record was checked and recorded.
typedef DWORD(WINAPI* PFN_tgExportLog)(const TG_LOG_RECORD_V1* record);
typedef DWORD(WINAPI* PFN_tcExportLog)(const TC_LOG_RECORD_V2* record);
}  // extern "C"

// Where the suite's components keep the settings that tell them apart on one machine
// (HKEY_LOCAL_MACHINE).
inline constexpr char kGuardUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5D2C8E41-7A03-4F6B-9E15-2C7B40A9D3E8}";
inline constexpr char kGuardAppPathsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\TVGRD.EXE";
// The log service's own settings, read by TCTrace.dll: "TempLogFolder" (string) and
// "BusyReplies" (number of "busy" answers after each initialisation, DWORD).
inline constexpr char kLogServiceKey[] = "SOFTWARE\\Norvane\\TARVO-Pro\\LogService";
