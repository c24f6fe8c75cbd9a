// The encryption job end to end: velvox.exe started with files and folders as the shell
// starts it, its save-as, key and password dialogs driven like a user, the output
// decrypted again (the archive by the real libraries, the executable by running it) and
// compared with the sources.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contracts/oplog.h"
#include "contracts/tempmark.h"
#include "contracts/tvdev.h"
#include "dialogs_ids.h"
#include "encryptjob.h"
#include "folderbrowser.h"
#include "inttest.h"
#include "keys_ids.h"
#include "mbcs.h"
#include "pipelinehost.h"
#include "string_ids.h"
#include "stubdriver.h"
#include "tempmarks.h"
#include "tvtest.h"
#include "testfiles.h"
#include "uidriver.h"
#include "velvoxapp.h"

using vxtest::Acp;
using vxtest::Utf8;

CVelvoxApp theApp;

namespace {

const std::string kRoot = "C:\\vxenc";
const char kKey[] = "EncKey";
const char kKeyValue[] = "encValue7";
const char kPassword[] = "SECRET1";
const char8_t kOutputFolderInaccessible[] = u8"出力先のフォルダにアクセスできません。パス名を確認してください。";

using Tree = std::map<std::string, std::string>;

std::wstring Wide(const std::string& acp) {
  std::wstring w(acp.size(), L'\0');
  w.resize(static_cast<size_t>(
      MultiByteToWideChar(CP_ACP, 0, acp.data(), static_cast<int>(acp.size()), w.data(), static_cast<int>(w.size()))));
  return w;
}
std::string U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }
std::vector<std::wstring> WideArgs(const std::vector<std::string>& acp) {
  std::vector<std::wstring> w;
  for (const std::string& a : acp) w.push_back(Wide(a));
  return w;
}

// A message of the string table with its one argument (%s or %1) in place.
std::wstring Message(UINT id, const std::wstring& arg) {
  std::wstring text = fw::LoadStrW(id);
  size_t at = text.find(L"%s");
  if (at == std::wstring::npos) at = text.find(L"%1");
  if (at != std::wstring::npos) text.replace(at, 2, arg);
  return text;
}

// The file fields of the operation log's records (UTF-8), sorted: the walk's order is
// the folder search's, which the test does not fix.
std::vector<std::string> LoggedFiles(const std::string& logFile) {
  std::vector<std::string> files;
  for (const std::string& line : inttest::ReadLines(logFile)) {
    const size_t tab = line.rfind('\t');
    files.push_back(tab == std::string::npos ? "<no fields> " + line : line.substr(tab + 1));
  }
  std::sort(files.begin(), files.end());
  return files;
}

// One run of velvox.exe, seen and answered from here. Its temporary folder is its own,
// and empty again once it has ended.
class VelvoxRun {
 public:
  // `env`: variables that this run alone sees (TEMP and TMP are its own folder unless
  // given here).
  explicit VelvoxRun(const std::vector<std::string>& args,
                     std::vector<std::pair<std::string, std::string>> env = {})
      : VelvoxRun(WideArgs(args), std::move(env)) {}
  // Arguments as the shell passes them, in UTF-16: names the code page cannot spell too.
  explicit VelvoxRun(const std::vector<std::wstring>& args,
                     std::vector<std::pair<std::string, std::string>> env = {}) {
    std::wstring cmd = L"\"" + Wide(vxtest::ExeFolder()) + L"velvox.exe\"";
    for (const auto& a : args) cmd += L" \"" + a + L"\"";
    for (const char* name : {"TEMP", "TMP"})
      if (std::none_of(env.begin(), env.end(), [&](const auto& e) { return e.first == name; }))
        env.emplace_back(name, temp_.path());
    const vxtest::ScopedEnvironment scoped(env);
    process_ = vxtest::Process::Start(cmd);
  }
  DWORD Wait() {
    const DWORD code = process_.Wait(60000);
    if (code != STILL_ACTIVE)
      EXPECT_EQ(temp_.List(), std::vector<std::string>{}) << "left in velvox.exe's temporary folder";
    return code;
  }
  DWORD pid() const { return process_.pid(); }
  HANDLE handle() const { return process_.handle(); }

  HWND WaitSaveAs() { return vxtest::WaitForDialogWith(IDC_SAVE_SELF_DECRYPTING, process_.pid()); }
  static std::string ProposedName(HWND save) {
    return vxtest::WindowText(vxtest::FileDialogNameField(save));
  }
  // Types `path` as the name, ticks or clears the self-decrypting box, presses Save.
  static void SaveAs(HWND save, const std::string& path, bool selfDecrypting = false) {
    HWND box = vxtest::FindDescendant(save, IDC_SAVE_SELF_DECRYPTING);
    if (selfDecrypting != (SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED))
      SendMessageA(box, BM_CLICK, 0, 0);
    SendMessageA(vxtest::FileDialogNameField(save), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageA(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
  static void Cancel(HWND dlg) { PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }

  HWND WaitKeyDialog() {
    return vxtest::WaitForWindow(Acp(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait,
                                 process_.pid());
  }
  static void EnterKey(HWND dlg, const std::string& name, const std::string& value) {
    vxtest::SetControlText(dlg, IDC_KEY_NAME, name);
    vxtest::SetControlText(dlg, IDC_KEY_VALUE, value);
    vxtest::ClickButton(dlg, IDOK);
  }
  HWND WaitPasswordDialog() {
    return vxtest::WaitForWindow(Acp(u8"自己復号パスワード入力"), "#32770", vxtest::kDefaultWait,
                                 process_.pid());
  }
  static void EnterPassword(HWND dlg, const std::string& password,
                            const std::string& extension = "") {
    vxtest::SetControlText(dlg, IDC_SFX_PASSWORD, password);
    vxtest::SetControlText(dlg, IDC_SFX_CONFIRM, password);
    if (!extension.empty()) vxtest::SetControlText(dlg, IDC_SFX_EXTENSION, extension);
    vxtest::ClickButton(dlg, IDOK);
  }
  vxtest::MessageBoxSeen Answer(int button) {
    return vxtest::AnswerMessageBox(button, "TARVO-Pro", vxtest::kDefaultWait, process_.pid());
  }

  // Waits for the end of a run that must show no message: one that appears is a failure,
  // reported with its text and answered.
  DWORD WaitWithoutMessages() {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000;) {
      if (WaitForSingleObject(process_.handle(), 50) == WAIT_OBJECT_0) break;
      if (!vxtest::FindWindows("TARVO-Pro", "#32770", process_.pid()).empty())
        ADD_FAILURE() << "message shown: " << Utf8(Answer(IDOK).text);
    }
    return Wait();
  }

  // The whole decryption: the key's value given in the key dialog, the archive's own
  // folder (where the browser opens) taken as the destination.
  void DecryptIntoItsFolder(const std::string& xss) {
    HWND key = WaitKeyDialog();
    ASSERT_NE(key, nullptr);
    vxtest::SetControlText(key, IDC_KEY_VALUE, kKeyValue);
    vxtest::ClickButton(key, IDOK);
    HWND browser = vxtest::WaitFolderBrowser(process_.pid());
    ASSERT_NE(browser, nullptr);
    vxtest::ExpectFolderSelected(browser, xss.substr(0, xss.rfind('\\')));
    PostMessageA(browser, WM_COMMAND, IDOK, 0);
  }

  // The whole encryption of an archive: proposal checked, path typed, key given.
  void EncryptTo(const std::string& out) {
    HWND save = WaitSaveAs();
    ASSERT_NE(save, nullptr);
    SaveAs(save, out);
    HWND key = WaitKeyDialog();
    ASSERT_NE(key, nullptr);
    EnterKey(key, kKey, kKeyValue);
  }

 private:
  tvtest::TempDir temp_;
  vxtest::Process process_;
};

// A settings file that velvox.exe reads (by default the policy file), with some values
// set for one test and the file put back as it was when the object goes, whatever
// happened.
class SettingsFile {
 public:
  explicit SettingsFile(std::string path = theApp.m_strPolicyIni) : path_(std::move(path)) {
    std::ifstream in(path_, std::ios::binary);
    existed_ = in.good();
    if (existed_) saved_.assign(std::istreambuf_iterator<char>(in), {});
  }
  ~SettingsFile() {
    if (existed_)
      std::ofstream(path_, std::ios::binary | std::ios::trunc) << saved_;
    else
      DeleteFileA(path_.c_str());
  }
  void Set(const char* section, const char* key, const std::string& value) {
    EXPECT_TRUE(WritePrivateProfileStringA(section, key, value.c_str(), path_.c_str())) << path_;
  }

 private:
  std::string path_, saved_;
  bool existed_ = false;
};

class EncryptJobTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    theApp.LoadConfiguration();
    // velvox.exe as these tests run it writes the suite's journals, and its password
    // dialog creates the policy file when it asks whether it may write there.
    const std::string& policy = theApp.m_strPolicyIni;
    const std::string data = policy.substr(0, policy.rfind('\\') + 1);
    suiteFiles_ = new vxtest::FilesPutBack(
        {policy, data + "Guard\\kvrgrd.log", data + "LogService\\tctrace.log"});
    store_ = new tvtest::StoreHome();
    tvtest::AddKey(kKey, KEY_ALG_AES, kKeyValue, /*enabled=*/false);
  }
  static void TearDownTestSuite() {
    delete store_;
    store_ = nullptr;
    delete suiteFiles_;
    suiteFiles_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(GetSystemMetrics(SM_CXSCREEN), 0) << "needs a display";
    pltest::FreshDir(kRoot);
    src_ = kRoot + "\\" + Acp(u8"報告書");
    ASSERT_TRUE(CreateDirectoryA(src_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((src_ + "\\sub").c_str(), nullptr));
    pltest::WriteFile(src_ + "\\a.txt", "alpha");
    pltest::WriteFile(src_ + "\\sub\\" + Acp(u8"表ソ.csv"), std::string(70000, 'x'));
    out_ = kRoot + "\\out\\";
    ASSERT_TRUE(CreateDirectoryA(out_.c_str(), nullptr));
  }
  void TearDown() override { vxtest::RemoveTree(kRoot); }

  // The .xss decrypted and extracted again by the real libraries.
  Tree Decrypted(const std::string& xss) {
    std::string dest = kRoot + "\\back";
    vxtest::RemoveTree(dest);
    CreateDirectoryA(dest.c_str(), nullptr);
    // This process proves the value as a user would before it may use the key.
    EXPECT_TRUE(TVDEV_CertifyKey(kKey, kKeyValue, 0));
    BOOL ok = 0;
    pltest::BoxAnswerer boxes;
    pltest::RunJob([&](CVelvoxDlg& dlg) { ok = pltest::DecryptAndExtract(dlg, kKey, xss, dest); });
    EXPECT_TRUE(ok) << ::testing::PrintToString(boxes.Finish());
    return pltest::Tree(dest);
  }
  // What the sources become in an archive: each under its own name.
  Tree Expected(const std::vector<std::string>& names) {
    const Tree all = pltest::Tree(src_);
    Tree want;
    for (const std::string& n : names)
      for (const auto& [rel, data] : all)
        if (rel == n || rel.rfind(n + "\\", 0) == 0) {
          const size_t cut = n.rfind('\\') == std::string::npos ? 0 : n.rfind('\\') + 1;
          want[rel.substr(cut)] = data;
        }
    return want;
  }

  static tvtest::StoreHome* store_;
  static vxtest::FilesPutBack* suiteFiles_;
  // velvox.exe's save-as dialog remembers the output folder, which TearDown removes.
  vxtest::RegistryPutBack saveAsHistory_{HKEY_CURRENT_USER, vxtest::kSaveAsHistoryKey};
  std::string src_, out_;
};
tvtest::StoreHome* EncryptJobTest::store_ = nullptr;
vxtest::FilesPutBack* EncryptJobTest::suiteFiles_ = nullptr;

TEST(EncryptJobNames, ProposedAndSelfDecryptingNames) {
  SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = 1;
  t.wDay = 31;
  t.wHour = 23;
  t.wMinute = 59;
  t.wSecond = 59;
  struct Row {
    std::string source, proposed;
  } rows[] = {
      {"C:\\w\\report.final.docx", "report.final"},
      {"C:\\w\\photos", "photos"},
      {"C:\\w\\.profile", "VX20240131235959"},
      {"C:\\w\\" + Acp(u8"表.txt"), Acp(u8"表")},
      {"C:\\w.d\\noext", "noext"},
  };
  for (const auto& r : rows) EXPECT_EQ(ProposeOutputName(r.source, t), r.proposed) << r.source;
  EXPECT_EQ(SelfDecryptingPath("C:\\out\\box.xss", "exe"), "C:\\out\\box.exe");
  EXPECT_EQ(SelfDecryptingPath("C:\\out\\box", "ex_"), "C:\\out\\box.ex_");
  EXPECT_EQ(SelfDecryptingPath("C:\\a.b\\" + Acp(u8"ソ"), "bin"), "C:\\a.b\\" + Acp(u8"ソ") + ".bin");
}

TEST_F(EncryptJobTest, ArchivesFromAFolderAFileAndSeveralSourcesDecryptBack) {
  struct Row {
    const char* name;
    std::vector<std::string> sources;  // relative to the sample folder
    std::string proposed;
  } rows[] = {
      {"folder", {""}, Acp(u8"報告書")},
      {"one file", {"a.txt"}, "a"},
      {"several sources", {"a.txt", "sub"}, "a"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> args, names;
    for (const std::string& s : r.sources) {
      args.push_back(s.empty() ? src_ : src_ + "\\" + s);
      names.push_back(s.empty() ? std::string() : s);
    }
    VelvoxRun run(args);
    HWND save = run.WaitSaveAs();
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(VelvoxRun::ProposedName(save), r.proposed);
    const std::string out = out_ + r.name + ".xss";
    VelvoxRun::SaveAs(save, out);
    HWND key = run.WaitKeyDialog();
    ASSERT_NE(key, nullptr);
    if (r.sources.front().empty()) {
      // A wrong value is refused with the dialog left open for another try.
      VelvoxRun::EnterKey(key, kKey, "wrong");
      EXPECT_NE(run.Answer(IDOK).hwnd, nullptr);
    }
    VelvoxRun::EnterKey(key, kKey, kKeyValue);
    EXPECT_EQ(run.Wait(), 0u);
    ASSERT_NE(GetFileAttributesA(out.c_str()), INVALID_FILE_ATTRIBUTES) << out;

    Tree want;
    if (r.sources.front().empty()) {
      const std::string top = Utf8(Acp(u8"報告書"));  // the tree's names are UTF-8
      want[top] = "<dir>";
      for (const auto& [rel, data] : pltest::Tree(src_)) want[top + "\\" + rel] = data;
    } else {
      want = Expected(names);
    }
    EXPECT_EQ(Decrypted(out), want);
  }
}

TEST_F(EncryptJobTest, SelfDecryptingExecutableRunsBackToTheSources) {
  VelvoxRun run({src_ + "\\a.txt", src_ + "\\sub"});
  HWND save = run.WaitSaveAs();
  ASSERT_NE(save, nullptr);
  // Typed as .xss: the self-decrypting output takes the configured extension instead.
  VelvoxRun::SaveAs(save, out_ + "box.xss", /*selfDecrypting=*/true);
  HWND pw = run.WaitPasswordDialog();
  ASSERT_NE(pw, nullptr);
  VelvoxRun::EnterPassword(pw, kPassword);
  EXPECT_EQ(run.Wait(), 0u);
  const std::string exe = out_ + "box.exe";
  ASSERT_EQ(pltest::ReadFile(exe).substr(0, 2), "MZ");
  EXPECT_EQ(GetFileAttributesA((out_ + "box.xss").c_str()), INVALID_FILE_ATTRIBUTES);

  const std::string dest = kRoot + "\\self";
  ASSERT_TRUE(CreateDirectoryA(dest.c_str(), nullptr));
  auto stub = vxtest::RunSelfDecrypting(exe, kPassword, dest);
  EXPECT_EQ(stub.exitCode, 0u) << Utf8(stub.doneText);
  EXPECT_EQ(pltest::Tree(dest), Expected({"a.txt", "sub"}));
}

// The suite's components get a second to take up an accepted key before the output
// starts, so the archive's file is made no earlier than a second after the key dialog's
// OK. A lower bound only: how long the rest takes is the benchmark's business.
TEST_F(EncryptJobTest, OutputBeginsASecondAfterTheKeyIsAccepted) {
  VelvoxRun run({src_ + "\\a.txt"});
  HWND save = run.WaitSaveAs();
  ASSERT_NE(save, nullptr);
  const std::string out = out_ + "paused.xss";
  VelvoxRun::SaveAs(save, out);
  HWND key = run.WaitKeyDialog();
  ASSERT_NE(key, nullptr);
  vxtest::SetControlText(key, IDC_KEY_NAME, kKey);
  vxtest::SetControlText(key, IDC_KEY_VALUE, kKeyValue);
  FILETIME clicked{};
  GetSystemTimeAsFileTime(&clicked);
  vxtest::ClickButton(key, IDOK);
  EXPECT_EQ(run.Wait(), 0u);
  WIN32_FILE_ATTRIBUTE_DATA a{};
  ASSERT_TRUE(GetFileAttributesExA(out.c_str(), GetFileExInfoStandard, &a)) << out;
  // Whichever of its times the file system keeps best: none can precede its making.
  auto ticks = [](const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
  };
  const long long made = std::min(ticks(a.ftCreationTime), ticks(a.ftLastWriteTime));
  // 100-ns units; the file system's clock may run up to a few ticks of its own behind.
  const long long afterOkMs = (made - ticks(clicked)) / 10000;
  EXPECT_GE(afterOkMs, 980) << "the archive was begun " << afterOkMs << " ms after the OK";
}

TEST_F(EncryptJobTest, CancelledKeyDialogReturnsToSaveAsWhoseCancelEndsQuietly) {
  VelvoxRun run({src_});
  HWND save = run.WaitSaveAs();
  ASSERT_NE(save, nullptr);
  VelvoxRun::SaveAs(save, out_ + "x.xss");
  HWND key = run.WaitKeyDialog();
  ASSERT_NE(key, nullptr);
  vxtest::ClickButton(key, IDCANCEL);
  HWND again = run.WaitSaveAs();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(VelvoxRun::ProposedName(again), Acp(u8"報告書"));
  VelvoxRun::Cancel(again);
  EXPECT_EQ(run.Wait(), 0u);
  EXPECT_TRUE(pltest::Tree(out_).empty());
}

TEST_F(EncryptJobTest, MissingOutputFolderAsksAgain) {
  VelvoxRun run({src_});
  HWND save = run.WaitSaveAs();
  ASSERT_NE(save, nullptr);
  VelvoxRun::SaveAs(save, kRoot + "\\nowhere\\x.xss");
  auto box = run.Answer(IDOK);
  EXPECT_EQ(box.text, Acp(kOutputFolderInaccessible));
  vxtest::SaveScreenshot("encrypt-2221", box.hwnd);
  HWND again = run.WaitSaveAs();
  ASSERT_NE(again, nullptr);
  VelvoxRun::Cancel(again);
  EXPECT_EQ(run.Wait(), 0u);
  EXPECT_TRUE(pltest::Tree(out_).empty());
  EXPECT_EQ(GetFileAttributesA((kRoot + "\\nowhere").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(EncryptJobTest, InvalidExtensionSettingIsRefusedBeforeAnyDialog) {
  SettingsFile policy;
  policy.Set("VELVOX", "EXTMODE", "1");
  policy.Set("VELVOX", "EXTSTRING", "e.x");
  VelvoxRun run({src_});
  auto box = run.Answer(IDOK);
  EXPECT_EQ(box.text.rfind(Acp(u8"自己復号ファイルの拡張子（e.x） に不適当な文字が含まれています。"), 0), 0u)
      << Utf8(box.text);
  EXPECT_EQ(run.Wait(), 0u);
}

TEST_F(EncryptJobTest, ChangedSelfDecryptingExtensionAsksBeforeOverwriting) {
  // EXTMODE on with "ex_"; the password dialog changes it to "bin" (asked: box.bin
  // exists) or leaves it (not asked again).
  struct Row {
    const char* name;
    std::string typedExtension;
    std::string target;
    bool asked;
    int answer;
  } rows[] = {
      {"changed, declined", "bin", "box.bin", true, IDNO},
      {"changed, accepted", "bin", "box.bin", true, IDYES},
      {"unchanged", "", "box.ex_", false, IDOK},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SettingsFile policy;
    policy.Set("VELVOX", "EXTMODE", "1");
    policy.Set("VELVOX", "EXTSTRING", "ex_");
    const std::string target = out_ + r.target;
    pltest::WriteFile(target, "the user's file");
    VelvoxRun run({src_});
    HWND save = run.WaitSaveAs();
    ASSERT_NE(save, nullptr);
    VelvoxRun::SaveAs(save, out_ + "box.ex_", /*selfDecrypting=*/true);
    if (!r.asked) {
      // The save dialog itself asks about the existing file it was given.
      auto own = run.Answer(IDYES);
      ASSERT_NE(own.hwnd, nullptr);
      EXPECT_FALSE(own.icon);
    }
    HWND pw = run.WaitPasswordDialog();
    ASSERT_NE(pw, nullptr);
    VelvoxRun::EnterPassword(pw, kPassword, r.typedExtension);
    if (r.asked) {
      auto box = run.Answer(r.answer);
      EXPECT_EQ(box.text, target + Acp(u8"\nこのファイルはすでに存在しますが、上書きしてもよろしいですか？"));
      EXPECT_FALSE(box.icon) << "the same question as the save dialog's, in the same look";
    }
    EXPECT_EQ(run.Wait(), 0u);
    const std::string content = pltest::ReadFile(target);
    if (r.answer == IDNO)
      EXPECT_EQ(content, "the user's file");
    else
      EXPECT_EQ(content.substr(0, 2), "MZ");
    pltest::FreshDir(out_);
  }
}

TEST_F(EncryptJobTest, MediaHookGetsTheOutputDriveWhenRemovableIsOn) {
  SettingsFile policy;
  SettingsFile media(theApp.m_strMediaIni);
  media.Set("MEDIA", "REMOVABLE", "1");
  const std::string journal = store_->dir().path() + "\\mediahook.log";
  DeleteFileA(journal.c_str());
  VelvoxRun run({src_});
  run.EncryptTo(out_ + "m.xss");
  EXPECT_EQ(run.Wait(), 0u);
  const auto lines = inttest::ReadLines(journal);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines.front().rfind("drive=C: ", 0), 0u) << lines.front();
  EXPECT_NE(GetFileAttributesA((out_ + "m.xss").c_str()), INVALID_FILE_ATTRIBUTES);
}

// A message about a file names it as it is, also when the code page cannot spell it:
// its look-alike may be another file, or none.
TEST_F(EncryptJobTest, MessagesNameFilesTheCodePageCannotSpellAsTheyAre) {
  const std::wstring uuml(100, L'\u00fc');
  struct Row {
    const char* folder;  // the source, below the test's root
    std::wstring file;   // below the source: the file made and named
    UINT id;
  } rows[] = {
      // Only the file with the umlaut is held, by a reader that lets others read as the
      // archiver does; its look-alike beside it is free.
      {"held", L"M\u00fcller.txt", IDS_SOURCE_FILE_IN_USE},
      // 257 characters, each of these one byte in the limits' count: as long as a path
      // of plain letters, and refused as one.
      {"long", uuml + L"\\" + uuml + L"\\" + uuml.substr(0, 37) + L".txt", IDS_PATH_TOO_LONG},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.folder);
    const std::string source = kRoot + "\\" + r.folder;
    const std::wstring named = Wide(source) + L"\\" + r.file;
    ASSERT_TRUE(CreateDirectoryA(source.c_str(), nullptr));
    for (size_t slash = r.file.find(L'\\'); slash != std::wstring::npos; slash = r.file.find(L'\\', slash + 1))
      ASSERT_TRUE(CreateDirectoryW((Wide(source) + L"\\" + r.file.substr(0, slash)).c_str(), nullptr));
    vxtest::PutFile(Wide(source) + L"\\Muller.txt", "free");
    vxtest::PutFile(named, "the file named");
    HANDLE held = INVALID_HANDLE_VALUE;
    if (r.id == IDS_SOURCE_FILE_IN_USE) {
      held = CreateFileW(named.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    } else {
      ASSERT_EQ(named.size(), 257u);
    }
    VelvoxRun run({source});
    run.EncryptTo(out_ + "x.xss");
    HWND shown = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, run.pid());
    if (shown) vxtest::SaveScreenshot(std::string("encrypt-real-name-") + r.folder);
    EXPECT_EQ(run.Answer(IDOK).wtext, Message(r.id, named));
    EXPECT_EQ(run.Wait(), 0u);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    EXPECT_TRUE(pltest::Tree(out_).empty());
    pltest::FreshDir(out_);
  }
}

// Holds a file without sharing from the moment the progress dialog names the first file
// being packed: the walk has found it free, and the archiver meets it held.
class HoldWhenPackingBegins {
 public:
  explicit HoldWhenPackingBegins(std::wstring path) : path_(std::move(path)) {
    self_ = this;
    hook_ = SetWindowsHookExW(WH_CALLWNDPROCRET, Proc, nullptr, GetCurrentThreadId());
  }
  ~HoldWhenPackingBegins() {
    if (hook_) UnhookWindowsHookEx(hook_);
    if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
    self_ = nullptr;
  }
  bool held() const { return held_ != INVALID_HANDLE_VALUE; }

 private:
  static LRESULT CALLBACK Proc(int code, WPARAM wp, LPARAM lp) {
    const auto* m = reinterpret_cast<CWPRETSTRUCT*>(lp);
    if (code == HC_ACTION && self_ && !self_->held() && m->message == WM_SETTEXT &&
        GetDlgCtrlID(m->hwnd) == IDC_PROGRESS_TEXT &&
        vxtest::WindowText(GetParent(m->hwnd)) == fw::LoadStr(IDS_CAPTION_COMPRESSING))
      self_->held_ = CreateFileW(self_->path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return CallNextHookEx(nullptr, code, wp, lp);
  }
  static HoldWhenPackingBegins* self_;
  std::wstring path_;
  HHOOK hook_ = nullptr;
  HANDLE held_ = INVALID_HANDLE_VALUE;
};
HoldWhenPackingBegins* HoldWhenPackingBegins::self_ = nullptr;

// The archiver names a file it cannot open in code-page text, where the umlaut is gone;
// the message names the file itself, not its look-alike beside it.
TEST_F(EncryptJobTest, FileTheArchiverCannotOpenIsNamedAsItIs) {
  const std::wstring box = Wide(kRoot) + L"\\late";
  ASSERT_TRUE(CreateDirectoryW(box.c_str(), nullptr));
  // Packed first and large: it is named while the archiver still has the others before
  // it. Files this large are opened only when packing reaches them.
  vxtest::PutFile(box + L"\\0first.bin", std::string(8 << 20, 'f'));
  const std::wstring named = box + L"\\M\u00fcller.bin";
  vxtest::PutFile(named, std::string(1 << 20, 'm'));
  vxtest::PutFile(box + L"\\Muller.bin", std::string(1 << 20, 'u'));
  ASSERT_TRUE(TVDEV_CertifyKey(kKey, kKeyValue, 0));
  vxtest::MessageBoxSeen seen;
  std::thread user([&] {
    seen = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", vxtest::kDefaultWait, GetCurrentProcessId());
  });
  BOOL ok = 1;
  {
    HoldWhenPackingBegins hold(named);
    pltest::RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {kRoot + "\\late"};
      ok = dlg.ProduceEncryptedOutput(out_ + "late.xss", kKey, nullptr);
    });
    EXPECT_TRUE(hold.held());
  }
  user.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(seen.wtext, Message(IDS_SOURCE_FILE_IN_USE, named));
  EXPECT_TRUE(pltest::Tree(out_).empty());
}

// The operation log with the real log service: a record per file for a job that wrote
// its output, in the format of the guard's version, and none for a job that failed.
class EncryptJobLogTest : public EncryptJobTest {
 protected:
  void SetUp() override {
    EncryptJobTest::SetUp();
    install_ = kRoot + "\\TVGuard";
    for (const std::string& f : {install_, install_ + "\\log", kRoot + "\\v1log", kRoot + "\\v2log"})
      ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr)) << f;
    appPaths_.SetString("Path", install_ + "\\");
    logService_.SetString("TempLogFolder", kRoot + "\\v2log");
    WritePrivateProfileStringA("OPTION", "LOGPATH", (kRoot + "\\v1log").c_str(),
                               (install_ + "\\policy.ini").c_str());
  }
  std::string install_;
  inttest::MachineKey uninstall_{kGuardUninstallKey};
  inttest::MachineKey appPaths_{kGuardAppPathsKey};
  inttest::MachineKey logService_{kLogServiceKey};
};

TEST_F(EncryptJobLogTest, RecordsOfBothVersionsForASuccessNoneForAFailure) {
  inttest::LogService service(1, "PC01\\user");
  ASSERT_TRUE(service.ready());
  struct Row {
    DWORD version;
    const char* folder;
    const char* versionText;
  } rows[] = {{0x0500FFFF, "v1log", "v1"}, {0x05010000, "v2log", "v2"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.versionText);
    uninstall_.SetDword("Version", r.version);
    const std::string logFile = kRoot + "\\" + r.folder + "\\tarvolog.dat";
    DeleteFileA(logFile.c_str());
    const std::string out = out_ + r.versionText + ".xss";
    {
      VelvoxRun run({src_ + "\\a.txt", src_ + "\\sub"});
      run.EncryptTo(out);
      EXPECT_EQ(run.Wait(), 0u);
    }
    const auto lines = inttest::ReadLines(logFile);
    ASSERT_EQ(lines.size(), 2u) << logFile;
    // One record per file packed, in the walk's order; key names are kept in upper case.
    const std::string files[] = {Utf8(src_ + "\\a.txt"), Utf8(src_ + "\\sub\\" + Acp(u8"表ソ.csv"))};
    for (size_t i = 0; i < 2; ++i) {
      std::vector<std::string> fields;
      for (size_t from = 0, tab;; from = tab + 1) {
        tab = lines[i].find('\t', from);
        fields.push_back(lines[i].substr(from, tab - from));
        if (tab == std::string::npos) break;
      }
      ASSERT_EQ(fields.size(), 8u) << lines[i];
      EXPECT_EQ(fields[1] + "\t" + fields[2], std::string(r.versionText) + "\tARCHIVE") << lines[i];
      EXPECT_EQ(fields[4], "PC01\\user") << lines[i];
      EXPECT_EQ(fields[5], "ENCKEY") << lines[i];
      EXPECT_EQ(fields[6], out) << lines[i];
      EXPECT_EQ(fields[7], files[i]) << lines[i];
    }

    // The output cannot be written (the test holds the existing file open without
    // sharing): the job fails after all its dialogs and logs nothing.
    DeleteFileA(logFile.c_str());
    HANDLE held = CreateFileA(out.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    {
      VelvoxRun run({src_ + "\\a.txt"});
      HWND save = run.WaitSaveAs();
      ASSERT_NE(save, nullptr);
      VelvoxRun::SaveAs(save, out);
      run.Answer(IDYES);  // the save dialog's own question about the existing file
      HWND key = run.WaitKeyDialog();
      ASSERT_NE(key, nullptr);
      VelvoxRun::EnterKey(key, kKey, kKeyValue);
      auto failure = run.Answer(IDOK);
      EXPECT_NE(failure.hwnd, nullptr);
      EXPECT_EQ(run.Wait(), 0u);
    }
    CloseHandle(held);
    EXPECT_TRUE(inttest::ReadLines(logFile).empty());
  }
}

// A folder of names that code page 932 cannot spell (and a pair whose best-fit forms are
// one name) is encrypted and decrypted by velvox.exe back to the same tree, and each of
// its files is logged as itself: the code page's default character for what it lacks
// (one for each UTF-16 unit of a surrogate pair, as the system converts), never a
// look-alike that names another file.
TEST_F(EncryptJobLogTest, NamesTheCodePageCannotSpellGoBothWaysAndAreLoggedAsThemselves) {
  inttest::LogService service(1, "PC01\\user");
  ASSERT_TRUE(service.ready());
  uninstall_.SetDword("Version", 0x05010000);
  const std::string logFile = kRoot + "\\v2log\\tarvolog.dat";
  DeleteFileA(logFile.c_str());
  const struct Row {
    std::wstring name;
    std::string data;
    const char8_t* logged;
  } rows[] = {
      {L"M\u00fcller Bericht.txt", "Bericht", u8"M?ller Bericht.txt"},
      {L"\ubcf4\uace0\uc11c.txt", "report", u8"???.txt"},
      {L"plan \U0001F4C1.txt", "plan", u8"plan ??.txt"},
      {L"\U00020BB7\u7530.txt", std::string(70000, 'y'), u8"??\u7530.txt"},
      {L"M\u00fcller.txt", "with the umlaut", u8"M?ller.txt"},
      {L"Muller.txt", "without", u8"Muller.txt"},
      {L"Gr\u00f6\u00dfe\\\u00fc.txt", "in a folder the code page cannot spell", u8"Gr??e\\?.txt"},
  };
  const std::wstring src = Wide(kRoot) + L"\\names";
  ASSERT_TRUE(CreateDirectoryW(src.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((src + L"\\Gr\u00f6\u00dfe").c_str(), nullptr));
  for (const Row& r : rows) vxtest::PutFile(src + L"\\" + r.name, r.data);
  const auto sources = vxtest::TreeOf(src);
  ASSERT_EQ(sources.size(), std::size(rows) + 1);

  const std::string back = kRoot + "\\back", xss = back + "\\names.xss";
  ASSERT_TRUE(CreateDirectoryA(back.c_str(), nullptr));
  {
    VelvoxRun run({kRoot + "\\names"});
    run.EncryptTo(xss);
    EXPECT_EQ(run.WaitWithoutMessages(), 0u);
  }
  ASSERT_NE(GetFileAttributesA(xss.c_str()), INVALID_FILE_ATTRIBUTES);

  std::vector<std::string> want;
  for (const Row& r : rows) want.push_back(Utf8(kRoot) + "\\names\\" + U8(r.logged));
  std::sort(want.begin(), want.end());
  EXPECT_EQ(LoggedFiles(logFile), want);

  vxtest::SettleFolderTimes(back);
  {
    VelvoxRun run({xss});
    run.DecryptIntoItsFolder(xss);
    EXPECT_EQ(run.WaitWithoutMessages(), 0u);
  }
  EXPECT_EQ(vxtest::TreeOf(Wide(back) + L"\\names"), sources);
}

// velvox.exe started by the shell with names that code page 932 cannot spell, each beside
// its look-alike (the name as best fit spells it) holding other bytes. A file in such a
// folder is encrypted as itself. A source whose own name the archiver could only be
// given as its look-alike is refused before anything is written, and named as it is.
TEST_F(EncryptJobTest, SourcesTheCodePageCannotSpellOnTheCommandLine) {
  const std::wstring root = Wide(kRoot);
  for (const wchar_t* folder : {L"\\M\u00fcller", L"\\Muller", L"\\\ubcf4\uace0\uc11c"})
    ASSERT_TRUE(CreateDirectoryW((root + folder).c_str(), nullptr));
  vxtest::PutFile(root + L"\\M\u00fcller\\plan.txt", "in the folder with the umlaut");
  vxtest::PutFile(root + L"\\Muller\\plan.txt", "in the look-alike folder");
  vxtest::PutFile(root + L"\\M\u00fcller.txt", "with the umlaut");
  vxtest::PutFile(root + L"\\Muller.txt", "without");
  vxtest::PutFile(root + L"\\\ubcf4\uace0\uc11c\\a.txt", "report");
  const struct Row {
    std::wstring source;  // below the root
    Tree decrypted;       // what the archive holds; empty: refused
  } rows[] = {
      {L"M\u00fcller\\plan.txt", {{"plan.txt", "in the folder with the umlaut"}}},
      {L"M\u00fcller.txt", {}},
      {L"\ubcf4\uace0\uc11c", {}},
  };
  for (const Row& r : rows) {
    const std::wstring source = root + L"\\" + r.source;
    SCOPED_TRACE(vxtest::Utf8(fw::ToCodePage(source)));
    VelvoxRun run(std::vector<std::wstring>{source});
    if (r.decrypted.empty()) {
      // The first window the user sees is the refusal.
      HWND shown = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, run.pid());
      ASSERT_NE(shown, nullptr);
      vxtest::SaveScreenshot("encrypt-refused-real-name-" + std::to_string(&r - rows));
      EXPECT_EQ(run.Answer(IDOK).wtext, Message(IDS_FILE_NAME_INVALID, source));
      EXPECT_EQ(run.Wait(), 0u);
      EXPECT_TRUE(pltest::Tree(out_).empty());
      continue;
    }
    const std::string xss = out_ + "plan.xss";
    run.EncryptTo(xss);
    EXPECT_EQ(run.WaitWithoutMessages(), 0u);
    EXPECT_EQ(Decrypted(xss), r.decrypted);
    pltest::FreshDir(out_);
  }
}

// Archives whose own names code page 932 cannot spell, one beside a look-alike archive of
// other content, decrypted by velvox.exe started with them: each gives its own files, the
// progress dialog names it as it is, and extracting over existing files asks about each
// by its real name and leaves the look-alike beside them as it was.
TEST_F(EncryptJobTest, ArchivesTheCodePageCannotSpellDecryptAsThemselves) {
  const std::wstring root = Wide(kRoot);
  // Two archives of one folder "box" with the same names and other contents.
  auto makeArchive = [&](const std::string& content, const std::string& xss) {
    const std::wstring box = root + L"\\make\\box";
    vxtest::RemoveTree(kRoot + "\\make");
    ASSERT_TRUE(CreateDirectoryW((root + L"\\make").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(box.c_str(), nullptr));
    vxtest::PutFile(box + L"\\M\u00fcller.txt", content + " umlaut");
    vxtest::PutFile(box + L"\\\ubcf4\uace0\uc11c.txt", content + " report");
    ASSERT_TRUE(TVDEV_CertifyKey(kKey, kKeyValue, 0));
    BOOL ok = 0;
    pltest::BoxAnswerer boxes;
    pltest::RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {kRoot + "\\make\\box"};
      ok = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
    });
    ASSERT_TRUE(ok) << ::testing::PrintToString(boxes.Finish());
  };
  makeArchive("real", out_ + "real.xss");
  makeArchive("other", out_ + "other.xss");

  const struct Row {
    std::wstring archive;    // in the destination folder
    std::wstring lookAlike;  // beside it, holding the other archive; empty: none
  } rows[] = {
      {L"M\u00fcller.xss", L"Muller.xss"},
      {L"\ubcf4\uace0\uc11c.xss", L""},
  };
  const std::string dest = kRoot + "\\dest";
  const std::wstring wdest = Wide(dest);
  const std::string decrypting = Acp(u8"復号しています...");
  const std::string owTitle = Acp(u8"ファイルの上書きの確認");
  for (const Row& r : rows) {
    SCOPED_TRACE(vxtest::Utf8(fw::ToCodePage(r.archive)));
    vxtest::RemoveTree(dest);
    ASSERT_TRUE(CreateDirectoryW(wdest.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((wdest + L"\\box").c_str(), nullptr));
    const std::wstring xss = wdest + L"\\" + r.archive;
    ASSERT_TRUE(CopyFileW(Wide(out_ + "real.xss").c_str(), xss.c_str(), TRUE));
    if (!r.lookAlike.empty())
      ASSERT_TRUE(CopyFileW(Wide(out_ + "other.xss").c_str(), (wdest + L"\\" + r.lookAlike).c_str(), TRUE));
    vxtest::PutFile(wdest + L"\\box\\M\u00fcller.txt", "old umlaut");
    vxtest::PutFile(wdest + L"\\box\\\ubcf4\uace0\uc11c.txt", "old report");
    vxtest::PutFile(wdest + L"\\box\\Muller.txt", "the look-alike");
    auto want = vxtest::TreeOf(wdest + L"\\box");
    want[L"M\u00fcller.txt"] = "real umlaut";
    want[L"\ubcf4\uace0\uc11c.txt"] = "real report";
    vxtest::SettleFolderTimes(dest);

    wchar_t caption[64] = {};
    MultiByteToWideChar(CP_ACP, 0, decrypting.c_str(), -1, caption, 64);
    SetEnvironmentVariableW(L"VX_CANCEL_AT", caption);
    VelvoxRun run(std::vector<std::wstring>{xss});
    SetEnvironmentVariableW(L"VX_CANCEL_AT", nullptr);
    HWND key = run.WaitKeyDialog();
    ASSERT_NE(key, nullptr);
    vxtest::CancelHook hook(run.pid(), "VxCancelAtCaption");
    vxtest::SetControlText(key, IDC_KEY_VALUE, kKeyValue);
    vxtest::ClickButton(key, IDOK);
    HWND browser = vxtest::WaitFolderBrowser(run.pid());
    ASSERT_NE(browser, nullptr);
    vxtest::ExpectFolderSelected(browser, dest);
    PostMessageA(browser, WM_COMMAND, IDOK, 0);

    // Held at the stop question while it decrypts: the progress line names the archive.
    HWND ask = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, run.pid());
    ASSERT_NE(ask, nullptr);
    const auto progress = vxtest::FindWindows(decrypting, "#32770", run.pid());
    ASSERT_EQ(progress.size(), 1u);
    wchar_t line[MAX_PATH] = {};
    GetDlgItemTextW(progress.front(), IDC_PROGRESS_TEXT, line, MAX_PATH);
    EXPECT_EQ(std::wstring(line), r.archive);
    vxtest::SaveScreenshot("decrypt-progress-real-name-" + std::to_string(&r - rows));
    EXPECT_EQ(vxtest::StaticTexts(ask), fw::LoadStr(IDS_CONFIRM_ABORT));
    vxtest::ClickButton(ask, IDCANCEL);

    std::vector<std::wstring> asked;
    for (int i = 0; i < 2; ++i) {
      HWND ow = vxtest::WaitForWindow(owTitle, "#32770", vxtest::kDefaultWait, run.pid());
      if (!ow) break;
      wchar_t text[1024] = {};
      GetDlgItemTextW(ow, IDC_OW_MESSAGE, text, 1024);
      asked.push_back(text);
      vxtest::ClickButton(ow, IDC_OW_YES);
      vxtest::WaitWindowGone(ow);
    }
    std::sort(asked.begin(), asked.end());
    std::vector<std::wstring> named = {
        Message(IDS_CONFIRM_OVERWRITE_EXTRACTED, wdest + L"\\box\\M\u00fcller.txt"),
        Message(IDS_CONFIRM_OVERWRITE_EXTRACTED, wdest + L"\\box\\\ubcf4\uace0\uc11c.txt")};
    std::sort(named.begin(), named.end());
    EXPECT_EQ(asked, named);
    EXPECT_EQ(run.WaitWithoutMessages(), 0u);
    EXPECT_EQ(vxtest::TreeOf(wdest + L"\\box"), want);
  }
}

// The archiver records a folder link as a folder and does not follow it; the walk does
// not either, so a file behind one is neither checked (another program may hold it) nor
// logged as encrypted.
TEST_F(EncryptJobLogTest, FilesBehindAFolderLinkAreNeitherCheckedNorLogged) {
  inttest::LogService service(1, "PC01\\user");
  ASSERT_TRUE(service.ready());
  uninstall_.SetDword("Version", 0x05010000);
  const std::string logFile = kRoot + "\\v2log\\tarvolog.dat";
  DeleteFileA(logFile.c_str());
  const std::string outside = kRoot + "\\outside";
  ASSERT_TRUE(CreateDirectoryA(outside.c_str(), nullptr));
  pltest::WriteFile(outside + "\\held.txt", "not in the archive");
  vxtest::FolderLink link(src_ + "\\linked", outside);
  ASSERT_EQ(link.error(), "");
  HANDLE held = CreateFileA((outside + "\\held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const std::string xss = out_ + "linked.xss";
  {
    VelvoxRun run({src_});
    run.EncryptTo(xss);
    EXPECT_EQ(run.WaitWithoutMessages(), 0u);
  }
  CloseHandle(held);
  EXPECT_EQ(LoggedFiles(logFile),
            (std::vector<std::string>{Utf8(src_ + "\\a.txt"), Utf8(src_ + "\\sub\\" + Acp(u8"表ソ.csv"))}));
  const std::string top = Utf8(Acp(u8"報告書"));
  const Tree want = {{top, "<dir>"},
                     {top + "\\a.txt", "alpha"},
                     {top + "\\linked", "<dir>"},
                     {top + "\\sub", "<dir>"},
                     {top + "\\sub\\" + Utf8(Acp(u8"表ソ.csv")), std::string(70000, 'x')}};
  EXPECT_EQ(Decrypted(xss), want);
}

}  // namespace

// velvox.exe killed in each phase of a job, held there by the cancel question that the
// hook raises as the phase's caption appears: the temporary archive holds plaintext at
// that moment, and nothing of it may survive the process, in the temporary folder or in
// the output and destination folders.
TEST_F(EncryptJobTest, KilledInAnyPhaseLeavesNoTemporaryFile) {
  pltest::WriteFile(src_ + "\\sub\\big.bin", std::string(3 << 20, 'q'));
  // Decrypted where the browser opens: the archive's own folder.
  const std::string dest = kRoot + "\\dec", xss = dest + "\\made.xss";
  ASSERT_TRUE(CreateDirectoryA(dest.c_str(), nullptr));
  ASSERT_TRUE(TVDEV_CertifyKey(kKey, kKeyValue, 0));
  {
    pltest::BoxAnswerer boxes;
    BOOL ok = 0;
    pltest::RunJob([&](CVelvoxDlg& dlg) {
      dlg.m_sources = {src_};
      ok = dlg.ProduceEncryptedOutput(xss, kKey, nullptr);
    });
    ASSERT_TRUE(ok) << ::testing::PrintToString(boxes.Finish());
  }
  enum Job { Archive, SelfDecrypting, Decryption };
  const struct Case {
    const char* what;
    Job job;
    const char8_t* caption;
  } cases[] = {
      {"packing", Archive, u8"圧縮しています..."},
      {"encrypting", Archive, u8"暗号化しています..."},
      {"self-decrypting packing", SelfDecrypting, u8"圧縮しています..."},
      {"self-decrypting encrypting", SelfDecrypting, u8"暗号化しています..."},
      {"decrypting", Decryption, u8"復号しています..."},
      {"extracting", Decryption, u8"解凍しています..."},
  };
  const std::string temp = kRoot + "\\temp";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::RemoveTree(temp);
    // A kill leaves the records, for the next start to find the names free.
    vxtest::RecordsGoWith records(tempmark::kVelvoxKey, vxtest::Wide(temp));
    vxtest::RemoveTree(dest + "\\" + Acp(u8"報告書"));
    ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
    vxtest::SettleFolderTimes(dest);
    wchar_t caption[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(c.caption), -1, caption, 64);
    SetEnvironmentVariableW(L"VX_CANCEL_AT", caption);
    VelvoxRun run({c.job == Decryption ? xss : src_}, {{"TEMP", temp}, {"TMP", temp}});
    SetEnvironmentVariableW(L"VX_CANCEL_AT", nullptr);
    std::unique_ptr<vxtest::CancelHook> hook;
    if (c.job == Decryption) {
      HWND key = run.WaitKeyDialog();
      ASSERT_NE(key, nullptr);
      hook = std::make_unique<vxtest::CancelHook>(run.pid(), "VxCancelAtCaption");
      vxtest::SetControlText(key, IDC_KEY_VALUE, kKeyValue);
      vxtest::ClickButton(key, IDOK);
      HWND browser = vxtest::WaitFolderBrowser(run.pid());
      ASSERT_NE(browser, nullptr);
      vxtest::ExpectFolderSelected(browser, dest);
      PostMessageA(browser, WM_COMMAND, IDOK, 0);
    } else {
      HWND save = run.WaitSaveAs();
      ASSERT_NE(save, nullptr);
      VelvoxRun::SaveAs(save, out_ + "killed.xss", c.job == SelfDecrypting);
      if (c.job == SelfDecrypting) {
        HWND pw = run.WaitPasswordDialog();
        ASSERT_NE(pw, nullptr);
        hook = std::make_unique<vxtest::CancelHook>(run.pid(), "VxCancelAtCaption");
        VelvoxRun::EnterPassword(pw, kPassword);
      } else {
        HWND key = run.WaitKeyDialog();
        ASSERT_NE(key, nullptr);
        hook = std::make_unique<vxtest::CancelHook>(run.pid(), "VxCancelAtCaption");
        VelvoxRun::EnterKey(key, kKey, kKeyValue);
      }
    }
    HWND ask = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, run.pid());
    ASSERT_NE(ask, nullptr);
    ASSERT_NE(vxtest::FindWindows(Acp(c.caption), "#32770", run.pid()).size(), 0u) << "held in its phase";
    const auto held = pltest::Tree(temp);
    EXPECT_FALSE(held.empty()) << "the job's temporary archive exists while it is held";
    // Recorded, so that a start after a power cut at this moment would remove it: what
    // the job holds, and nothing it gave up.
    std::vector<std::wstring> holding, recorded = vxtest::RecordsBelow(tempmark::kVelvoxKey, vxtest::Wide(temp));
    for (const auto& [rel, data] : held) holding.push_back(vxtest::Wide(temp + "\\" + rel));
    std::sort(recorded.begin(), recorded.end());
    EXPECT_EQ(recorded, holding);
    ASSERT_TRUE(TerminateProcess(run.handle(), 9));
    EXPECT_EQ(run.Wait(), 9u);
    hook.reset();
    // The system closes a killed process's handles as it ends it; a moment later the
    // folders must show it.
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000 && !pltest::Tree(temp).empty();) Sleep(20);
    for (const auto& [rel, data] : pltest::Tree(temp))
      ADD_FAILURE() << "left in the temporary folder: " << rel << " (" << data.size() << " bytes)";
    for (const auto& [rel, data] : pltest::Tree(dest))
      EXPECT_EQ(fw::FileNamePart(rel).rfind("~zr", 0), std::string::npos) << "partial file left: " << rel;
    for (const auto& [rel, data] : pltest::Tree(out_)) ADD_FAILURE() << "left in the output folder: " << rel;
  }
}
