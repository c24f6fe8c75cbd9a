// Timestamps of a job's steps, for the benchmark that measures where the whole program
// spends its time. Each mark goes to the debugger output stream (OutputDebugStringA) as
// one line "vxtrace <seconds on the performance counter> <step>": a clock that another
// process on the same machine reads too. The program writes no file of its own and
// takes nothing from its environment for it; without a debugger or a debug-output
// monitor the system drops the line. Steps are fixed words: no path, name or key ever
// goes into a mark.
#pragma once
#include <windows.h>

#include <cstdio>

namespace vxtrace {

// What begins every mark, so that a reader picks them out of other debug output.
inline constexpr char kPrefix[] = "vxtrace ";

inline void Mark(const char* step) {
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  char line[128];
  int n = std::snprintf(line, sizeof line, "%s%.6f %s\n", kPrefix,
                        static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart), step);
  if (n <= 0 || n >= static_cast<int>(sizeof line)) return;
  ::OutputDebugStringA(line);
}

// The process's peak working set so far, as a mark.
inline void MarkPeakMemory() {
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
