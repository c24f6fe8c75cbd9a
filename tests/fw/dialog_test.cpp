// The framework's ownership rules, on real windows: a dialog opened without a parent
// belongs to the main window's active popup, so the dialog that asks a question is
// disabled until it is answered; a modeless dialog ends through the class's own
// DestroyWindow; a dialog can end the process with an exit code.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app.h"
#include "dialog.h"
#include "fwtest_ids.h"
#include "uidriver.h"

namespace {

class TestApp : public fw::CWinApp {
 public:
  TestApp() : fw::CWinApp(IDS_FW_TITLE) {}
  void OnExitProcess() override {
    if (!marker.empty()) ::DeleteFileA(marker.c_str());
  }
  std::string marker;
};

class AskDlg : public fw::CDialog {
 public:
  AskDlg() : fw::CDialog(IDD_FW_ASK) {}
  int answer = 0;
  bool exitOnAsk = false;

 protected:
  BOOL OnCommand(WPARAM wParam, LPARAM) override {
    if (LOWORD(wParam) != IDC_FW_ASK) return FALSE;
    if (exitOnAsk) fw::AfxExitProcess(1);
    answer = fw::AfxMessageBox(IDS_FW_QUESTION, MB_OKCANCEL);
    return TRUE;
  }
};

class CountingDlg : public fw::CDialog {
 public:
  explicit CountingDlg(int* count) : fw::CDialog(IDD_FW_ASK), count_(count) {}
  ~CountingDlg() override { DestroyWindow(); }
  BOOL DestroyWindow() override {
    if (!m_hWnd) return FALSE;
    ++*count_;
    return fw::CDialog::DestroyWindow();
  }

 private:
  int* count_;
};

// The hidden main window that owns everything, as the program's main dialog does.
struct MainWindow {
  TestApp app;
  fw::CDialog main{IDD_FW_MAIN};
  MainWindow() {
    main.Create();
    app.m_pMainWnd = &main;
  }
  ~MainWindow() {
    app.m_pMainWnd = nullptr;
    main.DestroyWindow();
  }
};

void PostClick(HWND dlg, int id) {
  ::PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dlg, id)));
}

bool WaitEnabled(HWND w) {
  for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < vxtest::kDefaultWait;) {
    if (::IsWindowEnabled(w)) return true;
    ::Sleep(10);
  }
  return false;
}

TEST(FwDialog, MessageBoxFromModalDialogDisablesItUntilAnswered) {
  ASSERT_NE(::GetEnvironmentVariableA("DISPLAY", nullptr, 0), 0u) << "no display";
  MainWindow w;
  ASSERT_NE(w.main.m_hWnd, nullptr);
  AskDlg ask;

  struct Seen {
    HWND dlg = nullptr, dlgOwner = nullptr, boxOwner = nullptr;
    bool enabledBefore = false, enabledWhileAsked = true, enabledAfter = false;
  } seen;
  std::thread user([&] {
    DWORD pid = ::GetCurrentProcessId();
    seen.dlg = vxtest::WaitForWindow("fwask", "#32770", vxtest::kDefaultWait, pid);
    if (!seen.dlg) return;
    seen.dlgOwner = ::GetWindow(seen.dlg, GW_OWNER);
    seen.enabledBefore = ::IsWindowEnabled(seen.dlg);
    PostClick(seen.dlg, IDC_FW_ASK);
    HWND box = vxtest::WaitForWindow("TARVO-Pro", "#32770", vxtest::kDefaultWait, pid);
    if (box) {
      seen.boxOwner = ::GetWindow(box, GW_OWNER);
      seen.enabledWhileAsked = ::IsWindowEnabled(seen.dlg);
      vxtest::AnswerMessageBox(IDOK, "TARVO-Pro", vxtest::kDefaultWait, pid);
    }
    seen.enabledAfter = WaitEnabled(seen.dlg);
    PostClick(seen.dlg, IDCANCEL);
  });
  INT_PTR r = ask.DoModal();
  user.join();

  EXPECT_EQ(r, IDCANCEL);
  ASSERT_NE(seen.dlg, nullptr);
  EXPECT_EQ(seen.dlgOwner, w.main.m_hWnd);
  EXPECT_TRUE(seen.enabledBefore);
  EXPECT_EQ(seen.boxOwner, seen.dlg);
  EXPECT_FALSE(seen.enabledWhileAsked);
  EXPECT_TRUE(seen.enabledAfter);
  EXPECT_EQ(ask.answer, IDOK);
}

TEST(FwDialog, ModelessEndsThroughTheClassDestroyWindow) {
  MainWindow w;
  int count = 0;
  {
    CountingDlg ended(&count);
    ASSERT_TRUE(ended.Create());
    EXPECT_EQ(::GetWindow(ended.m_hWnd, GW_OWNER), w.main.m_hWnd);
    ended.EndDialog(IDOK);
    EXPECT_EQ(ended.m_hWnd, nullptr);
  }
  EXPECT_EQ(count, 1);
  {
    CountingDlg dropped(&count);
    ASSERT_TRUE(dropped.Create());
  }
  EXPECT_EQ(count, 2);
}

TEST(FwDialogDeathTest, ExitProcessFromDialogEndsWithCodeAfterCleanUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char temp[MAX_PATH];
  ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
  std::string marker = std::string(temp) + "vx_fw_exit_marker.tmp";
  HANDLE h = ::CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ::CloseHandle(h);
  EXPECT_EXIT(
      {
        MainWindow w;
        w.app.marker = marker;
        AskDlg ask;
        ask.exitOnAsk = true;
        std::thread user([] {
          HWND dlg = vxtest::WaitForWindow("fwask", "#32770", vxtest::kDefaultWait,
                                           ::GetCurrentProcessId());
          if (dlg) PostClick(dlg, IDC_FW_ASK);
        });
        user.detach();
        ask.DoModal();
        ::ExitProcess(7);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(::GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES)
      << "OnExitProcess did not run";
  ::DeleteFileA(marker.c_str());
}

// Caption buttons are drawn from the Marlett symbol font ("r" is the close button's
// cross); where the font is missing, another face stands in and the button shows the
// letter. The absent face shows that the face check sees a stand-in.
TEST(FwCaption, ButtonSymbolsComeFromTheirOwnFont) {
  HDC dc = ::GetDC(nullptr);
  ASSERT_NE(dc, nullptr);
  const struct {
    const char* face;
    bool present;
  } cases[] = {{"Marlett", true}, {"Vx No Such Face", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.face);
    LOGFONTA lf{};
    lf.lfHeight = -16;
    lf.lfCharSet = SYMBOL_CHARSET;
    lstrcpynA(lf.lfFaceName, c.face, LF_FACESIZE);
    HFONT font = ::CreateFontIndirectA(&lf);
    ASSERT_NE(font, nullptr);
    HGDIOBJ old = ::SelectObject(dc, font);
    char face[LF_FACESIZE] = {};
    ::GetTextFaceA(dc, sizeof face, face);
    EXPECT_EQ(std::string(face) == c.face, c.present) << face;
    if (c.present) {
      WORD glyph = 0;
      EXPECT_EQ(::GetGlyphIndicesA(dc, "r", 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS), 1u);
      EXPECT_NE(glyph, 0xFFFF) << "no close-button glyph";
    }
    ::SelectObject(dc, old);
    ::DeleteObject(font);
  }
  ::ReleaseDC(nullptr, dc);
}

}  // namespace
