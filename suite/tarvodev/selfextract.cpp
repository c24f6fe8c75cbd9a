#include "selfextract.h"

#include <cstring>

#include "crypto.h"
#include "stream.h"

namespace tvdev::sfx {

std::string NormalizePassword(const std::string& password) {
  std::string p = password;
  for (char& c : p)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return p;
}

bool PasswordKey(const std::string& password, const uint8_t salt[16], uint32_t iterations,
                 uint8_t key[32]) {
  const std::string p = NormalizePassword(password);
  return crypto::Pbkdf2Sha256(p.data(), p.size(), salt, 16, iterations, key, 32);
}

namespace {

// The stub is a resource of this library: whoever has the library can make
// self-decrypting files, and the stub always matches the library's format.
bool LoadStub(stream::Bytes* out) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&LoadStub), &self))
    return false;
  HRSRC r = FindResourceA(self, "TVSFXSTUB", MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  HGLOBAL g = r ? LoadResource(self, r) : nullptr;
  const void* p = g ? LockResource(g) : nullptr;
  const DWORD size = r ? SizeofResource(self, r) : 0;
  if (!p || size == 0) return false;
  const auto* b = static_cast<const uint8_t*>(p);
  out->assign(b, b + size);
  return true;
}

}  // namespace

DWORD Create(const std::string& archivePath, const std::string& outputPath,
             const std::string& password, DWORD attemptLimit, bool english,
             TVDEV_PROGRESS progress) {
  if (password.empty()) return TVDEV_ERR_INVALID_ARGUMENT;
  stream::Bytes stub;
  if (!LoadStub(&stub)) return TVDEV_ERR_CRYPTO;
  stream::EncryptRequest req;
  req.inputPath = archivePath;
  req.outputPath = outputPath;
  req.params.derivation = fmt::KeyDerivation::Password;
  req.params.iterations = kPasswordIterations;
  req.params.flags = english ? fmt::kFlagEnglish : 0;
  req.params.attemptLimit = attemptLimit;
  if (!crypto::Random(req.params.salt, 16)) return TVDEV_ERR_CRYPTO;
  uint8_t key[32];
  if (!PasswordKey(password, req.params.salt, kPasswordIterations, key)) return TVDEV_ERR_CRYPTO;
  req.wrapKey = key;
  req.prefix = &stub;
  req.sfxTrailer = true;
  req.progress.callback = progress;
  const DWORD e = stream::Encrypt(req);
  crypto::Wipe(key, 32);
  return e;
}

}  // namespace tvdev::sfx
