#include "zoras/zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace zoras {
namespace {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
constexpr uint32_t kSigZip64Locator = 0x07064b50;
constexpr uint32_t kSigZip64End = 0x06064b50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr uint16_t kExtraZip64 = 0x0001;
constexpr uint16_t kExtraTimestamp = 0x5455;
constexpr uint16_t kExtraUnicodePath = 0x7075;
constexpr uint16_t kEscape16 = 0xFFFF;
constexpr uint32_t kEscape32 = 0xFFFFFFFF;
constexpr size_t kReadChunk = 64 * 1024;
constexpr uint32_t kMaxCentralDirectory = 64u << 20;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t get64(const uint8_t* p) { return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32; }
void put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void set32(uint8_t* p, uint32_t x) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(x >> (8 * i));
}

// The data of the first extra field `id` in an extra area, or null.
const uint8_t* find_extra(const uint8_t* p, size_t n, uint16_t id, size_t& len) {
  while (n >= 4) {
    size_t l = get16(p + 2);
    if (l > n - 4) return nullptr;  // malformed extra data is ignored, as other readers do
    if (get16(p) == id) {
      len = l;
      return p + 4;
    }
    p += 4 + l;
    n -= 4 + l;
  }
  return nullptr;
}

// Extended timestamp: in the central directory only the modification time is present.
void parse_extra(const uint8_t* p, size_t n, ZipEntry& e) {
  size_t len = 0;
  if (const uint8_t* t = find_extra(p, n, kExtraTimestamp, len); t && len >= 5 && (t[0] & 1)) {
    e.has_unix_mtime = true;
    e.unix_mtime = static_cast<int32_t>(get32(t + 1));
  }
  // A Unicode Path field whose CRC is not the name's was left behind when a tool renamed
  // the entry: the name is newer, and the field is ignored.
  if (const uint8_t* u = find_extra(p, n, kExtraUnicodePath, len); u && len >= 5 && u[0] == 1) {
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.name.data()), static_cast<uInt>(e.name.size())));
    std::string_view path(reinterpret_cast<const char*>(u + 5), len - 5);
    if (get32(u + 1) == crc && !path.empty() && is_valid_utf8(path)) {
      e.has_unicode_path = true;
      e.unicode_path.assign(path);
    }
  }
}

// Replaces the escaped ones of `values` (each with its width in bytes in the record) by
// the Zip64 field's 8-byte values, in the order the format gives them; a disk number
// (width 2) takes 4 bytes there. False when a value is escaped and the field lacks it.
struct Zip64Value {
  uint64_t* value;
  unsigned width;
};
bool apply_zip64(const uint8_t* extra, size_t n, std::initializer_list<Zip64Value> values) {
  bool escaped = false;
  for (const auto& v : values) escaped |= *v.value == (v.width == 2 ? kEscape16 : kEscape32);
  if (!escaped) return true;
  size_t len = 0;
  const uint8_t* z = find_extra(extra, n, kExtraZip64, len);
  if (!z) return false;
  size_t at = 0;
  for (const auto& v : values) {
    if (*v.value != (v.width == 2 ? kEscape16 : kEscape32)) continue;
    const size_t size = v.width == 2 ? 4 : 8;
    if (len - at < size) return false;
    *v.value = size == 4 ? get32(z + at) : get64(z + at);
    at += size;
  }
  return true;
}

}  // namespace

bool MemorySource::read_at(uint64_t offset, void* buffer, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (n) std::memcpy(buffer, data_ + offset, n);
  return true;
}

// A final '\\' marks a folder only in a UTF-8 name: in a name of another code page it
// can be the second byte of a double-byte character (Shift-JIS "\x95\x5C"), which only
// a reader that decodes the name can tell (zoras::extract_archive does).
bool ZipEntry::is_dir() const {
  return !name.empty() && (name.back() == '/' || (utf8 && name.back() == '\\'));
}

uint32_t ZipEntry::dos_attributes() const {
  unsigned host = version_made_by >> 8;
  return (host == 0 || host == 10 || host == 11 || host == 14) ? (external_attrs & 0xFF) : 0;
}

uint64_t ZipReader::total_size() const {
  uint64_t t = 0;
  for (const auto& e : entries_)
    if (!e.is_dir()) t += e.size;
  return t;
}

ZipError ZipReader::open(ByteSource& src, bool check_local_headers) {
  entries_.clear();
  cd_.clear();
  cd_offset_ = 0;
  const uint64_t size = src.size();
  if (size < kEndSize) return ZipError::bad_format;
  if (size >= kMaxArchiveSize) return ZipError::unsupported;

  // The end record is the last one whose comment reaches exactly to the end of the file.
  size_t tail = static_cast<size_t>(std::min<uint64_t>(size, kEndSize + 0xFFFF));
  std::vector<uint8_t> buf(tail);
  if (!src.read_at(size - tail, buf.data(), tail)) return ZipError::read;
  const uint8_t* end = nullptr;
  uint64_t end_pos = 0;
  for (size_t i = tail - kEndSize + 1; i-- > 0;) {
    if (get32(&buf[i]) == kSigEnd && i + kEndSize + get16(&buf[i + 20]) == tail) {
      end = &buf[i];
      end_pos = size - tail + i;
      break;
    }
  }
  if (!end) return ZipError::bad_format;
  const uint16_t disk = get16(end + 4), cd_disk = get16(end + 6);
  const uint16_t count_disk16 = get16(end + 8), count16 = get16(end + 10);
  const uint32_t cd_size32 = get32(end + 12), cd_off32 = get32(end + 16);
  uint64_t count = count16, cd_size = cd_size32, cd_off = cd_off32;
  uint64_t cd_end = end_pos;  // where the central directory must end

  uint8_t locator[kZip64LocatorSize];
  const bool zip64 = end_pos >= kZip64LocatorSize &&
                     src.read_at(end_pos - kZip64LocatorSize, locator, sizeof locator) &&
                     get32(locator) == kSigZip64Locator;
  if (zip64) {
    // Locator: disk of the Zip64 end record, its offset, number of disks. The record
    // must end where the locator begins, as every writer puts them.
    if (get32(locator + 4) != 0 || get32(locator + 16) > 1) return ZipError::unsupported;
    const uint64_t locator_pos = end_pos - kZip64LocatorSize;
    const uint64_t z64_pos = get64(locator + 8);
    if (z64_pos > locator_pos || locator_pos - z64_pos < kZip64EndSize) return ZipError::bad_format;
    uint8_t z[kZip64EndSize];
    if (!src.read_at(z64_pos, z, sizeof z)) return ZipError::read;
    if (get32(z) != kSigZip64End || get64(z + 4) != locator_pos - z64_pos - 12) return ZipError::bad_format;
    const uint64_t z_count_disk = get64(z + 24), z_count = get64(z + 32);
    if (get32(z + 16) != 0 || get32(z + 20) != 0 || z_count_disk != z_count) return ZipError::unsupported;
    // A field that is not escaped is a second statement of the same value: two that
    // differ leave it open which one other readers take.
    if ((disk != 0 && disk != kEscape16) || (cd_disk != 0 && cd_disk != kEscape16) ||
        (count_disk16 != kEscape16 && count_disk16 != z_count_disk) ||
        (count16 != kEscape16 && count16 != z_count) ||
        (cd_size32 != kEscape32 && cd_size32 != get64(z + 40)) ||
        (cd_off32 != kEscape32 && cd_off32 != get64(z + 48)))
      return ZipError::bad_format;
    count = z_count;
    cd_size = get64(z + 40);
    cd_off = get64(z + 48);
    cd_end = z64_pos;
  } else {
    // Without Zip64 records an escaped size or offset cannot be true of an archive below
    // 2 GiB. 0xFFFF entries can: a plain archive of exactly 65535 entries.
    if (cd_off32 == kEscape32 || cd_size32 == kEscape32) return ZipError::bad_format;
    if (disk != 0 || cd_disk != 0 || count_disk16 != count16) return ZipError::unsupported;
  }
  if (count > 0xFFFF) return ZipError::unsupported;
  if (cd_off > cd_end || cd_size != cd_end - cd_off) return ZipError::bad_format;
  if (count * kCentralSize > cd_size) return ZipError::bad_format;
  // 65535 entries with the longest names Windows allows need about 54 MiB.
  if (cd_size > kMaxCentralDirectory) return ZipError::unsupported;

  cd_.resize(static_cast<size_t>(cd_size));
  if (cd_size && !src.read_at(cd_off, cd_.data(), cd_.size())) return ZipError::read;
  cd_offset_ = static_cast<uint32_t>(cd_off);

  entries_.reserve(count);
  std::vector<uint8_t> local;
  size_t pos = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (cd_size - pos < kCentralSize) return ZipError::bad_format;
    const uint8_t* r = &cd_[pos];
    if (get32(r) != kSigCentral) return ZipError::bad_format;
    size_t nlen = get16(r + 28), xlen = get16(r + 30), clen = get16(r + 32);
    size_t rec = kCentralSize + nlen + xlen + clen;
    if (rec > cd_size - pos) return ZipError::bad_format;
    ZipEntry e;
    e.version_made_by = get16(r + 4);
    e.flags = get16(r + 8);
    e.method = get16(r + 10);
    e.dos_time = get16(r + 12);
    e.dos_date = get16(r + 14);
    e.crc = get32(r + 16);
    e.external_attrs = get32(r + 38);
    e.name.assign(reinterpret_cast<const char*>(r + kCentralSize), nlen);
    e.utf8 = (e.flags & kFlagUtf8) != 0;
    e.cd_offset = static_cast<uint32_t>(pos);
    e.cd_length = static_cast<uint32_t>(rec);
    parse_extra(r + kCentralSize + nlen, xlen, e);
    uint64_t csize = get32(r + 20), usize = get32(r + 24), offset = get32(r + 42), first_disk = get16(r + 34);
    if (!apply_zip64(r + kCentralSize + nlen, xlen, {{&usize, 4}, {&csize, 4}, {&offset, 4}, {&first_disk, 2}}))
      return ZipError::bad_format;
    if (first_disk != 0) return ZipError::unsupported;
    // The data and its header lie inside an archive below 2 GiB; the size it unpacks to
    // is bounded by what the callers count in 32 bits.
    if (csize >= size || offset >= size) return ZipError::bad_format;
    if (usize > 0xFFFFFFFFu) return ZipError::unsupported;
    e.compressed_size = static_cast<uint32_t>(csize);
    e.size = static_cast<uint32_t>(usize);
    e.local_offset = static_cast<uint32_t>(offset);
    if (e.flags & 0x0041) return ZipError::unsupported;  // encrypted
    if (e.method != kMethodStored && e.method != kMethodDeflate) return ZipError::unsupported;
    if (nlen == 0 || std::memchr(e.name.data(), 0, nlen)) return ZipError::bad_format;
    if (e.method == kMethodStored && e.compressed_size != e.size) return ZipError::bad_format;
    if (e.is_dir() && e.size != 0) return ZipError::bad_format;

    if (!check_local_headers) {
      entries_.push_back(std::move(e));
      pos += rec;
      continue;
    }
    // The local header must agree with the central directory and its data must lie
    // between it and the central directory.
    if (static_cast<uint64_t>(e.local_offset) + kLocalSize > cd_off) return ZipError::bad_format;
    uint8_t fixed[kLocalSize];
    if (!src.read_at(e.local_offset, fixed, kLocalSize)) return ZipError::read;
    if (get32(fixed) != kSigLocal) return ZipError::bad_format;
    if (get16(fixed + 8) != e.method || get16(fixed + 26) != nlen) return ZipError::bad_format;
    const size_t local_xlen = get16(fixed + 28);
    if (static_cast<uint64_t>(e.local_offset) + kLocalSize + nlen + local_xlen > cd_off) return ZipError::bad_format;
    local.resize(nlen + local_xlen);
    if (!local.empty() && !src.read_at(e.local_offset + kLocalSize, local.data(), local.size())) return ZipError::read;
    const uint16_t local_flags = get16(fixed + 6);
    if (local_flags & 0x0041) return ZipError::unsupported;
    // With a data descriptor the local sizes are zero (or escaped zeros): only the
    // central directory has them.
    if (!(local_flags & 0x0008)) {
      uint64_t local_usize = get32(fixed + 22), local_csize = get32(fixed + 18);
      if (!apply_zip64(local.data() + nlen, local_xlen, {{&local_usize, 4}, {&local_csize, 4}}))
        return ZipError::bad_format;
      if (get32(fixed + 14) != e.crc || local_csize != e.compressed_size || local_usize != e.size)
        return ZipError::bad_format;
    }
    e.data_offset = static_cast<uint64_t>(e.local_offset) + kLocalSize + nlen + local_xlen;
    if (e.data_offset + e.compressed_size > cd_off) return ZipError::bad_format;
    if (std::memcmp(local.data(), e.name.data(), nlen) != 0) return ZipError::bad_format;
    entries_.push_back(std::move(e));
    pos += rec;
  }
  if (pos != cd_size) return ZipError::bad_format;
  if (!check_local_headers) return ZipError::none;

  // Entries may not share bytes: overlapping entries let a small archive expand without
  // bound and make one name's data another's.
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  spans.reserve(entries_.size());
  for (const auto& e : entries_) spans.emplace_back(e.local_offset, e.data_offset + e.compressed_size);
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i)
    if (spans[i].first < spans[i - 1].second) return ZipError::bad_format;
  return ZipError::none;
}

// ---- EntryReader ----------------------------------------------------------------------

EntryReader::EntryReader(ByteSource& source, const ZipEntry& entry) : source_(source), entry_(entry) {
  crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
}

EntryReader::~EntryReader() {
  if (zstream_) {
    inflateEnd(static_cast<z_stream*>(zstream_));
    delete static_cast<z_stream*>(zstream_);
  }
}

ZipError EntryReader::fill() {
  uint64_t left = entry_.compressed_size - consumed_;
  size_t n = static_cast<size_t>(std::min<uint64_t>(left, kReadChunk));
  if (in_.size() < kReadChunk) in_.resize(kReadChunk);
  if (n && !source_.read_at(entry_.data_offset + consumed_, in_.data(), n)) return ZipError::read;
  consumed_ += n;
  in_pos_ = 0;
  in_len_ = n;
  return ZipError::none;
}

ZipError EntryReader::read(uint8_t* buffer, size_t capacity, size_t& got) {
  got = 0;
  if (done_) return ZipError::none;
  if (entry_.method == kMethodStored) {
    uint64_t left = entry_.size - produced_;
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, capacity));
    if (n && !source_.read_at(entry_.data_offset + produced_, buffer, n)) return ZipError::read;
    got = n;
  } else {
    if (!zstream_) {
      auto* z = new (std::nothrow) z_stream{};
      if (!z) return ZipError::no_memory;
      if (inflateInit2(z, -MAX_WBITS) != Z_OK) {
        delete z;
        return ZipError::no_memory;
      }
      zstream_ = z;
    }
    auto* z = static_cast<z_stream*>(zstream_);
    while (got == 0 && !ended_ && capacity > 0) {
      if (in_pos_ == in_len_) {
        if (consumed_ == entry_.compressed_size) return ZipError::bad_format;  // stream cut short
        if (ZipError err = fill(); err != ZipError::none) return err;
      }
      z->next_in = in_.data() + in_pos_;
      z->avail_in = static_cast<uInt>(in_len_ - in_pos_);
      z->next_out = buffer;
      z->avail_out = static_cast<uInt>(std::min<size_t>(capacity, 1u << 30));
      int rc = inflate(z, Z_NO_FLUSH);
      in_pos_ = in_len_ - z->avail_in;
      got = static_cast<size_t>(z->next_out - buffer);
      if (rc == Z_STREAM_END) {
        ended_ = true;
      } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && got == 0 && in_pos_ == in_len_)) {
        return rc == Z_MEM_ERROR ? ZipError::no_memory : ZipError::bad_format;
      }
    }
  }
  if (got > entry_.size - produced_) return ZipError::bad_format;  // longer than announced
  crc_ = static_cast<uint32_t>(crc32(crc_, buffer, static_cast<uInt>(got)));
  produced_ += got;
  if (got == 0) {
    done_ = true;
    if (produced_ != entry_.size) return ZipError::bad_format;
    if (entry_.method == kMethodDeflate && (in_pos_ != in_len_ || consumed_ != entry_.compressed_size))
      return ZipError::bad_format;  // bytes after the end of the deflate stream
    if (crc_ != entry_.crc) return ZipError::crc;
  }
  return ZipError::none;
}

// ---- Names ----------------------------------------------------------------------------

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) n = 1, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) n = 2, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) n = 3, cp = c & 0x07;
    else return false;
    if (s.size() - i <= n) return false;
    for (size_t k = 1; k <= n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool equals_upper(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != b[i]) return false;
  return true;
}

// Windows resolves these names to devices in every folder, with any extension, and
// ignores spaces before the extension; COM and LPT also take superscript 1-3.
bool is_device_name(std::string_view comp) {
  std::string_view base = comp.substr(0, comp.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const char* d : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (equals_upper(base, d)) return true;
  if (base.size() >= 4 && (equals_upper(base.substr(0, 3), "COM") || equals_upper(base.substr(0, 3), "LPT"))) {
    std::string_view rest = base.substr(3);
    if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') return true;
    if (rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3") return true;
  }
  return false;
}

bool is_safe_component(std::string_view c) {
  if (c.empty() || c == "." || c == "..") return false;
  if (c.size() > 255 * 3) return false;
  for (char ch : c) {
    unsigned char u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u == 0x7F) return false;
    if (std::strchr("<>:\"|?*", ch)) return false;
  }
  if (c.back() == '.' || c.back() == ' ') return false;
  return !is_device_name(c);
}

}  // namespace

ZipError entry_name_utf8(const ZipEntry& e, const LegacyNameDecoder& legacy, std::string& utf8) {
  utf8.clear();
  if (e.utf8) {
    utf8 = e.name;
    return ZipError::none;
  }
  if (e.has_unicode_path) {
    utf8 = e.unicode_path;
    return ZipError::none;
  }
  // 3 Unix, 19 macOS: their tools store the file system's UTF-8 names as they are. A
  // name of a double-byte code page is seldom valid UTF-8 as well, and one from such a
  // host would be a guess either way.
  if ((e.host() == 3 || e.host() == 19) && is_valid_utf8(e.name)) {
    utf8 = e.name;
    return ZipError::none;
  }
  if (!legacy || !legacy(e.name, utf8) || utf8.empty()) {
    utf8.clear();
    return ZipError::bad_format;
  }
  return ZipError::none;
}

ZipError split_safe_name(std::string_view name, std::vector<std::string>& parts, bool& is_dir) {
  parts.clear();
  is_dir = false;
  if (name.empty() || !is_valid_utf8(name)) return ZipError::bad_format;
  if (name.front() == '/' || name.front() == '\\') return ZipError::bad_format;  // absolute, UNC, \\?\ .
  if (name.back() == '/' || name.back() == '\\') {
    is_dir = true;
    name.remove_suffix(1);
  }
  size_t start = 0;
  for (;;) {
    size_t sep = name.find_first_of("/\\", start);
    std::string_view comp = name.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    if (!is_safe_component(comp)) {
      parts.clear();
      return ZipError::bad_format;
    }
    parts.emplace_back(comp);
    if (sep == std::string_view::npos) break;
    start = sep + 1;
  }
  return ZipError::none;
}

// ---- Writer ---------------------------------------------------------------------------

namespace {

// Records go into chunks of this size; a larger one gets a chunk of its own.
constexpr size_t kRecordChunk = 256 * 1024;
// A central record's name length and the name itself.
constexpr size_t kCentralNameLength = 28, kCentralName = 46;

uint64_t name_digest(std::string_view name) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace

void ZipWriter::start(ByteSink& sink, const ZipReader* existing) {
  sink_ = &sink;
  chunks_.clear();
  records_.clear();
  live_.clear();
  live_bytes_ = 0;
  in_entry_ = false;
  if (existing) {
    const auto& cd = existing->central_directory();
    for (const auto& e : existing->entries()) add_live(cd.data() + e.cd_offset, e.cd_length, e.name);
  }
}

std::string_view ZipWriter::record_name(const Record& r) const {
  const uint8_t* b = record_bytes(r);
  const size_t n = static_cast<size_t>(b[kCentralNameLength] | (b[kCentralNameLength + 1] << 8));
  return {reinterpret_cast<const char*>(b + kCentralName), n};
}

size_t ZipWriter::find_live(std::string_view name) const {
  auto [first, last] = live_.equal_range(name_digest(name));
  for (auto it = first; it != last; ++it)
    if (record_name(records_[it->second]) == name) return it->second;
  return records_.size();
}

// `name`: the bytes the record holds at its name (for an existing archive's entry, the
// name as its reader found it stored), so that an entry written again replaces it.
void ZipWriter::add_live(const uint8_t* bytes, size_t n, std::string_view name) {
  const uint64_t digest = name_digest(name);
  auto [first, last] = live_.equal_range(digest);
  for (auto it = first; it != last; ++it) {
    Record& old = records_[it->second];
    if (record_name(old) != name) continue;
    old.dropped = true;
    live_bytes_ -= old.length;
    live_.erase(it);
    break;
  }
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < n) {
    chunks_.emplace_back();
    chunks_.back().reserve(std::max(n, kRecordChunk));
  }
  std::vector<uint8_t>& chunk = chunks_.back();
  Record r;
  r.chunk = static_cast<uint32_t>(chunks_.size() - 1);
  r.offset = static_cast<uint32_t>(chunk.size());
  r.length = static_cast<uint32_t>(n);
  chunk.insert(chunk.end(), bytes, bytes + n);
  live_.emplace(digest, static_cast<uint32_t>(records_.size()));
  live_bytes_ += n;
  records_.push_back(r);
}

size_t ZipWriter::entry_count() const { return live_.size(); }

uint64_t ZipWriter::pending_directory_size() const { return kEndSize + live_bytes_; }

bool ZipWriter::fits(uint64_t more) const {
  return sink_->position() + more + pending_directory_size() < kMaxArchiveSize;
}

ZipError ZipWriter::begin_entry(const NewEntry& entry, uint16_t method) {
  if (in_entry_ || entry.name.empty() || entry.name.size() > 0xFFFF) return ZipError::bad_format;
  std::vector<uint8_t> extra;
  if (entry.has_unix_mtime && entry.unix_mtime >= INT32_MIN && entry.unix_mtime <= INT32_MAX) {
    put16(extra, kExtraTimestamp);
    put16(extra, 5);
    extra.push_back(1);
    put32(extra, static_cast<uint32_t>(entry.unix_mtime));
  }
  if (live_.size() + (find_live(entry.name) < records_.size() ? 0 : 1) > 0xFFFF)
    return ZipError::too_many;

  const bool dir = entry.name.back() == '/';
  const uint16_t needed = (method == kMethodDeflate || dir) ? 20 : 10;
  std::vector<uint8_t> lh;
  put32(lh, kSigLocal);
  put16(lh, needed);
  put16(lh, kFlagUtf8);
  put16(lh, method);
  put16(lh, entry.dos_time);
  put16(lh, entry.dos_date);
  put32(lh, 0);
  put32(lh, 0);
  put32(lh, 0);
  put16(lh, static_cast<uint16_t>(entry.name.size()));
  put16(lh, static_cast<uint16_t>(extra.size()));
  lh.insert(lh.end(), entry.name.begin(), entry.name.end());
  lh.insert(lh.end(), extra.begin(), extra.end());

  std::vector<uint8_t> c;
  c.reserve(kCentralName + entry.name.size() + extra.size());
  put32(c, kSigCentral);
  put16(c, 63);  // made by: MS-DOS attributes, format version 6.3 (UTF-8 names)
  put16(c, needed);
  put16(c, kFlagUtf8);
  put16(c, method);
  put16(c, entry.dos_time);
  put16(c, entry.dos_date);
  put32(c, 0);
  put32(c, 0);
  put32(c, 0);
  put16(c, static_cast<uint16_t>(entry.name.size()));
  put16(c, static_cast<uint16_t>(extra.size()));
  put16(c, 0);
  put16(c, 0);
  put16(c, 0);
  put32(c, entry.dos_attributes);
  put32(c, static_cast<uint32_t>(sink_->position()));
  c.insert(c.end(), entry.name.begin(), entry.name.end());
  c.insert(c.end(), extra.begin(), extra.end());

  if (!fits(lh.size() + c.size())) return ZipError::too_large;
  header_offset_ = sink_->position();
  if (!sink_->write(lh.data(), lh.size())) return ZipError::write;
  add_live(c.data(), c.size(), entry.name);
  current_ = entry;
  data_written_ = 0;
  in_entry_ = true;
  return ZipError::none;
}

ZipError ZipWriter::write_data(const void* data, size_t n) {
  if (!in_entry_) return ZipError::bad_format;
  if (!fits(n) || data_written_ + n > 0xFFFFFFFEu) return ZipError::too_large;
  if (n && !sink_->write(data, n)) return ZipError::write;
  data_written_ += n;
  return ZipError::none;
}

ZipError ZipWriter::end_entry(uint32_t crc, uint32_t compressed_size, uint32_t size, uint16_t method) {
  if (!in_entry_ || compressed_size != data_written_) return ZipError::bad_format;
  in_entry_ = false;
  uint8_t patch[16];
  patch[0] = static_cast<uint8_t>(method);
  patch[1] = static_cast<uint8_t>(method >> 8);
  uint16_t needed = (method == kMethodDeflate || current_.name.back() == '/') ? 20 : 10;
  uint8_t ver[2] = {static_cast<uint8_t>(needed), 0};
  set32(patch + 4, crc);
  set32(patch + 8, compressed_size);
  set32(patch + 12, size);
  // Local header: version at 4, method at 8, CRC and sizes at 14.
  if (!sink_->write_at(header_offset_ + 4, ver, 2) || !sink_->write_at(header_offset_ + 8, patch, 2) ||
      !sink_->write_at(header_offset_ + 14, patch + 4, 12))
    return ZipError::write;
  uint8_t* c = record_bytes(records_.back());
  c[6] = ver[0];
  c[7] = ver[1];
  c[10] = patch[0];
  c[11] = patch[1];
  std::memcpy(&c[16], patch + 4, 12);
  return ZipError::none;
}

ZipError ZipWriter::finish() {
  if (in_entry_) return ZipError::bad_format;
  uint64_t cd_start = sink_->position();
  uint64_t cd_size = 0;
  uint16_t count = 0;
  for (const auto& r : records_) {
    if (r.dropped) continue;
    if (!sink_->write(record_bytes(r), r.length)) return ZipError::write;
    cd_size += r.length;
    ++count;
  }
  std::vector<uint8_t> end;
  put32(end, kSigEnd);
  put16(end, 0);
  put16(end, 0);
  put16(end, count);
  put16(end, count);
  put32(end, static_cast<uint32_t>(cd_size));
  put32(end, static_cast<uint32_t>(cd_start));
  put16(end, 0);
  if (cd_start + cd_size + end.size() >= kMaxArchiveSize) return ZipError::too_large;
  if (!sink_->write(end.data(), end.size())) return ZipError::write;
  return ZipError::none;
}

}  // namespace zoras
