// The elevated settings writer: the program's client against the real COM server
// tvsetwr.exe, registered in the prefix by the installer step. Under Wine the
// elevation moniker cannot be bound, so the protocol is exercised with the class bound
// directly (ElevatedSettingsWriter::Binding::kDirectForTests).
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "contracts/setwriter.h"
#include "inttest.h"
#include "contracts/authresponse.h"
#include "settingswriter.h"
#include "sfxsettings.h"
#include "testfiles.h"
#include "velvoxapp.h"

using inttest::Matching;
using inttest::ReadLines;
using Writer = ElevatedSettingsWriter;

namespace {

std::string CommonData() {
  char folder[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
  return std::string(folder) + "\\Norvane\\TARVO-Pro\\";
}

std::string Utf8Of(const wchar_t* text) {
  char out[256] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return out;
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
    // The journal holds only this test's lines: each test begins without it.
    DeleteFileA(journal_.c_str());
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
  std::wstring WidePolicy() const { return std::wstring(policy_.begin(), policy_.end()); }
  // The bytes that the file holds for `key` of any section, "(none)" when it has none.
  std::string Stored(const std::string& key) {
    std::istringstream text(ReadAll(policy_));
    for (std::string line; std::getline(text, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    }
    return "(none)";
  }

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
    return Write(auth, L"VELVOX", L"EXTMODE", L"1", std::wstring(file.begin(), file.end()));
  }
  // Any text as the caller chose it, characters outside the code page included.
  LONG Write(const std::vector<BYTE>& auth, const std::wstring& section, const std::wstring& key,
             const std::wstring& value, const std::wstring& file) {
    VARIANT a;
    a.vt = VT_ARRAY | VT_UI1;
    a.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(auth.size()));
    BYTE* data = nullptr;
    SafeArrayAccessData(a.parray, reinterpret_cast<void**>(&data));
    std::copy(auth.begin(), auth.end(), data);
    SafeArrayUnaccessData(a.parray);
    std::vector<VARIANT> args(5);
    const std::wstring* texts[4] = {&file, &value, &key, &section};
    args[0] = a;
    for (int i = 0; i < 4; ++i) {
      args[i + 1].vt = VT_BSTR;
      args[i + 1].bstrVal =
          SysAllocStringLen(texts[i]->data(), static_cast<UINT>(texts[i]->size()));
    }
    const LONG rc = Call(SWDISP_WRITE_PROFILE_STRING, args);
    for (VARIANT& v : args) VariantClear(&v);
    return rc;
  }
  // A fresh challenge answered as the program answers it.
  std::vector<BYTE> Authenticate() {
    std::vector<BYTE> c = Challenge();
    BYTE r[16];
    if (c.size() < 16 || !ComputeAuthResponse(c.data(), r)) return {};
    std::copy(r, r + 16, c.begin());
    return c;
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
      {"a permitted key in another section", "OPTION", "EXTMODE", "1", policy_},
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
  EXPECT_EQ(Matching(journal, "write refused: not allowed").size(), 8u);
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

// The values the program itself writes, and nothing else: the server converts what it
// receives to the system code page without best-fit characters and checks the bytes by
// the program's own rule for an extension (one that the program refuses would stop every
// encryption of every user), and the numbers by the program's bounds.
TEST_F(WriterTest, StoresOnlyValuesOfTheFormTheProgramWrites) {
  const struct {
    const char* what;
    std::string key;
    std::wstring value;
    const char* stored;  // the bytes in the file; nullptr: refused
  } cases[] = {
      {"yen signs, which best fit makes backslashes", "EXTSTRING", L"\u00A5\u00A5\u00A5", nullptr},
      {"a letter outside the code page (the default character)", "EXTSTRING", L"\u0100", nullptr},
      {"a tab", "EXTSTRING", L"a\tb", nullptr},
      {"a full stop after a double-byte character", "EXTSTRING", L"\u8868.", nullptr},
      {"four bytes", "EXTSTRING", L"\u8868\u8868", nullptr},
      {"a double-byte character with trail byte 0x5C", "EXTSTRING", L"\u8868", "\x95\x5c"},
      {"three single-byte katakana", "EXTSTRING", L"\uFF71\uFF72\uFF73", "\xb1\xb2\xb3"},
      {"letters", "EXTSTRING", L"bin", "bin"},
      {"a limit beyond any int", "PWRETRYMAX", L"-9999999999", nullptr},
      {"a limit that is 1 once cut to 32 bits", "PWRETRYMAX", L"4294967297", nullptr},
      {"a limit of 0", "PWRETRYMAX", L"0", nullptr},
      {"a limit of 100", "PWRETRYMAX", L"100", nullptr},
      {"a negative limit", "PWRETRYMAX", L"-1", nullptr},
      {"a limit with a leading zero", "PWRETRYMAX", L"07", nullptr},
      {"a limit with a sign", "PWRETRYMAX", L"+5", nullptr},
      {"the lowest limit", "PWRETRYMAX", L"1", "1"},
      {"the highest limit", "PWRETRYMAX", L"99", "99"},
      {"a retry mode of 2", "PWRETRYMODE", L"2", nullptr},
      {"retry limit on", "PWRETRYMODE", L"1", "1"},
      {"an extension mode of -1", "EXTMODE", L"-1", nullptr},
      {"extension mode off", "EXTMODE", L"0", "0"},
      {"a language of 2", "SELFEXTLANG", L"2", nullptr},
      {"English", "SELFEXTLANG", L"1", "1"},
  };
  for (const auto& c : cases) {
    std::ofstream(policy_, std::ios::binary) << "[VELVOX]\r\nPWLEN=8\r\n";
    {
      RawServer server;  // a process of its own, which has read nothing of the file yet
      ASSERT_TRUE(server.d);
      const std::wstring key(c.key.begin(), c.key.end());
      EXPECT_EQ(server.Write(server.Authenticate(), L"VELVOX", key, c.value, WidePolicy()),
                c.stored ? SWRES_OK : SWRES_NOT_ALLOWED)
          << c.what;
    }
    EXPECT_EQ(Stored(c.key), c.stored ? c.stored : "(none)") << c.what;
    EXPECT_EQ(Stored("PWLEN"), "8") << c.what;
  }
}

// The program's own save of the self-decrypting options, directly and through the writer:
// both store the same bytes, and what one refuses the other refuses at the same entry. An
// extension that is not in use (EXTMODE 0) is saved back as the settings hold it, even
// one that could not name a file; one in use must be able to.
TEST_F(WriterTest, TheProgramsSaveEndsAlikeDirectlyAndThroughTheWriter) {
  const struct {
    const char* what;
    int extMode;
    std::string extension;  // system code page
    int result;             // StoreSfxSettings, both ways
    const char* stored;     // EXTSTRING afterwards
  } cases[] = {
      {"an extension in use", 1, "bin", 0, "bin"},
      {"an empty extension in use", 1, "", 0, ""},
      {"an extension with a full stop, not in use", 0, "a.b", 0, "a.b"},
      {"an extension of a colon and a double-byte character, not in use", 0, ":\x95\x5c", 0,
       ":\x95\x5c"},
      {"an extension with a full stop in use", 1, "a.b", 2, "(none)"},
      {"an extension with a tab, not in use", 0, "a\tb", 2, "(none)"},
  };
  CVelvoxApp app;
  app.m_nPwRetryMode = 1;
  app.m_nPwRetryMax = 7;
  app.m_nSelfExtLang = 1;
  const ElevatedSettingsWriter::Binding binding = g_settingsWriterBinding;
  g_settingsWriterBinding = Writer::Binding::kDirectForTests;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    app.m_nExtMode = c.extMode;
    app.m_strExtString = c.extension;
    std::vector<std::string> stored[2];
    for (BOOL elevate : {FALSE, TRUE}) {
      std::ofstream(policy_, std::ios::binary) << "[VELVOX]\r\nPWLEN=8\r\n";
      EXPECT_EQ(app.StoreSfxSettings(policy_, elevate), c.result) << "elevated " << elevate;
      for (const char* key : {"PWRETRYMODE", "PWRETRYMAX", "EXTMODE", "EXTSTRING", "SELFEXTLANG"})
        stored[elevate].push_back(Stored(key));
    }
    EXPECT_EQ(stored[1], stored[0]);
    EXPECT_EQ(stored[0][3], c.stored);
    EXPECT_EQ(stored[0][4], c.result == 0 ? "1" : "(none)") << "the first refusal ends the save";
  }
  g_settingsWriterBinding = binding;
}

// One save, one instance: an extension is taken as not in use only after this save set
// EXTMODE to 0, and once one that could not name a file is stored, this save cannot put
// it in use.
TEST_F(WriterTest, AnExtensionOutOfUseStaysOutOfUseForTheSave) {
  const struct {
    const wchar_t* key;
    const wchar_t* value;
    LONG result;
  } steps[] = {
      {L"EXTSTRING", L"a.b", SWRES_NOT_ALLOWED},  // EXTMODE not yet set by this save
      {L"EXTMODE", L"0", SWRES_OK},
      {L"EXTSTRING", L"a.b", SWRES_OK},
      {L"EXTMODE", L"1", SWRES_NOT_ALLOWED},
      {L"EXTSTRING", L"bin", SWRES_OK},
      {L"EXTMODE", L"1", SWRES_OK},
      {L"EXTSTRING", L"a.b", SWRES_NOT_ALLOWED},
  };
  RawServer server;
  ASSERT_TRUE(server.d);
  const std::vector<BYTE> auth = server.Authenticate();
  for (const auto& step : steps)
    EXPECT_EQ(server.Write(auth, L"VELVOX", step.key, step.value, WidePolicy()), step.result)
        << Utf8Of(step.key) << "=" << Utf8Of(step.value);
  EXPECT_EQ(Stored("EXTMODE"), "1");
  EXPECT_EQ(Stored("EXTSTRING"), "bin");
}

// Every journal line is the server's own: a section, key or file name cannot end a line
// and make up another, nor make one as long as it likes.
TEST_F(WriterTest, CallerTextCannotForgeOrFloodJournalLines) {
  const std::wstring forged = L"2026-01-01 00:00:00 pid=1 write [VELVOX] EXTMODE in C:\\x -> 0";
  const std::wstring file = WidePolicy();
  const struct {
    const char* what;
    std::wstring section, key, file;
  } cases[] = {
      {"a section that ends the line", L"VELVOX\r\n" + forged, L"EXTMODE", file},
      {"a key with a line feed", L"VELVOX", L"EXTMODE\n" + forged, file},
      {"a file name with a carriage return", L"VELVOX", L"EXTMODE", file + L"\r" + forged},
      {"Unicode's line and paragraph separators and next line", L"VELVOX\u2028" + forged,
       L"EXTMODE\u0085" + forged, file + L"\u2029" + forged},
      {"a very long section, key and file name", std::wstring(100000, L'S'),
       std::wstring(100000, L'K'), file + std::wstring(100000, L'F')},
  };
  {
    RawServer server;
    ASSERT_TRUE(server.d);
    const std::vector<BYTE> auth = server.Authenticate();
    for (const auto& c : cases)
      EXPECT_EQ(server.Write(auth, c.section, c.key, L"1", c.file), SWRES_NOT_ALLOWED) << c.what;
  }
  const auto journal = Journal();
  // The instance, the challenge and one line per write, all from one server process.
  ASSERT_EQ(journal.size(), 2u + std::size(cases));
  const auto pid = [](const std::string& line) {
    const size_t at = line.find(" pid=");
    return at == 19 ? line.substr(at, line.find(' ', at + 1) - at) : std::string("(none)");
  };
  for (const std::string& line : journal) {
    EXPECT_EQ(pid(line), pid(journal.front())) << line;
    EXPECT_LT(line.size(), 1024u) << line.substr(0, 200);
  }
  EXPECT_NE(pid(journal.front()), " pid=1");
  EXPECT_EQ(Matching(journal, "write refused: not allowed").size(), std::size(cases));
}

// The server runs with administrator rights in the environment of the user who started
// it: the environment cannot move its journal.
TEST_F(WriterTest, TheJournalStaysInItsFolderWhateverTheEnvironmentSays) {
  const std::string elsewhere = inttest::Scratch("writer-env") + "journal";
  SetEnvironmentVariableA("TVSETWR_HOME", elsewhere.c_str());
  {
    Writer w(Writer::Binding::kDirectForTests);
    ASSERT_EQ(w.GetStatus(), Writer::kConnected);
    EXPECT_TRUE(w.WriteProfileString("VELVOX", "EXTMODE", "1", policy_));
    w.Close();
  }
  SetEnvironmentVariableA("TVSETWR_HOME", nullptr);
  EXPECT_EQ(GetFileAttributesA(elsewhere.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Matching(Journal(), "write [VELVOX] EXTMODE").size(), 1u);
}

// Where users may make links (ProgramData lets them create folders), a link in the
// journal's path would have the server write wherever it points: the journal is then
// not written, and the settings still are.
TEST_F(WriterTest, TheJournalIsNeverWrittenThroughALink) {
  const std::string elsewhere = inttest::Scratch("writer-link");
  const std::string folder = CommonData() + "SetWriter";
  const auto save = [&](const char* value) {
    Writer w(Writer::Binding::kDirectForTests);
    ASSERT_EQ(w.GetStatus(), Writer::kConnected);
    EXPECT_TRUE(w.WriteProfileString("VELVOX", "EXTMODE", value, policy_));
    EXPECT_TRUE(w.FlushProfile(policy_));
    w.Close();
    EXPECT_EQ(Read("EXTMODE"), value);
  };
  {
    SCOPED_TRACE("the journal's folder is a link to another folder");
    vxtest::RemoveTree(folder);
    vxtest::FolderLink link(folder, elsewhere.substr(0, elsewhere.size() - 1));
    ASSERT_EQ(link.error(), "");
    save("1");
    EXPECT_EQ(GetFileAttributesA((elsewhere + "tvsetwr.log").c_str()), INVALID_FILE_ATTRIBUTES);
  }
  {
    SCOPED_TRACE("the journal is a hard link to another file");
    const std::string victim = elsewhere + "victim.txt";
    std::ofstream(victim, std::ios::binary) << "untouched\r\n";
    vxtest::RemoveTree(folder);
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkA(journal_.c_str(), victim.c_str(), nullptr));
    save("0");
    EXPECT_EQ(ReadAll(victim), "untouched\r\n");
    DeleteFileA(journal_.c_str());
  }
  // Without a link the journal is written again.
  save("1");
  EXPECT_EQ(Matching(Journal(), "write [VELVOX] EXTMODE").size(), 1u);
}

}  // namespace
