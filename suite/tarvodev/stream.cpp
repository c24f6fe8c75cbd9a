#include "stream.h"

#include <algorithm>
#include <cstring>

#include "crypto.h"

namespace tvdev::stream {

namespace {

// About 1 MiB per read and write: few system calls, buffers that stay in the cache, and
// a fixed memory use whatever the file size.
constexpr size_t kBatchBytes = 1024 * 1024;
constexpr size_t kWritePiece = 256 * 1024;
// Aim for about this many progress reports over a file.
constexpr uint64_t kReports = 200;

constexpr uint8_t kDataKeyLabel[16] = {'T', 'V', 'D', 'E', 'V', ' ', 'd', 'a',
                                       't', 'a', ' ', 'k', 'e', 'y', 0, 0};

void DataKeyAad(const fmt::PayloadParams& p, uint8_t aad[48]) {
  std::memcpy(aad, kDataKeyLabel, 16);
  std::memcpy(aad + 16, p.keyId, 16);
  std::memcpy(aad + 32, p.salt, 16);
}

bool ReadExact(HANDLE h, void* buf, size_t size) {
  auto* p = static_cast<uint8_t*>(buf);
  while (size > 0) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 0x40000000));
    if (!ReadFile(h, p, want, &got, nullptr) || got == 0) return false;
    p += got;
    size -= got;
  }
  return true;
}

bool Seek(HANDLE h, uint64_t offset) {
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(h, li, nullptr, FILE_BEGIN) != FALSE;
}

// Chunks per batch: enough for few system calls, few enough for a smooth bar.
size_t BatchChunks(uint64_t chunks, uint32_t chunkSize) {
  const uint64_t byBytes = std::max<uint64_t>(1, kBatchBytes / chunkSize);
  const uint64_t byReports = std::max<uint64_t>(1, chunks / kReports);
  return static_cast<size_t>(std::min(byBytes, byReports));
}

bool SetDeleteOnClose(HANDLE h, bool del) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = del;
  return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != FALSE;
}

bool WriteAll(HANDLE h, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    DWORD put = 0;
    // At most 256 KiB per call: on the Linux kernel under the test machines' Wine,
    // page-aligned writes of 1 MiB and more into the page cache measured two to three
    // times slower than 256 KiB ones (bench/crypto); on Windows the size does not matter.
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, kWritePiece));
    if (!WriteFile(h, p, want, &put, nullptr) || put == 0) return false;
    p += put;
    size -= put;
  }
  return true;
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() { Close(); }
  void Close() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
};

}  // namespace

bool Progress::Report(uint64_t done, uint64_t total) const {
  if (!callback) return false;
  // The callback takes 32-bit counts: scale both by the same power of two.
  while (total > 0xFFFFFFFFull) {
    total >>= 1;
    done >>= 1;
  }
  return callback(static_cast<DWORD>(total), static_cast<DWORD>(done), 0, 0, 0) == 1;
}

std::string FolderOf(const std::string& path) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsDBCSLeadByte(c) && i + 1 < path.size()) {
      ++i;
      continue;
    }
    if (c == '\\' || c == '/' || c == ':') last = i;
  }
  if (last == std::string::npos) return ".";
  if (path[last] == ':') return path.substr(0, last + 1) + ".";
  if (last == 0) return path.substr(0, 1);
  if (last == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, last);
}

bool FileSize(HANDLE h, uint64_t* size) {
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(h, &li) || li.QuadPart < 0) return false;
  *size = static_cast<uint64_t>(li.QuadPart);
  return true;
}

OutputFile::~OutputFile() { Abort(); }

DWORD OutputFile::Create(const std::string& finalPath) {
  Abort();
  const DWORD attrs = GetFileAttributesA(finalPath.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
    return TVDEV_ERR_WRITE;
  char tmp[MAX_PATH + 1] = {};
  if (!GetTempFileNameA(FolderOf(finalPath).c_str(), "tvd", 0, tmp)) return TVDEV_ERR_WRITE;
  temp_ = tmp;
  final_ = finalPath;
  h_ = CreateFileA(tmp, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  // Marked for deletion until Commit: a process killed or crashing half-way leaves no
  // partial file, since the system deletes it when it closes the handle.
  if (h_ == INVALID_HANDLE_VALUE || !SetDeleteOnClose(h_, true)) {
    Abort();
    return TVDEV_ERR_WRITE;
  }
  return TVDEV_ERR_NONE;
}

DWORD OutputFile::CreateInPlace(const std::string& path) {
  Abort();
  // Never through a link, and only into a regular file that holds nothing yet.
  h_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  if (h_ == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h_, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      info.nFileSizeLow != 0 || info.nFileSizeHigh != 0) {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return TVDEV_ERR_WRITE;
  }
  inPlace_ = true;
  return TVDEV_ERR_NONE;
}

bool OutputFile::Write(const void* data, size_t size) { return WriteAll(h_, data, size); }

DWORD OutputFile::Commit() {
  if (h_ == INVALID_HANDLE_VALUE) return TVDEV_ERR_WRITE;
  if (inPlace_) {
    const bool closed = CloseHandle(h_) != FALSE;
    h_ = INVALID_HANDLE_VALUE;
    inPlace_ = false;
    return closed ? TVDEV_ERR_NONE : TVDEV_ERR_WRITE;
  }
  const bool kept = SetDeleteOnClose(h_, false);
  const bool closed = CloseHandle(h_) != FALSE && kept;
  h_ = INVALID_HANDLE_VALUE;
  if (!closed || !MoveFileExA(temp_.c_str(), final_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    Abort();
    return TVDEV_ERR_WRITE;
  }
  temp_.clear();
  return TVDEV_ERR_NONE;
}

void OutputFile::Abort() {
  if (inPlace_ && h_ != INVALID_HANDLE_VALUE) {
    // What was written is not the whole, authenticated content: the file goes back to
    // the empty file it was.
    LARGE_INTEGER zero{};
    if (SetFilePointerEx(h_, zero, nullptr, FILE_BEGIN)) SetEndOfFile(h_);
  }
  inPlace_ = false;
  if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  h_ = INVALID_HANDLE_VALUE;
  if (!temp_.empty()) DeleteFileA(temp_.c_str());
  temp_.clear();
}

DWORD Encrypt(const EncryptRequest& req) {
  if (!req.wrapKey || req.chunkSize < fmt::kMinChunkSize || req.chunkSize > fmt::kMaxChunkSize)
    return TVDEV_ERR_INVALID_ARGUMENT;
  Handle in;
  // Delete sharing: the caller may hold its temporary archive delete-on-close.
  in.h = CreateFileA(req.inputPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  uint64_t length = 0;
  if (in.h == INVALID_HANDLE_VALUE || !FileSize(in.h, &length)) return TVDEV_ERR_READ;
  if (!fmt::StreamSize(length, req.chunkSize)) return TVDEV_ERR_TOO_LARGE;

  fmt::PayloadParams params = req.params;
  params.version = fmt::kPayloadVersion;
  params.chunkSize = req.chunkSize;
  params.plainLength = length;
  uint8_t dataKey[32];
  uint8_t aad[48];
  DataKeyAad(params, aad);
  crypto::Gcm wrap;
  bool ok = crypto::Random(dataKey, 32) && crypto::Random(params.wrapNonce, 12) &&
            wrap.SetKey(req.wrapKey) &&
            wrap.Seal(params.wrapNonce, aad, sizeof aad, dataKey, 32, params.wrappedKey,
                      params.wrapTag);
  crypto::Gcm gcm;
  ok = ok && gcm.SetKey(dataKey);
  crypto::Wipe(dataKey, 32);
  if (!ok) return TVDEV_ERR_CRYPTO;

  fmt::Bytes keyBody;
  if (req.keyRecordType != 0) {
    fmt::KeyRecord rec = req.keyRecord;
    rec.type = req.keyRecordType;
    keyBody = fmt::EncodeKeyRecordBody(rec);
    const int alg = fmt::KeyRecordAlgorithm(rec.type);
    const uint8_t* fixed = alg == 0 ? kKeyInfoKeyDes : alg == 1 ? kKeyInfoKeyTripleDes : kKeyInfoKeyAes;
    if (keyBody.empty() || !crypto::EcbInPlace(true, alg, fixed, keyBody.data(), keyBody.size()))
      return TVDEV_ERR_CRYPTO;
  }
  const fmt::Bytes block = fmt::BuildBlock(req.keyRecordType, keyBody, params);
  uint8_t headerHash[32];
  if (!crypto::Sha256(block.data(), block.size(), headerHash)) return TVDEV_ERR_CRYPTO;

  OutputFile out;
  if (DWORD e = out.Create(req.outputPath)) return e;
  if (req.prefix && !out.Write(req.prefix->data(), req.prefix->size())) return TVDEV_ERR_WRITE;
  if (!out.Write(block.data(), block.size())) return TVDEV_ERR_WRITE;
  if (req.progress.Report(0, length)) return TVDEV_ERR_CANCELLED;

  const uint64_t chunks = fmt::ChunkCount(length, req.chunkSize);
  const size_t perBatch = BatchChunks(chunks, req.chunkSize);
  const size_t chunk = req.chunkSize;
  std::vector<uint8_t> plain(perBatch * chunk);
  std::vector<uint8_t> cipher(perBatch * (chunk + fmt::kTagSize));
  uint64_t done = 0;
  for (uint64_t index = 0; index < chunks;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(perBatch, chunks - index));
    const size_t bytes = static_cast<size_t>(std::min<uint64_t>(n * chunk, length - done));
    if (!ReadExact(in.h, plain.data(), bytes)) return TVDEV_ERR_READ;
    uint8_t* w = cipher.data();
    for (size_t i = 0; i < n; ++i, ++index) {
      const size_t size = std::min(chunk, bytes - i * chunk);
      uint8_t nonce[12];
      fmt::ChunkNonce(index, index + 1 == chunks, nonce);
      if (!gcm.Seal(nonce, headerHash, 32, plain.data() + i * chunk, size, w, w + size))
        return TVDEV_ERR_CRYPTO;
      w += size + fmt::kTagSize;
    }
    if (!out.Write(cipher.data(), static_cast<size_t>(w - cipher.data()))) return TVDEV_ERR_WRITE;
    done += bytes;
    if (index < chunks && req.progress.Report(done, length)) return TVDEV_ERR_CANCELLED;
  }
  crypto::Wipe(plain.data(), plain.size());
  if (req.sfxTrailer) {
    const fmt::Bytes t = fmt::EncodeSfxTrailer(req.prefix ? req.prefix->size() : 0);
    if (!out.Write(t.data(), t.size())) return TVDEV_ERR_WRITE;
  }
  in.Close();
  if (req.progress.Report(length, length)) return TVDEV_ERR_CANCELLED;
  return out.Commit();
}

DWORD ReadPayload(HANDLE file, uint64_t offset, uint64_t end, Payload* out) {
  if (end < offset) return TVDEV_ERR_BAD_FORMAT;
  const uint64_t avail = end - offset;
  Bytes head(fmt::kBlockHeaderSize);
  if (avail < head.size() || !Seek(file, offset) || !ReadExact(file, head.data(), head.size()))
    return TVDEV_ERR_BAD_FORMAT;
  size_t needed = 0;
  fmt::ParsedBlock block;
  fmt::ParseStatus st = fmt::ParseBlock(head.data(), head.size(), &block, &needed);
  if (st == fmt::ParseStatus::NeedMore) {
    if (needed <= head.size() || needed > avail) return TVDEV_ERR_BAD_FORMAT;
    const size_t have = head.size();
    head.resize(needed);
    if (!ReadExact(file, head.data() + have, needed - have)) return TVDEV_ERR_BAD_FORMAT;
    st = fmt::ParseBlock(head.data(), head.size(), &block, &needed);
  }
  if (st != fmt::ParseStatus::Ok) return TVDEV_ERR_BAD_FORMAT;
  const auto stream = fmt::StreamSize(block.payload.plainLength, block.payload.chunkSize);
  if (!stream || block.dataOffset + *stream != avail) return TVDEV_ERR_BAD_FORMAT;
  out->file = file;
  out->offset = offset;
  out->blockBytes = std::move(head);
  out->block = std::move(block);
  return TVDEV_ERR_NONE;
}

bool UnwrapDataKey(const fmt::PayloadParams& p, const uint8_t wrapKey[32], uint8_t dataKey[32]) {
  uint8_t aad[48];
  DataKeyAad(p, aad);
  crypto::Gcm gcm;
  return gcm.SetKey(wrapKey) &&
         gcm.Open(p.wrapNonce, aad, sizeof aad, p.wrappedKey, 32, dataKey, p.wrapTag);
}

namespace {

// Deciphers every chunk into `write`, reporting progress; the last report (done =
// total) comes after the last write.
template <typename Write>
DWORD Decipher(const Payload& payload, const uint8_t dataKey[32], const Progress& progress,
               Write&& write) {
  const fmt::PayloadParams& p = payload.block.payload;
  uint8_t headerHash[32];
  crypto::Gcm gcm;
  if (!crypto::Sha256(payload.blockBytes.data(), payload.blockBytes.size(), headerHash) ||
      !gcm.SetKey(dataKey))
    return TVDEV_ERR_CRYPTO;
  if (!Seek(payload.file, payload.offset + payload.block.dataOffset)) return TVDEV_ERR_READ;

  const uint64_t length = p.plainLength;
  if (progress.Report(0, length)) return TVDEV_ERR_CANCELLED;
  const uint64_t chunks = fmt::ChunkCount(length, p.chunkSize);
  const size_t perBatch = BatchChunks(chunks, p.chunkSize);
  const size_t chunk = p.chunkSize;
  std::vector<uint8_t> cipher(perBatch * (chunk + fmt::kTagSize));
  std::vector<uint8_t> plain(perBatch * chunk);
  // Deciphered data never outlive the call in memory, whichever way it ends.
  struct Wiper {
    std::vector<uint8_t>& b;
    ~Wiper() { crypto::Wipe(b.data(), b.size()); }
  } wiper{plain};
  uint64_t done = 0;
  for (uint64_t index = 0; index < chunks;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(perBatch, chunks - index));
    const size_t bytes = static_cast<size_t>(std::min<uint64_t>(n * chunk, length - done));
    if (!ReadExact(payload.file, cipher.data(), bytes + n * fmt::kTagSize))
      return TVDEV_ERR_BAD_FORMAT;
    const uint8_t* r = cipher.data();
    for (size_t i = 0; i < n; ++i, ++index) {
      const size_t size = std::min(chunk, bytes - i * chunk);
      uint8_t nonce[12];
      fmt::ChunkNonce(index, index + 1 == chunks, nonce);
      if (!gcm.Open(nonce, headerHash, 32, r, size, plain.data() + i * chunk, r + size))
        return TVDEV_ERR_BAD_FORMAT;
      r += size + fmt::kTagSize;
    }
    if (!write(plain.data(), bytes)) return TVDEV_ERR_WRITE;
    done += bytes;
    if (index < chunks && progress.Report(done, length)) return TVDEV_ERR_CANCELLED;
  }
  if (progress.Report(length, length)) return TVDEV_ERR_CANCELLED;
  return TVDEV_ERR_NONE;
}

}  // namespace

DWORD DecryptTo(const Payload& payload, const uint8_t dataKey[32], const std::string& outputPath,
                const Progress& progress) {
  OutputFile out;
  // An existing empty file is the caller's reservation for the plaintext (held
  // delete-on-close, so that a kill leaves nothing): it is written in place, since a file
  // moved over it would not carry its owner's disposition.
  WIN32_FILE_ATTRIBUTE_DATA fad;
  const bool reserved = GetFileAttributesExA(outputPath.c_str(), GetFileExInfoStandard, &fad) &&
                        !(fad.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                        fad.nFileSizeLow == 0 && fad.nFileSizeHigh == 0;
  if (DWORD e = reserved ? out.CreateInPlace(outputPath) : out.Create(outputPath)) return e;
  const DWORD e = Decipher(payload, dataKey, progress,
                           [&](const void* d, size_t n) { return out.Write(d, n); });
  return e ? e : out.Commit();
}

DWORD DecryptToHandle(const Payload& payload, const uint8_t dataKey[32], HANDLE output,
                      const Progress& progress) {
  return Decipher(payload, dataKey, progress,
                  [&](const void* d, size_t n) { return WriteAll(output, d, n); });
}

}  // namespace tvdev::stream
