#include "pipelinehost.h"

#include <gtest/gtest.h>
#include <commctrl.h>
#include <shellapi.h>

#include "contracts/tempfiles.h"
#include "contracts/tvdev.h"
#include "progressdlg.h"
#include "resource.h"
#include "string_ids.h"
#include "app.h"
#include "testfiles.h"
#include "uidriver.h"
#include "velvoxapp.h"

namespace pltest {

namespace {

class HostDlg : public CVelvoxDlg {
 public:
  std::function<void(CVelvoxDlg&)> job;

 protected:
  BOOL OnInitDialog() override {
    fw::CDialog::OnInitDialog();
    if (job) job(*this);
    EndDialog(IDOK);
    return TRUE;
  }
};

std::vector<CancelAtPhase*> g_active;

}  // namespace

void RunJob(const std::function<void(CVelvoxDlg&)>& job) {
  HostDlg dlg;
  dlg.job = job;
  fw::AfxGetApp()->m_pMainWnd = &dlg;
  dlg.DoModal();
  fw::AfxGetApp()->m_pMainWnd = nullptr;
}

BoxAnswerer::BoxAnswerer(std::vector<int> buttons) : buttons_(std::move(buttons)) {
  thread_ = std::thread([this] {
    const DWORD pid = ::GetCurrentProcessId();
    while (!stop_) {
      auto boxes = vxtest::FindWindows("TARVO-Pro", "#32770", pid);
      if (boxes.empty()) {
        ::Sleep(20);
        continue;
      }
      HWND box = boxes.front();
      texts_.push_back(vxtest::StaticTexts(box));
      size_t i = texts_.size() - 1;
      int button = i < buttons_.size() ? buttons_[i] : IDOK;
      ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(box, button)));
      vxtest::WaitWindowGone(box);
      ++answered_;
    }
  });
}

BoxAnswerer::~BoxAnswerer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> BoxAnswerer::Finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  std::vector<std::string> out;
  for (const auto& t : texts_) out.push_back(vxtest::Utf8(t));
  return out;
}

CancelAtPhase::CancelAtPhase(const std::string& captionUtf8, int occurrence, bool press,
                             const std::string& screenshot, const std::string& textSuffix, int barAt)
    : caption_(vxtest::Acp(captionUtf8)), screenshot_(screenshot), suffix_(textSuffix),
      occurrence_(occurrence), barAt_(barAt), press_(press) {
  g_active.push_back(this);
  hook_ = ::SetWindowsHookExA(WH_CALLWNDPROCRET, Proc, nullptr, ::GetCurrentThreadId());
}

CancelAtPhase::~CancelAtPhase() {
  if (hook_) ::UnhookWindowsHookEx(hook_);
  std::erase(g_active, this);
}

LRESULT CALLBACK CancelAtPhase::Proc(int code, WPARAM wp, LPARAM lp) {
  auto* m = reinterpret_cast<CWPRETSTRUCT*>(lp);
  const bool text = m->message == WM_SETTEXT && ::GetDlgCtrlID(m->hwnd) == IDC_PROGRESS_TEXT;
  const bool bar = m->message == PBM_SETPOS && ::GetDlgCtrlID(m->hwnd) == IDC_PROGRESS_BAR;
  if (code == HC_ACTION && (text || bar)) {
    HWND dlg = ::GetParent(m->hwnd);
    char caption[256] = {};
    ::GetWindowTextA(dlg, caption, sizeof caption);
    auto fire = [dlg](CancelAtPhase* self) {
      self->fired_ = true;
      if (!self->screenshot_.empty()) vxtest::SaveScreenshot(self->screenshot_, dlg);
      if (self->press_) ::PostMessageA(::GetDlgItem(dlg, IDCANCEL), BM_CLICK, 0, 0);
    };
    for (CancelAtPhase* self : std::vector<CancelAtPhase*>(g_active)) {
      if (self->fired_ || self->caption_ != caption) continue;
      if (bar) {
        if (self->armed_ && static_cast<int>(m->wParam) >= self->barAt_) fire(self);
        continue;
      }
      // Read back from the control, which has it by now: the text line is a Unicode
      // window, whose WM_SETTEXT may carry UTF-16.
      char line[520] = {};
      ::GetWindowTextA(m->hwnd, line, sizeof line);
      std::string shown = line;
      if (!self->suffix_.empty() && (shown.size() < self->suffix_.size() ||
                                     shown.compare(shown.size() - self->suffix_.size(),
                                                   self->suffix_.size(), self->suffix_) != 0))
        continue;
      if (++self->seen_ != self->occurrence_) continue;
      if (self->barAt_ > 0)
        self->armed_ = true;
      else
        fire(self);
    }
  }
  return ::CallNextHookEx(nullptr, code, wp, lp);
}

void FreshDir(const std::string& root) {
  vxtest::RemoveTree(root);
  ::CreateDirectoryA(root.c_str(), nullptr);
}

void WriteFile(const std::string& path, const std::string& data) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << vxtest::Utf8(path);
  DWORD n = 0;
  if (!data.empty()) ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
  ::CloseHandle(h);
}

std::string ReadFile(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n) out.append(buf, n);
  ::CloseHandle(h);
  return out;
}

namespace {
void Walk(const std::string& root, const std::string& rel, std::map<std::string, std::string>& out) {
  WIN32_FIND_DATAA fd;
  HANDLE f = ::FindFirstFileA((root + (rel.empty() ? "" : "\\" + rel) + "\\*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    std::string n = fd.cFileName;
    if (n == "." || n == "..") continue;
    std::string r = rel.empty() ? n : rel + "\\" + n;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[vxtest::Utf8(r)] = "<dir>";
      Walk(root, r, out);
    } else {
      out[vxtest::Utf8(r)] = ReadFile(root + "\\" + r);
    }
  } while (::FindNextFileA(f, &fd));
  ::FindClose(f);
}
}  // namespace

std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  Walk(root, "", out);
  return out;
}

BOOL DecryptAndExtract(CVelvoxDlg& dlg, const std::string& key, const std::string& xss,
                       const std::string& folder) {
  dlg.OpenProgressDialog();
  dlg.m_pProgressDlg->SetWindowText(fw::LoadStr(IDS_CAPTION_DECRYPTING));
  std::string temp;
  HANDLE held = INVALID_HANDLE_VALUE;
  BOOL ok = CreateTempFile(temp, "vx", held);
  if (ok) {
    dlg.m_tempFiles.push_back(temp);
    dlg.m_tempHandles.push_back(held);
  }
  g_nJobPhase = 2;
  ok = ok && TVDEV_DecryptArchive(key.c_str(), xss.c_str(), temp.c_str(), CryptoProgressCallback,
                                  &dlg, 0, 0);
  if (ok) {
    g_nJobPhase = 3;
    ok = dlg.ExtractArchive(temp, folder);
  }
  dlg.CloseProgressDialog();
  dlg.DeleteTempFiles();
  return ok;
}

}  // namespace pltest
