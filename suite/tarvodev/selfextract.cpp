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
  DropSignature(out);
  return true;
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
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

void DropSignature(std::vector<uint8_t>* image) {
  std::vector<uint8_t>& b = *image;
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return;
  const size_t nt = Get32(b, 0x3C);
  // Sizes compared by what is left after an offset: no sum can wrap on 32-bit.
  if (nt > b.size() || b.size() - nt < 24 + 2 || Get32(b, nt) != 0x00004550 /* "PE" */)
    return;
  const size_t optional = nt + 24;
  const bool pe32plus = (b[optional] | b[optional + 1] << 8) == 0x20B;
  const size_t count = pe32plus ? 108 : 92;  // NumberOfRvaAndSizes, then the directories
  const size_t security = count + 4 + 4 * 8;  // directory 4: the certificate table
  if (b.size() - optional < security + 8 || Get32(b, optional + count) <= 4) return;
  const uint32_t offset = Get32(b, optional + security);
  const uint32_t size = Get32(b, optional + security + 4);
  if (offset == 0 && size == 0) return;
  Put32(image, optional + security, 0);
  Put32(image, optional + security + 4, 0);
  Put32(image, optional + 64, 0);  // the checksum covered the table: 0 is "none"
  if (offset != 0 && offset < b.size()) b.resize(offset);
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
