// The save-as dialog run by the program's own code in a host process, driven from here
// as a user would: type a name, tick the box, choose a type in the list, press Save and
// answer the program's messages. The host's Windows version is set per executable name
// before it starts, so both sides of Vista are seen as start-up finds them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "app.h"
#include "dialogs_ids.h"
#include "mbcs.h"
#include "string_ids.h"
#include "testfiles.h"
#include "uidriver.h"

namespace {

const char kHost[] = "vx_saveas_host.exe";
constexpr int kTypeList = 1136;
constexpr int kNameCombo = 1148;
constexpr int kNameEdit = 1152;

template <typename F>
bool WaitUntil(F condition) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < vxtest::kDefaultWait; Sleep(10))
    if (condition()) return true;
  return condition();
}

struct FindChild {
  int id;
  HWND found = nullptr;
};

BOOL CALLBACK FindChildProc(HWND w, LPARAM lp) {
  auto* f = reinterpret_cast<FindChild*>(lp);
  if (GetDlgCtrlID(w) == f->id) {
    f->found = w;
    return FALSE;
  }
  return TRUE;
}

// A control anywhere below `top` (the check box lives in the child template's dialog).
HWND Descendant(HWND top, int id) {
  FindChild f{id};
  EnumChildWindows(top, FindChildProc, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

std::string Text(HWND w) { return w ? vxtest::WindowText(w) : std::string("(no window)"); }

struct Outcome {
  std::string os, result, path, self;
};

// One run of the save dialog in the host.
class SaveDialog {
 public:
  SaveDialog(const char* version, const std::string& folder, const std::string& name,
             int selfExtract = 0, const std::string& ext = "exe") {
    version_.Set(version);
    result_ = vxtest::ExeFolder() + "saveas_result_" + std::to_string(GetCurrentProcessId()) + ".txt";
    DeleteFileA(result_.c_str());
    // A backslash before a closing quote would escape it: the folder goes without one.
    std::string dir = folder;
    if (!dir.empty() && dir.back() == '\\') dir.pop_back();
    process_ = vxtest::Process::Start("\"" + vxtest::ExeFolder() + kHost + "\" \"" + result_ +
                                      "\" " + ext + " " + std::to_string(selfExtract) + " \"" +
                                      dir + "\" \"" + name + "\"");
    WaitUntil([&] {
      for (HWND w : vxtest::FindWindows("", "#32770", process_.pid()))
        if (vxtest::WindowText(w) != "TARVO-Pro") dlg_ = w;
      return dlg_ != nullptr;
    });
    EXPECT_NE(dlg_, nullptr) << vxtest::DescribeWindows();
    name_ = GetDlgItem(dlg_, kNameCombo);
    if (!name_) name_ = GetDlgItem(dlg_, kNameEdit);
    box_ = Descendant(dlg_, IDC_SAVE_SELF_DECRYPTING);
    list_ = GetDlgItem(dlg_, kTypeList);
  }
  ~SaveDialog() { DeleteFileA(result_.c_str()); }

  HWND hwnd() const { return dlg_; }
  DWORD pid() const { return process_.pid(); }
  std::string Name() const { return Text(name_); }
  void TypeName(const std::string& text) const {
    SendMessageA(name_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  bool Ticked() const { return SendMessageA(box_, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  // A click on the box; the program has handled it when this returns.
  void ClickBox() const { SendMessageA(box_, BM_CLICK, 0, 0); }
  int Type() const { return static_cast<int>(SendMessageA(list_, CB_GETCURSEL, 0, 0)); }
  // Opens the type list, moves to the other entry with the arrow key and takes it with
  // Enter, as a user at the keyboard does.
  void ChooseType(int index) const {
    SendMessageA(list_, CB_SHOWDROPDOWN, TRUE, 0);
    SendMessageA(list_, WM_KEYDOWN, index > Type() ? VK_DOWN : VK_UP, 0);
    SendMessageA(list_, WM_KEYDOWN, VK_RETURN, 0);
  }
  void Save() const { PostMessageA(dlg_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }
  void Cancel() const { PostMessageA(dlg_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }
  vxtest::MessageBoxSeen Answer(int button) const {
    return vxtest::AnswerMessageBox(button, "TARVO-Pro", vxtest::kDefaultWait, process_.pid());
  }
  Outcome Finish() {
    EXPECT_EQ(process_.Wait(), 0u);
    std::ifstream in(result_, std::ios::binary);
    std::map<std::string, std::string> kv;
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return {kv["os"], kv["result"], kv["path"], kv["self"]};
  }

 private:
  vxtest::WineVersion version_{kHost};  // put back once the host has gone
  std::string result_;
  vxtest::Process process_;
  HWND dlg_ = nullptr, name_ = nullptr, box_ = nullptr, list_ = nullptr;
};

class SaveAsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetEnvironmentVariableA("DISPLAY", nullptr, 0), 0u) << "no display";
    folder_ = "C:\\vxsaveas\\";
    CreateDirectoryA("C:\\vxsaveas", nullptr);
  }
  void TearDown() override {
    vxtest::RemoveTree("C:\\vxsaveas");
  }
  // The file dialog remembers the folder it saved in for each program; that folder is
  // removed again.
  vxtest::RegistryPutBack lastVisited_{HKEY_CURRENT_USER, vxtest::kSaveAsHistoryKey};
  std::string folder_;
};

// The program's own messages, from the resources linked into this test.
std::string Msg(UINT id) { return fw::LoadStr(id); }

std::string OverwriteQuestion(const std::string& path) {
  return fw::Sprintf(Msg(IDS_CONFIRM_OVERWRITE_OUTPUT).c_str(), path.c_str());
}

// Both sides of Vista: only from 6.0 on is the typed name rewritten.
const struct Side {
  const char* wine;
  const char* os;
  bool rewrites;
} kSides[] = {{"win7", "601", true}, {"winxp", "501", false}};

TEST_F(SaveAsTest, BoxTypeListAndTypedExtensionStayInStep) {
  struct Step {
    const char* label;
    std::string typed;  // typed before the action ("" keeps the field)
    enum { kTick, kUntick, kType0, kType1 } action;
    std::string rewritten;  // the field afterwards from Vista on (before: as typed)
    bool self;
  };
  const Step steps[] = {
      {"tick: .xss becomes .exe", "report.xss", Step::kTick, "report.exe", true},
      {"untick: .exe becomes .xss", "", Step::kUntick, "report.xss", false},
      {"upper case is recognised", "REPORT.XSS", Step::kTick, "REPORT.exe", true},
      {"another extension stays", "report.txt", Step::kUntick, "report.txt", false},
      {"list to self-decrypting", "report.xss", Step::kType1, "report.exe", true},
      {"list back to archive", "", Step::kType0, "report.xss", false},
      {"list with upper case", "Report.EXE", Step::kType1, "Report.exe", true},
  };
  for (const Side& side : kSides) {
    SCOPED_TRACE(side.wine);
    SaveDialog d(side.wine, folder_, "report");
    ASSERT_NE(d.hwnd(), nullptr);
    for (const Step& st : steps) {
      SCOPED_TRACE(st.label);
      if (!st.typed.empty()) d.TypeName(st.typed);
      const std::string before = d.Name();
      switch (st.action) {
        case Step::kTick:
        case Step::kUntick:
          ASSERT_NE(d.Ticked(), st.action == Step::kTick);
          d.ClickBox();
          break;
        case Step::kType0:
          d.ChooseType(0);
          break;
        case Step::kType1:
          d.ChooseType(1);
          break;
      }
      EXPECT_EQ(d.Name(), side.rewrites ? st.rewritten : before);
      EXPECT_EQ(d.Ticked(), st.self);
      EXPECT_EQ(d.Type(), st.self ? 1 : 0);
      if (st.action == Step::kTick && side.rewrites && st.typed == "report.xss")
        vxtest::SaveScreenshot("saveas_ticked", d.hwnd());
    }
    // Self-decrypting chosen: whatever extension was typed, the file gets its own.
    ASSERT_TRUE(d.Ticked());
    d.TypeName("report.txt");
    d.Save();
    const Outcome o = d.Finish();
    EXPECT_EQ(o.os, side.os);
    EXPECT_EQ(o.result, "ok");
    EXPECT_EQ(o.path, folder_ + "report.exe");
    EXPECT_EQ(o.self, "1");
  }
}

TEST_F(SaveAsTest, TheChosenKindDecidesTheExtensionSaved) {
  const struct {
    std::string typed;
    int selfExtract;  // the setting that opens the dialog on the self-decrypting type
    const char* path;
    const char* self;
  } cases[] = {
      {"report", 0, "report.xss", "0"},
      {folder_ + "full", 0, "full.xss", "0"},
      {"report.txt", 0, "report.txt", "0"},
      {"report.xss", 1, "report.exe", "1"},
      {"box", 1, "box.exe", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    SaveDialog d("win7", "C:\\", "report", c.selfExtract);
    ASSERT_NE(d.hwnd(), nullptr);
    EXPECT_EQ(d.Ticked(), c.selfExtract == 1);
    EXPECT_EQ(d.Type(), c.selfExtract == 1 ? 1 : 0);
    d.TypeName(c.typed);
    d.Save();
    const Outcome o = d.Finish();
    EXPECT_EQ(o.result, "ok");
    EXPECT_EQ(o.path, c.typed.find('\\') == std::string::npos ? "C:\\" + std::string(c.path) : folder_ + c.path);
    EXPECT_EQ(o.self, c.self);
  }
}

TEST_F(SaveAsTest, RefusedNamesKeepTheDialogOpenWithTheirMessage) {
  const std::string lnk = Msg(IDS_LNK_EXTENSION_FORBIDDEN) + "\n\n    \".lnk\"";
  const struct {
    std::string typed, message;
  } cases[] = {
      {folder_ + "missing\\a.xss", Msg(IDS_OUTPUT_FOLDER_INACCESSIBLE)},
      {"link.lnk", lnk},
      {"link.LNK", lnk},
      {"a*b.xss", fw::FormatArgs(Msg(IDS_FILE_NAME_INVALID), {"a*b.xss"})},
      {"a?b.xss", fw::FormatArgs(Msg(IDS_FILE_NAME_INVALID), {"a?b.xss"})},
  };
  for (const Side& side : kSides) {
    SCOPED_TRACE(side.wine);
    SaveDialog d(side.wine, folder_, "report");
    ASSERT_NE(d.hwnd(), nullptr);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.typed);
      d.TypeName(c.typed);
      d.Save();
      EXPECT_EQ(vxtest::Utf8(d.Answer(IDOK).text), vxtest::Utf8(c.message));
      EXPECT_TRUE(IsWindowVisible(d.hwnd()));
      EXPECT_EQ(d.Name(), c.typed);
    }
    d.Cancel();
    EXPECT_EQ(d.Finish().result, "cancel");
  }
}

TEST_F(SaveAsTest, AnExistingTargetIsReplacedOnlyAfterYes) {
  const std::string target = folder_ + "exists.xss";
  std::ofstream(target) << "old";
  SaveDialog d("win7", folder_, "report");
  ASSERT_NE(d.hwnd(), nullptr);
  d.TypeName("exists");
  d.Save();
  const std::string question = OverwriteQuestion(target);
  EXPECT_EQ(vxtest::Utf8(d.Answer(IDNO).text), vxtest::Utf8(question));
  EXPECT_TRUE(IsWindowVisible(d.hwnd()));
  EXPECT_EQ(d.Name(), "exists");
  d.Save();
  EXPECT_EQ(vxtest::Utf8(d.Answer(IDYES).text), vxtest::Utf8(question));
  const Outcome o = d.Finish();
  EXPECT_EQ(o.result, "ok");
  EXPECT_EQ(o.path, target);
  // The dialog only chose the name: the file is as it was.
  std::ifstream in(target);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "old");
  DeleteFileA(target.c_str());
}

}  // namespace
