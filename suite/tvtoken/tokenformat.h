// The token file's layout and its parsing, free of Win32 so that it also builds
// natively for the fuzzer (tests/fuzz/token). A token file comes from whatever medium a
// user brings: nothing in it is trusted before these checks.
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

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvtoken {

inline constexpr uint8_t kMagic[8] = {'T', 'V', 'T', 'O', 'K', 'E', 'N', 0x1a};
constexpr size_t kMaxFileSize = 1 << 20;
constexpr uint32_t kMaxKeys = 1024;
constexpr size_t kHeaderSize = 64;
constexpr size_t kAuthenticatedSize = 48;  // the header bytes that the tag or check covers
constexpr uint16_t kVersion = 1;
constexpr uint16_t kFlagSealed = 1;
constexpr uint32_t kMinIterations = 10000;
constexpr uint32_t kMaxIterations = 10000000;
constexpr size_t kMaxText = 127;  // bytes of a name or a value

enum class Decoded {
  Ok,
  NeedPin,         // sealed and no PIN given
  WrongPin,        // the tag does not open with this PIN (or the file was altered)
  Damaged,         // not a token file, or inconsistent
  UnknownVersion,  // a version or flag this code does not know
  NoMemory,
};

// The header's fields; the pointers are into the file.
struct Header {
  bool sealed = false;
  uint32_t iterations = 0;
  const uint8_t* salt = nullptr;   // 16 bytes
  const uint8_t* nonce = nullptr;  // 12 bytes
  const uint8_t* tag = nullptr;    // 16 bytes: the GCM tag, or the open form's check
  const uint8_t* payload = nullptr;
  size_t payloadSize = 0;
};

// Ok, Damaged or UnknownVersion. On Ok the payload is exactly the rest of the file and a
// sealed file's iteration count is within bounds; neither tag nor check is verified.
Decoded ReadHeader(const uint8_t* file, size_t size, Header* out);

// Where one key's name and value lie in a payload. No copy: a value is a secret, and
// its only copies are those the caller makes and wipes.
struct KeyText {
  const uint8_t* name;
  size_t nameLength;
  const uint8_t* value;
  size_t valueLength;
};

// Parses a payload (opened or checked) into at most kMaxKeys keys of 1-127 bytes each,
// names and values without a zero byte, the payload used to its last byte. Ok or
// Damaged; on Damaged `keys` is empty.
Decoded ReadKeys(const uint8_t* payload, size_t size, std::vector<KeyText>* keys);

}  // namespace tvtoken
