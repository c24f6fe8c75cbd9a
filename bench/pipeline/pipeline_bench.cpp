// Benchmark driver for the output pipeline, run under Wine by bench/pipeline/run.sh:
//   encrypt OUT.xss FOLDER      ProduceEncryptedOutput on every top-level entry of FOLDER
//   bare OUT.xss FOLDER         the same library work without a progress dialog (no pumping)
//   decrypt IN.xss DEST         TVDEV_DecryptArchive + ExtractArchive with the progress dialog
//   floor FOLDER                open every file exclusively and read it, twice
// Prints seconds (inside the process) and the peak working set. The key "BenchKey" must
// be an enabled key of the store that TARVODEV_HOME names.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "contracts/tvdev.h"
#include "output.h"
#include "progressdlg.h"
#include "string_ids.h"
#include "velvoxapp.h"
#include "velvoxdlg.h"

namespace {

const char kKey[] = "BenchKey";

class HostDlg : public CVelvoxDlg {
 public:
  std::function<void(CVelvoxDlg&)> job;

 protected:
  BOOL OnInitDialog() override {
    fw::CDialog::OnInitDialog();
    job(*this);
    EndDialog(IDOK);
    return TRUE;
  }
};

void RunJob(CVelvoxApp& app, const std::function<void(CVelvoxDlg&)>& job) {
  HostDlg dlg;
  dlg.job = job;
  app.m_pMainWnd = &dlg;
  if (dlg.DoModal() == -1) std::fprintf(stderr, "main dialog failed: %lu\n", ::GetLastError());
  app.m_pMainWnd = nullptr;
}

std::list<std::string> TopLevel(const std::string& folder) {
  std::list<std::string> out;
  WIN32_FIND_DATAA fd;
  HANDLE f = ::FindFirstFileA((folder + "\\*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return out;
  do {
    std::string n = fd.cFileName;
    if (n != "." && n != "..") out.push_back(folder + "\\" + n);
  } while (::FindNextFileA(f, &fd));
  ::FindClose(f);
  return out;
}

uint64_t ReadTree(const std::string& folder, std::vector<char>& buf) {
  uint64_t total = 0;
  WIN32_FIND_DATAA fd;
  HANDLE f = ::FindFirstFileA((folder + "\\*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return 0;
  do {
    std::string n = fd.cFileName;
    if (n == "." || n == "..") continue;
    std::string p = folder + "\\" + n;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      total += ReadTree(p, buf);
      continue;
    }
    HANDLE h = ::CreateFileA(p.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    DWORD got = 0;
    while (::ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got) total += got;
    ::CloseHandle(h);
  } while (::FindNextFileA(f, &fd));
  ::FindClose(f);
  return total;
}

double Now() {
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string mode = argv[1];
  CVelvoxApp app;
  app.LoadConfiguration();
  BOOL ok = 1;
  double t0 = Now();
  if (mode == "encrypt") {
    std::string out = argv[2], folder = argv[3];
    RunJob(app, [&](CVelvoxDlg& dlg) {
      dlg.m_sources = TopLevel(folder);
      ok = dlg.ProduceEncryptedOutput(out, kKey, nullptr);
      for (const auto& t : dlg.m_tempFiles) ::DeleteFileA(t.c_str());
    });
  } else if (mode == "bare") {
    std::string out = argv[2], folder = argv[3];
    RunJob(app, [&](CVelvoxDlg& dlg) {
      dlg.m_sources = TopLevel(folder);
      std::string temp;
      HANDLE held = INVALID_HANDLE_VALUE;
      CreateTempFile(temp, "vx", held);
      g_nJobPhase = 0;
      ok = dlg.CompressSources(temp, 0) &&
           TVDEV_EncryptArchive(kKey, temp.c_str(), out.c_str(), 0, nullptr, CryptoProgressCallback,
                                &dlg, 0, 0);
      ::CloseHandle(held);
    });
  } else if (mode == "decrypt") {
    std::string in = argv[2], dest = argv[3];
    RunJob(app, [&](CVelvoxDlg& dlg) {
      dlg.m_pProgressDlg = new CVxProgressDlg();
      dlg.m_pProgressDlg->Create();
      dlg.m_pProgressDlg->ShowWindow(SW_SHOW);
      dlg.m_pProgressDlg->SetWindowText(fw::LoadStr(IDS_CAPTION_DECRYPTING));
      std::string temp;
      HANDLE held = INVALID_HANDLE_VALUE;
      CreateTempFile(temp, "vx", held);
      g_nJobPhase = 2;
      ok = TVDEV_DecryptArchive(kKey, in.c_str(), temp.c_str(), CryptoProgressCallback, &dlg, 0, 0);
      g_nJobPhase = 3;
      ok = ok && dlg.ExtractArchive(temp, dest);
      ::CloseHandle(held);
      dlg.m_pProgressDlg->DestroyWindow();
      delete dlg.m_pProgressDlg;
      dlg.m_pProgressDlg = nullptr;
    });
  } else if (mode == "floor") {
    std::vector<char> buf(1 << 20);
    uint64_t bytes = ReadTree(argv[2], buf) + ReadTree(argv[2], buf);
    std::printf("bytes=%llu ", static_cast<unsigned long long>(bytes));
  } else {
    return 2;
  }
  double t1 = Now();
  PROCESS_MEMORY_COUNTERS pmc{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof pmc);
  std::printf("ok=%d seconds=%.3f peak_ws_mib=%.1f\n", ok, t1 - t0,
              static_cast<double>(pmc.PeakWorkingSetSize) / 1048576.0);
  return ok ? 0 : 1;
}
