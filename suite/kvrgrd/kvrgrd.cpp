// The guard client library. A process proves itself with the answer to a fresh random
// challenge (the deployment's shared secret, see authresponse.h) and may then register
// itself for paths. The guard keeps, per process, the authentication and the
// registrations, and writes every request and its answer to kvrgrd.log in its folder
// (%KVRGRD_HOME%, else Norvane\TARVO-Pro\Guard under the common application-data
// folder), where the suite's tools and tests read them. The guard's policy, kvrgrd.ini,
// may list in [GUARD] REFUSE paths for which registrations are refused (separated by
// ';'). It is the administrator's, in Norvane\TARVO-Pro itself, which only administrators
// write: users append to the journal's folder, and a policy there would let any of them
// refuse every registration of every user. No environment variable moves it: any
// program of a user can set the variables of that user's later processes
// (HKCU\Environment), and one that names a folder of its own would lift what the
// administrator refused, or refuse everything. The journal may follow %KVRGRD_HOME%: it
// holds what this process asked, which the process could write anywhere itself.
#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "contracts/authresponse.h"
#include "contracts/guard.h"
#include "suite_common.h"

namespace {

enum Result : DWORD {
  kOk = 0,
  kBadArgument = 87,     // ERROR_INVALID_PARAMETER
  kDenied = 5,           // ERROR_ACCESS_DENIED
  kNotRegistered = 1168, // ERROR_NOT_FOUND
  kNoChallenge = 1,
};

struct Registration {
  std::string path;
  DWORD pid;
};

CRITICAL_SECTION g_lock;
bool g_authenticated = false;
bool g_challengePending = false;
BYTE g_challenge[16];
DWORD g_nextId = 1;
std::map<DWORD, Registration> g_registrations;

class Lock {
 public:
  Lock() { ::EnterCriticalSection(&g_lock); }
  ~Lock() { ::LeaveCriticalSection(&g_lock); }
};

std::string Folder() { return suite::ComponentFolder("KVRGRD_HOME", "Guard"); }

void Journal(const std::string& line) {
  const std::string folder = Folder();
  if (!folder.empty())
    suite::AppendLine(folder + "\\kvrgrd.log",
                      suite::TimeStamp() + " pid=" + std::to_string(::GetCurrentProcessId()) +
                          " " + suite::AcpToUtf8(line));
}

std::string PolicyFile() {
  char buffer[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer))) return {};
  return std::string(buffer) + "\\Norvane\\TARVO-Pro\\kvrgrd.ini";
}

bool Refused(const std::string& path) {
  const std::string policy = PolicyFile();
  if (policy.empty()) return false;
  char list[1024] = {};
  ::GetPrivateProfileStringA("GUARD", "REFUSE", "", list, sizeof(list), policy.c_str());
  std::string rest = list;
  while (!rest.empty()) {
    const size_t semi = rest.find(';');
    const std::string item = rest.substr(0, semi);
    if (!item.empty() && ::lstrcmpiA(item.c_str(), path.c_str()) == 0) return true;
    if (semi == std::string::npos) break;
    rest.erase(0, semi + 1);
  }
  return false;
}

bool SameBytes(const BYTE* a, const BYTE* b, size_t n) {
  BYTE diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) TGDRV_BLOCK WINAPI TGDRV_GetRnd() {
  Lock lock;
  TGDRV_BLOCK out = {};
  if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, g_challenge, sizeof(g_challenge),
                                       BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    std::memcpy(out.bytes, g_challenge, sizeof(g_challenge));
    g_challengePending = true;
  } else {
    g_challengePending = false;
  }
  Journal(g_challengePending ? "challenge" : "challenge failed");
  return out;
}

__declspec(dllexport) DWORD WINAPI TGDRV_Auth(TGDRV_BLOCK response) {
  Lock lock;
  if (!g_challengePending) {
    Journal("auth refused: no challenge");
    return kNoChallenge;
  }
  // One answer per challenge: a wrong guess needs a new challenge.
  g_challengePending = false;
  BYTE expected[16];
  const bool computed = ComputeAuthResponse(g_challenge, expected);
  const bool right = computed && SameBytes(expected, response.bytes, sizeof(expected));
  ::SecureZeroMemory(expected, sizeof(expected));
  ::SecureZeroMemory(g_challenge, sizeof(g_challenge));
  g_authenticated = right;
  Journal(right ? "auth ok" : "auth refused");
  return right ? kOk : kDenied;
}

__declspec(dllexport) DWORD WINAPI TGDRV_AddProcess(const char* path, DWORD processId,
                                                    DWORD* id) {
  Lock lock;
  if (!path || !id || ::strnlen(path, MAX_PATH) >= MAX_PATH) {
    Journal("add refused: bad argument");
    return kBadArgument;
  }
  const std::string p = path;
  const std::string what = "path=" + p + " process=" + std::to_string(processId);
  // A client registers its own process only: the authentication proves this process.
  if (!g_authenticated || processId != ::GetCurrentProcessId()) {
    Journal("add refused: not authenticated " + what);
    return kDenied;
  }
  if (Refused(p)) {
    Journal("add refused: policy " + what);
    return kDenied;
  }
  const DWORD newId = g_nextId++;
  g_registrations[newId] = {p, processId};
  *id = newId;
  Journal("add id=" + std::to_string(newId) + " " + what);
  return kOk;
}

__declspec(dllexport) DWORD WINAPI TGDRV_DeleteProcess(DWORD id) {
  Lock lock;
  auto it = g_registrations.find(id);
  if (it == g_registrations.end()) {
    Journal("delete refused: unknown id=" + std::to_string(id));
    return kNotRegistered;
  }
  Journal("delete id=" + std::to_string(id) + " path=" + it->second.path);
  g_registrations.erase(it);
  return kOk;
}

__declspec(dllexport) DWORD WINAPI TGDRV_CancelAuth() {
  Lock lock;
  if (!g_authenticated) {
    Journal("cancel refused: not authenticated");
    return kDenied;
  }
  g_authenticated = false;
  Journal("cancel");
  return kOk;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::InitializeCriticalSection(&g_lock);
  if (reason == DLL_PROCESS_DETACH) ::DeleteCriticalSection(&g_lock);
  return TRUE;
}
