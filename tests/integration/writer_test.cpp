// The elevated settings writer: the program's client against the real COM server
// tvsetwr.exe, registered in the prefix by the installer step. Under Wine the
// elevation moniker cannot be bound, so the protocol is exercised with the class bound
// directly (ElevatedSettingsWriter::Binding::kDirectForTests).
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>

#include <fstream>
#include <sstream>

#include "contracts/setwriter.h"
#include "inttest.h"
#include "authresponse.h"
#include "settingswriter.h"

using inttest::Matching;
using inttest::ReadLines;
using Writer = ElevatedSettingsWriter;

namespace {

std::string CommonData() {
  char folder[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
  return std::string(folder) + "\\Norvane\\TARVO-Pro\\";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    policy_ = CommonData() + "policy.ini";
    journal_ = CommonData() + "SetWriter\\tvsetwr.log";
    had_ = GetFileAttributesA(policy_.c_str()) != INVALID_FILE_ATTRIBUTES;
    saved_ = ReadAll(policy_);
    DeleteFileA(journal_.c_str());
    std::ofstream(policy_, std::ios::binary) << "[VELVOX]\r\nPWLEN=8\r\n";
  }
  void TearDown() override {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, policy_.c_str());
    if (had_)
      std::ofstream(policy_, std::ios::binary) << saved_;
    else
      DeleteFileA(policy_.c_str());
    CoUninitialize();
  }
  std::string Read(const char* key) {
    char buffer[64] = {};
    GetPrivateProfileStringA("VELVOX", key, "(none)", buffer, sizeof(buffer), policy_.c_str());
    return buffer;
  }
  std::vector<std::string> Journal() { return ReadLines(journal_); }

  std::string policy_, journal_, saved_;
  bool had_ = false;
};

// The server reached through IDispatch without the client class, to send what the
// program never would.
struct RawServer {
  IDispatch* d = nullptr;
  RawServer() {
    EXPECT_EQ(CoCreateInstance(kClsidSettingsWriter, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&d)),
              S_OK);
  }
  ~RawServer() {
    if (d) d->Release();
  }
  LONG Call(DISPID id, std::vector<VARIANT> argsLastFirst) {
    DISPPARAMS p = {argsLastFirst.data(), nullptr, static_cast<UINT>(argsLastFirst.size()), 0};
    VARIANT r;
    VariantInit(&r);
    if (FAILED(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &p, &r, nullptr, nullptr))) return -1;
    return r.vt == VT_I4 ? r.lVal : -2;
  }
  std::vector<BYTE> Challenge() {
    VARIANT c;
    VariantInit(&c);
    VARIANT ref;
    ref.vt = VT_VARIANT | VT_BYREF;
    ref.pvarVal = &c;
    EXPECT_EQ(Call(SWDISP_GET_CHALLENGE, {ref}), 0);
    std::vector<BYTE> out;
    if (c.vt == (VT_ARRAY | VT_UI1)) {
      BYTE* data = nullptr;
      SafeArrayAccessData(c.parray, reinterpret_cast<void**>(&data));
      out.assign(data, data + c.parray->rgsabound[0].cElements);
      SafeArrayUnaccessData(c.parray);
    }
    VariantClear(&c);
    return out;
  }
  LONG Write(const std::vector<BYTE>& auth, const std::string& file) {
    VARIANT a;
    a.vt = VT_ARRAY | VT_UI1;
    a.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(auth.size()));
    BYTE* data = nullptr;
    SafeArrayAccessData(a.parray, reinterpret_cast<void**>(&data));
    std::copy(auth.begin(), auth.end(), data);
    SafeArrayUnaccessData(a.parray);
    std::vector<VARIANT> args(5);
    const std::string texts[4] = {file, "1", "EXTMODE", "VELVOX"};
    args[0] = a;
    for (int i = 0; i < 4; ++i) {
      args[i + 1].vt = VT_BSTR;
      std::wstring w(texts[i].begin(), texts[i].end());
      args[i + 1].bstrVal = SysAllocString(w.c_str());
    }
    const LONG rc = Call(SWDISP_WRITE_PROFILE_STRING, args);
    for (VARIANT& v : args) VariantClear(&v);
    return rc;
  }
};

TEST(SettingsWriterClient, ElevationThatCannotBeBoundIsStatusTwo) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    // What the unmodified program does: Wine cannot bind "Elevation:".
    Writer w;
    EXPECT_EQ(w.GetStatus(), Writer::kUnreachable);
    EXPECT_FALSE(w.WriteProfileString("VELVOX", "EXTMODE", "1", "C:\\x.ini"));
    w.Close();
  }
  const struct {
    HRESULT hr;
    int status;
  } cases[] = {{HRESULT_FROM_WIN32(ERROR_CANCELLED), Writer::kDeclined},
               {MK_E_CANTOPENFILE, Writer::kUnreachable},
               {REGDB_E_CLASSNOTREG, Writer::kUnreachable},
               {E_NOINTERFACE, Writer::kUnreachable},
               {E_ACCESSDENIED, Writer::kUnreachable}};
  for (const auto& c : cases)
    EXPECT_EQ(Writer::StatusForConnectFailure(c.hr), c.status) << std::hex << c.hr;
  CoUninitialize();
}

TEST_F(WriterTest, WritesTheFiveOptionsAndFlushes) {
  Writer w(Writer::Binding::kDirectForTests);
  ASSERT_EQ(w.GetStatus(), Writer::kConnected);
  // The server's 32-byte challenge comes back with its length kept.
  ASSERT_EQ(w.AuthValue().vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(w.AuthValue().parray->rgsabound[0].cElements, 32u);
  const std::pair<const char*, const char*> entries[] = {
      {"PWRETRYMODE", "1"}, {"PWRETRYMAX", "7"}, {"EXTMODE", "1"}, {"EXTSTRING", "bin"},
      {"SELFEXTLANG", "0"}};
  for (const auto& [key, value] : entries)
    EXPECT_TRUE(w.WriteProfileString("VELVOX", key, value, policy_)) << key;
  EXPECT_TRUE(w.FlushProfile(policy_));
  w.Close();
  for (const auto& [key, value] : entries) EXPECT_EQ(Read(key), value) << key;
  EXPECT_EQ(Read("PWLEN"), "8");
  EXPECT_EQ(Matching(Journal(), "write [VELVOX]").size(), 5u);
}

TEST_F(WriterTest, RefusesEverythingButTheFiveOptionsAndStillFlushes) {
  Writer w(Writer::Binding::kDirectForTests);
  ASSERT_EQ(w.GetStatus(), Writer::kConnected);
  const std::string other = inttest::Scratch("writer") + "other.ini";
  const struct {
    const char* what;
    std::string section, key, value, file;
  } refused[] = {
      {"another section", "OPTION", "PLUGINNAME", "evil.dll", policy_},
      {"another key", "VELVOX", "PWLEN", "0", policy_},
      {"another file", "VELVOX", "EXTMODE", "1", other},
      {"a value that starts a new section", "VELVOX", "EXTMODE", "1\r\n[OPTION]\r\nPLUGINNAME=e",
       policy_},
      {"a number that is none", "VELVOX", "PWRETRYMAX", "9x", policy_},
      {"an extension of four bytes", "VELVOX", "EXTSTRING", "abcd", policy_},
      {"an extension with a full stop", "VELVOX", "EXTSTRING", "a.b", policy_},
  };
  for (const auto& r : refused)
    EXPECT_FALSE(w.WriteProfileString(r.section, r.key, r.value, r.file)) << r.what;
  // The flush goes through after the refused writes.
  EXPECT_TRUE(w.FlushProfile(policy_));
  EXPECT_FALSE(w.FlushProfile(other));
  // The same file named another way is the suite's file.
  EXPECT_TRUE(w.WriteProfileString("velvox", "extmode", "1",
                                   CommonData() + "SetWriter\\..\\POLICY.INI"));
  w.Close();
  EXPECT_EQ(GetFileAttributesA(other.c_str()), INVALID_FILE_ATTRIBUTES);
  const std::string text = ReadAll(policy_);
  EXPECT_EQ(text.find("PLUGINNAME"), std::string::npos) << text;
  EXPECT_EQ(Read("PWLEN"), "8");
  EXPECT_EQ(Read("EXTMODE"), "1");
  const auto journal = Journal();
  EXPECT_EQ(Matching(journal, "write refused: not allowed").size(), 7u);
  const auto flushes = Matching(journal, "flush ");
  ASSERT_FALSE(flushes.empty());
  EXPECT_NE(flushes.front().find("-> 0"), std::string::npos) << flushes.front();
}

TEST_F(WriterTest, EveryInstanceHasItsOwnChallengeAndChecksEveryCall) {
  RawServer a, b;
  ASSERT_TRUE(a.d && b.d);
  const std::vector<BYTE> ca = a.Challenge();
  const std::vector<BYTE> cb = b.Challenge();
  ASSERT_EQ(ca.size(), 32u);
  ASSERT_EQ(cb.size(), 32u);
  EXPECT_NE(ca, cb);
  auto answer = [](std::vector<BYTE> c) {
    BYTE r[16];
    EXPECT_TRUE(ComputeAuthResponse(c.data(), r));
    std::copy(r, r + 16, c.begin());
    return c;
  };
  EXPECT_EQ(a.Write(ca, policy_), SWRES_NOT_AUTHENTICATED) << "the challenge itself";
  EXPECT_EQ(a.Write(answer(cb), policy_), SWRES_NOT_AUTHENTICATED) << "another instance's";
  std::vector<BYTE> shortened = answer(ca);
  shortened.resize(16);
  EXPECT_EQ(a.Write(shortened, policy_), SWRES_NOT_AUTHENTICATED) << "length not kept";
  EXPECT_EQ(a.Write(answer(ca), policy_), SWRES_OK);
  // A new challenge replaces the old one.
  const std::vector<BYTE> ca2 = a.Challenge();
  EXPECT_NE(ca2, ca);
  EXPECT_EQ(a.Write(answer(ca), policy_), SWRES_NOT_AUTHENTICATED) << "an old answer";
  EXPECT_EQ(a.Write(answer(ca2), policy_), SWRES_OK);
  EXPECT_EQ(b.Write(answer(cb), policy_), SWRES_OK);
}

TEST_F(WriterTest, TwoSavesUseTwoServersAndTwoChallenges) {
  std::vector<BYTE> first, second;
  for (std::vector<BYTE>* auth : {&first, &second}) {
    Writer w(Writer::Binding::kDirectForTests);
    ASSERT_EQ(w.GetStatus(), Writer::kConnected);
    BYTE* data = nullptr;
    SafeArrayAccessData(w.AuthValue().parray, reinterpret_cast<void**>(&data));
    auth->assign(data, data + w.AuthValue().parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(w.AuthValue().parray);
    EXPECT_TRUE(w.WriteProfileString("VELVOX", "EXTMODE", "0", policy_));
    EXPECT_TRUE(w.FlushProfile(policy_));
    w.Close();
  }
  EXPECT_NE(first, second);
  const auto instances = Matching(Journal(), " instance");
  ASSERT_EQ(instances.size(), 2u);
  // One server process per save.
  auto pid = [](const std::string& line) {
    const size_t at = line.find("pid=");
    return line.substr(at, line.find(' ', at) - at);
  };
  EXPECT_NE(pid(instances[0]), pid(instances[1]));
}

}  // namespace
