#include "contracts/tempfiles.h"

#include "contracts/tempmark.h"

#include <cstdio>
#include <vector>

namespace {

std::string TempFolder() {
  char buf[MAX_PATH + 16] = {};
  DWORD n = ::GetTempPathA(MAX_PATH, buf);
  return n > 0 && n < MAX_PATH ? std::string(buf, n) : std::string();
}

}  // namespace

// A new file only (never one found in place), marked for deletion from its creation.
// It is recorded before it gets any data, so that a start after a power cut knows it
// for the job's own.
HANDLE CreateHeldFile(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE || tempmark::Mark(tempmark::kVelvoxKey, h, path)) return h;
  ::CloseHandle(h);
  tempmark::Discard(tempmark::kVelvoxKey, path);
  ::SetLastError(ERROR_CANTWRITE);
  return INVALID_HANDLE_VALUE;
}

void GiveUpHeldFile(HANDLE& held, const std::string& path) {
  ::CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
  tempmark::Discard(tempmark::kVelvoxKey, path);
}

BOOL CreateTempFile(std::string& path, const char* prefix, HANDLE& held) {
  path.clear();
  held = INVALID_HANDLE_VALUE;
  std::string folder = TempFolder();
  if (folder.empty()) return 0;
  // CREATE_NEW with the disposition set at creation: the file is the job's own from
  // its first moment (a name planted by someone else is skipped, never reused), and
  // there is no instant at which a kill would leave it behind.
  static unsigned counter = ::GetTickCount() ^ (::GetCurrentProcessId() << 4);
  for (unsigned tries = 0; tries < 0xFFFF; ++tries) {
    unsigned unique = counter++ & 0xFFFF;
    if (unique == 0) continue;
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "%s%X.tmp", prefix, unique);
    std::string candidate = folder + name;
    HANDLE h = CreateHeldFile(candidate);
    if (h != INVALID_HANDLE_VALUE) {
      path = candidate;
      held = h;
      return 1;
    }
    DWORD err = ::GetLastError();
    if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS && err != ERROR_ACCESS_DENIED &&
        err != ERROR_SHARING_VIOLATION)
      return 0;
  }
  return 0;
}

BOOL RenameTempFile(HANDLE held, std::string& path, const std::string& newPath) {
  // A rename by name would leave the disposition with the old name on some systems, and
  // the renamed plaintext would survive the handle.
  using SetInfoFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  auto setInfo = kernel ? reinterpret_cast<SetInfoFn>(reinterpret_cast<void*>(
                              ::GetProcAddress(kernel, "SetFileInformationByHandle")))
                        : nullptr;
  if (!setInfo || held == INVALID_HANDLE_VALUE) return 0;
  int chars = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, newPath.c_str(), -1, nullptr, 0);
  if (chars <= 1) return 0;
  std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + chars * sizeof(WCHAR));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, newPath.c_str(), -1, info->FileName, chars);
  info->FileNameLength = static_cast<DWORD>((chars - 1) * sizeof(WCHAR));
  // The new name is recorded before the file takes it: whichever name a power cut
  // leaves it with, a record names it. The other record goes.
  if (!tempmark::Mark(tempmark::kVelvoxKey, held, newPath)) {
    tempmark::Discard(tempmark::kVelvoxKey, newPath);
    return 0;
  }
  const bool renamed = setInfo(held, FileRenameInfo, info, static_cast<DWORD>(buf.size())) != 0;
  tempmark::Discard(tempmark::kVelvoxKey, renamed ? path : newPath);
  if (!renamed) return 0;
  path = newPath;
  return 1;
}

void RemoveStaleTempFiles() { tempmark::Sweep(tempmark::kVelvoxKey); }
