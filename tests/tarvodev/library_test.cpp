// tarvodev.dll through its entry points: key listing and certification, encryption and
// decryption round trips, every failure code, tampering and truncation over every region
// of an encrypted file, cancel, and the key-information block as the program reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "contracts/tvdev.h"
#include "format/xss_format.h"
#include "stream.h"
#include "tvtest.h"
#include "uidriver.h"

using namespace tvtest;
namespace fmt = tvdev::fmt;

namespace {

constexpr size_t kChunk = fmt::kDefaultChunkSize;

BOOL Encrypt(const std::string& key, const std::string& in, const std::string& out,
             TVDEV_PROGRESS cb = nullptr) {
  return TVDEV_EncryptArchive(key.c_str(), in.c_str(), out.c_str(), 0, nullptr, cb, nullptr, 0, 0);
}

BOOL Decrypt(const std::string& key, const std::string& in, const std::string& out,
             TVDEV_PROGRESS cb = nullptr) {
  return TVDEV_DecryptArchive(key.c_str(), in.c_str(), out.c_str(), cb, nullptr, 0, 0);
}

// The key-information block read the way the program reads it: header, record-area
// length, records deciphered in place through TVDEV_CryptMemoryInDirect with the fixed
// key of their type, fields copied at their offsets, other types skipped.
struct ArchiveKeyInfo {
  uint32_t Word0, Word1;
  char KeyName[33];
  char KeyIdBlock[65];
  uint8_t KeyBlock[32];
  uint32_t Algorithm, Word2, DataOffset, Word3;
};

bool ParseKeyInfoBlock(const Bytes& file, ArchiveKeyInfo* out) {
  std::memset(out, 0, sizeof *out);
  size_t pos = 0;
  auto read = [&](void* dst, size_t n) {
    if (file.size() - pos < n) return false;
    std::memcpy(dst, file.data() + pos, n);
    pos += n;
    return true;
  };
  uint8_t header[32];
  if (!read(header, 32) || std::memcmp(header, "TVKI", 4) != 0) return false;
  uint32_t L;
  std::memcpy(&L, header + 8, 4);
  if (L == 0) return false;
  uint32_t P = 0;
  bool found = false;
  do {
    uint32_t rec[2];
    if (!read(rec, 8)) return false;
    const uint32_t type = rec[0], S = rec[1];
    Bytes body(S);
    if (!read(body.data(), S)) return false;
    if (type >= 1 && type <= 3) {
      const size_t prefix = type == 1 ? 136 : 160;
      if (S < prefix) return false;
      const uint8_t* key = type == 1 ? kKeyInfoKeyDes : type == 2 ? kKeyInfoKeyTripleDes : kKeyInfoKeyAes;
      TVDEV_CryptMemoryInDirect(1, key, type - 1, body.data(), body.data(), (DWORD)prefix, 0);
      const size_t kb = type == 1 ? 8 : 32, second = type == 1 ? 80 : 104, w3 = type == 1 ? 112 : 136;
      found = true;
      std::memcpy(&out->Word0, &body[0], 4);
      std::memcpy(&out->Word1, &body[4], 4);
      std::memcpy(out->KeyName, &body[8], 32);
      std::memcpy(out->KeyIdBlock, &body[40], 32);
      std::memcpy(out->KeyBlock, &body[72], kb);
      std::memcpy(out->KeyIdBlock + 32, &body[second], 32);
      std::memcpy(&out->Word3, &body[w3], 4);
      std::memcpy(&out->Word2, &body[w3 + 4], 4);
      out->KeyName[32] = 0;
      out->KeyIdBlock[64] = 0;
      out->Algorithm = type - 1;
      out->DataOffset = L + 32;
    }
    P += 8 + S;
  } while (P < L);
  return found;
}

KeyInfo Info(const char* name) {
  KeyInfo k{};
  std::strcpy(k.Name, name);
  EXPECT_TRUE(TVDEV_GetKeyInfoByName(&k, 0)) << name;
  return k;
}

class Library : public ::testing::Test {
 protected:
  StoreHome home;
  TempDir work;
};

}  // namespace

// ---- Listing and lookup -------------------------------------------------------------

TEST_F(Library, ListsKeysWithTheirRecordFields) {
  DWORD count = 99;
  ASSERT_TRUE(TVDEV_GetKeyCount(&count, 0)) << "a missing store is an empty one";
  EXPECT_EQ(count, 0u);

  const auto des = AddKey("Alpha1", KEY_ALG_DES, "v1", true, false, "first key");
  const auto tdes = AddKey("Beta", KEY_ALG_TRIPLE_DES, "v2");
  const auto aes = AddKey("GAMMA", KEY_ALG_AES, "v3", false, true);
  ASSERT_TRUE(TVDEV_GetKeyCount(&count, 0));
  ASSERT_EQ(count, 3u);
  std::vector<KeyInfo> infos(3);
  ASSERT_TRUE(TVDEV_GetKeyInfo(infos.data(), 3, 0));
  struct Want {
    const tvdev::store::StoredKey* key;
    int valid, algorithm, length;
    const char* description;
  } want[] = {{&des, 1, 0, 56, "first key"}, {&tdes, 0, 1, 168, ""}, {&aes, 0, 2, 256, ""}};
  for (int i = 0; i < 3; ++i) {
    const KeyInfo& k = infos[i];
    EXPECT_STREQ(k.Name, want[i].key->name.c_str());
    EXPECT_EQ(0, std::memcmp(k.KeyId, want[i].key->id, 16));
    EXPECT_EQ(k.Valid, want[i].valid) << k.Name;
    EXPECT_EQ(k.Algorithm, want[i].algorithm);
    EXPECT_EQ(k.KeyLength, want[i].length);
    EXPECT_STREQ(k.Description, want[i].description);
    EXPECT_EQ(k.ParameterFile, 1) << "no parameter file";
  }
  EXPECT_FALSE(TVDEV_GetKeyInfo(infos.data(), 4, 0)) << "more records asked than keys exist";

  KeyInfo one{};
  std::strcpy(one.Name, "gamma");
  ASSERT_TRUE(TVDEV_GetKeyInfoByName(&one, 0)) << "ASCII case is ignored";
  EXPECT_STREQ(one.Name, "GAMMA");
  EXPECT_EQ(one.KeyLength, 256);
  EXPECT_EQ(TVDEV_GetLastError(0), 0u);

  KeyInfo none{};
  std::strcpy(none.Name, "Delta");
  EXPECT_FALSE(TVDEV_GetKeyInfoByName(&none, 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_NOT_REGISTERED);
  ASSERT_TRUE(TVDEV_GetKeyInfoByName(&one, 0));
  EXPECT_EQ(TVDEV_GetLastError(0), 0u) << "a success clears the last error";
}

// A damaged store is reported (4 on certification, failure on listing), never rewritten.
TEST_F(Library, DamagedStoreIsReportedAndLeftAsItIs) {
  AddKey("Alpha", KEY_ALG_AES, "secret", true);
  const Bytes good = ReadAll(home.StoreFile());
  // A well-formed, correctly summed store whose key asks for 2^32-1 PBKDF2 rounds: taken
  // as it stands, certifying would run for over an hour.
  const Bytes endless = [&] {
    tvdev::store::Store s;
    EXPECT_EQ(tvdev::store::Load(&s), tvdev::store::LoadResult::Ok);
    s.keys[0].iterations = 0xFFFFFFFF;
    std::string why;
    EXPECT_TRUE(tvdev::store::Save(s, &why)) << why;
    return ReadAll(home.StoreFile());
  }();
  struct Damage {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"iterations beyond the limit", endless},
      {"one byte changed", [&] { Bytes b = good; b[b.size() / 2] ^= 0x01; return b; }()},
      {"cut short", Bytes(good.begin(), good.end() - 1)},
      {"empty", Bytes{}},
      {"foreign file", Bytes(100, 'x')},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    WriteAll(home.StoreFile(), d.bytes);
    DWORD count = 0;
    // Stops here when a damaged store is taken: certifying with 2^32-1 rounds would hang.
    ASSERT_FALSE(TVDEV_GetKeyCount(&count, 0));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_TEMPLATE);
    EXPECT_FALSE(TVDEV_CertifyKey("Alpha", "secret", 0));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_TEMPLATE);
    KeyInfo k{};
    std::strcpy(k.Name, "Alpha");
    EXPECT_FALSE(TVDEV_GetKeyInfoByName(&k, 0));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_TEMPLATE);
    WriteAll(work / "a.zip", Pattern(100));
    EXPECT_FALSE(Encrypt("Alpha", work / "a.zip", work / "a.xss"));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_TEMPLATE);
    EXPECT_EQ(ReadAll(home.StoreFile()), d.bytes);
  }
}

// ---- Certification ------------------------------------------------------------------

TEST_F(Library, CertifyKeyCodes) {
  AddKey("Des", KEY_ALG_DES, "Open-Sesame");
  AddKey("Aes", KEY_ALG_AES, "Open-Sesame");
  AddKey("Paused", KEY_ALG_AES, "p", false, true);
  struct Case {
    const char *name, *value;
    DWORD error;  // 0: certified
  } cases[] = {
      {"Nobody", "x", TVDEV_ERR_NOT_REGISTERED},
      {"Des", "wrong", TVDEV_ERR_WRONG_VALUE},
      {"Des", "open-sesame", TVDEV_ERR_WRONG_VALUE},  // case matters below 256 bits
      {"Des", "Open-Sesame", 0},
      {"aes", "open-sesame", 0},  // 256-bit values are compared upper-cased
      {"Aes", "OPEN-SESAME", 0},
      {"Aes", "", TVDEV_ERR_WRONG_VALUE},
      {"Paused", "P", 0},  // certification proves the value; use is refused later
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " / " + c.value);
    EXPECT_EQ(TVDEV_CertifyKey(c.name, c.value, 0), c.error == 0 ? TRUE : FALSE);
    EXPECT_EQ(TVDEV_GetLastError(0), c.error);
  }
  EXPECT_FALSE(TVDEV_CertifyKey(nullptr, "x", 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_INVALID_ARGUMENT);
  EXPECT_FALSE(TVDEV_CertifyKey("Des", nullptr, 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_INVALID_ARGUMENT);
  EXPECT_FALSE(TVDEV_CertifyKey("Des", std::string(300, 'v').c_str(), 0))
      << "longer than any stored value";
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_WRONG_VALUE);
}

// The checksum only detects damage; whoever may write the store may rewrite it whole.
// Forged content must still not make a key usable. Each case starts from the same
// store and is driven through the entry points, so a change in what the store code
// binds to a key's identifier is caught.
TEST_F(Library, ForgedStoreContentDoesNotMakeAKeyUsable) {
  AddKey("Owner", KEY_ALG_AES, "owner-value", true);
  AddKey("Victim", KEY_ALG_AES, "victim-value");
  tvdev::store::Store original;
  ASSERT_EQ(tvdev::store::Load(&original), tvdev::store::LoadResult::Ok);
  WriteAll(work / "in.zip", Pattern(100));
  auto forge = [&](auto change) {
    tvdev::store::Store s = original;
    change(s.keys[0], s.keys[1]);
    std::string why;
    ASSERT_TRUE(tvdev::store::Save(s, &why)) << why;
  };

  // The owner's machine copy given to the victim, marked enabled.
  forge([](auto& owner, auto& victim) {
    victim.enabled = true;
    victim.machineBlob = owner.machineBlob;
  });
  EXPECT_EQ(Info("Victim").Valid, 1) << "the flag is what the store says";
  EXPECT_FALSE(Encrypt("Victim", work / "in.zip", work / "out.xss"));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_NOT_CERTIFIED);

  // The owner's salt, rounds and verifier given to the victim: the owner's value does
  // not certify it.
  forge([](auto& owner, auto& victim) {
    std::memcpy(victim.salt, owner.salt, sizeof victim.salt);
    std::memcpy(victim.verifier, owner.verifier, sizeof victim.verifier);
    victim.iterations = owner.iterations;
  });
  EXPECT_FALSE(TVDEV_CertifyKey("Victim", "owner-value", 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_WRONG_VALUE);
  EXPECT_FALSE(Encrypt("Victim", work / "in.zip", work / "out.xss"));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_NOT_CERTIFIED);

  // The owner's wrapped material damaged: the right value proves, the material does not
  // open.
  forge([](auto& owner, auto&) { owner.wrapped[7] ^= 0x20; });
  EXPECT_FALSE(TVDEV_CertifyKey("Owner", "owner-value", 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_TEMPLATE);
  EXPECT_EQ(work.List(), (std::vector<std::string>{"in.zip"}));
}

// An enabled key works without its value only where the installation's secret is: the
// store file alone, copied into another installation, opens nothing; the value still
// does.
TEST_F(Library, StoreFileAloneDoesNotUnlockEnabledKeys) {
  AddKey("Moved", KEY_ALG_AES, "moved-value", true);
  WriteAll(work / "in.zip", Pattern(1000));
  ASSERT_TRUE(Encrypt("Moved", work / "in.zip", work / "a.xss")) << TVDEV_GetLastError(0);
  ASSERT_TRUE(Exists(home.dir() / "machine.key"));

  TempDir elsewhere;
  WriteAll(elsewhere / "keystore.dat", ReadAll(home.StoreFile()));
  SetEnvironmentVariableA("TARVODEV_HOME", elsewhere.path().c_str());
  for (bool ownSecret : {false, true}) {
    SCOPED_TRACE(ownSecret ? "the other installation has its own secret" : "no secret there");
    if (ownSecret) {
      std::string why;
      ASSERT_TRUE(tvdev::store::EnsureMachineSecret(&why)) << why;
    }
    EXPECT_EQ(Info("Moved").Valid, 1);
    EXPECT_FALSE(Decrypt("Moved", work / "a.xss", work / "b.zip"));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_NOT_CERTIFIED);
    EXPECT_FALSE(Encrypt("Moved", work / "in.zip", work / "c.xss"));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_NOT_CERTIFIED);
  }
  ASSERT_TRUE(TVDEV_CertifyKey("Moved", "moved-value", 0));
  ASSERT_TRUE(Decrypt("Moved", work / "a.xss", work / "b.zip"));
  EXPECT_EQ(ReadAll(work / "b.zip"), Pattern(1000));
  SetEnvironmentVariableA("TARVODEV_HOME", home.dir().path().c_str());
}

// ---- Round trips ----------------------------------------------------------------------

TEST_F(Library, RoundTripsForEveryAlgorithmEnabledOrCertified) {
  const Bytes data = Pattern(kChunk + 12345);
  WriteAll(work / "in.zip", data);
  const char* names[] = {"Des", "TripleDes", "Aes"};
  for (int alg = 0; alg < 3; ++alg) {
    for (bool enabled : {true, false}) {
      const std::string name = std::string(names[alg]) + (enabled ? "On" : "Off");
      SCOPED_TRACE(name);
      const auto key = AddKey(name, alg, "Value" + name, enabled);
      if (!enabled) {
        EXPECT_FALSE(Encrypt(name, work / "in.zip", work / "out.xss"));
        EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_NOT_CERTIFIED);
        ASSERT_TRUE(TVDEV_CertifyKey(name.c_str(), ("Value" + name).c_str(), 0));
      }
      ASSERT_TRUE(Encrypt(name, work / "in.zip", work / "out.xss")) << TVDEV_GetLastError(0);
      const Bytes enc = ReadAll(work / "out.xss");
      EXPECT_EQ(fmt::GetU32(&enc[32]), uint32_t(alg + 1)) << "key record type of the algorithm";
      EXPECT_EQ(std::search(enc.begin(), enc.end(), data.begin(), data.begin() + 64), enc.end());

      ArchiveKeyInfo info;
      ASSERT_TRUE(ParseKeyInfoBlock(enc, &info));
      EXPECT_STREQ(info.KeyName, name.c_str());
      EXPECT_EQ(0, std::memcmp(info.KeyIdBlock, key.id, 16));
      EXPECT_EQ(Bytes(info.KeyIdBlock + 16, info.KeyIdBlock + 32), Bytes(16, 0));
      EXPECT_EQ(info.Algorithm, uint32_t(alg));
      // Header, key record (8 + 136 or 160), payload record (8 + 128).
      EXPECT_EQ(info.DataOffset, alg == KEY_ALG_DES ? 312u : 336u);

      ASSERT_TRUE(Decrypt(name, work / "out.xss", work / "back.zip")) << TVDEV_GetLastError(0);
      EXPECT_EQ(ReadAll(work / "back.zip"), data);
    }
  }
  EXPECT_EQ(work.List(), (std::vector<std::string>{"back.zip", "in.zip", "out.xss"}))
      << "no temporary files left behind";
}

TEST_F(Library, RoundTripsAtChunkBoundaries) {
  AddKey("Sizes", KEY_ALG_AES, "v", true);
  for (size_t size : {size_t{0}, size_t{1}, kChunk - 1, kChunk, kChunk + 1, 3 * kChunk}) {
    SCOPED_TRACE(size);
    const Bytes data = Pattern(size, static_cast<uint32_t>(size));
    WriteAll(work / "in.zip", data);
    ASSERT_TRUE(Encrypt("Sizes", work / "in.zip", work / "out.xss"));
    const uint64_t expected =
        fmt::GetU32(ReadAll(work / "out.xss").data() + 8) + 32 + *fmt::StreamSize(size, kChunk);
    EXPECT_EQ(ReadAll(work / "out.xss").size(), expected);
    ASSERT_TRUE(Decrypt("Sizes", work / "out.xss", work / "back.zip"));
    EXPECT_EQ(ReadAll(work / "back.zip"), data);
  }
}

// The temporary output is made in the output's folder; in Shift-JIS the second byte of
// a double-byte character can be a backslash and must not split the path.
TEST(OutputFolder, SplitsAtTheLastRealSeparator) {
  const std::string hyo = vxtest::Acp(u8"\u8868");  // 0x95 0x5C
  ASSERT_EQ(hyo, "\x95\x5C");
  struct Case {
    std::string path, folder;
  } cases[] = {
      {"C:\\work\\out.xss", "C:\\work"},
      {"C:\\out.xss", "C:\\"},
      {"out.xss", "."},
      {"C:out.xss", "C:."},
      {"\\\\server\\share\\out.xss", "\\\\server\\share"},
      {"C:\\work\\" + hyo + ".xss", "C:\\work"},
      {"C:\\" + hyo + "\\" + hyo, "C:\\" + hyo},
      {"C:/work/out.xss", "C:/work"},
  };
  for (const Case& c : cases) EXPECT_EQ(tvdev::stream::FolderOf(c.path), c.folder) << c.path;
}

// Two encryptions of the same data under the same key share nothing but the key record.
TEST_F(Library, EveryFileHasItsOwnDataKey) {
  AddKey("Twice", KEY_ALG_AES, "v", true);
  WriteAll(work / "in.zip", Pattern(5000));
  ASSERT_TRUE(Encrypt("Twice", work / "in.zip", work / "1.xss"));
  ASSERT_TRUE(Encrypt("Twice", work / "in.zip", work / "2.xss"));
  const Bytes a = ReadAll(work / "1.xss"), b = ReadAll(work / "2.xss");
  ASSERT_EQ(a.size(), b.size());
  const size_t dataOffset = fmt::GetU32(&a[8]) + 32;
  EXPECT_NE(Bytes(a.begin() + dataOffset, a.end()), Bytes(b.begin() + dataOffset, b.end()));
}

// ---- Failure codes ----------------------------------------------------------------------

TEST_F(Library, EncryptAndDecryptFailureCodes) {
  AddKey("Good", KEY_ALG_AES, "v", true);
  AddKey("Other", KEY_ALG_AES, "w", true);
  AddKey("Paused", KEY_ALG_TRIPLE_DES, "p", true, true);
  AddKey("PausedCert", KEY_ALG_DES, "q", false, true);
  ASSERT_TRUE(TVDEV_CertifyKey("PausedCert", "q", 0));
  AddKey("Locked", KEY_ALG_AES, "z");
  WriteAll(work / "in.zip", Pattern(3000));
  ASSERT_TRUE(Encrypt("Good", work / "in.zip", work / "good.xss"));

  struct Case {
    const char* what;
    bool encrypt;
    std::string key, in, out;
    DWORD error;
  } cases[] = {
      {"unknown key", true, "Nobody", work / "in.zip", work / "o.xss", TVDEV_ERR_NOT_REGISTERED},
      {"suspended enabled key", true, "Paused", work / "in.zip", work / "o.xss", TVDEV_ERR_KEY_SUSPENDED},
      {"suspended certified key", true, "PausedCert", work / "in.zip", work / "o.xss", TVDEV_ERR_KEY_SUSPENDED},
      {"neither enabled nor certified", true, "Locked", work / "in.zip", work / "o.xss", TVDEV_ERR_NOT_CERTIFIED},
      {"missing input", true, "Good", work / "none.zip", work / "o.xss", TVDEV_ERR_READ},
      {"missing output folder", true, "Good", work / "in.zip", work / "no\\o.xss", TVDEV_ERR_WRITE},
      {"output is a folder", true, "Good", work / "in.zip", work.path(), TVDEV_ERR_WRITE},
      {"unknown key", false, "Nobody", work / "good.xss", work / "o.zip", TVDEV_ERR_NOT_REGISTERED},
      {"suspended key", false, "Paused", work / "good.xss", work / "o.zip", TVDEV_ERR_KEY_SUSPENDED},
      {"neither enabled nor certified", false, "Locked", work / "good.xss", work / "o.zip", TVDEV_ERR_NOT_CERTIFIED},
      {"made with another key", false, "Other", work / "good.xss", work / "o.zip", TVDEV_ERR_KEY_MISMATCH},
      {"missing file", false, "Good", work / "none.xss", work / "o.zip", TVDEV_ERR_READ},
      {"not an encrypted file", false, "Good", work / "in.zip", work / "o.zip", TVDEV_ERR_BAD_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.encrypt ? "encrypt: " : "decrypt: ") + c.what);
    const BOOL ok = c.encrypt ? Encrypt(c.key, c.in, c.out) : Decrypt(c.key, c.in, c.out);
    EXPECT_FALSE(ok);
    EXPECT_EQ(TVDEV_GetLastError(0), c.error);
  }
  EXPECT_EQ(work.List(), (std::vector<std::string>{"good.xss", "in.zip"}));
  EXPECT_FALSE(TVDEV_EncryptArchive(nullptr, "a", "b", 0, nullptr, nullptr, nullptr, 0, 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_INVALID_ARGUMENT);
  EXPECT_FALSE(TVDEV_DecryptArchive("Good", nullptr, "b", nullptr, nullptr, 0, 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_INVALID_ARGUMENT);
}

// A key removed and added again under the same name is a different key.
TEST_F(Library, RecreatedKeyOfTheSameNameDoesNotDecrypt) {
  AddKey("Reborn", KEY_ALG_AES, "v", true);
  WriteAll(work / "in.zip", Pattern(100));
  ASSERT_TRUE(Encrypt("Reborn", work / "in.zip", work / "a.xss"));
  tvdev::store::Store s;
  ASSERT_EQ(tvdev::store::Load(&s), tvdev::store::LoadResult::Ok);
  s.keys.clear();
  std::string why;
  ASSERT_TRUE(tvdev::store::Save(s, &why));
  AddKey("Reborn", KEY_ALG_AES, "v", true);
  EXPECT_FALSE(Decrypt("Reborn", work / "a.xss", work / "b.zip"));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_KEY_MISMATCH);
}

// ---- Tampering and truncation ------------------------------------------------------

TEST_F(Library, AnyChangedByteOrCutIsDetected) {
  AddKey("Seal", KEY_ALG_TRIPLE_DES, "v", true);
  const Bytes data = Pattern(3 * kChunk + 1000);
  WriteAll(work / "in.zip", data);
  ASSERT_TRUE(Encrypt("Seal", work / "in.zip", work / "good.xss"));
  const Bytes good = ReadAll(work / "good.xss");
  const size_t keyRec = 32, payloadRec = keyRec + 8 + 160, dataOff = payloadRec + 8 + 128;
  ASSERT_EQ(dataOff, fmt::GetU32(&good[8]) + 32u);
  const size_t c = kChunk + 16;  // one chunk on disk
  const Bytes old = {'o', 'l', 'd'};

  // A changed identifier names another key (10); any other change is damage (9).
  constexpr DWORD kDamaged = TVDEV_ERR_BAD_FORMAT, kOtherKey = TVDEV_ERR_KEY_MISMATCH;
  struct Flip {
    const char* region;
    size_t offset;
    DWORD error;
  } flips[] = {
      {"magic", 0, kDamaged},
      {"block version", 4, kDamaged},
      {"record-area length", 8, kDamaged},
      {"reserved header bytes", 20, kDamaged},
      {"key record type", keyRec, kDamaged},
      {"key record size", keyRec + 4, kDamaged},
      {"key record name", keyRec + 8 + 10, kDamaged},
      {"key record identifier", keyRec + 8 + 45, kOtherKey},
      {"key record padding", keyRec + 8 + 150, kDamaged},
      {"payload record type", payloadRec, kDamaged},
      {"payload version", payloadRec + 8, kDamaged},
      {"chunk size", payloadRec + 8 + 4, kDamaged},
      {"payload key id", payloadRec + 8 + 32, kOtherKey},
      {"plain length", payloadRec + 8 + 48, kDamaged},
      {"wrap nonce", payloadRec + 8 + 56, kDamaged},
      {"wrapped data key", payloadRec + 8 + 80, kDamaged},
      {"wrap tag", payloadRec + 8 + 110, kDamaged},
      {"attempt limit", payloadRec + 8 + 120, kDamaged},
      {"first chunk data", dataOff, kDamaged},
      {"first chunk tag", dataOff + c - 1, kDamaged},
      {"middle chunk data", dataOff + c + 5000, kDamaged},
      {"last chunk data", good.size() - 20, kDamaged},
      {"last chunk tag", good.size() - 1, kDamaged},
  };
  for (const Flip& f : flips) {
    SCOPED_TRACE(f.region);
    Bytes bad = good;
    bad[f.offset] ^= 0x04;
    WriteAll(work / "bad.xss", bad);
    WriteAll(work / "out.zip", old);
    EXPECT_FALSE(Decrypt("Seal", work / "bad.xss", work / "out.zip"));
    EXPECT_EQ(TVDEV_GetLastError(0), f.error);
    EXPECT_EQ(ReadAll(work / "out.zip"), old) << "an existing output stays untouched";
  }

  auto cut = [&](size_t n) { return Bytes(good.begin(), good.begin() + n); };
  auto swapChunks = [&] {
    Bytes b = good;
    std::swap_ranges(b.begin() + dataOff, b.begin() + dataOff + c, b.begin() + dataOff + c);
    return b;
  };
  auto dropChunk = [&] {
    Bytes b = good;
    b.erase(b.begin() + dataOff + c, b.begin() + dataOff + 2 * c);
    return b;
  };
  auto append = [&](const Bytes& tail) {
    Bytes b = good;
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  };
  struct Shape {
    const char* what;
    Bytes bytes;
  } shapes[] = {
      {"empty", Bytes{}},
      {"header only", cut(31)},
      {"block cut", cut(dataOff - 1)},
      {"block without data", cut(dataOff)},
      {"cut inside the first chunk", cut(dataOff + 100)},
      {"cut at a chunk boundary", cut(dataOff + 2 * c)},
      {"last byte missing", cut(good.size() - 1)},
      {"one byte appended", append({0})},
      {"chunk appended", append(Bytes(good.begin() + dataOff, good.begin() + dataOff + c))},
      {"chunks swapped", swapChunks()},
      {"chunk dropped", dropChunk()},
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.what);
    WriteAll(work / "bad.xss", s.bytes);
    EXPECT_FALSE(Decrypt("Seal", work / "bad.xss", work / "new.zip"));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_BAD_FORMAT);
    EXPECT_FALSE(Exists(work / "new.zip"));
  }
  EXPECT_EQ(work.List(), (std::vector<std::string>{"bad.xss", "good.xss", "in.zip", "out.zip"}));
}

// A caller's reservation: an empty file it created and holds delete-on-close. The
// plaintext goes into that very file, so it goes with the holder's handle; a damaged
// archive leaves it empty.
TEST_F(Library, DecryptsIntoAnEmptyHeldFileInPlace) {
  AddKey("Hold", KEY_ALG_AES, "v", true);
  const Bytes data = Pattern(2 * kChunk + 77);
  WriteAll(work / "in.zip", data);
  ASSERT_TRUE(Encrypt("Hold", work / "in.zip", work / "good.xss"));
  Bytes bad = ReadAll(work / "good.xss");
  bad[bad.size() - 1] ^= 1;
  WriteAll(work / "bad.xss", bad);
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "good");
    const std::string reserved = work / "reserved.tmp";
    HANDLE held = CreateFileA(reserved.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Decrypt("Hold", work / (damaged ? "bad.xss" : "good.xss"), reserved) != 0, !damaged);
    EXPECT_EQ(ReadAll(reserved), damaged ? Bytes{} : data);
    CloseHandle(held);
    EXPECT_FALSE(Exists(reserved)) << "the plaintext went with the holder's handle";
  }
}

// ---- Progress and cancel ----------------------------------------------------------------

TEST_F(Library, ProgressReachesTheEndAndCancelLeavesNoOutput) {
  AddKey("Slow", KEY_ALG_AES, "v", true);
  const Bytes data = Pattern(12 * kChunk + 7);
  WriteAll(work / "in.zip", data);
  ASSERT_TRUE(Encrypt("Slow", work / "in.zip", work / "ref.xss"));

  for (bool encrypt : {true, false}) {
    SCOPED_TRACE(encrypt ? "encrypt" : "decrypt");
    auto run = [&](const std::string& out) {
      return encrypt ? Encrypt("Slow", work / "in.zip", out, &ProgressLog::Callback)
                     : Decrypt("Slow", work / "ref.xss", out, &ProgressLog::Callback);
    };
    ProgressLog::Reset();
    ASSERT_TRUE(run(work / "full.out"));
    const int calls = ProgressLog::calls;
    EXPECT_GE(calls, 10) << "often enough for a smooth bar";
    EXPECT_TRUE(ProgressLog::monotonic);
    EXPECT_EQ(ProgressLog::lastDone, ProgressLog::lastTotal);
    EXPECT_EQ(ProgressLog::lastTotal, data.size());

    for (int at : {1, calls / 2, calls}) {
      SCOPED_TRACE(at);
      WriteAll(work / "kept.out", {'o', 'l', 'd'});
      ProgressLog::Reset(at);
      EXPECT_FALSE(run(work / "kept.out"));
      EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_CANCELLED);
      EXPECT_EQ(ProgressLog::calls, at) << "stops at once";
      EXPECT_EQ(ReadAll(work / "kept.out"), (Bytes{'o', 'l', 'd'}));
      ProgressLog::Reset(at);
      EXPECT_FALSE(run(work / "new.out"));
      EXPECT_FALSE(Exists(work / "new.out"));
    }
  }
  EXPECT_EQ(work.List(), (std::vector<std::string>{"full.out", "in.zip", "kept.out", "ref.xss"}));
}

// ---- Media hook -----------------------------------------------------------------------

TEST_F(Library, HookAddPidExRecordsEachRegistration) {
  // Looked up by name at run time, as the program does.
  HMODULE dll = LoadLibraryA("tarvodev.dll");
  ASSERT_NE(dll, nullptr);
  auto hook = reinterpret_cast<PFN_TVDEV_HookAddPidEx>(
      reinterpret_cast<void*>(GetProcAddress(dll, "TVDEV_HookAddPidEx")));
  ASSERT_NE(hook, nullptr);
  EXPECT_TRUE(hook("E:", 1234, 0, 1, 0));
  EXPECT_TRUE(hook("", 99, 0, 1, 0));
  EXPECT_FALSE(hook("E:\\", 1, 0, 1, 0));
  EXPECT_FALSE(hook(nullptr, 1, 0, 1, 0));
  const Bytes log = ReadAll(home.dir() / "mediahook.log");
  EXPECT_EQ(std::string(log.begin(), log.end()),
            "drive=E: pid=1234 args=0,1,0\r\ndrive= pid=99 args=0,1,0\r\n");

  // Before installation made the store folder, a caller's process must not make it: it
  // would get rights that let that user replace the store.
  const std::string missing = home.dir() / "not-installed";
  SetEnvironmentVariableA("TARVODEV_HOME", missing.c_str());
  EXPECT_FALSE(hook("E:", 1234, 0, 1, 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_WRITE);
  DWORD count = 9;
  EXPECT_TRUE(TVDEV_GetKeyCount(&count, 0)) << "no store yet is an empty one";
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(Exists(missing));
  SetEnvironmentVariableA("TARVODEV_HOME", home.dir().path().c_str());
  FreeLibrary(dll);
}
