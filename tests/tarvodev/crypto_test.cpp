// Known-answer tests of every primitive as the platform (Wine's bcrypt, rsaenh, crypt32)
// runs it, against published vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "contracts/tvdev.h"
#include "crypto.h"
#include "keystore.h"

using namespace tvdev;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Hex(const char* s) {
  Bytes b;
  auto v = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (; s[0] && s[1]; s += 2) {
    while (*s == ' ') ++s;
    b.push_back(static_cast<uint8_t>(v(s[0]) << 4 | v(s[1])));
  }
  return b;
}

}  // namespace

TEST(CryptoKat, Sha256AndHmac) {
  uint8_t out[32];
  ASSERT_TRUE(crypto::Sha256("abc", 3, out));  // FIPS 180-2 B.1
  EXPECT_EQ(Bytes(out, out + 32),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  const char* data = "what do ya want for nothing?";  // RFC 4231 case 2
  ASSERT_TRUE(crypto::HmacSha256("Jefe", 4, data, std::strlen(data), out));
  EXPECT_EQ(Bytes(out, out + 32),
            Hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
}

TEST(CryptoKat, Pbkdf2Sha256) {
  struct Case {
    const char *password, *salt;
    uint32_t iterations;
    const char* expected;
  } cases[] = {
      // RFC 7914 section 11
      {"passwd", "salt", 1,
       "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
       "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
      {"Password", "NaCl", 80000,
       "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
       "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
  };
  for (const Case& c : cases) {
    const Bytes expected = Hex(c.expected);
    Bytes out(expected.size());
    ASSERT_TRUE(crypto::Pbkdf2Sha256(c.password, std::strlen(c.password),
                                     reinterpret_cast<const uint8_t*>(c.salt), std::strlen(c.salt),
                                     c.iterations, out.data(), out.size()));
    EXPECT_EQ(out, expected) << c.password << " / " << c.iterations;
  }
}

// The fixed-key ciphers, through the library's own entry point in both directions.
TEST(CryptoKat, EcbCiphersThroughCryptMemoryInDirect) {
  struct Case {
    const char* name;
    DWORD algorithm;
    const char *key, *plain, *cipher;
  } cases[] = {
      // FIPS-197 appendix C.3
      {"AES-256", KEY_ALG_AES,
       "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
      // The classic DES worked example (key 133457799BBCDFF1), two blocks
      {"DES", KEY_ALG_DES, "133457799bbcdff1", "0123456789abcdef0123456789abcdef",
       "85e813540f0ab40585e813540f0ab405"},
      // NIST SP 800-67 example: "The qufck brown fox jump"
      {"Triple DES", KEY_ALG_TRIPLE_DES,
       "0123456789abcdef23456789abcdef01456789abcdef0123",
       "54686520717566636b2062726f776e20666f78206a756d70",
       "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
  };
  for (const Case& c : cases) {
    const Bytes key = Hex(c.key), plain = Hex(c.plain), cipher = Hex(c.cipher);
    Bytes buf = plain;
    ASSERT_TRUE(TVDEV_CryptMemoryInDirect(0, key.data(), c.algorithm, buf.data(), buf.data(),
                                          (DWORD)buf.size(), 0)) << c.name;
    EXPECT_EQ(buf, cipher) << c.name;
    Bytes back(buf.size());
    ASSERT_TRUE(TVDEV_CryptMemoryInDirect(1, key.data(), c.algorithm, buf.data(), back.data(),
                                          (DWORD)buf.size(), 0)) << c.name;
    EXPECT_EQ(back, plain) << c.name;
  }
}

TEST(CryptoKat, CryptMemoryInDirectRejectsBadArguments) {
  uint8_t key[32] = {}, buf[24] = {};
  struct Case {
    DWORD mode, algorithm, length;
  } cases[] = {{2, KEY_ALG_AES, 16}, {1, 3, 16}, {1, KEY_ALG_AES, 8}, {1, KEY_ALG_DES, 12}};
  for (const Case& c : cases) {
    EXPECT_FALSE(TVDEV_CryptMemoryInDirect(c.mode, key, c.algorithm, buf, buf, c.length, 0));
    EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_INVALID_ARGUMENT);
  }
  EXPECT_FALSE(TVDEV_CryptMemoryInDirect(1, nullptr, KEY_ALG_AES, buf, buf, 16, 0));
  EXPECT_EQ(TVDEV_GetLastError(0), TVDEV_ERR_INVALID_ARGUMENT);
}

// NIST GCM test cases (McGrew and Viega, AES-256): each one a single CNG call.
TEST(CryptoKat, AesGcm) {
  struct Case {
    const char *key, *iv, *plain, *aad, *cipher, *tag;
  } cases[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "00000000000000000000000000000000", "",
       "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
       "cafebabefacedbaddecaf888",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
       "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
       "feedfacedeadbeeffeedfacedeadbeefabaddad2",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
       "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
       "76fc6ece0f4e1768cddf8853bb2d551b"},
  };
  for (const Case& c : cases) {
    const Bytes key = Hex(c.key), iv = Hex(c.iv), plain = Hex(c.plain), aad = Hex(c.aad),
                cipher = Hex(c.cipher), tag = Hex(c.tag);
    crypto::Gcm gcm;
    ASSERT_TRUE(gcm.SetKey(key.data()));
    Bytes out(plain.size() + 1);
    uint8_t t[16];
    ASSERT_TRUE(gcm.Seal(iv.data(), aad.data(), aad.size(), plain.data(), plain.size(), out.data(), t));
    out.resize(plain.size());
    EXPECT_EQ(out, cipher);
    EXPECT_EQ(Bytes(t, t + 16), tag);

    Bytes back(cipher.size() + 1);
    EXPECT_TRUE(gcm.Open(iv.data(), aad.data(), aad.size(), cipher.data(), cipher.size(), back.data(), tag.data()));
    back.resize(cipher.size());
    EXPECT_EQ(back, plain);
    // A changed tag, ciphertext byte or associated-data byte is refused.
    Bytes badTag = tag;
    badTag[15] ^= 1;
    EXPECT_FALSE(gcm.Open(iv.data(), aad.data(), aad.size(), cipher.data(), cipher.size(), back.data(), badTag.data()));
    if (!cipher.empty()) {
      Bytes badCipher = cipher;
      badCipher[0] ^= 0x80;
      EXPECT_FALSE(gcm.Open(iv.data(), aad.data(), aad.size(), badCipher.data(), badCipher.size(), back.data(), tag.data()));
    }
    if (!aad.empty()) {
      Bytes badAad = aad;
      badAad.back() ^= 1;
      EXPECT_FALSE(gcm.Open(iv.data(), badAad.data(), badAad.size(), cipher.data(), cipher.size(), back.data(), tag.data()));
    }
  }
}

// Two messages under one key handle in a row: each must come out as if alone (Wine's
// chained-call mode would carry state from one call into the next).
TEST(CryptoKat, GcmMessagesAreIndependent) {
  const Bytes key(32, 7);
  crypto::Gcm a, b;
  ASSERT_TRUE(a.SetKey(key.data()));
  ASSERT_TRUE(b.SetKey(key.data()));
  uint8_t n1[12] = {1}, n2[12] = {2};
  const Bytes m1(1000, 0x11), m2(777, 0x22);
  Bytes c1(m1.size()), c2(m2.size()), solo(m2.size());
  uint8_t t1[16], t2[16], ts[16];
  ASSERT_TRUE(a.Seal(n1, nullptr, 0, m1.data(), m1.size(), c1.data(), t1));
  ASSERT_TRUE(a.Seal(n2, nullptr, 0, m2.data(), m2.size(), c2.data(), t2));
  ASSERT_TRUE(b.Seal(n2, nullptr, 0, m2.data(), m2.size(), solo.data(), ts));
  EXPECT_EQ(c2, solo);
  EXPECT_EQ(0, std::memcmp(t2, ts, 16));
}

TEST(CryptoKat, MachineProtectionRoundTripsAndBindsEntropy) {
  const uint8_t secret[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const uint8_t entropy[16] = {0xAA}, other[16] = {0xAB};
  crypto::Bytes blob, back;
  ASSERT_TRUE(crypto::MachineProtect(secret, 32, entropy, 16, &blob));
  EXPECT_EQ(std::search(blob.begin(), blob.end(), secret, secret + 10), blob.end());
  ASSERT_TRUE(crypto::MachineUnprotect(blob, entropy, 16, &back));
  EXPECT_EQ(back, Bytes(secret, secret + 32));
  EXPECT_FALSE(crypto::MachineUnprotect(blob, other, 16, &back));
}

// Key values live in SecretText: in the object itself, so no grown or freed heap block
// keeps a copy, and wiped when it goes.
TEST(SecretText, HoldsAValueInPlaceAndWipesIt) {
  alignas(crypto::SecretText) unsigned char raw[sizeof(crypto::SecretText)];
  std::memset(raw, 0xCC, sizeof raw);
  auto* text = new (raw) crypto::SecretText;
  ASSERT_TRUE(text->Assign("correct horse battery staple, long enough for the heap"));
  EXPECT_NE(std::search(raw, raw + sizeof raw, text->data(), text->data() + 20), raw + sizeof raw)
      << "kept inside the object";
  text->~SecretText();
  EXPECT_EQ(std::count(raw, raw + sizeof raw, 0), static_cast<long>(sizeof raw))
      << "every byte wiped on destruction";

  crypto::SecretText t;
  ASSERT_TRUE(t.Assign(std::string(255, 'v')));
  EXPECT_FALSE(t.Assign(std::string(256, 'v')));
  EXPECT_TRUE(t.empty()) << "a refused value leaves nothing behind";
}

// The normalised value of a 256-bit key is upper-cased inside the caller's SecretText.
TEST(SecretText, NormalisedValueOfEachAlgorithm) {
  const std::string hyo = "\x95\x5C";  // a double-byte character with a 0x5C trail byte
  struct Case {
    int algorithm;
    std::string typed, proven;
  } cases[] = {
      {0, "open-Sesame", "open-Sesame"},
      {1, "open-Sesame", "open-Sesame"},
      {2, "open-Sesame", "OPEN-SESAME"},
      {2, "a" + hyo + "b", "A" + hyo + "B"},
  };
  for (const Case& c : cases) {
    crypto::SecretText out;
    ASSERT_TRUE(tvdev::store::NormalizeValue(c.algorithm, c.typed, &out));
    EXPECT_EQ(std::string(out.view()), c.proven) << c.algorithm;
  }
  crypto::SecretText out;
  EXPECT_FALSE(tvdev::store::NormalizeValue(2, std::string(256, 'a'), &out));
}
