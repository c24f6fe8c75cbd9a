// The key store file's records and their encoding, free of Win32 so that the parser of a
// store a user may bring (a copied keystore.dat) also builds natively for fuzzing
// (tests/fuzz/keystore). The layout is in README.md; the file's checksum trailer, its
// reading and everything secret are keystore.h's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvdev::store {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDefaultIterations = 600'000;
// Lower counts are accepted for test stores only by explicit request of the tool.
constexpr uint32_t kMinIterations = 1'000;
// A higher count in a store is refused as damage: it would stall every certification
// (0xFFFFFFFF rounds take over an hour).
constexpr uint32_t kMaxIterations = 10'000'000;
constexpr size_t kMaxNameLength = 32;
constexpr size_t kMaxDescription = 255;
constexpr size_t kMaxValue = 255;

struct StoredKey {
  std::string name;
  uint8_t id[16] = {};
  int algorithm = 2;              // KeyAlgorithm code
  bool enabled = false;           // usable without the value (machine-protected copy)
  bool suspended = false;         // temporarily unusable (scene selection)
  bool parameterFile = false;     // the key uses a parameter file
  std::string description;
  uint32_t iterations = kDefaultIterations;
  uint8_t salt[16] = {};
  uint8_t verifier[32] = {};
  uint8_t wrapNonce[12] = {};
  uint8_t wrapped[32] = {};
  uint8_t wrapTag[16] = {};
  Bytes machineBlob;              // empty unless enabled

  uint16_t KeyLengthBits() const;
};

struct Store {
  std::vector<StoredKey> keys;
};

Bytes Encode(const Store& s);                       // without the checksum trailer
// Without the trailer. False for anything but a store Encode writes: a field out of
// range, a name twice, bytes left over.
bool Decode(const uint8_t* data, size_t size, Store* out);

bool ValidName(const std::string& name);
bool NamesEqual(const std::string& a, const std::string& b);  // ASCII case ignored
StoredKey* Find(Store& s, const std::string& name);
const StoredKey* Find(const Store& s, const std::string& name);

}  // namespace tvdev::store
