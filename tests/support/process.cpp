#include "process.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "uidriver.h"

namespace vxtest {

namespace {

constexpr int kTries = 3;  // the first start and two more

std::string Utf8Of(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// Moves what the pipe holds now into `to`, without waiting for more.
void DrainAvailable(HANDLE pipe, std::string& to) {
  char buf[4096];
  DWORD avail = 0, got = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) && avail > 0 &&
         ReadFile(pipe, buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr) && got > 0)
    to.append(buf, got);
}

void CloseIfOpen(HANDLE& h) {
  if (h) CloseHandle(h);
  h = nullptr;
}

}  // namespace

bool CreateChild(const std::wstring& commandLine, const std::wstring& workDir, DWORD creationFlags,
                 STARTUPINFOW& si, PROCESS_INFORMATION& pi, DWORD& error) {
  const BOOL inherit = (si.dwFlags & STARTF_USESTDHANDLES) ? TRUE : FALSE;
  for (int attempt = 1;; ++attempt) {
    std::wstring cmd = commandLine;  // CreateProcessW may write into its command line
    pi = PROCESS_INFORMATION{};
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, inherit, creationFlags, nullptr,
                       workDir.empty() ? nullptr : workDir.c_str(), &si, &pi)) {
      error = 0;
      return true;
    }
    error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == kTries) {
      pi = PROCESS_INFORMATION{};
      return false;
    }
    std::fprintf(stderr,
                 "[   NOTE   ] starting '%s' failed with error 1359 (the new process's loader died "
                 "before the program ran); starting it again, try %d of %d\n",
                 Utf8Of(commandLine).c_str(), attempt + 1, kTries);
    std::fflush(stderr);
  }
}

Process::Process(Process&& o) noexcept : h_(o.h_), pid_(o.pid_) {
  o.h_ = nullptr;
  o.pid_ = 0;
}

Process& Process::operator=(Process&& o) noexcept {
  if (this != &o) {
    this->~Process();
    h_ = o.h_;
    pid_ = o.pid_;
    o.h_ = nullptr;
    o.pid_ = 0;
  }
  return *this;
}

Process::~Process() {
  if (h_) {
    if (running()) {
      TerminateProcess(h_, 255);
      WaitForSingleObject(h_, 5000);
    }
    CloseHandle(h_);
  }
}

Process Process::Start(const std::string& commandLine, const std::string& workDir) {
  return Start(Wide(commandLine), Wide(workDir));
}

Process Process::Start(const std::wstring& commandLine, const std::wstring& workDir) {
  Process p;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  DWORD error = 0;
  if (!CreateChild(commandLine, workDir, 0, si, pi, error)) {
    ADD_FAILURE() << "cannot start '" << Utf8Of(commandLine) << "': error " << error;
    return p;
  }
  CloseHandle(pi.hThread);
  p.h_ = pi.hProcess;
  p.pid_ = pi.dwProcessId;
  return p;
}

bool Process::running() const {
  return h_ && WaitForSingleObject(h_, 0) == WAIT_TIMEOUT;
}

DWORD Process::Wait(DWORD timeoutMs) {
  if (!h_) return STILL_ACTIVE;
  if (WaitForSingleObject(h_, timeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "process " << pid_ << " still running after " << timeoutMs
                  << " ms; visible windows:\n"
                  << DescribeWindows();
    return STILL_ACTIVE;
  }
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(h_, &code);
  return code;
}

RunResult Run(const std::string& commandLine, const RunOptions& options) {
  RunResult r;
  const std::string shown = Utf8Of(Wide(commandLine));
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE outR = nullptr, outW = nullptr, errR = nullptr, errW = nullptr, inR = nullptr, inW = nullptr;
  auto closeAll = [&] {
    for (HANDLE* h : {&outR, &outW, &errR, &errW, &inR, &inW}) CloseIfOpen(*h);
  };
  const bool pipedInput = options.inputHandle == nullptr;
  // The input pipe holds the whole text, so that writing it never waits for the child.
  if (!CreatePipe(&outR, &outW, &sa, 0) || !CreatePipe(&errR, &errW, &sa, 0) ||
      (pipedInput && !CreatePipe(&inR, &inW, &sa, static_cast<DWORD>(options.input.size() + 1)))) {
    ADD_FAILURE() << "cannot make the pipes for '" << shown << "': error " << GetLastError();
    closeAll();
    return r;
  }
  SetHandleInformation(outR, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errR, HANDLE_FLAG_INHERIT, 0);
  if (inW) SetHandleInformation(inW, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = pipedInput ? inR : options.inputHandle;
  si.hStdOutput = outW;
  si.hStdError = errW;
  PROCESS_INFORMATION pi{};
  DWORD error = 0;
  const bool started = CreateChild(Wide(commandLine), Wide(options.workDir), options.creationFlags, si, pi, error);
  // The child holds its own ends now; the pipes end with it.
  CloseIfOpen(outW);
  CloseIfOpen(errW);
  CloseIfOpen(inR);
  if (!started) {
    ADD_FAILURE() << "cannot start '" << shown << "': error " << error;
    closeAll();
    return r;
  }
  CloseHandle(pi.hThread);
  if (inW) {
    DWORD put = 0;
    if (!options.input.empty() &&
        (!WriteFile(inW, options.input.data(), static_cast<DWORD>(options.input.size()), &put, nullptr) ||
         put != options.input.size()))
      ADD_FAILURE() << "cannot give '" << shown << "' its input: error " << GetLastError();
    CloseIfOpen(inW);
  }
  bool ended = false;
  for (const DWORD start = GetTickCount();;) {
    DrainAvailable(outR, r.out);
    DrainAvailable(errR, r.err);
    if (ended) break;  // drained once more after the end
    ended = WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0;
    if (!ended && GetTickCount() - start > options.timeoutMs) break;
  }
  if (ended) {
    GetExitCodeProcess(pi.hProcess, &r.code);
  } else {
    ADD_FAILURE() << "'" << shown << "' still running after " << options.timeoutMs << " ms; killed";
    TerminateProcess(pi.hProcess, 255);
    WaitForSingleObject(pi.hProcess, 5000);
    r.code = STILL_ACTIVE;
  }
  CloseHandle(pi.hProcess);
  closeAll();
  return r;
}

ScopedEnvironment::ScopedEnvironment(const std::vector<std::pair<std::string, std::string>>& vars) {
  for (const auto& [name, value] : vars) {
    const DWORD n = ::GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    std::string old(n, '\0');
    if (n > 0) old.resize(::GetEnvironmentVariableA(name.c_str(), old.data(), n));
    saved_.emplace_back(name, old);
    ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
    ::SetEnvironmentVariableA(it->first.c_str(), it->second.empty() ? nullptr : it->second.c_str());
}

WineVersion::WineVersion(const std::string& exe)
    : key_("Software\\Wine\\AppDefaults\\" + exe), putBack_(HKEY_CURRENT_USER, key_) {}

WineVersion::~WineVersion() = default;

void WineVersion::Set(const char* version) {
  HKEY h;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                              nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExA(h, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>(strlen(version) + 1));
  ::RegCloseKey(h);
}

PreferPlantedDlls::PreferPlantedDlls(const std::string& exe, const std::vector<std::string>& dlls)
    : key_("Software\\Wine\\AppDefaults\\" + exe), putBack_(HKEY_CURRENT_USER, key_) {
  HKEY h = nullptr;
  const LONG created = ::RegCreateKeyExA(HKEY_CURRENT_USER, (key_ + "\\DllOverrides").c_str(), 0,
                                         nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr);
  EXPECT_EQ(created, ERROR_SUCCESS) << key_;
  if (created != ERROR_SUCCESS) return;
  static const char kOrder[] = "native,builtin";
  for (const std::string& dll : dlls)
    ::RegSetValueExA(h, dll.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kOrder),
                     sizeof kOrder);
  ::RegCloseKey(h);
}

// Wine's settings for the program, a version or overrides of its own included, are put
// back by putBack_.
PreferPlantedDlls::~PreferPlantedDlls() = default;

std::string LoadedModulePath(DWORD pid, const std::string& name) {
  HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
  if (snap == INVALID_HANDLE_VALUE) return {};
  MODULEENTRY32 me{};
  me.dwSize = sizeof me;
  std::string path;
  for (BOOL ok = ::Module32First(snap, &me); ok && path.empty(); ok = ::Module32Next(snap, &me))
    if (::lstrcmpiA(me.szModule, name.c_str()) == 0) path = me.szExePath;
  ::CloseHandle(snap);
  return path;
}

}  // namespace vxtest
