// The key dialogs run for real under Wine against the fixture key store, driven from a
// second thread as a user would: type, choose, press OK, read and answer the message
// box, and see where the focus went. The suite's add-on and resident window are the
// real ones, observed through what they recorded.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "app.h"
#include "keyfixture.h"
#include "keyedit.h"
#include "keyindlg.h"
#include "keylistdlg.h"
#include "keys_ids.h"
#include "keyseldlg.h"
#include "mbcs.h"
#include "resource.h"
#include "string_ids.h"
#include "testfiles.h"
#include "uidriver.h"
#include "velvoxapp.h"

using namespace keytest;

// Certification failures other than 2, 3 and 4 cannot be produced by the real library.
// These definitions take the place of the import thunks in this program only: they
// forward to the loaded tarvodev.dll, count the calls and see the value proven, and can
// be told to fail with a given code.
namespace {
DWORD g_injectedError = 0;
DWORD g_pendingError = 0;  // answered by the next TVDEV_GetLastError after a forced failure
int g_certifyCalls = 0;
std::string g_certifiedValue;

void* Real(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("tarvodev.dll"), name));
}
}  // namespace

extern "C" BOOL WINAPI TVDEV_CertifyKey(const char* name, const char* value, DWORD reserved) {
  ++g_certifyCalls;
  g_certifiedValue = value ? value : "";
  if (g_injectedError) {
    g_pendingError = g_injectedError;
    return FALSE;
  }
  auto real = reinterpret_cast<BOOL(WINAPI*)(const char*, const char*, DWORD)>(
      Real("TVDEV_CertifyKey"));
  return real(name, value, reserved);
}

extern "C" DWORD WINAPI TVDEV_GetLastError(DWORD reserved) {
  if (DWORD e = g_pendingError) {
    g_pendingError = 0;
    return e;
  }
  return reinterpret_cast<DWORD(WINAPI*)(DWORD)>(Real("TVDEV_GetLastError"))(reserved);
}

namespace {

const DWORD kPid = GetCurrentProcessId();

std::string Title() { return vxtest::Acp(u8"使用する鍵の入力"); }
std::string ListTitle() { return vxtest::Acp(u8"鍵の選択"); }

// Clicks as a user's mouse does: the press moves the focus to the button before the
// button acts (BM_CLICK sends it the mouse messages), so a focus check afterwards sees
// only where the dialog itself put the focus.
void PostClick(HWND dlg, int id) { vxtest::ClickButton(dlg, id); }

template <typename F>
bool WaitUntil(F condition) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < vxtest::kDefaultWait; Sleep(10))
    if (condition()) return true;
  return condition();
}

HWND FocusOf(HWND dlg) {
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  GetGUIThreadInfo(GetWindowThreadProcessId(dlg, nullptr), &gi);
  return gi.hwndFocus;
}

bool WaitFocus(HWND dlg, int id) {
  return WaitUntil([&] { return FocusOf(dlg) == GetDlgItem(dlg, id); });
}

// A death test's child ends through ExitProcess, past every destructor: while this
// object lives, the scratch folders that its fixture makes go below one of this
// process's own, removed with it.
class ChildScratchFolders {
 public:
  ChildScratchFolders() : env_({{"TEMP", dir_.path()}, {"TMP", dir_.path()}}) {}

 private:
  tvtest::TempDir dir_;
  vxtest::ScopedEnvironment env_;
};

struct Box {
  std::string text;
  bool warningIcon = false;
};

BOOL CALLBACK FindIcon(HWND w, LPARAM lp) {
  if ((GetWindowLongA(w, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(w)) {
    *reinterpret_cast<HICON*>(lp) = reinterpret_cast<HICON>(SendMessageA(w, STM_GETICON, 0, 0));
    return FALSE;
  }
  return TRUE;
}

// Waits for the program's message box, notes its text and icon, and presses OK.
Box AnswerBox() {
  Box b;
  HWND box = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, kPid);
  if (!box) return b;
  HICON icon = nullptr;
  EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&icon));
  b.warningIcon = icon && icon == LoadIconA(nullptr, IDI_WARNING);
  b.text = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", vxtest::kDefaultWait, kPid).text;
  return b;
}

// Runs the dialog modally on this thread while `user` acts on it from another thread;
// whatever the user leaves open is cancelled.
template <typename D>
INT_PTR RunDialog(D& dlg, const std::string& title, const std::function<void(HWND)>& user) {
  return vxtest::RunModal([&] { return dlg.DoModal(); }, title, user);
}

void Type(HWND edit, const std::string& chars) {
  for (char c : chars) SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 0);
}

void SelectEntry(HWND dlg, const std::string& text) {
  HWND combo = GetDlgItem(dlg, IDC_KEY_COMBO);
  LRESULT i = SendMessageA(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(text.c_str()));
  ASSERT_NE(i, CB_ERR) << text;
  SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
  SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDC_KEY_COMBO, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
}

// The user of an input dialog that accepts: types name and value, presses OK and waits
// for the dialog to close.
std::function<void(HWND)> EnterAndAccept(const std::string& name, const std::string& value) {
  return [=](HWND w) {
    vxtest::SetControlText(w, IDC_KEY_NAME, name);
    vxtest::SetControlText(w, IDC_KEY_VALUE, value);
    PostClick(w, IDOK);
    vxtest::WaitWindowGone(w);
  };
}

std::string ComboSelection(HWND dlg) {
  HWND combo = GetDlgItem(dlg, IDC_KEY_COMBO);
  LRESULT i = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  if (i == CB_ERR) return "(none)";
  char buf[256] = {};
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf));
  return buf;
}

std::string LastKeyNameInRegistry() {
  char buf[64] = {};
  DWORD size = sizeof buf;
  if (RegGetValueA(HKEY_CURRENT_USER, "SOFTWARE\\Norvane\\TARVO-Pro", "LASTKEYNAME",
                   RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return "(none)";
  return buf;
}

class KeyDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetEnvironmentVariableA("DISPLAY", nullptr, 0), 0u) << "no display";
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "SOFTWARE\\Norvane\\TARVO-Pro", "LASTKEYNAME");
    OsVersionCode = 601;
    g_injectedError = g_pendingError = 0;
    g_certifyCalls = 0;
    g_certifiedValue.clear();
    main.Create();
    app.m_pMainWnd = &main;
  }
  void TearDown() override {
    app.m_pMainWnd = nullptr;
    main.DestroyWindow();
  }

  // The user's settings of the suite (LASTKEYNAME): each test begins without them, and
  // some write them.
  vxtest::RegistryPutBack userSettings{HKEY_CURRENT_USER, "SOFTWARE\\Norvane\\TARVO-Pro"};
  CVelvoxApp app;
  FixtureStore store;
  fw::CDialog main{IDD_VELVOX_DIALOG};
};

// ---- Validation: messages, focus, and what stays in place -------------------------------

struct Rejected {
  const char* label;
  const char* expected;  // the encrypted file's key name (decryption), or ""
  const char* name;
  const char* value;
  DWORD injected;  // certification failure code forced on the library, or 0
  UINT message;
  int focus;  // control that gets the focus, 0: not checked
  bool warningIcon;
};

TEST_F(KeyDialogTest, InputDialogRejectsWithMessageAndKeepsTheTypedText) {
  const Rejected cases[] = {
      {"empty name", "", "", "x", 0, IDS_KEY_NAME_EMPTY, IDC_KEY_NAME, false},
      {"empty value", "", "ALPHA", "", 0, IDS_KEY_VALUE_EMPTY, IDC_KEY_VALUE, false},
      {"expected name differs in case", "Alpha", "ALPHA", FixtureKeys::kAlphaValue, 0,
       IDS_KEY_NAME_NOT_EXPECTED, IDC_KEY_NAME, false},
      {"unknown name", "", "NOSUCH", "x", 0, IDS_KEY_NAME_NOT_REGISTERED, 0, false},
      {"wrong value", "", "PLAN", "wrong", 0, IDS_KEY_VALUE_WRONG, IDC_KEY_VALUE, false},
      {"enabled key typed with a wrong value", "", "SALES", "nope", 0, IDS_KEY_VALUE_WRONG,
       IDC_KEY_VALUE, false},
      {"not registered at certification", "", "PLAN", "v", TVDEV_ERR_NOT_REGISTERED,
       IDS_KEY_NAME_NOT_REGISTERED, IDC_KEY_NAME, false},
      {"other failure", "", "PLAN", FixtureKeys::kPlanValue, TVDEV_ERR_KEY_SUSPENDED,
       IDS_KEY_CERTIFY_FAILED, 0, true},
  };
  for (const Rejected& c : cases) {
    SCOPED_TRACE(c.label);
    g_injectedError = c.injected;
    CVxKeyInDlg dlg;
    dlg.m_strExpectedKeyName = c.expected;
    Box box;
    bool focused = true;
    std::string nameAfter, valueAfter;
    INT_PTR r = RunDialog(dlg, Title(), [&](HWND w) {
      vxtest::SetControlText(w, IDC_KEY_NAME, c.name);
      vxtest::SetControlText(w, IDC_KEY_VALUE, c.value);
      PostClick(w, IDOK);
      box = AnswerBox();
      if (c.focus) focused = WaitFocus(w, c.focus);
      nameAfter = vxtest::ControlText(w, IDC_KEY_NAME);
      valueAfter = vxtest::ControlText(w, IDC_KEY_VALUE);
    });
    EXPECT_EQ(r, IDCANCEL);
    EXPECT_EQ(vxtest::Utf8(box.text), vxtest::Utf8(fw::LoadStr(c.message)));
    EXPECT_EQ(box.warningIcon, c.warningIcon);
    EXPECT_TRUE(focused) << "focus is not on " << c.focus;
    EXPECT_EQ(nameAfter, c.name);
    EXPECT_EQ(valueAfter, c.value);
    EXPECT_EQ(dlg.m_strResultKeyName, "");
  }
}

TEST_F(KeyDialogTest, SelectionDialogRejectsWithMessage) {
  const Rejected cases[] = {
      {"value of a key to prove empty", "", "Plan", "", 0, IDS_KEY_VALUE_EMPTY, IDC_KEY_VALUE,
       false},
      {"expected name differs", "PLAN", "Plan", FixtureKeys::kPlanValue, 0,
       IDS_KEY_NAME_NOT_EXPECTED, IDC_KEY_COMBO, false},
      {"wrong value", "", "Plan", "wrong", 0, IDS_KEY_VALUE_WRONG, IDC_KEY_VALUE, false},
      {"not registered at certification", "", "Alpha", "v", TVDEV_ERR_NOT_REGISTERED,
       IDS_KEY_NAME_NOT_REGISTERED, IDC_KEY_COMBO, false},
      {"other failure", "", "Plan", FixtureKeys::kPlanValue, 99, IDS_KEY_CERTIFY_FAILED, 0, true},
  };
  for (const Rejected& c : cases) {
    SCOPED_TRACE(c.label);
    g_injectedError = c.injected;
    CVxKeySelDlg dlg;
    dlg.m_strExpectedKeyName = c.expected;
    Box box;
    bool focused = true;
    std::string selectedAfter;
    INT_PTR r = RunDialog(dlg, Title(), [&](HWND w) {
      SelectEntry(w, c.name);
      vxtest::SetControlText(w, IDC_KEY_VALUE, c.value);
      PostClick(w, IDOK);
      box = AnswerBox();
      if (c.focus) focused = WaitFocus(w, c.focus);
      selectedAfter = ComboSelection(w);
    });
    EXPECT_EQ(r, IDCANCEL);
    EXPECT_EQ(vxtest::Utf8(box.text), vxtest::Utf8(fw::LoadStr(c.message)));
    EXPECT_EQ(box.warningIcon, c.warningIcon);
    EXPECT_TRUE(focused) << "focus is not on " << c.focus;
    EXPECT_EQ(selectedAfter, c.name);
    EXPECT_EQ(dlg.m_strResultKeyName, "");
  }
}

TEST_F(KeyDialogTest, NothingSelectableWhenTheStoreIsUnreadable) {
  tvtest::WriteAll(store.home().StoreFile(), tvtest::Pattern(200));
  CVxKeySelDlg dlg;
  Box box;
  bool focused = false;
  LRESULT count = -1;
  INT_PTR r = RunDialog(dlg, Title(), [&](HWND w) {
    count = SendDlgItemMessageA(w, IDC_KEY_COMBO, CB_GETCOUNT, 0, 0);
    PostClick(w, IDOK);
    box = AnswerBox();
    focused = WaitFocus(w, IDC_KEY_COMBO);
  });
  EXPECT_EQ(r, IDCANCEL);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(vxtest::Utf8(box.text), vxtest::Utf8(fw::LoadStr(IDS_KEY_NAME_NOT_SELECTED)));
  EXPECT_TRUE(focused);
}

TEST_F(KeyDialogTest, InputDialogAcceptsProvenKeysAndCertifies256BitValuesUpperCased) {
  struct Case {
    const char* name;
    const char* value;
    const char* certified;
  } cases[] = {
      {"PLAN", FixtureKeys::kPlanValue, FixtureKeys::kPlanValue},  // 168 bits: as typed
      {"alpha", "alphavalue9", "ALPHAVALUE9"},
      {"sales", "salesvalue", "SALESVALUE"},  // an enabled key typed: still proven
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_certifyCalls = 0;
    CVxKeyInDlg dlg;
    INT_PTR r = RunDialog(dlg, Title(), EnterAndAccept(c.name, c.value));
    EXPECT_EQ(r, IDOK);
    EXPECT_EQ(g_certifyCalls, 1);
    EXPECT_EQ(g_certifiedValue, c.certified);
    // The name field shows upper case, and the store compares names ignoring case.
    EXPECT_EQ(dlg.m_strResultKeyName, vxtest::Utf8(fw::UpperMb(c.name)));
  }

  // A decryption's name is taken as the file gives it, whatever the field displays.
  CVxKeyInDlg fixed;
  fixed.m_strKeyName = fixed.m_strExpectedKeyName = "Plan";
  fixed.m_bFixedKeyName = 1;
  INT_PTR r = RunDialog(fixed, Title(), [&](HWND w) {
    vxtest::SetControlText(w, IDC_KEY_VALUE, FixtureKeys::kPlanValue);
    PostClick(w, IDOK);
    vxtest::WaitWindowGone(w);
  });
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(fixed.m_strResultKeyName, "Plan");
}

TEST_F(KeyDialogTest, CertifiedKeyIsAnnouncedAndRemembered) {
  InstalledAddOn addOn;
  ResidentWindow resident;
  app.m_nLastKeyName = 1;
  CVxKeyInDlg dlg;
  INT_PTR r = RunDialog(dlg, Title(), EnterAndAccept("Plan", FixtureKeys::kPlanValue));
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(addOn.Recorded(), "PLAN\t1\r\n");
  EXPECT_EQ(resident.Recorded(), "PLAN\r\n");
  EXPECT_EQ(app.m_strLastKeyName, "PLAN");
  EXPECT_EQ(LastKeyNameInRegistry(), "PLAN");
}

TEST_F(KeyDialogTest, AnnouncementDependsOnVersionValidityAndSettings) {
  struct Case {
    const char* label;
    unsigned os;
    const char* name;
    const char* value;
    int lastKeyName;
    const char* addOn;
    const char* resident;
    const char* remembered;
  } cases[] = {
      {"before Vista the add-on is not told", 501, "PLAN", FixtureKeys::kPlanValue, 1, "",
       "PLAN\r\n", "PLAN"},
      {"an enabled key is not sent to the resident window", 601, "SALES", "salesValue", 1,
       "SALES\t2\r\n", "", "SALES"},
      {"remembered only with the setting exactly 1", 601, "ALPHA", FixtureKeys::kAlphaValue, 2,
       "ALPHA\t2\r\n", "ALPHA\r\n", "(none)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    InstalledAddOn addOn;
    ResidentWindow resident;
    OsVersionCode = c.os;
    app.m_nLastKeyName = c.lastKeyName;
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "SOFTWARE\\Norvane\\TARVO-Pro", "LASTKEYNAME");
    CVxKeyInDlg dlg;
    INT_PTR r = RunDialog(dlg, Title(), EnterAndAccept(c.name, c.value));
    EXPECT_EQ(r, IDOK);
    EXPECT_EQ(addOn.Recorded(), c.addOn);
    EXPECT_EQ(resident.Recorded(), c.resident);
    EXPECT_EQ(LastKeyNameInRegistry(), c.remembered);
  }
}

TEST_F(KeyDialogTest, FailingAddOnShowsItsMessageButTheKeyIsAccepted) {
  InstalledAddOn addOn;
  addOn.MakeUnwritable();
  CVxKeyInDlg dlg;
  Box box;
  INT_PTR r = RunDialog(dlg, Title(), [&](HWND w) {
    vxtest::SetControlText(w, IDC_KEY_NAME, "PLAN");
    vxtest::SetControlText(w, IDC_KEY_VALUE, FixtureKeys::kPlanValue);
    PostClick(w, IDOK);
    box = AnswerBox();
    vxtest::WaitWindowGone(w);
  });
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(vxtest::Utf8(box.text), vxtest::Utf8(fw::LoadStr(IDS_MAIL_ADDON_FAILED)));
  EXPECT_EQ(dlg.m_strResultKeyName, "PLAN");
}

TEST_F(KeyDialogTest, AddOnThatCannotLoadIsReportedAndTheKeyAccepted) {
  // The add-on is "installed" but its library cannot be loaded: a child process of this
  // test runs with Wine's load order for this program saying that tvxdrv.dll is disabled.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const vxtest::RegistryPutBack wineSettings(HKEY_CURRENT_USER,
                                             "Software\\Wine\\AppDefaults\\keys_dialog_test.exe");
  const char* kOverrides = "Software\\Wine\\AppDefaults\\keys_dialog_test.exe\\DllOverrides";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "tvxdrv", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
  RegCloseKey(key);
  ChildScratchFolders scratch;
  EXPECT_EXIT(
      {
        UINT code = 2;
        {
          // Gone (with its registration) before the child ends.
          InstalledAddOn addOn;
          if (!LoadLibraryA("tvxdrv.dll")) {
            CVxKeyInDlg dlg;
            std::string text;
            std::thread user([&] {
              HWND w = vxtest::WaitForWindow(Title(), "#32770", vxtest::kDefaultWait, kPid);
              if (!w) return;
              EnterAndAccept("PLAN", FixtureKeys::kPlanValue)(w);
            });
            std::thread answer([&] { text = AnswerBox().text; });
            INT_PTR r = dlg.DoModal();
            user.join();
            answer.join();
            code = text == "Unable to load tvxdrv.dll!" && r == IDOK ? 0 : 3;
          }
        }
        ExitProcess(code);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(KeyDialogTest, SelectionDialogTakesAnEnabledKeyWithoutValueOrAnnouncement) {
  InstalledAddOn addOn;
  ResidentWindow resident;
  app.m_nLastKeyName = 1;
  CVxKeySelDlg dlg;
  bool valueEnabled = true;
  INT_PTR r = RunDialog(dlg, Title(), [&](HWND w) {
    SelectEntry(w, "SALES");
    valueEnabled = vxtest::IsControlEnabled(w, IDC_KEY_VALUE);
    PostClick(w, IDOK);
    vxtest::WaitWindowGone(w);
  });
  EXPECT_EQ(r, IDOK);
  EXPECT_FALSE(valueEnabled);
  EXPECT_EQ(dlg.m_strResultKeyName, "SALES");
  EXPECT_EQ(g_certifyCalls, 0);
  EXPECT_EQ(addOn.Recorded(), "");
  EXPECT_EQ(resident.Recorded(), "");
  EXPECT_EQ(LastKeyNameInRegistry(), "(none)");

  // A key to prove goes the whole way.
  CVxKeySelDlg second;
  r = RunDialog(second, Title(), [&](HWND w) {
    SelectEntry(w, "Plan");
    vxtest::SetControlText(w, IDC_KEY_VALUE, FixtureKeys::kPlanValue);
    PostClick(w, IDOK);
    vxtest::WaitWindowGone(w);
  });
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(second.m_strResultKeyName, "Plan");
  EXPECT_EQ(g_certifyCalls, 1);
  EXPECT_EQ(addOn.Recorded(), "Plan\t1\r\n");
  EXPECT_EQ(resident.Recorded(), "Plan\r\n");
  EXPECT_EQ(LastKeyNameInRegistry(), "Plan");
}

TEST_F(KeyDialogTest, DamagedKeyTemplateEndsTheProcessWithCode1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ChildScratchFolders scratch;
  EXPECT_EXIT(
      {
        CVxKeyInDlg dlg;
        std::thread user([] {
          HWND w = vxtest::WaitForWindow(Title(), "#32770", vxtest::kDefaultWait, kPid);
          if (!w) return;
          vxtest::SetControlText(w, IDC_KEY_NAME, "BROKEN");
          vxtest::SetControlText(w, IDC_KEY_VALUE, FixtureKeys::kBrokenValue);
          PostClick(w, IDOK);
          Box box = AnswerBox();
          if (box.text != fw::LoadStr(IDS_KEY_TEMPLATE_BROKEN)) ExitProcess(5);
        });
        user.detach();
        dlg.DoModal();
        ExitProcess(7);
      },
      ::testing::ExitedWithCode(1), "");
}

// ---- Typing filters --------------------------------------------------------------------

// The key input dialog with a password field (CKeyEditEx) in place of its value field.
class PasswordFieldDlg : public CVxKeyInDlg {
 protected:
  BOOL OnInitDialog() override {
    BOOL r = CVxKeyInDlg::OnInitDialog();
    password.SubclassDlgItem(IDC_KEY_VALUE, m_hWnd);
    return r;
  }
  CKeyEditEx password;
};

TEST_F(KeyDialogTest, TypingFiltersLetOnlyTheirCharactersThrough) {
  const std::string dbcs = vxtest::Acp(u8"ア");  // 0x83 0x41: its trail byte is 'A'
  struct Case {
    const char* label;
    std::string typed;
    bool wide;  // sent as one UTF-16 WM_CHAR per character instead of code-page bytes
    const char* name;
    const char* password;
  } cases[] = {
      {"letters and digits", "aZ09", false, "AZ09", "aZ09"},
      {"space", "A B", false, "AB", "AB"},
      {"symbols", "!-_@~", false, "", "!-_@~"},
      {"control keys", "A\t\r\x1b\x01" "B", false, "AB", "AB"},
      {"backspace", "ABC\b", false, "AB", "AB"},
      {"double-byte character", "A" + dbcs + "B", false, "AB", "AB"},
      {"double-byte character from a wide sender", "A" + dbcs + "B", true, "AB", "AB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PasswordFieldDlg dlg;
    std::string name, password;
    RunDialog(dlg, Title(), [&](HWND w) {
      for (int id : {IDC_KEY_NAME, IDC_KEY_VALUE}) {
        HWND edit = GetDlgItem(w, id);
        if (c.wide) {
          std::wstring wide(c.typed.size(), L'\0');
          wide.resize(MultiByteToWideChar(CP_ACP, 0, c.typed.data(), (int)c.typed.size(),
                                          wide.data(), (int)wide.size()));
          for (wchar_t ch : wide) SendMessageW(edit, WM_CHAR, ch, 0);
        } else {
          Type(edit, c.typed);
        }
      }
      name = vxtest::ControlText(w, IDC_KEY_NAME);
      password = vxtest::ControlText(w, IDC_KEY_VALUE);
    });
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(password, c.password);
  }
}

TEST_F(KeyDialogTest, NameAndValueTakeAtMost32Characters) {
  CVxKeyInDlg dlg;
  std::string name, value;
  RunDialog(dlg, Title(), [&](HWND w) {
    Type(GetDlgItem(w, IDC_KEY_NAME), std::string(40, 'K'));
    Type(GetDlgItem(w, IDC_KEY_VALUE), std::string(40, 'v'));
    name = vxtest::ControlText(w, IDC_KEY_NAME);
    value = vxtest::ControlText(w, IDC_KEY_VALUE);
  });
  EXPECT_EQ(name, std::string(32, 'K'));
  EXPECT_EQ(value, std::string(32, 'v'));
}

// ---- Opening state from the settings and the job --------------------------------------

TEST_F(KeyDialogTest, InputDialogOpensWithTheRememberedNameAndTheSettings) {
  app.m_nLastKeyName = 1;
  app.m_strLastKeyName = "SALES";
  app.m_nUseToken = 1;
  CVxKeyInDlg dlg;
  std::string name;
  bool valueFocused = false, tokenEnabled = false;
  RunDialog(dlg, Title(), [&](HWND w) {
    name = vxtest::ControlText(w, IDC_KEY_NAME);
    valueFocused = WaitFocus(w, IDC_KEY_VALUE);
    tokenEnabled = vxtest::IsControlEnabled(w, IDC_KEY_TOKEN);
    vxtest::SaveScreenshot("keys_input_dialog", w);
  });
  EXPECT_EQ(name, "SALES");
  EXPECT_TRUE(valueFocused);
  EXPECT_TRUE(tokenEnabled);

  // A decryption fixes the name; without the token setting the button stays dead;
  // typing may be forbidden altogether.
  app.m_nUseToken = 0;
  app.m_nKeyInDisable = 1;
  CVxKeyInDlg fixed;
  fixed.m_strKeyName = fixed.m_strExpectedKeyName = "Plan";
  fixed.m_bFixedKeyName = 1;
  bool nameEnabled = true, nameReadOnly = false, valueReadOnly = false;
  RunDialog(fixed, Title(), [&](HWND w) {
    name = vxtest::ControlText(w, IDC_KEY_NAME);
    nameEnabled = vxtest::IsControlEnabled(w, IDC_KEY_NAME);
    tokenEnabled = vxtest::IsControlEnabled(w, IDC_KEY_TOKEN);
    nameReadOnly = GetWindowLongA(GetDlgItem(w, IDC_KEY_NAME), GWL_STYLE) & ES_READONLY;
    valueReadOnly = GetWindowLongA(GetDlgItem(w, IDC_KEY_VALUE), GWL_STYLE) & ES_READONLY;
  });
  EXPECT_EQ(name, "PLAN");
  EXPECT_FALSE(nameEnabled);
  EXPECT_FALSE(tokenEnabled);
  EXPECT_TRUE(nameReadOnly);
  EXPECT_TRUE(valueReadOnly);
}

// ---- The key list and the selection list -----------------------------------------------

TEST_F(KeyDialogTest, KeyListShowsOnlyEnabledKeysWithTheirIcons) {
  CVxKeyListDlg dlg;
  std::vector<std::vector<std::string>> rows;
  std::vector<int> images;
  int imageCount = 0, iconCx = 0;
  Box box;
  bool stayedOpen = false;
  INT_PTR r = RunDialog(dlg, ListTitle(), [&](HWND w) {
    HWND list = GetDlgItem(w, IDC_KEY_LISTVIEW);
    fw::CListCtrl view;
    view.Attach(list);
    for (int i = 0; i < view.GetItemCount(); ++i) {
      std::vector<std::string> row;
      for (int col = 0; col < 6; ++col) row.push_back(vxtest::Utf8(view.GetItemText(i, col)));
      rows.push_back(row);
      images.push_back(view.GetItemImage(i));
    }
    auto small = reinterpret_cast<HIMAGELIST>(SendMessageA(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
    imageCount = ImageList_GetImageCount(small);
    int cy = 0;
    ImageList_GetIconSize(small, &iconCx, &cy);
    vxtest::SaveScreenshot("keys_list_dialog", w);

    PostClick(w, IDOK);
    box = AnswerBox();
    stayedOpen = IsWindowVisible(w);
    LVITEMA it{};
    it.stateMask = it.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&it));
    PostClick(w, IDOK);
    vxtest::WaitWindowGone(w);
  });
  const std::string sales = vxtest::Utf8(FixtureKeys::SalesDescription());
  const std::string enabled = vxtest::Utf8(fw::LoadStr(IDS_KEY_STATUS_ENABLED));
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{
                      {"DESKEY", "des", enabled, "DES", "56",
                       vxtest::Utf8(fw::LoadStr(IDS_PARAMETER_FILE_USED))},
                      {"SALES", sales, enabled, "AES", "256",
                       vxtest::Utf8(fw::LoadStr(IDS_PARAMETER_FILE_NOT_USED))}}));
  // Image 1 (the orange key) marks a key without a parameter file.
  EXPECT_EQ(images, (std::vector<int>{0, 1}));
  EXPECT_EQ(imageCount, 2);
  int cx = 0, cy = 0;
  GetScaledIconSize(&cx, &cy, 16, 16);
  EXPECT_EQ(iconCx, cx);
  EXPECT_EQ(vxtest::Utf8(box.text), vxtest::Utf8(fw::LoadStr(IDS_SELECT_KEY)));
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(dlg.m_strChosenKeyName, "SALES");
}

TEST_F(KeyDialogTest, KeyChosenFromTheListNeedsNoValue) {
  CVxKeyInDlg dlg;
  std::string name;
  bool valueEnabledAfterChoice = true, valueEnabledAfterTyping = false;
  INT_PTR r = RunDialog(dlg, Title(), [&](HWND w) {
    vxtest::SetControlText(w, IDC_KEY_NAME, "ALPHA");
    PostClick(w, IDC_KEY_CHOOSE);
    HWND list = vxtest::WaitForWindow(ListTitle(), "#32770", vxtest::kDefaultWait, kPid);
    if (!list) return;
    LVITEMA it{};
    it.stateMask = it.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendDlgItemMessageA(list, IDC_KEY_LISTVIEW, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&it));
    PostClick(list, IDOK);
    vxtest::WaitWindowGone(list);
    WaitUntil([&] { return vxtest::ControlText(w, IDC_KEY_NAME) == "DESKEY"; });
    name = vxtest::ControlText(w, IDC_KEY_NAME);
    valueEnabledAfterChoice = vxtest::IsControlEnabled(w, IDC_KEY_VALUE);

    // Editing the name afterwards asks for a value again; the list's name comes back.
    Type(GetDlgItem(w, IDC_KEY_NAME), "X");
    valueEnabledAfterTyping = vxtest::IsControlEnabled(w, IDC_KEY_VALUE);
    PostClick(w, IDC_KEY_CHOOSE);
    list = vxtest::WaitForWindow(ListTitle(), "#32770", vxtest::kDefaultWait, kPid);
    if (!list) return;
    SendDlgItemMessageA(list, IDC_KEY_LISTVIEW, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&it));
    PostClick(list, IDOK);
    vxtest::WaitWindowGone(list);
    WaitUntil([&] { return !vxtest::IsControlEnabled(w, IDC_KEY_VALUE); });
    PostClick(w, IDOK);
    vxtest::WaitWindowGone(w);
  });
  EXPECT_EQ(name, "DESKEY");
  EXPECT_FALSE(valueEnabledAfterChoice);
  EXPECT_TRUE(valueEnabledAfterTyping);
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(dlg.m_strResultKeyName, "DESKEY");
  EXPECT_EQ(g_certifyCalls, 0);
}

TEST_F(KeyDialogTest, SelectionListHoldsEveryKeyAndPreselectsCaseSensitively) {
  struct Case {
    const char* current;
    int fixed;
    const char* selected;
    bool valueEnabled;
    bool listEnabled;
  } cases[] = {
      {"Plan", 0, "Plan", true, true},
      {"PLAN", 0, "Alpha", true, true},    // differs in case: entry 0 instead
      {"SALES", 0, "SALES", false, true},  // enabled: no value
      {"PLAN", 1, "Alpha", true, false},   // a decryption's name: the list is fixed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.current);
    CVxKeySelDlg dlg;
    dlg.m_strCurrentKeyName = c.current;
    dlg.m_bFixedKeyName = c.fixed;
    std::vector<std::string> entries;
    std::string selected, description;
    bool valueEnabled = false, listEnabled = false;
    RunDialog(dlg, Title(), [&](HWND w) {
      HWND combo = GetDlgItem(w, IDC_KEY_COMBO);
      for (LRESULT i = 0; i < SendMessageA(combo, CB_GETCOUNT, 0, 0); ++i) {
        char buf[256] = {};
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf));
        entries.push_back(buf);
      }
      selected = ComboSelection(w);
      description = vxtest::ControlText(w, IDC_KEY_DESCRIPTION);
      valueEnabled = vxtest::IsControlEnabled(w, IDC_KEY_VALUE);
      listEnabled = vxtest::IsControlEnabled(w, IDC_KEY_COMBO);
      if (std::string(c.current) == "SALES") vxtest::SaveScreenshot("keys_selection_dialog", w);
    });
    EXPECT_EQ(entries, (std::vector<std::string>{"Alpha", "Broken", "DESKEY", "Plan", "SALES"}));
    EXPECT_EQ(selected, c.selected);
    EXPECT_EQ(description, selected == "SALES" ? FixtureKeys::SalesDescription()
                           : selected == "Plan" ? "plan"
                                                : "");
    EXPECT_EQ(valueEnabled, c.valueEnabled);
    EXPECT_EQ(listEnabled, c.listEnabled);
  }
}

TEST_F(KeyDialogTest, ChangingTheSelectionEmptiesTheValueAndFollowsTheKey) {
  app.m_nLastKeyName = 1;
  app.m_strLastKeyName = "Plan";
  CVxKeySelDlg dlg;
  std::string valueAfterChange, description;
  bool enabledForSales = true, enabledForAlpha = false;
  RunDialog(dlg, Title(), [&](HWND w) {
    vxtest::SetControlText(w, IDC_KEY_VALUE, "typed");
    SelectEntry(w, "SALES");
    valueAfterChange = vxtest::ControlText(w, IDC_KEY_VALUE);
    description = vxtest::ControlText(w, IDC_KEY_DESCRIPTION);
    enabledForSales = vxtest::IsControlEnabled(w, IDC_KEY_VALUE);
    SelectEntry(w, "Alpha");
    enabledForAlpha = vxtest::IsControlEnabled(w, IDC_KEY_VALUE);
  });
  EXPECT_EQ(dlg.m_strCurrentKeyName, "Alpha");
  EXPECT_EQ(valueAfterChange, "");
  EXPECT_EQ(description, FixtureKeys::SalesDescription());
  EXPECT_FALSE(enabledForSales);
  EXPECT_TRUE(enabledForAlpha);
  EXPECT_TRUE(dlg.m_descriptions.empty()) << "descriptions outlive the window";
}

TEST_F(KeyDialogTest, EmptyStoreEndsTheSelectionAsCancelled) {
  DeleteFileA(store.home().StoreFile().c_str());
  CVxKeySelDlg dlg;
  std::thread user([&] { EXPECT_EQ(vxtest::Utf8(AnswerBox().text), vxtest::Utf8(fw::LoadStr(IDS_NO_USABLE_KEY))); });
  INT_PTR r = dlg.DoModal();
  user.join();
  EXPECT_EQ(r, IDCANCEL);
}

}  // namespace
