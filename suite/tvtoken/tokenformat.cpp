#include "tokenformat.h"

#include <cstring>

namespace tvtoken {

namespace {

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

Decoded ReadHeader(const uint8_t* file, size_t size, Header* out) {
  *out = Header{};
  if (size < kHeaderSize || size > kMaxFileSize || std::memcmp(file, kMagic, 8) != 0)
    return Decoded::Damaged;
  const uint16_t flags = Get16(file + 10);
  if (Get16(file + 8) != kVersion || (flags & ~kFlagSealed) != 0) return Decoded::UnknownVersion;
  if (Get32(file + 44) != size - kHeaderSize) return Decoded::Damaged;
  Header h;
  h.sealed = (flags & kFlagSealed) != 0;
  h.iterations = Get32(file + 12);
  if (h.sealed && (h.iterations < kMinIterations || h.iterations > kMaxIterations))
    return Decoded::Damaged;
  h.salt = file + 16;
  h.nonce = file + 32;
  h.tag = file + 48;
  h.payload = file + kHeaderSize;
  h.payloadSize = size - kHeaderSize;
  *out = h;
  return Decoded::Ok;
}

Decoded ReadKeys(const uint8_t* p, size_t size, std::vector<KeyText>* keys) {
  keys->clear();
  if (size < 4) return Decoded::Damaged;
  const uint32_t n = Get32(p);
  // Every key takes at least four bytes: a count the payload cannot hold is damage,
  // found before anything is reserved for it.
  if (n > kMaxKeys || n > (size - 4) / 4) return Decoded::Damaged;
  keys->reserve(n);
  size_t at = 4;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* text[2];
    size_t length[2];
    for (int f = 0; f < 2; ++f) {
      const size_t len = at < size ? p[at] : 0;
      if (len < 1 || len > kMaxText || size - at - 1 < len || std::memchr(p + at + 1, 0, len)) {
        keys->clear();
        return Decoded::Damaged;
      }
      text[f] = p + at + 1;
      length[f] = len;
      at += 1 + len;
    }
    keys->push_back({text[0], length[0], text[1], length[1]});
  }
  if (at != size) {
    keys->clear();
    return Decoded::Damaged;
  }
  return Decoded::Ok;
}

}  // namespace tvtoken
