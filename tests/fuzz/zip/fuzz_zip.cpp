// Feeds arbitrary bytes to the ZIP reader as an archive and reads every entry to its end,
// as extraction does. Any crash, sanitizer report or unbounded output is a failure, and
// so is an accepted entry outside the archive or a name that passes the check unsafe.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "zoras/zip.h"

namespace {

void Append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A stand-in for the system's OEM code page with code page 932's shape: lead bytes
// 0x81-0x9F and 0xE0-0xFC take any second byte ('\\' and '/' among them) into one
// character, 0xA1-0xDF are single characters, other high bytes are not a name.
bool DecodeDoubleByte(std::string_view raw, std::string& utf8) {
  utf8.clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    const auto c = static_cast<unsigned char>(raw[i]);
    if (c < 0x80) {
      Append(utf8, c);
    } else if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
      if (i + 1 == raw.size()) return false;
      Append(utf8, 0x4E00 + (((c << 8) | static_cast<unsigned char>(raw[++i])) & 0x3FFF));
    } else if (c >= 0xA1 && c <= 0xDF) {
      Append(utf8, 0xFF61 + (c - 0xA1));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zoras::MemorySource src(data, size);
  zoras::ZipReader reader;
  if (reader.open(src) != zoras::ZipError::none) return 0;
  std::vector<std::string> parts;
  std::vector<uint8_t> buf(64 * 1024);
  std::string name;
  for (const auto& e : reader.entries()) {
    if (e.local_offset >= size || e.data_offset > size || e.compressed_size > size - e.data_offset) abort();
    if (e.has_unicode_path && !zoras::is_valid_utf8(e.unicode_path)) abort();
    if (zoras::entry_name_utf8(e, DecodeDoubleByte, name) == zoras::ZipError::none) {
      bool is_dir = false;
      if (zoras::split_safe_name(name, parts, is_dir) == zoras::ZipError::none) {
        for (const auto& p : parts)
          if (p.empty() || p == "." || p == ".." || p.find_first_of("/\\:") != std::string::npos) abort();
      }
    }
    // Entries cannot overlap, so what a small input expands to is bounded by deflate's
    // ratio; the reader must never give more than the entry's announced size.
    zoras::EntryReader in(src, e);
    uint64_t total = 0;
    for (;;) {
      size_t got = 0;
      if (in.read(buf.data(), buf.size(), got) != zoras::ZipError::none) break;
      if (got == 0) break;
      total += got;
      if (total > e.size) abort();
    }
  }
  return 0;
}
