#include "keyinfo.h"

#include <cstring>

#include "format/xss_format.h"

namespace {

using tvdev::fmt::GetU32;

constexpr char kMagic[4] = {'T', 'V', 'K', 'I'};
constexpr size_t kMaxPrefix = 160;

// Where the fields lie in a deciphered body. The key block is 8 bytes in a DES record
// and 32 in the others, which moves everything after it.
struct BodyLayout {
  size_t keyBlockSize, idSecondHalf, word3, word2;
};
constexpr size_t kOffWord0 = 0, kOffWord1 = 4, kOffName = 8, kOffIdFirstHalf = 40,
                 kOffKeyBlock = 72, kNameSize = 32, kIdHalf = 32;
constexpr BodyLayout kDesLayout{8, 80, 112, 116};
constexpr BodyLayout kWideLayout{32, 104, 136, 140};

// Size of what is left of the stream, or -1 when it cannot be told.
int64_t RemainingBytes(std::FILE* f) {
#ifdef _WIN32
  const int64_t here = _ftelli64(f);
  if (here < 0 || _fseeki64(f, 0, SEEK_END) != 0) return -1;
  const int64_t end = _ftelli64(f);
  if (_fseeki64(f, here, SEEK_SET) != 0) return -1;
#else
  const int64_t here = ftello(f);
  if (here < 0 || fseeko(f, 0, SEEK_END) != 0) return -1;
  const int64_t end = ftello(f);
  if (fseeko(f, here, SEEK_SET) != 0) return -1;
#endif
  return end < here ? -1 : end - here;
}

bool ReadExactly(std::FILE* f, void* buf, size_t n) { return std::fread(buf, 1, n, f) == n; }

// Reads and drops `n` bytes; false when the stream ends first.
bool Skip(std::FILE* f, uint64_t n) {
  unsigned char scratch[4096];
  while (n > 0) {
    const size_t part = n < sizeof scratch ? static_cast<size_t>(n) : sizeof scratch;
    if (!ReadExactly(f, scratch, part)) return false;
    n -= part;
  }
  return true;
}

void Decode(uint32_t type, const unsigned char* body, ArchiveKeyInfo* out) {
  const BodyLayout& l = type == 1 ? kDesLayout : kWideLayout;
  out->Word0 = GetU32(body + kOffWord0);
  out->Word1 = GetU32(body + kOffWord1);
  std::memcpy(out->KeyName, body + kOffName, kNameSize);
  std::memcpy(out->KeyIdBlock, body + kOffIdFirstHalf, kIdHalf);
  std::memcpy(out->KeyBlock, body + kOffKeyBlock, l.keyBlockSize);
  std::memcpy(out->KeyIdBlock + kIdHalf, body + l.idSecondHalf, kIdHalf);
  out->Word3 = GetU32(body + l.word3);
  out->Word2 = GetU32(body + l.word2);
  out->KeyName[kNameSize] = '\0';
  out->KeyIdBlock[2 * kIdHalf] = '\0';
  out->Algorithm = static_cast<uint32_t>(tvdev::fmt::KeyRecordAlgorithm(type));
}

}  // namespace

int ParseKeyInfoBlock(std::FILE* stream, ArchiveKeyInfo* out, KeyInfoDecipher decipher,
                      void* context) {
  std::memset(out, 0, sizeof *out);
  if (!stream || !decipher) return 0;
  unsigned char header[tvdev::fmt::kBlockHeaderSize];
  if (!ReadExactly(stream, header, sizeof header)) return 0;
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return 0;
  const uint32_t area = GetU32(header + 8);
  if (area == 0) return 0;
  // A body may claim more than the file holds; it is then damaged, and it is known to be
  // before anything is read or kept for it.
  int64_t left = RemainingBytes(stream);

  int found = 0;
  // 64 bits: a record size near 4 GB must not wrap the position back below the area.
  uint64_t position = 0;
  do {
    unsigned char recordHeader[tvdev::fmt::kRecordHeaderSize];
    if (!ReadExactly(stream, recordHeader, sizeof recordHeader)) return 0;
    const uint32_t type = GetU32(recordHeader);
    const uint32_t size = GetU32(recordHeader + 4);
    if (left >= 0) {
      left -= static_cast<int64_t>(sizeof recordHeader);
      if (static_cast<int64_t>(size) > left) return 0;
      left -= size;
    }
    const size_t prefix = tvdev::fmt::KeyRecordPrefix(type);
    if (prefix != 0) {
      // Shorter than its enciphered prefix, a body cannot be deciphered: damaged.
      if (size < prefix) return 0;
      unsigned char body[kMaxPrefix];
      if (!ReadExactly(stream, body, prefix)) return 0;
      if (!Skip(stream, size - prefix)) return 0;
      decipher(type, body, static_cast<uint32_t>(prefix), context);
      Decode(type, body, out);
      out->DataOffset = area + static_cast<uint32_t>(tvdev::fmt::kBlockHeaderSize);
      std::memset(body, 0, sizeof body);
      found = 1;
    } else if (!Skip(stream, size)) {
      return 0;
    }
    position += tvdev::fmt::kRecordHeaderSize + uint64_t{size};
  } while (position < area);
  return found;
}
