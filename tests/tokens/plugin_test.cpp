// The software token's side of the plug-in contract, called as the program calls it:
// result codes, the buffer it hands out and takes back, its own prompts for a missing
// token and for the PIN, and token files that never show a sealed value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "contracts/tokenplugin.h"
#include "tokenfile.h"
#include "tokenfixture.h"
#include "uidriver.h"

using namespace tokentest;

namespace {

const DWORD kPid = GetCurrentProcessId();

template <typename F>
F Entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The plug-in loaded from its folder, released at the end of the scope.
struct Loaded {
  explicit Loaded(const SoftToken& token) : module(LoadLibraryA(token.PlugInPath().c_str())) {
    EXPECT_NE(module, nullptr);
    init = Entry<PFN_TPP_Initialize>(module, "TPP_Initialize");
    get = Entry<PFN_TPP_GetKeyInfo>(module, "TPP_GetKeyInfo");
    freeBuffer = Entry<PFN_TPP_FreeBuffer>(module, "TPP_FreeBuffer");
    shutdown = Entry<PFN_TPP_Shutdown>(module, "TPP_Shutdown");
    version = Entry<PFN_TPP_GetVesion>(module, "TPP_GetVesion");
    EXPECT_TRUE(init && get && freeBuffer && shutdown && version &&
                GetProcAddress(module, "TPP_ShowVesion"));
  }
  ~Loaded() {
    if (module) FreeLibrary(module);
  }
  HMODULE module;
  PFN_TPP_Initialize init;
  PFN_TPP_GetKeyInfo get;
  PFN_TPP_FreeBuffer freeBuffer;
  PFN_TPP_Shutdown shutdown;
  PFN_TPP_GetVesion version;
};

struct Read {
  DWORD code = 99;
  std::vector<std::pair<std::string, std::string>> keys;
};

// Initialize, GetKeyInfo, FreeBuffer, Shutdown, as the program runs them; every string
// must end within its 128 bytes.
Read ReadToken(const Loaded& p, HWND owner = nullptr) {
  Read r;
  r.code = p.init(owner, 0);
  if (r.code == TOKEN_OK) {
    DWORD count = 0;
    TokenKeyRecord* records = nullptr;
    r.code = p.get(owner, &count, &records, 0);
    if (r.code == TOKEN_OK) {
      EXPECT_NE(records, nullptr);
      for (DWORD i = 0; records && i < count; ++i) {
        EXPECT_NE(std::memchr(records[i].Name, 0, 128), nullptr);
        EXPECT_NE(std::memchr(records[i].Value, 0, 128), nullptr);
        EXPECT_EQ(records[i].Selected, 0);
        r.keys.emplace_back(records[i].Name, records[i].Value);
      }
      EXPECT_EQ(p.freeBuffer(owner, records, 0), TOKEN_OK);
      EXPECT_EQ(p.freeBuffer(owner, records, 0), TOKEN_INVALID_PARAMETER) << "freed twice";
    }
  }
  p.shutdown(owner, 0);
  return r;
}

// Runs `read` on this thread while `user` answers the plug-in's windows from another.
template <typename U>
Read WithUser(const Loaded& p, U user) {
  std::thread t(user);
  Read r = ReadToken(p);
  t.join();
  return r;
}

TEST(SoftTokenTest, ReadsAnOpenTokenAndEndsEveryStringWithinItsRecord) {
  SoftToken token;
  const std::string longName(127, 'N'), longValue(127, 'v');
  const Keys keys = {{"PLAN", "plan-Value"}, {longName, longValue}, {"Alpha", "a"}};
  token.Write(keys);
  Loaded p(token);
  Read r = ReadToken(p);
  EXPECT_EQ(r.code, TOKEN_OK);
  EXPECT_EQ(r.keys, keys);

  DWORD v = 0;
  EXPECT_EQ(p.version(&v, 0), TOKEN_OK);
  EXPECT_EQ(v, 0x10000u);

  // An empty token is a token: no keys, and still a buffer to give back.
  token.Write({});
  r = ReadToken(p);
  EXPECT_EQ(r.code, TOKEN_OK);
  EXPECT_TRUE(r.keys.empty());
}

TEST(SoftTokenTest, BadArgumentsAndOutOfOrderCallsAnswer5) {
  SoftToken token;
  token.Write({{"PLAN", "x"}});
  Loaded p(token);
  DWORD count = 0;
  TokenKeyRecord* records = nullptr;
  EXPECT_EQ(p.get(nullptr, &count, &records, 0), TOKEN_INVALID_PARAMETER) << "before Initialize";
  EXPECT_EQ(p.init(nullptr, 1), TOKEN_INVALID_PARAMETER);
  EXPECT_EQ(p.init(reinterpret_cast<HWND>(0x1234), 0), TOKEN_INVALID_PARAMETER);
  ASSERT_EQ(p.init(nullptr, 0), TOKEN_OK);
  EXPECT_EQ(p.get(nullptr, nullptr, &records, 0), TOKEN_INVALID_PARAMETER);
  EXPECT_EQ(p.get(nullptr, &count, nullptr, 0), TOKEN_INVALID_PARAMETER);
  EXPECT_EQ(p.get(nullptr, &count, &records, 7), TOKEN_INVALID_PARAMETER);
  TokenKeyRecord foreign{};
  EXPECT_EQ(p.freeBuffer(nullptr, &foreign, 0), TOKEN_INVALID_PARAMETER);
  EXPECT_EQ(p.shutdown(nullptr, 0), TOKEN_OK);
}

TEST(SoftTokenTest, FilesItCannotUseAnswer3Or4) {
  SoftToken token;
  token.Write({{"PLAN", "plan-Value"}});
  const tvtest::Bytes good = tvtest::ReadAll(token.TokenFile());
  struct Case {
    const char* label;
    size_t offset;  // byte changed, or the size to cut to when `cut`
    bool cut;
    DWORD code;
  } cases[] = {
      {"a changed value", good.size() - 1, false, TOKEN_INVALID_PLUGIN},
      {"cut short", good.size() - 3, true, TOKEN_INVALID_PLUGIN},
      {"not a token file", 0, false, TOKEN_INVALID_PLUGIN},
      {"a later version", 8, false, TOKEN_INCOMPATIBLE},
      {"an unknown flag", 11, false, TOKEN_INCOMPATIBLE},
  };
  Loaded p(token);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    tvtest::Bytes bad = good;
    if (c.cut)
      bad.resize(c.offset);
    else
      bad[c.offset] ^= 0x40;
    tvtest::WriteAll(token.TokenFile(), bad);
    EXPECT_EQ(ReadToken(p).code, c.code);
  }
}

TEST(SoftTokenTest, MissingTokenIsAskedForWithRetryAndCancel) {
  SoftToken token;
  Loaded p(token);
  // Retry after the token was put in place reads it.
  Read r = WithUser(p, [&] {
    HWND box = vxtest::WaitForWindow(PlugInBoxTitle(), "#32770", vxtest::kDefaultWait, kPid);
    if (!box) return;
    token.Write({{"PLAN", "plan-Value"}});
    vxtest::AnswerMessageBox(IDRETRY, PlugInBoxTitle(), vxtest::kDefaultWait, kPid);
  });
  EXPECT_EQ(r.code, TOKEN_OK);
  EXPECT_EQ(r.keys.size(), 1u);

  token.Remove();
  std::string text;
  r = WithUser(p, [&] {
    text = vxtest::AnswerMessageBox(IDCANCEL, PlugInBoxTitle(), vxtest::kDefaultWait, kPid).text;
  });
  EXPECT_EQ(r.code, TOKEN_CANCELLED);
  EXPECT_NE(text.find(vxtest::Acp(u8"トークンが見つかりません")), std::string::npos)
      << vxtest::Utf8(text);
}

TEST(SoftTokenTest, SealedTokenAsksForItsPinAndHoldsNoValueInTheClear) {
  SoftToken token;
  const Keys keys = {{"PLAN", "plan-Value"}, {"SALES", "salesValue"}};
  token.Write(keys, SoftToken::kPin);
  const tvtest::Bytes file = tvtest::ReadAll(token.TokenFile());
  for (const auto& [name, value] : keys)
    EXPECT_EQ(std::search(file.begin(), file.end(), value.begin(), value.end()), file.end())
        << value << " in the clear";

  Loaded p(token);
  std::string errorAfterWrongPin, pinFieldAfterWrongPin;
  Read r = WithUser(p, [&] {
    HWND w = vxtest::WaitForWindow(PinPromptTitle(), "#32770", vxtest::kDefaultWait, kPid);
    if (!w) return;
    vxtest::SetControlText(w, 1001, "1357");
    SendMessageA(w, WM_COMMAND, IDOK, 0);
    errorAfterWrongPin = vxtest::ControlText(w, 1002);
    pinFieldAfterWrongPin = vxtest::ControlText(w, 1001);
    vxtest::SaveScreenshot("tokens_pin_prompt", w);
    vxtest::SetControlText(w, 1001, SoftToken::kPin);
    PostMessageA(w, WM_COMMAND, IDOK, 0);
    vxtest::WaitWindowGone(w);
  });
  EXPECT_EQ(r.code, TOKEN_OK);
  EXPECT_EQ(r.keys, keys);
  EXPECT_EQ(errorAfterWrongPin, vxtest::Acp(u8"PIN が正しくありません。"));
  EXPECT_EQ(pinFieldAfterWrongPin, "");

  r = WithUser(p, [&] {
    HWND w = vxtest::WaitForWindow(PinPromptTitle(), "#32770", vxtest::kDefaultWait, kPid);
    if (w) PostMessageA(w, WM_COMMAND, IDCANCEL, 0);
  });
  EXPECT_EQ(r.code, TOKEN_CANCELLED);
  EXPECT_TRUE(r.keys.empty());
}

TEST(SoftTokenTest, AdministrationToolWritesAndListsTokens) {
  tvtest::TempDir dir;
  const std::string file = dir / "t.tok";
  const std::string tool = "\"" + vxtest::ExeFolder() + "tvtokadm.exe\" ";
  auto run = [&](const std::string& args, const std::string& stdinText) {
    vxtest::RunOptions options;
    options.input = stdinText;
    const vxtest::RunResult r = vxtest::Run(tool + args, options);
    return std::make_pair(r.code, r.out);
  };
  EXPECT_EQ(run("write \"" + file + "\" --pin", "2468\r\nPLAN\tplan-Value\r\nSALES\tsalesValue\r\n").first, 0u);
  EXPECT_EQ(run("list \"" + file + "\" --pin", "2468\r\n"), std::make_pair(DWORD{0}, std::string("PLAN\r\nSALES\r\n")));
  EXPECT_EQ(run("list \"" + file + "\" --pin", "1111\r\n").first, 1u);
  // An existing token is replaced only when asked to.
  EXPECT_EQ(run("write \"" + file + "\"", "X\ty\r\n").first, 1u);
  EXPECT_EQ(run("write \"" + file + "\" --replace", "X\ty\r\n").first, 0u);
  EXPECT_EQ(run("list \"" + file + "\"", ""), std::make_pair(DWORD{0}, std::string("X\r\n")));
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"t.tok"}));
}

}  // namespace
