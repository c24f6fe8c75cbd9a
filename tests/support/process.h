// Every program a test starts is started here.
//
// Wine's process creation fails now and then (about once in 1,000 to 1,500 starts) with
// ERROR_INTERNAL_ERROR (1359) when the new process's loader dies before the program
// runs. The child never ran, so that start, and only that, is tried again (twice at
// most) with a note on standard error. Any other failure is the test's, reported with
// its GetLastError code.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "testfiles.h"

namespace vxtest {

constexpr DWORD kDefaultWait = 15000;

// CreateProcessW with the retry above. `si` gives the standard handles (they are
// inherited when it sets STARTF_USESTDHANDLES). On failure: false, `error` holds the
// code of the last try and `pi` is empty.
bool CreateChild(const std::wstring& commandLine, const std::wstring& workDir, DWORD creationFlags,
                 STARTUPINFOW& si, PROCESS_INFORMATION& pi, DWORD& error);

// A child process; killed on destruction if still running.
class Process {
 public:
  Process() = default;
  Process(Process&& o) noexcept;
  Process& operator=(Process&& o) noexcept;
  ~Process();
  // Starts `commandLine` (system code page). Fails the test and returns an empty
  // process on error.
  static Process Start(const std::string& commandLine, const std::string& workDir = "");
  // The same from UTF-16, as the shell starts a program: names that the code page cannot
  // spell reach it as they are.
  static Process Start(const std::wstring& commandLine, const std::wstring& workDir = L"");
  DWORD pid() const { return pid_; }
  HANDLE handle() const { return h_; }
  bool running() const;
  // Exit code, or STILL_ACTIVE after a watchdog timeout (recorded as a test failure).
  DWORD Wait(DWORD timeoutMs = kDefaultWait);

 private:
  HANDLE h_ = nullptr;
  DWORD pid_ = 0;
};

struct RunOptions {
  std::string input;             // written to standard input, which is then closed
  HANDLE inputHandle = nullptr;  // instead of `input`: an inheritable handle read as it is
  std::string workDir;           // empty: this process's current folder
  DWORD creationFlags = 0;       // such as CREATE_NO_WINDOW
  DWORD timeoutMs = 60000;
};

struct RunResult {
  // STILL_ACTIVE when the program could not be started or did not end in time (both
  // recorded as test failures; one that did not end is killed).
  DWORD code = STILL_ACTIVE;
  std::string out, err;  // what it wrote, as written
};

// Runs a console program to its end with its standard output and error captured.
// Reading stops when the program has ended, not at the end of the pipes: a process it
// started (Wine's desktop process, for a first window) can hold them open much longer.
RunResult Run(const std::string& commandLine, const RunOptions& options = {});

// Sets environment variables of this process (an empty value removes one) until the
// object goes, then puts back what they were; programs started meanwhile inherit them.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::vector<std::pair<std::string, std::string>>& vars);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

// The Windows version that Wine reports to the executable `exe` (a file name), for the
// object's life; then Wine's settings for that program are put back as they were.
class WineVersion {
 public:
  explicit WineVersion(const std::string& exe);
  ~WineVersion();
  WineVersion(const WineVersion&) = delete;
  WineVersion& operator=(const WineVersion&) = delete;
  void Set(const char* version);

 private:
  std::string key_;
  RegistryPutBack putBack_;
};

// Wine takes its own copy of a system DLL even where the search finds another file of
// that name first; Windows takes the file it finds. For the object's life Wine does as
// Windows for the executable `exe` (a file name) and the DLLs `dlls` ("bcrypt"), so
// that a copy planted where that program searches is taken if it searches there.
class PreferPlantedDlls {
 public:
  PreferPlantedDlls(const std::string& exe, const std::vector<std::string>& dlls);
  ~PreferPlantedDlls();
  PreferPlantedDlls(const PreferPlantedDlls&) = delete;
  PreferPlantedDlls& operator=(const PreferPlantedDlls&) = delete;

 private:
  std::string key_;
  RegistryPutBack putBack_;
};

// Where process `pid` loaded the DLL `name` ("msimg32.dll") from; empty while it has not.
std::string LoadedModulePath(DWORD pid, const std::string& name);

}  // namespace vxtest
