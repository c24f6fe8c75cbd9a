// tvxdrv.dll, the suite's mail-encryption add-on. The key dialogs tell it about every
// key a user has proven; it checks that the key is registered with the crypto and key
// library and records the key's name and algorithm, one line per announcement, in its
// per-user data file. The value it is given is never stored or kept.
//
// Data file: "tvxdrv.dat" in %TVXDRV_HOME% when that variable is set (tests point it at
// a scratch folder), otherwise in %APPDATA%\Norvane\TARVO-Pro. Line format:
// "<name>\t<algorithm code>\r\n".
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "contracts/tvdev.h"
#include "contracts/tvxdrv.h"

namespace {

std::string DataFolder() {
  char buf[MAX_PATH] = {};
  DWORD n = ::GetEnvironmentVariableA("TVXDRV_HOME", buf, MAX_PATH);
  if (n > 0 && n < MAX_PATH) return buf;
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf)))
    return {};
  std::string folder = buf;
  folder += "\\Norvane";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  folder += "\\TARVO-Pro";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

std::string DataFile() {
  std::string folder = DataFolder();
  return folder.empty() ? std::string() : folder + "\\tvxdrv.dat";
}

// Appends `text` as a whole or not at all (as far as one write call allows).
BOOL Record(const std::string& text, DWORD disposition, DWORD access) {
  const std::string path = DataFile();
  if (path.empty()) return FALSE;
  HANDLE f = ::CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return FALSE;
  DWORD put = 0;
  BOOL ok = text.empty() ||
            (::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) &&
             put == text.size());
  ::CloseHandle(f);
  return ok;
}

}  // namespace

extern "C" BOOL WINAPI TVXDRV_KeyValid(const char* name, const char* value, DWORD algorithm) {
  if (!name || !value || algorithm > KEY_ALG_AES) return FALSE;
  KeyInfo k{};
  if (::strnlen(name, sizeof k.Name) >= sizeof k.Name) return FALSE;
  std::strcpy(k.Name, name);
  if (!TVDEV_GetKeyInfoByName(&k, 0)) return FALSE;
  std::string line = name;
  line += '\t';
  line += std::to_string(algorithm);
  line += "\r\n";
  return Record(line, OPEN_ALWAYS, FILE_APPEND_DATA);
}

extern "C" BOOL WINAPI TVXDRV_KeyReset(void) {
  return Record(std::string(), CREATE_ALWAYS, GENERIC_WRITE);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
