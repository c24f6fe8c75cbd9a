// Bound to Zoras.dll at load time through its import library, as the program is: every
// entry point is called once through the WINAPI declarations of the contract. Exits 0
// when each answers as the contract says.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "archiver.h"

namespace {

int g_calls = 0;

BOOL CALLBACK Count(UINT, WPARAM, LPARAM) {
  ++g_calls;
  return TRUE;
}

}  // namespace

int main() {
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    if (!ok) {
      std::printf("failed: %s\n", what);
      ++failures;
    }
  };
  check(ArchiverSetMode(3) == 0, "ArchiverSetMode(3)");
  check(ArchiverSetCallback(Count) == 0, "ArchiverSetCallback");
  check(ArchiverSetLanguage(256) == 0, "ArchiverSetLanguage(256)");
  check(ArchiverCommand(nullptr, "-L") == static_cast<int>(ARCERR_INVALID_COMMAND), "ArchiverCommand(-L)");
  DWORD code = 0;
  check(ArchiverGetLastError(&code) == 0 && code == ARCERR_INVALID_COMMAND, "ArchiverGetLastError");
  char text[256] = {};
  check(ArchiverGetErrorText(ARCERR_CRC, text, sizeof text) == 0 && std::strncmp(text, "CRC", 3) == 0,
        "ArchiverGetErrorText");
  check(ArchiverReply(ARCQ_EXISTS, ARCR_SKIP, 0) != 0, "ArchiverReply outside a query");
  check(ArchiverCancel() != 0, "ArchiverCancel outside a command");
  check(g_calls == 0, "no callback for a refused command");
  if (failures == 0) std::printf("Zoras.dll bound by ordinal: every entry point answered\n");
  return failures == 0 ? 0 : 1;
}
