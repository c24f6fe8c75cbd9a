// Encrypts and decrypts one archive file to file through tarvodev.dll and prints the
// speed of each direction and the process's peak memory. Run by run.sh under Wine.
//   tvcrypto_bench.exe <archive> <work folder>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
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
  if (argc != 3) {
    std::fprintf(stderr, "usage: tvcrypto_bench archive workfolder\n");
    return 1;
  }
  const std::string archive = argv[1], work = argv[2];
  const std::string xss = work + "\\bench.xss", back = work + "\\bench.back";
  if (!TVDEV_CertifyKey("Bench", "BENCH-VALUE", 0)) {
    std::fprintf(stderr, "certify failed: %lu (create the key with tvkeyadm first)\n",
                 TVDEV_GetLastError(0));
    return 1;
  }
  WIN32_FILE_ATTRIBUTE_DATA fa;
  GetFileAttributesExA(archive.c_str(), GetFileExInfoStandard, &fa);
  const double mb = ((static_cast<double>(fa.nFileSizeHigh) * 4294967296.0) + fa.nFileSizeLow) / 1e6;

  double t = Now();
  if (!TVDEV_EncryptArchive("Bench", archive.c_str(), xss.c_str(), 0, nullptr, Count, nullptr, 0, 0)) {
    std::fprintf(stderr, "encrypt failed: %lu\n", TVDEV_GetLastError(0));
    return 1;
  }
  const double enc = Now() - t;
  const int encCalls = g_calls;
  g_calls = 0;
  // Write the encrypted file back first, as the OpenSSL side syncs before each step.
  HANDLE f = CreateFileA(xss.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    FlushFileBuffers(f);
    CloseHandle(f);
  }
  t = Now();
  if (!TVDEV_DecryptArchive("Bench", xss.c_str(), back.c_str(), Count, nullptr, 0, 0)) {
    std::fprintf(stderr, "decrypt failed: %lu\n", TVDEV_GetLastError(0));
    return 1;
  }
  const double dec = Now() - t;
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  std::printf("size_mb %.1f\nencrypt_s %.3f\nencrypt_mbps %.0f\nencrypt_callbacks %d\n", mb, enc,
              mb / enc, encCalls);
  std::printf("decrypt_s %.3f\ndecrypt_mbps %.0f\ndecrypt_callbacks %d\n", dec, mb / dec, g_calls);
  std::printf("peak_working_set_mib %.1f\npeak_private_mib %.1f\n",
              pmc.PeakWorkingSetSize / 1048576.0, pmc.PeakPagefileUsage / 1048576.0);
  return 0;
}
