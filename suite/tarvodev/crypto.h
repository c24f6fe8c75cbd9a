// Platform crypto for the library, the administration tool and the self-decrypting
// stub: CNG (bcrypt.dll) for random numbers, SHA-256, HMAC, PBKDF2 and AES; CryptoAPI
// for the DES and Triple DES fixed-key records, which Wine's CNG lacks; DPAPI for keys
// protected for the machine.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tvdev::crypto {

using Bytes = std::vector<uint8_t>;

bool Random(void* out, size_t size);
bool Sha256(const void* data, size_t size, uint8_t out[32]);
bool HmacSha256(const void* key, size_t keySize, const void* data, size_t size, uint8_t out[32]);
bool Pbkdf2Sha256(const void* password, size_t passwordSize, const uint8_t* salt,
                  size_t saltSize, uint32_t iterations, uint8_t* out, size_t outSize);

// AES-256-GCM with a 12-byte nonce and a 16-byte tag. Each Seal/Open is one complete
// GCM message in one CNG call: Wine's chained-call mode returns success with wrong
// output, so messages are never split across calls.
class Gcm {
 public:
  Gcm() = default;
  ~Gcm();
  Gcm(const Gcm&) = delete;
  Gcm& operator=(const Gcm&) = delete;
  bool SetKey(const uint8_t key[32]);
  bool Seal(const uint8_t nonce[12], const void* aad, size_t aadSize, const void* plain,
            size_t size, void* cipher, uint8_t tag[16]);
  // False when the tag does not match (or CNG fails); `plain` is then unspecified.
  bool Open(const uint8_t nonce[12], const void* aad, size_t aadSize, const void* cipher,
            size_t size, void* plain, const uint8_t tag[16]);

 private:
  void* key_ = nullptr;  // BCRYPT_KEY_HANDLE
};

// ECB over whole blocks with a fixed key, in place. `algorithm` is a KeyAlgorithm code
// (0 DES with 8-byte key, 1 Triple DES with 24, 2 AES with 32).
bool EcbInPlace(bool encrypt, int algorithm, const uint8_t* key, uint8_t* data, size_t size);

// DPAPI, machine scope: any process of this machine may undo it, no other machine can.
bool MachineProtect(const uint8_t* data, size_t size, const uint8_t* entropy,
                    size_t entropySize, Bytes* out);
bool MachineUnprotect(const Bytes& blob, const uint8_t* entropy, size_t entropySize,
                      Bytes* out);

// Memory that held a secret.
void Wipe(void* p, size_t size);

// A key value as typed or normalised: kept inside the object (a std::string would leave
// copies in freed heap blocks when it grows or goes), never copied implicitly, and wiped
// when it goes.
class SecretText {
 public:
  static constexpr size_t kCapacity = 255;
  SecretText() = default;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { Clear(); }
  // False, leaving it empty, when `text` is longer than kCapacity bytes.
  bool Assign(std::string_view text);
  void Clear();
  char* data() { return buf_; }
  const char* data() const { return buf_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {buf_, size_}; }

 private:
  char buf_[kCapacity + 1] = {};
  size_t size_ = 0;
};
// Constant-time comparison.
bool Equal(const void* a, const void* b, size_t size);

}  // namespace tvdev::crypto
