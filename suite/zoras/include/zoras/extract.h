// Safe extraction of a ZIP archive into a folder (Win32, wide-character paths).
//
// Every entry name is checked before the first byte is written: a name that would land
// outside the folder, reach a device or an alternate data stream, or that Windows cannot
// store makes the whole extraction fail with bad_format and nothing written. Names are
// decoded as zoras::entry_name_utf8 says, those of a code page in the system's OEM code
// page, and checked decoded; whether an entry is a folder is decided from the decoded
// name too. The sum of the declared sizes
// is compared with the destination's free space before anything is written.
// Each file is written under a temporary name in its target's folder (marked for
// deletion while it is written) and moved over its target only once its size and CRC-32
// are checked: damage (CRC, short stream), a full disk or a cancel removes only the
// temporary file, and an existing file survives. Files finished before stay.
// Nothing is written through a link: a folder below the destination (or a target file)
// that is a junction, a symbolic link or a mount point stops the extraction with
// link_in_destination, and each folder is held open while files are created in it, so
// that it cannot be replaced by one meanwhile. The destination itself may be a link.
// Callbacks run on the calling thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "zoras/zip.h"

namespace zoras {

enum class ExistsAnswer { overwrite, skip, overwrite_all, cancel };

class ExtractEvents {
 public:
  virtual ~ExtractEvents() = default;
  // Sum of the sizes of the files, before the first file.
  virtual void on_total(uint64_t /*bytes*/) {}
  // `relative` is the entry's path below the folder ('\' separated), `path` the full path
  // of the temporary file being written (the target's path is in on_exists).
  virtual void on_file_begin(const std::wstring& /*relative*/, const std::wstring& /*path*/,
                             uint64_t /*size*/) {}
  // Per-cent of the current file, each value at most once, ending with 100.
  virtual void on_file_progress(unsigned /*percent*/) {}
  virtual void on_file_end() {}
  // A file to be written exists (asked after on_file_begin of that file).
  virtual ExistsAnswer on_exists(const std::wstring& /*path*/) { return ExistsAnswer::cancel; }
  // Polled after every notification; true stops the extraction (cancelled).
  virtual bool should_stop() { return false; }
};

enum class ExtractError {
  none = 0,
  bad_format,         // damaged archive or unsafe entry name
  crc,
  unsupported,        // encrypted entry, unknown method, split archive, entry of 4 GiB or more
  archive_not_found,
  read,               // archive unreadable
  write,              // a file or folder could not be created or written
  path_too_long,      // destination path of an entry (or of its temporary file) reaches MAX_PATH
  no_space,           // the files declared need more than the destination's free space
  cancelled,          // should_stop() returned true
  overwrite_cancelled,  // on_exists answered cancel
  no_memory,
  link_in_destination,  // a folder or file below the destination is a link to another place
};

struct ExtractOptions {
  // Also refuse paths whose system-code-page form reaches MAX_PATH bytes (callers that
  // pass the paths on to "A" functions need this).
  bool limit_ansi_path = false;
};

ExtractError extract_archive(ByteSource& archive, const std::wstring& folder, ExtractEvents& events,
                             const ExtractOptions& options = {});
ExtractError extract_archive_file(const std::wstring& archive_path, const std::wstring& folder,
                                  ExtractEvents& events, const ExtractOptions& options = {});

ExtractError to_extract_error(ZipError e);

// Archive file opened for reading (shared read), as a ByteSource.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(HANDLE h);  // takes ownership
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  uint64_t size() const override { return size_; }
  bool read_at(uint64_t offset, void* buffer, size_t n) override;
  HANDLE handle() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
  uint64_t size_ = 0;
};

// Conversions used at the boundary between the system code page and ZIP names. narrow
// never best-fits: a character without an exact form becomes '?'.
std::wstring widen(const std::string& s, UINT codepage);
std::string narrow(const std::wstring& s, UINT codepage);

}  // namespace zoras
