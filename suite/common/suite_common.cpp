#include "suite_common.h"

#include <shlobj.h>

#include <cstdio>

namespace suite {

std::string ComponentFolder(const char* envOverride, const char* sub) {
  char buffer[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableA(envOverride, buffer, MAX_PATH);
  std::string folder;
  if (n > 0 && n < MAX_PATH) {
    folder = buffer;
  } else {
    if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer))) return {};
    folder = std::string(buffer) + "\\Norvane\\TARVO-Pro\\" + sub;
  }
  if (::SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr) != ERROR_SUCCESS &&
      ::GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
    return {};
  return folder;
}

std::string WideToUtf8(const std::wstring& wide) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::string AcpToUtf8(const std::string& acp) {
  const int n =
      ::MultiByteToWideChar(CP_ACP, 0, acp.data(), static_cast<int>(acp.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, acp.data(), static_cast<int>(acp.size()), wide.data(), n);
  return WideToUtf8(wide);
}

std::string TimeStamp() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  char text[32];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

bool AppendLine(const std::string& path, const std::string& line) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const std::string text = line + "\r\n";
  DWORD put = 0;
  const bool ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) &&
                  put == text.size();
  ::CloseHandle(h);
  return ok;
}

std::string ReadMachineString(const char* key, const char* value) {
  char buffer[1024] = {};
  DWORD size = sizeof(buffer) - 1;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS)
    return {};
  return buffer;
}

DWORD ReadMachineDword(const char* key, const char* value, DWORD fallback) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_DWORD, nullptr, &data, &size) !=
      ERROR_SUCCESS)
    return fallback;
  return data;
}

}  // namespace suite
