// The challenge-response transform shared with the guard and the settings writer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "auth_secret.h"
#include "contracts/authresponse.h"

namespace {

std::string Hex(const BYTE* b, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[b[i] >> 4];
    s += d[b[i] & 15];
  }
  return s;
}

void FromHex(const char* hex, BYTE* out) {
  for (int i = 0; i < 16; ++i) out[i] = static_cast<BYTE>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
}

TEST(AuthResponse, AesMatchesFips197KnownAnswers) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      // FIPS-197 Appendix B and Appendix C.1.
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
       "3925841d02dc09fbdc118597196a0b32"},
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
  };
  for (const Case& c : cases) {
    BYTE key[16], plain[16], out[16] = {};
    FromHex(c.key, key);
    FromHex(c.plain, plain);
    ASSERT_TRUE(AesEncryptBlock128(key, plain, out));
    EXPECT_EQ(Hex(out, 16), c.cipher) << c.key;
  }
}

// Byte 8's low four bits choose where the 16 key characters start in the secret:
// 0x00 and 0xF0 at character 1, 0x0F and 0xFF at character 16.
TEST(AuthResponse, ByteEightChoosesTheKeyCharacters) {
  struct Case {
    BYTE byte8;
    int first;
  } cases[] = {{0x00, 1}, {0xF0, 1}, {0x0F, 16}, {0xFF, 16}, {0x07, 8}, {0x31, 2}};
  for (const Case& c : cases) {
    BYTE challenge[16];
    for (int i = 0; i < 16; ++i) challenge[i] = static_cast<BYTE>(0xA5 ^ (i * 17));
    challenge[8] = c.byte8;
    BYTE k1[16], e1[16], expected[16], response[16];
    std::memcpy(k1, kVxAuthSecret + c.first, 16);
    ASSERT_TRUE(AesEncryptBlock128(k1, challenge, e1));
    ASSERT_TRUE(AesEncryptBlock128(e1, challenge, expected));
    ASSERT_TRUE(ComputeAuthResponse(challenge, response));
    EXPECT_EQ(Hex(response, 16), Hex(expected, 16)) << "byte 8 = " << int(c.byte8);
  }
}

TEST(AuthResponse, SameLowBitsOfByteEightGiveDifferentResponsesForDifferentChallenges) {
  BYTE a[16] = {}, b[16] = {}, ra[16], rb[16];
  a[8] = 0x00;
  b[8] = 0xF0;  // same key characters, different block
  ASSERT_TRUE(ComputeAuthResponse(a, ra));
  ASSERT_TRUE(ComputeAuthResponse(b, rb));
  EXPECT_NE(Hex(ra, 16), Hex(rb, 16));
}

}  // namespace
