#include "tokenfile.h"

#include <cstring>
#include <new>

#include "crypto.h"

namespace tvtoken {

namespace {

namespace crypto = tvdev::crypto;

constexpr size_t kHeader = kHeaderSize;
constexpr size_t kAad = kAuthenticatedSize;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// The open form's check: SHA-256 over the header's first 48 bytes and the payload.
bool Digest(const uint8_t* header, const uint8_t* payload, size_t size, uint8_t out[16]) {
  std::vector<uint8_t> all(header, header + kAad);
  all.insert(all.end(), payload, payload + size);
  uint8_t d[32];
  if (!crypto::Sha256(all.data(), all.size(), d)) return false;
  std::memcpy(out, d, 16);
  crypto::Wipe(all.data(), all.size());
  return true;
}

bool DeriveKey(const char* pin, const uint8_t* salt, uint32_t iterations, uint8_t key[32]) {
  return crypto::Pbkdf2Sha256(pin, std::strlen(pin), salt, 16, iterations, key, 32);
}

// Records for the keys of a payload; the payload's values are copied only into them.
Decoded Parse(const uint8_t* p, size_t size, TokenKeyRecord** records, DWORD* count) {
  std::vector<KeyText> keys;
  if (ReadKeys(p, size, &keys) != Decoded::Ok) return Decoded::Damaged;
  TokenKeyRecord* out = nullptr;
  if (!keys.empty()) {
    out = new (std::nothrow) TokenKeyRecord[keys.size()]();
    if (!out) return Decoded::NoMemory;
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    std::memcpy(out[i].Name, keys[i].name, keys[i].nameLength);
    std::memcpy(out[i].Value, keys[i].value, keys[i].valueLength);
  }
  *records = out;
  *count = static_cast<DWORD>(keys.size());
  return Decoded::Ok;
}

}  // namespace

bool IsSealed(const uint8_t* file, size_t size) {
  return size >= kHeader && std::memcmp(file, kMagic, 8) == 0 &&
         (Get16(file + 10) & kFlagSealed) != 0;
}

Decoded Decode(const uint8_t* file, size_t size, const char* pin, TokenKeyRecord** records,
               DWORD* count) {
  *records = nullptr;
  *count = 0;
  Header h;
  if (Decoded d = ReadHeader(file, size, &h); d != Decoded::Ok) return d;

  if (!h.sealed) {
    uint8_t check[16];
    if (!Digest(file, h.payload, h.payloadSize, check) || !crypto::Equal(check, h.tag, 16))
      return Decoded::Damaged;
    return Parse(h.payload, h.payloadSize, records, count);
  }

  if (!pin) return Decoded::NeedPin;
  uint8_t key[32];
  if (!DeriveKey(pin, h.salt, h.iterations, key)) return Decoded::Damaged;
  std::vector<uint8_t> plain(h.payloadSize);
  crypto::Gcm gcm;
  const bool opened = gcm.SetKey(key) && gcm.Open(h.nonce, file, kAad, h.payload, h.payloadSize,
                                                  plain.data(), h.tag);
  crypto::Wipe(key, sizeof key);
  Decoded result = opened ? Parse(plain.data(), plain.size(), records, count) : Decoded::WrongPin;
  crypto::Wipe(plain.data(), plain.size());
  return result;
}

bool Encode(const TokenKeyRecord* keys, size_t count, const char* pin, uint32_t iterations,
            std::vector<uint8_t>* out) {
  if (count > kMaxKeys) return false;
  std::vector<uint8_t> payload(4);
  // Reserved at its largest at once: a reallocation would leave copies of values behind.
  payload.reserve(4 + count * 256);
  Put32(payload.data(), static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    for (const char* field : {keys[i].Name, keys[i].Value}) {
      const size_t len = strnlen(field, 128);
      if (len < 1 || len > 127) {
        crypto::Wipe(payload.data(), payload.size());
        return false;
      }
      payload.push_back(static_cast<uint8_t>(len));
      payload.insert(payload.end(), field, field + len);
    }
  }
  std::vector<uint8_t> file(kHeader + payload.size());
  std::memcpy(file.data(), kMagic, 8);
  Put16(&file[8], kVersion);
  Put32(&file[44], static_cast<uint32_t>(payload.size()));
  bool ok = true;
  if (!pin) {
    ok = Digest(file.data(), payload.data(), payload.size(), &file[48]);
    std::memcpy(&file[kHeader], payload.data(), payload.size());
  } else {
    Put16(&file[10], kFlagSealed);
    Put32(&file[12], iterations);
    uint8_t key[32];
    crypto::Gcm gcm;
    ok = iterations >= kMinIterations && iterations <= kMaxIterations &&
         crypto::Random(&file[16], 16) && crypto::Random(&file[32], 12) &&
         DeriveKey(pin, &file[16], iterations, key) && gcm.SetKey(key) &&
         gcm.Seal(&file[32], file.data(), kAad, payload.data(), payload.size(), &file[kHeader],
                  &file[48]);
    crypto::Wipe(key, sizeof key);
  }
  crypto::Wipe(payload.data(), payload.size());
  if (ok) {
    out->swap(file);
  } else {
    crypto::Wipe(file.data(), file.size());
  }
  return ok;
}

void FreeRecords(TokenKeyRecord* records, DWORD count) {
  if (!records) return;
  crypto::Wipe(records, sizeof *records * count);
  delete[] records;
}

}  // namespace tvtoken
