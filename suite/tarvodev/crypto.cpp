#include "crypto.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>

namespace tvdev::crypto {

namespace {

bool Ok(NTSTATUS s) { return s >= 0; }

// Algorithm providers are opened once per process and kept: opening one is far more
// expensive than using it, and CNG handles are safe to share between threads.
struct Providers {
  BCRYPT_ALG_HANDLE rng = nullptr;
  BCRYPT_ALG_HANDLE sha = nullptr;
  BCRYPT_ALG_HANDLE hmac = nullptr;
  BCRYPT_ALG_HANDLE gcm = nullptr;
  BCRYPT_ALG_HANDLE ecb = nullptr;
};

const Providers& Get() {
  static Providers p = [] {
    Providers r;
    BCryptOpenAlgorithmProvider(&r.rng, BCRYPT_RNG_ALGORITHM, nullptr, 0);
    BCryptOpenAlgorithmProvider(&r.sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptOpenAlgorithmProvider(&r.hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (Ok(BCryptOpenAlgorithmProvider(&r.gcm, BCRYPT_AES_ALGORITHM, nullptr, 0)) &&
        !Ok(BCryptSetProperty(r.gcm, BCRYPT_CHAINING_MODE, (PUCHAR)BCRYPT_CHAIN_MODE_GCM,
                              sizeof(BCRYPT_CHAIN_MODE_GCM), 0))) {
      BCryptCloseAlgorithmProvider(r.gcm, 0);
      r.gcm = nullptr;
    }
    if (Ok(BCryptOpenAlgorithmProvider(&r.ecb, BCRYPT_AES_ALGORITHM, nullptr, 0)) &&
        !Ok(BCryptSetProperty(r.ecb, BCRYPT_CHAINING_MODE, (PUCHAR)BCRYPT_CHAIN_MODE_ECB,
                              sizeof(BCRYPT_CHAIN_MODE_ECB), 0))) {
      BCryptCloseAlgorithmProvider(r.ecb, 0);
      r.ecb = nullptr;
    }
    return r;
  }();
  return p;
}

bool Hash(BCRYPT_ALG_HANDLE alg, const void* key, size_t keySize, const void* data,
          size_t size, uint8_t out[32]) {
  if (!alg) return false;
  BCRYPT_HASH_HANDLE h = nullptr;
  if (!Ok(BCryptCreateHash(alg, &h, nullptr, 0, (PUCHAR)key, static_cast<ULONG>(keySize), 0)))
    return false;
  bool ok = true;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (ok && size > 0) {
    const ULONG n = static_cast<ULONG>(size > 0x40000000 ? 0x40000000 : size);
    ok = Ok(BCryptHashData(h, (PUCHAR)p, n, 0));
    p += n;
    size -= n;
  }
  ok = ok && Ok(BCryptFinishHash(h, out, 32, 0));
  BCryptDestroyHash(h);
  return ok;
}

}  // namespace

bool Random(void* out, size_t size) {
  const auto& p = Get();
  return p.rng && size <= 0xFFFFFFFF &&
         Ok(BCryptGenRandom(p.rng, static_cast<PUCHAR>(out), static_cast<ULONG>(size), 0));
}

bool Sha256(const void* data, size_t size, uint8_t out[32]) {
  return Hash(Get().sha, nullptr, 0, data, size, out);
}

bool HmacSha256(const void* key, size_t keySize, const void* data, size_t size, uint8_t out[32]) {
  return Hash(Get().hmac, key, keySize, data, size, out);
}

bool Pbkdf2Sha256(const void* password, size_t passwordSize, const uint8_t* salt,
                  size_t saltSize, uint32_t iterations, uint8_t* out, size_t outSize) {
  const auto& p = Get();
  if (!p.hmac || iterations == 0) return false;
  return Ok(BCryptDeriveKeyPBKDF2(p.hmac, (PUCHAR)password, static_cast<ULONG>(passwordSize),
                                  (PUCHAR)salt, static_cast<ULONG>(saltSize), iterations, out,
                                  static_cast<ULONG>(outSize), 0));
}

Gcm::~Gcm() {
  if (key_) BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key_));
}

bool Gcm::SetKey(const uint8_t key[32]) {
  if (key_) {
    BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key_));
    key_ = nullptr;
  }
  const auto& p = Get();
  if (!p.gcm) return false;
  BCRYPT_KEY_HANDLE h = nullptr;
  if (!Ok(BCryptGenerateSymmetricKey(p.gcm, &h, nullptr, 0, (PUCHAR)key, 32, 0))) return false;
  key_ = h;
  return true;
}

namespace {
void InitInfo(BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO* info, const uint8_t nonce[12],
              const void* aad, size_t aadSize, uint8_t* tag) {
  BCRYPT_INIT_AUTH_MODE_INFO(*info);
  info->pbNonce = const_cast<uint8_t*>(nonce);
  info->cbNonce = 12;
  info->pbAuthData = static_cast<PUCHAR>(const_cast<void*>(aad));
  info->cbAuthData = static_cast<ULONG>(aadSize);
  info->pbTag = tag;
  info->cbTag = 16;
}
}  // namespace

bool Gcm::Seal(const uint8_t nonce[12], const void* aad, size_t aadSize, const void* plain,
               size_t size, void* cipher, uint8_t tag[16]) {
  if (!key_ || size > 0xFFFFFFFF) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  InitInfo(&info, nonce, aad, aadSize, tag);
  ULONG done = 0;
  return Ok(BCryptEncrypt(static_cast<BCRYPT_KEY_HANDLE>(key_),
                          static_cast<PUCHAR>(const_cast<void*>(plain)),
                          static_cast<ULONG>(size), &info, nullptr, 0,
                          static_cast<PUCHAR>(cipher), static_cast<ULONG>(size), &done, 0)) &&
         done == size;
}

bool Gcm::Open(const uint8_t nonce[12], const void* aad, size_t aadSize, const void* cipher,
               size_t size, void* plain, const uint8_t tag[16]) {
  if (!key_ || size > 0xFFFFFFFF) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  InitInfo(&info, nonce, aad, aadSize, const_cast<uint8_t*>(tag));
  ULONG done = 0;
  return Ok(BCryptDecrypt(static_cast<BCRYPT_KEY_HANDLE>(key_),
                          static_cast<PUCHAR>(const_cast<void*>(cipher)),
                          static_cast<ULONG>(size), &info, nullptr, 0,
                          static_cast<PUCHAR>(plain), static_cast<ULONG>(size), &done, 0)) &&
         done == size;
}

namespace {

bool AesEcb(bool encrypt, const uint8_t* key, uint8_t* data, size_t size) {
  const auto& p = Get();
  if (!p.ecb) return false;
  BCRYPT_KEY_HANDLE h = nullptr;
  if (!Ok(BCryptGenerateSymmetricKey(p.ecb, &h, nullptr, 0, (PUCHAR)key, 32, 0))) return false;
  ULONG done = 0;
  const ULONG n = static_cast<ULONG>(size);
  const NTSTATUS s = encrypt ? BCryptEncrypt(h, data, n, nullptr, nullptr, 0, data, n, &done, 0)
                             : BCryptDecrypt(h, data, n, nullptr, nullptr, 0, data, n, &done, 0);
  BCryptDestroyKey(h);
  return Ok(s) && done == n;
}

// CryptoAPI's enhanced provider: the one place where Wine offers DES and Triple DES in
// ECB mode. Keys are imported as plain-text key blobs; Final is FALSE on every call so
// that no padding block is added or expected.
bool DesEcb(bool encrypt, bool triple, const uint8_t* key, uint8_t* data, size_t size) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    return false;
  struct {
    BLOBHEADER header;
    DWORD size;
    BYTE key[24];
  } blob{};
  const DWORD keySize = triple ? 24 : 8;
  blob.header.bType = PLAINTEXTKEYBLOB;
  blob.header.bVersion = CUR_BLOB_VERSION;
  blob.header.aiKeyAlg = triple ? CALG_3DES : CALG_DES;
  blob.size = keySize;
  std::memcpy(blob.key, key, keySize);
  HCRYPTKEY k = 0;
  bool ok = CryptImportKey(prov, reinterpret_cast<BYTE*>(&blob),
                           sizeof(BLOBHEADER) + sizeof(DWORD) + keySize, 0, 0, &k) != FALSE;
  Wipe(&blob, sizeof blob);
  DWORD mode = CRYPT_MODE_ECB;
  ok = ok && CryptSetKeyParam(k, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0);
  DWORD n = static_cast<DWORD>(size);
  if (ok) {
    ok = encrypt ? CryptEncrypt(k, 0, FALSE, 0, data, &n, n) != FALSE
                 : CryptDecrypt(k, 0, FALSE, 0, data, &n) != FALSE;
    ok = ok && n == size;
  }
  if (k) CryptDestroyKey(k);
  CryptReleaseContext(prov, 0);
  return ok;
}

}  // namespace

bool EcbInPlace(bool encrypt, int algorithm, const uint8_t* key, uint8_t* data, size_t size) {
  if (!key || (!data && size) || size > 0x7FFFFFFF) return false;
  switch (algorithm) {
    case 0:
    case 1:
      if (size % 8) return false;
      return size == 0 || DesEcb(encrypt, algorithm == 1, key, data, size);
    case 2:
      if (size % 16) return false;
      return size == 0 || AesEcb(encrypt, key, data, size);
    default:
      return false;
  }
}

bool MachineProtect(const uint8_t* data, size_t size, const uint8_t* entropy,
                    size_t entropySize, Bytes* out) {
  DATA_BLOB in{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
  DATA_BLOB ent{static_cast<DWORD>(entropySize), const_cast<BYTE*>(entropy)};
  DATA_BLOB blob{};
  if (!CryptProtectData(&in, L"TARVO-Pro key", &ent, nullptr, nullptr,
                        CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &blob))
    return false;
  out->assign(blob.pbData, blob.pbData + blob.cbData);
  LocalFree(blob.pbData);
  return true;
}

bool MachineUnprotect(const Bytes& blob, const uint8_t* entropy, size_t entropySize,
                      Bytes* out) {
  DATA_BLOB in{static_cast<DWORD>(blob.size()), const_cast<BYTE*>(blob.data())};
  DATA_BLOB ent{static_cast<DWORD>(entropySize), const_cast<BYTE*>(entropy)};
  DATA_BLOB plain{};
  if (!CryptUnprotectData(&in, nullptr, &ent, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &plain))
    return false;
  out->assign(plain.pbData, plain.pbData + plain.cbData);
  Wipe(plain.pbData, plain.cbData);
  LocalFree(plain.pbData);
  return true;
}

void Wipe(void* p, size_t size) {
  if (p) SecureZeroMemory(p, size);
}

bool SecretText::Assign(std::string_view text) {
  Clear();
  if (text.size() > kCapacity) return false;
  std::memcpy(buf_, text.data(), text.size());
  size_ = text.size();
  return true;
}

void SecretText::Clear() {
  Wipe(buf_, sizeof buf_);
  size_ = 0;
}

bool Equal(const void* a, const void* b, size_t size) {
  const auto* x = static_cast<const uint8_t*>(a);
  const auto* y = static_cast<const uint8_t*>(b);
  uint8_t diff = 0;
  for (size_t i = 0; i < size; ++i) diff |= static_cast<uint8_t>(x[i] ^ y[i]);
  return diff == 0;
}

}  // namespace tvdev::crypto
