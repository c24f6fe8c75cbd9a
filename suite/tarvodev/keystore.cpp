#include "keystore.h"

#include <sddl.h>
#include <shlobj.h>

#include <cstring>

namespace tvdev::store {

namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kChecksumSize = 32;
constexpr size_t kMaxStoreFile = 64 * 1024 * 1024;
// Machine copy of an enabled key: nonce, wrapped material, tag.
constexpr size_t kMachineBlobSize = 12 + 32 + 16;
constexpr size_t kMaxSecretFile = 4096;

// Two labels off one slow derivation: the verifier that tells a wrong value from a
// right one, and the key that wraps the material. Neither reveals the other.
bool DeriveFromValue(const StoredKey& key, std::string_view value, uint8_t verifier[32],
                     uint8_t kek[32]) {
  crypto::SecretText v;
  uint8_t master[32];
  if (!NormalizeValue(key.algorithm, value, &v) ||
      !crypto::Pbkdf2Sha256(v.data(), v.size(), key.salt, sizeof key.salt, key.iterations,
                            master, sizeof master))
    return false;
  uint8_t label[32];
  std::memcpy(label, "TVDEV verifier\0\0", 16);
  std::memcpy(label + 16, key.id, 16);
  bool ok = crypto::HmacSha256(master, 32, label, 32, verifier);
  std::memcpy(label, "TVDEV wrap key\0\0", 16);
  ok = ok && crypto::HmacSha256(master, 32, label, 32, kek);
  crypto::Wipe(master, sizeof master);
  return ok;
}

void WrapAad(const StoredKey& key, uint8_t aad[33]) {
  std::memcpy(aad, "TVDEV material\0\0", 16);
  std::memcpy(aad + 16, key.id, 16);
  aad[32] = static_cast<uint8_t>(key.algorithm);
}

bool IsFolder(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Key for the machine copy of one key: bound to the installation's secret and to the
// key's identifier, so a copy given to another key does not open.
bool MachineWrapKey(const uint8_t secret[32], const StoredKey& key, uint8_t kek[32],
                    uint8_t aad[33]) {
  std::memcpy(aad, "TVDEV machine\0\0\0", 16);
  std::memcpy(aad + 16, key.id, 16);
  aad[32] = static_cast<uint8_t>(key.algorithm);
  return crypto::HmacSha256(secret, 32, aad, 32, kek);
}

const uint8_t kSecretEntropy[] = "TVDEV installation secret";

bool ReadSmallFile(const std::string& path, size_t limit, Bytes* out) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(h, &size) && size.QuadPart > 0 &&
            size.QuadPart <= static_cast<LONGLONG>(limit);
  if (ok) {
    out->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = ReadFile(h, out->data(), static_cast<DWORD>(out->size()), &got, nullptr) &&
         got == out->size();
  }
  CloseHandle(h);
  return ok;
}

// Writes `data` under a temporary name in `folder` and moves it to `path`; an existing
// file is replaced only when `replace` is set.
bool WriteFileAtomically(const std::string& folder, const std::string& path, const Bytes& data,
                         bool replace) {
  char tmp[MAX_PATH + 1] = {};
  if (!GetTempFileNameA(folder.c_str(), "tvk", 0, tmp)) return false;
  HANDLE h = CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  DWORD put = 0;
  bool ok = h != INVALID_HANDLE_VALUE &&
            WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, nullptr) &&
            put == data.size() && FlushFileBuffers(h);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  ok = ok && MoveFileExA(tmp, path.c_str(),
                         (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileA(tmp);
  return ok;
}

bool LoadMachineSecret(uint8_t secret[32]) {
  Bytes blob, plain;
  const bool ok = ReadSmallFile(MachineSecretPath(), kMaxSecretFile, &blob) &&
                  crypto::MachineUnprotect(blob, kSecretEntropy, sizeof kSecretEntropy, &plain) &&
                  plain.size() == 32;
  if (ok) std::memcpy(secret, plain.data(), 32);
  crypto::Wipe(plain.data(), plain.size());
  return ok;
}

}  // namespace

std::string HomeFolder() {
  char buf[MAX_PATH + 1] = {};
  const DWORD n = GetEnvironmentVariableA("TARVODEV_HOME", buf, sizeof buf);
  std::string folder;
  if (n > 0 && n < sizeof buf) {
    folder = buf;
  } else {
    char common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                common)))
      std::strcpy(common, "C:\\ProgramData");
    folder = std::string(common) + "\\Norvane\\TARVO-Pro";
  }
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

std::string StorePath() { return HomeFolder() + "\\keystore.dat"; }

std::string MachineSecretPath() { return HomeFolder() + "\\machine.key"; }

bool HomeExists() { return IsFolder(HomeFolder()); }

bool CreateHome(std::string* error) {
  const std::string folder = HomeFolder();
  if (IsFolder(folder)) return true;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(HomeSecurity(), SDDL_REVISION_1,
                                                            &sd, nullptr)) {
    *error = "cannot build the folder's security descriptor";
    return false;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  // Every missing level gets the same rights: a level that a standard user could own
  // would let that user rename the store folder away and put another in its place.
  bool ok = true;
  for (size_t at = folder.find('\\', 3); ok; at = folder.find('\\', at + 1)) {
    const std::string level = at == std::string::npos ? folder : folder.substr(0, at);
    if (!IsFolder(level) && !CreateDirectoryA(level.c_str(), &sa) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      ok = false;
    if (at == std::string::npos) break;
  }
  LocalFree(sd);
  if (!ok || !IsFolder(folder)) {
    *error = "cannot create the folder " + folder + " (run the tool as administrator)";
    return false;
  }
  return true;
}

bool Exists() {
  return GetFileAttributesA(StorePath().c_str()) != INVALID_FILE_ATTRIBUTES;
}

LoadResult Load(Store* out) {
  out->keys.clear();
  const std::string path = StorePath();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_DELETE | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    return (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? LoadResult::Missing
                                                                    : LoadResult::Damaged;
  }
  LARGE_INTEGER size{};
  Bytes data;
  bool ok = GetFileSizeEx(h, &size) && size.QuadPart >= static_cast<LONGLONG>(kHeaderSize + kChecksumSize) &&
            size.QuadPart <= static_cast<LONGLONG>(kMaxStoreFile);
  if (ok) {
    data.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = ReadFile(h, data.data(), static_cast<DWORD>(data.size()), &got, nullptr) &&
         got == data.size();
  }
  CloseHandle(h);
  if (!ok) return LoadResult::Damaged;
  uint8_t sum[32];
  const size_t body = data.size() - kChecksumSize;
  if (!crypto::Sha256(data.data(), body, sum) || !crypto::Equal(sum, data.data() + body, 32))
    return LoadResult::Damaged;
  return Decode(data.data(), body, out) ? LoadResult::Ok : LoadResult::Damaged;
}

bool Save(const Store& s, std::string* error) {
  const std::string folder = HomeFolder();
  if (!IsFolder(folder)) {
    *error = "no key store folder " + folder + " (create it with init)";
    return false;
  }
  Bytes data = Encode(s);
  uint8_t sum[32];
  if (!crypto::Sha256(data.data(), data.size(), sum)) {
    *error = "SHA-256 failed";
    return false;
  }
  data.insert(data.end(), sum, sum + 32);
  if (!WriteFileAtomically(folder, StorePath(), data, true)) {
    *error = "cannot write " + StorePath();
    return false;
  }
  return true;
}

bool NormalizeValue(int algorithm, std::string_view value, crypto::SecretText* out) {
  if (!out->Assign(value)) return false;
  if (algorithm == 2 && !out->empty())
    CharUpperBuffA(out->data(), static_cast<DWORD>(out->size()));
  return true;
}

bool CreateKey(const std::string& name, int algorithm, std::string_view value,
               uint32_t iterations, StoredKey* out, std::string* error) {
  if (!ValidName(name)) {
    *error = "a key name has 1 to 32 letters and digits";
    return false;
  }
  if (algorithm < 0 || algorithm > 2) {
    *error = "unknown algorithm";
    return false;
  }
  if (value.empty() || value.size() > kMaxValue) {
    *error = "a key value has 1 to 255 characters";
    return false;
  }
  if (iterations < kMinIterations || iterations > kMaxIterations) {
    *error = "iterations must be from 1000 to 10000000";
    return false;
  }
  StoredKey k;
  k.name = name;
  k.algorithm = algorithm;
  k.iterations = iterations;
  uint8_t material[32], verifier[32], kek[32];
  bool ok = crypto::Random(k.id, 16) && crypto::Random(k.salt, 16) &&
            crypto::Random(k.wrapNonce, 12) && crypto::Random(material, 32) &&
            DeriveFromValue(k, value, verifier, kek);
  if (ok) {
    std::memcpy(k.verifier, verifier, 32);
    uint8_t aad[33];
    WrapAad(k, aad);
    crypto::Gcm gcm;
    ok = gcm.SetKey(kek) && gcm.Seal(k.wrapNonce, aad, sizeof aad, material, 32, k.wrapped, k.wrapTag);
  }
  crypto::Wipe(material, 32);
  crypto::Wipe(kek, 32);
  if (!ok) {
    *error = "platform crypto failed";
    return false;
  }
  *out = std::move(k);
  return true;
}

Proof ProveValue(const StoredKey& key, std::string_view value, uint8_t material[32]) {
  // No stored value is longer: a longer one is simply not the value.
  if (value.size() > kMaxValue) return Proof::Wrong;
  uint8_t verifier[32], kek[32];
  if (!DeriveFromValue(key, value, verifier, kek)) return Proof::Damaged;
  Proof result = Proof::Wrong;
  if (crypto::Equal(verifier, key.verifier, 32)) {
    uint8_t aad[33];
    WrapAad(key, aad);
    crypto::Gcm gcm;
    result = gcm.SetKey(kek) &&
                     gcm.Open(key.wrapNonce, aad, sizeof aad, key.wrapped, 32, material, key.wrapTag)
                 ? Proof::Ok
                 : Proof::Damaged;
  }
  crypto::Wipe(kek, 32);
  return result;
}

bool EnsureMachineSecret(std::string* error) {
  uint8_t secret[32];
  if (LoadMachineSecret(secret)) {
    crypto::Wipe(secret, 32);
    return true;
  }
  if (GetFileAttributesA(MachineSecretPath().c_str()) != INVALID_FILE_ATTRIBUTES) {
    // Replacing it would silently disable every enabled key; an administrator decides.
    *error = "the installation's secret " + MachineSecretPath() +
             " cannot be read; enabled keys need it";
    return false;
  }
  Bytes blob;
  bool ok = crypto::Random(secret, 32) &&
            crypto::MachineProtect(secret, 32, kSecretEntropy, sizeof kSecretEntropy, &blob);
  crypto::Wipe(secret, 32);
  if (!ok) {
    *error = "platform crypto failed";
    return false;
  }
  // The file inherits the store folder's rights: users read it, so that their processes
  // can use enabled keys; only administrators can change it.
  if (!WriteFileAtomically(HomeFolder(), MachineSecretPath(), blob, false) &&
      !LoadMachineSecret(secret)) {
    *error = "cannot write " + MachineSecretPath();
    return false;
  }
  crypto::Wipe(secret, 32);
  return true;
}

bool MachineMaterial(const StoredKey& key, uint8_t material[32]) {
  if (!key.enabled || key.machineBlob.size() != kMachineBlobSize) return false;
  uint8_t secret[32], kek[32], aad[33];
  bool ok = LoadMachineSecret(secret) && MachineWrapKey(secret, key, kek, aad);
  crypto::Wipe(secret, 32);
  if (ok) {
    const uint8_t* b = key.machineBlob.data();
    crypto::Gcm gcm;
    ok = gcm.SetKey(kek) && gcm.Open(b, aad, sizeof aad, b + 12, 32, material, b + 44);
    if (!ok) crypto::Wipe(material, 32);
  }
  crypto::Wipe(kek, 32);
  return ok;
}

bool Enable(StoredKey& key, const uint8_t material[32]) {
  std::string why;
  uint8_t secret[32], kek[32], aad[33];
  if (!EnsureMachineSecret(&why) || !LoadMachineSecret(secret)) return false;
  Bytes blob(kMachineBlobSize);
  bool ok = MachineWrapKey(secret, key, kek, aad) && crypto::Random(blob.data(), 12);
  crypto::Wipe(secret, 32);
  if (ok) {
    crypto::Gcm gcm;
    ok = gcm.SetKey(kek) &&
         gcm.Seal(blob.data(), aad, sizeof aad, material, 32, blob.data() + 12, blob.data() + 44);
  }
  crypto::Wipe(kek, 32);
  if (!ok) return false;
  key.machineBlob = std::move(blob);
  key.enabled = true;
  return true;
}

void Disable(StoredKey& key) {
  key.machineBlob.clear();
  key.enabled = false;
}

WriteLock::WriteLock() {
  const std::string path = HomeFolder() + "\\keystore.lock";
  for (int i = 0; i < 100; ++i) {
    h_ = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h_ != INVALID_HANDLE_VALUE) return;
    Sleep(50);
  }
}

WriteLock::~WriteLock() {
  if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
}

}  // namespace tvdev::store
