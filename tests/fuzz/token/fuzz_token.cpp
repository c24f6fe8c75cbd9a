// Feeds arbitrary bytes to the token file's parser, once as a whole file and once as an
// opened payload. Beyond not crashing: an accepted header describes exactly the rest of
// the file and a sealed one has an iteration count in bounds; accepted keys lie inside
// the payload, in order and without gaps, each of 1-127 bytes without a zero byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tokenformat.h"

namespace {

void CheckKeys(const uint8_t* p, size_t size) {
  std::vector<tvtoken::KeyText> keys;
  const tvtoken::Decoded d = tvtoken::ReadKeys(p, size, &keys);
  if (d != tvtoken::Decoded::Ok) {
    if (d != tvtoken::Decoded::Damaged || !keys.empty()) std::abort();
    return;
  }
  if (keys.size() > tvtoken::kMaxKeys || keys.size() != (p[0] | p[1] << 8 | p[2] << 16 | size_t{p[3]} << 24))
    std::abort();
  const uint8_t* at = p + 4;
  for (const auto& k : keys) {
    for (auto [text, length] : {std::pair{k.name, k.nameLength}, std::pair{k.value, k.valueLength}}) {
      if (text != at + 1 || *at != length || length < 1 || length > tvtoken::kMaxText) std::abort();
      if (std::memchr(text, 0, length)) std::abort();
      at = text + length;
    }
  }
  if (at != p + size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tvtoken::Header h;
  const tvtoken::Decoded d = tvtoken::ReadHeader(data, size, &h);
  if (d == tvtoken::Decoded::Ok) {
    if (h.payload != data + tvtoken::kHeaderSize || h.payloadSize != size - tvtoken::kHeaderSize) std::abort();
    if (h.sealed && (h.iterations < tvtoken::kMinIterations || h.iterations > tvtoken::kMaxIterations))
      std::abort();
    CheckKeys(h.payload, h.payloadSize);
  } else if (d != tvtoken::Decoded::Damaged && d != tvtoken::Decoded::UnknownVersion) {
    std::abort();
  }
  CheckKeys(data, size);
  return 0;
}
