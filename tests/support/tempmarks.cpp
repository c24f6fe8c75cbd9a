#include "tempmarks.h"

#include "contracts/tempmark.h"

namespace vxtest {

bool LeaveAsAPowerCutWould(const wchar_t* key, const std::wstring& path, const std::string& content) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool marked = tempmark::Mark(key, h, path);
  DWORD n = 0;
  const bool written = WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &n, nullptr) &&
                       n == content.size();
  CloseHandle(h);
  return marked && written;
}

std::vector<std::wstring> RecordsBelow(const wchar_t* key, const std::wstring& folder) {
  std::vector<std::wstring> out;
  HKEY k;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return out;
  std::vector<wchar_t> name(16384);
  for (DWORD i = 0;; ++i) {
    DWORD chars = static_cast<DWORD>(name.size());
    if (RegEnumValueW(k, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::wstring path(name.data(), chars);
    if (path.size() > folder.size() && path[folder.size()] == L'\\' &&
        _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0)
      out.push_back(path);
  }
  RegCloseKey(k);
  return out;
}

RecordsGoWith::~RecordsGoWith() {
  HKEY k;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key_, 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
  for (const std::wstring& path : RecordsBelow(key_, folder_)) RegDeleteValueW(k, path.c_str());
  RegCloseKey(k);
}

}  // namespace vxtest
