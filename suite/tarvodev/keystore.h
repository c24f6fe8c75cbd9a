// The key store: one file under the common application-data folder
// (%ProgramData%\Norvane\TARVO-Pro\keystore.dat), or under the folder named by the
// environment variable TARVODEV_HOME. See README.md for the file layout; its records and
// their parsing are format/store_format.h.
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
#include "format/store_format.h"

namespace tvdev::store {

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
