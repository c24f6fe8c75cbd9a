// The encrypted file's block layout, without crypto: what the parser accepts and what it
// refuses before any key is touched.
#include <gtest/gtest.h>

#include <cstring>

#include "format/xss_format.h"

using namespace tvdev::fmt;

namespace {

PayloadParams StoreKeyParams() {
  PayloadParams p;
  p.derivation = KeyDerivation::StoreKey;
  p.plainLength = 1000;
  p.keyId[0] = 0x42;
  return p;
}

Bytes GoodBlock() {
  KeyRecord rec;
  rec.type = 3;
  rec.name = "Key1";
  return BuildBlock(3, EncodeKeyRecordBody(rec), StoreKeyParams());
}

}  // namespace

TEST(XssFormat, KeyRecordKeepsNameAndPaddedIdentifier) {
  for (uint32_t type : {1u, 2u, 3u}) {
    KeyRecord rec;
    rec.type = type;
    rec.name = std::string(32, 'N');  // a name filling the whole field
    for (int i = 0; i < 16; ++i) rec.keyId[i] = static_cast<uint8_t>(0xA0 + i);
    rec.keyLengthBits = 168;
    const Bytes body = EncodeKeyRecordBody(rec);
    ASSERT_EQ(body.size(), type == 1 ? 136u : 160u);
    EXPECT_EQ(Bytes(body.begin() + 40, body.begin() + 56), Bytes(rec.keyId, rec.keyId + 16));
    EXPECT_EQ(Bytes(body.begin() + 56, body.begin() + 72), Bytes(16, 0)) << "identifier padding";
    auto back = DecodeKeyRecordBody(type, body.data(), body.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, rec.name);
    EXPECT_EQ(back->keyLengthBits, 168u);
    EXPECT_FALSE(DecodeKeyRecordBody(type, body.data(), body.size() - 1));
  }
}

TEST(XssFormat, BlockRoundTripsAndAsksForMoreBytes) {
  const Bytes block = GoodBlock();
  ParsedBlock parsed;
  size_t needed = 0;
  ASSERT_EQ(ParseBlock(block.data(), block.size(), &parsed, &needed), ParseStatus::Ok);
  EXPECT_EQ(parsed.dataOffset, block.size());
  EXPECT_EQ(parsed.keyRecordType, 3u);
  EXPECT_EQ(parsed.payload.plainLength, 1000u);
  EXPECT_EQ(parsed.payload.keyId[0], 0x42);
  EXPECT_EQ(ParseBlock(block.data(), 10, nullptr, &needed), ParseStatus::NeedMore);
  EXPECT_EQ(needed, kBlockHeaderSize);
  EXPECT_EQ(ParseBlock(block.data(), 40, nullptr, &needed), ParseStatus::NeedMore);
  EXPECT_EQ(needed, block.size());
}

TEST(XssFormat, MalformedBlocksAreRefused) {
  const Bytes good = GoodBlock();
  const size_t payloadBody = 32 + 8 + 160 + 8;
  auto with = [&](size_t off, uint32_t v) {
    Bytes b = good;
    PutU32(&b[off], v);
    return b;
  };
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"wrong magic", with(0, 0x494B5654 ^ 1)},
      {"unknown version", with(4, 2)},
      {"record area too small", with(8, 8)},
      {"record area beyond the limit", with(8, kMaxRecordArea + 1)},
      {"record area not filled by records", [&] {
         Bytes b = with(8, static_cast<uint32_t>(good.size() - 32 + 4));
         b.insert(b.end(), 4, 0);
         return b;
       }()},
      {"reserved header bytes", with(16, 1)},
      {"unknown record type", with(32, 9)},
      {"key record of the wrong size", with(36, 152)},
      {"payload of the wrong size", with(payloadBody - 4, 124)},
      {"payload version", with(payloadBody + 0, 2)},
      {"chunk size zero", with(payloadBody + 4, 0)},
      {"chunk size too large", with(payloadBody + 4, kMaxChunkSize + 1)},
      {"unknown key derivation", with(payloadBody + 8, 3)},
      {"iterations for a store key", with(payloadBody + 12, 5)},
      {"absurd length", [&] { Bytes b = good; PutU64(&b[payloadBody + 48], ~0ull); return b; }()},
      {"unknown flags", with(payloadBody + 116, 2)},
      {"reserved payload word", with(payloadBody + 124, 1)},
      {"password payload with a key record", [&] {
         Bytes b = with(payloadBody + 8, 2);
         PutU32(&b[payloadBody + 12], 1000);
         return b;
       }()},
  };
  // Every case has all the bytes its block declares, except the one whose declared
  // record area is beyond the limit: it must be refused from the header alone, not
  // waited for.
  for (const Case& c : cases) {
    size_t needed = 0;
    EXPECT_EQ(ParseBlock(c.bytes.data(), c.bytes.size(), nullptr, &needed), ParseStatus::Bad)
        << c.what;
  }
  // A block without a key record is only valid for a password payload.
  PayloadParams p = StoreKeyParams();
  EXPECT_EQ(ParseBlock(BuildBlock(0, {}, p).data(), BuildBlock(0, {}, p).size(), nullptr, nullptr),
            ParseStatus::Bad);
  p.derivation = KeyDerivation::Password;
  p.iterations = 600000;
  std::memset(p.keyId, 0, sizeof p.keyId);
  const Bytes sfx = BuildBlock(0, {}, p);
  EXPECT_EQ(ParseBlock(sfx.data(), sfx.size(), nullptr, nullptr), ParseStatus::Ok);
}

TEST(XssFormat, StreamSizeCountsOneTagPerChunk) {
  EXPECT_EQ(ChunkCount(0, 100), 1u);
  EXPECT_EQ(ChunkCount(100, 100), 1u);
  EXPECT_EQ(ChunkCount(101, 100), 2u);
  EXPECT_EQ(*StreamSize(0, 100), 16u);
  EXPECT_EQ(*StreamSize(250, 100), 250u + 3 * 16);
  EXPECT_FALSE(StreamSize(~0ull, 100));
  uint8_t a[12], b[12];
  ChunkNonce(5, false, a);
  ChunkNonce(5, true, b);
  EXPECT_NE(0, std::memcmp(a, b, 12)) << "the final flag is part of the nonce";
}

TEST(XssFormat, SfxTrailer) {
  const Bytes t = EncodeSfxTrailer(123456);
  EXPECT_EQ(*DecodeSfxTrailer(t.data(), t.size()), 123456u);
  Bytes bad = t;
  bad[10] ^= 1;
  EXPECT_FALSE(DecodeSfxTrailer(bad.data(), bad.size()));
}
