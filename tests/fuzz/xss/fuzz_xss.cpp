// Feeds arbitrary bytes to the block parser as the head of an encrypted file (and as the
// tail of a self-decrypting one). Beyond not crashing: whatever the parser accepts must
// be exactly what the writer produces from the parsed values, so no two byte strings
// mean the same block and nothing in an accepted block goes unread.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format/xss_format.h"

using namespace tvdev::fmt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ParsedBlock block;
  size_t needed = 0;
  const ParseStatus st = ParseBlock(data, size, &block, &needed);
  if (st == ParseStatus::NeedMore && needed <= size) std::abort();
  if (st == ParseStatus::Ok) {
    if (block.dataOffset > size) std::abort();
    const Bytes again = BuildBlock(block.keyRecordType, block.keyRecordBody, block.payload);
    if (again.size() != block.dataOffset || std::memcmp(again.data(), data, again.size()) != 0)
      std::abort();
    if (block.keyRecordType != 0) {
      auto rec = DecodeKeyRecordBody(block.keyRecordType, block.keyRecordBody.data(),
                                     block.keyRecordBody.size());
      if (!rec || rec->name.size() > 32) std::abort();
    }
    if (!StreamSize(block.payload.plainLength, block.payload.chunkSize)) std::abort();
  }
  if (size >= kSfxTrailerSize) DecodeSfxTrailer(data + size - kSfxTrailerSize, kSfxTrailerSize);
  return 0;
}
