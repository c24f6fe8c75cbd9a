// Byte layout of encrypted files (".xss") and of the payload of self-decrypting
// executables. Free of Win32 so that it builds natively for fuzzing; the crypto lives in
// the callers, which pass in the enciphering of the key record.
//
// File = key-information block + chunk stream.
//   Key-information block: 32-byte header ("TVKI", version, record-area length L, 20
//   reserved bytes), then records (type, body size S, body) filling exactly L bytes:
//   - at most one key record (types 1..3) naming the key; its body prefix is enciphered
//     with the fixed key of its type;
//   - exactly one payload record (kPayloadRecordType) with the payload parameters.
//   Chunk stream at offset 32 + L: ceil(plainLength / chunkSize) chunks (at least one),
//   each AES-256-GCM ciphertext followed by its 16-byte tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tvdev::fmt {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlockVersion = 1;
constexpr size_t kBlockHeaderSize = 32;
constexpr size_t kRecordHeaderSize = 8;
constexpr uint32_t kPayloadRecordType = 0x58560001;  // "private": readers skip unknown types
constexpr size_t kPayloadBodySize = 128;
constexpr uint32_t kPayloadVersion = 1;
constexpr size_t kTagSize = 16;
constexpr size_t kNonceSize = 12;
constexpr size_t kDataKeySize = 32;
constexpr size_t kSaltSize = 16;
constexpr size_t kKeyIdSize = 16;
constexpr uint32_t kDefaultChunkSize = 256 * 1024;
constexpr uint32_t kMaxChunkSize = 16 * 1024 * 1024;
constexpr uint32_t kMinChunkSize = 16;
// A header larger than this is not ours; it bounds what a reader allocates.
constexpr uint32_t kMaxRecordArea = 64 * 1024;

enum class KeyDerivation : uint32_t {
  StoreKey = 1,  // data key wrapped under the store key's material
  Password = 2,  // data key wrapped under PBKDF2-SHA256 of the upper-cased password
};

// Key record: name and identifier of the store key (types 1, 2, 3).
struct KeyRecord {
  uint32_t type = 0;  // 1 DES, 2 Triple DES, 3 AES
  std::string name;   // at most 32 bytes
  uint8_t keyId[kKeyIdSize] = {};
  uint32_t keyLengthBits = 0;
};

// Payload parameters of the private record.
struct PayloadParams {
  uint32_t version = kPayloadVersion;
  uint32_t chunkSize = kDefaultChunkSize;
  KeyDerivation derivation = KeyDerivation::StoreKey;
  uint32_t iterations = 0;              // PBKDF2 iterations (Password)
  uint8_t salt[kSaltSize] = {};         // PBKDF2 salt (Password)
  uint8_t keyId[kKeyIdSize] = {};       // store key identifier (StoreKey)
  uint64_t plainLength = 0;
  uint8_t wrapNonce[kNonceSize] = {};
  uint8_t wrappedKey[kDataKeySize] = {};
  uint8_t wrapTag[kTagSize] = {};
  uint32_t flags = 0;                   // self-decrypting: kFlagEnglish
  uint32_t attemptLimit = 0;            // self-decrypting: 0 = no limit
};
constexpr uint32_t kFlagEnglish = 1;

// Enciphered prefix length of a key record body, by type (0 for unknown types).
size_t KeyRecordPrefix(uint32_t type);
// KeyAlgorithm code of a key record type, or -1.
int KeyRecordAlgorithm(uint32_t type);

// Plain body of a key record (still to be enciphered by the caller).
Bytes EncodeKeyRecordBody(const KeyRecord& rec);
// Decodes a deciphered body; nullopt when too short.
std::optional<KeyRecord> DecodeKeyRecordBody(uint32_t type, const uint8_t* body, size_t size);

Bytes EncodePayloadBody(const PayloadParams& p);
std::optional<PayloadParams> DecodePayloadBody(const uint8_t* body, size_t size);

// Builds the whole key-information block. `encipheredKeyBody` is the key record body
// after the caller enciphered its prefix; empty for a block without a key record.
Bytes BuildBlock(uint32_t keyRecordType, const Bytes& encipheredKeyBody, const PayloadParams& p);

// Result of splitting a block.
struct ParsedBlock {
  uint32_t recordArea = 0;     // L
  uint64_t dataOffset = 0;     // 32 + L
  uint32_t keyRecordType = 0;  // 0: none
  Bytes keyRecordBody;         // still enciphered
  PayloadParams payload;
};

enum class ParseStatus { Ok, NeedMore, Bad };

// Parses a block from the first `size` bytes of a file. NeedMore: the header says the
// block is longer than `size` (then `*needed` is its size); Bad: not a valid block.
ParseStatus ParseBlock(const uint8_t* data, size_t size, ParsedBlock* out, size_t* needed);

// Number of chunks and exact file size for a payload.
uint64_t ChunkCount(uint64_t plainLength, uint32_t chunkSize);
// Exact size of the chunk stream; nullopt when it would overflow.
std::optional<uint64_t> StreamSize(uint64_t plainLength, uint32_t chunkSize);

// GCM nonce of chunk `index`: the index (little-endian, 8 bytes) and the final flag.
void ChunkNonce(uint64_t index, bool final, uint8_t nonce[kNonceSize]);

// Trailer of a self-decrypting executable: the offset of its payload block.
constexpr size_t kSfxTrailerSize = 16;
Bytes EncodeSfxTrailer(uint64_t payloadOffset);
std::optional<uint64_t> DecodeSfxTrailer(const uint8_t* data, size_t size);

// Little-endian helpers.
void PutU32(uint8_t* p, uint32_t v);
void PutU64(uint8_t* p, uint64_t v);
uint32_t GetU32(const uint8_t* p);
uint64_t GetU64(const uint8_t* p);

}  // namespace tvdev::fmt
