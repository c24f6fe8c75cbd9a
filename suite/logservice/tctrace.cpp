// TCTrace.dll, the log service's client library. It answers where the suite's
// temporary log folder is: value "TempLogFolder" of the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Norvane\TARVO-Pro\LogService. While the service is
// occupied it answers 8 ("busy") to TCTLIB_GetTempLogFolder; "BusyReplies" (DWORD) says
// how many such answers follow each initialisation, so that installations and tests
// can reproduce a busy service. TCTLIB_GetTempLogFolderX answers without the service's
// attention. Every call and its answer are appended to tctrace.log in %TCTRACE_HOME%,
// else in the folder Norvane\TARVO-Pro\LogService under the common application-data
// folder.
#include <windows.h>

#include <cstring>
#include <string>

#include "contracts/oplog.h"
#include "suite_common.h"

namespace {

enum Result : DWORD {
  kOk = 0,
  kNotRunning = 2,
  kNoFolder = 3,
  kNotInitialized = 4,
  kBusy = 8,
  kBadArgument = 87,
};

LONG g_initialized = 0;
LONG g_busyLeft = 0;

void Journal(const std::string& line) {
  const std::string folder = suite::ComponentFolder("TCTRACE_HOME", "LogService");
  if (!folder.empty())
    suite::AppendLine(folder + "\\tctrace.log",
                      suite::TimeStamp() + " pid=" + std::to_string(::GetCurrentProcessId()) +
                          " " + line);
}

DWORD Answer(const char* call, DWORD rc) {
  Journal(std::string(call) + " -> " + std::to_string(rc));
  return rc;
}

// The running service's identification text, or false when it is not usable.
bool ServiceIdent(std::string& ident) {
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, kLogServiceSection);
  if (!mapping) return false;
  const auto* shared = static_cast<const TGT_SHARED_MEMORY*>(
      ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(TGT_SHARED_MEMORY)));
  bool usable = false;
  if (shared) {
    ident.assign(shared->ident, ::strnlen(shared->ident, sizeof(shared->ident)));
    usable = shared->status == 1;
    ::UnmapViewOfFile(shared);
  }
  ::CloseHandle(mapping);
  return usable;
}

DWORD CopyFolder(const char* call, char* buffer260) {
  const std::string folder = suite::ReadMachineString(kLogServiceKey, "TempLogFolder");
  if (folder.empty() || folder.size() >= 260) return Answer(call, kNoFolder);
  std::memcpy(buffer260, folder.c_str(), folder.size() + 1);
  return Answer(call, kOk);
}

}  // namespace

extern "C" {

// Connects to the service; the buffer receives its identification text.
__declspec(dllexport) DWORD WINAPI TCTLIB_Initialize(char* buffer256) {
  if (!buffer256) return Answer("TCTLIB_Initialize", kBadArgument);
  std::string ident;
  if (!ServiceIdent(ident)) {
    ::InterlockedExchange(&g_initialized, 0);
    return Answer("TCTLIB_Initialize", kNotRunning);
  }
  const size_t n = ident.size() < 255 ? ident.size() : 255;
  std::memcpy(buffer256, ident.data(), n);
  buffer256[n] = '\0';
  ::InterlockedExchange(&g_busyLeft,
                        static_cast<LONG>(suite::ReadMachineDword(kLogServiceKey, "BusyReplies", 0)));
  ::InterlockedExchange(&g_initialized, 1);
  return Answer("TCTLIB_Initialize", kOk);
}

__declspec(dllexport) DWORD WINAPI TCTLIB_GetTempLogFolder(char* buffer260, DWORD waitMs) {
  const std::string call = "TCTLIB_GetTempLogFolder(" + std::to_string(waitMs) + ")";
  if (!buffer260) return Answer(call.c_str(), kBadArgument);
  if (!g_initialized) return Answer(call.c_str(), kNotInitialized);
  if (::InterlockedDecrement(&g_busyLeft) >= 0) return Answer(call.c_str(), kBusy);
  ::InterlockedExchange(&g_busyLeft, 0);
  return CopyFolder(call.c_str(), buffer260);
}

__declspec(dllexport) DWORD WINAPI TCTLIB_GetTempLogFolderX(char* buffer260) {
  if (!buffer260) return Answer("TCTLIB_GetTempLogFolderX", kBadArgument);
  return CopyFolder("TCTLIB_GetTempLogFolderX", buffer260);
}

}  // extern "C"
