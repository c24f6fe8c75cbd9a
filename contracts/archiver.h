// Contract of the TARVO-Pro archiver library "Zoras.dll": entry points and their
// ordinals, the notification callback, notification and query codes, the answers to
// queries, the failure codes and the ArchiverEntryRecord layout.
//
// Programs bind the library at load time by ordinal: they link its import library
// (target `zoras`), which imports every entry point by the ordinal below, so a program
// that cannot find Zoras.dll or one of these ordinals does not start. The entry points
// are also exported under the names below. Every entry point uses WINAPI (the callee
// removes the arguments). Strings are
// zero-terminated, in the system code page. Results are 0 for success, nonzero for
// failure. The record layout is a fixed byte layout, identical for 32- and 64-bit builds.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// ---- Ordinals ---------------------------------------------------------------------------

enum ArchiverOrdinal : int {
  ARC_ORD_COMMAND = 1,
  ARC_ORD_SET_LANGUAGE = 5,
  ARC_ORD_SET_MODE = 12,
  ARC_ORD_SET_CALLBACK = 14,
  ARC_ORD_GET_LAST_ERROR = 15,
  ARC_ORD_GET_ERROR_TEXT = 16,
  ARC_ORD_REPLY = 17,
  ARC_ORD_CANCEL = 19,
};

// ---- Notifications and queries (first argument of the callback) -----------------------

constexpr UINT ARCN_TOTAL = 0x8001;          // data: DWORD[2], high then low half of the byte total (unpacking)
constexpr UINT ARCN_FILE_BEGIN = 0x8002;     // data: const ArchiverEntryRecord*
constexpr UINT ARCN_FILE_PROGRESS = 0x8003;  // data: per-cent of the current file done (the value itself)
constexpr UINT ARCN_FILE_END = 0x8004;       // data: 0
constexpr UINT ARCN_IDLE = 0x8005;           // data: 0; callers answer TRUE (never sent by our library)
constexpr UINT ARCQ_CANNOT_OPEN = 0x8101;    // data: const char* name of a source that cannot be opened
constexpr UINT ARCQ_EXISTS = 0x8102;         // data: const char* path of a file to be written that exists

// Answers given through ArchiverReply while a query is being asked.
constexpr DWORD ARCR_OVERWRITE = 1;
constexpr DWORD ARCR_SKIP = 2;
constexpr DWORD ARCR_CANCEL = 32;
constexpr DWORD ARCR_OVERWRITE_ALL = 128;

// ---- Failure codes (ArchiverGetLastError) -----------------------------------------------

// The range 0x80000001..0x80000038 is the one callers map to their own messages.
constexpr DWORD ARCERR_NONE = 0;
constexpr DWORD ARCERR_INVALID_COMMAND = 0x80000001;
constexpr DWORD ARCERR_INVALID_OPTION = 0x80000002;
constexpr DWORD ARCERR_CANCELLED = 0x80000003;       // ArchiverCancel, or ARCQ_EXISTS answered 32
constexpr DWORD ARCERR_BUSY = 0x80000004;            // a command is already running
constexpr DWORD ARCERR_TOO_MANY_ITEMS = 0x80000005;
constexpr DWORD ARCERR_NO_ARCHIVE = 0x8000000A;
constexpr DWORD ARCERR_ARCHIVE_NOT_FOUND = 0x8000000B;
constexpr DWORD ARCERR_NO_FILE = 0x8000000C;
constexpr DWORD ARCERR_FILE_NOT_FOUND = 0x8000000D;  // also: a source folder without any file
constexpr DWORD ARCERR_NO_READ_FILE = 0x8000000E;
constexpr DWORD ARCERR_NO_WRITE_FILE = 0x8000000F;
constexpr DWORD ARCERR_DIRECTORY_GIVEN = 0x80000010;
constexpr DWORD ARCERR_DUPLICATE = 0x8000001E;
constexpr DWORD ARCERR_WRONG_PASSWORD = 0x80000028;
constexpr DWORD ARCERR_PASSWORD_TOO_LONG = 0x80000029;
constexpr DWORD ARCERR_TOO_MANY_FILES = 0x80000032;
constexpr DWORD ARCERR_NAME_TOO_LONG = 0x80000033;
constexpr DWORD ARCERR_PATH_TOO_LONG = 0x80000034;
constexpr DWORD ARCERR_BAD_FORMAT = 0x80000035;      // damaged archive or an unsafe entry name
constexpr DWORD ARCERR_INVALID_VALUE = 0x80000036;
constexpr DWORD ARCERR_VERIFY = 0x80000037;
constexpr DWORD ARCERR_CRC = 0x80000038;
// Codes of our library outside the callers' table; ArchiverGetErrorText has their texts.
constexpr DWORD ARCERR_ARCHIVE_TOO_LARGE = 0x80000039;  // the archive would reach 2^31 bytes
constexpr DWORD ARCERR_CANNOT_OPEN = 0x8000003A;        // ARCQ_CANNOT_OPEN answered with stop
constexpr DWORD ARCERR_READ = 0x8000003B;               // reading a source or the archive failed
constexpr DWORD ARCERR_WRITE = 0x8000003C;              // writing a file or the archive failed
constexpr DWORD ARCERR_NO_MEMORY = 0x8000003D;
constexpr DWORD ARCERR_UNSUPPORTED = 0x8000003E;        // encrypted entry or unknown method
constexpr DWORD ARCERR_NO_ANSWER = 0x8000003F;          // a query was not answered
constexpr DWORD ARCERR_LINK_IN_DESTINATION = 0x80000040;  // a link below the destination folder

// ---- ArchiverEntryRecord: data of ARCN_FILE_BEGIN (1068 bytes) ----------------------------

#pragma pack(push, 1)
struct ArchiverEntryRecord {
  char DisplayName[256];    // path below the sources' folder or the destination, '\' separated
  uint32_t PackSize;        // packing: size of the source file (low 32 bits)
  uint8_t Reserved1[4];
  char EntryName[260];      // packing: name of the entry in the archive, '\' separated
  uint32_t UnpackSize;      // unpacking: size of the file being written (low 32 bits)
  uint8_t Reserved2[264];
  char Path[276];           // unpacking: full path of the file being written
};
#pragma pack(pop)

static_assert(sizeof(ArchiverEntryRecord) == 1068, "ArchiverEntryRecord is a 1068-byte record");
static_assert(offsetof(ArchiverEntryRecord, DisplayName) == 0);
static_assert(offsetof(ArchiverEntryRecord, PackSize) == 256);
static_assert(offsetof(ArchiverEntryRecord, EntryName) == 264);
static_assert(offsetof(ArchiverEntryRecord, UnpackSize) == 524);
static_assert(offsetof(ArchiverEntryRecord, Path) == 792);

// ---- Callback ---------------------------------------------------------------------------

// Called synchronously on the thread that runs ArchiverCommand. `unused` is 0. The
// library does not act on the returned BOOL; a query is answered by calling
// ArchiverReply before returning, a command is stopped by calling ArchiverCancel.
typedef BOOL(CALLBACK* ARCHIVER_CALLBACK)(UINT code, WPARAM unused, LPARAM data);

// ---- Commands, and the archive files they name -----------------------------------------

// The program sends two commands through ArchiverCommand:
//   packing    -A -H -Q [-S] [-X -R -M] "<archive>" "<source>"
//              once for each source, with the source's folder as the current folder;
//              -S for a self-decrypting executable's archive, -X -R -M for a folder
//   unpacking  -E -X -R -H -Q -C -O"<folder>" "<archive>"
//
// Plaintext must not outlive the program, even a killed one: every archive that a
// command names is a file of the user's temporary folder that the job created itself
// (CREATE_NEW) and holds open with FILE_FLAG_DELETE_ON_CLOSE until the job ends. This
// changed the earlier contract, under which packing created the archive it was given or
// extended an existing one. A library that meets only that contract now fails every
// packing (it finds an existing file, or cannot open it), so it must also meet this:
// - Packing. The first command of a job names an existing, empty file (the program
//   refuses to pack into any other). That empty file is a new archive: the library
//   writes it in place, through its own handle opened with FILE_SHARE_DELETE (the
//   program's handle has DELETE access, so an open without that sharing fails with a
//   sharing violation). It never deletes, replaces or renames over the file: a file
//   moved over it would not carry the program's disposition, and the plaintext would
//   outlive the job. The later commands of the job extend it as before.
// - Unpacking. The archive is read through a handle opened with FILE_SHARE_DELETE, for
//   the same reason.

// ---- Entry points -----------------------------------------------------------------------

int WINAPI ArchiverCommand(HWND owner, LPCSTR command);
int WINAPI ArchiverSetLanguage(DWORD language);
int WINAPI ArchiverSetMode(DWORD mode);
int WINAPI ArchiverSetCallback(ARCHIVER_CALLBACK callback);
int WINAPI ArchiverGetLastError(DWORD* code);
int WINAPI ArchiverGetErrorText(DWORD code, LPSTR buffer, DWORD size);
int WINAPI ArchiverReply(DWORD query, DWORD answer, DWORD reserved);
int WINAPI ArchiverCancel(void);

typedef int(WINAPI* PFN_ArchiverCommand)(HWND, LPCSTR);
typedef int(WINAPI* PFN_ArchiverSetLanguage)(DWORD);
typedef int(WINAPI* PFN_ArchiverSetMode)(DWORD);
typedef int(WINAPI* PFN_ArchiverSetCallback)(ARCHIVER_CALLBACK);
typedef int(WINAPI* PFN_ArchiverGetLastError)(DWORD*);
typedef int(WINAPI* PFN_ArchiverGetErrorText)(DWORD, LPSTR, DWORD);
typedef int(WINAPI* PFN_ArchiverReply)(DWORD, DWORD, DWORD);
typedef int(WINAPI* PFN_ArchiverCancel)(void);

}  // extern "C"
