#include "contracts/tempmark.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace tempmark {

namespace {

// A record's data (REG_BINARY): this layout on every build.
struct Identity {
  uint32_t volumeSerial;
  uint32_t indexHigh;
  uint32_t indexLow;
};
static_assert(sizeof(Identity) == 12, "a record's layout is fixed");

bool Identify(HANDLE h, Identity& id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

bool Same(const Identity& a, const Identity& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool NameIsFree(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
}

enum class Found { gone, other, ours, unknown };

// What the path names now, asked without any right that others' sharing could refuse.
Found Look(const std::wstring& path, const Identity& recorded) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return NameIsFree(GetLastError()) ? Found::gone : Found::unknown;
  Identity now;
  const Found found = !Identify(h, now) ? Found::unknown : Same(now, recorded) ? Found::ours : Found::other;
  CloseHandle(h);
  return found;
}

// Deletes what `path` names when it is the recorded file and nobody has it open; true
// when the record has served (the file is gone, or the name is someone else's now).
bool DeleteIfOurs(const std::wstring& path, const Identity& recorded) {
  // No sharing at all: an instance still at work holds its file, and this open fails
  // instead of leaving the file marked to go when that instance closes it. Not opened
  // delete-on-close: whose file it is is known only once it is open. A link is opened
  // itself, never what it points to.
  HANDLE h = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) return false;
    if (NameIsFree(error)) return true;
    // A folder now, a file this user may not delete, or one already being deleted:
    // the record goes only once the name is shown not to be the file.
    const Found found = Look(path, recorded);
    return found == Found::gone || found == Found::other;
  }
  Identity now;
  bool served = false;
  if (Identify(h, now)) {
    if (!Same(now, recorded)) {
      served = true;
    } else {
      FILE_DISPOSITION_INFO info{TRUE};
      served = SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
    }
  }
  CloseHandle(h);
  return served;
}

// One record: a malformed one goes, a well-formed one once it has served.
void Settle(HKEY key, const std::wstring& path) {
  Identity recorded;
  DWORD type = 0, size = sizeof recorded;
  const LONG read = RegQueryValueExW(key, path.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&recorded), &size);
  if (read == ERROR_FILE_NOT_FOUND) return;
  const bool wellFormed = read == ERROR_SUCCESS && type == REG_BINARY && size == sizeof recorded && !path.empty();
  if (!wellFormed || DeleteIfOurs(path, recorded)) RegDeleteValueW(key, path.c_str());
}

std::wstring FromCodePage(const std::string& s) {
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

}  // namespace

bool Mark(const wchar_t* key, HANDLE held, const std::wstring& path) {
  Identity id;
  if (path.empty() || !Identify(held, id)) return false;
  HKEY k;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) != ERROR_SUCCESS)
    return false;
  // Written through before the file gets any data: the system writes the hive back
  // lazily, and a power cut in between would leave a file that no record names.
  const bool ok = RegSetValueExW(k, path.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(&id), sizeof id) ==
                      ERROR_SUCCESS &&
                  RegFlushKey(k) == ERROR_SUCCESS;
  RegCloseKey(k);
  return ok;
}

bool Mark(const wchar_t* key, HANDLE held, const std::string& acpPath) {
  return Mark(key, held, FromCodePage(acpPath));
}

void Discard(const wchar_t* key, const std::wstring& path) {
  HKEY k;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
  Settle(k, path);
  RegCloseKey(k);
}

void Discard(const wchar_t* key, const std::string& acpPath) {
  const std::wstring path = FromCodePage(acpPath);
  if (!path.empty()) Discard(key, path);
}

void Sweep(const wchar_t* key) {
  HKEY k;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
  // Every name first: deleting values while enumerating them would skip some.
  std::vector<std::wstring> paths;
  std::vector<wchar_t> name(16384);
  for (DWORD i = 0;; ++i) {
    DWORD chars = static_cast<DWORD>(name.size());
    if (RegEnumValueW(k, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    paths.emplace_back(name.data(), chars);
  }
  for (const std::wstring& path : paths) Settle(k, path);
  RegCloseKey(k);
}

}  // namespace tempmark
