#include "selfextract.h"

#include <cstring>
#include <type_traits>

#include "crypto.h"
#include "stream.h"

namespace tvdev::sfx {

namespace {

template <typename Char>
std::optional<std::string> Canonical(std::basic_string_view<Char> password) {
  // Built in place and returned as is, so no copy of the text is left behind.
  std::optional<std::string> out(std::in_place, password.size(), '\0');
  for (size_t i = 0; i < password.size(); ++i) {
    const auto c = static_cast<std::make_unsigned_t<Char>>(password[i]);
    if (c < 0x21 || c > 0x7E) {
      crypto::Wipe(out->data(), out->size());
      out.reset();
      break;
    }
    (*out)[i] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  if (out && out->empty()) out.reset();
  return out;
}

// Wipes a canonical password on every way out of the function that holds it.
struct Wiped {
  std::optional<std::string>& s;
  ~Wiped() {
    if (s) crypto::Wipe(s->data(), s->size());
  }
};

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

std::optional<std::string> CanonicalPassword(std::string_view password) {
  return Canonical(password);
}

std::optional<std::string> CanonicalPassword(std::wstring_view password) {
  return Canonical(password);
}

bool PasswordKey(const std::string& canonical, const uint8_t salt[16], uint32_t iterations,
                 uint8_t key[32]) {
  return crypto::Pbkdf2Sha256(canonical.data(), canonical.size(), salt, 16, iterations, key, 32);
}

DWORD Create(const std::string& archivePath, const std::string& outputPath,
             const std::string& password, DWORD attemptLimit, bool english,
             TVDEV_PROGRESS progress) {
  std::optional<std::string> canonical = CanonicalPassword(password);
  Wiped wiped{canonical};
  if (!canonical) return TVDEV_ERR_INVALID_ARGUMENT;
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
  if (!PasswordKey(*canonical, req.params.salt, kPasswordIterations, key)) {
    crypto::Wipe(key, 32);
    return TVDEV_ERR_CRYPTO;
  }
  req.wrapKey = key;
  req.prefix = &stub;
  req.sfxTrailer = true;
  req.progress.callback = progress;
  const DWORD e = stream::Encrypt(req);
  crypto::Wipe(key, 32);
  return e;
}

}  // namespace tvdev::sfx
