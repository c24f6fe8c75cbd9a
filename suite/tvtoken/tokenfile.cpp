#include "tokenfile.h"

#include <cstring>
#include <new>

#include "crypto.h"

namespace tvtoken {

namespace {

namespace crypto = tvdev::crypto;

constexpr uint8_t kMagic[8] = {'T', 'V', 'T', 'O', 'K', 'E', 'N', 0x1a};
constexpr size_t kHeader = 64;
constexpr size_t kAad = 48;
constexpr uint16_t kVersion = 1;
constexpr uint16_t kFlagSealed = 1;
constexpr uint32_t kMinIterations = 10000;
constexpr uint32_t kMaxIterations = 10000000;

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
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

Decoded Parse(const uint8_t* p, size_t size, TokenKeyRecord** records, DWORD* count) {
  if (size < 4) return Decoded::Damaged;
  const uint32_t n = Get32(p);
  if (n > kMaxKeys) return Decoded::Damaged;
  size_t at = 4;
  TokenKeyRecord* out = nullptr;
  if (n) {
    out = new (std::nothrow) TokenKeyRecord[n]();
    if (!out) return Decoded::NoMemory;
  }
  for (uint32_t i = 0; i < n; ++i) {
    for (char* field : {out[i].Name, out[i].Value}) {
      const size_t len = at < size ? p[at] : 0;
      if (len < 1 || len > 127 || size - at - 1 < len || std::memchr(p + at + 1, 0, len)) {
        FreeRecords(out, n);
        return Decoded::Damaged;
      }
      std::memcpy(field, p + at + 1, len);
      at += 1 + len;
    }
  }
  if (at != size) {
    FreeRecords(out, n);
    return Decoded::Damaged;
  }
  *records = out;
  *count = n;
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
  if (size < kHeader || size > kMaxFileSize || std::memcmp(file, kMagic, 8) != 0)
    return Decoded::Damaged;
  const uint16_t flags = Get16(file + 10);
  if (Get16(file + 8) != kVersion || (flags & ~kFlagSealed) != 0) return Decoded::UnknownVersion;
  const uint32_t payloadSize = Get32(file + 44);
  if (payloadSize != size - kHeader) return Decoded::Damaged;
  const uint8_t* payload = file + kHeader;

  if (!(flags & kFlagSealed)) {
    uint8_t check[16];
    if (!Digest(file, payload, payloadSize, check) || !crypto::Equal(check, file + 48, 16))
      return Decoded::Damaged;
    return Parse(payload, payloadSize, records, count);
  }

  const uint32_t iterations = Get32(file + 12);
  if (iterations < kMinIterations || iterations > kMaxIterations) return Decoded::Damaged;
  if (!pin) return Decoded::NeedPin;
  uint8_t key[32];
  if (!DeriveKey(pin, file + 16, iterations, key)) return Decoded::Damaged;
  std::vector<uint8_t> plain(payloadSize);
  crypto::Gcm gcm;
  const bool opened = gcm.SetKey(key) &&
                      gcm.Open(file + 32, file, kAad, payload, payloadSize, plain.data(), file + 48);
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
