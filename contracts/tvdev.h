// Contract of the TARVO-Pro crypto and key library "tarvodev.dll": entry points, the
// key record, algorithm codes, error codes and the progress callback.
//
// Every entry point is exported undecorated under its plain name and uses the
// platform's exported-function convention (WINAPI: the callee removes the arguments).
// Strings are zero-terminated in the system code page. "ok" is a nonzero BOOL.
// Record layouts are fixed byte layouts, identical for 32- and 64-bit builds.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// ---- KeyInfo: one key of the key store as the library reports it (524 bytes) --------

enum KeyAlgorithm : int32_t {
  KEY_ALG_DES = 0,         // shown as "DES", key length 56
  KEY_ALG_TRIPLE_DES = 1,  // shown as "Triple DES", key length 168
  KEY_ALG_AES = 2,         // shown as "AES", key length 256
};

struct KeyInfo {
  char Name[128];             // zero-terminated; callers filling it copy at most 127 chars
  unsigned char KeyId[16];    // key identifier, compared with the one in an encrypted file
  unsigned char Reserved1[112];
  int32_t Valid;              // 1: usable without proving the value
  int32_t Algorithm;          // KeyAlgorithm code
  char Description[256];      // zero-terminated
  uint16_t KeyLength;         // bits: 56, 168 or 256
  uint8_t ParameterFile;      // 1: the key uses no parameter file
  uint8_t Reserved2;
};

static_assert(sizeof(KeyInfo) == 524, "KeyInfo is a 524-byte record");
static_assert(offsetof(KeyInfo, Name) == 0);
static_assert(offsetof(KeyInfo, KeyId) == 128);
static_assert(offsetof(KeyInfo, Reserved1) == 144);
static_assert(offsetof(KeyInfo, Valid) == 256);
static_assert(offsetof(KeyInfo, Algorithm) == 260);
static_assert(offsetof(KeyInfo, Description) == 264);
static_assert(offsetof(KeyInfo, KeyLength) == 520);
static_assert(offsetof(KeyInfo, ParameterFile) == 522);
static_assert(offsetof(KeyInfo, Reserved2) == 523);

// ---- Error codes of TVDEV_GetLastError ------------------------------------------------

// Codes the program tests.
constexpr DWORD TVDEV_ERR_NOT_REGISTERED = 2;    // key name not in the key store
constexpr DWORD TVDEV_ERR_WRONG_VALUE = 3;       // key value wrong
constexpr DWORD TVDEV_ERR_TEMPLATE = 4;          // key store unreadable or damaged
constexpr DWORD TVDEV_ERR_CANCELLED = 14;        // the progress callback answered 1
constexpr DWORD TVDEV_ERR_KEY_SUSPENDED = 0x2000;  // key suspended by the scene selection

// General failures: callers only distinguish them from the codes above.
constexpr DWORD TVDEV_ERR_NONE = 0;
constexpr DWORD TVDEV_ERR_INVALID_ARGUMENT = 5;  // null or malformed argument
constexpr DWORD TVDEV_ERR_NOT_CERTIFIED = 6;     // key neither enabled nor certified here
constexpr DWORD TVDEV_ERR_READ = 7;              // an input file cannot be opened or read
constexpr DWORD TVDEV_ERR_WRITE = 8;             // the output cannot be created or written
constexpr DWORD TVDEV_ERR_BAD_FORMAT = 9;        // encrypted file damaged, truncated or altered
constexpr DWORD TVDEV_ERR_KEY_MISMATCH = 10;     // the file was made with another key
constexpr DWORD TVDEV_ERR_CRYPTO = 11;           // a platform crypto call failed
constexpr DWORD TVDEV_ERR_TOO_LARGE = 12;        // input beyond the supported size

// ---- Progress callback ------------------------------------------------------------------

// Called on the caller's thread while an archive operation runs: at the start
// (done 0), as the work advances, and once more when all data is done but before the
// output is put in place. `total` and `done` count the same unit (bytes, or a larger
// power-of-two unit when the total would not fit in 32 bits). The other arguments are
// 0. Returning 1 stops the operation: it fails with TVDEV_ERR_CANCELLED and leaves no
// output. Any other value lets it go on.
typedef int(WINAPI* TVDEV_PROGRESS)(DWORD total, DWORD done, DWORD reserved1, DWORD reserved2,
                                    DWORD reserved3);

// ---- Entry points ---------------------------------------------------------------------

// The archives handed to TVDEV_EncryptArchive and TVDEV_CreateSelfExtractEx, and the one
// that TVDEV_DecryptArchive writes, are plaintext. Each is a file of the user's temporary
// folder that the job created itself (CREATE_NEW) and holds open with
// FILE_FLAG_DELETE_ON_CLOSE until the job ends, so that even a killed program leaves
// none behind. This changed the earlier contract, under which the library opened these
// files as it chose and wrote the decrypted archive however it chose, replacing the file
// named; a library that meets only that contract fails every job. What the library must
// do:
// - every handle it opens on one of these files shares delete (FILE_SHARE_DELETE): the
//   program's handle has DELETE access, so an open without that sharing fails with a
//   sharing violation;
// - TVDEV_DecryptArchive's output is an existing, empty file: the library writes the
//   archive into it in place and never deletes, replaces or renames over it (a file
//   moved over it would not carry the program's disposition, and the plaintext would
//   outlive the job). What the file holds after a failure is never read.

// Stores the number of keys of the store in *count.
BOOL WINAPI TVDEV_GetKeyCount(DWORD* count, DWORD reserved);
// Fills `count` records in store order; fails when the store holds fewer keys.
BOOL WINAPI TVDEV_GetKeyInfo(KeyInfo* records, DWORD count, DWORD reserved);
// Fills the record whose Name is set (ASCII letter case ignored); error 2 when unknown.
BOOL WINAPI TVDEV_GetKeyInfoByName(KeyInfo* record, DWORD reserved);
// Proves `value` for key `name`; on success the key stays usable in this process.
// Errors: 2 unknown key, 3 wrong value, 4 store unreadable or damaged.
BOOL WINAPI TVDEV_CertifyKey(const char* name, const char* value, DWORD reserved);
// Code of the last failure of this process (0 after a success).
DWORD WINAPI TVDEV_GetLastError(DWORD reserved);

// Encrypts `archivePath` into the encrypted file `outputPath` under key `keyName`.
// `archivePath` is the job's held temporary file (above): read with delete sharing.
BOOL WINAPI TVDEV_EncryptArchive(const char* keyName, const char* archivePath,
                                 const char* outputPath, DWORD reserved1, void* reserved2,
                                 TVDEV_PROGRESS progress, void* context, DWORD reserved3,
                                 DWORD reserved4);
// Writes a self-decrypting executable holding `archivePath` (a ZIP archive, the job's
// held temporary file: read with delete sharing) under `password`. `mode` is 2.
// `attemptLimit` 0 means no limit. `english` 1 gives an English user interface, any other
// value a Japanese one.
BOOL WINAPI TVDEV_CreateSelfExtractEx(const char* archivePath, const char* outputPath,
                                      const char* password, DWORD mode, DWORD attemptLimit,
                                      TVDEV_PROGRESS progress, void* context, DWORD reserved1,
                                      DWORD english, DWORD reserved2);
// Decrypts the encrypted file `encryptedPath` made with key `keyName` into `outputPath`,
// the job's held, empty temporary file (above), written in place.
BOOL WINAPI TVDEV_DecryptArchive(const char* keyName, const char* encryptedPath,
                                 const char* outputPath, TVDEV_PROGRESS progress,
                                 void* context, DWORD reserved1, DWORD reserved2);

// Enciphers (mode 0) or deciphers (mode 1) `length` bytes with a fixed key in ECB mode:
// KEY_ALG_DES takes an 8-byte key, KEY_ALG_TRIPLE_DES 24 bytes, KEY_ALG_AES 32 bytes.
// `length` must be a multiple of the block size (8, 8, 16). `input` and `output` may be
// the same buffer.
BOOL WINAPI TVDEV_CryptMemoryInDirect(DWORD mode, const void* key, DWORD algorithm,
                                      const void* input, void* output, DWORD length,
                                      DWORD reserved);

// Registers process `processId` with the removable-media hook for `drive` ("E:", or ""
// for a network path).
BOOL WINAPI TVDEV_HookAddPidEx(const char* drive, DWORD processId, DWORD reserved1,
                               DWORD flags, DWORD reserved2);

typedef BOOL(WINAPI* PFN_TVDEV_HookAddPidEx)(const char*, DWORD, DWORD, DWORD, DWORD);

}  // extern "C"

// ---- Key-information block ------------------------------------------------------------

// Every encrypted file begins with a key-information block whose key record is
// enciphered (ECB, TVDEV_CryptMemoryInDirect) with the fixed key of its record type.
// These keys obfuscate the key name and identifier only; nothing secret is stored under
// them.
enum KeyInfoRecordType : uint32_t {
  KEYREC_DES = 1,         // KEY_ALG_DES, 136-byte enciphered prefix
  KEYREC_TRIPLE_DES = 2,  // KEY_ALG_TRIPLE_DES, 160-byte enciphered prefix
  KEYREC_AES = 3,         // KEY_ALG_AES, 160-byte enciphered prefix
};

inline constexpr unsigned char kKeyInfoKeyDes[8] = {0x08, 0xE5, 0xE5, 0xF8,
                                                    0xC2, 0xD3, 0x1C, 0xD0};
inline constexpr unsigned char kKeyInfoKeyTripleDes[24] = {
    0xF8, 0x3E, 0xF1, 0x1A, 0x45, 0x5E, 0x04, 0x45, 0xF7, 0xB0, 0x46, 0x38,
    0x92, 0x51, 0xDA, 0xFD, 0xD0, 0x64, 0xE9, 0x26, 0x5E, 0xBA, 0x0E, 0x85};
inline constexpr unsigned char kKeyInfoKeyAes[32] = {
    0xF8, 0xF8, 0x69, 0x31, 0x99, 0x69, 0x42, 0x20, 0xEF, 0xAA, 0xFC, 0x28, 0xED, 0xD6, 0xC6, 0x30,
    0x94, 0xB4, 0xE1, 0x0C, 0x2A, 0x70, 0x33, 0x78, 0x2C, 0xC2, 0xA3, 0xE9, 0x5D, 0x93, 0xD3, 0xC1};
