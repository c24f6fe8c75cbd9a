// Entry points of tarvodev.dll. No exception leaves an entry point: every one is a
// catch-all boundary that turns a failure into a result and a last-error code.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "contracts/tvdev.h"
#include "crypto.h"
#include "keystore.h"
#include "selfextract.h"
#include "stream.h"

using namespace tvdev;

namespace {

std::atomic<DWORD> g_lastError{0};

BOOL Fail(DWORD code) {
  g_lastError = code;
  return FALSE;
}
BOOL Succeed() {
  g_lastError = TVDEV_ERR_NONE;
  return TRUE;
}

// Material of keys certified in this process, by key identifier: a certified key stays
// usable until the process ends, and a key removed and added again under the same name
// gets a new identifier, so an old certification never applies to it.
std::mutex g_certMutex;
std::map<std::string, std::array<uint8_t, 32>> g_certified;

std::string IdKey(const uint8_t id[16]) { return std::string(reinterpret_cast<const char*>(id), 16); }

void RememberCertified(const store::StoredKey& k, const uint8_t material[32]) {
  std::array<uint8_t, 32> m;
  std::memcpy(m.data(), material, 32);
  std::lock_guard<std::mutex> lock(g_certMutex);
  g_certified[IdKey(k.id)] = m;
}

bool CertifiedMaterial(const store::StoredKey& k, uint8_t material[32]) {
  std::lock_guard<std::mutex> lock(g_certMutex);
  auto it = g_certified.find(IdKey(k.id));
  if (it == g_certified.end()) return false;
  std::memcpy(material, it->second.data(), 32);
  return true;
}

void FillInfo(const store::StoredKey& k, KeyInfo* info) {
  std::memset(info, 0, sizeof *info);
  std::memcpy(info->Name, k.name.data(), std::min<size_t>(k.name.size(), sizeof info->Name - 1));
  std::memcpy(info->KeyId, k.id, 16);
  info->Valid = k.enabled ? 1 : 0;
  info->Algorithm = k.algorithm;
  std::memcpy(info->Description, k.description.data(),
              std::min<size_t>(k.description.size(), sizeof info->Description - 1));
  info->KeyLength = k.KeyLengthBits();
  info->ParameterFile = k.parameterFile ? 0 : 1;
}

// Loads the store for a lookup; a missing store is an empty one.
DWORD LoadStore(store::Store* s) {
  return store::Load(s) == store::LoadResult::Damaged ? TVDEV_ERR_TEMPLATE : TVDEV_ERR_NONE;
}

// The material of a usable key: certified in this process, or enabled on this machine.
DWORD UsableKey(const char* name, store::StoredKey* key, uint8_t material[32]) {
  if (!name) return TVDEV_ERR_INVALID_ARGUMENT;
  store::Store s;
  if (DWORD e = LoadStore(&s)) return e;
  const store::StoredKey* k = store::Find(s, name);
  if (!k) return TVDEV_ERR_NOT_REGISTERED;
  if (k->suspended) return TVDEV_ERR_KEY_SUSPENDED;
  if (!CertifiedMaterial(*k, material) && !store::MachineMaterial(*k, material))
    return TVDEV_ERR_NOT_CERTIFIED;
  *key = *k;
  return TVDEV_ERR_NONE;
}

template <typename F>
BOOL Guarded(F f) {
  try {
    return f();
  } catch (...) {
    return Fail(TVDEV_ERR_CRYPTO);
  }
}

}  // namespace

extern "C" {

BOOL WINAPI TVDEV_GetKeyCount(DWORD* count, DWORD) {
  return Guarded([&] {
    if (!count) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    store::Store s;
    if (DWORD e = LoadStore(&s)) return Fail(e);
    *count = static_cast<DWORD>(s.keys.size());
    return Succeed();
  });
}

BOOL WINAPI TVDEV_GetKeyInfo(KeyInfo* records, DWORD count, DWORD) {
  return Guarded([&] {
    if (!records && count) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    store::Store s;
    if (DWORD e = LoadStore(&s)) return Fail(e);
    if (count > s.keys.size()) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    for (DWORD i = 0; i < count; ++i) FillInfo(s.keys[i], &records[i]);
    return Succeed();
  });
}

BOOL WINAPI TVDEV_GetKeyInfoByName(KeyInfo* record, DWORD) {
  return Guarded([&] {
    if (!record) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    const std::string name(record->Name, strnlen(record->Name, sizeof record->Name));
    store::Store s;
    if (DWORD e = LoadStore(&s)) return Fail(e);
    const store::StoredKey* k = store::Find(s, name);
    if (!k) return Fail(TVDEV_ERR_NOT_REGISTERED);
    FillInfo(*k, record);
    return Succeed();
  });
}

BOOL WINAPI TVDEV_CertifyKey(const char* name, const char* value, DWORD) {
  return Guarded([&] {
    if (!name || !value) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    store::Store s;
    if (DWORD e = LoadStore(&s)) return Fail(e);
    const store::StoredKey* k = store::Find(s, name);
    if (!k) return Fail(TVDEV_ERR_NOT_REGISTERED);
    uint8_t material[32];
    switch (store::ProveValue(*k, value, material)) {
      case store::Proof::Wrong: return Fail(TVDEV_ERR_WRONG_VALUE);
      case store::Proof::Damaged: return Fail(TVDEV_ERR_TEMPLATE);
      case store::Proof::Ok: break;
    }
    RememberCertified(*k, material);
    crypto::Wipe(material, 32);
    return Succeed();
  });
}

DWORD WINAPI TVDEV_GetLastError(DWORD) { return g_lastError; }

BOOL WINAPI TVDEV_EncryptArchive(const char* keyName, const char* archivePath,
                                 const char* outputPath, DWORD, void*, TVDEV_PROGRESS progress,
                                 void*, DWORD, DWORD) {
  return Guarded([&] {
    if (!keyName || !archivePath || !outputPath) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    store::StoredKey key;
    uint8_t material[32];
    if (DWORD e = UsableKey(keyName, &key, material)) return Fail(e);
    stream::EncryptRequest req;
    req.inputPath = archivePath;
    req.outputPath = outputPath;
    req.params.derivation = fmt::KeyDerivation::StoreKey;
    std::memcpy(req.params.keyId, key.id, 16);
    req.keyRecordType = static_cast<uint32_t>(key.algorithm + 1);
    req.keyRecord.name = key.name;
    std::memcpy(req.keyRecord.keyId, key.id, 16);
    req.keyRecord.keyLengthBits = key.KeyLengthBits();
    req.wrapKey = material;
    req.progress.callback = progress;
    const DWORD e = stream::Encrypt(req);
    crypto::Wipe(material, 32);
    return e ? Fail(e) : Succeed();
  });
}

BOOL WINAPI TVDEV_DecryptArchive(const char* keyName, const char* encryptedPath,
                                 const char* outputPath, TVDEV_PROGRESS progress, void*, DWORD,
                                 DWORD) {
  return Guarded([&] {
    if (!keyName || !encryptedPath || !outputPath) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    store::StoredKey key;
    uint8_t material[32];
    if (DWORD e = UsableKey(keyName, &key, material)) return Fail(e);
    struct Closer {
      HANDLE h;
      ~Closer() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      }
    } in{CreateFileA(encryptedPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    uint64_t size = 0;
    if (in.h == INVALID_HANDLE_VALUE || !stream::FileSize(in.h, &size)) {
      crypto::Wipe(material, 32);
      return Fail(TVDEV_ERR_READ);
    }
    stream::Payload payload;
    DWORD e = stream::ReadPayload(in.h, 0, size, &payload);
    if (!e) {
      // The key record is only obfuscated; the identifier that counts is the one in
      // the authenticated payload record, and both must name this key.
      fmt::Bytes body = payload.block.keyRecordBody;
      const int alg = fmt::KeyRecordAlgorithm(payload.block.keyRecordType);
      const uint8_t* fixed = alg == 0 ? kKeyInfoKeyDes : alg == 1 ? kKeyInfoKeyTripleDes : kKeyInfoKeyAes;
      std::optional<fmt::KeyRecord> rec;
      if (crypto::EcbInPlace(false, alg, fixed, body.data(), body.size()))
        rec = fmt::DecodeKeyRecordBody(payload.block.keyRecordType, body.data(), body.size());
      if (!rec)
        e = TVDEV_ERR_BAD_FORMAT;
      else if (std::memcmp(rec->keyId, key.id, 16) != 0 ||
               std::memcmp(payload.block.payload.keyId, key.id, 16) != 0)
        e = TVDEV_ERR_KEY_MISMATCH;
    }
    uint8_t dataKey[32];
    if (!e && !stream::UnwrapDataKey(payload.block.payload, material, dataKey))
      e = TVDEV_ERR_BAD_FORMAT;
    crypto::Wipe(material, 32);
    if (!e) {
      stream::Progress p{progress};
      e = stream::DecryptTo(payload, dataKey, outputPath, p);
      crypto::Wipe(dataKey, 32);
    }
    return e ? Fail(e) : Succeed();
  });
}

BOOL WINAPI TVDEV_CreateSelfExtractEx(const char* archivePath, const char* outputPath,
                                      const char* password, DWORD mode, DWORD attemptLimit,
                                      TVDEV_PROGRESS progress, void*, DWORD, DWORD english,
                                      DWORD) {
  return Guarded([&] {
    if (!archivePath || !outputPath || !password || mode != 2)
      return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    const DWORD e = sfx::Create(archivePath, outputPath, password, attemptLimit, english == 1,
                                progress);
    return e ? Fail(e) : Succeed();
  });
}

BOOL WINAPI TVDEV_CryptMemoryInDirect(DWORD mode, const void* key, DWORD algorithm,
                                      const void* input, void* output, DWORD length, DWORD) {
  return Guarded([&] {
    if (mode > 1 || !key || algorithm > 2 || (length && (!input || !output)))
      return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    if (length && input != output) std::memmove(output, input, length);
    if (!crypto::EcbInPlace(mode == 0, static_cast<int>(algorithm),
                            static_cast<const uint8_t*>(key), static_cast<uint8_t*>(output),
                            length))
      return Fail(length % (algorithm == 2 ? 16 : 8) ? TVDEV_ERR_INVALID_ARGUMENT
                                                     : TVDEV_ERR_CRYPTO);
    return Succeed();
  });
}

BOOL WINAPI TVDEV_HookAddPidEx(const char* drive, DWORD processId, DWORD reserved1, DWORD flags,
                               DWORD reserved2) {
  return Guarded([&] {
    if (!drive) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    const size_t n = std::strlen(drive);
    const bool letter = n == 2 && drive[1] == ':' &&
                        ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
    if (!(n == 0 || letter) || processId == 0) return Fail(TVDEV_ERR_INVALID_ARGUMENT);
    // The hook itself belongs to the suite's media filter; the library records each
    // registration, one line per call, in mediahook.log beside the key store. The
    // folder belongs to installation: a caller's process never creates it.
    if (!store::HomeExists()) return Fail(TVDEV_ERR_WRITE);
    const std::string path = store::HomeFolder() + "\\mediahook.log";
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Fail(TVDEV_ERR_WRITE);
    char line[96];
    const int len = wsprintfA(line, "drive=%s pid=%lu args=%lu,%lu,%lu\r\n", drive,
                              static_cast<unsigned long>(processId),
                              static_cast<unsigned long>(reserved1),
                              static_cast<unsigned long>(flags),
                              static_cast<unsigned long>(reserved2));
    DWORD put = 0;
    const bool ok = WriteFile(h, line, static_cast<DWORD>(len), &put, nullptr) && put == DWORD(len);
    CloseHandle(h);
    return ok ? Succeed() : Fail(TVDEV_ERR_WRITE);
  });
}

}  // extern "C"
