#include "xss_format.h"

#include <algorithm>
#include <cstring>

namespace tvdev::fmt {

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t GetU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

size_t KeyRecordPrefix(uint32_t type) {
  switch (type) {
    case 1: return 136;
    case 2:
    case 3: return 160;
    default: return 0;
  }
}

int KeyRecordAlgorithm(uint32_t type) {
  return (type >= 1 && type <= 3) ? static_cast<int>(type - 1) : -1;
}

// Body offsets shared by the three types; the key block (8 or 32 bytes) moves the
// second half of the identifier and the two trailing words.
namespace {
constexpr size_t kOffWord0 = 0, kOffWord1 = 4, kOffName = 8, kOffId = 40;
constexpr size_t kNameField = 32;
constexpr uint32_t kKeyRecordLayout = 1;
}  // namespace

Bytes EncodeKeyRecordBody(const KeyRecord& rec) {
  const size_t size = KeyRecordPrefix(rec.type);
  Bytes body(size, 0);
  if (size == 0) return body;
  PutU32(&body[kOffWord0], kKeyRecordLayout);
  PutU32(&body[kOffWord1], rec.keyLengthBits);
  std::memcpy(&body[kOffName], rec.name.data(), std::min(rec.name.size(), kNameField));
  // The identifier field holds the 16-byte store identifier followed by 16 zero bytes,
  // so it compares equal to a store identifier padded the same way. The key block and
  // the second identifier half stay zero: nothing secret goes under the fixed keys.
  std::memcpy(&body[kOffId], rec.keyId, kKeyIdSize);
  return body;
}

std::optional<KeyRecord> DecodeKeyRecordBody(uint32_t type, const uint8_t* body, size_t size) {
  const size_t prefix = KeyRecordPrefix(type);
  if (prefix == 0 || size < prefix) return std::nullopt;
  KeyRecord rec;
  rec.type = type;
  rec.keyLengthBits = GetU32(body + kOffWord1);
  size_t n = 0;
  while (n < kNameField && body[kOffName + n] != 0) ++n;
  rec.name.assign(reinterpret_cast<const char*>(body + kOffName), n);
  std::memcpy(rec.keyId, body + kOffId, kKeyIdSize);
  return rec;
}

namespace {
// Payload body layout.
constexpr size_t kPVersion = 0, kPChunk = 4, kPDerivation = 8, kPIter = 12, kPSalt = 16,
                 kPKeyId = 32, kPLength = 48, kPNonce = 56, kPWrapped = 68, kPTag = 100,
                 kPFlags = 116, kPAttempts = 120, kPReserved = 124;
static_assert(kPTag + kTagSize == kPFlags);
static_assert(kPReserved + 4 == kPayloadBodySize);
constexpr uint32_t kMaxIterations = 10'000'000;
constexpr uint32_t kKnownFlags = kFlagEnglish;
}  // namespace

Bytes EncodePayloadBody(const PayloadParams& p) {
  Bytes b(kPayloadBodySize, 0);
  PutU32(&b[kPVersion], p.version);
  PutU32(&b[kPChunk], p.chunkSize);
  PutU32(&b[kPDerivation], static_cast<uint32_t>(p.derivation));
  PutU32(&b[kPIter], p.iterations);
  std::memcpy(&b[kPSalt], p.salt, kSaltSize);
  std::memcpy(&b[kPKeyId], p.keyId, kKeyIdSize);
  PutU64(&b[kPLength], p.plainLength);
  std::memcpy(&b[kPNonce], p.wrapNonce, kNonceSize);
  std::memcpy(&b[kPWrapped], p.wrappedKey, kDataKeySize);
  std::memcpy(&b[kPTag], p.wrapTag, kTagSize);
  PutU32(&b[kPFlags], p.flags);
  PutU32(&b[kPAttempts], p.attemptLimit);
  return b;
}

std::optional<PayloadParams> DecodePayloadBody(const uint8_t* b, size_t size) {
  if (size != kPayloadBodySize) return std::nullopt;
  PayloadParams p;
  p.version = GetU32(b + kPVersion);
  p.chunkSize = GetU32(b + kPChunk);
  const uint32_t derivation = GetU32(b + kPDerivation);
  p.iterations = GetU32(b + kPIter);
  std::memcpy(p.salt, b + kPSalt, kSaltSize);
  std::memcpy(p.keyId, b + kPKeyId, kKeyIdSize);
  p.plainLength = GetU64(b + kPLength);
  std::memcpy(p.wrapNonce, b + kPNonce, kNonceSize);
  std::memcpy(p.wrappedKey, b + kPWrapped, kDataKeySize);
  std::memcpy(p.wrapTag, b + kPTag, kTagSize);
  p.flags = GetU32(b + kPFlags);
  p.attemptLimit = GetU32(b + kPAttempts);
  if (p.version != kPayloadVersion) return std::nullopt;
  if (p.chunkSize < kMinChunkSize || p.chunkSize > kMaxChunkSize) return std::nullopt;
  if (derivation == static_cast<uint32_t>(KeyDerivation::StoreKey)) {
    if (p.iterations != 0) return std::nullopt;
  } else if (derivation == static_cast<uint32_t>(KeyDerivation::Password)) {
    if (p.iterations == 0 || p.iterations > kMaxIterations) return std::nullopt;
  } else {
    return std::nullopt;
  }
  p.derivation = static_cast<KeyDerivation>(derivation);
  if ((p.flags & ~kKnownFlags) != 0 || GetU32(b + kPReserved) != 0) return std::nullopt;
  if (!StreamSize(p.plainLength, p.chunkSize)) return std::nullopt;
  return p;
}

Bytes BuildBlock(uint32_t keyRecordType, const Bytes& encipheredKeyBody, const PayloadParams& p) {
  const Bytes payload = EncodePayloadBody(p);
  const bool hasKey = keyRecordType != 0;
  const uint32_t area = static_cast<uint32_t>(
      (hasKey ? kRecordHeaderSize + encipheredKeyBody.size() : 0) + kRecordHeaderSize +
      payload.size());
  Bytes out(kBlockHeaderSize + area, 0);
  std::memcpy(out.data(), "TVKI", 4);
  PutU32(&out[4], kBlockVersion);
  PutU32(&out[8], area);
  size_t at = kBlockHeaderSize;
  if (hasKey) {
    PutU32(&out[at], keyRecordType);
    PutU32(&out[at + 4], static_cast<uint32_t>(encipheredKeyBody.size()));
    std::memcpy(&out[at + 8], encipheredKeyBody.data(), encipheredKeyBody.size());
    at += kRecordHeaderSize + encipheredKeyBody.size();
  }
  PutU32(&out[at], kPayloadRecordType);
  PutU32(&out[at + 4], static_cast<uint32_t>(payload.size()));
  std::memcpy(&out[at + 8], payload.data(), payload.size());
  return out;
}

ParseStatus ParseBlock(const uint8_t* data, size_t size, ParsedBlock* out, size_t* needed) {
  if (size < kBlockHeaderSize) {
    if (needed) *needed = kBlockHeaderSize;
    return ParseStatus::NeedMore;
  }
  if (std::memcmp(data, "TVKI", 4) != 0 || GetU32(data + 4) != kBlockVersion)
    return ParseStatus::Bad;
  for (size_t i = 12; i < kBlockHeaderSize; ++i)
    if (data[i] != 0) return ParseStatus::Bad;
  const uint32_t area = GetU32(data + 8);
  if (area < kRecordHeaderSize + kPayloadBodySize || area > kMaxRecordArea)
    return ParseStatus::Bad;
  const size_t total = kBlockHeaderSize + area;
  if (size < total) {
    if (needed) *needed = total;
    return ParseStatus::NeedMore;
  }
  ParsedBlock block;
  block.recordArea = area;
  block.dataOffset = total;
  bool havePayload = false;
  size_t at = kBlockHeaderSize;
  while (at < total) {
    if (total - at < kRecordHeaderSize) return ParseStatus::Bad;
    const uint32_t type = GetU32(data + at);
    const uint32_t bodySize = GetU32(data + at + 4);
    at += kRecordHeaderSize;
    if (bodySize > total - at) return ParseStatus::Bad;
    const uint8_t* body = data + at;
    // The payload record comes last, after the key record if there is one.
    if (havePayload) return ParseStatus::Bad;
    if (type == kPayloadRecordType) {
      auto p = DecodePayloadBody(body, bodySize);
      if (!p) return ParseStatus::Bad;
      block.payload = *p;
      havePayload = true;
    } else if (KeyRecordPrefix(type) != 0) {
      if (block.keyRecordType != 0 || bodySize != KeyRecordPrefix(type)) return ParseStatus::Bad;
      block.keyRecordType = type;
      block.keyRecordBody.assign(body, body + bodySize);
    } else {
      return ParseStatus::Bad;
    }
    at += bodySize;
  }
  if (!havePayload) return ParseStatus::Bad;
  // A store-key payload names its key; a password payload must not.
  const bool storeKey = block.payload.derivation == KeyDerivation::StoreKey;
  if (storeKey != (block.keyRecordType != 0)) return ParseStatus::Bad;
  if (out) *out = std::move(block);
  return ParseStatus::Ok;
}

uint64_t ChunkCount(uint64_t plainLength, uint32_t chunkSize) {
  if (plainLength == 0) return 1;
  return plainLength / chunkSize + (plainLength % chunkSize ? 1 : 0);
}

std::optional<uint64_t> StreamSize(uint64_t plainLength, uint32_t chunkSize) {
  if (chunkSize == 0) return std::nullopt;
  // Far beyond anything written; keeps every sum below well inside 64 bits.
  if (plainLength > (uint64_t{1} << 52)) return std::nullopt;
  return plainLength + ChunkCount(plainLength, chunkSize) * kTagSize;
}

void ChunkNonce(uint64_t index, bool final, uint8_t nonce[kNonceSize]) {
  PutU64(nonce, index);
  PutU32(nonce + 8, final ? 1u : 0u);
}

namespace {
constexpr char kSfxMagic[8] = {'T', 'V', 'S', 'X', 'E', 'N', 'D', '1'};
}

Bytes EncodeSfxTrailer(uint64_t payloadOffset) {
  Bytes t(kSfxTrailerSize);
  PutU64(t.data(), payloadOffset);
  std::memcpy(t.data() + 8, kSfxMagic, 8);
  return t;
}

std::optional<uint64_t> DecodeSfxTrailer(const uint8_t* data, size_t size) {
  if (size != kSfxTrailerSize || std::memcmp(data + 8, kSfxMagic, 8) != 0) return std::nullopt;
  return GetU64(data);
}

}  // namespace tvdev::fmt
