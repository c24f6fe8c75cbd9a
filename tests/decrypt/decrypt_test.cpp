// Decryption end to end: velvox.exe started with an encrypted archive made by the real
// libraries, driven as a user drives it (key dialog, the shell's folder browser, the
// progress dialog's Cancel, the overwrite question), against a key store made with the
// suite's administration tool. Each run checks what the user sees, what lands in the
// destination and that no temporary file outlives the process.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tvtest.h"
#include "folderbrowser.h"
#include "testfiles.h"
#include "uidriver.h"
#include "xssfixture.h"

using tvtest::Bytes;
using tvtest::TempDir;
using vxtest::Acp;

namespace {

constexpr int kKeyName = 1005, kKeyValue = 1002, kKeyCombo = 1021;
constexpr int kOwYes = 1010, kOwAll = 1009, kOwNo = 1011, kOwCancel = 1008;

std::string Text(const char8_t* utf8) { return Acp(utf8); }
const std::string kCaption = "TARVO-Pro";

// Relative path -> content ("<dir>" for a folder) of everything below `root`.
void Walk(const std::string& root, const std::string& rel, std::map<std::string, std::string>& out) {
  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA((root + "\\" + rel + "*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    std::string n = fd.cFileName;
    if (n == "." || n == "..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[rel + n] = "<dir>";
      Walk(root, rel + n + "\\", out);
    } else {
      Bytes b = tvtest::ReadAll(root + "\\" + rel + n);
      out[rel + n] = std::string(b.begin(), b.end());
    }
  } while (FindNextFileA(f, &fd));
  FindClose(f);
}
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> t;
  Walk(root, "", t);
  return t;
}
std::vector<std::string> Names(const std::map<std::string, std::string>& t) {
  std::vector<std::string> n;
  for (const auto& [k, v] : t) n.push_back(k);
  return n;
}

void WriteText(const std::string& path, const std::string& s) {
  tvtest::WriteAll(path, Bytes(s.begin(), s.end()));
}

void PressOk(HWND dlg) {
  PostMessageA(dlg, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(vxtest::WaitWindowGone(dlg));
}
void PressCancel(HWND dlg) {
  PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(vxtest::WaitWindowGone(dlg));
}

// ---- Fixture: one key store and one set of archives for the whole program ----------

struct Archives {
  TempDir data;
  std::map<std::string, std::string> xss;  // label -> archive path
  std::map<std::string, std::string> docs;  // the "docs" folder's tree as packed
  std::map<std::string, std::string> root;  // the "vxroot" folder's tree as packed
};

class Decrypt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    store_ = new tvtest::StoreHome;
    ASSERT_EQ(dectest::KeyAdm("init"), 0);
    dectest::AddKey("ALPHA", "aes", "ALPHAVALUE9", false);
    dectest::AddKey("SALES", "aes", "SALESVALUE", true);
    dectest::AddKey("PLAN", "3des", "planValue", false);
    dectest::AddKey("DESK", "des", "desValue", true);
    dectest::AddKey("ROTATED", "aes", "ROT1", true);
    dectest::AddKey("GONE", "aes", "GONE1", false);

    a_ = new Archives;
    const std::string d = a_->data.path();
    CreateDirectoryA((d + "\\docs").c_str(), nullptr);
    CreateDirectoryA((d + "\\docs\\sub").c_str(), nullptr);
    WriteText(d + "\\docs\\a.txt", "alpha text\r\n");
    tvtest::WriteAll(d + "\\docs\\sub\\b.bin", tvtest::Pattern(300000, 7));
    WriteText(d + "\\docs\\" + Text(u8"表.txt"), "0x5C trail byte");
    a_->docs = Tree(d + "\\docs");
    CreateDirectoryA((d + "\\three").c_str(), nullptr);
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) WriteText(d + "\\three\\" + n, "new");
    CreateDirectoryA((d + "\\vxroot").c_str(), nullptr);
    WriteText(d + "\\vxroot\\r.txt", "at the root");
    a_->root = Tree(d + "\\vxroot");
    CreateDirectoryA((d + "\\pair").c_str(), nullptr);
    WriteText(d + "\\pair\\a_exists.txt", "new");
    tvtest::WriteAll(d + "\\pair\\b_big.bin", tvtest::Pattern(8 << 20, 3));
    CreateDirectoryA((d + "\\big").c_str(), nullptr);
    tvtest::WriteAll(d + "\\big\\big.bin", tvtest::Pattern(48 << 20, 5));
    for (const char* folder : {"docs", "three", "pair", "big", "vxroot"})
      ASSERT_TRUE(dectest::Pack(d, folder, d + "\\" + folder + ".zip")) << folder;

    struct Make {
      const char* label;
      const char* key;
      const char* value;
      const char* zip;
    } makes[] = {{"alpha", "ALPHA", "ALPHAVALUE9", "docs"}, {"sales", "SALES", "", "docs"},
                 {"plan", "PLAN", "planValue", "docs"},     {"desk", "DESK", "", "docs"},
                 {"rotated", "ROTATED", "", "docs"},       {"gone", "GONE", "GONE1", "docs"},
                 {"three", "SALES", "", "three"},          {"pair", "SALES", "", "pair"},
                 {"big", "SALES", "", "big"},              {"root", "SALES", "", "vxroot"}};
    for (const Make& m : makes) {
      const std::string xss = d + "\\" + m.label + ".xss";
      ASSERT_TRUE(dectest::Encrypt(m.key, m.value, d + "\\" + m.zip + ".zip", xss))
          << m.label << " " << TVDEV_GetLastError(0);
      a_->xss[m.label] = xss;
    }
    // The store no longer knows GONE, and ROTATED is a new key under the old name.
    ASSERT_EQ(dectest::KeyAdm("remove GONE"), 0);
    ASSERT_EQ(dectest::KeyAdm("remove ROTATED"), 0);
    dectest::AddKey("ROTATED", "aes", "ROT2", true);
  }
  static void TearDownTestSuite() {
    delete a_;
    delete store_;
  }

  // A fresh destination holding a copy of archive `label` as x.xss.
  std::string Place(const std::string& label, const std::string& name = "x.xss") {
    const std::string to = work_ / name;
    EXPECT_TRUE(CopyFileA(a_->xss.at(label).c_str(), to.c_str(), FALSE));
    return to;
  }
  Bytes Archive(const std::string& label) { return tvtest::ReadAll(a_->xss.at(label)); }
  std::string ArchiveText(const std::string& label) {
    const Bytes b = Archive(label);
    return std::string(b.begin(), b.end());
  }

  // velvox.exe with the archive, its temporary files going to the test's own folder.
  vxtest::Process Start(const std::string& xss, const std::string& exe = "velvox.exe") {
    vxtest::SettleFolderTimes(work_.path());
    const vxtest::ScopedEnvironment env({{"TEMP", temp_.path()}, {"TMP", temp_.path()}});
    return vxtest::Process::Start("\"" + vxtest::ExeFolder() + exe + "\" \"" + xss + "\"");
  }

  // The end of every run: the process is gone with 0 and left no temporary file.
  void ExpectEnded(vxtest::Process& p) {
    EXPECT_EQ(p.Wait(30000), 0u);
    EXPECT_EQ(temp_.List(), std::vector<std::string>{}) << "temporary files left";
  }

  // Proves the key in the key dialog, first with a wrong value.
  void ProveKey(DWORD pid, const std::string& name, const std::string& value,
                const std::string& screenshot = "") {
    HWND dlg = vxtest::WaitForWindow(Text(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait, pid);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(vxtest::ControlText(dlg, kKeyName), name);
    EXPECT_FALSE(vxtest::IsControlEnabled(dlg, kKeyName)) << "the name is fixed";
    if (!screenshot.empty()) vxtest::SaveScreenshot(screenshot, dlg);
    vxtest::SetControlText(dlg, kKeyValue, "wrong");
    vxtest::ClickButton(dlg, IDOK);
    EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, pid).text,
              Text(u8"入力された鍵の値が正しくありません。"));
    vxtest::SetControlText(dlg, kKeyValue, value);
    vxtest::ClickButton(dlg, IDOK);
    EXPECT_TRUE(vxtest::WaitWindowGone(dlg));
  }

  static tvtest::StoreHome* store_;
  static Archives* a_;
  TempDir work_, temp_;
};
tvtest::StoreHome* Decrypt::store_ = nullptr;
Archives* Decrypt::a_ = nullptr;

std::map<std::string, std::string> Prefixed(const std::string& prefix,
                                            const std::map<std::string, std::string>& t) {
  std::map<std::string, std::string> out;
  for (const auto& [k, v] : t) out[prefix + k] = v;
  return out;
}

// The whole road: the key name read from the archive and fixed in the dialog, a wrong
// value refused, the right one typed in lower case (a 256-bit key's value counts
// upper-cased), the browser at the archive's folder, and the files byte for byte.
TEST_F(Decrypt, KeyDialogWithTheNameFixedThenTheFilesByteForByte) {
  const std::string xss = Place("alpha");
  auto p = Start(xss);
  ProveKey(p.pid(), "ALPHA", "alphaValue9", "decrypt-key-dialog-fixed-name");
  HWND browser = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(browser, nullptr);
  vxtest::ExpectFolderSelected(browser, work_.path());
  EXPECT_NE(vxtest::StaticTexts(browser).find(Text(u8"復号して格納するフォルダを指定してください。")),
            std::string::npos) << vxtest::Utf8(vxtest::StaticTexts(browser));
  vxtest::SaveScreenshot("decrypt-folder-browser", browser);
  PressOk(browser);
  ExpectEnded(p);
  auto expected = Prefixed("docs\\", a_->docs);
  expected["docs"] = "<dir>";
  expected["x.xss"] = ArchiveText("alpha");
  EXPECT_EQ(Tree(work_.path()), expected);
}

// What comes first after the archive was read: the key dialog unless the store holds
// the key enabled under the archive's identifier, the folder browser when it does, a
// message when the archive or its key cannot be used. Closing that first window ends the
// run with nothing written.
TEST_F(Decrypt, FirstStepByKeyAndArchive) {
  enum Kind { KeyDialog, Browser, Box };
  struct Case {
    const char* what;
    std::string label;  // empty: `bytes` is the archive
    Bytes bytes;
    Kind kind;
    const char8_t* text;  // key name shown, or the message
  };
  Bytes headerOnly = Archive("sales");
  headerOnly.resize(31);
  Bytes badMagic = Archive("sales");
  badMagic[0] = 'X';
  const Case cases[] = {
      {"enabled, same identifier (AES)", "sales", {}, Browser, u8""},
      {"enabled, same identifier (DES record)", "desk", {}, Browser, u8""},
      {"enabled under another identifier", "rotated", {}, KeyDialog, u8"ROTATED"},
      {"not enabled (AES)", "alpha", {}, KeyDialog, u8"ALPHA"},
      {"not enabled (Triple DES record)", "plan", {}, KeyDialog, u8"PLAN"},
      {"key no longer in the store", "gone", {}, Box, u8"利用できる鍵が登録されていません。"},
      {"shorter than a block header", "", headerOnly, Box,
       u8"手動暗号ファイルの形式が正しくないか、ファイルが壊れています。"},
      {"not a block", "", badMagic, Box,
       u8"手動暗号ファイルの形式が正しくないか、ファイルが壊れています。"},
      {"empty file", "", Bytes{}, Box, u8"手動暗号ファイルの形式が正しくないか、ファイルが壊れています。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dest;
    std::string xss = dest / "x.xss";
    if (c.label.empty()) {
      tvtest::WriteAll(xss, c.bytes);
    } else {
      ASSERT_TRUE(CopyFileA(a_->xss.at(c.label).c_str(), xss.c_str(), FALSE));
    }
    const auto before = Tree(dest.path());
    vxtest::SettleFolderTimes(dest.path());
    auto p = Start(xss);
    switch (c.kind) {
      case KeyDialog: {
        HWND dlg = vxtest::WaitForWindow(Text(u8"使用する鍵の入力"), "#32770",
                                         vxtest::kDefaultWait, p.pid());
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(vxtest::ControlText(dlg, kKeyName), Text(c.text));
        EXPECT_FALSE(vxtest::IsControlEnabled(dlg, kKeyName));
        vxtest::ClickButton(dlg, IDCANCEL);
        break;
      }
      case Browser: {
        HWND b = vxtest::WaitFolderBrowser(p.pid());
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(vxtest::FindWindows(Text(u8"使用する鍵の入力"), "#32770", p.pid()).empty());
        vxtest::ExpectFolderSelected(b, dest.path());
        PressCancel(b);
        break;
      }
      case Box:
        EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid()).text,
                  Text(c.text));
        break;
    }
    ExpectEnded(p);
    EXPECT_EQ(Tree(dest.path()), before);
  }
}

// With the template list switched on, the key selection dialog asks instead, its list
// fixed on the archive's key.
TEST_F(Decrypt, SelectionDialogWhenTheTemplateListIsOn) {
  char common[MAX_PATH] = {};
  ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, common, CSIDL_COMMON_APPDATA, TRUE));
  const std::string folder = std::string(common) + "\\Norvane\\TARVO-Pro";
  SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr);
  // Both places a policy file is read from (by Windows version); each put back after.
  const std::vector<std::string> policies = {folder + "\\policy.ini", vxtest::ExeFolder() + "policy.ini"};
  std::vector<std::pair<bool, Bytes>> saved;
  for (const std::string& f : policies) {
    saved.emplace_back(tvtest::Exists(f), tvtest::Exists(f) ? tvtest::ReadAll(f) : Bytes{});
    WriteText(f, "[OPTION]\r\nUSETEMPLIST=1\r\n");
  }
  const std::string xss = Place("alpha");
  auto p = Start(xss);
  HWND dlg = vxtest::WaitForWindow(Text(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait, p.pid());
  ASSERT_NE(dlg, nullptr);
  EXPECT_NE(GetDlgItem(dlg, kKeyCombo), nullptr) << "the selection dialog";
  EXPECT_EQ(vxtest::ControlText(dlg, kKeyCombo), "ALPHA");
  EXPECT_FALSE(vxtest::IsControlEnabled(dlg, kKeyCombo));
  vxtest::SaveScreenshot("decrypt-key-selection-fixed", dlg);
  vxtest::SetControlText(dlg, kKeyValue, "ALPHAVALUE9");
  vxtest::ClickButton(dlg, IDOK);
  EXPECT_TRUE(vxtest::WaitWindowGone(dlg));
  HWND b = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(b, nullptr);
  PressCancel(b);
  ExpectEnded(p);
  for (size_t i = 0; i < policies.size(); ++i) {
    if (saved[i].first)
      tvtest::WriteAll(policies[i], saved[i].second);
    else
      DeleteFileA(policies[i].c_str());
  }
  EXPECT_EQ(Names(Tree(work_.path())), std::vector<std::string>{"x.xss"});
}

// A folder that is gone when OK is pressed gets 2219 and the browser again at the same
// first folder; a drive root chosen then receives the files (the archiver is given C:).
TEST_F(Decrypt, FolderThatVanishedThenADriveRoot) {
  const std::string root = "C:\\vxroot";
  vxtest::RemoveTree(root);
  const std::string xss = Place("root");
  CreateDirectoryA((work_ / "gone").c_str(), nullptr);
  auto p = Start(xss);
  HWND b = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(b, nullptr);
  vxtest::ExpectFolderSelected(b, work_.path());
  vxtest::SelectFolder(p, b, work_ / "gone");
  ASSERT_TRUE(RemoveDirectoryA((work_ / "gone").c_str()));
  vxtest::SettleFolderTimes(work_.path());
  PressOk(b);
  EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid()).text,
            Text(u8"復号先のフォルダにアクセスできません。"));
  b = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(b, nullptr);
  vxtest::ExpectFolderSelected(b, work_.path());
  vxtest::SelectFolder(p, b, "C:\\");
  vxtest::SaveScreenshot("decrypt-folder-browser-drive-root", b);
  PressOk(b);
  ExpectEnded(p);
  EXPECT_EQ(Tree(root), a_->root);
  EXPECT_EQ(Names(Tree(work_.path())), std::vector<std::string>{"x.xss"});
  vxtest::RemoveTree(root);
}

// Existing files, each question answered: overwrite, overwrite all, skip, or stop.
TEST_F(Decrypt, ExistingFilesAnsweredWithEachChoice) {
  struct Case {
    const char* what;
    std::vector<int> answers;  // one per question, in archive order
    std::vector<std::string> after;  // contents of a.txt, b.txt, c.txt
  } cases[] = {
      {"yes, no, yes", {kOwYes, kOwNo, kOwYes}, {"new", "old", "new"}},
      {"all at the first", {kOwAll}, {"new", "new", "new"}},
      {"no, then stop", {kOwNo, kOwCancel}, {"old", "old", "old"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dest;
    const std::string xss = dest / "x.xss";
    ASSERT_TRUE(CopyFileA(a_->xss.at("three").c_str(), xss.c_str(), FALSE));
    CreateDirectoryA((dest / "three").c_str(), nullptr);
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) WriteText(dest / "three\\" + n, "old");
    auto p = Start(xss);
    HWND b = vxtest::WaitFolderBrowser(p.pid());
    ASSERT_NE(b, nullptr);
    vxtest::ExpectFolderSelected(b, dest.path());
    PressOk(b);
    for (int answer : c.answers) {
      HWND ow = vxtest::WaitForWindow(Text(u8"ファイルの上書きの確認"), "#32770",
                                      vxtest::kDefaultWait, p.pid());
      ASSERT_NE(ow, nullptr);
      vxtest::ClickButton(ow, answer);
      if (answer == kOwCancel) {
        EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid()).text,
                  Text(u8"処理を中断しますか？"));
      }
      EXPECT_TRUE(vxtest::WaitWindowGone(ow));
    }
    ExpectEnded(p);
    const auto t = Tree(dest.path());
    EXPECT_EQ(Names(t), (std::vector<std::string>{"three", "three\\a.txt", "three\\b.txt",
                                                   "three\\c.txt", "x.xss"}));
    for (size_t i = 0; i < 3; ++i)
      EXPECT_EQ(t.at(std::string("three\\") + "abc"[i] + ".txt"), c.after[i]) << i;
  }
}

// Cancel while the library decrypts: confirmed, it stops with 2233, and neither the
// destination nor the temporary folder keeps anything.
TEST_F(Decrypt, CancelWhileDecrypting) {
  const std::string xss = Place("big");
  auto p = Start(xss);
  HWND b = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(b, nullptr);
  vxtest::ExpectFolderSelected(b, work_.path());
  vxtest::CancelHook hook(p.pid());
  PressOk(b);
  HWND progress = vxtest::WaitForWindow(Text(u8"復号しています..."), "#32770",
                                        vxtest::kDefaultWait, p.pid());
  ASSERT_NE(progress, nullptr);
  const auto ask = vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid());
  EXPECT_EQ(ask.text, Text(u8"処理を中断しますか？"));
  EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid()).text,
            Text(u8"ユーザ要求により処理を中断しました。"));
  ExpectEnded(p);
  EXPECT_EQ(Names(Tree(work_.path())), std::vector<std::string>{"x.xss"});
}

// The progress dialog while the library decrypts, held there by the cancel question
// (answered Cancel: the work goes on), then the files arrive.
TEST_F(Decrypt, ProgressWhileDecryptingThenGoingOn) {
  const std::string xss = Place("sales");
  auto p = Start(xss);
  HWND b = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(b, nullptr);
  vxtest::ExpectFolderSelected(b, work_.path());
  vxtest::CancelHook hook(p.pid());
  PressOk(b);
  HWND progress = vxtest::WaitForWindow(Text(u8"復号しています..."), "#32770",
                                        vxtest::kDefaultWait, p.pid());
  ASSERT_NE(progress, nullptr);
  HWND ask = vxtest::WaitForWindow(kCaption, "#32770", vxtest::kDefaultWait, p.pid());
  ASSERT_NE(ask, nullptr);
  EXPECT_EQ(vxtest::ControlText(progress, 1023), "x.xss");
  vxtest::SaveScreenshot("decrypt-progress-decrypting");
  EXPECT_EQ(vxtest::AnswerMessageBox(IDCANCEL, kCaption, vxtest::kDefaultWait, p.pid()).text,
            Text(u8"処理を中断しますか？"));
  ExpectEnded(p);
  auto expected = Prefixed("docs\\", a_->docs);
  expected["docs"] = "<dir>";
  expected["x.xss"] = ArchiveText("sales");
  EXPECT_EQ(Tree(work_.path()), expected);
}

// Cancel while the archiver extracts: pressed while the overwrite question holds the
// archiver, it is seen as soon as the next file moves; the file being written is gone.
TEST_F(Decrypt, CancelWhileExtractingRemovesTheFileBeingWritten) {
  const std::string xss = Place("pair");
  CreateDirectoryA((work_ / "pair").c_str(), nullptr);
  WriteText(work_ / "pair\\a_exists.txt", "old");
  auto p = Start(xss);
  HWND b = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(b, nullptr);
  vxtest::ExpectFolderSelected(b, work_.path());
  PressOk(b);
  HWND ow = vxtest::WaitForWindow(Text(u8"ファイルの上書きの確認"), "#32770",
                                  vxtest::kDefaultWait, p.pid());
  ASSERT_NE(ow, nullptr);
  HWND progress = vxtest::WaitForWindow(Text(u8"解凍しています..."), "#32770",
                                        vxtest::kDefaultWait, p.pid());
  ASSERT_NE(progress, nullptr);
  // Without a window manager both dialogs open at the same corner: the question moves
  // aside so that the picture shows the progress dialog too.
  SetWindowPos(ow, nullptr, 0, 260, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  vxtest::SaveScreenshot("decrypt-progress-extracting");
  PostMessageA(progress, WM_COMMAND, IDCANCEL, 0);
  vxtest::ClickButton(ow, kOwNo);
  EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid()).text,
            Text(u8"処理を中断しますか？"));
  ExpectEnded(p);
  const auto t = Tree(work_.path());
  EXPECT_EQ(Names(t), (std::vector<std::string>{"pair", "pair\\a_exists.txt", "x.xss"}));
  EXPECT_EQ(t.at("pair\\a_exists.txt"), "old");
}

// A folder of the destination that is a link to another place (a junction on Windows;
// here a symbolic link of the host, which Wine shows as a reparse point) is not written
// through: the archiver's message says why, 2220 follows, and the link's folder stays
// empty.
TEST_F(Decrypt, ALinkInTheDestinationIsNotWrittenThrough) {
  const std::string xss = Place("sales");
  TempDir outside;
  vxtest::FolderLink link(work_ / "docs", outside.path());
  ASSERT_EQ(link.error(), "");
  auto p = Start(xss);
  HWND b = vxtest::WaitFolderBrowser(p.pid());
  ASSERT_NE(b, nullptr);
  vxtest::ExpectFolderSelected(b, work_.path());
  PressOk(b);
  EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, 30000, p.pid()).text,
            Text(u8"展開先のフォルダの中に別の場所を指すリンク(ジャンクションまたはシンボリックリンク)があるため、"
                 u8"展開を中止しました。リンクの先には何も書き込んでいません。"));
  EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, vxtest::kDefaultWait, p.pid()).text,
            Text(u8"手動暗号ファイルの復号に失敗しました。出力先のフォルダが一杯か、手動暗号ファイルが壊れています。"));
  ExpectEnded(p);
  EXPECT_TRUE(outside.List().empty()) << "written through the link";
  EXPECT_EQ(Names(Tree(work_.path())), (std::vector<std::string>{"docs", "x.xss"}));
}

// Damaged payloads and a file of another key: the block reads, the decryption fails
// with 2232, and the destination stays as it was.
TEST_F(Decrypt, DamagedFilesEndInTheirMessage) {
  Bytes tampered = Archive("sales");
  tampered[tampered.size() - 40] ^= 0x01;
  Bytes truncated = Archive("sales");
  truncated.resize(truncated.size() - 1000);
  struct Case {
    const char* what;
    Bytes bytes;
    const char* value;  // key dialog answered with this value; null: no key dialog
  } cases[] = {
      {"a tampered byte", tampered, nullptr},
      {"truncated", truncated, nullptr},
      {"made with another key of the same name", Archive("rotated"), "ROT2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dest;
    const std::string xss = dest / "x.xss";
    tvtest::WriteAll(xss, c.bytes);
    auto p = Start(xss);
    if (c.value) {
      HWND dlg = vxtest::WaitForWindow(Text(u8"使用する鍵の入力"), "#32770",
                                       vxtest::kDefaultWait, p.pid());
      ASSERT_NE(dlg, nullptr);
      vxtest::SetControlText(dlg, kKeyValue, c.value);
      vxtest::ClickButton(dlg, IDOK);
      EXPECT_TRUE(vxtest::WaitWindowGone(dlg));
    }
    HWND b = vxtest::WaitFolderBrowser(p.pid());
    ASSERT_NE(b, nullptr);
    vxtest::ExpectFolderSelected(b, dest.path());
    PressOk(b);
    EXPECT_EQ(vxtest::AnswerMessageBox(IDOK, kCaption, 30000, p.pid()).text,
              Text(u8"復号に失敗しました。処理を継続できません。"));
    ExpectEnded(p);
    EXPECT_EQ(Names(Tree(dest.path())), std::vector<std::string>{"x.xss"});
  }
}

// On Windows 8.1 the registered-key list file is written anew after a key dialog's OK,
// and left alone when the key needed no proof. The version is Wine's per program name,
// so a copy of velvox.exe runs as Windows 8.1.
TEST_F(Decrypt, KeyListFileRewrittenAfterAKeyDialogOnWindows81) {
  const std::string exe = "vxdec603.exe";
  char common[MAX_PATH] = {}, user[MAX_PATH] = {};
  ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, common, CSIDL_COMMON_APPDATA, TRUE));
  ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, user, CSIDL_APPDATA, TRUE));
  const std::string templates = std::string(common) + "\\Norvane\\TARVO-Pro\\TEMPLATE";
  const std::string listFile = std::string(user) + "\\Norvane\\TARVO-Pro\\tarvokey.dat";
  // Wine's settings for the copy are put back as they were, however the test ends; the
  // copy in the program folder and the files made for it go.
  vxtest::WineVersion version(exe);
  struct Undo {
    std::function<void()> undo;
    ~Undo() { undo(); }
  } undo{[&] {
    vxtest::RemoveTree(templates);
    DeleteFileA(listFile.c_str());
    DeleteFileA((vxtest::ExeFolder() + exe).c_str());
  }};
  ASSERT_TRUE(CopyFileA((vxtest::ExeFolder() + "velvox.exe").c_str(),
                        (vxtest::ExeFolder() + exe).c_str(), FALSE));
  ASSERT_NO_FATAL_FAILURE(version.Set("win81"));
  // SALES, an enabled key, has a template entry; the other enabled keys have none.
  SHCreateDirectoryExA(nullptr, (templates + "\\SALES").c_str(), nullptr);
  WriteText(templates + "\\SALES\\tarvo.ini", "[PATH]\r\n0001=C:\\sales\r\n");
  SHCreateDirectoryExA(nullptr, (std::string(user) + "\\Norvane\\TARVO-Pro").c_str(), nullptr);
  WriteText(listFile, "OLD\n");

  {
    auto p = Start(Place("sales"), exe);
    HWND b = vxtest::WaitFolderBrowser(p.pid());
    ASSERT_NE(b, nullptr);
    PressCancel(b);
    ExpectEnded(p);
    const Bytes list = tvtest::ReadAll(listFile);
    EXPECT_EQ(std::string(list.begin(), list.end()), "OLD\n") << "no key dialog, no rewrite";
  }
  {
    auto p = Start(Place("alpha"), exe);
    HWND dlg = vxtest::WaitForWindow(Text(u8"使用する鍵の入力"), "#32770", vxtest::kDefaultWait,
                                     p.pid());
    ASSERT_NE(dlg, nullptr);
    vxtest::SetControlText(dlg, kKeyValue, "ALPHAVALUE9");
    vxtest::ClickButton(dlg, IDOK);
    HWND b = vxtest::WaitFolderBrowser(p.pid());
    ASSERT_NE(b, nullptr);
    PressCancel(b);
    ExpectEnded(p);
    const Bytes list = tvtest::ReadAll(listFile);
    EXPECT_EQ(std::string(list.begin(), list.end()), "SALES\n");
  }
}

}  // namespace
