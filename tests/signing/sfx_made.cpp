// Writes what the signing test inspects natively: a self-decrypting executable made by
// tarvodev.dll from ZIP (as velvox makes one), and the stub resource that the library
// carries, byte for byte.
//   vx_sfx_made ZIP SFX_OUT STUB_OUT
#include <windows.h>

#include <cstdio>

#include "contracts/tvdev.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vx_sfx_made ZIP SFX_OUT STUB_OUT\n");
    return 2;
  }
  if (!TVDEV_CreateSelfExtractEx(argv[1], argv[2], "SIGNING-TEST", 2, 0, nullptr, nullptr, 0,
                                 0, 0)) {
    std::fprintf(stderr, "TVDEV_CreateSelfExtractEx failed\n");
    return 1;
  }
  HMODULE lib = GetModuleHandleA("tarvodev.dll");
  HRSRC r = lib ? FindResourceA(lib, "TVSFXSTUB", MAKEINTRESOURCEA(10) /* RT_RCDATA */) : nullptr;
  HGLOBAL g = r ? LoadResource(lib, r) : nullptr;
  const void* p = g ? LockResource(g) : nullptr;
  const DWORD size = r ? SizeofResource(lib, r) : 0;
  if (!p || !size) {
    std::fprintf(stderr, "no TVSFXSTUB resource in tarvodev.dll\n");
    return 1;
  }
  HANDLE h = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  const bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, p, size, &written, nullptr) &&
                  written == size;
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (!ok) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
