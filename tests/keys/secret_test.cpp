// What the user types as a key value or a token PIN must be gone from the program's
// memory once it has served: the job keeps the key dialog object for the whole output
// phase, and a field's text buffer goes back to the heap unwiped when the field is
// destroyed. The dialogs run for real against keys and a sealed token written by the
// suite's tools in processes of their own, the secrets are typed one character at a
// time, and this process's memory is searched for them: when the field is destroyed,
// and after the dialog has closed.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "keyfixture.h"
#include "keyindlg.h"
#include "keys_ids.h"
#include "keyseldlg.h"
#include "memscan.h"
#include "dialogs_ids.h"
#include "resource.h"
#include "sfxkeydlg.h"
#include "string_ids.h"
#include "tokenfixture.h"
#include "tvtoken_res.h"
#include "testfiles.h"
#include "uidriver.h"
#include "velvoxapp.h"

using namespace keytest;

namespace {

const DWORD kPid = GetCurrentProcessId();
// Letters of both cases: a 256-bit key's value is proven upper-cased, and both forms
// are looked for.
constexpr const char* kAlphabet = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";

std::string KeyTitle() { return vxtest::Acp(u8"使用する鍵の入力"); }
std::string SfxTitle() { return vxtest::Acp(u8"自己復号パスワード入力"); }
std::string TokenTitle() { return vxtest::Acp(u8"トークンの鍵"); }

// Runs `args` of one of the suite's tools with `lines` as its standard input (written
// from the secrets' own pages into a file that is gone when the tool ends), so that
// nothing of the registration runs in this process. The tool's exit code.
DWORD RunTool(const std::string& tool, const std::string& args,
              const std::function<bool(HANDLE)>& lines, const tvtest::TempDir& scratch) {
  const std::string input = scratch / "stdin.txt";
  HANDLE f = CreateFileA(input.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 100;
  const bool written = lines(f);
  CloseHandle(f);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE in = CreateFileA(input.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &sa,
                          OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (!written || in == INVALID_HANDLE_VALUE) return 101;
  vxtest::RunOptions options;
  options.inputHandle = in;
  const vxtest::RunResult r = vxtest::Run("\"" + vxtest::ExeFolder() + tool + "\" " + args, options);
  CloseHandle(in);
  if (r.code != 0) std::printf("%s %s:\n%s%s", tool.c_str(), args.c_str(), r.out.c_str(), r.err.c_str());
  return r.code;
}

// Registers the key in the store that TARVODEV_HOME names for the library; the tool is
// given it on its command line, as it never takes its store from the environment.
DWORD RegisterKey(const std::string& name, const char* alg, const vxtest::SecretText& value,
                  const tvtest::TempDir& scratch) {
  char home[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA("TARVODEV_HOME", home, MAX_PATH);
  const std::string store = n > 0 && n < MAX_PATH ? "--store \"" + std::string(home) + "\" " : "";
  return RunTool("tvkeyadm.exe",
                 store + "add " + name + " --alg " + alg + " --value-stdin --iterations 1000",
                 [&](HANDLE f) { return value.WriteLine(f); }, scratch);
}

std::string Lines(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& l : v) s += "  " + l + "\n";
  return s;
}

class SecretTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetEnvironmentVariableA("DISPLAY", nullptr, 0), 0u) << "no display";
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "SOFTWARE\\Norvane\\TARVO-Pro", "LASTKEYNAME");
    OsVersionCode = 601;
    main.Create();
    app.m_pMainWnd = &main;
  }
  void TearDown() override {
    app.m_pMainWnd = nullptr;
    main.DestroyWindow();
  }

  // Runs `dlg` modally while `user` acts on it from another thread; whatever the user
  // leaves open is cancelled.
  template <typename D>
  INT_PTR RunDialog(D& dlg, const std::string& title, const std::function<void(HWND)>& user) {
    return vxtest::RunModal([&] { return dlg.DoModal(); }, title, user);
  }

  // The user's settings of the suite, which each test begins without.
  vxtest::RegistryPutBack userSettings{HKEY_CURRENT_USER, "SOFTWARE\\Norvane\\TARVO-Pro"};
  CVelvoxApp app;
  FixtureStore store;
  tvtest::TempDir scratch;
  fw::CDialog main{IDD_VELVOX_DIALOG};
};

// Proven and announced (the add-on and the resident window take the key), refused, or
// only typed: in no case is the value left behind once its field and its dialog are
// gone. Nor is the self-decrypting password, typed twice: accepted, the dialog hands it
// to the job, which keeps it until the output is written and then wipes it.
TEST_F(SecretTest, TypedKeyValueIsGoneOnceTheFieldAndTheDialogAreGone) {
  enum Ending { kAccepted, kRefusedThenCancelled, kCancelled };
  enum Dialog { kInput, kSelection, kSelfDecrypting };
  struct Case {
    const char* label;
    Dialog dialog;
    const char* alg;
    Ending ending;
  } cases[] = {
      {"input dialog, 256-bit key proven upper-cased", kInput, "aes", kAccepted},
      {"selection dialog, key proven", kSelection, "3des", kAccepted},
      {"input dialog, wrong value refused, then cancelled", kInput, "3des", kRefusedThenCancelled},
      {"selection dialog, value typed, then cancelled", kSelection, "3des", kCancelled},
      {"self-decrypting password, typed twice, then cancelled", kSelfDecrypting, nullptr, kCancelled},
      {"self-decrypting password, typed twice, accepted", kSelfDecrypting, nullptr, kAccepted},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    InstalledAddOn addOn;
    ResidentWindow resident;
    vxtest::SecretText registered("the key value", 20, kAlphabet);
    vxtest::SecretText typed("the wrong value", 20, kAlphabet);
    const std::string name = "MEMO" + std::to_string(n++);
    const bool key = c.dialog != kSelfDecrypting;
    if (key) {
      ASSERT_EQ(RegisterKey(name, c.alg, registered, scratch), 0u);
    }
    const vxtest::SecretText& value = c.ending == kAccepted ? registered : typed;

    CVxKeyInDlg input;
    CVxKeySelDlg selection;
    CVxSfxKeyDlg password(IDD_SFX_KEY);
    fw::CDialog& dlg = c.dialog == kSelection ? static_cast<fw::CDialog&>(selection)
                       : c.dialog == kInput   ? static_cast<fw::CDialog&>(input)
                                              : password;
    const std::string title = key ? KeyTitle() : SfxTitle();
    std::string box;
    INT_PTR r;
    {
      vxtest::ScanAtDestroy atDestroy;
      if (key) {
        atDestroy.Watch(title, IDC_KEY_VALUE, {&value});
      } else if (c.ending != kAccepted) {  // accepted, the job holds it at that moment
        atDestroy.Watch(title, IDC_SFX_PASSWORD, {&value});
        atDestroy.Watch(title, IDC_SFX_CONFIRM, {&value});
      }
      r = RunDialog(dlg, title, [&](HWND w) {
        if (c.dialog == kSelfDecrypting) {
          vxtest::TypeSecret(GetDlgItem(w, IDC_SFX_PASSWORD), value);
          vxtest::TypeSecret(GetDlgItem(w, IDC_SFX_CONFIRM), value);
        } else {
          if (c.dialog == kSelection) {
            HWND combo = GetDlgItem(w, IDC_KEY_COMBO);
            LRESULT i = SendMessageA(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(name.c_str()));
            SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            SendMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_KEY_COMBO, CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(combo));
          } else {
            vxtest::SetControlText(w, IDC_KEY_NAME, name);
          }
          vxtest::TypeSecret(GetDlgItem(w, IDC_KEY_VALUE), value);
        }
        if (c.ending == kCancelled) return;
        vxtest::PostCommand(w, IDOK);
        if (c.ending == kRefusedThenCancelled)
          box = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", vxtest::kDefaultWait, kPid).text;
        else
          vxtest::WaitWindowGone(w);
      });
      const auto copies = atDestroy.Copies();
      EXPECT_TRUE(copies.empty()) << "when the field was destroyed, the value was at\n"
                                  << Lines(copies);
    }
    EXPECT_EQ(r, c.ending == kAccepted ? IDOK : IDCANCEL);
    const std::string announced =
        key ? name + (std::string(c.alg) == "aes" ? "\t2\r\n" : "\t1\r\n") : "";
    EXPECT_EQ(addOn.Recorded(), c.ending == kAccepted ? announced : "");
    EXPECT_EQ(box, c.ending == kRefusedThenCancelled ? fw::LoadStr(IDS_KEY_VALUE_WRONG) : "");
    // The job keeps the dialog object until the output is written, and then wipes the
    // password that it handed on.
    if (!key) password.WipePassword();
    const auto copies = value.FindCopies();
    EXPECT_TRUE(copies.empty()) << "after the dialog closed, the value was at\n" << Lines(copies);
  }
}

// The software token's PIN, typed into the plug-in's own prompt, and the key value the
// token hands out, taken through the token flow with typing forbidden.
TEST_F(SecretTest, TokenPinAndKeyValueAreGoneOnceThePromptAndTheDialogAreGone) {
  InstalledAddOn addOn;
  tokentest::SoftToken token;
  vxtest::SecretText value("the key value", 20, kAlphabet);
  vxtest::SecretText pin("the PIN", 16, kAlphabet);
  ASSERT_EQ(RegisterKey("MEMO", "3des", value, scratch), 0u);
  ASSERT_EQ(RunTool("tvtokadm.exe", "write \"" + token.TokenFile() + "\" --pin",
                    [&](HANDLE f) {
                      DWORD put = 0;
                      return pin.WriteLine(f) && WriteFile(f, "MEMO\t", 5, &put, nullptr) &&
                             value.WriteLine(f);
                    },
                    scratch),
            0u);
  app.m_nUseToken = 1;
  app.m_nKeyInDisable = 1;
  app.m_strPlugInFolder = token.PlugInFolder();
  app.m_strPlugInName = tokentest::SoftToken::kPlugIn;

  CVxKeyInDlg dlg;
  INT_PTR r;
  {
    // The token's own buffer holds the value until the flow gives it back: only the PIN
    // must be gone when the prompt goes.
    vxtest::ScanAtDestroy atDestroy;
    atDestroy.Watch(tokentest::PinPromptTitle(), IDC_TVTOKEN_PIN, {&pin});
    atDestroy.Watch(KeyTitle(), IDC_KEY_VALUE, {&pin, &value});
    std::thread user([&] {
      HWND prompt = vxtest::WaitForWindow(tokentest::PinPromptTitle(), "#32770",
                                          vxtest::kDefaultWait, kPid);
      if (!prompt) return;
      vxtest::TypeSecret(GetDlgItem(prompt, IDC_TVTOKEN_PIN), pin);
      PostMessageA(prompt, WM_COMMAND, IDOK, 0);
      HWND keys = vxtest::WaitForWindow(TokenTitle(), "#32770", vxtest::kDefaultWait, kPid);
      if (!keys) return;
      fw::CListCtrl list;
      list.Attach(GetDlgItem(keys, IDC_TOKEN_LIST));
      list.SetCheck(0, TRUE);
      vxtest::PostCommand(keys, IDOK);
      vxtest::WaitWindowGone(keys);
    });
    r = dlg.DoModal();
    user.join();
    const auto copies = atDestroy.Copies();
    EXPECT_TRUE(copies.empty()) << "when the fields were destroyed, a secret was at\n"
                                << Lines(copies);
  }
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(dlg.m_strResultKeyName, "MEMO");
  EXPECT_EQ(addOn.Recorded(), "MEMO\t1\r\n");
  auto copies = pin.FindCopies();
  for (const std::string& c : value.FindCopies()) copies.push_back(c);
  EXPECT_TRUE(copies.empty()) << "after the dialog closed, a secret was at\n" << Lines(copies);
}

// A secret put into a field, read back, and typed then partly deleted: the field's own
// buffer is the only place it is ever in, and the wipe leaves it nowhere. The ANSI calls
// had the system convert the text in a buffer of its own, on the stack, and the wipe
// covered only the text's current length.
TEST_F(SecretTest, AFieldHoldsTheOnlyCopyAndTheWipeLeavesNone) {
  const int kField = 4242;
  for (const bool typed : {false, true}) {
    SCOPED_TRACE(typed ? "typed, then half of it deleted" : "put into the field and read back");
    vxtest::SecretText value("the key value", 20, kAlphabet);
    HWND edit = CreateWindowExA(0, "Edit", "", WS_CHILD | ES_PASSWORD | ES_AUTOHSCROLL, 0, 0, 100, 20,
                                main.m_hWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kField)),
                                nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    if (typed) {
      // As the dialogs begin: their fields are filled from members, empty here.
      std::string empty;
      fw::CDataExchange init{main.m_hWnd, false};
      fw::DDX_SecretText(&init, kField, empty);
      vxtest::TypeSecret(edit, value);
      for (size_t i = 0; i < value.size() / 2; ++i) SendMessageA(edit, WM_CHAR, VK_BACK, 0);
    } else {
      std::string text(value.size(), ' ');
      for (size_t i = 0; i < value.size(); ++i) text[i] = value[i];
      fw::CDataExchange in{main.m_hWnd, false};
      fw::DDX_SecretText(&in, kField, text);
      SecureZeroMemory(text.data(), text.size());
      EXPECT_EQ(value.FindCopies().size(), 1u) << "after it was put into the field:\n"
                                                 << Lines(value.FindCopies());
      fw::CDataExchange out{main.m_hWnd, true};
      fw::DDX_SecretText(&out, kField, text);
      EXPECT_EQ(text.size(), value.size());
      SecureZeroMemory(text.data(), text.size());
      EXPECT_EQ(value.FindCopies().size(), 1u) << "after it was read back:\n"
                                                 << Lines(value.FindCopies());
    }
    fw::WipeEditText(edit);
    const auto copies = value.FindCopies();
    EXPECT_TRUE(copies.empty()) << "after the wipe:\n" << Lines(copies);
    DestroyWindow(edit);
  }
}

}  // namespace

