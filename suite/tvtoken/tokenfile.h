// The token file of the software token: key names and values, either in the open or
// sealed under a key derived from the token's PIN.
//
// Layout (integers little-endian):
//   0   8  magic "TVTOKEN\x1a"
//   8   2  version, 1
//   10  2  flags: bit 0 set = sealed under the PIN; no other bit is defined
//   12  4  PBKDF2-SHA256 iterations (sealed), else 0
//   16  16 salt (sealed), else zero
//   32  12 AES-GCM nonce (sealed), else zero
//   44  4  payload size
//   48  16 sealed: the GCM tag over bytes 0-47 and the payload; open: the first 16
//          bytes of SHA-256 over bytes 0-47 and the payload (catches damage only)
//   64  payload: a 32-bit key count, then per key a length byte (1-127) and the name,
//       a length byte (1-127) and the value; names and values hold no zero byte.
// A sealed file never holds a value in the clear.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "contracts/tokenplugin.h"

namespace tvtoken {

constexpr const char* kTokenFileName = "tvtoken.tok";
constexpr uint32_t kDefaultIterations = 200000;
constexpr size_t kMaxFileSize = 1 << 20;
constexpr uint32_t kMaxKeys = 1024;

enum class Decoded {
  Ok,
  NeedPin,         // sealed and no PIN given
  WrongPin,        // the tag does not open with this PIN (or the file was altered)
  Damaged,         // not a token file, or inconsistent
  UnknownVersion,  // a version or flag this code does not know
  NoMemory,
};

bool IsSealed(const uint8_t* file, size_t size);

// Decodes a token file. On Ok, *records holds *count records allocated with new[]
// (nullptr when there are none), strings zero-terminated, Selected 0; the caller wipes
// and deletes them. `pin` nullptr: the file must be open.
Decoded Decode(const uint8_t* file, size_t size, const char* pin, TokenKeyRecord** records,
               DWORD* count);

// Encodes `count` keys (names and values of 1-127 bytes); sealed under `pin` unless it
// is nullptr. False for a key that does not fit or when the platform's crypto fails.
bool Encode(const TokenKeyRecord* keys, size_t count, const char* pin, uint32_t iterations,
            std::vector<uint8_t>* out);

// Wipes and frees records from Decode.
void FreeRecords(TokenKeyRecord* records, DWORD count);

}  // namespace tvtoken
