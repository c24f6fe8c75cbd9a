// Times Zoras.dll the way the program drives it, under Wine:
//   zoras_bench pack <archive> <folder>     one packing command per entry of <folder>
//   zoras_bench unpack <archive> <folder>   one unpacking command
// Prints the seconds spent inside the library and the process's peak memory.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archiver.h"

namespace {

unsigned long g_notifications = 0;

BOOL CALLBACK Count(UINT, WPARAM, LPARAM) {
  ++g_notifications;
  return TRUE;
}

template <typename T>
T Ord(HMODULE h, int n) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(n))));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: zoras_bench pack|unpack <archive> <folder>\n");
    return 2;
  }
  HMODULE h = LoadLibraryA("Zoras.dll");
  if (!h) return 3;
  auto command = Ord<PFN_ArchiverCommand>(h, ARC_ORD_COMMAND);
  Ord<PFN_ArchiverSetMode>(h, ARC_ORD_SET_MODE)(3);
  Ord<PFN_ArchiverSetCallback>(h, ARC_ORD_SET_CALLBACK)(Count);

  std::string mode = argv[1], archive = argv[2], folder = argv[3];
  std::vector<std::string> commands;
  if (mode == "pack") {
    SetCurrentDirectoryA(folder.c_str());
    DeleteFileA(archive.c_str());
    WIN32_FIND_DATAA fd;
    HANDLE f = FindFirstFileA("*", &fd);
    do {
      std::string n = fd.cFileName;
      if (n == "." || n == "..") continue;
      bool dir = fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      commands.push_back(std::string("-A -H -Q ") + (dir ? "-X -R -M " : "") + "\"" + archive + "\" \"" + n + "\"");
    } while (FindNextFileA(f, &fd));
    FindClose(f);
  } else {
    commands.push_back("-E -X -R -H -Q -C -O\"" + folder + "\" \"" + archive + "\"");
  }

  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  for (const auto& c : commands) {
    int rc = command(nullptr, c.c_str());
    if (rc != 0) {
      std::fprintf(stderr, "failed: %s -> 0x%08x\n", c.c_str(), static_cast<unsigned>(rc));
      return 1;
    }
  }
  QueryPerformanceCounter(&t1);
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  std::printf("seconds=%.3f peak_private_mib=%.1f peak_ws_mib=%.1f commands=%zu notifications=%lu\n",
              static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart),
              static_cast<double>(pmc.PeakPagefileUsage) / 1048576.0,
              static_cast<double>(pmc.PeakWorkingSetSize) / 1048576.0, commands.size(), g_notifications);
  return 0;
}
