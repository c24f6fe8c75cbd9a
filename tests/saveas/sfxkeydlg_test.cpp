// The self-decrypting password and options dialog run for real in this process (the
// version code is the program's own global, set per case), driven from a second thread
// as a user would; the options are read back from the settings and from the policy file,
// saved directly and through the suite's real elevated settings writer.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "app.h"
#include "dialogs_ids.h"
#include "inttest.h"
#include "mbcs.h"
#include "resource.h"
#include "sfxkeydlg.h"
#include "sfxsettings.h"
#include "string_ids.h"
#include "testfiles.h"
#include "uidriver.h"
#include "velvoxapp.h"

namespace {

const DWORD kPid = GetCurrentProcessId();
using Binding = ElevatedSettingsWriter::Binding;

std::string Title() { return vxtest::Acp(u8"自己復号パスワード入力"); }

template <typename F>
bool WaitUntil(F condition) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < vxtest::kDefaultWait; Sleep(10))
    if (condition()) return true;
  return condition();
}

// Typed key by key: the password fields let only what their filter accepts through.
void Type(HWND dlg, int id, const std::string& chars) {
  HWND edit = GetDlgItem(dlg, id);
  SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
  for (char c : chars) SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 0);
}

// Put in as a paste would, past the typing filter.
void Paste(HWND dlg, int id, const std::string& text) { vxtest::SetControlText(dlg, id, text); }

HWND FocusOf(HWND dlg) {
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  GetGUIThreadInfo(GetWindowThreadProcessId(dlg, nullptr), &gi);
  return gi.hwndFocus;
}

int Height(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  return r.bottom - r.top;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string CommonPolicy() {
  char folder[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
  return std::string(folder) + "\\Norvane\\TARVO-Pro\\policy.ini";
}

std::string IniValue(const std::string& file, const char* key) {
  char buffer[64] = {};
  GetPrivateProfileStringA("VELVOX", key, "(none)", buffer, sizeof buffer, file.c_str());
  return buffer;
}

// Holds a file open without sharing write access, as another program with the file open
// (or missing rights) would: the dialog then finds the policy file not writable.
class WriteBlock {
 public:
  explicit WriteBlock(const std::string& path)
      : h_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr)) {
    EXPECT_NE(h_, INVALID_HANDLE_VALUE) << path;
  }
  ~WriteBlock() { Release(); }
  void Release() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

class SfxKeyDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetEnvironmentVariableA("DISPLAY", nullptr, 0), 0u) << "no display";
    OsVersionCode = 601;
    g_settingsWriterBinding = Binding::kElevated;
    folder_ = inttest::Scratch("sfxkey");
    app.m_strPolicyIni = folder_ + "policy.ini";
    app.m_bTokenRestricted = 1;
    main.Create();
    app.m_pMainWnd = &main;
  }
  void TearDown() override {
    g_settingsWriterBinding = Binding::kElevated;
    app.m_pMainWnd = nullptr;
    main.DestroyWindow();
  }
  UINT Template() const { return OsVersionCode < 600 ? IDD_SFX_KEY_OLD : IDD_SFX_KEY; }

  // Runs a dialog modally here while `user` acts on it from another thread; whatever the
  // user leaves open is cancelled.
  INT_PTR Run(CVxSfxKeyDlg& dlg, const std::function<void(HWND)>& user) {
    return vxtest::RunModal([&] { return dlg.DoModal(); }, Title(), user);
  }
  // Presses a button and reads the program's answer.
  std::string Press(HWND w, int id) {
    vxtest::PostCommand(w, id);
    return vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", vxtest::kDefaultWait, kPid).text;
  }
  void Accept(HWND w) {
    vxtest::PostCommand(w, IDOK);
    EXPECT_TRUE(vxtest::WaitWindowGone(w));
  }

  CVelvoxApp app;
  fw::CDialog main{IDD_VELVOX_DIALOG};
  std::string folder_;
};

std::string Msg(UINT id) { return fw::LoadStr(id); }

// ---- OK's checks: one dialog, every refusal in turn ------------------------------------

TEST_F(SfxKeyDlgTest, RefusedInputShowsItsMessageAndKeepsTheDialogOpen) {
  app.m_nPwMinLen = 8;
  app.m_nPwRetryList = 1;  // the details section open from the start
  const std::string dbcs = vxtest::Acp(u8"ＡＢＣＤＥＦＧＨ");
  const std::string extChars = "\\ / : * ? \"< > | .";
  struct Row {
    const char* label;
    std::string password, confirm;
    bool pasted;  // past the typing filter
    bool limit;
    std::string retry;
    bool changeExt;
    std::string ext;
    std::string message;
    int focus;  // 0: not checked
  };
  const std::string range = fw::Sprintf(Msg(IDS_SFX_RETRY_OUT_OF_RANGE).c_str(), 1, 99);
  const std::string badExt = Msg(IDS_SFX_EXT_BAD_CHAR) + extChars;
  const Row rows[] = {
      {"both empty", "", "", false, false, "5", false, "", Msg(IDS_SFX_PASSWORD_EMPTY), IDC_SFX_PASSWORD},
      {"confirmation empty", "secret99", "", false, false, "5", false, "", Msg(IDS_SFX_CONFIRM_EMPTY), IDC_SFX_CONFIRM},
      {"mismatch", "secret99", "secret98", false, false, "5", false, "", Msg(IDS_SFX_PASSWORD_MISMATCH), IDC_SFX_PASSWORD},
      {"a space", "secret 99", "secret 99", true, false, "5", false, "", Msg(IDS_SFX_PASSWORD_BAD_CHAR), 0},
      {"double-byte", dbcs, dbcs, true, false, "5", false, "", Msg(IDS_SFX_PASSWORD_BAD_CHAR), 0},
      {"too short", "secret9", "SECRET9", false, false, "5", false, "",
       fw::Sprintf(Msg(IDS_SFX_PASSWORD_TOO_SHORT).c_str(), 8), 0},
      {"attempts 0", "secret99", "secret99", false, true, "0", false, "", range, IDC_SFX_RETRY_COUNT},
      {"attempts empty", "secret99", "secret99", false, true, "", false, "", range, IDC_SFX_RETRY_COUNT},
      {"extension with a full stop", "secret99", "secret99", false, false, "5", true, "e.x", badExt, 0},
      {"extension with an asterisk", "secret99", "secret99", false, false, "5", true, "a*", badExt, 0},
  };
  CVxSfxKeyDlg dlg(Template());
  Run(dlg, [&](HWND w) {
    for (const Row& r : rows) {
      SCOPED_TRACE(r.label);
      if (r.pasted) {
        Paste(w, IDC_SFX_PASSWORD, r.password);
        Paste(w, IDC_SFX_CONFIRM, r.confirm);
      } else {
        Type(w, IDC_SFX_PASSWORD, r.password);
        Type(w, IDC_SFX_CONFIRM, r.confirm);
      }
      vxtest::SetCheck(w, IDC_SFX_LIMIT_RETRY, r.limit);
      Type(w, IDC_SFX_RETRY_COUNT, r.retry);
      vxtest::SetCheck(w, IDC_SFX_CHANGE_EXT, r.changeExt);
      Paste(w, IDC_SFX_EXTENSION, r.ext);
      EXPECT_EQ(vxtest::Utf8(Press(w, IDOK)), vxtest::Utf8(r.message));
      if (r.focus) {
        EXPECT_TRUE(WaitUntil([&] { return FocusOf(w) == GetDlgItem(w, r.focus); }));
      }
      EXPECT_TRUE(IsWindowVisible(w));
    }
    // A space or a double-byte character cannot be typed at all.
    Type(w, IDC_SFX_PASSWORD, "a b" + dbcs);
    EXPECT_EQ(vxtest::ControlText(w, IDC_SFX_PASSWORD), "AB");
  });
  // Nothing was accepted, and the settings are as they were.
  EXPECT_TRUE(dlg.m_strPassword.empty());
  EXPECT_TRUE(dlg.m_strPasswordField.empty());
  EXPECT_TRUE(dlg.m_strConfirmField.empty());
  EXPECT_EQ(app.m_nPwRetryMode, 0);
  EXPECT_EQ(app.m_strExtString, "ex_");
}

// ---- What OK accepts and applies --------------------------------------------------------

TEST_F(SfxKeyDlgTest, AcceptedInputIsAppliedToTheSettings) {
  app.m_nPwRetryList = 1;
  app.m_nPwMinLen = 4;
  struct Row {
    const char* label;
    std::string password, confirm;
    bool limit;
    std::string retry;
    bool changeExt;
    std::string ext;
    int retryMode, retryMax, extMode;
    std::string extString;
  };
  const Row rows[] = {
      {"lower case, upper-cased", "abc-12", "ABC-12", false, "7", false, "bin", 0, 5, 0, "ex_"},
      {"one attempt", "pass", "pass", true, "1", false, "", 1, 1, 0, "ex_"},
      {"99 attempts", "pass", "pass", true, "99", false, "", 1, 99, 0, "ex_"},
      // The field takes two digits: "100" typed becomes 10.
      {"100 typed", "pass", "pass", true, "100", false, "", 1, 10, 0, "ex_"},
      {"box cleared: count not examined", "pass", "pass", false, "0", false, "", 0, 5, 0, "ex_"},
      {"new extension", "pass", "pass", false, "", true, "bin", 0, 5, 1, "bin"},
      {"empty extension", "pass", "pass", false, "", true, "", 0, 5, 1, ""},
      {"box cleared: extension not examined", "pass", "pass", false, "", false, "e.x", 0, 5, 0, "ex_"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.label);
    app.m_nPwRetryMode = 0;
    app.m_nPwRetryMax = 5;
    app.m_nExtMode = 0;
    app.m_strExtString = "ex_";
    CVxSfxKeyDlg dlg(Template());
    const INT_PTR result = Run(dlg, [&](HWND w) {
      Type(w, IDC_SFX_PASSWORD, r.password);
      Paste(w, IDC_SFX_CONFIRM, r.confirm);
      vxtest::SetCheck(w, IDC_SFX_LIMIT_RETRY, r.limit);
      Type(w, IDC_SFX_RETRY_COUNT, r.retry);
      vxtest::SetCheck(w, IDC_SFX_CHANGE_EXT, r.changeExt);
      Type(w, IDC_SFX_EXTENSION, r.ext);
      Accept(w);
    });
    ASSERT_EQ(result, IDOK);
    EXPECT_EQ(dlg.m_strPassword, fw::UpperMb(r.password));
    EXPECT_TRUE(dlg.m_strPasswordField.empty());
    EXPECT_TRUE(dlg.m_strConfirmField.empty());
    EXPECT_EQ(app.m_nPwRetryMode, r.retryMode);
    EXPECT_EQ(app.m_nPwRetryMax, r.retryMax);
    EXPECT_EQ(app.m_nExtMode, r.extMode);
    EXPECT_EQ(app.m_strExtString, r.extString);
    dlg.WipePassword();
    EXPECT_TRUE(dlg.m_strPassword.empty());
  }
  // On Vista and later OK writes nothing (the test whether the user may write the file
  // leaves it empty).
  EXPECT_EQ(ReadAll(app.m_strPolicyIni), "");
}

TEST_F(SfxKeyDlgTest, LanguageBoxFollowsTheSettingAndIsStored) {
  const struct {
    int selfExtLang, language;
    bool ticked;
    int stored;  // after OK with the box as opened
  } cases[] = {{0, 1, false, 0}, {1, 0, true, 1}, {2, 1, true, 1}, {2, 0, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.selfExtLang << "/" << c.language);
    app.m_nSelfExtLang = c.selfExtLang;
    app.m_nLanguage = c.language;
    CVxSfxKeyDlg dlg(Template());
    bool ticked = !c.ticked;
    ASSERT_EQ(Run(dlg,
                  [&](HWND w) {
                    ticked = vxtest::IsChecked(w, IDC_SFX_ENGLISH);
                    Type(w, IDC_SFX_PASSWORD, "pw");
                    Type(w, IDC_SFX_CONFIRM, "pw");
                    Accept(w);
                  }),
              IDOK);
    EXPECT_EQ(ticked, c.ticked);
    EXPECT_EQ(app.m_nSelfExtLang, c.stored);
  }
}

// ---- The details section ----------------------------------------------------------------

struct Shown {
  int height;
  bool limit, change, count, ext, save, details;
};

Shown Look(HWND w) {
  return {Height(w),
          vxtest::IsControlEnabled(w, IDC_SFX_LIMIT_RETRY),
          vxtest::IsControlEnabled(w, IDC_SFX_CHANGE_EXT),
          vxtest::IsControlEnabled(w, IDC_SFX_RETRY_COUNT),
          vxtest::IsControlEnabled(w, IDC_SFX_EXTENSION),
          vxtest::IsControlEnabled(w, IDC_SFX_SAVE_SETTINGS),
          vxtest::IsControlEnabled(w, IDC_SFX_DETAILS)};
}

TEST_F(SfxKeyDlgTest, DetailsOpenAndCloseOnBothTemplates) {
  for (unsigned os : {501u, 601u}) {
    SCOPED_TRACE(os);
    OsVersionCode = os;
    app.m_nPwRetryMode = 1;  // count enabled with its box
    app.m_nExtMode = 0;
    const char* name = os < 600 ? "sfxkey_135" : "sfxkey_1006";
    CVxSfxKeyDlg dlg(Template());
    Run(dlg, [&](HWND w) {
      const Shown collapsed = Look(w);
      Type(w, IDC_SFX_PASSWORD, "secret");
      vxtest::SaveScreenshot(std::string(name) + "_collapsed", w);
      EXPECT_FALSE(collapsed.limit || collapsed.change || collapsed.count || collapsed.ext);
      EXPECT_TRUE(collapsed.details);
      vxtest::PostCommand(w, IDC_SFX_DETAILS);
      ASSERT_TRUE(WaitUntil([&] { return Height(w) > collapsed.height; }));
      const Shown open = Look(w);
      vxtest::SaveScreenshot(std::string(name) + "_expanded", w);
      EXPECT_EQ(open.height - collapsed.height, dlg.m_nDetailsHeight);
      EXPECT_TRUE(open.limit && open.change && open.count);
      EXPECT_FALSE(open.ext);  // its box is cleared
      EXPECT_EQ(open.save, os >= 600);
      vxtest::SetCheck(w, IDC_SFX_CHANGE_EXT, true);
      EXPECT_TRUE(vxtest::IsControlEnabled(w, IDC_SFX_EXTENSION));
      vxtest::PostCommand(w, IDC_SFX_DETAILS);
      ASSERT_TRUE(WaitUntil([&] { return Height(w) == collapsed.height; }));
      const Shown closed = Look(w);
      EXPECT_FALSE(closed.limit || closed.change || closed.count || closed.ext || closed.save);
    });
  }
}

TEST_F(SfxKeyDlgTest, WithoutTheDetailsButtonTheSectionOnlyOpensFromTheSettings) {
  app.m_nPwRetry = 0;
  for (int list : {0, 1}) {
    SCOPED_TRACE(list);
    app.m_nPwRetryList = list;
    CVxSfxKeyDlg dlg(Template());
    Run(dlg, [&](HWND w) {
      const Shown s = Look(w);
      EXPECT_FALSE(s.details);
      EXPECT_EQ(s.limit, list == 1);
      EXPECT_EQ(s.save, list == 1);
      EXPECT_EQ(dlg.m_bDetailsShown, list == 1);
    });
  }
}

// ---- Saving ------------------------------------------------------------------------------

TEST_F(SfxKeyDlgTest, BeforeVistaEveryOkSavesTheOptions) {
  OsVersionCode = 501;
  app.m_nPwRetryList = 1;
  CVxSfxKeyDlg dlg(Template());
  ASSERT_EQ(Run(dlg,
                [&](HWND w) {
                  EXPECT_EQ(GetDlgItem(w, IDC_SFX_SAVE_SETTINGS), nullptr);
                  Type(w, IDC_SFX_PASSWORD, "topsecret");
                  Type(w, IDC_SFX_CONFIRM, "topsecret");
                  vxtest::SetCheck(w, IDC_SFX_LIMIT_RETRY, true);
                  Type(w, IDC_SFX_RETRY_COUNT, "12");
                  vxtest::SetCheck(w, IDC_SFX_CHANGE_EXT, true);
                  Type(w, IDC_SFX_EXTENSION, "bin");
                  vxtest::SetCheck(w, IDC_SFX_ENGLISH, true);
                  Accept(w);
                }),
            IDOK);
  const std::string& ini = app.m_strPolicyIni;
  EXPECT_EQ(IniValue(ini, "PWRETRYMODE"), "1");
  EXPECT_EQ(IniValue(ini, "PWRETRYMAX"), "12");
  EXPECT_EQ(IniValue(ini, "EXTMODE"), "1");
  EXPECT_EQ(IniValue(ini, "EXTSTRING"), "bin");
  EXPECT_EQ(IniValue(ini, "SELFEXTLANG"), "1");
  EXPECT_EQ(ReadAll(ini).find("TOPSECRET"), std::string::npos);

  // A file that cannot be written makes no message and does not stop OK.
  const std::string blocked = folder_ + "blocked.ini";
  CreateDirectoryA(blocked.c_str(), nullptr);
  app.m_strPolicyIni = blocked;
  CVxSfxKeyDlg again(Template());
  EXPECT_EQ(Run(again,
                [&](HWND w) {
                  Type(w, IDC_SFX_PASSWORD, "pw");
                  Type(w, IDC_SFX_CONFIRM, "pw");
                  Accept(w);
                }),
            IDOK);
}

TEST_F(SfxKeyDlgTest, FromVistaOnTheSaveButtonWritesAFileTheUserMayWrite) {
  app.m_nPwRetryList = 1;
  CVxSfxKeyDlg dlg(Template());
  Run(dlg, [&](HWND w) {
    vxtest::SetCheck(w, IDC_SFX_CHANGE_EXT, true);
    Type(w, IDC_SFX_EXTENSION, "dat");
    EXPECT_EQ(vxtest::Utf8(Press(w, IDC_SFX_SAVE_SETTINGS)), vxtest::Utf8(Msg(IDS_SETTINGS_SAVED)));
    EXPECT_EQ(IniValue(app.m_strPolicyIni, "EXTSTRING"), "dat");
    // A refused option saves nothing and says why.
    Type(w, IDC_SFX_EXTENSION, "d.t");
    EXPECT_EQ(vxtest::Utf8(Press(w, IDC_SFX_SAVE_SETTINGS)),
              vxtest::Utf8(Msg(IDS_SFX_EXT_BAD_CHAR) + "\\ / : * ? \"< > | ."));
  });
  EXPECT_FALSE(dlg.m_bNeedsElevation);
  EXPECT_EQ(IniValue(app.m_strPolicyIni, "EXTSTRING"), "dat");
  EXPECT_EQ(IniValue(app.m_strPolicyIni, "EXTMODE"), "1");
  EXPECT_EQ(IniValue(app.m_strPolicyIni, "PWRETRYMAX"), "5");
  // Cancel keeps what the save button applied.
  EXPECT_EQ(app.m_strExtString, "dat");
}

// The suite's policy file, put back as it was after the test.
class SuitePolicy {
 public:
  SuitePolicy() : path_(CommonPolicy()) {
    had_ = GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES;
    saved_ = ReadAll(path_);
    std::ofstream(path_, std::ios::binary) << "[VELVOX]\r\nPWLEN=4\r\n";
  }
  ~SuitePolicy() {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str());
    if (had_)
      std::ofstream(path_, std::ios::binary) << saved_;
    else
      DeleteFileA(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_, saved_;
  bool had_ = false;
};

std::string JournalPath() {
  std::string dir = CommonPolicy();
  dir.resize(dir.size() - strlen("policy.ini"));
  return dir + "SetWriter\\tvsetwr.log";
}

std::vector<std::string> Journal() { return inttest::ReadLines(JournalPath()); }

TEST_F(SfxKeyDlgTest, AFileTheUserMayNotWriteGoesThroughTheSettingsWriter) {
  const vxtest::FilesPutBack journalPutBack({JournalPath()});
  SuitePolicy policy;
  app.m_strPolicyIni = policy.path();
  app.m_nPwRetryList = 1;
  // The program as shipped: Wine cannot bind the elevation moniker.
  {
    WriteBlock block(policy.path());
    CVxSfxKeyDlg dlg(Template());
    Run(dlg, [&](HWND w) {
      vxtest::SaveScreenshot("sfxkey_1006_shield", w);
      block.Release();
      EXPECT_EQ(vxtest::Utf8(Press(w, IDC_SFX_SAVE_SETTINGS)),
                vxtest::Utf8(Msg(IDS_WRITER_ACCESS_FAILED)));
      EXPECT_TRUE(IsWindowVisible(w));
    });
    EXPECT_TRUE(dlg.m_bNeedsElevation);
    EXPECT_EQ(IniValue(policy.path(), "EXTMODE"), "(none)");
  }
  // The same server reached without the moniker.
  g_settingsWriterBinding = Binding::kDirectForTests;
  {
    WriteBlock block(policy.path());
    CVxSfxKeyDlg dlg(Template());
    Run(dlg, [&](HWND w) {
      block.Release();
      vxtest::SetCheck(w, IDC_SFX_LIMIT_RETRY, true);
      Type(w, IDC_SFX_RETRY_COUNT, "3");
      vxtest::SetCheck(w, IDC_SFX_CHANGE_EXT, true);
      Type(w, IDC_SFX_EXTENSION, "abc");
      EXPECT_EQ(vxtest::Utf8(Press(w, IDC_SFX_SAVE_SETTINGS)), vxtest::Utf8(Msg(IDS_SETTINGS_SAVED)));
    });
    EXPECT_TRUE(dlg.m_bNeedsElevation);
  }
  EXPECT_EQ(IniValue(policy.path(), "PWRETRYMODE"), "1");
  EXPECT_EQ(IniValue(policy.path(), "PWRETRYMAX"), "3");
  EXPECT_EQ(IniValue(policy.path(), "EXTMODE"), "1");
  EXPECT_EQ(IniValue(policy.path(), "EXTSTRING"), "abc");
  EXPECT_EQ(IniValue(policy.path(), "PWLEN"), "4");
}

TEST_F(SfxKeyDlgTest, RefusedWritesThroughTheWriterSay2512AndStillFlush) {
  const vxtest::FilesPutBack journalPutBack({JournalPath()});
  g_settingsWriterBinding = Binding::kDirectForTests;
  // The writer writes only the suite's policy file: this one is refused.
  const std::string other = folder_ + "other.ini";
  DeleteFileA(JournalPath().c_str());
  app.m_strPolicyIni = other;
  app.m_nPwRetryList = 1;
  WriteBlock block(other);
  CVxSfxKeyDlg dlg(Template());
  Run(dlg, [&](HWND w) {
    block.Release();
    EXPECT_EQ(vxtest::Utf8(Press(w, IDC_SFX_SAVE_SETTINGS)),
              vxtest::Utf8(Msg(IDS_SETTINGS_SAVE_FAILED)));
  });
  const auto journal = Journal();
  const auto refused = inttest::Matching(journal, "write refused");
  const auto flushes = inttest::Matching(journal, "flush");
  ASSERT_FALSE(refused.empty());
  ASSERT_FALSE(flushes.empty());
  // The first refused write ended the sequence, and the flush came after it.
  EXPECT_EQ(refused.size(), 1u);
  EXPECT_GT(std::find(journal.begin(), journal.end(), flushes.back()) - journal.begin(),
            std::find(journal.begin(), journal.end(), refused.back()) - journal.begin());
}

TEST(SfxExtension, OneTestForTheDialogAndTheJob) {
  const struct {
    std::string text;
    BOOL valid;
  } cases[] = {
      {"", 1}, {"exe", 1}, {"ex_", 1}, {"e.x", 0}, {"a*", 0}, {"?", 0}, {"\\", 0}, {"/", 0},
      {":", 0}, {"\"", 0}, {"<", 0}, {">", 0}, {"|", 0},
      // 0x5C as the trail byte of a double-byte character is no backslash.
      {vxtest::Acp(u8"表"), 1}, {vxtest::Acp(u8"表.") , 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CVxSfxKeyDlg::IsValidExtension(c.text), c.valid) << c.text;
}

}  // namespace
