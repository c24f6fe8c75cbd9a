// The main dialog driver, end to end: velvox.exe is started with real paths and the
// test reads and answers the message boxes it shows, as a user would.
#include <gtest/gtest.h>
#include <objbase.h>
#include <shellapi.h>

#include <fstream>
#include <map>
#include <vector>

#include "tvtest.h"
#include "contracts/tempmark.h"
#include "dialogs_ids.h"
#include "encryptjob.h"
#include "tempmarks.h"
#include "testfiles.h"
#include "uidriver.h"
#include "velvoxdlg.h"
#include "xssfixture.h"

using vxtest::Acp;

namespace {

const std::string kCaption = "TARVO-Pro";

std::string Root() {
  static std::string root = [] {
    std::string r = "C:\\vxdrv\\";
    // A fresh tree per run: leftovers of an earlier run must not satisfy a lookup.
    vxtest::RemoveTree("C:\\vxdrv");
    CreateDirectoryA(r.c_str(), nullptr);
    return r;
  }();
  return root;
}

// The tree goes with the test program.
class RemoveRootAtEnd : public ::testing::Environment {
 public:
  void TearDown() override { vxtest::RemoveTree("C:\\vxdrv"); }
};
const auto* const g_removeRoot = ::testing::AddGlobalTestEnvironment(new RemoveRootAtEnd);

void MakeDir(const std::string& rel) { CreateDirectoryA((Root() + rel).c_str(), nullptr); }

void MakeFile(const std::string& rel) {
  std::ofstream(Root() + rel, std::ios::binary) << "data";
  ASSERT_NE(GetFileAttributesA((Root() + rel).c_str()), INVALID_FILE_ATTRIBUTES) << rel;
}

std::string Quote(const std::string& s) {
  std::string q = "\"";
  q += s;
  q += '"';
  return q;
}

std::string VelvoxCommand(const std::vector<std::string>& args) {
  std::string cmd = Quote(vxtest::ExeFolder() + "velvox.exe");
  for (const auto& a : args) {
    cmd += ' ';
    cmd += Quote(a);
  }
  return cmd;
}

// Decrypt: a damaged archive, refused at once. DecryptKey: a good one, whose key is then
// asked for by name.
enum class Outcome { Encrypt, Decrypt, DecryptKey, PathTooLong, ParentsDiffer };

// The box that a run ends in, answered with OK, and the process's exit; for a good
// archive, the key name that the key dialog shows, cancelled; for an encryption, the name
// that the save-as dialog proposes, cancelled.
struct Run {
  std::string text;
  DWORD exitCode = STILL_ACTIVE;
};

Run RunAndAnswer(const std::vector<std::string>& args, Outcome outcome) {
  Run run;
  auto p = vxtest::Process::Start(VelvoxCommand(args));
  if (outcome == Outcome::DecryptKey) {
    HWND dlg = vxtest::WaitForWindow(Acp(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait,
                                     p.pid());
    if (dlg) {
      run.text = vxtest::ControlText(dlg, 1005);
      vxtest::ClickButton(dlg, IDCANCEL);
    }
  } else if (outcome == Outcome::Encrypt) {
    if (HWND save = vxtest::WaitForDialogWith(IDC_SAVE_SELF_DECRYPTING, p.pid())) {
      run.text = vxtest::WindowText(vxtest::FileDialogNameField(save));
      ::PostMessageA(save, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
  } else {
    run.text = vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid()).text;
  }
  run.exitCode = p.Wait();
  return run;
}

void ExpectOutcome(const Run& run, Outcome outcome, const std::vector<std::string>& sources,
                   const std::string& rawArgs) {
  EXPECT_EQ(run.exitCode, 0u);
  switch (outcome) {
    case Outcome::Encrypt: {
      // The save-as dialog names the output after the first source that was collected.
      ASSERT_FALSE(sources.empty());
      SYSTEMTIME now;
      ::GetLocalTime(&now);
      EXPECT_EQ(vxtest::Utf8(run.text), vxtest::Utf8(ProposeOutputName(sources.front(), now)));
      break;
    }
    case Outcome::Decrypt:
      EXPECT_EQ(run.text, Acp(u8"手動暗号ファイルの形式が正しくないか、ファイルが壊れています。"));
      break;
    case Outcome::DecryptKey:
      // The archive's key names the source that was chosen.
      ASSERT_EQ(sources.size(), 1u);
      EXPECT_EQ(run.text, "TWO");
      break;
    case Outcome::PathTooLong:
      EXPECT_EQ(run.text, Acp(u8"ファイル／フォルダのパス名が長すぎます。処理を継続できません。\n"
                              u8"ファイルパス名の長さを255文字（フォルダの場合は246文字）以下に"
                              u8"してください。\n\n") +
                              rawArgs);
      break;
    case Outcome::ParentsDiffer:
      EXPECT_EQ(run.text,
                Acp(u8"指定された複数のファイルは、親フォルダが異なるため手動暗号ファイルを作成"
                    u8"できません。\n対象ファイルは親フォルダが同一である必要があります。"));
      break;
  }
}

std::string RawArgs(const std::vector<std::string>& args) {
  std::string raw;
  for (const auto& a : args) {
    if (!raw.empty()) raw += ' ';
    raw += Quote(a);
  }
  return raw;
}

class DriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitialize(nullptr);
    MakeDir("report");
    MakeFile("report\\inner.txt");
    MakeFile("box.XSS");
    MakeDir("a");
    MakeDir("b");
    MakeFile("a\\one.txt");
    // a\two.xss is a good archive of key TWO, which must be proven (so its key dialog
    // shows); the other archives hold "data".
    store_ = new tvtest::StoreHome;
    ASSERT_EQ(dectest::KeyAdm("init"), 0);
    dectest::AddKey("TWO", "aes", "TWOVALUE", false);
    ASSERT_TRUE(dectest::Pack(Root() + "report", "inner.txt", Root() + "two.zip"));
    ASSERT_TRUE(dectest::Encrypt("TWO", "TWOVALUE", Root() + "two.zip", Root() + "a\\two.xss"));
    DeleteFileA((Root() + "two.zip").c_str());
    MakeFile("a\\x.xss");
    MakeFile("a\\x.txt");
    MakeFile("a\\y.txt");
    MakeFile("b\\y.xss");
    MakeDir("wild");
    MakeFile("wild\\only.txt");
    MakeFile("wild\\other.dat");
    MakeFile("longfilename.text");
    MakeDir(Acp(u8"表"));
    MakeFile(Acp(u8"表\\データ.txt"));
    MakeDir("len");
  }
  static void TearDownTestSuite() { delete store_; }
  static tvtest::StoreHome* store_;
};
tvtest::StoreHome* DriverTest::store_ = nullptr;

struct ArgCase {
  const char* name;
  std::vector<std::string> args;  // relative to the fixture root unless absolute
  Outcome outcome;
  std::vector<std::string> sources;
};

TEST_F(DriverTest, ArgumentsChooseTheJobAndItsSources) {
  const std::string R = Root();
  std::string lower = R;  // the same folder, other letter case
  lower[0] = 'c';
  const ArgCase cases[] = {
      {"folder", {R + "report"}, Outcome::Encrypt, {R + "report"}},
      {"upper-case archive", {R + "box.XSS"}, Outcome::Decrypt, {R + "box.XSS"}},
      {"file and archive", {R + "a\\one.txt", R + "a\\two.xss"}, Outcome::DecryptKey,
       {R + "a\\two.xss"}},
      {"two archives: the last one", {R + "a\\x.xss", R + "a\\two.xss"}, Outcome::DecryptKey,
       {R + "a\\two.xss"}},
      {"two archives: the last one, damaged", {R + "a\\two.xss", R + "a\\x.xss"},
       Outcome::Decrypt, {R + "a\\x.xss"}},
      {"archives in two folders", {R + "a\\x.xss", R + "b\\y.xss"}, Outcome::ParentsDiffer, {}},
      {"parents differ in case only", {R + "A\\x.txt", lower + "a\\y.txt"}, Outcome::Encrypt,
       {R + "A\\x.txt", lower + "a\\y.txt"}},
      {"missing file", {R + "missing.txt"}, Outcome::PathTooLong, {}},
      {"drive root", {"C:\\"}, Outcome::PathTooLong, {}},
      {"trailing backslash", {R + "report\\"}, Outcome::PathTooLong, {}},
      {"wildcard", {R + "wild\\*.txt"}, Outcome::Encrypt, {R + "wild\\only.txt"}},
      {"japanese with 0x5C trail byte", {R + Acp(u8"表\\データ.txt")}, Outcome::Encrypt,
       {R + Acp(u8"表\\データ.txt")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectOutcome(RunAndAnswer(c.args, c.outcome), c.outcome, c.sources, RawArgs(c.args));
  }
}

TEST_F(DriverTest, PathLengthCountsBytesOfTheCodePage) {
  const std::string dir = Root() + "len\\";
  auto fileOf = [&](size_t totalBytes, const std::string& unit) {
    std::string name;
    while (dir.size() + name.size() + unit.size() <= totalBytes - 4) name += unit;
    while (dir.size() + name.size() < totalBytes - 4) name += "a";
    return dir + name + ".txt";
  };
  std::string ok255 = fileOf(255, "a");
  std::string long256 = fileOf(256, "a");
  std::string dbcs256 = fileOf(256, Acp(u8"漢"));
  for (const auto& path : {ok255, long256, dbcs256}) {
    std::ofstream(path, std::ios::binary) << "x";
    ASSERT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << path.size();
  }
  ASSERT_EQ(ok255.size(), 255u);
  ASSERT_EQ(long256.size(), 256u);
  ASSERT_EQ(dbcs256.size(), 256u);
  ExpectOutcome(RunAndAnswer({ok255}, Outcome::Encrypt), Outcome::Encrypt, {ok255}, "");
  ExpectOutcome(RunAndAnswer({long256}, Outcome::PathTooLong), Outcome::PathTooLong, {}, RawArgs({long256}));
  ExpectOutcome(RunAndAnswer({dbcs256}, Outcome::PathTooLong), Outcome::PathTooLong, {}, RawArgs({dbcs256}));
}

TEST_F(DriverTest, ShortNameArgumentGetsTheLongName) {
  std::string longPath = Root() + "longfilename.text";
  char shortPath[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameA(longPath.c_str(), shortPath, MAX_PATH), 0u);
  std::string shortName = vxtest::Utf8(shortPath);
  ASSERT_NE(shortName, longPath) << "the file system gave no short name";
  ExpectOutcome(RunAndAnswer({shortPath}, Outcome::Encrypt), Outcome::Encrypt, {longPath}, "");
}

TEST_F(DriverTest, ParentFolderOfASource) {
  const std::string R = Root();
  EXPECT_EQ(CVelvoxDlg::GetSourceParentFolder(R + "report"), R);
  EXPECT_EQ(CVelvoxDlg::GetSourceParentFolder(R + "report\\"), R);
  EXPECT_EQ(CVelvoxDlg::GetSourceParentFolder(R + Acp(u8"表\\データ.txt")), R + Acp(u8"表\\"));
  EXPECT_EQ(CVelvoxDlg::GetSourceParentFolder("C:\\file.txt"), "C:\\");
  EXPECT_EQ(CVelvoxDlg::GetSourceParentFolder("nofolder"), "");
}

HWND FindMainDialog(DWORD pid) {
  // The main dialog is never visible, so the visible-window search cannot see it.
  for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "#32770", "velvox")) != nullptr;) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == pid) return w;
  }
  return nullptr;
}

TEST_F(DriverTest, AboutBoxFromTheSystemMenuAndScreenshots) {
  auto p = vxtest::Process::Start(VelvoxCommand({Root() + "a\\x.xss", Root() + "b\\y.xss"}));
  HWND box = vxtest::WaitForWindow(kCaption, "#32770", vxtest::kDefaultWait, p.pid());
  ASSERT_NE(box, nullptr);
  vxtest::SaveScreenshot("message-2240", box);

  HWND main = FindMainDialog(p.pid());
  ASSERT_NE(main, nullptr);
  PostMessageA(main, WM_SYSCOMMAND, 0x0010, 0);
  HWND about = vxtest::WaitForWindow(Acp(u8"バージョン情報"), "#32770", vxtest::kDefaultWait,
                                     p.pid());
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(vxtest::ControlText(about, 1013), "TARVO-Pro");
  vxtest::SaveScreenshot("about-box", about);
  vxtest::ClickButton(about, IDOK);
  EXPECT_TRUE(vxtest::WaitWindowGone(about));

  // The help command is swallowed: the program neither ends nor shows anything. Sent,
  // not posted, so that it has been handled when the call returns; a box it opened would
  // hold the call until the timeout and be seen below.
  DWORD_PTR result = 0;
  EXPECT_TRUE(SendMessageTimeoutA(main, WM_COMMAND, 0xE146, 0, SMTO_NORMAL,
                                 vxtest::kDefaultWait, &result))
      << "the help command did not return";
  EXPECT_EQ(WaitForSingleObject(p.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the program ended";
  EXPECT_TRUE(IsWindow(main));
  EXPECT_EQ(vxtest::FindWindows("", "", p.pid()), std::vector<HWND>{box})
      << "only the start-up message is shown:\n" << vxtest::DescribeWindows();
  EXPECT_NE(vxtest::StaticTexts(box).find(Acp(u8"親フォルダが異なる")), std::string::npos);
  vxtest::ClickButton(box, IDOK);
  EXPECT_TRUE(vxtest::WaitWindowGone(box));
  EXPECT_EQ(p.Wait(), 0u);
}

HWND WaitOpenDialog(DWORD pid) {
  // The open dialog's title is the system's own; it is the only dialog of the process.
  DWORD start = GetTickCount();
  while (GetTickCount() - start < vxtest::kDefaultWait) {
    for (HWND w : vxtest::FindWindows("", "#32770", pid))
      if (GetDlgItem(w, IDOK) && GetDlgItem(w, 0x47C)) return w;  // 0x47C: file name box
    Sleep(20);
  }
  ADD_FAILURE() << "no open dialog; windows:\n" << vxtest::DescribeWindows();
  return nullptr;
}

TEST_F(DriverTest, WithoutArgumentsTheOpenDialogAsks) {
  {
    auto p = vxtest::Process::Start(VelvoxCommand({}));
    HWND dlg = WaitOpenDialog(p.pid());
    ASSERT_NE(dlg, nullptr);
    vxtest::SaveScreenshot("open-dialog", dlg);
    vxtest::ClickButton(dlg, IDCANCEL);
    // Cancelled: the program ends without a message (a box would keep it running).
    EXPECT_EQ(p.Wait(5000), 0u);
  }
  {
    // The chosen name is tested case-sensitively: box.XSS goes to encryption.
    auto p = vxtest::Process::Start(VelvoxCommand({}));
    HWND dlg = WaitOpenDialog(p.pid());
    ASSERT_NE(dlg, nullptr);
    vxtest::SetControlText(dlg, 0x47C, Root() + "box.XSS");
    vxtest::ClickButton(dlg, IDOK);
    HWND save = vxtest::WaitForDialogWith(IDC_SAVE_SELF_DECRYPTING, p.pid());
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(vxtest::WindowText(vxtest::FileDialogNameField(save)), "box");
    ::PostMessageA(save, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(p.Wait(), 0u);
  }
}

// A job's temporary file outlives the job only when the machine loses power. The next
// start removes it, and nothing but what it can show to be such a file: recorded when a
// job made it, still that very file, and held by no running instance. Names prove
// nothing: another program's file and the user's own of the same pattern stay, as does
// a file that has since taken a recorded name.
TEST_F(DriverTest, AtStartOnlyTheLeftoversOfJobsAreRemoved) {
  const std::string temp = Root() + "temp";
  ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
  vxtest::RecordsGoWith records(tempmark::kVelvoxKey, vxtest::Wide(temp));
  // Where leftovers are: in the user's temporary folder, velvox's own.
  const vxtest::ScopedEnvironment env({{"TEMP", temp}, {"TMP", temp}});
  enum Kind { kLeftover, kHeldLeftover, kNameTaken, kUnrecorded, kHeldUnrecorded };
  const struct {
    const char* name;
    Kind kind;
  } files[] = {
      {"vxA1.tmp", kLeftover},         // an archive being packed or decrypted
      {"vxA2.ex_", kLeftover},         // a self-decrypting job's, renamed
      {"vxA3.tmp", kHeldLeftover},     // still a running instance's
      {"vxA4.exe", kNameTaken},        // recorded, then another file took the name
      {"vx12.tmp", kUnrecorded},       // another program's GetTempFileName(..., "vx", ...)
      {"VX1.TMP", kUnrecorded},        // the user's own
      {"vxA5.tmp", kHeldUnrecorded},   // someone's, open while velvox starts
  };
  auto write = [](const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  };
  std::map<std::string, std::string> expected;
  std::vector<HANDLE> held;
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = temp + "\\" + f.name;
    if (f.kind == kLeftover || f.kind == kHeldLeftover || f.kind == kNameTaken) {
      ASSERT_TRUE(vxtest::LeaveAsAPowerCutWould(tempmark::kVelvoxKey, vxtest::Wide(path), "plain"));
    } else {
      write(path, "theirs");
    }
    if (f.kind == kNameTaken) {
      // Made while the recorded file still exists, so that the two cannot share an
      // identity, then moved over it.
      write(temp + "\\newer", "theirs");
      ASSERT_TRUE(MoveFileExA((temp + "\\newer").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    if (f.kind == kHeldLeftover || f.kind == kHeldUnrecorded) {
      // As any program holds a file: sharing everything.
      held.push_back(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
    }
    if (f.kind != kLeftover) expected[f.name] = f.kind == kHeldLeftover ? "plain" : "theirs";
  }
  auto contents = [&] {
    std::map<std::string, std::string> found;
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((temp + "\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return found;
    do {
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const tvtest::Bytes bytes = tvtest::ReadAll(temp + "\\" + fd.cFileName);
      found[fd.cFileName] = std::string(bytes.begin(), bytes.end());
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return found;
  };
  const std::vector<std::string> damaged = {Root() + "a\\x.xss"};
  ExpectOutcome(RunAndAnswer(damaged, Outcome::Decrypt), Outcome::Decrypt, damaged, "");
  // Closed only now: a clean-up that had opened them sharing everything, to be deleted
  // at close, would take them away here.
  for (HANDLE h : held) CloseHandle(h);
  EXPECT_EQ(contents(), expected);
  EXPECT_EQ(vxtest::RecordsBelow(tempmark::kVelvoxKey, vxtest::Wide(temp)),
            std::vector<std::wstring>{vxtest::Wide(temp + "\\vxA3.tmp")})
      << "only the held file keeps its record";

  // The held one goes at the first start after its holder has let it go.
  ExpectOutcome(RunAndAnswer(damaged, Outcome::Decrypt), Outcome::Decrypt, damaged, "");
  expected.erase("vxA3.tmp");
  EXPECT_EQ(contents(), expected);
  EXPECT_TRUE(vxtest::RecordsBelow(tempmark::kVelvoxKey, vxtest::Wide(temp)).empty());
}

}  // namespace
