// Timestamps of a job's steps, for measuring where the whole program spends its time.
// Silent unless the environment variable VX_PHASE_TRACE names a file: then each mark
// appends one line "<seconds on the performance counter> <step>" to it, a clock that
// another process on the same machine can read too. Steps are fixed words: no path,
// name or key ever goes into the file.
#pragma once
#include <windows.h>

#include <cstdio>

namespace vxtrace {

inline HANDLE TraceFile() {
  static HANDLE file = [] {
    char path[MAX_PATH] = {};
    DWORD n = ::GetEnvironmentVariableA("VX_PHASE_TRACE", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return INVALID_HANDLE_VALUE;
    return ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }();
  return file;
}

inline void Mark(const char* step) {
  HANDLE file = TraceFile();
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  char line[128];
  int n = std::snprintf(line, sizeof line, "%.6f %s\n",
                        static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart), step);
  if (n <= 0 || n >= static_cast<int>(sizeof line)) return;
  DWORD written = 0;
  ::WriteFile(file, line, static_cast<DWORD>(n), &written, nullptr);
}

// The process's peak working set so far, in the same file.
inline void MarkPeakMemory() {
  HANDLE file = TraceFile();
  if (file == INVALID_HANDLE_VALUE) return;
  struct Counters {
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize, WorkingSetSize, QuotaPeakPagedPoolUsage, QuotaPagedPoolUsage,
        QuotaPeakNonPagedPoolUsage, QuotaNonPagedPoolUsage, PagefileUsage, PeakPagefileUsage;
  } pmc{};
  pmc.cb = sizeof pmc;
  using Fn = BOOL(WINAPI*)(HANDLE, Counters*, DWORD);
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  auto get = kernel ? reinterpret_cast<Fn>(reinterpret_cast<void*>(
                          ::GetProcAddress(kernel, "K32GetProcessMemoryInfo")))
                    : nullptr;
  if (!get || !get(::GetCurrentProcess(), &pmc, sizeof pmc)) return;
  char step[64];
  std::snprintf(step, sizeof step, "peak_ws_mib=%.1f", pmc.PeakWorkingSetSize / 1048576.0);
  Mark(step);
}

}  // namespace vxtrace
