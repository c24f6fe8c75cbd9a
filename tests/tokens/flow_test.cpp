// The token flow behind button 1001, run for real in both key dialogs with typing
// allowed and forbidden (m_nKeyInDisable 0 and 1), against the fixture key store and the
// suite's software token; two small plug-ins stand in for failures the software token
// cannot show. A second thread acts as the user: it answers the token key dialog, the
// token's PIN prompt and every message box, then reads what the key dialog shows.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "app.h"
#include "keyfixture.h"
#include "keyindlg.h"
#include "keys_ids.h"
#include "keyseldlg.h"
#include "mbcs.h"
#include "plugins.h"
#include "resource.h"
#include "string_ids.h"
#include "tokenfixture.h"
#include "tokenkey.h"
#include "uidriver.h"
#include "velvoxapp.h"

using namespace keytest;
using namespace tokentest;

namespace {

const DWORD kPid = GetCurrentProcessId();

std::string KeyTitle() { return vxtest::Acp(u8"使用する鍵の入力"); }
std::string TokenTitle() { return vxtest::Acp(u8"トークンの鍵"); }
std::string Msg(UINT id) { return vxtest::Utf8(fw::LoadStr(id)); }

template <typename F>
bool WaitUntil(F condition) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < vxtest::kDefaultWait; Sleep(10))
    if (condition()) return true;
  return condition();
}

void PostClick(HWND dlg, int id) {
  PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

// Returns once the dialog's thread has handled everything sent before.
void Settle(HWND w) {
  DWORD_PTR r = 0;
  SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, vxtest::kDefaultWait, &r);
}

std::string ComboSelection(HWND dlg) {
  HWND combo = GetDlgItem(dlg, IDC_KEY_COMBO);
  LRESULT i = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  if (i == CB_ERR) return "(none)";
  char buf[256] = {};
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf));
  return buf;
}

// The token key dialog's list: names in display order, a '+' before a ticked one.
std::vector<std::string> Items(HWND tokenDlg) {
  fw::CListCtrl list;
  list.Attach(GetDlgItem(tokenDlg, IDC_TOKEN_LIST));
  std::vector<std::string> items;
  for (int i = 0; i < list.GetItemCount(); ++i)
    items.push_back((list.GetCheck(i) ? "+" : "") + list.GetItemText(i, 0));
  return items;
}

void Tick(HWND tokenDlg, const std::string& name, bool ticked) {
  fw::CListCtrl list;
  list.Attach(GetDlgItem(tokenDlg, IDC_TOKEN_LIST));
  for (int i = 0; i < list.GetItemCount(); ++i)
    if (list.GetItemText(i, 0) == name) list.SetCheck(i, ticked);
}

// What the user saw and did in one run.
struct Seen {
  std::vector<std::string> boxes;  // message-box texts in order (UTF-8)
  std::vector<std::string> offered;
  std::vector<std::string> notes;  // anything else the user noticed that is wrong
  HWND keyDialog = nullptr;
};

std::string AnswerBox(Seen& seen) {
  std::string text = vxtest::Utf8(vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", vxtest::kDefaultWait, kPid).text);
  seen.boxes.push_back(text);
  return text;
}

HWND WaitTokenDialog() {
  return vxtest::WaitForWindow(TokenTitle(), "#32770", vxtest::kDefaultWait, kPid);
}

// The user ticks `name` alone and presses OK.
std::function<void(Seen&)> TickAndAccept(const std::string& name) {
  return [=](Seen& seen) {
    HWND w = WaitTokenDialog();
    if (!w) return;
    seen.offered = Items(w);
    Tick(w, name, true);
    PostClick(w, IDOK);
    vxtest::WaitWindowGone(w);
  };
}

// The PIN prompt of the software token: `before` runs while it is open, then the PIN is
// entered (or the prompt cancelled when `pin` is nullptr).
void AnswerPin(const char* pin, const std::function<void()>& before = {}) {
  HWND w = vxtest::WaitForWindow(PinPromptTitle(), "#32770", vxtest::kDefaultWait, kPid);
  if (!w) return;
  if (before) before();
  if (pin) vxtest::SetControlText(w, 1001, pin);
  PostMessageA(w, WM_COMMAND, pin ? IDOK : IDCANCEL, 0);
  vxtest::WaitWindowGone(w);
}

enum Kind { kInput, kSelection };

struct Expect {
  std::vector<std::string> boxes;
  bool staysOpen;
};

struct FlowCase {
  const char* label;
  Keys token;
  bool sealed;
  const char* fixedName;  // a decryption's key name, or nullptr
  const char* plugIn;     // a stand-in in the test folder, or nullptr for the software token
  std::function<void(Seen&)> user;
  std::vector<std::string> offered;
  Expect byKeyInDisable[2];
  const char* takenName;  // shown and accepted; nullptr: the dialog keeps what it had
  const char* takenValue;
  bool missingFromSelectionList;  // the selection dialog cannot take the key (2217)
};

struct Outcome {
  INT_PTR result = -1;
  std::string resultName, fieldName, fieldValue;
  Seen seen;
};

class TokenFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetEnvironmentVariableA("DISPLAY", nullptr, 0), 0u) << "no display";
    OsVersionCode = 601;
    main.Create();
    app.m_pMainWnd = &main;
    app.m_nUseToken = 1;
    SetEnvironmentVariableA("TPDOUBLE_LOG", (logDir / "calls.log").c_str());
  }
  void TearDown() override {
    app.m_pMainWnd = nullptr;
    main.DestroyWindow();
    for (const char* v : {"TPDOUBLE_LOG", "TPDOUBLE_INIT", "TPDOUBLE_GETKEYINFO"})
      SetEnvironmentVariableA(v, nullptr);
  }

  // The calls a stand-in plug-in saw, and the window its TPP_Shutdown was given.
  std::vector<std::string> Calls(HWND* shutdownOwner) {
    std::vector<std::string> calls;
    std::string log = ReadText(logDir / "calls.log");
    DeleteFileA((logDir / "calls.log").c_str());
    for (size_t at = 0; at < log.size();) {
      size_t end = log.find('\n', at);
      std::string line = log.substr(at, end - at);
      at = end == std::string::npos ? log.size() : end + 1;
      size_t space = line.find(' ');
      calls.push_back(line.substr(0, space));
      if (calls.back() == "Shutdown")
        *shutdownOwner = reinterpret_cast<HWND>(std::stoull(line.substr(space + 1), nullptr, 16));
    }
    return calls;
  }

  // Runs the key dialog of `kind` with typing allowed or forbidden; with typing allowed
  // the user presses the token button, then `user` acts, the expected boxes are
  // answered, and a dialog that stays open is read and ended with OK (a key was taken)
  // or Cancel.
  Outcome Run(const FlowCase& c, Kind kind, int keyInDisable, const Expect& expect, bool okAfter) {
    SoftToken token;
    token.Write(c.token, c.sealed ? SoftToken::kPin : nullptr);
    std::string folder = vxtest::ExeFolder();
    folder.pop_back();
    app.m_strPlugInFolder = !plugInFolder.empty() ? plugInFolder
                            : c.plugIn             ? folder
                                                   : token.PlugInFolder();
    app.m_strPlugInName = c.plugIn ? c.plugIn : SoftToken::kPlugIn;
    app.m_nKeyInDisable = keyInDisable;

    CVxKeyInDlg input;
    CVxKeySelDlg selection;
    fw::CDialog& dlg = kind == kInput ? static_cast<fw::CDialog&>(input) : selection;
    if (c.fixedName) {
      input.m_strKeyName = input.m_strExpectedKeyName = c.fixedName;
      selection.m_strCurrentKeyName = selection.m_strExpectedKeyName = c.fixedName;
      input.m_bFixedKeyName = selection.m_bFixedKeyName = 1;
    }
    Outcome o;
    std::atomic<bool> ended{false};
    std::thread user([&] {
      Seen& seen = o.seen;
      HWND opened = nullptr;
      if (keyInDisable == 0) {
        opened = vxtest::WaitForWindow(KeyTitle(), "#32770", vxtest::kDefaultWait, kPid);
        if (opened) PostClick(opened, IDC_KEY_TOKEN);
      }
      if (keyInDisable == 1 || opened) {
        if (c.user) c.user(seen);
        while (seen.boxes.size() < expect.boxes.size()) AnswerBox(seen);
      }
      if (expect.staysOpen && (keyInDisable == 1 || opened)) {
        HWND w = vxtest::WaitForWindow(KeyTitle(), "#32770", vxtest::kDefaultWait, kPid);
        if (w) {
          seen.keyDialog = w;
          Settle(w);
          if (!vxtest::FindWindows("TARVO-Pro", "#32770", kPid).empty() ||
              !vxtest::FindWindows(TokenTitle(), "#32770", kPid).empty())
            seen.notes.push_back("unexpected window: " + vxtest::DescribeWindows());
          o.fieldName = kind == kInput ? vxtest::ControlText(w, IDC_KEY_NAME) : ComboSelection(w);
          o.fieldValue = vxtest::ControlText(w, IDC_KEY_VALUE);
          PostClick(w, okAfter ? IDOK : IDCANCEL);
        }
      }
      // Whatever the flow left open is cancelled, so that a wrong turn fails the case
      // instead of hanging the run.
      if (WaitUntil([&] { return ended.load(); })) return;
      seen.notes.push_back("still open: " + vxtest::DescribeWindows());
      while (!ended) {
        for (HWND w : vxtest::FindWindows("", "#32770", kPid))
          if (w != main.m_hWnd) PostMessageA(w, WM_COMMAND, IDCANCEL, 0);
        Sleep(50);
      }
    });
    o.result = dlg.DoModal();
    ended = true;
    user.join();
    o.resultName = kind == kInput ? input.m_strResultKeyName : selection.m_strResultKeyName;
    EXPECT_EQ(GetModuleHandleA(SoftToken::kPlugIn), nullptr) << "the plug-in stayed loaded";
    return o;
  }

  CVelvoxApp app;
  fw::CDialog main{IDD_VELVOX_DIALOG};
  tvtest::TempDir logDir;
  std::string plugInFolder;  // instead of the test programs' folder, when set
};

const Keys kPlanOnToken = {{"Plan", "plan-Value"}};

TEST_F(TokenFlowTest, BothKeyDialogsWithTypingAllowedAndForbidden) {
  const std::string count200 = vxtest::Utf8(fw::Sprintf(fw::LoadStr(IDS_TOKEN_SELECT_COUNT).c_str(), 1));
  const FlowCase cases[] = {
      {"a token key that is not registered is not offered", {{"NOSUCH", "x"}}, false, nullptr,
       nullptr, nullptr, {}, {{{}, true}, {{Msg(IDS_NO_USABLE_KEY)}, false}}, nullptr, nullptr,
       false},
      {"the one registered key is ticked and taken", {{"NOSUCH", "x"}, {"Plan", "plan-Value"}},
       false, nullptr, nullptr, TickAndAccept("Plan"), {"Plan"}, {{{}, true}, {{}, false}}, "Plan",
       "plan-Value", false},
      {"two keys: exactly one must be ticked, none ticked does nothing",
       {{"Plan", "plan-Value"}, {"Alpha", "alphaValue9"}}, false, nullptr, nullptr,
       [](Seen& seen) {
         HWND w = WaitTokenDialog();
         if (!w) return;
         seen.offered = Items(w);
         // Sent, not posted: it returns only once OK has been handled, so a message box
         // it opened would still be open here.
         SendMessageA(w, WM_COMMAND, IDOK, 0);
         if (!IsWindowVisible(w) || !vxtest::FindWindows("TARVO-Pro", "#32770", kPid).empty())
           seen.notes.push_back("OK with nothing ticked did something");
         Tick(w, "Plan", true);
         Tick(w, "Alpha", true);
         vxtest::SaveScreenshot("tokens_token_key_dialog", w);
         PostClick(w, IDOK);
         AnswerBox(seen);
         Tick(w, "Alpha", false);
         PostClick(w, IDOK);
         vxtest::WaitWindowGone(w);
       },
       {"Alpha", "Plan"}, {{{count200}, true}, {{count200}, false}}, "Plan", "plan-Value", false},
      {"the token key dialog cancelled", kPlanOnToken, false, nullptr, nullptr,
       [](Seen& seen) {
         HWND w = WaitTokenDialog();
         if (!w) return;
         seen.offered = Items(w);
         PostClick(w, IDCANCEL);
         vxtest::WaitWindowGone(w);
       },
       {"Plan"}, {{{}, true}, {{}, false}}, nullptr, nullptr, false},
      {"a decryption takes its key in another letter case at once",
       {{"Alpha", "alphaValue9"}, {"PLAN", "plan-Value"}}, false, "Plan", nullptr, nullptr, {},
       {{{}, false}, {{}, false}}, "Plan", "plan-Value", false},
      {"a decryption whose key is not on the token", {{"Alpha", "alphaValue9"}}, false, "Plan",
       nullptr, nullptr, {}, {{{}, true}, {{Msg(IDS_KEY_NOT_REGISTERED)}, false}}, nullptr,
       nullptr, false},
      {"a key registered after the selection list was read", {{"NEWKEY", "newValue1"}}, true,
       nullptr, nullptr,
       [](Seen& seen) {
         AnswerPin(SoftToken::kPin, [] { tvtest::AddKey("NEWKEY", KEY_ALG_TRIPLE_DES, "newValue1"); });
         TickAndAccept("NEWKEY")(seen);
       },
       {"NEWKEY"}, {{{}, true}, {{}, false}}, "NEWKEY", "newValue1", true},
      {"the token's PIN prompt cancelled", kPlanOnToken, true, nullptr, nullptr,
       [](Seen&) { AnswerPin(nullptr); }, {}, {{{}, true}, {{}, false}}, nullptr, nullptr, false},
      {"a plug-in lacking TPP_ShowVesion", kPlanOnToken, false, nullptr, "tpnoshow.dll", nullptr,
       {}, {{{Msg(IDS_PLUGIN_OPEN_FAILED)}, true}, {{Msg(IDS_PLUGIN_OPEN_FAILED)}, false}},
       nullptr, nullptr, false},
      {"a plug-in failing TPP_Initialize", kPlanOnToken, false, nullptr, "tpdouble.dll", nullptr,
       {}, {{{Msg(IDS_PLUGIN_ERR_INVALID_PLUGIN)}, true}, {{Msg(IDS_PLUGIN_ERR_INVALID_PLUGIN)}, true}},
       nullptr, nullptr, false},
  };
  SetEnvironmentVariableA("TPDOUBLE_INIT", "3");
  for (const FlowCase& c : cases) {
    for (Kind kind : {kInput, kSelection}) {
      for (int keyInDisable : {0, 1}) {
        SCOPED_TRACE(std::string(c.label) + (kind == kInput ? ", input dialog" : ", selection dialog") +
                     ", KEYINDISABLE " + std::to_string(keyInDisable));
        FixtureStore store;
        Expect expect = c.byKeyInDisable[keyInDisable];
        const char* takenName = c.takenName;
        const char* takenValue = c.takenValue;
        if (kind == kSelection && c.missingFromSelectionList) {
          expect.boxes = {Msg(IDS_SELECTED_KEY_NOT_REGISTERED)};
          takenName = takenValue = nullptr;
        }
        Outcome o = Run(c, kind, keyInDisable, expect, takenName != nullptr);
        EXPECT_EQ(o.seen.boxes, expect.boxes);
        EXPECT_EQ(o.seen.offered, c.offered);
        EXPECT_EQ(o.seen.notes, std::vector<std::string>{});
        EXPECT_EQ(o.result, takenName ? IDOK : IDCANCEL);
        if (takenName) {
          // A decryption's name is taken exactly as its file gives it; a typed name comes
          // back as the field shows it (upper case).
          EXPECT_EQ(o.resultName, c.fixedName ? std::string(c.fixedName)
                                  : kind == kSelection || keyInDisable ? std::string(takenName)
                                                                       : fw::UpperMb(takenName));
        }
        if (expect.staysOpen) {
          std::string name = takenName ? takenName
                             : c.fixedName ? c.fixedName
                             : kind == kSelection ? "Alpha"
                                                  : "";
          EXPECT_EQ(fw::UpperMb(o.fieldName), fw::UpperMb(name));
          EXPECT_EQ(o.fieldValue, takenValue ? takenValue : "");
        }
        if (c.plugIn) {
          EXPECT_EQ(GetModuleHandleA(c.plugIn), nullptr) << "the plug-in stayed loaded";
          HWND owner = nullptr;
          std::vector<std::string> calls = Calls(&owner);
          if (std::string(c.plugIn) == "tpdouble.dll") {
            EXPECT_EQ(calls, (std::vector<std::string>{"Initialize", "Shutdown"}));
            EXPECT_EQ(owner, main.m_hWnd) << "TPP_Shutdown is given the main window";
          } else {
            EXPECT_EQ(calls, std::vector<std::string>{});
          }
        }
      }
    }
  }
}

TEST_F(TokenFlowTest, EveryPlugInErrorShowsItsMessageAndLeavesTheDialogOpen) {
  struct Case {
    DWORD code;
    UINT message;
  } cases[] = {
      {2, IDS_PLUGIN_ERR_NO_MEMORY},   {3, IDS_PLUGIN_ERR_INVALID_PLUGIN},
      {4, IDS_PLUGIN_ERR_INCOMPATIBLE}, {5, IDS_PLUGIN_ERR_INVALID_PARAMETER},
      {6, IDS_PLUGIN_ERR_UNEXPECTED},  {0xFFFFFFFF, IDS_PLUGIN_ERR_UNEXPECTED},
  };
  FixtureStore store;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SetEnvironmentVariableA("TPDOUBLE_GETKEYINFO", std::to_string(c.code).c_str());
    FlowCase flow{"", kPlanOnToken, false, nullptr, "tpdouble.dll", nullptr, {}, {}, nullptr,
                  nullptr, false};
    const Expect expect{{Msg(c.message)}, true};
    Outcome o = Run(flow, kSelection, 1, expect, false);
    EXPECT_EQ(o.seen.boxes, expect.boxes);
    EXPECT_EQ(o.seen.notes, std::vector<std::string>{});
    EXPECT_EQ(o.result, IDCANCEL);
    HWND owner = nullptr;
    EXPECT_EQ(Calls(&owner), (std::vector<std::string>{"Initialize", "GetKeyInfo", "Shutdown"}));
  }

  // The two codes the flow never reports still have their texts.
  for (DWORD code : {0u, 1u}) {
    std::string text;
    std::thread t([&] { text = vxtest::Utf8(vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", vxtest::kDefaultWait, kPid).text); });
    ShowPlugInError(code);
    t.join();
    EXPECT_EQ(text, Msg(code == 0 ? IDS_PLUGIN_ERR_NONE : IDS_PLUGIN_ERR_CANCELLED));
  }
}

// policy.ini, read by every user's velvox, names the plug-in: PLUGINNAME is taken only
// as a plain file name of the plug-in folder. A name that reaches out of it, here to the
// stand-in beside the tests (which would fail TPP_Initialize with its own message), is
// the plug-in that cannot be opened, and nothing of it is loaded.
TEST_F(TokenFlowTest, APlugInNameThatIsAPathIsNeverLoaded) {
  std::string bin = vxtest::ExeFolder();
  bin.pop_back();
  const std::string binName = bin.substr(bin.rfind('\\') + 1);
  const std::string names[] = {"..\\" + binName + "\\tpdouble.dll",
                               "../" + binName + "/tpdouble.dll", ".\\tpdouble.dll"};
  SetEnvironmentVariableA("TPDOUBLE_INIT", "3");
  FixtureStore store;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    FlowCase flow{"", kPlanOnToken, false, nullptr, name.c_str(), nullptr, {}, {}, nullptr,
                  nullptr, false};
    const Expect expect{{Msg(IDS_PLUGIN_OPEN_FAILED)}, false};
    Outcome o = Run(flow, kSelection, 1, expect, false);
    EXPECT_EQ(o.seen.boxes, expect.boxes);
    EXPECT_EQ(o.seen.notes, std::vector<std::string>{});
    EXPECT_EQ(o.result, IDCANCEL);
    EXPECT_EQ(GetModuleHandleA("tpdouble.dll"), nullptr);
    HWND owner = nullptr;
    EXPECT_EQ(Calls(&owner), std::vector<std::string>{}) << "the library was loaded";
  }
}

// A vendor's plug-in usually brings libraries of its own, beside it in the plug-in
// folder: they are found there although the program restricts the library search at
// start-up, while PATH and the current folder, which any user may point anywhere, stay
// out of the search. tpwithdep.dll imports tpdep.dll; loaded, it fails TPP_Initialize
// with its own message.
TEST_F(TokenFlowTest, APlugInsOwnLibrariesAreFoundBesideItAndNowhereElse) {
  fw::AfxRestrictLibrarySearch();
  const std::string dependency = vxtest::ExeFolder() + "tpdep\\tpdep.dll";
  const std::string plugIn = vxtest::ExeFolder() + "tpwithdep.dll";
  SetEnvironmentVariableA("TPDOUBLE_INIT", "3");
  FixtureStore store;
  enum Where { kBeside, kOnPath, kCurrentFolder };
  const struct {
    const char* label;
    Where where;
    std::vector<std::string> boxes;
    std::vector<std::string> calls;
  } cases[] = {
      {"only on PATH", kOnPath, {Msg(IDS_PLUGIN_OPEN_FAILED)}, {}},
      {"only in the current folder", kCurrentFolder, {Msg(IDS_PLUGIN_OPEN_FAILED)}, {}},
      {"beside the plug-in", kBeside, {Msg(IDS_PLUGIN_ERR_INVALID_PLUGIN)},
       {"Initialize", "Shutdown"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(GetModuleHandleA("tpdep.dll"), nullptr) << "left loaded by an earlier case";
    tvtest::TempDir folder, elsewhere;
    ASSERT_TRUE(CopyFileA(plugIn.c_str(), (folder / "tpwithdep.dll").c_str(), FALSE));
    const std::string depFolder = c.where == kBeside ? folder.path() : elsewhere.path();
    ASSERT_TRUE(CopyFileA(dependency.c_str(), (depFolder + "\\tpdep.dll").c_str(), FALSE));
    const DWORD n = GetEnvironmentVariableA("PATH", nullptr, 0);
    std::string path(n, '\0');
    path.resize(GetEnvironmentVariableA("PATH", path.data(), n));
    vxtest::ScopedEnvironment env(
        {{"PATH", c.where == kOnPath ? elsewhere.path() + ";" + path : path}});
    char current[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, current);
    if (c.where == kCurrentFolder) SetCurrentDirectoryA(elsewhere.path().c_str());

    plugInFolder = folder.path();
    FlowCase flow{"", kPlanOnToken, false, nullptr, "tpwithdep.dll", nullptr, {}, {}, nullptr,
                  nullptr, false};
    const Expect expect{c.boxes, c.where == kBeside};
    Outcome o = Run(flow, kSelection, 1, expect, false);
    plugInFolder.clear();
    SetCurrentDirectoryA(current);
    EXPECT_EQ(o.seen.boxes, expect.boxes);
    EXPECT_EQ(o.seen.notes, std::vector<std::string>{});
    EXPECT_EQ(o.result, IDCANCEL);
    HWND owner = nullptr;
    EXPECT_EQ(Calls(&owner), c.calls);
    EXPECT_EQ(GetModuleHandleA("tpwithdep.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleA("tpdep.dll"), nullptr) << "the plug-in's library stayed loaded";
  }
}

// The names PLUGINNAME may hold: a plain file name of the plug-in folder, taken as the
// system reads it.
TEST(PlugInName, OnlyAPlainFileNameOfThePlugInFolder) {
  const std::string folder = "C:\\Program Files\\Norvane\\TARVO-Pro\\PlugIns";
  const struct {
    std::string name;
    bool plain;
  } cases[] = {
      {"tvtoken.dll", true},
      {"my token.dll", true},
      {"\x95\x5c.dll", true},  // a double-byte character whose trail byte is 0x5C
      {"\xb1\xb2.dll", true},  // single-byte katakana
      {"", false},
      {"..\\..\\..\\Users\\Public\\x.dll", false},
      {"sub\\x.dll", false},
      {"sub/x.dll", false},
      {"C:x.dll", false},
      {"C:\\x.dll", false},
      {"\\\\server\\share\\x.dll", false},
      {"\\\\?\\C:\\x.dll", false},
      {"x.dll:stream", false},
      {".", false},
      {"..", false},
      {"...", false},
      {"x..dll", false},
      {"x.dll.", false},  // the system would open x.dll
      {"x.dll ", false},
      {"x.dll. .", false},
      {"x*.dll", false},
      {"x?.dll", false},
      {"x|.dll", false},
      {"x\t.dll", false},
      {"\x95", false},         // a lead byte without its trail byte
      {"\x95/x.dll", false},   // a lead byte before a separator
      {std::string(300, 'x'), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CPlugIns::PathInFolder(folder, c.name), c.plain ? folder + "\\" + c.name : "")
        << c.name;
}

TEST(TokenKeyTest, RecordsAreCopiesAndIndicesOutsideAreRejected) {
  CTokenKey dlg;
  TokenKeyRecord r{};
  std::strcpy(r.Name, "Plan");
  std::strcpy(r.Value, "plan-Value");
  dlg.AddKey(r);
  std::strcpy(r.Name, "Other");
  EXPECT_EQ(dlg.GetRecordCount(), 1);
  TokenKeyRecord out{};
  EXPECT_EQ(dlg.GetRecord(0, &out), 1);
  EXPECT_STREQ(out.Name, "Plan");
  EXPECT_STREQ(out.Value, "plan-Value");
  EXPECT_EQ(dlg.GetRecord(1, &out), 0);
  EXPECT_EQ(dlg.GetRecord(-1, &out), 0);
  EXPECT_EQ(dlg.m_bRequireCount, 0);
  dlg.SetRequiredCount(1);
  EXPECT_EQ(dlg.m_nRequired, 1);
  EXPECT_EQ(dlg.m_bRequireCount, 1);
}

}  // namespace
