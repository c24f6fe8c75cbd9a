// Self-decrypting executables built by the library, started under Wine and driven like
// a user: password dialog, message boxes, destination folder, overwrite question.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "contracts/tempmark.h"
#include "contracts/tvdev.h"
#include "format/xss_format.h"
#include "peimports.h"
#include "selfextract.h"
#include "tempmarks.h"
#include "testfiles.h"
#include "tvtest.h"
#include "uidriver.h"
#include "zoras/zip.h"

using namespace tvtest;
using vxtest::Acp;
using vxtest::Wide;

namespace {

constexpr int kPassword = 1001, kFolder = 1002;
const std::string kEnglishTitle = "TARVO-Pro Self-Decrypting File";
const std::string kJapaneseTitle =
    Acp(u8"TARVO-Pro \u81ea\u5df1\u5fa9\u53f7\u30d5\u30a1\u30a4\u30eb");

class VectorSink : public zoras::ByteSink {
 public:
  bool write(const void* data, size_t n) override {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + n);
    return true;
  }
  bool write_at(uint64_t offset, const void* data, size_t n) override {
    std::memcpy(bytes.data() + offset, data, n);
    return true;
  }
  uint64_t position() const override { return bytes.size(); }
  Bytes bytes;
};

struct File {
  std::string name;  // UTF-8, '/' separated
  Bytes data;
};

Bytes MakeZip(const std::vector<File>& files) {
  VectorSink sink;
  zoras::ZipWriter w;
  w.start(sink);
  for (const File& f : files) {
    zoras::NewEntry e;
    e.name = f.name;
    e.dos_date = (44 << 9) | (1 << 5) | 1;
    EXPECT_EQ(w.begin_entry(e, zoras::kMethodStored), zoras::ZipError::none);
    EXPECT_EQ(w.write_data(f.data.data(), f.data.size()), zoras::ZipError::none);
    const uint32_t crc = crc32(0, f.data.data(), static_cast<uInt>(f.data.size()));
    const uint32_t size = static_cast<uint32_t>(f.data.size());
    EXPECT_EQ(w.end_entry(crc, size, size, zoras::kMethodStored), zoras::ZipError::none);
  }
  EXPECT_EQ(w.finish(), zoras::ZipError::none);
  return sink.bytes;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// Waits, with a watchdog, until `done` holds; records a failure naming `what` if it never does.
template <typename Done>
bool WaitUntil(Done done, const char* what, DWORD timeoutMs = 20000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeoutMs) {
      ADD_FAILURE() << "timed out waiting until " << what << "; visible windows:\n"
                    << vxtest::DescribeWindows();
      return false;
    }
    Sleep(10);
  }
  return true;
}

// Types the password and presses OK; returns the message box that follows (if any).
vxtest::MessageBoxSeen TryPassword(HWND dlg, const std::string& password, DWORD pid) {
  vxtest::SetControlText(dlg, kPassword, password);
  vxtest::ClickButton(dlg, IDOK);
  return vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 20000, pid);
}

// After a refused password the stub empties the field once its message box has gone;
// typing before that would be wiped, or OK would find the field empty.
bool WaitForRefusalDone(HWND dlg) {
  return WaitUntil([&] { return IsWindowEnabled(dlg) && vxtest::ControlText(dlg, kPassword).empty(); },
                   "the refused password is cleared");
}

// Types `text` into an edit control key by key, as a user does (WM_CHAR goes through
// the control's own upper-casing), and waits until the control shows `shown`.
void TypeText(HWND dlg, int id, const std::string& text, const std::string& shown) {
  HWND edit = GetDlgItem(dlg, id);
  ASSERT_NE(edit, nullptr);
  vxtest::SetControlText(dlg, id, "");
  for (char c : text) PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
  WaitUntil([&] { return vxtest::ControlText(dlg, id) == shown; }, "the typed text shows");
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Names in a folder given by a wide path (the stub's temporary folder has characters
// that the system code page cannot spell).
std::vector<std::wstring> ListW(const std::wstring& dir) {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    const std::wstring n = fd.cFileName;
    if (n != L"." && n != L"..") out.push_back(n);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

// The stub's progress dialog: the window of the process that has the progress bar.
HWND FindProgressBar(DWORD pid) {
  for (HWND w : vxtest::FindWindows("", "#32770", pid))
    if (HWND bar = GetDlgItem(w, 1005)) return bar;
  return nullptr;
}

// Gets an English stub past its password dialog with the right password; returns the
// destination-folder dialog, or nullptr (with the failure recorded) when it never comes.
HWND PassPasswordDialog(const vxtest::Process& p, const char* password,
                        const char* screenshot = nullptr) {
  HWND dlg = vxtest::WaitForWindow(kEnglishTitle, "#32770", 15000, p.pid());
  if (!dlg) return nullptr;
  if (screenshot) vxtest::SaveScreenshot(screenshot, dlg);
  vxtest::SetControlText(dlg, kPassword, password);
  vxtest::ClickButton(dlg, IDOK);
  if (!vxtest::WaitWindowGone(dlg, 20000)) {
    ADD_FAILURE() << "the password dialog stayed open";
    return nullptr;
  }
  return vxtest::WaitForWindow(kEnglishTitle, "#32770", 15000, p.pid());
}

class SelfExtract : public ::testing::Test {
 protected:
  // Every stub runs with a temporary folder of its own whose name the system code page
  // cannot spell, as a user name can make it; the folder must be empty when the stub has
  // ended, whichever way, and no record of the stub's may name a file there.
  void SetUp() override {
    ASSERT_NE(GetSystemMetrics(SM_CXSCREEN), 0) << "needs a display";
    stubTemp = Wide(tempRoot.path()) + L"\\tmp-\u00e9\ud55c";
    ASSERT_TRUE(CreateDirectoryW(stubTemp.c_str(), nullptr));
  }
  void TearDown() override {
    vxtest::RecordsGoWith records(tempmark::kSelfExtractKey, stubTemp);
    const std::vector<std::wstring> left = ListW(stubTemp);
    EXPECT_TRUE(left.empty()) << "the stub left " << left.size()
                              << " file(s) in its temporary folder";
    for (const std::wstring& n : left) DeleteFileW((stubTemp + L"\\" + n).c_str());
    RemoveDirectoryW(stubTemp.c_str());
    EXPECT_TRUE(vxtest::RecordsBelow(tempmark::kSelfExtractKey, stubTemp).empty())
        << "a record of a file in the stub's temporary folder stayed";
  }
  BOOL Build(const std::vector<File>& files, const char* password, DWORD limit, DWORD english) {
    WriteAll(work / "in.zip", MakeZip(files));
    ProgressLog::Reset();
    return TVDEV_CreateSelfExtractEx((work / "in.zip").c_str(), (work / "out.exe").c_str(),
                                     password, 2, limit, &ProgressLog::Callback, nullptr, 0,
                                     english, 0);
  }
  // Starts `exe` with TEMP and TMP pointing at the stub's own temporary folder.
  vxtest::Process Start(const std::string& exe) {
    struct Env {
      const wchar_t* name;
      std::wstring old;
      bool had;
    } env[] = {{L"TEMP", {}, false}, {L"TMP", {}, false}};
    for (Env& e : env) {
      wchar_t buf[1024] = {};
      e.had = GetEnvironmentVariableW(e.name, buf, 1024) != 0;
      e.old = buf;
    }
    SetEnvironmentVariableW(L"TEMP", stubTemp.c_str());
    SetEnvironmentVariableW(L"TMP", stubTemp.c_str());
    auto p = vxtest::Process::Start(Quoted(exe), work.path());
    for (Env& e : env) SetEnvironmentVariableW(e.name, e.had ? e.old.c_str() : nullptr);
    return p;
  }
  TempDir work, dest, tempRoot;
  std::wstring stubTemp;
};

}  // namespace

TEST_F(SelfExtract, WrongPasswordsUpToTheLimitThenTheRightOneInAFreshStart) {
  const std::vector<File> files = {{"readme.txt", Text("hello")},
                                   {"sub/data.bin", Pattern(300000)}};
  // Made with a lower-case password, as a caller may pass it.
  ASSERT_TRUE(Build(files, "secret-1", 2, 1)) << TVDEV_GetLastError(0);
  EXPECT_GE(ProgressLog::calls, 2);
  EXPECT_EQ(ProgressLog::lastDone, ProgressLog::lastTotal);
  const Bytes exe = ReadAll(work / "out.exe");
  EXPECT_EQ(std::search(exe.begin(), exe.end(), files[1].data.begin(), files[1].data.begin() + 64),
            exe.end()) << "the payload is encrypted";

  {
    auto p = Start(work / "out.exe");
    HWND dlg = vxtest::WaitForWindow(kEnglishTitle, "#32770", 15000, p.pid());
    ASSERT_NE(dlg, nullptr);
    vxtest::SaveScreenshot("tarvodev_sfx_password_en", dlg);
    auto m = TryPassword(dlg, "WRONG", p.pid());
    EXPECT_EQ(m.text, "The password is not correct.");
    EXPECT_TRUE(WaitForRefusalDone(dlg)) << "the field is emptied";
    m = TryPassword(dlg, "SECRET-2", p.pid());
    EXPECT_TRUE(Contains(m.text, "too many times")) << m.text;
    EXPECT_EQ(p.Wait(20000), 3u) << "gives up after the attempt limit";
  }
  EXPECT_EQ(work.List(), (std::vector<std::string>{"in.zip", "out.exe"}))
      << "nothing is extracted into the proposed folder";

  auto p = Start(work / "out.exe");
  HWND dlg = vxtest::WaitForWindow(kEnglishTitle, "#32770", 15000, p.pid());
  ASSERT_NE(dlg, nullptr);
  TypeText(dlg, kPassword, "secret-1", "SECRET-1");  // the field upper-cases what is typed
  vxtest::ClickButton(dlg, IDOK);
  ASSERT_TRUE(vxtest::WaitWindowGone(dlg, 20000));
  HWND folder = vxtest::WaitForWindow(kEnglishTitle, "#32770", 15000, p.pid());
  ASSERT_NE(folder, nullptr);
  vxtest::SaveScreenshot("tarvodev_sfx_folder_en", folder);
  EXPECT_EQ(vxtest::ControlText(folder, kFolder) + "\\", vxtest::Utf8(work.path()) + "\\")
      << "proposes the executable's folder";
  vxtest::SetControlText(folder, kFolder, dest.path() + "\\missing");
  vxtest::ClickButton(folder, IDOK);
  EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 15000, p.pid()).text,
            "The destination folder cannot be accessed.");
  vxtest::SetControlText(folder, kFolder, dest.path());
  vxtest::ClickButton(folder, IDOK);
  const auto done = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 30000, p.pid());
  EXPECT_TRUE(Contains(done.text, "were extracted")) << done.text;
  EXPECT_EQ(p.Wait(20000), 0u);
  EXPECT_EQ(ReadAll(dest / "readme.txt"), files[0].data);
  EXPECT_EQ(ReadAll(dest / "sub\\data.bin"), files[1].data);
  EXPECT_EQ(dest.List(), (std::vector<std::string>{"readme.txt", "sub"}));
}

// Japanese, with no attempt limit: every wrong password is only refused; each existing
// file is asked about: No keeps it, Yes replaces it.
TEST_F(SelfExtract, JapaneseWithoutLimitAsksBeforeOverwriting) {
  const std::vector<File> files = {
      {"keep.txt", Text("new")}, {"replace.txt", Text("new")}, {"other.txt", Text("other")}};
  ASSERT_TRUE(Build(files, "PW", 0, 0));
  WriteAll(dest / "keep.txt", Text("old"));
  WriteAll(dest / "replace.txt", Text("old"));

  auto p = Start(work / "out.exe");
  HWND dlg = vxtest::WaitForWindow(kJapaneseTitle, "#32770", 15000, p.pid());
  ASSERT_NE(dlg, nullptr);
  vxtest::SaveScreenshot("tarvodev_sfx_password_ja", dlg);
  for (const char* wrong : {"A", "B", "C"}) {
    auto m = TryPassword(dlg, wrong, p.pid());
    EXPECT_EQ(m.text, Acp(u8"\u30d1\u30b9\u30ef\u30fc\u30c9\u304c\u6b63\u3057\u304f\u3042\u308a"
                          u8"\u307e\u305b\u3093\u3002"));
    ASSERT_TRUE(WaitForRefusalDone(dlg));
  }
  TypeText(dlg, kPassword, "pw", "PW");
  vxtest::ClickButton(dlg, IDOK);
  ASSERT_TRUE(vxtest::WaitWindowGone(dlg, 20000));
  HWND folder = vxtest::WaitForWindow(kJapaneseTitle, "#32770", 15000, p.pid());
  ASSERT_NE(folder, nullptr);
  vxtest::SaveScreenshot("tarvodev_sfx_folder_ja", folder);
  vxtest::SetControlText(folder, kFolder, dest.path());
  vxtest::ClickButton(folder, IDOK);
  HWND ask = vxtest::WaitForWindow("TARVO-Pro", "#32770", 20000, p.pid());
  ASSERT_NE(ask, nullptr);
  vxtest::SaveScreenshot("tarvodev_sfx_overwrite_ja", ask);
  // Answered with the helper that waits for each box to close, so that the next wait
  // cannot find the box just answered.
  const auto first = vxtest::AnswerMessageBox(IDNO, "TARVO-Pro", 20000, p.pid());
  EXPECT_TRUE(Contains(first.text, "keep.txt")) << vxtest::Utf8(first.text);
  const auto second = vxtest::AnswerMessageBox(IDYES, "TARVO-Pro", 20000, p.pid());
  EXPECT_TRUE(Contains(second.text, "replace.txt")) << vxtest::Utf8(second.text);
  const auto done = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 30000, p.pid());
  EXPECT_TRUE(Contains(done.text, dest.path())) << vxtest::Utf8(done.text);
  EXPECT_EQ(p.Wait(20000), 0u);
  EXPECT_EQ(ReadAll(dest / "keep.txt"), Text("old"));
  EXPECT_EQ(ReadAll(dest / "replace.txt"), Text("new"));
  EXPECT_EQ(ReadAll(dest / "other.txt"), Text("other"));
  EXPECT_EQ(dest.List(), (std::vector<std::string>{"keep.txt", "other.txt", "replace.txt"}));
}

// The Browse button opens the shell's folder browser at the typed folder and puts the
// chosen folder into the field; Cancel in the folder dialog ends without extracting.
TEST_F(SelfExtract, BrowseButtonUsesTheShellFolderBrowser) {
  ASSERT_TRUE(Build({{"a.txt", Text("a")}}, "PW", 0, 1));
  ASSERT_TRUE(CreateDirectoryA((dest / "sub").c_str(), nullptr));
  auto p = Start(work / "out.exe");
  HWND folder = PassPasswordDialog(p, "PW");
  ASSERT_NE(folder, nullptr);
  // A trailing backslash that the browser does not give back shows where the text came from.
  vxtest::SetControlText(folder, kFolder, dest / "sub\\");
  vxtest::ClickButton(folder, 1003);
  HWND browser = nullptr;
  WaitUntil([&] {
    for (HWND w : vxtest::FindWindows("", "#32770", p.pid()))
      if (w != folder) browser = w;
    return browser != nullptr;
  }, "the folder browser opens");
  ASSERT_NE(browser, nullptr);
  HWND tree = FindWindowExA(browser, nullptr, "SysTreeView32", nullptr);
  ASSERT_NE(tree, nullptr);
  // OK must not be pressed before the browser has selected the proposed folder: the
  // selected item is then as deep as the folder's path (desktop, computer, drive, and
  // one level per folder).
  const std::string target = dest / "sub";
  const int depth = 2 + static_cast<int>(std::count(target.begin(), target.end(), '\\'));
  auto selectedDepth = [&] {
    int n = -1;
    for (LPARAM item = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0); item;
         item = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_PARENT, item))
      ++n;
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return selectedDepth() == depth; }, "the proposed folder is selected"))
      << "selected item at depth " << selectedDepth() << ", folder at " << depth;
  vxtest::SaveScreenshot("tarvodev_sfx_browse", browser);
  PostMessageA(browser, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(vxtest::WaitWindowGone(browser, 15000));
  // The stub writes the answer into the field after the browser has gone.
  EXPECT_TRUE(WaitUntil([&] { return vxtest::ControlText(folder, kFolder) == target; },
                        "the chosen folder is in the field"))
      << vxtest::ControlText(folder, kFolder);
  vxtest::ClickButton(folder, IDCANCEL);
  EXPECT_EQ(p.Wait(15000), 1u);
  EXPECT_EQ(dest.List(), (std::vector<std::string>{"sub"}));
}

// Cancel in the overwrite question stops the extraction: the existing file is kept and
// nothing after it is written.
TEST_F(SelfExtract, CancelInTheOverwriteQuestionStops) {
  ASSERT_TRUE(Build({{"first.txt", Text("new")}, {"second.txt", Text("2")}}, "PW", 0, 1));
  WriteAll(dest / "first.txt", Text("old"));
  auto p = Start(work / "out.exe");
  HWND folder = PassPasswordDialog(p, "PW");
  ASSERT_NE(folder, nullptr);
  vxtest::SetControlText(folder, kFolder, dest.path());
  vxtest::ClickButton(folder, IDOK);
  const auto ask = vxtest::AnswerMessageBox(IDCANCEL, "TARVO-Pro", 20000, p.pid());
  EXPECT_TRUE(Contains(ask.text, "Overwrite")) << ask.text;
  EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 20000, p.pid()).text,
            "Extraction was cancelled.");
  EXPECT_EQ(p.Wait(20000), 4u);
  EXPECT_EQ(ReadAll(dest / "first.txt"), Text("old"));
  EXPECT_EQ(dest.List(), (std::vector<std::string>{"first.txt"}));
}

// The stub extracts with the archiver's safety rules, and refuses a damaged file before
// asking for anything.
TEST_F(SelfExtract, UnsafeNamesAndDamagedFilesAreRefused) {
  ASSERT_TRUE(Build({{"ok.txt", Text("x")}, {"../escape.txt", Text("evil")}}, "PW", 0, 1));
  // Extracted into dest\inner, "../escape.txt" would land in dest.
  ASSERT_TRUE(CreateDirectoryA((dest / "inner").c_str(), nullptr));
  auto p = Start(work / "out.exe");
  HWND folder = PassPasswordDialog(p, "PW");
  ASSERT_NE(folder, nullptr);
  vxtest::SetControlText(folder, kFolder, dest / "inner");
  vxtest::ClickButton(folder, IDOK);
  const auto m = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 30000, p.pid());
  EXPECT_TRUE(Contains(m.text, "not safe")) << m.text;
  EXPECT_EQ(p.Wait(20000), 5u);
  EXPECT_EQ(dest.List(), (std::vector<std::string>{"inner"})) << "nothing escaped";
  EXPECT_TRUE(ListW(Wide(dest / "inner")).empty()) << "nothing extracted";

  const Bytes exe = ReadAll(work / "out.exe");
  struct Damage {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"trailer cut", Bytes(exe.begin(), exe.end() - 3)},
      {"payload header changed", [&] {
         Bytes b = exe;
         const uint64_t at = tvdev::fmt::GetU64(&b[b.size() - 16]);
         b[at + 9] ^= 1;
         return b;
       }()},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    WriteAll(work / "bad.exe", d.bytes);
    auto q = Start(work / "bad.exe");
    // Without a readable payload the stub speaks the user's language (Japanese here).
    const auto seen = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 15000, q.pid());
    EXPECT_TRUE(Contains(seen.text, Acp(u8"\u58ca\u308c\u3066"))) << vxtest::Utf8(seen.text);
    EXPECT_EQ(q.Wait(15000), 2u);
  }
}

// A folder of the destination that is a link to another place (a junction on Windows;
// here a symbolic link of the host, which Wine shows as a reparse point) is not written
// through: the stub says so in the file's language and fails; the file extracted before
// stays and the link's folder stays empty.
TEST_F(SelfExtract, ALinkInTheDestinationIsNotWrittenThrough) {
  const struct {
    DWORD english;
    std::string title, says;
  } cases[] = {
      {1, kEnglishTitle, "is a link"},
      {0, kJapaneseTitle, Acp(u8"\u5225\u306e\u5834\u6240\u3092\u6307\u3059\u30ea\u30f3\u30af")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    ASSERT_TRUE(Build({{"first.txt", Text("1")}, {"small/a.txt", Text("evil")}}, "PW", 0, c.english));
    TempDir to, outside;
    vxtest::FolderLink link(to / "small", outside.path());
    ASSERT_EQ(link.error(), "");
    auto p = Start(work / "out.exe");
    HWND dlg = vxtest::WaitForWindow(c.title, "#32770", 15000, p.pid());
    ASSERT_NE(dlg, nullptr);
    vxtest::SetControlText(dlg, kPassword, "PW");
    vxtest::ClickButton(dlg, IDOK);
    ASSERT_TRUE(vxtest::WaitWindowGone(dlg, 20000));
    HWND folder = vxtest::WaitForWindow(c.title, "#32770", 15000, p.pid());
    ASSERT_NE(folder, nullptr);
    vxtest::SetControlText(folder, kFolder, to.path());
    vxtest::ClickButton(folder, IDOK);
    const auto m = vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", 30000, p.pid());
    EXPECT_TRUE(Contains(m.text, c.says)) << vxtest::Utf8(m.text);
    EXPECT_EQ(p.Wait(20000), 5u);
    EXPECT_TRUE(outside.List().empty()) << "written through the link";
    EXPECT_EQ(to.List(), (std::vector<std::string>{"first.txt", "small"}));
    EXPECT_EQ(ReadAll(to / "first.txt"), Text("1"));
  }
}

// What the library refuses to make: a mode other than 2, a missing input, and any
// password that has no canonical form (empty, spaces, control characters, anything
// outside ASCII), since the stub could never be given it. Nothing is written, not even
// a temporary file.
TEST_F(SelfExtract, CreationRefusesBadArgumentsAndPasswordsThatCannotBeTyped) {
  WriteAll(work / "in.zip", MakeZip({{"a.txt", Text("a")}}));
  const std::string in = work / "in.zip", missing = work / "missing.zip";
  const std::string greek = Acp(u8"pass\u03b1"), fullWidth = Acp(u8"\uff50\uff57");
  struct Case {
    const char* what;
    const char* input;
    const char* password;
    DWORD mode;
    DWORD code;
  } cases[] = {
      {"mode 0", in.c_str(), "PW", 0, TVDEV_ERR_INVALID_ARGUMENT},
      {"mode 1", in.c_str(), "PW", 1, TVDEV_ERR_INVALID_ARGUMENT},
      {"mode 3", in.c_str(), "PW", 3, TVDEV_ERR_INVALID_ARGUMENT},
      {"empty password", in.c_str(), "", 2, TVDEV_ERR_INVALID_ARGUMENT},
      {"no password", in.c_str(), nullptr, 2, TVDEV_ERR_INVALID_ARGUMENT},
      {"space", in.c_str(), "PASS WORD", 2, TVDEV_ERR_INVALID_ARGUMENT},
      {"tab", in.c_str(), "PW\t", 2, TVDEV_ERR_INVALID_ARGUMENT},
      {"DEL", in.c_str(), "PW\x7f", 2, TVDEV_ERR_INVALID_ARGUMENT},
      {"lower-case Greek letter", in.c_str(), greek.c_str(), 2, TVDEV_ERR_INVALID_ARGUMENT},
      {"full-width letters", in.c_str(), fullWidth.c_str(), 2, TVDEV_ERR_INVALID_ARGUMENT},
      {"missing input", missing.c_str(), "PW", 2, TVDEV_ERR_READ},
      {"no input", nullptr, "PW", 2, TVDEV_ERR_INVALID_ARGUMENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(TVDEV_CreateSelfExtractEx(c.input, (work / "out.exe").c_str(), c.password,
                                           c.mode, 0, nullptr, nullptr, 0, 1, 0));
    EXPECT_EQ(TVDEV_GetLastError(0), c.code);
    EXPECT_EQ(work.List(), (std::vector<std::string>{"in.zip"}));
  }
}

// A signature on the stub would arrive damaged in every self-decrypting file (the
// payload is appended after it), so the library takes one off the stub it copies: the
// certificate table goes, the directory entry and checksum are cleared, nothing else
// changes. An unsigned image, or bytes that are no PE image, stay as they are.
TEST(StubSignature, ASignatureIsTakenOffAndNothingElseChanges) {
  HMODULE lib = GetModuleHandleA("tarvodev.dll");
  HRSRC r = FindResourceA(lib, "TVSFXSTUB", MAKEINTRESOURCEA(10));
  ASSERT_NE(r, nullptr);
  const auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(lib, r)));
  const Bytes stub(p, p + SizeofResource(lib, r));
  const size_t nt = *reinterpret_cast<const uint32_t*>(&stub[0x3C]);
  ASSERT_EQ(*reinterpret_cast<const uint16_t*>(&stub[nt + 24]), 0x20B);  // PE32+ (x64)
  const size_t checksum = nt + 24 + 64, security = nt + 24 + 112 + 4 * 8;
  ASSERT_EQ(*reinterpret_cast<const uint64_t*>(&stub[security]), 0u) << "the stub is signed";

  // Signed as a signing tool does it: padded to 8 bytes, a WIN_CERTIFICATE appended, the
  // directory entry naming it, the checksum set.
  Bytes signedStub = stub;
  signedStub.resize((stub.size() + 7) / 8 * 8);
  const uint32_t table = static_cast<uint32_t>(signedStub.size());
  const uint32_t header[2] = {24, 0x00020200};  // dwLength, revision 2.0, PKCS#7 type
  signedStub.insert(signedStub.end(), reinterpret_cast<const uint8_t*>(header),
                    reinterpret_cast<const uint8_t*>(header) + 8);
  signedStub.insert(signedStub.end(), 16, 0x30);
  std::memcpy(&signedStub[security], &table, 4);
  const uint32_t length = 24, sum = 0x12345;
  std::memcpy(&signedStub[security + 4], &length, 4);
  std::memcpy(&signedStub[checksum], &sum, 4);
  Bytes unsignedPadded(signedStub.begin(), signedStub.begin() + table);
  std::memset(&unsignedPadded[security], 0, 8);
  std::memset(&unsignedPadded[checksum], 0, 4);

  Bytes notPe(stub.begin(), stub.begin() + 0x40);
  notPe[0x3C] = 0xF0;  // the PE header would lie past the end
  const struct {
    const char* what;
    Bytes in, out;
  } cases[] = {
      {"signed", signedStub, unsignedPadded},
      {"unsigned", stub, stub},
      {"header past the end", notPe, notPe},
      {"not a PE image", Text("MZ but nothing more"), Text("MZ but nothing more")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = c.in;
    tvdev::sfx::DropSignature(&b);
    EXPECT_TRUE(b == c.out);
  }
}

// Killed while it decrypts, the stub leaves no plaintext: its temporary file exists only
// as long as its handle.
TEST_F(SelfExtract, KilledWhileDecryptingLeavesNoPlaintext) {
  ASSERT_TRUE(Build({{"big.bin", Pattern(48u << 20)}}, "PW", 0, 1));
  auto p = Start(work / "out.exe");
  HWND folder = PassPasswordDialog(p, "PW");
  ASSERT_NE(folder, nullptr);
  vxtest::SetControlText(folder, kFolder, dest.path());
  vxtest::ClickButton(folder, IDOK);
  // Decryption fills the first half of the bar (0..500 of 1000).
  ASSERT_TRUE(WaitUntil([&] {
    HWND bar = FindProgressBar(p.pid());
    const LRESULT pos = bar ? SendMessageA(bar, PBM_GETPOS, 0, 0) : 0;
    return pos > 0 && pos < 500;
  }, "decryption is under way", 60000));
  EXPECT_FALSE(ListW(stubTemp).empty()) << "the plaintext is being written to a file";
  ASSERT_TRUE(TerminateProcess(p.handle(), 9));
  EXPECT_EQ(p.Wait(15000), 9u);
  EXPECT_TRUE(dest.List().empty());
  // TearDown checks that the temporary folder is empty. The record of the file stays
  // until the next start finds its name free.
  EXPECT_EQ(vxtest::RecordsBelow(tempmark::kSelfExtractKey, stubTemp).size(), 1u);
  vxtest::RecordsGoWith records(tempmark::kSelfExtractKey, stubTemp);
}

// A power cut leaves the plain archive that a self-decrypting file was extracting (only
// its handle would have deleted it). The next self-decrypting file started removes it,
// but not a file of the same pattern that it has no record of, nor one that a running
// stub holds: that one stays with its record, for a start after that stub has ended.
TEST_F(SelfExtract, AStartRemovesWhatAPowerCutLeftAndNothingElse) {
  const std::wstring left = stubTemp + L"\\tvx0123456789abcdef.tmp";
  const std::wstring held = stubTemp + L"\\tvx1111111111111111.tmp";
  const std::wstring theirs = stubTemp + L"\\tvx2222222222222222.tmp";
  vxtest::RecordsGoWith records(tempmark::kSelfExtractKey, stubTemp);
  ASSERT_TRUE(vxtest::LeaveAsAPowerCutWould(tempmark::kSelfExtractKey, left, "PK plain"));
  ASSERT_TRUE(vxtest::LeaveAsAPowerCutWould(tempmark::kSelfExtractKey, held, "PK plain"));
  HANDLE f = CreateFileW(theirs.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  CloseHandle(f);
  // Held as any program holds a file, sharing everything.
  HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  ASSERT_TRUE(Build({{"a.txt", Text("a")}}, "PW", 0, 1));
  auto p = Start(work / "out.exe");
  HWND dlg = vxtest::WaitForWindow(kEnglishTitle, "#32770", 15000, p.pid());
  ASSERT_NE(dlg, nullptr);
  vxtest::ClickButton(dlg, IDCANCEL);
  EXPECT_EQ(p.Wait(15000), 1u);
  // Closed only now: a clean-up that had opened it sharing everything, to be deleted at
  // close, would take it away here.
  CloseHandle(h);

  std::vector<std::wstring> names = ListW(stubTemp);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"tvx1111111111111111.tmp", L"tvx2222222222222222.tmp"}));
  EXPECT_EQ(vxtest::RecordsBelow(tempmark::kSelfExtractKey, stubTemp), std::vector<std::wstring>{held});
  // TearDown requires an empty folder and no records.
  DeleteFileW(held.c_str());
  DeleteFileW(theirs.c_str());
}

// A self-decrypting file is run from folders like Downloads, where a DLL named like a
// system one may wait. Its static imports are only DLLs the system never searches for
// (its known DLLs), and a bcrypt, crypt32 or comctl32 planted beside it is not loaded:
// Wine is told to prefer such a copy over its own, as Windows would.
TEST_F(SelfExtract, DllsPlantedBesideTheFileAreNotLoaded) {
  const std::vector<std::string> known = {"advapi32.dll", "gdi32.dll", "kernel32.dll",
                                          "msvcrt.dll",   "ole32.dll", "shell32.dll",
                                          "user32.dll"};
  const std::vector<std::string> imports =
      vxtest::StaticImports(vxtest::ExeFolder() + "tvsfxstub.exe");
  EXPECT_FALSE(imports.empty());
  for (const std::string& dll : imports)
    EXPECT_EQ(std::count(known.begin(), known.end(), dll), 1) << dll << " is searched for";

  // Wine's own copies of these DLLs win over a planted one unless the program's
  // settings say otherwise; a file of its own name keeps the setting to this test.
  const char* const planted[] = {"bcrypt", "crypt32", "comctl32"};
  const std::string exe = "tvsfx_planted.exe";
  const vxtest::PreferPlantedDlls preferPlanted(exe, {std::begin(planted), std::end(planted)});

  ASSERT_TRUE(Build({{"a.txt", Text("a")}}, "PW", 0, 1));
  ASSERT_TRUE(MoveFileA((work / "out.exe").c_str(), (work / exe).c_str()));
  for (const char* dll : planted)
    ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + "tv_planted_dll.dll").c_str(),
                          (work / (std::string(dll) + ".dll")).c_str(), FALSE));
  const std::string mark = work / "planted-dll-loaded";
  SetEnvironmentVariableA("TV_PLANTED_MARK", mark.c_str());
  auto p = Start(work / exe);
  SetEnvironmentVariableA("TV_PLANTED_MARK", nullptr);
  HWND folder = PassPasswordDialog(p, "PW");  // the password is checked with bcrypt
  ASSERT_NE(folder, nullptr);
  vxtest::ClickButton(folder, IDCANCEL);
  EXPECT_EQ(p.Wait(15000), 1u);
  EXPECT_FALSE(Exists(mark)) << "a planted DLL was loaded";
}
