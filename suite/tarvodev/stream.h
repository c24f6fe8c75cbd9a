// File-to-file encryption and decryption of the chunked AES-256-GCM stream.
//
// Every chunk is one GCM message under the file's random data key, with the chunk index
// and a final-chunk flag as nonce and the SHA-256 of the whole key-information block as
// associated data: a changed header byte, a reordered, dropped or appended chunk and a
// cut file all fail authentication. Output goes to a temporary name in the output folder,
// marked for deletion until it is complete and moved into place, so a failure, a cancel
// or a crash leaves nothing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/tvdev.h"
#include "format/xss_format.h"

namespace tvdev::stream {

using Bytes = std::vector<uint8_t>;

struct Progress {
  TVDEV_PROGRESS callback = nullptr;
  // True when the callback asked to stop.
  bool Report(uint64_t done, uint64_t total) const;
};

// The part of a path before its last separator (double-byte aware); "." when none.
std::string FolderOf(const std::string& path);

// A file written under a temporary name beside its final path.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  DWORD Create(const std::string& finalPath);
  // Writes into an existing empty file instead; Abort empties it again.
  DWORD CreateInPlace(const std::string& path);
  bool Write(const void* data, size_t size);
  DWORD Commit();
  void Abort();

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
  bool inPlace_ = false;
  std::string temp_;
  std::string final_;
};

struct EncryptRequest {
  std::string inputPath;
  std::string outputPath;
  fmt::PayloadParams params;         // derivation, iterations, salt, keyId, flags, limit
  uint32_t keyRecordType = 0;        // 0: no key record
  fmt::KeyRecord keyRecord;
  const uint8_t* wrapKey = nullptr;  // 32 bytes: key material or password-derived key
  const Bytes* prefix = nullptr;     // bytes written before the block (stub program)
  bool sfxTrailer = false;           // append the payload-offset trailer
  uint32_t chunkSize = fmt::kDefaultChunkSize;
  Progress progress;
};

DWORD Encrypt(const EncryptRequest& req);

// An encrypted payload opened for reading: the parsed block and its raw bytes.
struct Payload {
  HANDLE file = INVALID_HANDLE_VALUE;
  uint64_t offset = 0;  // where the block starts in the file
  Bytes blockBytes;
  fmt::ParsedBlock block;
};

// Reads and checks the block at `offset`; `end` is where the payload must end.
// TVDEV_ERR_BAD_FORMAT when the block is malformed or the size does not match it.
DWORD ReadPayload(HANDLE file, uint64_t offset, uint64_t end, Payload* out);
// Recovers the data key; false when `wrapKey` is not the one it was wrapped under (or
// the block was altered).
bool UnwrapDataKey(const fmt::PayloadParams& p, const uint8_t wrapKey[32], uint8_t dataKey[32]);
DWORD DecryptTo(const Payload& payload, const uint8_t dataKey[32], const std::string& outputPath,
                const Progress& progress);
// Writes the deciphered archive to an open file at its current position, for a caller
// that keeps the plaintext in a file of its own (the self-decrypting stub's
// delete-on-close file). On failure part of it may have been written.
DWORD DecryptToHandle(const Payload& payload, const uint8_t dataKey[32], HANDLE output,
                      const Progress& progress);

// Size of a file by handle; false on failure.
bool FileSize(HANDLE h, uint64_t* size);

}  // namespace tvdev::stream
