#include "tokenfixture.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tokenfile.h"
#include "uidriver.h"

namespace tokentest {

SoftToken::SoftToken() {
  const std::string built = vxtest::ExeFolder() + kPlugIn;
  EXPECT_TRUE(CopyFileA(built.c_str(), PlugInPath().c_str(), FALSE)) << built;
  const std::string ini = plugIns_ / "tvtoken.ini";
  EXPECT_TRUE(WritePrivateProfileStringA("TOKEN", "FOLDER", tokens_.path().c_str(), ini.c_str()));
}

std::string SoftToken::TokenFile() const { return tokens_ / tvtoken::kTokenFileName; }

void SoftToken::Write(const Keys& keys, const char* pin) const {
  std::vector<TokenKeyRecord> records(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    std::strncpy(records[i].Name, keys[i].first.c_str(), 127);
    std::strncpy(records[i].Value, keys[i].second.c_str(), 127);
  }
  std::vector<uint8_t> file;
  // The fewest rounds the token accepts keeps the tests quick.
  ASSERT_TRUE(tvtoken::Encode(records.data(), records.size(), pin, 10000, &file));
  tvtest::WriteAll(TokenFile(), file);
}

void SoftToken::Remove() const { DeleteFileA(TokenFile().c_str()); }

std::string PinPromptTitle() { return vxtest::Acp(u8"トークンの PIN"); }
std::string PlugInBoxTitle() { return vxtest::Acp(u8"ソフトウェアトークン"); }

}  // namespace tokentest
