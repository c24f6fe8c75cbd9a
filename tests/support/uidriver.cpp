#include "uidriver.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <sstream>
#include <thread>
#include <utility>

namespace vxtest {

namespace {

std::string Convert(const std::string& in, UINT from, UINT to) {
  if (in.empty()) return {};
  int wn = MultiByteToWideChar(from, 0, in.data(), (int)in.size(), nullptr, 0);
  std::wstring w(wn, L'\0');
  MultiByteToWideChar(from, 0, in.data(), (int)in.size(), w.data(), wn);
  int n = WideCharToMultiByte(to, 0, w.data(), wn, nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(to, 0, w.data(), wn, out.data(), n, nullptr, nullptr);
  return out;
}

std::string ClassOf(HWND w) {
  char buf[256] = {};
  GetClassNameA(w, buf, sizeof buf);
  return buf;
}

struct FindCtx {
  const std::string* title;
  const std::string* cls;
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK FindProc(HWND w, LPARAM lp) {
  auto* c = reinterpret_cast<FindCtx*>(lp);
  if (!IsWindowVisible(w)) return TRUE;
  if (c->pid) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != c->pid) return TRUE;
  }
  if (!c->cls->empty() && ClassOf(w) != *c->cls) return TRUE;
  if (!c->title->empty() && WindowText(w) != *c->title) return TRUE;
  c->found.push_back(w);
  return TRUE;
}

BOOL CALLBACK DescribeProc(HWND w, LPARAM lp) {
  if (!IsWindowVisible(w)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  auto* os = reinterpret_cast<std::ostringstream*>(lp);
  *os << "  pid " << pid << " class '" << ClassOf(w) << "' title '" << Utf8(WindowText(w))
      << "'\n";
  return TRUE;
}

BOOL CALLBACK StaticProc(HWND w, LPARAM lp) {
  if (ClassOf(w) != "Static") return TRUE;
  // Icons are statics too; only text statics carry the message.
  if ((GetWindowLongA(w, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
  std::string t = WindowText(w);
  if (t.empty()) return TRUE;
  auto* out = reinterpret_cast<std::string*>(lp);
  if (!out->empty()) *out += "\n";
  *out += t;
  return TRUE;
}

BOOL CALLBACK StaticProcW(HWND w, LPARAM lp) {
  if (ClassOf(w) != "Static") return TRUE;
  if ((GetWindowLongA(w, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
  std::wstring t(static_cast<size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
  t.resize(static_cast<size_t>(GetWindowTextW(w, t.data(), static_cast<int>(t.size()))));
  if (t.empty()) return TRUE;
  auto* out = reinterpret_cast<std::wstring*>(lp);
  if (!out->empty()) *out += L"\n";
  *out += t;
  return TRUE;
}

}  // namespace

std::string Acp(const char8_t* utf8) {
  return Convert(reinterpret_cast<const char*>(utf8), CP_UTF8, CP_ACP);
}
std::string Acp(const std::string& utf8) { return Convert(utf8, CP_UTF8, CP_ACP); }
std::string Utf8(const std::string& acp) { return Convert(acp, CP_ACP, CP_UTF8); }
std::wstring Wide(const std::string& acp) {
  if (acp.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, acp.data(), static_cast<int>(acp.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, acp.data(), static_cast<int>(acp.size()), w.data(), n);
  return w;
}

std::vector<HWND> FindWindows(const std::string& title, const std::string& cls, DWORD pid) {
  FindCtx c{&title, &cls, pid, {}};
  EnumWindows(FindProc, reinterpret_cast<LPARAM>(&c));
  return c.found;
}

std::string DescribeWindows() {
  std::ostringstream os;
  EnumWindows(DescribeProc, reinterpret_cast<LPARAM>(&os));
  return os.str();
}

HWND WaitForWindow(const std::string& title, const std::string& cls, DWORD timeoutMs, DWORD pid) {
  DWORD start = GetTickCount();
  for (;;) {
    auto found = FindWindows(title, cls, pid);
    if (!found.empty()) return found.front();
    if (GetTickCount() - start > timeoutMs) break;
    Sleep(20);
  }
  ADD_FAILURE() << "window '" << Utf8(title) << "' of class '" << cls << "' did not appear within "
                << timeoutMs << " ms; visible windows:\n"
                << DescribeWindows();
  return nullptr;
}

namespace {
BOOL CALLBACK FindChildProc(HWND w, LPARAM lp) {
  auto* f = reinterpret_cast<std::pair<int, HWND>*>(lp);
  if (GetDlgCtrlID(w) != f->first) return TRUE;
  f->second = w;
  return FALSE;
}
}  // namespace

HWND FindDescendant(HWND top, int id) {
  std::pair<int, HWND> f{id, nullptr};
  EnumChildWindows(top, FindChildProc, reinterpret_cast<LPARAM>(&f));
  return f.second;
}

HWND WaitForDialogWith(int id, DWORD pid, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    for (HWND w : FindWindows("", "#32770", pid))
      if (FindDescendant(w, id)) return w;
    if (GetTickCount() - start > timeoutMs) break;
    Sleep(20);
  }
  ADD_FAILURE() << "no dialog with control " << id << " appeared within " << timeoutMs
                << " ms; visible windows:\n"
                << DescribeWindows();
  return nullptr;
}

HWND FileDialogNameField(HWND dlg) {
  constexpr int kNameCombo = 1148, kNameEdit = 1152;
  HWND name = GetDlgItem(dlg, kNameCombo);
  return name ? name : GetDlgItem(dlg, kNameEdit);
}

bool WaitWindowGone(HWND w, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (IsWindow(w) && IsWindowVisible(w)) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(20);
  }
  return true;
}

std::string WindowText(HWND w) {
  // WM_GETTEXT works across processes, unlike GetWindowText on a foreign control.
  LRESULT n = SendMessageA(w, WM_GETTEXTLENGTH, 0, 0);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  LRESULT got = SendMessageA(w, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()));
  s.resize(static_cast<size_t>(got));
  return s;
}

std::string ControlText(HWND dlg, int id) {
  HWND c = GetDlgItem(dlg, id);
  return c ? WindowText(c) : std::string();
}

std::string StaticTexts(HWND dlg) {
  std::string out;
  EnumChildWindows(dlg, StaticProc, reinterpret_cast<LPARAM>(&out));
  return out;
}

bool IsControlEnabled(HWND dlg, int id) {
  HWND c = GetDlgItem(dlg, id);
  return c && IsWindowEnabled(c);
}

bool IsChecked(HWND dlg, int id) {
  return SendDlgItemMessageA(dlg, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetControlText(HWND dlg, int id, const std::string& text) {
  HWND c = GetDlgItem(dlg, id);
  ASSERT_NE(c, nullptr) << "no control " << id;
  SendMessageA(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void SetCheck(HWND dlg, int id, bool checked) {
  HWND c = GetDlgItem(dlg, id);
  ASSERT_NE(c, nullptr) << "no control " << id;
  if (IsChecked(dlg, id) != checked) SendMessageA(c, BM_CLICK, 0, 0);
}

void ClickButton(HWND dlg, int id) {
  HWND c = GetDlgItem(dlg, id);
  ASSERT_NE(c, nullptr) << "no control " << id;
  // Posted, not sent: the click may open a modal window that the caller then answers.
  PostMessageA(c, BM_CLICK, 0, 0);
}

void PostCommand(HWND dlg, int id) {
  PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

INT_PTR RunModal(const std::function<INT_PTR()>& doModal, const std::string& title,
                 const std::function<void(HWND)>& user) {
  std::thread t([&] {
    HWND w = WaitForWindow(title, "#32770", kDefaultWait, GetCurrentProcessId());
    if (!w) return;
    user(w);
    if (IsWindow(w) && IsWindowVisible(w)) PostCommand(w, IDCANCEL);
  });
  const INT_PTR r = doModal();
  t.join();
  return r;
}

MessageBoxSeen AnswerMessageBox(int button, const std::string& caption, DWORD timeoutMs, DWORD pid) {
  MessageBoxSeen seen;
  seen.hwnd = WaitForWindow(caption, "#32770", timeoutMs, pid);
  if (!seen.hwnd) return seen;
  seen.caption = WindowText(seen.hwnd);
  seen.text = StaticTexts(seen.hwnd);
  EnumChildWindows(seen.hwnd, StaticProcW, reinterpret_cast<LPARAM>(&seen.wtext));
  EnumChildWindows(
      seen.hwnd,
      [](HWND w, LPARAM lp) -> BOOL {
        if (ClassOf(w) == "Static" && (GetWindowLongA(w, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            IsWindowVisible(w) && SendMessageA(w, STM_GETICON, 0, 0) != 0)
          *reinterpret_cast<bool*>(lp) = true;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&seen.icon));
  HWND b = GetDlgItem(seen.hwnd, button);
  if (!b) {
    ADD_FAILURE() << "message box '" << Utf8(seen.text) << "' has no button " << button;
    return seen;
  }
  PostMessageA(seen.hwnd, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(b));
  if (!WaitWindowGone(seen.hwnd, timeoutMs))
    ADD_FAILURE() << "message box did not close after button " << button;
  return seen;
}

std::string ExeFolder() {
  char buf[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, buf, MAX_PATH);
  std::string s = buf;
  return s.substr(0, s.find_last_of('\\') + 1);
}

CancelHook::CancelHook(DWORD pid, const char* hookExport) {
  module_ = LoadLibraryA("vx_cancelhook.dll");
  auto proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module_, hookExport)));
  EXPECT_NE(proc, nullptr) << hookExport;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == pid)
      if (HHOOK h = SetWindowsHookExA(WH_CALLWNDPROCRET, proc, module_, te.th32ThreadID)) hooks_.push_back(h);
  CloseHandle(snap);
  EXPECT_FALSE(hooks_.empty());
}

CancelHook::~CancelHook() {
  for (HHOOK h : hooks_) UnhookWindowsHookEx(h);
  if (module_) FreeLibrary(module_);
}

}  // namespace vxtest
