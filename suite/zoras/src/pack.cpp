#include "pack.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "zoras/deflate_pool.h"
#include "zoras/extract.h"
#include "zoras/zip.h"

namespace zoras {
namespace {

constexpr size_t kSinkBuffer = 1 << 20;
constexpr size_t kMaxInFlightBytes = 4 * kBlockSize;
constexpr size_t kMaxInFlightUnits = 256;
constexpr size_t kBatchFiles = 32;
constexpr size_t kBatchBytes = 256 * 1024;
constexpr int kLevel = 2;
// Files up to this size are opened and read on a worker thread: with thousands of small
// files the time goes into opening them, which then overlaps.
constexpr uint64_t kSmallFile = 256 * 1024;
// A large file's block buffers are used again for its next blocks: under Wine every
// allocation of a megabyte is a fresh mapping whose pages fault in one by one, which
// cost more than filling them. Room for a block's input or its compressed output.
constexpr size_t kSpareCapacity = kBlockSize + kBlockSize / 256 + 256;
constexpr size_t kMaxSpare = 12;
enum LoadStatus { kLoaded = 0, kLoadCannotOpen, kLoadFailed };

// Archive output through a write buffer; patches of bytes still in the buffer stay there.
//
// Extending an archive never leaves it unreadable: the new entries start where the old
// central directory was, so each write that reaches past what is already on disk
// carries, in the same WriteFile call, a copy of the old central directory and an end
// record pointing at that copy (the "guard"). Whenever the process stops (a crash, a
// kill) the file is the old archive with unreferenced bytes before its directory. The
// last write, with the new central directory, replaces the guard.
class FileSink final : public ByteSink {
 public:
  // Writes from `start`; the file ends at `file_end`. `guard_directory`: the old central
  // directory records (empty when the archive is new), `guard_entries` their number.
  FileSink(HANDLE h, uint64_t start, uint64_t file_end, std::vector<uint8_t> guard_directory = {},
           uint16_t guard_entries = 0)
      : h_(h), base_(start), disk_end_(file_end), guard_(std::move(guard_directory)) {
    buf_.reserve(kSinkBuffer + guard_.size() + kEndRecord);
    if (guard_.empty()) return;
    guarded_ = true;
    const uint32_t n = static_cast<uint32_t>(guard_.size());
    const uint8_t end[kEndRecord] = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0,
                                     static_cast<uint8_t>(guard_entries), static_cast<uint8_t>(guard_entries >> 8),
                                     static_cast<uint8_t>(guard_entries), static_cast<uint8_t>(guard_entries >> 8),
                                     static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                     static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24),
                                     0, 0, 0, 0, 0, 0};
    guard_.insert(guard_.end(), end, end + kEndRecord);
  }
  bool write(const void* data, size_t n) override {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
      // The new directory goes out in one call with the last entry bytes (see drop_guard),
      // so once it has begun the buffer grows to hold all of it, however large.
      size_t take = last_ ? n : std::min(n, kSinkBuffer - buf_.size());
      buf_.insert(buf_.end(), p, p + take);
      p += take;
      n -= take;
      if (buf_.size() >= kSinkBuffer && !last_ && !flush()) return false;
    }
    return true;
  }
  bool write_at(uint64_t offset, const void* data, size_t n) override {
    if (offset >= base_ && offset + n <= base_ + buf_.size()) {
      std::copy_n(static_cast<const uint8_t*>(data), n, buf_.begin() + static_cast<ptrdiff_t>(offset - base_));
      return true;
    }
    if (offset + n > base_ && !flush()) return false;
    return put(offset, data, n);  // below base_: bytes no directory refers to yet
  }
  uint64_t position() const override { return base_ + buf_.size(); }
  // Writes the buffer, followed by the guard while one is kept.
  bool flush() {
    if (buf_.empty()) return true;
    const size_t data = buf_.size();
    if (guarded_) {
      // The end record's comment takes up what is left of the old archive's comment
      // behind it, so that it ends exactly at the end of the file.
      const uint64_t at = base_ + data, end = at + guard_.size();
      const uint64_t stale = disk_end_ > end ? disk_end_ - end : 0;
      if (stale > 0xFFFF) return false;
      buf_.insert(buf_.end(), guard_.begin(), guard_.end());
      uint8_t* rec = buf_.data() + buf_.size() - kEndRecord;
      for (int i = 0; i < 4; ++i) rec[16 + i] = static_cast<uint8_t>(at >> (8 * i));
      rec[20] = static_cast<uint8_t>(stale);
      rec[21] = static_cast<uint8_t>(stale >> 8);
    }
    const bool ok = put(base_, buf_.data(), buf_.size());
    if (ok) {
      disk_end_ = std::max(disk_end_, base_ + buf_.size());
      base_ += data;
    }
    buf_.resize(data);
    if (ok) buf_.clear();
    return ok;
  }
  // From here on the buffer holds the new central directory and end record: no guard
  // after them. Returns the zero bytes to write before the new central directory of
  // `directory_bytes` (with its end record) so that the file never ends before the last
  // guard written, whose stale end record would otherwise be the last one.
  uint64_t drop_guard(uint64_t directory_bytes) {
    guarded_ = false;
    last_ = true;
    const uint64_t end = position() + directory_bytes;
    return disk_end_ > end ? disk_end_ - end : 0;
  }

 private:
  static constexpr size_t kEndRecord = 22;
  bool put(uint64_t offset, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
      OVERLAPPED ov{};
      ov.Offset = static_cast<DWORD>(offset);
      ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD chunk = static_cast<DWORD>(std::min<size_t>(n, 1u << 30)), done = 0;
      if (!WriteFile(h_, p, chunk, &done, &ov) || done != chunk) return false;
      p += done;
      offset += done;
      n -= done;
    }
    return true;
  }
  HANDLE h_;
  uint64_t base_;
  uint64_t disk_end_;  // end of the bytes on disk
  std::vector<uint8_t> guard_;
  bool guarded_ = false;
  bool last_ = false;
  std::vector<uint8_t> buf_;
};

DWORD code_of(ZipError e) {
  switch (e) {
    case ZipError::none: return 0;
    case ZipError::crc: return ARCERR_CRC;
    case ZipError::unsupported: return ARCERR_UNSUPPORTED;
    case ZipError::read: return ARCERR_READ;
    case ZipError::write: return ARCERR_WRITE;
    case ZipError::too_large: return ARCERR_ARCHIVE_TOO_LARGE;
    case ZipError::too_many: return ARCERR_TOO_MANY_FILES;
    case ZipError::cancelled: return ARCERR_CANCELLED;
    case ZipError::no_memory: return ARCERR_NO_MEMORY;
    default: return ARCERR_BAD_FORMAT;
  }
}

void set_times(NewEntry& e, const FILETIME& ft) {
  FILETIME local;
  if (!FileTimeToLocalFileTime(&ft, &local) || !FileTimeToDosDateTime(&local, &e.dos_date, &e.dos_time)) {
    e.dos_date = (1 << 5) | 1;  // outside the DOS range (before 1980): 1980-01-01 00:00
    e.dos_time = 0;
  }
  ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  e.unix_mtime = static_cast<int64_t>(t / 10000000ULL) - 11644473600LL;
  e.has_unix_mtime = true;
}

std::string to_utf8_name(const std::wstring& rel) {
  std::wstring w = rel;
  std::replace(w.begin(), w.end(), L'\\', L'/');
  return narrow(w, CP_UTF8);
}

struct Unit {
  std::shared_ptr<Block> block;  // null: folder or empty file
  bool first = true, last = true;
  bool is_dir = false;
  // Entry data, set on the first unit of an entry.
  NewEntry meta;
  std::string acp_name;  // '\' separated, system code page
  std::wstring full;     // source path, for the question when it cannot be opened
  uint64_t size = 0;
  bool multi_block = false;
  bool loaded_by_worker = false;
  size_t charged = 0;    // bytes counted against the in-flight limit
};

// Reads a whole small file into the block (worker thread).
int load_small_file(const std::wstring& path, Block& b) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kLoadCannotOpen;
  int status = kLoaded;
  LARGE_INTEGER li;
  if (!GetFileSizeEx(h, &li) || static_cast<uint64_t>(li.QuadPart) > kBlockSize) {
    status = kLoadFailed;  // grown past one block since it was listed
  } else {
    b.input.resize(static_cast<size_t>(li.QuadPart));
    size_t got = 0;
    while (got < b.input.size()) {
      DWORD r = 0;
      if (!ReadFile(h, b.input.data() + got, static_cast<DWORD>(b.input.size() - got), &r, nullptr) || r == 0) {
        status = kLoadFailed;
        break;
      }
      got += r;
    }
  }
  CloseHandle(h);
  return status;
}

class Packer {
 public:
  Packer(Session& s, ZipWriter& w, const std::wstring& archive)
      : s_(s), w_(w), archive_(archive), pool_(DeflatePool::default_threads(), kLevel) {}
  ~Packer() { pool_.abandon(); }

  DWORD walk(const std::wstring& full, const std::wstring& rel, const WIN32_FILE_ATTRIBUTE_DATA& fad,
             bool recurse);
  DWORD drain_all() {
    while (!units_.empty())
      if (DWORD e = drain_one()) return e;
    return 0;
  }
  unsigned files() const { return files_; }

 private:
  DWORD add_dir(const std::wstring& rel, const FILETIME& ft, DWORD attrs);
  DWORD add_file(const std::wstring& full, const std::wstring& rel, const WIN32_FILE_ATTRIBUTE_DATA& fad);
  DWORD push(Unit u);
  void flush_batch() {
    if (!batch_.empty()) pool_.submit_batch(std::move(batch_));
    batch_.clear();
    batch_bytes_ = 0;
  }
  DWORD drain_one();
  std::vector<uint8_t> take_spare() {
    std::vector<uint8_t> v;
    if (spare_.empty()) {
      v.reserve(kSpareCapacity);
    } else {
      v = std::move(spare_.back());
      spare_.pop_back();
    }
    return v;
  }
  void give_back(std::vector<uint8_t>& v) {
    if (v.capacity() < kSpareCapacity || spare_.size() >= kMaxSpare) return;
    v.clear();
    spare_.push_back(std::move(v));
  }
  // Answer 2 skips the source, anything else fails the command.
  DWORD cannot_open(const std::wstring& path) {
    DWORD answer = s_.ask(ARCQ_CANNOT_OPEN, narrow(path, CP_ACP));
    if (s_.cancelled()) return ARCERR_CANCELLED;
    return answer == ARCR_SKIP ? 0 : ARCERR_CANNOT_OPEN;
  }
  DWORD notify(UINT code, LPARAM data) {
    s_.notify(code, data);
    return s_.cancelled() ? ARCERR_CANCELLED : 0;
  }

  Session& s_;
  ZipWriter& w_;
  std::wstring archive_;
  DeflatePool pool_;
  std::deque<Unit> units_;
  std::vector<std::shared_ptr<Block>> batch_;  // small files not yet handed to the pool
  size_t batch_bytes_ = 0;
  size_t in_flight_bytes_ = 0;
  std::vector<std::vector<uint8_t>> spare_;
  unsigned files_ = 0;
  // Entry being written by drain_one.
  uint16_t method_ = kMethodStored;
  uint32_t crc_ = 0;
  uint64_t csize_ = 0, done_ = 0, size_ = 0;
  unsigned percent_ = 0;
};

DWORD Packer::push(Unit u) {
  u.charged = u.block ? (u.loaded_by_worker ? static_cast<size_t>(u.size) : u.block->input.size()) : 0;
  while (!units_.empty() &&
         (units_.size() >= kMaxInFlightUnits || in_flight_bytes_ + u.charged > kMaxInFlightBytes))
    if (DWORD e = drain_one()) return e;
  if (u.block) {
    in_flight_bytes_ += u.charged;
    if (u.loaded_by_worker) {
      batch_.push_back(u.block);
      batch_bytes_ += u.charged;
      if (batch_.size() >= kBatchFiles || batch_bytes_ >= kBatchBytes) flush_batch();
    } else {
      flush_batch();
      pool_.submit(u.block);
    }
  }
  units_.push_back(std::move(u));
  return 0;
}

DWORD Packer::drain_one() {
  Unit u = std::move(units_.front());
  units_.pop_front();
  if (u.block) {
    if (std::find(batch_.begin(), batch_.end(), u.block) != batch_.end()) flush_batch();
    pool_.wait(u.block);
    in_flight_bytes_ -= u.charged;
    // Asked here, in order: everything before this file has been reported.
    if (u.block->load_status == kLoadCannotOpen) return cannot_open(u.full);
    if (u.block->load_status != kLoaded) return ARCERR_READ;
    if (u.block->failed) return ARCERR_NO_MEMORY;
    if (u.loaded_by_worker) u.size = u.block->input.size();
  }
  const Block* b = u.block.get();
  if (u.first) {
    if (u.is_dir || !b) method_ = kMethodStored;
    else if (!b->compress) method_ = kMethodStored;
    else if (!u.multi_block && b->output.size() >= b->input.size()) method_ = kMethodStored;
    else method_ = kMethodDeflate;
    if (ZipError e = w_.begin_entry(u.meta, method_); e != ZipError::none) return code_of(e);
    crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
    csize_ = done_ = 0;
    size_ = u.size;
    percent_ = ~0u;
    if (!u.is_dir) {
      ArchiverEntryRecord rec{};
      copy_field(rec.DisplayName, sizeof rec.DisplayName, u.acp_name);
      copy_field(rec.EntryName, sizeof rec.EntryName, u.acp_name);
      rec.PackSize = static_cast<uint32_t>(u.size);
      if (DWORD e = notify(ARCN_FILE_BEGIN, reinterpret_cast<LPARAM>(&rec))) return e;
    }
  }
  if (b) {
    const auto& data = method_ == kMethodDeflate ? b->output : b->input;
    if (ZipError e = w_.write_data(data.data(), data.size()); e != ZipError::none) return code_of(e);
    crc_ = static_cast<uint32_t>(crc32_combine(crc_, b->crc, static_cast<z_off_t>(b->input.size())));
    csize_ += data.size();
    done_ += b->input.size();
    // Only once nothing else holds the block: the next block of the file takes its
    // dictionary from this one's input.
    if (!u.loaded_by_worker && u.block.use_count() == 1) {
      give_back(u.block->input);
      give_back(u.block->output);
    }
  }
  if (!u.is_dir) {
    unsigned percent = size_ ? static_cast<unsigned>(done_ * 100 / size_) : 100;
    if (percent != percent_) {
      percent_ = percent;
      if (DWORD e = notify(ARCN_FILE_PROGRESS, static_cast<LPARAM>(percent))) return e;
    }
  }
  if (u.last) {
    if (ZipError e = w_.end_entry(crc_, static_cast<uint32_t>(csize_), static_cast<uint32_t>(done_), method_);
        e != ZipError::none)
      return code_of(e);
    if (!u.is_dir)
      if (DWORD e = notify(ARCN_FILE_END, 0)) return e;
  }
  return 0;
}

DWORD Packer::add_dir(const std::wstring& rel, const FILETIME& ft, DWORD attrs) {
  Unit u;
  u.is_dir = true;
  u.meta.name = to_utf8_name(rel) + "/";
  u.meta.dos_attributes = (attrs & 0x37) | FILE_ATTRIBUTE_DIRECTORY;
  set_times(u.meta, ft);
  return push(std::move(u));
}

DWORD Packer::add_file(const std::wstring& full, const std::wstring& rel, const WIN32_FILE_ATTRIBUTE_DATA& fad) {
  if (CompareStringOrdinal(full.c_str(), -1, archive_.c_str(), -1, TRUE) == CSTR_EQUAL) return 0;
  const FILETIME& ft = fad.ftLastWriteTime;
  const DWORD attrs = fad.dwFileAttributes;
  const uint64_t listed = (static_cast<uint64_t>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
  if (listed <= kSmallFile) {
    ++files_;
    Unit u;
    u.meta.name = to_utf8_name(rel);
    u.meta.dos_attributes = attrs & 0x27;
    set_times(u.meta, ft);
    u.acp_name = narrow(rel, CP_ACP);
    u.full = full;
    u.size = listed;
    u.loaded_by_worker = true;
    u.block = std::make_shared<Block>();
    u.block->load = [full](Block& b) { return load_small_file(full, b); };
    return push(std::move(u));
  }
  HANDLE h = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // The question comes after everything before this file has been reported.
    if (DWORD e = drain_all()) return e;
    return cannot_open(full);
  }
  struct Closer {
    HANDLE h;
    ~Closer() { CloseHandle(h); }
  } closer{h};
  LARGE_INTEGER li;
  if (!GetFileSizeEx(h, &li)) return ARCERR_READ;
  const uint64_t size = static_cast<uint64_t>(li.QuadPart);
  if (size > 0xFFFFFFFEu) return ARCERR_ARCHIVE_TOO_LARGE;
  ++files_;

  Unit head;
  head.meta.name = to_utf8_name(rel);
  head.meta.dos_attributes = attrs & 0x27;
  set_times(head.meta, ft);
  head.acp_name = narrow(rel, CP_ACP);
  head.size = size;
  head.multi_block = size > kBlockSize;
  if (size == 0) return push(std::move(head));

  uint64_t left = size;
  bool first = true, compress = true;
  std::shared_ptr<Block> prev;
  while (left > 0) {
    auto b = std::make_shared<Block>();
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, kBlockSize));
    b->input = take_spare();
    b->input.resize(n);
    b->output = take_spare();
    size_t got = 0;
    while (got < n) {
      DWORD r = 0;
      if (!ReadFile(h, b->input.data() + got, static_cast<DWORD>(n - got), &r, nullptr)) return ARCERR_READ;
      if (r == 0) return ARCERR_READ;  // the file shrank while being packed
      got += r;
    }
    left -= n;
    if (first && head.multi_block) compress = worth_compressing(b->input.data(), n, kLevel);
    b->compress = compress;
    b->final = left == 0;
    if (prev && compress) {
      size_t d = std::min(kDictionarySize, prev->input.size());
      b->dictionary.assign(prev->input.end() - static_cast<ptrdiff_t>(d), prev->input.end());
    }
    Unit u;
    if (first) u = std::move(head);
    u.block = b;
    u.first = first;
    u.last = left == 0;
    if (DWORD e = push(std::move(u))) return e;
    prev = b;
    first = false;
  }
  return 0;
}

DWORD Packer::walk(const std::wstring& full, const std::wstring& rel, const WIN32_FILE_ATTRIBUTE_DATA& fad,
                   bool recurse) {
  if (!(fad.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return add_file(full, rel, fad);
  if (DWORD e = add_dir(rel, fad.ftLastWriteTime, fad.dwFileAttributes)) return e;
  // Folder links are recorded as folders but not followed: they may lead anywhere,
  // also back into the tree.
  if (!recurse || (fad.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;

  struct Child {
    std::wstring name;
    WIN32_FILE_ATTRIBUTE_DATA fad;
  };
  std::vector<Child> children;
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileExW((full + L"\\*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                              FIND_FIRST_EX_LARGE_FETCH);
  if (f == INVALID_HANDLE_VALUE) {
    // A folder that cannot be listed is a source that cannot be opened, not an empty one.
    if (DWORD e = drain_all()) return e;
    return cannot_open(full);
  }
  do {
    if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L"..")) continue;
    Child c;
    c.name = fd.cFileName;
    c.fad.dwFileAttributes = fd.dwFileAttributes;
    c.fad.ftCreationTime = fd.ftCreationTime;
    c.fad.ftLastAccessTime = fd.ftLastAccessTime;
    c.fad.ftLastWriteTime = fd.ftLastWriteTime;
    c.fad.nFileSizeHigh = fd.nFileSizeHigh;
    c.fad.nFileSizeLow = fd.nFileSizeLow;
    children.push_back(std::move(c));
  } while (FindNextFileW(f, &fd));
  FindClose(f);
  std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) { return a.name < b.name; });
  for (const Child& c : children)
    if (DWORD e = walk(full + L"\\" + c.name, rel + L"\\" + c.name, c.fad, true)) return e;
  return 0;
}

}  // namespace

DWORD pack_source(Session& session, const std::wstring& archive, const std::wstring& source,
                  const std::wstring& entry_root, bool recurse) {
  WIN32_FILE_ATTRIBUTE_DATA fad;
  if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &fad)) return ARCERR_FILE_NOT_FOUND;
  if ((fad.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !recurse) return ARCERR_DIRECTORY_GIVEN;

  // An existing archive is extended: new entries start at its central directory, which
  // stays readable as the sink's guard until the new one is written; its original bytes
  // are kept to put the archive back exactly if this command fails. Others may read the
  // archive meanwhile: it is complete at every moment.
  // Delete sharing: the caller may hold its temporary archive delete-on-close so that a
  // kill leaves no plaintext behind; an empty file is such a reservation, and the archive
  // is written into it rather than beside it.
  bool created = false, reserved = false;
  HANDLE h = CreateFileW(archive.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND) return ARCERR_WRITE;
    h = CreateFileW(archive.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ARCERR_WRITE;
    created = true;
  } else {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) {
      CloseHandle(h);
      return ARCERR_READ;
    }
    reserved = created = size.QuadPart == 0;
  }
  FileSource file(h);  // owns h
  ZipReader existing;
  std::vector<uint8_t> tail;
  uint64_t start = 0;
  if (!created) {
    if (ZipError e = existing.open(file, false); e != ZipError::none) return code_of(e);
    start = existing.central_directory_offset();
    tail.resize(static_cast<size_t>(file.size() - start));
    if (!file.read_at(start, tail.data(), tail.size())) return ARCERR_READ;
  }

  FileSink sink(h, start, file.size(), created ? std::vector<uint8_t>() : existing.central_directory(),
                created ? 0 : static_cast<uint16_t>(existing.entries().size()));
  ZipWriter writer;
  writer.start(sink, created ? nullptr : &existing);
  DWORD err = 0;
  {
    Packer packer(session, writer, archive);
    err = packer.walk(source, entry_root, fad, recurse);
    if (!err) err = packer.drain_all();
    if (!err && packer.files() == 0) err = ARCERR_FILE_NOT_FOUND;  // a folder without any file
  }
  if (!err) {
    static const std::vector<uint8_t> zeros(4096);
    for (uint64_t pad = sink.drop_guard(writer.pending_directory_size()); pad > 0 && !err;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(pad, zeros.size()));
      if (!sink.write(zeros.data(), n)) err = ARCERR_WRITE;
      pad -= n;
    }
  }
  if (!err) err = code_of(writer.finish());
  if (!err && !sink.flush()) err = ARCERR_WRITE;
  if (!err) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(sink.position());
    if (!SetFilePointerEx(h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) err = ARCERR_WRITE;
  }
  if (err) {
    if (reserved) {
      LARGE_INTEGER zero{};
      if (SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) SetEndOfFile(h);
      return err;
    }
    if (created) {
      CloseHandle(file.release());
      DeleteFileW(archive.c_str());
      return err;
    }
    FileSink restore(h, start, start);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(start + tail.size());
    if (restore.write(tail.data(), tail.size()) && restore.flush())
      if (SetFilePointerEx(h, end, nullptr, FILE_BEGIN)) SetEndOfFile(h);
  }
  return err;
}

}  // namespace zoras
