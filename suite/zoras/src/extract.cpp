#include "zoras/extract.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
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

// ---- Folders below the destination ----------------------------------------------------
//
// A folder that already exists below the destination may be a link (a junction, a
// folder's symbolic link, a mount point) to another place, and anyone who may write to
// the destination can make one. Followed, it would put the archive's files wherever it
// points, with the rights of the user who extracts. So every level is checked without
// following it and held open while anything is created below it: without delete
// sharing it can be neither renamed nor removed and replaced by a link, and what is
// created below it is created relative to the open level, by a single name, so that no
// path is looked up again after the check.

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

// Looked up rather than imported: the self-decrypting stub links this code, and its
// import table names only DLLs that the system never searches for.
struct NtApi {
  NtCreateFileFn create_file;
  NtSetInformationFileFn set_information_file;
};

const NtApi& nt() {
  static const NtApi api = [] {
    HMODULE m = GetModuleHandleW(L"ntdll.dll");
    return NtApi{reinterpret_cast<NtCreateFileFn>(reinterpret_cast<void*>(GetProcAddress(m, "NtCreateFile"))),
                 reinterpret_cast<NtSetInformationFileFn>(
                     reinterpret_cast<void*>(GetProcAddress(m, "NtSetInformationFile")))};
  }();
  return api;
}

constexpr NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L);

// Opens or creates `name`, one component, in the open folder `dir`.
NTSTATUS create_in(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                   ULONG options, HANDLE& out) {
  out = INVALID_HANDLE_VALUE;
  if (!nt().create_file) return kNotImplemented;
  UNICODE_STRING us;
  us.Buffer = const_cast<PWSTR>(name.c_str());
  us.Length = us.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, dir, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  NTSTATUS s = nt().create_file(&h, access, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition, options,
                                nullptr, 0);
  if (NT_SUCCESS(s)) out = h;
  return s;
}

// Gives the open file `file` the name `name` in the open folder `dir`.
bool rename_in(HANDLE file, HANDLE dir, const std::wstring& name, bool replace) {
  if (!nt().set_information_file) return false;
  const size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buf(
      std::max(sizeof(FILE_RENAME_INFORMATION), offsetof(FILE_RENAME_INFORMATION, FileName) + bytes));
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buf.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = dir;
  info->FileNameLength = static_cast<ULONG>(bytes);
  std::memcpy(info->FileName, name.data(), bytes);
  IO_STATUS_BLOCK io{};
  return NT_SUCCESS(
      nt().set_information_file(file, &io, info, static_cast<ULONG>(buf.size()), FileRenameInformation));
}

// A reparse point that stands for another named object: a junction, a symbolic link, a
// mount point. Other reparse points (a cloud file's placeholder, a deduplicated file)
// are the object itself. One without a tag is how Wine shows a symbolic link of the
// host to a folder.
bool is_link(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// Whether the name at `path` is a link, asked of its directory entry; `attributes` is
// what GetFileAttributesW gave for it.
bool path_is_link(const std::wstring& path, DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW(path.c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return true;  // a reparse point that cannot be told apart
  FindClose(f);
  return is_link(fd.dwFileAttributes, fd.dwReserved0);
}

// Listing access takes part in share checks (attribute access alone does not), so that
// the missing delete sharing holds; a folder that may only be written to is opened for
// adding instead.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kFolderAddAccess =
    FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens or creates the folder `name` in `dir`; `follow` opens what a reparse point
// stands for instead of the reparse point itself.
NTSTATUS open_folder_in(HANDLE dir, const std::wstring& name, bool follow, HANDLE& out) {
  const ULONG options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
  NTSTATUS s = create_in(dir, name, kFolderAccess, kFolderShare, FILE_OPEN_IF, options, out);
  if (s == kAccessDenied) s = create_in(dir, name, kFolderAddAccess, kFolderShare, FILE_OPEN_IF, options, out);
  return s;
}

// The destination and the folders from it down to the current one, each held open.
class FolderChain {
 public:
  FolderChain() = default;
  FolderChain(const FolderChain&) = delete;
  FolderChain& operator=(const FolderChain&) = delete;
  ~FolderChain() {
    close_from(0);
    if (root_ != INVALID_HANDLE_VALUE) CloseHandle(root_);
  }

  // The destination itself is the user's choice: a link there is followed.
  bool open_root(const std::wstring& folder) {
    std::wstring p = folder;
    while (p.size() > 1 && (p.back() == L'\\' || p.back() == L'/') && p[p.size() - 2] != L':') p.pop_back();
    for (ACCESS_MASK access : {kFolderAccess, kFolderAddAccess}) {
      root_ = CreateFileW(p.c_str(), access, kFolderShare, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (root_ != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
    }
    return root_ != INVALID_HANDLE_VALUE;
  }

  // Makes `relative` (below `folder`, which ends in '\\'; '\\' separated, not empty)
  // the innermost held folder, creating what is missing. The levels it shares with the
  // current chain stay held; consecutive entries mostly share them all.
  ExtractError enter(const std::wstring& folder, const std::wstring& relative) {
    if (relative == current_) return ExtractError::none;
    current_.clear();
    std::vector<std::wstring> names;
    for (size_t pos = 0; pos <= relative.size();) {
      size_t sep = relative.find(L'\\', pos);
      if (sep == std::wstring::npos) sep = relative.size();
      names.push_back(relative.substr(pos, sep - pos));
      pos = sep + 1;
    }
    size_t keep = 0;
    while (keep < levels_.size() && keep < names.size() && levels_[keep].name == names[keep]) ++keep;
    close_from(keep);
    std::wstring path = folder;
    for (size_t i = 0; i < keep; ++i) path += names[i] + L'\\';
    for (size_t i = keep; i < names.size(); ++i) {
      path += names[i];
      // Asked of the directory entry first: Wine follows a symbolic link of the host
      // even when told not to, and shows it only there.
      DWORD a = GetFileAttributesW(path.c_str());
      if (path_is_link(path, a)) return ExtractError::link_in_destination;
      if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY)) return ExtractError::write;  // a file in the way
      HANDLE parent = innermost();
      HANDLE h;
      if (!NT_SUCCESS(open_folder_in(parent, names[i], false, h))) return ExtractError::write;
      FILE_ATTRIBUTE_TAG_INFO info{};
      ExtractError refused = ExtractError::none;
      if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info) ||
          !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        refused = ExtractError::write;
      else if (is_link(info.FileAttributes, info.ReparseTag))
        refused = ExtractError::link_in_destination;
      if (refused != ExtractError::none) {
        CloseHandle(h);
        return refused;
      }
      if (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Not a link (a cloud folder's placeholder): opened again as such, for its own
        // handling, while the first handle keeps the name from being replaced.
        HANDLE followed;
        NTSTATUS s = open_folder_in(parent, names[i], true, followed);
        CloseHandle(h);
        if (!NT_SUCCESS(s)) return ExtractError::write;
        h = followed;
      }
      levels_.push_back({names[i], h});
      path += L'\\';
    }
    current_ = relative;
    return ExtractError::none;
  }
  // The held folder that files of the current entry are created in: the destination
  // before enter() was called.
  HANDLE innermost() const { return levels_.empty() ? root_ : levels_.back().handle; }
  HANDLE root() const { return root_; }

 private:
  void close_from(size_t n) {
    while (levels_.size() > n) {
      CloseHandle(levels_.back().handle);
      levels_.pop_back();
    }
  }
  struct Level {
    std::wstring name;
    HANDLE handle;
  };
  HANDLE root_ = INVALID_HANDLE_VALUE;
  std::vector<Level> levels_;
  std::wstring current_;  // the relative path that levels_ holds, once complete
};

// What the file system calls one file: it tells whether a name still leads to it.
struct FileId {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const FileId&) const = default;
};

bool identify(HANDLE h, FileId& id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

constexpr ACCESS_MASK kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFileOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;

// Gives the file `h` the attributes `attributes` (0 is not a value: it leaves them).
bool set_attributes(HANDLE h, DWORD attributes) {
  FILE_BASIC_INFO info{};  // times of zero stay as they are
  info.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info) != 0;
}

// Sets the attributes of `name` in the open folder `dir` only if that name still leads
// to the file `id`.
void set_attributes_of(HANDLE dir, const std::wstring& name, const FileId& id, DWORD attributes) {
  HANDLE h;
  if (!NT_SUCCESS(create_in(dir, name, kAttributeAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            FILE_OPEN, kFileOptions, h)))
    return;
  FileId now;
  if (identify(h, now) && now == id) set_attributes(h, attributes);
  CloseHandle(h);
}

constexpr DWORD kRefusingReplace = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// What FileBasicInfo sets; the rest (a folder, a reparse point, compression) it refuses.
constexpr DWORD kSettable = kRefusingReplace | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                            FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The file that the user agreed to have replaced, held from the question until just
// before the rename without delete sharing (reading data takes part in share checks,
// attribute access alone does not): meanwhile nobody can move it away and another file
// in under its name. Its attributes are changed through a handle on it, never by a name
// that could lead elsewhere by then.
class Replaced {
 public:
  Replaced() = default;
  Replaced(const Replaced&) = delete;
  Replaced& operator=(const Replaced&) = delete;
  ~Replaced() { release(); }

  // `name` in the open folder `dir`, not followed if it is a link.
  void hold(HANDLE dir, const std::wstring& name) {
    dir_ = dir;
    name_ = name;
    if (!NT_SUCCESS(create_in(dir, name, FILE_READ_DATA | kAttributeAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              FILE_OPEN, kFileOptions, h_)))
      return;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!identify(h_, id_) || !GetFileInformationByHandleEx(h_, FileAttributeTagInfo, &tag, sizeof tag) ||
        is_link(tag.FileAttributes, tag.ReparseTag))
      release();
    else
      attributes_ = tag.FileAttributes & kSettable;
  }
  // A rename does not replace a read-only file, nor an open one: clears what would
  // refuse it, then lets the file go.
  void prepare_rename() {
    if (h_ != INVALID_HANDLE_VALUE && (attributes_ & kRefusingReplace) &&
        set_attributes(h_, attributes_ & ~kRefusingReplace))
      cleared_ = true;
    release();
  }
  // After a rename that failed: what prepare_rename() cleared comes back, if the name
  // still leads to the same file.
  void restore() {
    if (cleared_) set_attributes_of(dir_, name_, id_, attributes_);
    cleared_ = false;
  }

 private:
  void release() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
  HANDLE h_ = INVALID_HANDLE_VALUE;
  HANDLE dir_ = nullptr;
  std::wstring name_;
  FileId id_;
  DWORD attributes_ = 0;
  bool cleared_ = false;
};

// A file being extracted: written under a temporary name that the system deletes when
// the handle closes, unless commit() gave it its target's name first. A failure, a
// cancel or a crash therefore never leaves a partial file, and an existing file that
// the user allowed to be replaced is replaced only by a complete, checked one.
class TempFile {
 public:
  ~TempFile() { discard(); }
  // Creates a new temporary file in the held folder `dir`, whose path is `dir_path`
  // (ending in '\\').
  bool create(HANDLE dir, const std::wstring& dir_path) {
    static unsigned counter = GetTickCount();
    for (unsigned tries = 0; tries < 0x10000; ++tries) {
      std::wstring name = temp_name(counter++ & 0xFFFF);
      NTSTATUS s = create_in(dir, name, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, h_);
      if (NT_SUCCESS(s)) {
        dir_ = dir;
        path_ = dir_path + name;
        set_delete(true);
        return true;
      }
      if (s != kNameCollision) return false;
    }
    return false;
  }
  HANDLE handle() const { return h_; }
  const std::wstring& path() const { return path_; }
  // Gives the finished file the name `name` in its folder, whose path makes `target`,
  // replacing an existing file only when `replace` is set (`replaced` holds it, when it
  // could be opened); then sets `attributes` unless they are 0.
  bool commit(const std::wstring& name, const std::wstring& target, bool replace, Replaced& replaced,
              DWORD attributes) {
    if (!set_delete(false)) return false;
    replaced.prepare_rename();
    // Renamed through the handle that wrote it, within the held folder: a rename by
    // name opens the file again, asks about it and closes it, which for thousands of
    // small files costs more than writing them, and looks the folder's path up again.
    // A system that refuses the rename through the handle gets the other.
    bool moved = rename_in(h_, dir_, name, replace);
    if (moved && attributes) set_attributes(h_, attributes);
    FileId id;
    const bool identified = !moved && identify(h_, id);
    CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    if (!moved) {
      moved = MoveFileExW(path_.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
      if (moved && attributes && identified) set_attributes_of(dir_, name, id, attributes);
    }
    if (moved) {
      path_.clear();
      return true;
    }
    replaced.restore();
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
  bool set_delete(bool on) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = on ? TRUE : FALSE;
    return SetFileInformationByHandle(h_, FileDispositionInfo, &info, sizeof info) != 0;
  }
  HANDLE h_ = INVALID_HANDLE_VALUE;
  HANDLE dir_ = nullptr;
  std::wstring path_;
};

// Names without the UTF-8 flag are in the code page of the writer's system, which the
// archive does not record. Windows' own archive folders and the archivers made for it
// take the OEM code page (932 on Japanese Windows, 437 or 850 on Western ones), which is
// also what DOS-era and console tools wrote, and not the ANSI code page.
bool decode_oem_name(std::string_view raw, std::string& utf8) {
  std::wstring w = widen(std::string(raw), GetOEMCP());
  if (w.empty()) return false;
  utf8 = narrow(w, CP_UTF8);
  return !utf8.empty();
}

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
  // Names are checked once decoded, never as bytes: in a name without the UTF-8 flag a
  // 0x5C byte can be the second byte of a double-byte character ("\x95\x5C"), so that
  // "folder" and every separator are decided from the decoded name.
  std::vector<Planned> plan;
  plan.reserve(reader.entries().size());
  std::vector<std::string> parts;
  std::string utf8;
  uint64_t total = 0;
  for (const ZipEntry& e : reader.entries()) {
    if (entry_name_utf8(e, decode_oem_name, utf8) != ZipError::none) return ExtractError::bad_format;
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
  FolderChain folders;
  if (!folders.open_root(folder)) return ExtractError::write;

  events.on_total(total);
  if (events.should_stop()) return ExtractError::cancelled;

  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kOutChunk]);
  if (!buf) return ExtractError::no_memory;
  bool overwrite_all = false;

  for (const Planned& pl : plan) {
    if (pl.is_dir) {
      if (ExtractError err = folders.enter(folder, pl.relative); err != ExtractError::none) return err;
      continue;
    }
    const ZipEntry& e = *pl.entry;
    std::wstring parent = parent_of(pl.relative);
    if (!parent.empty()) {
      if (ExtractError err = folders.enter(folder, parent); err != ExtractError::none) return err;
    }
    HANDLE dir = parent.empty() ? folders.root() : folders.innermost();

    // A link in the target's place is refused as well: answering "overwrite" would
    // otherwise act on whatever it points to.
    DWORD existing = GetFileAttributesW(pl.path.c_str());
    if (path_is_link(pl.path, existing)) return ExtractError::link_in_destination;
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY)) return ExtractError::write;
    const std::wstring name = pl.relative.substr(parent.empty() ? 0 : parent.size() + 1);
    Replaced replaced;
    if (existing != INVALID_FILE_ATTRIBUTES) replaced.hold(dir, name);
    TempFile out;
    if (!out.create(dir, folder + (parent.empty() ? parent : parent + L"\\"))) return ExtractError::write;
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
    // New files already carry the archive attribute.
    DWORD attrs = e.dos_attributes() & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (attrs) attrs |= e.dos_attributes() & FILE_ATTRIBUTE_ARCHIVE;
    if (!out.commit(name, pl.path, existing != INVALID_FILE_ATTRIBUTES, replaced, attrs)) return ExtractError::write;
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
