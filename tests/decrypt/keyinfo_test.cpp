// The key-information block reader over hand-built blocks, their key records enciphered
// by the crypto library with the fixed keys, read back through the library's decipher.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "contracts/tvdev.h"
#include "decryptjob.h"
#include "tvtest.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A record as the writer lays it out. Known types get a body whose fields carry
// recognisable values at their places, and whose enciphered prefix the library
// enciphers; `size` may differ from the layout's length to build damaged records.
struct Rec {
  uint32_t type;
  std::string name;
  uint32_t size = 0;  // 0: the prefix length of the type (136 or 160)
  uint8_t seed = 1;
};

size_t Prefix(uint32_t type) { return type == 1 ? 136 : (type == 2 || type == 3) ? 160 : 0; }

Bytes Body(const Rec& r) {
  const size_t prefix = Prefix(r.type);
  Bytes b(r.size ? r.size : (prefix ? prefix : 24), 0);
  if (prefix == 0 || b.size() < prefix) {
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(r.seed + i);
    return b;
  }
  const bool des = r.type == 1;
  Put32(b, 0, 0x10 + r.seed);
  Put32(b, 4, 0x20 + r.seed);
  std::memcpy(&b[8], r.name.data(), r.name.size());
  for (size_t i = 0; i < 32; ++i) b[40 + i] = static_cast<uint8_t>(r.seed * 3 + i);
  for (size_t i = 0; i < (des ? 8u : 32u); ++i) b[72 + i] = static_cast<uint8_t>(0xA0 + i);
  for (size_t i = 0; i < 32; ++i) b[(des ? 80 : 104) + i] = static_cast<uint8_t>(0x60 + r.seed + i);
  Put32(b, des ? 112 : 136, 0x30 + r.seed);  // fourth word
  Put32(b, des ? 116 : 140, 0x40 + r.seed);  // third word
  const unsigned char* key = r.type == 1 ? kKeyInfoKeyDes
                             : r.type == 2 ? kKeyInfoKeyTripleDes
                                           : kKeyInfoKeyAes;
  EXPECT_TRUE(TVDEV_CryptMemoryInDirect(0, key, r.type - 1, b.data(), b.data(),
                                        static_cast<DWORD>(prefix), 0));
  return b;
}

// Header with junk where the reader must not look, then the records; `area` 0 means
// the records' real length.
Bytes Block(const std::vector<Rec>& recs, uint32_t area = 0, const char* magic = "TVKI") {
  Bytes out(32, 0xEE);
  std::memcpy(out.data(), magic, 4);
  for (const Rec& r : recs) {
    Bytes body = Body(r);
    Bytes head(8);
    Put32(head, 0, r.type);
    Put32(head, 4, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), body.begin(), body.end());
  }
  Put32(out, 8, area ? area : static_cast<uint32_t>(out.size() - 32));
  return out;
}

struct Parsed {
  BOOL ok = 0;
  ArchiveKeyInfo info{};
};

Parsed Parse(const Bytes& file) {
  tvtest::TempDir dir;
  tvtest::WriteAll(dir / "a.xss", file);
  Parsed p;
  std::FILE* f = std::fopen((dir / "a.xss").c_str(), "rb");
  EXPECT_NE(f, nullptr);
  if (!f) return p;
  p.ok = ParseKeyInfoBlock(f, &p.info);
  std::fclose(f);
  return p;
}

Bytes Cut(Bytes b, size_t keep) {
  b.resize(keep);
  return b;
}

Bytes WithTail(Bytes b, size_t extra) {
  b.resize(b.size() + extra, 0x77);
  return b;
}

TEST(KeyInfoBlock, CasesOverHandBuiltBlocks) {
  const std::string name32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  const Bytes aes = Block({{3, "SALES"}});
  Bytes huge = Block({{3, "SALES"}});
  Put32(huge, 36, 0xFFFFFFF0);  // body size far beyond the file

  struct Case {
    const char* what;
    Bytes file;
    BOOL ok;
    const char* name;
    uint32_t algorithm;
    uint32_t dataOffset;
  } cases[] = {
      {"a 31-byte file", Cut(aes, 31), 0, "", 0, 0},
      {"wrong magic", Block({{3, "SALES"}}, 0, "TVKJ"), 0, "", 0, 0},
      {"record area 0", Block({{3, "SALES"}}, 0xFFFFFFFF) /* patched below */, 0, "", 0, 0},
      {"record header cut", Cut(aes, 32 + 5), 0, "", 0, 0},
      {"body cut short", Cut(aes, aes.size() - 1), 0, "", 0, 0},
      {"body larger than the file", huge, 0, "", 0, 0},
      {"AES body shorter than its prefix", Block({{3, "SALES", 100}}), 0, "", 0, 0},
      {"DES body shorter than its prefix", Block({{1, "D", 135}}), 0, "", 0, 0},
      {"only an unknown record", Block({{7, ""}}), 0, "", 0, 0},
      {"unknown type 7 skipped, then Triple DES", Block({{7, ""}, {2, "PLAN"}}), 1, "PLAN", 1, 0},
      {"DES then AES: the last wins", Block({{1, "FIRST", 0, 1}, {3, "LAST", 0, 2}}), 1, "LAST", 2, 0},
      {"32-byte name", Block({{3, name32}}), 1, name32.c_str(), 2, 0},
      {"DES alone", Block({{1, "DESKEY"}}), 1, "DESKEY", 0, 0},
      {"body longer than its prefix, data after the block", WithTail(Block({{2, "LONG", 400}}), 64),
       1, "LONG", 1, 0},
      {"area smaller than the first record: that record only, offset from the header",
       Block({{3, "ONE"}, {7, ""}}, 10), 1, "ONE", 2, 42},
  };
  Put32(cases[2].file, 8, 0);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Parsed p = Parse(c.file);
    EXPECT_EQ(p.ok, c.ok);
    if (!c.ok) continue;
    EXPECT_STREQ(p.info.KeyName, c.name);
    EXPECT_EQ(p.info.Algorithm, c.algorithm);
    const uint32_t area = c.file[8] | c.file[9] << 8 | c.file[10] << 16 | uint32_t{c.file[11]} << 24;
    EXPECT_EQ(p.info.DataOffset, c.dataOffset ? c.dataOffset : area + 32);
    EXPECT_EQ(p.info.KeyName[32], '\0');
    EXPECT_EQ(p.info.KeyIdBlock[64], '\0');
  }
}

// Every field lands where its type's layout puts it: the DES key block is 8 bytes, which
// moves the second half of the identifier and the two last words.
TEST(KeyInfoBlock, FieldsFollowTheLayoutOfTheirType) {
  for (uint32_t type : {1u, 2u, 3u}) {
    SCOPED_TRACE(type);
    const Parsed p = Parse(Block({{type, "KEY", 0, 5}}));
    ASSERT_EQ(p.ok, 1);
    EXPECT_EQ(p.info.Word0, 0x15u);
    EXPECT_EQ(p.info.Word1, 0x25u);
    EXPECT_EQ(p.info.Word2, 0x45u);
    EXPECT_EQ(p.info.Word3, 0x35u);
    for (int i = 0; i < 32; ++i) {
      EXPECT_EQ(static_cast<uint8_t>(p.info.KeyIdBlock[i]), 15 + i) << i;
      EXPECT_EQ(static_cast<uint8_t>(p.info.KeyIdBlock[32 + i]), 0x65 + i) << i;
    }
    const size_t keyBlock = type == 1 ? 8 : 32;
    for (size_t i = 0; i < 32; ++i)
      EXPECT_EQ(p.info.KeyBlock[i], i < keyBlock ? 0xA0 + i : 0) << i;
  }
}

}  // namespace
