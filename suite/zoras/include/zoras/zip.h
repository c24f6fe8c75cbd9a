// ZIP reading, writing and entry-name checking, free of Win32 (it also builds natively
// for the fuzzer). Every archive stays below 2^31 bytes and 65535 entries, each entry
// below 4 GiB. The writer needs no Zip64 for that and writes none; the reader takes the
// Zip64 records that other writers add even to small archives. Names are written as
// UTF-8 with general-purpose bit 11 set.
//
// Nothing here allocates without bound: the reader keeps the central directory (at most
// 64 KiB entries), entry data is streamed through caller buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zoras {

enum class ZipError {
  none = 0,
  bad_format,   // damaged, truncated or inconsistent archive; unsafe entry name
  crc,          // entry data does not match its CRC-32
  unsupported,  // encrypted entry, unknown method, split archive, entry of 4 GiB or more
  read,         // the byte source failed
  write,        // the byte sink failed
  too_large,    // the archive would reach kMaxArchiveSize, or an entry 4 GiB
  too_many,     // more than 65535 entries
  cancelled,
  no_memory,
};

constexpr uint64_t kMaxArchiveSize = 0x80000000u;  // archives stay strictly below this
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint16_t kFlagUtf8 = 0x0800;

// Random-access input (an archive file). read_at succeeds only when all n bytes are read.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  virtual bool read_at(uint64_t offset, void* buffer, size_t n) = 0;
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read_at(uint64_t offset, void* buffer, size_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// Sequential output with patching of bytes already written (an archive file).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(const void* data, size_t n) = 0;
  virtual bool write_at(uint64_t offset, const void* data, size_t n) = 0;
  virtual uint64_t position() const = 0;
};

struct ZipEntry {
  std::string name;            // as stored: UTF-8 when utf8 is set, else the writer's code page
  bool utf8 = false;
  // Info-ZIP's Unicode Path field (0x7075) of the central record, kept only when it is
  // of version 1, its CRC-32 is that of `name` (so it was written for this very name)
  // and it is UTF-8.
  bool has_unicode_path = false;
  std::string unicode_path;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t version_made_by = 0;
  uint16_t dos_time = 0, dos_date = 0;
  bool has_unix_mtime = false;  // from the extended-timestamp extra field (0x5455)
  int64_t unix_mtime = 0;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t size = 0;
  uint32_t external_attrs = 0;
  uint32_t local_offset = 0;   // these three also when the record's Zip64 field gave them
  uint64_t data_offset = 0;    // first byte of the entry's data, checked inside the archive
  uint32_t cd_offset = 0;      // its record within ZipReader::central_directory()
  uint32_t cd_length = 0;
  bool is_dir() const;  // ends in '/', or in '\\' in a UTF-8 name (see zip.cpp)
  uint32_t dos_attributes() const;  // low byte of the attributes when written by a DOS/NTFS host
  unsigned host() const { return version_made_by >> 8; }  // 0 MS-DOS, 3 Unix, 11 NTFS, ...
};

// Reads the end record (and the Zip64 end record its locator names) and the central
// directory and checks every entry against its local header; nothing is trusted before
// it is checked against the archive's size. A Zip64 value is taken only where its
// 16- or 32-bit field holds the escape value; a field of the end record that is not
// escaped must agree with the Zip64 end record.
class ZipReader {
 public:
  // check_local_headers = false skips reading each entry's local header (and the
  // overlap check): for extending an archive, whose entries are not read back.
  ZipError open(ByteSource& source, bool check_local_headers = true);
  const std::vector<ZipEntry>& entries() const { return entries_; }
  // Offset where new entries go when the archive is extended, and the raw central
  // directory records that are kept.
  uint32_t central_directory_offset() const { return cd_offset_; }
  const std::vector<uint8_t>& central_directory() const { return cd_; }
  uint64_t total_size() const;  // sum of the uncompressed sizes of the files

 private:
  std::vector<ZipEntry> entries_;
  std::vector<uint8_t> cd_;
  uint32_t cd_offset_ = 0;
};

// Streams one entry's uncompressed data; the last read (got == 0) verifies the size and
// the CRC-32. A short or overlong stream is bad_format, a wrong checksum is crc.
class EntryReader {
 public:
  EntryReader(ByteSource& source, const ZipEntry& entry);
  ~EntryReader();
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;
  ZipError read(uint8_t* buffer, size_t capacity, size_t& got);
  uint64_t produced() const { return produced_; }

 private:
  ZipError fill();
  ByteSource& source_;
  const ZipEntry& entry_;
  void* zstream_ = nullptr;
  std::vector<uint8_t> in_;
  size_t in_pos_ = 0, in_len_ = 0;
  uint64_t consumed_ = 0;   // compressed bytes taken from the source
  uint64_t produced_ = 0;
  uint32_t crc_ = 0;
  bool ended_ = false;
  bool done_ = false;
};

// ---- Names ------------------------------------------------------------------------------

// Splits an entry name (UTF-8) into path components that are safe to create below a
// destination folder on Windows: no absolute path, drive, UNC or device prefix, no "."
// or "..", no ':' (drive letters and alternate data streams), no character Windows
// cannot store (controls, <>:"|?*), no component ending in a dot or space, no reserved
// device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, with or without
// extension). '/' and '\' both separate. A trailing separator marks a folder.
// Returns bad_format for anything else.
ZipError split_safe_name(std::string_view utf8, std::vector<std::string>& parts, bool& is_dir);
bool is_valid_utf8(std::string_view s);

// Turns a name stored in a code page (no UTF-8 flag) into UTF-8; false when the bytes
// are not a name of that code page. The caller chooses the code page: on Windows the
// system's OEM code page, as the system's own archive folders read such names.
using LegacyNameDecoder = std::function<bool(std::string_view raw, std::string& utf8)>;

// The entry's name in UTF-8, chosen as Windows archivers read names: the name itself
// when the UTF-8 flag is set; else the Unicode Path field (see ZipEntry); else, from a
// Unix host, the name when it is valid UTF-8 (Unix tools store their UTF-8 names without
// the flag); else the name through `legacy`. bad_format when nothing decodes. The
// result is not yet checked: pass it to split_safe_name, never its raw bytes.
ZipError entry_name_utf8(const ZipEntry& entry, const LegacyNameDecoder& legacy, std::string& utf8);

// ---- Writing ----------------------------------------------------------------------------

struct NewEntry {
  std::string name;            // UTF-8, '/' separated, folders end in '/'
  uint16_t dos_time = 0, dos_date = 0;
  bool has_unix_mtime = false;
  int64_t unix_mtime = 0;
  uint32_t dos_attributes = 0;  // FILE_ATTRIBUTE_* low byte
};

// Writes local entries and then the central directory. To extend an archive, start at
// the old central directory's offset with its records (entries of the same name as a
// new entry are dropped from it when the new central directory is written).
class ZipWriter {
 public:
  // `existing` (may be null) is the archive being extended; the sink is positioned at
  // its central_directory_offset().
  void start(ByteSink& sink, const ZipReader* existing = nullptr);
  // Writes the local header; data follows through write_data; end_entry patches the
  // header's CRC, sizes and method.
  ZipError begin_entry(const NewEntry& entry, uint16_t method);
  ZipError write_data(const void* data, size_t n);
  ZipError end_entry(uint32_t crc, uint32_t compressed_size, uint32_t size, uint16_t method);
  ZipError finish();
  // Bytes that finish() will add for the central directory and end record so far.
  uint64_t pending_directory_size() const;
  size_t entry_count() const;

 private:
  bool fits(uint64_t more) const;
  ByteSink* sink_ = nullptr;
  // The central records wait in memory until finish(), up to 65,535 of them: one
  // allocation each for a record and its name, and a map holding the name again, cost
  // about three times the records' own bytes. So they are packed one after the other
  // into large chunks (never moved, so a chunk's growth copies nothing), and the
  // names are found through a digest and compared in the records themselves.
  struct Record {
    uint32_t chunk = 0;
    uint32_t offset = 0;  // within the chunk
    uint32_t length = 0;
    bool dropped = false;  // a later entry of the same name replaced it
  };
  uint8_t* record_bytes(const Record& r) { return chunks_[r.chunk].data() + r.offset; }
  const uint8_t* record_bytes(const Record& r) const { return chunks_[r.chunk].data() + r.offset; }
  std::string_view record_name(const Record& r) const;
  // The live record of that name, or records_.size().
  size_t find_live(std::string_view name) const;
  void add_live(const uint8_t* bytes, size_t n, std::string_view name);
  std::vector<std::vector<uint8_t>> chunks_;
  std::vector<Record> records_;   // kept ones first, then the new ones
  std::unordered_multimap<uint64_t, uint32_t> live_;  // digest of a name -> its live record
  uint64_t live_bytes_ = 0;       // central directory size of the live records
  NewEntry current_;
  uint64_t header_offset_ = 0;
  uint64_t data_written_ = 0;
  bool in_entry_ = false;
};

}  // namespace zoras
