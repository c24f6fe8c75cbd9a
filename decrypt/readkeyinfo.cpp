// The block reader over the crypto library: the fixed keys come from the library's
// contract, so the program reads exactly what the library writes.
#include <cstring>

#include "contracts/tvdev.h"
#include "decryptjob.h"
#include "velvoxdlg.h"

namespace {

void DecipherWithLibrary(uint32_t type, unsigned char* body, uint32_t length, void*) {
  const unsigned char* key = type == KEYREC_DES          ? kKeyInfoKeyDes
                             : type == KEYREC_TRIPLE_DES ? kKeyInfoKeyTripleDes
                                                         : kKeyInfoKeyAes;
  const DWORD algorithm = type == KEYREC_DES          ? KEY_ALG_DES
                          : type == KEYREC_TRIPLE_DES ? KEY_ALG_TRIPLE_DES
                                                      : KEY_ALG_AES;
  // A body that does not decipher is not detected here: its name then matches no key.
  TVDEV_CryptMemoryInDirect(1, key, algorithm, body, body, length, 0);
}

}  // namespace

BOOL ParseKeyInfoBlock(std::FILE* stream, ArchiveKeyInfo* out) {
  return ParseKeyInfoBlock(stream, out, DecipherWithLibrary, nullptr) ? 1 : 0;
}

BOOL CVelvoxDlg::ReadArchiveKeyInfo(const char* path, char* keyName, unsigned char* keyIdBlock) {
  if (!path) return 0;
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  ArchiveKeyInfo info;
  const BOOL ok = ParseKeyInfoBlock(f, &info);
  std::fclose(f);
  if (!ok) return 0;
  std::memcpy(keyName, info.KeyName, sizeof info.KeyName);
  std::memcpy(keyIdBlock, info.KeyIdBlock, 32);
  return 1;
}
