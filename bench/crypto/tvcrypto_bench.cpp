// One direction of a file-to-file run through tarvodev.dll, timed inside the process;
// prints the speed, the number of progress calls and the process's peak memory.
// Run by run.sh under Wine:
//   tvcrypto_bench.exe encrypt <archive> <encrypted file>
//   tvcrypto_bench.exe decrypt <encrypted file> <archive>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "contracts/tvdev.h"

namespace {

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

int g_calls = 0;
int WINAPI Count(DWORD, DWORD, DWORD, DWORD, DWORD) {
  ++g_calls;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool encrypt = argc == 4 && std::strcmp(argv[1], "encrypt") == 0;
  if (argc != 4 || (!encrypt && std::strcmp(argv[1], "decrypt") != 0)) {
    std::fprintf(stderr, "usage: tvcrypto_bench encrypt|decrypt input output\n");
    return 1;
  }
  if (!TVDEV_CertifyKey("Bench", "BENCH-VALUE", 0)) {
    std::fprintf(stderr, "certify failed: %lu (create the key with tvkeyadm first)\n",
                 TVDEV_GetLastError(0));
    return 1;
  }
  WIN32_FILE_ATTRIBUTE_DATA fa;
  GetFileAttributesExA(argv[2], GetFileExInfoStandard, &fa);
  const double mb = ((static_cast<double>(fa.nFileSizeHigh) * 4294967296.0) + fa.nFileSizeLow) / 1e6;
  const double t = Now();
  const BOOL ok =
      encrypt ? TVDEV_EncryptArchive("Bench", argv[2], argv[3], 0, nullptr, Count, nullptr, 0, 0)
              : TVDEV_DecryptArchive("Bench", argv[2], argv[3], Count, nullptr, 0, 0);
  const double s = Now() - t;
  if (!ok) {
    std::fprintf(stderr, "%s failed: %lu\n", argv[1], TVDEV_GetLastError(0));
    return 1;
  }
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  std::printf("seconds %.3f\nmbps %.0f\ncallbacks %d\npeak_working_set_mib %.1f\n", s, mb / s,
              g_calls, pmc.PeakWorkingSetSize / 1048576.0);
  return 0;
}
