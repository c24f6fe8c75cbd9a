// A token plug-in that stands in for failures the software token cannot be made to
// show. It records every call, with the window it was given, in the file named by
// TPDOUBLE_LOG, and answers TPP_Initialize and TPP_GetKeyInfo with the codes in
// TPDOUBLE_INIT and TPDOUBLE_GETKEYINFO (0 when unset). Built without TPP_ShowVesion
// (TPDOUBLE_NO_SHOW) it is a plug-in that lacks an entry point; built importing tpdep.dll
// (TPDOUBLE_DEPENDENCY) it is a plug-in with a library of its own.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "contracts/tokenplugin.h"

#ifdef TPDOUBLE_DEPENDENCY
extern "C" __declspec(dllimport) DWORD WINAPI TpDepVersion();
#endif

namespace {

DWORD Setting(const char* name) {
  char buf[32] = {};
  if (!GetEnvironmentVariableA(name, buf, sizeof buf)) return 0;
  return static_cast<DWORD>(std::strtoul(buf, nullptr, 10));
}

void Log(const char* call, HWND owner) {
  char path[MAX_PATH] = {};
  if (!GetEnvironmentVariableA("TPDOUBLE_LOG", path, MAX_PATH)) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s %p\n", call, static_cast<void*>(owner));
    std::fclose(f);
  }
}

TokenKeyRecord g_record;

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI TPP_Initialize(HWND owner, DWORD) {
  Log("Initialize", owner);
  return Setting("TPDOUBLE_INIT");
}

extern "C" __declspec(dllexport) DWORD WINAPI TPP_GetKeyInfo(HWND owner, DWORD* count,
                                                             TokenKeyRecord** records, DWORD) {
  Log("GetKeyInfo", owner);
  *count = 0;
  *records = &g_record;
  return Setting("TPDOUBLE_GETKEYINFO");
}

extern "C" __declspec(dllexport) DWORD WINAPI TPP_FreeBuffer(HWND owner, TokenKeyRecord*, DWORD) {
  Log("FreeBuffer", owner);
  return 0;
}

extern "C" __declspec(dllexport) DWORD WINAPI TPP_Shutdown(HWND owner, DWORD) {
  Log("Shutdown", owner);
  return 0;
}

extern "C" __declspec(dllexport) DWORD WINAPI TPP_GetVesion(DWORD* version, DWORD) {
#ifdef TPDOUBLE_DEPENDENCY
  *version = TpDepVersion();
#else
  *version = 1;
#endif
  return 0;
}

#ifndef TPDOUBLE_NO_SHOW
extern "C" __declspec(dllexport) DWORD WINAPI TPP_ShowVesion(HWND, DWORD) { return 0; }
#endif
