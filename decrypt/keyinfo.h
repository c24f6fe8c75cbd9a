// The key-information block at the head of an encrypted archive: the name and the
// identifier of the key that the archive was made with. Free of Win32 so that the parse
// loop also builds natively for fuzzing; the caller passes in the deciphering of a
// record body.
#pragma once

#include <cstdint>
#include <cstdio>

// One decoded key record. Only KeyName and the first 32 bytes of KeyIdBlock mean
// something to the program; the other fields are carried as the writer left them.
struct ArchiveKeyInfo {
  uint32_t Word0;
  uint32_t Word1;
  char KeyName[33];      // at most 32 bytes and always a final NUL
  char KeyIdBlock[65];   // 64 bytes of identifier and a final NUL
  unsigned char KeyBlock[32];
  uint32_t Algorithm;    // KeyAlgorithm code of the record type: 0, 1 or 2
  uint32_t Word2;
  uint32_t DataOffset;   // first byte after the block: record-area length + 32
  uint32_t Word3;
};

// Deciphers, in place, the first `length` bytes of `body`, the enciphered prefix of a
// key record of type `type` (1, 2 or 3). `length` is 136 or 160 and never more than the
// bytes that `body` holds.
typedef void (*KeyInfoDecipher)(uint32_t type, unsigned char* body, uint32_t length,
                                void* context);

// Reads the block from `stream` (binary, at the start of the file) into `out`, which is
// zeroed first. 1 when at least one key record was decoded (the last one wins), 0 for a
// missing, cut or damaged block. No record size in the file makes it allocate: a body
// is never larger than the file holds, and only its enciphered prefix is kept.
int ParseKeyInfoBlock(std::FILE* stream, ArchiveKeyInfo* out, KeyInfoDecipher decipher,
                      void* context);
