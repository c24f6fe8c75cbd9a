// Feeds arbitrary bytes to the ZIP reader as an archive and reads every entry to its end,
// as extraction does. Any crash, sanitizer report or unbounded output is a failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "zoras/zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zoras::MemorySource src(data, size);
  zoras::ZipReader reader;
  if (reader.open(src) != zoras::ZipError::none) return 0;
  std::vector<std::string> parts;
  std::vector<uint8_t> buf(64 * 1024);
  for (const auto& e : reader.entries()) {
    bool is_dir = false;
    if (zoras::split_safe_name(e.name, parts, is_dir) == zoras::ZipError::none) {
      for (const auto& p : parts)
        if (p.empty() || p == "." || p == ".." || p.find_first_of("/\\:") != std::string::npos) abort();
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
