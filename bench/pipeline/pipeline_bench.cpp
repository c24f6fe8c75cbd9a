// Benchmark driver for the output pipeline, run under Wine by bench/pipeline/run.sh:
//   encrypt OUT.xss FOLDER      ProduceEncryptedOutput on every top-level entry of FOLDER
//   bare OUT.xss FOLDER         the same library work without a progress dialog (no pumping)
//   decrypt IN.xss DEST         TVDEV_DecryptArchive + ExtractArchive with the progress dialog
//   floor FOLDER                open every file exclusively and read it, twice
//   checkfloor FOLDER           list FOLDER and open every file exclusively, on one thread
//                               and on two, three and four (the source walk's check)
//   packfloor FOLDER            list FOLDER, then on two threads open, read and close every
//                               file and deflate it (raw, level 2, as the packer does):
//                               packing's work without the archive, callbacks or pause;
//                               then only open, read and close on 1, 2 and 4 threads, with
//                               the time each thread spent in each call (microseconds per
//                               file): what grows with the threads is waited for, not done
//   writefloor DIR              write 20,000 files of 8 KiB in 100 folders under DIR three
//                               ways: create-write-close; as extraction did (temporary
//                               name held delete-on-close, time set, moved by name); as it
//                               does (the same, renamed through the open handle)
// Prints seconds (inside the process) and the peak working set. The key "BenchKey" must
// be an enabled key of the store that TARVODEV_HOME names.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include <zlib.h>

#include "contracts/tempfiles.h"
#include "contracts/tempmark.h"
#include "contracts/tvdev.h"
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

void ListFiles(const std::string& dir, std::vector<std::string>& out) {
  WIN32_FIND_DATAA fd;
  HANDLE f = ::FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    std::string n = fd.cFileName;
    if (n == "." || n == "..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(dir + "\\" + n, out);
    else
      out.push_back(dir + "\\" + n);
  } while (::FindNextFileA(f, &fd));
  ::FindClose(f);
}

bool SetDelete(HANDLE h, bool on) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = on ? TRUE : FALSE;
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

bool RenameOpen(HANDLE h, const std::wstring& to) {
  std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + (to.size() + 1) * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
  return ::SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buf.size())) != 0;
}

double Now();

// Seconds to write `n` files of 8 KiB under `base` in the given way.
double WriteFloor(const std::wstring& base, int way, int n) {
  ::CreateDirectoryW(base.c_str(), nullptr);
  for (int d = 0; d < 100; ++d) ::CreateDirectoryW((base + L"\\d" + std::to_wstring(d)).c_str(), nullptr);
  std::vector<char> data(8192, 'x');
  FILETIME ft{0x12345678, 0x01d00000};
  const double t0 = Now();
  for (int i = 0; i < n; ++i) {
    const std::wstring dir = base + L"\\d" + std::to_wstring(i % 100) + L"\\";
    const std::wstring target = dir + L"f" + std::to_wstring(i) + L".txt";
    const std::wstring temp = dir + L"~zr" + std::to_wstring(i) + L".tmp";
    DWORD w = 0;
    if (way == 0) {
      HANDLE h = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ::WriteFile(h, data.data(), 8192, &w, nullptr);
      ::CloseHandle(h);
      continue;
    }
    ::GetFileAttributesW(target.c_str());
    HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, 0, nullptr);
    SetDelete(h, true);
    ::WriteFile(h, data.data(), 8192, &w, nullptr);
    ::SetFileTime(h, nullptr, nullptr, &ft);
    SetDelete(h, false);
    if (way == 1) {
      ::CloseHandle(h);
      ::MoveFileExW(temp.c_str(), target.c_str(), 0);
    } else {
      RenameOpen(h, target);
      ::CloseHandle(h);
    }
  }
  return Now() - t0;
}

// Reads and deflates the files handed out by `next`; the compressed bytes.
uint64_t PackFloorWorker(const std::vector<std::string>& files, std::atomic<size_t>& next) {
  z_stream z{};
  if (deflateInit2(&z, 2, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  std::vector<unsigned char> in, out;
  uint64_t packed = 0;
  for (size_t i; (i = next.fetch_add(1)) < files.size();) {
    HANDLE h = ::CreateFileA(files[i].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    LARGE_INTEGER size{};
    DWORD got = 0;
    ::GetFileSizeEx(h, &size);
    in.resize(static_cast<size_t>(size.QuadPart));
    const BOOL read = in.empty() || ::ReadFile(h, in.data(), static_cast<DWORD>(in.size()), &got, nullptr);
    ::CloseHandle(h);
    if (!read) continue;
    deflateReset(&z);
    out.resize(deflateBound(&z, got) + 64);
    z.next_in = in.data();
    z.avail_in = got;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    packed += out.size() - z.avail_out;
  }
  deflateEnd(&z);
  return packed;
}

// Runs `work(thread index)` on `threads` threads, this one among them, until all return.
void RunOnThreads(int threads, const std::function<void(int)>& work) {
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work, t);
  work(0);
  for (auto& t : pool) t.join();
}

// Seconds spent in each call of the read loop.
struct CallTimes {
  double open = 0, size = 0, read = 0, close = 0;
};

// Opens, reads and closes the files handed out by `next`, as the packer's workers load a
// small file; the time each call took.
CallTimes ReadFloorWorker(const std::vector<std::string>& files, std::atomic<size_t>& next) {
  CallTimes times;
  std::vector<unsigned char> in;
  for (size_t i; (i = next.fetch_add(1)) < files.size();) {
    const double t0 = Now();
    HANDLE h = ::CreateFileA(files[i].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    const double t1 = Now();
    times.open += t1 - t0;
    if (h == INVALID_HANDLE_VALUE) continue;
    LARGE_INTEGER size{};
    DWORD got = 0;
    ::GetFileSizeEx(h, &size);
    const double t2 = Now();
    in.resize(static_cast<size_t>(size.QuadPart));
    if (!in.empty()) ::ReadFile(h, in.data(), static_cast<DWORD>(in.size()), &got, nullptr);
    const double t3 = Now();
    ::CloseHandle(h);
    times.size += t2 - t1;
    times.read += t3 - t2;
    times.close += Now() - t3;
  }
  return times;
}

bool OpenExclusive(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
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
      tempmark::Discard(tempmark::kVelvoxKey, temp);
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
      tempmark::Discard(tempmark::kVelvoxKey, temp);
      dlg.m_pProgressDlg->DestroyWindow();
      delete dlg.m_pProgressDlg;
      dlg.m_pProgressDlg = nullptr;
    });
  } else if (mode == "checkfloor") {
    std::vector<std::string> files;
    ListFiles(argv[2], files);
    const double listed = Now();
    for (const auto& f : files) ok &= OpenExclusive(f) ? 1 : 0;
    std::printf("list=%.3f one_thread=%.3f ", listed - t0, Now() - listed);
    // More threads only queue on the server's answers: two is the walk's number.
    for (int threads : {2, 3, 4}) {
      std::atomic<size_t> next{0};
      const double start = Now();
      RunOnThreads(threads, [&](int) {
        for (size_t i; (i = next.fetch_add(1)) < files.size();) OpenExclusive(files[i]);
      });
      std::printf("%s_threads=%.3f ", threads == 2 ? "two" : threads == 3 ? "three" : "four", Now() - start);
    }
  } else if (mode == "packfloor") {
    std::vector<std::string> files;
    ListFiles(argv[2], files);
    const double listed = Now();
    std::atomic<size_t> next{0};
    uint64_t packed[2] = {};
    RunOnThreads(2, [&](int t) { packed[t] = PackFloorWorker(files, next); });
    std::printf("list=%.3f read_and_deflate_two_threads=%.3f packed=%llu\n", listed - t0, Now() - listed,
                static_cast<unsigned long long>(packed[0] + packed[1]));
    for (int threads : {1, 2, 4}) {
      std::vector<CallTimes> per_thread(threads);
      std::atomic<size_t> next_file{0};
      const double start = Now();
      RunOnThreads(threads, [&](int t) { per_thread[t] = ReadFloorWorker(files, next_file); });
      const double wall = Now() - start;
      CallTimes sum;
      for (const CallTimes& c : per_thread) {
        sum.open += c.open;
        sum.size += c.size;
        sum.read += c.read;
        sum.close += c.close;
      }
      const double us = 1e6 / static_cast<double>(files.size());
      std::printf("read_threads_%d=%.3f us_per_file open=%.0f size=%.0f read=%.0f close=%.0f\n", threads, wall,
                  sum.open * us, sum.size * us, sum.read * us, sum.close * us);
    }
  } else if (mode == "writefloor") {
    const std::string dir = argv[2];
    const std::wstring base(dir.begin(), dir.end());
    ::CreateDirectoryW(base.c_str(), nullptr);
    double t[3];
    for (int way = 0; way < 3; ++way) t[way] = WriteFloor(base + L"\\w" + std::to_wstring(way), way, 20000);
    std::printf("create_write_close=%.3f temp_moved_by_name=%.3f temp_renamed_by_handle=%.3f ", t[0], t[1], t[2]);
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
