#include "memscan.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "uidriver.h"

namespace vxtest {

namespace {

// A run of this many characters of the secret counts as a copy: an edit control that is
// only emptied keeps all but the first character, and a random run of 8 of these
// letters does not occur by chance.
constexpr size_t kRun = 8;
// The page holds the text, its upper-cased form, the four forms looked for, their runs,
// and the window that the scan reads other memory through (so reading never makes a
// copy outside the skipped allocation).
constexpr size_t kTextRoom = 256;
constexpr size_t kPatternRoom = kTextRoom * 2;
struct Gram {
  uint64_t key;  // the run's first 8 bytes
  uint8_t form;
  uint8_t offset;
};
constexpr size_t kMaxGrams = 4 * kTextRoom;
constexpr size_t kBitmapBytes = 1 << 13;
constexpr size_t kWindow = 1 << 20;
constexpr size_t kPageSize =
    kTextRoom * 2 + kPatternRoom * 4 + sizeof(Gram) * kMaxGrams + kBitmapBytes + kWindow;

uint32_t Hash(uint64_t v) { return static_cast<uint32_t>((v * 0x9E3779B97F4A7C15ull) >> 48); }

std::string Describe(const std::string& what, size_t run, size_t size,
                     const MEMORY_BASIC_INFORMATION& mbi, const char* at, size_t pattern) {
  char module[MAX_PATH] = "";
  const char* kind = "private";
  if (mbi.Type == MEM_IMAGE) {
    kind = "image";
    GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), module, MAX_PATH);
  } else if (mbi.Type == MEM_MAPPED) {
    kind = "mapped";
  }
  HANDLE heaps[64];
  const DWORD n = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < n && i < 64; ++i)
    if (heaps[i] == mbi.AllocationBase) kind = "heap";
  MEMORY_BASIC_INFORMATION own;
  if (VirtualQuery(&own, &own, sizeof own) == sizeof own &&
      own.AllocationBase == mbi.AllocationBase)
    kind = "this thread's stack";
  static const char* const kForms[] = {"as typed", "upper-cased", "UTF-16 as typed",
                                       "UTF-16 upper-cased"};
  char part[64] = "";
  if (run < size) std::snprintf(part, sizeof part, "%zu of the %zu characters of ", run, size);
  char line[640];
  std::snprintf(line, sizeof line, "%s%s at %p (%s, %s; region %p+%zx, allocation %p, protect %lx) %s",
                part, what.c_str(), static_cast<const void*>(at), kForms[pattern], kind, mbi.BaseAddress,
                static_cast<size_t>(mbi.RegionSize), mbi.AllocationBase,
                static_cast<unsigned long>(mbi.Protect), module);
  return line;
}

}  // namespace

SecretText::SecretText(const char* what, size_t length, const char* alphabet) : what_(what) {
  if (length < kRun || length >= kTextRoom) return;
  page_ = static_cast<char*>(
      VirtualAlloc(nullptr, kPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!page_) return;
  text_ = page_;
  upper_ = page_ + kTextRoom;
  LARGE_INTEGER seed{};
  QueryPerformanceCounter(&seed);
  unsigned long long x = static_cast<unsigned long long>(seed.QuadPart) ^
                         (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                         0x9E3779B97F4A7C15ull;
  const size_t letters = std::strlen(alphabet);
  for (size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    text_[i] = alphabet[x % letters];
    upper_[i] = text_[i] >= 'a' && text_[i] <= 'z' ? static_cast<char>(text_[i] - 'a' + 'A')
                                                   : text_[i];
  }
  x = 0;
  size_ = length;
}

SecretText::~SecretText() {
  if (!page_) return;
  SecureZeroMemory(page_, kPageSize);
  VirtualFree(page_, 0, MEM_RELEASE);
}

bool SecretText::WriteLine(HANDLE file) const {
  DWORD written = 0;
  return page_ && WriteFile(file, text_, static_cast<DWORD>(size_), &written, nullptr) &&
         written == size_ && WriteFile(file, "\r\n", 2, &written, nullptr) && written == 2;
}

std::vector<std::string> SecretText::FindCopies() const {
  std::vector<std::string> hits;
  if (!page_) {
    hits.push_back("no secret page");
    return hits;
  }
  // The four forms, every run of kRun characters of each as a key, and a bitmap of the
  // keys' hashes that rules out almost every position at once: all built here in the
  // skipped page.
  char* patterns[4];
  for (int p = 0; p < 4; ++p) {
    patterns[p] = page_ + kTextRoom * 2 + kPatternRoom * p;
    const char* source = p % 2 == 0 ? text_ : upper_;
    for (size_t i = 0; i < size_; ++i) {
      if (p < 2) {
        patterns[p][i] = source[i];
      } else {
        patterns[p][2 * i] = source[i];
        patterns[p][2 * i + 1] = 0;
      }
    }
  }
  auto* grams = reinterpret_cast<Gram*>(page_ + kTextRoom * 2 + kPatternRoom * 4);
  auto* bitmap = reinterpret_cast<uint8_t*>(grams + kMaxGrams);
  char* window = reinterpret_cast<char*>(bitmap + kBitmapBytes);
  size_t gramCount = 0;
  for (int p = 0; p < 4 && size_ >= kRun; ++p) {
    const size_t width = p < 2 ? 1 : 2;
    for (size_t j = 0; j + kRun <= size_; ++j) {
      Gram& g = grams[gramCount++];
      std::memcpy(&g.key, patterns[p] + j * width, sizeof g.key);
      g.form = static_cast<uint8_t>(p);
      g.offset = static_cast<uint8_t>(j);
      const uint32_t h = Hash(g.key);
      bitmap[h >> 3] |= static_cast<uint8_t>(1u << (h & 7));
    }
  }
  const size_t overlap = kRun * 2;

  SYSTEM_INFO si;
  GetSystemInfo(&si);
  char* address = static_cast<char*>(si.lpMinimumApplicationAddress);
  MEMORY_BASIC_INFORMATION mbi;
  while (gramCount && address < static_cast<char*>(si.lpMaximumApplicationAddress) &&
         VirtualQuery(address, &mbi, sizeof mbi) == sizeof mbi) {
    char* const regionEnd = static_cast<char*>(mbi.BaseAddress) + mbi.RegionSize;
    const DWORD access = mbi.Protect & 0xFF;
    const bool readable = mbi.State == MEM_COMMIT && !(mbi.Protect & PAGE_GUARD) &&
                          access != PAGE_NOACCESS && access != 0;
    if (readable && mbi.AllocationBase != page_) {
      size_t seen = 0;  // bytes at the window's start that the previous window searched
      for (char* from = static_cast<char*>(mbi.BaseAddress); from < regionEnd;) {
        const size_t want = static_cast<size_t>(regionEnd - from) < kWindow
                                ? static_cast<size_t>(regionEnd - from)
                                : kWindow;
        SIZE_T got = 0;
        if (!ReadProcessMemory(GetCurrentProcess(), from, window, want, &got) || got == 0) break;
        for (size_t i = 0; i + sizeof(uint64_t) <= got; ++i) {
          uint64_t v;
          std::memcpy(&v, window + i, sizeof v);
          const uint32_t h = Hash(v);
          if (!(bitmap[h >> 3] & (1u << (h & 7)))) continue;
          for (size_t g = 0; g < gramCount; ++g) {
            if (grams[g].key != v) continue;
            const int p = grams[g].form;
            const size_t width = p < 2 ? 1 : 2, j = grams[g].offset;
            if (i + kRun * width > got || i + kRun * width <= seen ||
                std::memcmp(window + i, patterns[p] + j * width, kRun * width) != 0)
              continue;
            size_t n = kRun;
            while (j + n < size_ && i + (n + 1) * width <= got &&
                   std::memcmp(window + i + n * width, patterns[p] + (j + n) * width, width) == 0)
              ++n;
            hits.push_back(Describe(what_, n, size_, mbi, from + i, p));
            i += n * width - 1;
            break;
          }
        }
        if (got < want || from + got >= regionEnd) break;
        from += got - overlap;  // a run across the window's edge is still seen
        seen = overlap;
      }
    }
    address = regionEnd;
  }
  SecureZeroMemory(page_ + kTextRoom * 2, kPageSize - kTextRoom * 2);
  return hits;
}

void TypeSecret(HWND edit, const SecretText& secret) {
  for (size_t i = 0; i < secret.size(); ++i)
    SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(secret[i]), 0);
}

namespace {
ScanAtDestroy* g_scanner = nullptr;
}

ScanAtDestroy::ScanAtDestroy() {
  g_scanner = this;
  hook_ = SetWindowsHookExA(WH_CALLWNDPROC, Hook, nullptr, GetCurrentThreadId());
}

ScanAtDestroy::~ScanAtDestroy() {
  if (hook_) UnhookWindowsHookEx(hook_);
  g_scanner = nullptr;
}

void ScanAtDestroy::Watch(const std::string& dialogTitle, int id,
                          std::vector<const SecretText*> secrets) {
  fields_.push_back(Field{dialogTitle, id, std::move(secrets)});
}

LRESULT CALLBACK ScanAtDestroy::Hook(int code, WPARAM wParam, LPARAM lParam) {
  const auto* msg = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && msg && msg->message == WM_DESTROY && g_scanner)
    g_scanner->OnDestroy(msg->hwnd);
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

void ScanAtDestroy::OnDestroy(HWND w) {
  HWND parent = GetParent(w);
  if (!parent) return;
  char title[256] = {};
  GetWindowTextA(parent, title, sizeof title);
  for (Field& f : fields_) {
    if (f.destroyed || GetDlgCtrlID(w) != f.id || f.title != title) continue;
    f.destroyed = true;
    for (const SecretText* s : f.secrets)
      for (const std::string& hit : s->FindCopies()) f.copies.push_back(hit);
  }
}

std::vector<std::string> ScanAtDestroy::Copies() const {
  std::vector<std::string> out;
  for (const Field& f : fields_) {
    const std::string name = "field " + std::to_string(f.id) + " of '" + Utf8(f.title) + "'";
    if (!f.destroyed) out.push_back(name + ": never destroyed");
    for (const std::string& hit : f.copies) out.push_back(name + ": " + hit);
  }
  return out;
}

}  // namespace vxtest
