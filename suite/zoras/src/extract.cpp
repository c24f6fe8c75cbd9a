#include "zoras/extract.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace zoras {
namespace {

constexpr size_t kOutChunk = 1 << 20;

struct Planned {
  const ZipEntry* entry;
  std::wstring relative;  // '\' separated
  std::wstring path;      // folder + relative
  bool is_dir;
};

// FILETIME from a Unix time, or from the DOS local time of the entry.
bool entry_filetime(const ZipEntry& e, FILETIME& ft) {
  if (e.has_unix_mtime) {
    ULONGLONG t = static_cast<ULONGLONG>(e.unix_mtime + 11644473600LL) * 10000000ULL;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return true;
  }
  FILETIME local;
  return DosDateTimeToFileTime(e.dos_date, e.dos_time, &local) && LocalFileTimeToFileTime(&local, &ft);
}

ExtractError make_dirs(const std::wstring& folder, const std::wstring& relative) {
  // Creates each level below `folder`; a file in the way is a write failure.
  size_t pos = 0;
  while (pos <= relative.size()) {
    size_t sep = relative.find(L'\\', pos);
    if (sep == std::wstring::npos) sep = relative.size();
    std::wstring p = folder + relative.substr(0, sep);
    DWORD a = GetFileAttributesW(p.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
      if (!CreateDirectoryW(p.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return ExtractError::write;
    } else if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
      return ExtractError::write;
    }
    pos = sep + 1;
  }
  return ExtractError::none;
}

std::wstring parent_of(const std::wstring& relative) {
  size_t sep = relative.rfind(L'\\');
  return sep == std::wstring::npos ? std::wstring() : relative.substr(0, sep);
}

// The temporary name a file is written under, in the folder of its target: the same
// length for every file, so the path check below covers every name we create.
constexpr wchar_t kTempPrefix[] = L"~zr";
constexpr wchar_t kTempSuffix[] = L".tmp";
constexpr size_t kTempDigits = 4;

std::wstring temp_name(unsigned n) {
  wchar_t digits[kTempDigits + 1];
  for (size_t i = 0; i < kTempDigits; ++i) digits[i] = L"0123456789abcdef"[(n >> (4 * (kTempDigits - 1 - i))) & 15];
  digits[kTempDigits] = L'\0';
  return std::wstring(kTempPrefix) + digits + kTempSuffix;
}

bool path_fits(const std::wstring& path, bool limit_ansi) {
  if (path.size() >= MAX_PATH) return false;
  if (!limit_ansi) return true;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  return n > 0 && n <= MAX_PATH;
}

// Free bytes for the caller on the volume of `folder`, asked of its nearest existing
// ancestor (the folder itself may not exist yet; nothing is created before the check).
bool free_bytes(const std::wstring& folder, uint64_t& bytes) {
  std::wstring p = folder;
  for (;;) {
    ULARGE_INTEGER avail;
    if (GetDiskFreeSpaceExW(p.c_str(), &avail, nullptr, nullptr)) {
      bytes = avail.QuadPart;
      return true;
    }
    while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    size_t sep = p.find_last_of(L"\\/");
    if (sep == std::wstring::npos) return false;
    p.resize(sep + 1);
  }
}

// A file being extracted: written under a temporary name that the system deletes when
// the handle closes, unless commit() moved it over its target first. A failure, a
// cancel or a crash therefore never leaves a partial file, and an existing file that
// the user allowed to be replaced is replaced only by a complete, checked one.
class TempFile {
 public:
  ~TempFile() { discard(); }
  // Creates a new temporary file in `dir` (ending in '\\').
  bool create(const std::wstring& dir) {
    static unsigned counter = GetTickCount();
    for (unsigned tries = 0; tries < 0x10000; ++tries) {
      std::wstring p = dir + temp_name(counter++ & 0xFFFF);
      h_ = CreateFileW(p.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h_ != INVALID_HANDLE_VALUE) {
        path_ = p;
        set_delete(true);
        return true;
      }
      DWORD err = GetLastError();
      if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
  }
  HANDLE handle() const { return h_; }
  const std::wstring& path() const { return path_; }
  // Moves the finished file to `target`, replacing it only when `replace` is set.
  bool commit(const std::wstring& target, bool replace) {
    if (!set_delete(false)) return false;
    DWORD old = INVALID_FILE_ATTRIBUTES;
    if (replace) {
      old = GetFileAttributesW(target.c_str());
      if (old != INVALID_FILE_ATTRIBUTES && (old & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    // Renamed through the handle that wrote it: a rename by name opens the file again,
    // asks about it and closes it, which for thousands of small files costs more than
    // writing them. A system that refuses the rename through the handle gets the other.
    bool moved = rename_open(target, replace);
    CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    if (!moved) moved = MoveFileExW(path_.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
    if (moved) {
      path_.clear();
      return true;
    }
    if (old != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(target.c_str(), old);
    return false;
  }
  void discard() {
    if (h_ != INVALID_HANDLE_VALUE) {
      set_delete(true);
      CloseHandle(h_);
      h_ = INVALID_HANDLE_VALUE;
    }
    // Also where the delete-on-close disposition could not be set.
    if (!path_.empty()) DeleteFileW(path_.c_str());
    path_.clear();
  }

 private:
  bool rename_open(const std::wstring& target, bool replace) {
    std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
    return SetFileInformationByHandle(h_, FileRenameInfo, info, static_cast<DWORD>(buf.size())) != 0;
  }
  bool set_delete(bool on) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = on ? TRUE : FALSE;
    return SetFileInformationByHandle(h_, FileDispositionInfo, &info, sizeof info) != 0;
  }
  HANDLE h_ = INVALID_HANDLE_VALUE;
  std::wstring path_;
};

}  // namespace

std::wstring widen(const std::string& s, UINT cp) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// No best-fit mapping: it turns characters without an exact form (U+00A5 in code page
// 932, among others) into '\\' or '/', and a caller using the narrow path would then
// name another file. They become the default character '?', which no path contains.
std::string narrow(const std::wstring& w, UINT cp) {
  if (w.empty()) return {};
  const DWORD flags = cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int n = WideCharToMultiByte(cp, flags, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, flags, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

ExtractError to_extract_error(ZipError e) {
  switch (e) {
    case ZipError::none: return ExtractError::none;
    case ZipError::crc: return ExtractError::crc;
    case ZipError::unsupported: return ExtractError::unsupported;
    case ZipError::read: return ExtractError::read;
    case ZipError::write: return ExtractError::write;
    case ZipError::cancelled: return ExtractError::cancelled;
    case ZipError::no_memory: return ExtractError::no_memory;
    default: return ExtractError::bad_format;
  }
}

FileSource::FileSource(HANDLE h) : h_(h) {
  LARGE_INTEGER li;
  if (h_ != INVALID_HANDLE_VALUE && GetFileSizeEx(h_, &li)) size_ = static_cast<uint64_t>(li.QuadPart);
}

FileSource::~FileSource() {
  if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
}

bool FileSource::read_at(uint64_t offset, void* buffer, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  auto* p = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 30)), got = 0;
    if (!ReadFile(h_, p, want, &got, &ov) || got == 0) return false;
    p += got;
    offset += got;
    n -= got;
  }
  return true;
}

ExtractError extract_archive(ByteSource& archive, const std::wstring& folder_in, ExtractEvents& events,
                             const ExtractOptions& options) {
  ZipReader reader;
  if (ZipError e = reader.open(archive); e != ZipError::none) return to_extract_error(e);

  std::wstring folder = folder_in;
  if (folder.empty()) return ExtractError::write;
  if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';

  // Plan every entry first: one unsafe or unrepresentable name refuses the archive.
  // "Folder" is decided from the decoded name: in a name without the UTF-8 flag a final
  // 0x5C byte can be the second byte of a double-byte character ("\x95\x5C").
  std::vector<Planned> plan;
  plan.reserve(reader.entries().size());
  std::vector<std::string> parts;
  uint64_t total = 0;
  for (const ZipEntry& e : reader.entries()) {
    std::string utf8 = e.name;
    if (!e.utf8) {
      std::wstring w = widen(e.name, CP_ACP);
      if (w.empty()) return ExtractError::bad_format;
      utf8 = narrow(w, CP_UTF8);
    }
    bool is_dir = false;
    if (split_safe_name(utf8, parts, is_dir) != ZipError::none) return ExtractError::bad_format;
    if (is_dir && e.size != 0) return ExtractError::bad_format;
    std::wstring rel;
    for (const auto& p : parts) {
      std::wstring w = widen(p, CP_UTF8);
      if (w.empty() || w.size() > 255) return ExtractError::bad_format;
      if (!rel.empty()) rel += L'\\';
      rel += w;
    }
    Planned pl{&e, rel, folder + rel, is_dir};
    if (!path_fits(pl.path, options.limit_ansi_path)) return ExtractError::path_too_long;
    if (!is_dir) {
      std::wstring parent = parent_of(rel);
      if (!path_fits(folder + (parent.empty() ? parent : parent + L"\\") + temp_name(0), options.limit_ansi_path))
        return ExtractError::path_too_long;
      total += e.size;
    }
    plan.push_back(std::move(pl));
  }

  // The reader holds every entry to its declared size, so an archive that declares more
  // than the destination can take fails here, before anything is written.
  uint64_t available = 0;
  if (free_bytes(folder, available) && total > available) return ExtractError::no_space;

  DWORD fa = GetFileAttributesW(folder.c_str());
  if (fa == INVALID_FILE_ATTRIBUTES) {
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return ExtractError::write;
  } else if (!(fa & FILE_ATTRIBUTE_DIRECTORY)) {
    return ExtractError::write;
  }

  events.on_total(total);
  if (events.should_stop()) return ExtractError::cancelled;

  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kOutChunk]);
  if (!buf) return ExtractError::no_memory;
  bool overwrite_all = false;
  // Folder known to exist with all its parents: consecutive entries mostly share one,
  // and every file-system call counts when an archive holds thousands of small files.
  std::wstring made = L"\x01";

  for (const Planned& pl : plan) {
    if (pl.is_dir) {
      if (ExtractError err = make_dirs(folder, pl.relative); err != ExtractError::none) return err;
      made = pl.relative;
      continue;
    }
    const ZipEntry& e = *pl.entry;
    std::wstring parent = parent_of(pl.relative);
    if (!parent.empty() && parent != made) {
      if (ExtractError err = make_dirs(folder, parent); err != ExtractError::none) return err;
      made = parent;
    }

    DWORD existing = GetFileAttributesW(pl.path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY)) return ExtractError::write;
    TempFile out;
    if (!out.create(folder + (parent.empty() ? parent : parent + L"\\"))) return ExtractError::write;
    // The path reported is the one being written: a caller that deletes it after a
    // cancel removes the partial file, never the file it was told exists.
    events.on_file_begin(pl.relative, out.path(), e.size);
    if (events.should_stop()) return ExtractError::cancelled;

    if (existing != INVALID_FILE_ATTRIBUTES) {
      ExistsAnswer a = overwrite_all ? ExistsAnswer::overwrite : events.on_exists(pl.path);
      if (events.should_stop()) return ExtractError::cancelled;
      if (a == ExistsAnswer::cancel) return ExtractError::overwrite_cancelled;
      if (a == ExistsAnswer::skip) {
        out.discard();
        events.on_file_end();
        if (events.should_stop()) return ExtractError::cancelled;
        continue;
      }
      if (a == ExistsAnswer::overwrite_all) overwrite_all = true;
    }

    EntryReader in(archive, e);
    unsigned last_percent = ~0u;
    for (;;) {
      size_t got = 0;
      if (ZipError err = in.read(buf.get(), kOutChunk, got); err != ZipError::none) return to_extract_error(err);
      if (got == 0) break;
      DWORD written = 0;
      if (!WriteFile(out.handle(), buf.get(), static_cast<DWORD>(got), &written, nullptr) || written != got)
        return ExtractError::write;
      unsigned percent = e.size ? static_cast<unsigned>(in.produced() * 100 / e.size) : 100;
      if (percent != last_percent && percent < 100) {
        last_percent = percent;
        events.on_file_progress(percent);
        if (events.should_stop()) return ExtractError::cancelled;
      }
    }
    // Size and CRC-32 are checked: the file is complete. A cancel at 100 still keeps
    // whatever the target was.
    FILETIME ft;
    if (entry_filetime(e, ft)) SetFileTime(out.handle(), nullptr, nullptr, &ft);
    events.on_file_progress(100);
    if (events.should_stop()) return ExtractError::cancelled;
    if (!out.commit(pl.path, existing != INVALID_FILE_ATTRIBUTES)) return ExtractError::write;
    // New files already carry the archive attribute.
    DWORD attrs = e.dos_attributes() & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (attrs) SetFileAttributesW(pl.path.c_str(), attrs | (e.dos_attributes() & FILE_ATTRIBUTE_ARCHIVE));
    events.on_file_end();
    if (events.should_stop()) return ExtractError::cancelled;
  }
  return ExtractError::none;
}

ExtractError extract_archive_file(const std::wstring& archive_path, const std::wstring& folder,
                                  ExtractEvents& events, const ExtractOptions& options) {
  // Delete sharing: a caller's decrypted archive is held delete-on-close by its owner.
  HANDLE h = CreateFileW(archive_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    return (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) ? ExtractError::archive_not_found
                                                                         : ExtractError::read;
  }
  FileSource src(h);
  return extract_archive(src, folder, events, options);
}

}  // namespace zoras
