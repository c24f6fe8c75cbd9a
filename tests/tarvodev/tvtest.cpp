#include "tvtest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace tvtest {

namespace {

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string n = fd.cFileName;
      if (n == "." || n == "..") continue;
      const std::string p = dir + "\\" + n;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(p);
      } else {
        SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(p.c_str());
      }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

std::atomic<unsigned> g_counter{0};

}  // namespace

TempDir::TempDir() {
  char base[MAX_PATH] = {};
  GetTempPathA(sizeof base, base);
  for (;;) {
    char name[MAX_PATH];
    wsprintfA(name, "%stvt%lu_%u", base, GetCurrentProcessId(), g_counter++);
    if (CreateDirectoryA(name, nullptr)) {
      path_ = name;
      return;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> out;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((path_ + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    const std::string n = fd.cFileName;
    if (n != "." && n != "..") out.push_back(n);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  std::sort(out.begin(), out.end());
  return out;
}

Bytes ReadAll(const std::string& path) {
  Bytes out;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  LARGE_INTEGER size{};
  GetFileSizeEx(h, &size);
  out.resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  if (!out.empty() && (!ReadFile(h, out.data(), (DWORD)out.size(), &got, nullptr) || got != out.size()))
    ADD_FAILURE() << "cannot read " << path;
  CloseHandle(h);
  return out;
}

void WriteAll(const std::string& path, const Bytes& data) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot create " << path;
  DWORD put = 0;
  if (!data.empty()) {
    EXPECT_TRUE(WriteFile(h, data.data(), (DWORD)data.size(), &put, nullptr));
    EXPECT_EQ(put, data.size());
  }
  CloseHandle(h);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes b(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<uint8_t>(x);
  }
  return b;
}

StoreHome::StoreHome() { SetEnvironmentVariableA("TARVODEV_HOME", dir_.path().c_str()); }
StoreHome::~StoreHome() { SetEnvironmentVariableA("TARVODEV_HOME", nullptr); }

tvdev::store::StoredKey AddKey(const std::string& name, int algorithm, const std::string& value,
                               bool enabled, bool suspended, const std::string& description) {
  using namespace tvdev::store;
  Store s;
  const LoadResult r = Load(&s);
  EXPECT_NE(r, LoadResult::Damaged);
  StoredKey k;
  std::string why;
  EXPECT_TRUE(CreateKey(name, algorithm, value, kMinIterations, &k, &why)) << why;
  k.suspended = suspended;
  k.description = description;
  if (enabled) {
    uint8_t material[32];
    EXPECT_EQ(ProveValue(k, value, material), Proof::Ok);
    EXPECT_TRUE(Enable(k, material));
  }
  s.keys.push_back(k);
  EXPECT_TRUE(Save(s, &why)) << why;
  return k;
}

int ProgressLog::calls = 0;
int ProgressLog::cancelAt = 0;
DWORD ProgressLog::lastTotal = 0;
DWORD ProgressLog::lastDone = 0;
bool ProgressLog::monotonic = true;

void ProgressLog::Reset(int cancelAtCall) {
  calls = 0;
  cancelAt = cancelAtCall;
  lastTotal = lastDone = 0;
  monotonic = true;
}

int WINAPI ProgressLog::Callback(DWORD total, DWORD done, DWORD, DWORD, DWORD) {
  ++calls;
  if (done < lastDone || done > total) monotonic = false;
  lastTotal = total;
  lastDone = done;
  return calls == cancelAt ? 1 : 0;
}

}  // namespace tvtest
