// The key store: one file under the common application-data folder
// (%ProgramData%\Norvane\TARVO-Pro\keystore.dat), or under the folder named by the
// environment variable TARVODEV_HOME. See README.md for the file layout.
//
// A key's value is never stored. The store keeps a salted PBKDF2-SHA256 verifier of it
// and the key's random 256-bit material wrapped (AES-256-GCM) under a key derived from
// it; an enabled key also keeps the material wrapped under the installation's secret
// (machine.key beside the store, itself protected with machine-scope DPAPI), which lets
// it be used without the value where that secret is, and nowhere else.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto.h"

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

std::string HomeFolder();  // without trailing backslash
std::string StorePath();
std::string MachineSecretPath();
bool HomeExists();
// Installation only (the administration tool, run as administrator): creates the missing
// levels of the home folder with HomeSecurity(). The library never creates the folder:
// made by a standard user's process it would inherit rights that let that user replace
// the store.
bool CreateHome(std::string* error);
// Administrators and the system write, users read and list; nothing inherited.
// Inline: the setup's elevated helper sets this list and must not link the crypto code
// (its libraries are not among the system's known DLLs).
inline const char* HomeSecurity() {
  // Protected DACL (P): nothing inherited from ProgramData, where users may create
  // folders. SYSTEM and Administrators full control, Users read and list, for the
  // folder and everything created in it (OICI).
  return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
}

enum class LoadResult { Ok, Missing, Damaged };
// Missing: no store file (an empty store). Damaged: unreadable or failing its checks.
LoadResult Load(Store* out);
// Writes the whole store to a temporary file beside it and moves it into place.
bool Save(const Store& s, std::string* error);
bool Exists();

Bytes Encode(const Store& s);                       // without the checksum trailer
bool Decode(const uint8_t* data, size_t size, Store* out);  // without the trailer

bool ValidName(const std::string& name);
bool NamesEqual(const std::string& a, const std::string& b);  // ASCII case ignored
StoredKey* Find(Store& s, const std::string& name);
const StoredKey* Find(const Store& s, const std::string& name);

// The value as it is proven: upper-cased (system code page, double-byte aware) for
// 256-bit keys, as typed otherwise. False when it is longer than kMaxValue.
bool NormalizeValue(int algorithm, std::string_view value, crypto::SecretText* out);

// Makes a new key with fresh material. False on a bad argument or crypto failure.
bool CreateKey(const std::string& name, int algorithm, std::string_view value,
               uint32_t iterations, StoredKey* out, std::string* error);

enum class Proof { Ok, Wrong, Damaged };
// Proves `value` and, when right, recovers the key material into `material`.
Proof ProveValue(const StoredKey& key, std::string_view value, uint8_t material[32]);

// The installation's secret: 32 random bytes in machine.key, protected with
// machine-scope DPAPI. Only the administration tool creates it (under the write lock).
bool EnsureMachineSecret(std::string* error);
// Recovers the material of an enabled key without the value: needs this installation's
// secret, so a copy of the store file alone unlocks nothing.
bool MachineMaterial(const StoredKey& key, uint8_t material[32]);
// Administration only: creates the installation's secret when it is missing.
bool Enable(StoredKey& key, const uint8_t material[32]);
void Disable(StoredKey& key);

// Exclusive lock on the store for a read-modify-write by the administration tool.
class WriteLock {
 public:
  WriteLock();
  ~WriteLock();
  bool held() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace tvdev::store
