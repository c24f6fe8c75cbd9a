// Feeds arbitrary bytes as the head of an encrypted archive to the program's block
// reader. Beyond not crashing: the decipher step is only ever given the enciphered
// prefix of a record of type 1 to 3, inside the body; an accepted block has terminated
// fields, a known algorithm and its data offset from the header; and the reader never
// reads past what the header and record sizes let it (the stream is a memory buffer,
// so a read past its end would simply fail, and ASan sees every byte touched).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keyinfo.h"

namespace {

void Decipher(uint32_t type, unsigned char* body, uint32_t length, void* context) {
  if (type < 1 || type > 3) std::abort();
  if (length != (type == 1 ? 136u : 160u)) std::abort();
  for (uint32_t i = 0; i < length; ++i) body[i] ^= static_cast<unsigned char>(0x5A + type);
  ++*static_cast<int*>(context);
}

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!f) return 0;
  ArchiveKeyInfo info;
  int calls = 0;
  const int found = ParseKeyInfoBlock(f, &info, Decipher, &calls);
  std::fclose(f);
  if (found != 0 && found != 1) std::abort();
  if (found) {
    if (calls == 0 || size < 32 + 8 + 136) std::abort();
    if (std::memcmp(data, "TVKI", 4) != 0) std::abort();
    if (info.KeyName[32] != '\0' || info.KeyIdBlock[64] != '\0') std::abort();
    if (info.Algorithm > 2) std::abort();
    if (info.DataOffset != U32(data + 8) + 32) std::abort();
  }
  return 0;
}
