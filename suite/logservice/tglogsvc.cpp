// The suite's log service. While it runs it holds the section "tgt_shared_memory"
// with its identification text and status, which tell the suite's programs whether
// and as whom their operations are logged.
//
//   tglogsvc.exe [--status N] [--ident TEXT]   runs until asked to end
//   tglogsvc.exe --stop                        asks the running service to end
//
// Status 1 is a usable service; any other value (0: stopped) keeps the section but
// tells clients not to log. The identification text defaults to COMPUTER\user.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "contracts/oplog.h"
#include "dllsearch.h"

namespace {

constexpr char kStopEvent[] = "tgt_log_service_stop";

std::string DefaultIdent() {
  char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof(computer);
  ::GetComputerNameA(computer, &n);
  char user[256] = {};
  DWORD u = sizeof(user);
  ::GetUserNameA(user, &u);
  return std::string(computer) + "\\" + user;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  suite::RestrictDllSearch();
  DWORD status = 1;
  std::string ident = DefaultIdent();
  for (int i = 1; i < __argc; ++i) {
    const std::string arg = __argv[i];
    if (arg == "--stop") {
      HANDLE stop = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, kStopEvent);
      if (!stop) return 1;  // not running
      ::SetEvent(stop);
      ::CloseHandle(stop);
      return 0;
    }
    if (arg == "--status" && i + 1 < __argc) {
      status = std::strtoul(__argv[++i], nullptr, 10);
    } else if (arg == "--ident" && i + 1 < __argc) {
      ident = __argv[++i];
    } else {
      return 2;  // unknown argument
    }
  }
  if (ident.size() >= sizeof(TGT_SHARED_MEMORY::ident)) return 2;

  HANDLE stop = ::CreateEventA(nullptr, TRUE, FALSE, kStopEvent);
  if (!stop) return 3;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(stop);
    return 4;  // another instance runs
  }
  HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(TGT_SHARED_MEMORY), kLogServiceSection);
  if (!mapping || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    if (mapping) ::CloseHandle(mapping);
    ::CloseHandle(stop);
    return 4;
  }
  auto* shared = static_cast<TGT_SHARED_MEMORY*>(
      ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(TGT_SHARED_MEMORY)));
  if (!shared) {
    ::CloseHandle(mapping);
    ::CloseHandle(stop);
    return 3;
  }
  std::memset(shared, 0, sizeof(*shared));
  std::memcpy(shared->ident, ident.data(), ident.size());
  shared->status = status;

  ::WaitForSingleObject(stop, INFINITE);

  shared->status = 0;
  ::UnmapViewOfFile(shared);
  ::CloseHandle(mapping);
  ::CloseHandle(stop);
  return 0;
}
