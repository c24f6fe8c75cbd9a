#include "testfiles.h"

#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>
#include <ntdef.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "process.h"

namespace vxtest {

void RemoveTree(const std::string& path) {
  if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  std::string from = path;
  from.push_back('\0');  // the shell takes a list ending in an empty name
  SHFILEOPSTRUCTA op{};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NO_UI;
  const int result = ::SHFileOperationA(&op);
  // Whatever stays would be taken for the next test's fresh content.
  if (result != 0 || op.fAnyOperationsAborted || ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
    ADD_FAILURE() << "cannot remove " << path << ": the shell answered " << result
                  << (op.fAnyOperationsAborted ? " (aborted)" : "");
}

void PutFile(const std::wstring& path, const std::string& data) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot create a file, error " << ::GetLastError();
  DWORD n = 0;
  const BOOL written = data.empty() || ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
  ::CloseHandle(h);
  ASSERT_TRUE(written && n == data.size()) << "cannot write a file";
}

namespace {

std::string ReadWhole(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<cannot open>";
  std::string out;
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n) out.append(buf, n);
  ::CloseHandle(h);
  return out;
}

void TreeBelow(const std::wstring& root, const std::wstring& rel, std::map<std::wstring, std::string>& out) {
  WIN32_FIND_DATAW fd;
  HANDLE f = ::FindFirstFileW((root + (rel.empty() ? L"" : L"\\" + rel) + L"\\*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring n = fd.cFileName;
    if (n == L"." || n == L"..") continue;
    const std::wstring r = rel.empty() ? n : rel + L"\\" + n;
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      out[r] = ReadWhole(root + L"\\" + r);
    } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      out[r] = "<link>";
    } else {
      out[r] = "<dir>";
      TreeBelow(root, r, out);
    }
  } while (::FindNextFileW(f, &fd));
  ::FindClose(f);
}

}  // namespace

std::map<std::wstring, std::string> TreeOf(const std::wstring& root) {
  std::map<std::wstring, std::string> out;
  TreeBelow(root, L"", out);
  return out;
}

namespace {

std::wstring WideOf(const std::string& acp) {
  std::wstring w(acp.size() + 1, L'\0');
  w.resize(static_cast<size_t>(::MultiByteToWideChar(CP_ACP, 0, acp.c_str(), -1, w.data(), static_cast<int>(w.size())) - 1));
  return w;
}

bool IsFolderLink(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Waits (ten seconds at most) until `done` holds.
template <typename Done>
bool WaitFor(Done done) {
  for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 10000; ::Sleep(10))
    if (done()) return true;
  return done();
}

// A junction, which on Windows any user may make in a folder they can write to.
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!::CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE h = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool made = false;
  if (h != INVALID_HANDLE_VALUE) {
    const std::wstring substitute = L"\\??\\" + target, print = target;
    const size_t s = substitute.size() * sizeof(wchar_t), p = print.size() * sizeof(wchar_t);
    std::vector<unsigned char> buf(offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer) + s + p + 4);
    auto* r = reinterpret_cast<REPARSE_DATA_BUFFER*>(buf.data());
    r->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    r->ReparseDataLength = static_cast<USHORT>(buf.size() - offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer));
    r->MountPointReparseBuffer.SubstituteNameOffset = 0;
    r->MountPointReparseBuffer.SubstituteNameLength = static_cast<USHORT>(s);
    r->MountPointReparseBuffer.PrintNameOffset = static_cast<USHORT>(s + 2);
    r->MountPointReparseBuffer.PrintNameLength = static_cast<USHORT>(p);
    auto* names = reinterpret_cast<unsigned char*>(r->MountPointReparseBuffer.PathBuffer);
    std::memcpy(names, substitute.c_str(), s + 2);
    std::memcpy(names + s + 2, print.c_str(), p + 2);
    DWORD got = 0;
    made = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buf.data(), static_cast<DWORD>(buf.size()), nullptr, 0,
                             &got, nullptr) != 0;
    ::CloseHandle(h);
  }
  if (!made) ::RemoveDirectoryW(link.c_str());
  return made && IsFolderLink(link);
}

// The host's name of a Windows path, under Wine; empty elsewhere.
std::string HostName(const std::wstring& path) {
  using Fn = char*(CDECL*)(LPCWSTR);
  const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = fn ? fn(path.c_str()) : nullptr;
  if (!name) return {};
  std::string out = name;
  ::HeapFree(::GetProcessHeap(), 0, name);
  return out;
}

// Starts a program of the host (UTF-8 command line) through Wine, which gives no handle
// to wait on: the caller waits for its effect.
bool StartHost(const std::string& command) {
  std::wstring w(command.size() + 1, L'\0');
  w.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, w.data(), static_cast<int>(w.size())) - 1));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  DWORD error = 0;
  if (!CreateChild(w, L"", 0, si, pi, error)) {
    ::SetLastError(error);
    return false;
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return true;
}

}  // namespace

// Wine 8 makes neither junctions (FSCTL_SET_REPARSE_POINT fails) nor symbolic links
// (CreateSymbolicLinkW reports success and makes nothing), but it shows a symbolic link
// of the host to a folder as a reparse point, as Windows shows a junction. There the
// host's ln makes the link.
FolderLink::FolderLink(const std::string& link, const std::string& target) {
  const std::wstring l = WideOf(link), t = WideOf(target);
  if (::GetFileAttributesW(l.c_str()) != INVALID_FILE_ATTRIBUTES) {
    error_ = link + " exists already";
    return;
  }
  if (MakeJunction(l, t)) {
    link_ = link;
    return;
  }
  const std::string hostLink = HostName(l), hostTarget = HostName(t);
  if (hostLink.empty() || hostTarget.empty()) {
    error_ = "cannot make a junction at " + link + " (error " + std::to_string(::GetLastError()) + ")";
    return;
  }
  host_ = true;
  if (!StartHost("/bin/ln -s \"" + hostTarget + "\" \"" + hostLink + "\"")) {
    error_ = "cannot start the host's ln (error " + std::to_string(::GetLastError()) + ")";
    return;
  }
  link_ = link;
  if (!WaitFor([&] { return IsFolderLink(l); }))
    error_ = link + " is not shown as a reparse point (attributes " +
             std::to_string(::GetFileAttributesW(l.c_str())) + ")";
}

FolderLink::~FolderLink() {
  if (link_.empty()) return;
  const std::wstring l = WideOf(link_);
  if (!host_) {
    ::RemoveDirectoryW(l.c_str());  // a junction: the link alone
    return;
  }
  // Wine's RemoveDirectoryW follows the link (and finds its folder not empty): the host
  // removes the link.
  const std::string hostLink = HostName(l);
  if (!hostLink.empty() && StartHost("/bin/rm -f \"" + hostLink + "\""))
    WaitFor([&] { return ::GetFileAttributesW(l.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

FilesPutBack::FilesPutBack(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    std::ifstream in(path, std::ios::binary);
    Saved saved{path, in.good(), {}};
    if (saved.existed) saved.content.assign(std::istreambuf_iterator<char>(in), {});
    saved_.push_back(std::move(saved));
  }
}

FilesPutBack::~FilesPutBack() {
  for (const Saved& saved : saved_) {
    // A program's cached copy of a settings file must not write it back later.
    ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, saved.path.c_str());
    if (saved.existed) {
      std::ofstream(saved.path, std::ios::binary | std::ios::trunc) << saved.content;
      continue;
    }
    if (::DeleteFileA(saved.path.c_str())) continue;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      ADD_FAILURE() << "cannot remove " << saved.path << ": error " << error;
  }
}

struct RegistryPutBack::Tree {
  struct Value {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::vector<Value> values;
  std::vector<std::pair<std::wstring, Tree>> keys;
};

namespace {

using Tree = RegistryPutBack::Tree;

bool ReadTree(HKEY key, Tree& tree) {
  DWORD subkeys = 0, longestKey = 0, values = 0, longestName = 0, longestData = 0;
  if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestKey, nullptr, &values,
                         &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  for (DWORD i = 0; i < values; ++i) {
    std::wstring name(longestName + 1, L'\0');
    Tree::Value v{{}, 0, std::vector<BYTE>(longestData + 1)};
    DWORD nameSize = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(v.data.size());
    if (::RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &v.type, v.data.data(),
                        &dataSize) != ERROR_SUCCESS)
      return false;
    v.name = name.substr(0, nameSize);
    v.data.resize(dataSize);
    tree.values.push_back(std::move(v));
  }
  for (DWORD i = 0; i < subkeys; ++i) {
    std::wstring name(longestKey + 1, L'\0');
    DWORD nameSize = static_cast<DWORD>(name.size());
    if (::RegEnumKeyExW(key, i, name.data(), &nameSize, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      return false;
    name.resize(nameSize);
    HKEY sub = nullptr;
    if (::RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) return false;
    Tree child;
    const bool read = ReadTree(sub, child);
    ::RegCloseKey(sub);
    if (!read) return false;
    tree.keys.emplace_back(name, std::move(child));
  }
  return true;
}

bool WriteTree(HKEY root, const std::wstring& subkey, const Tree& tree) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  bool ok = true;
  for (const Tree::Value& v : tree.values)
    ok = ::RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(),
                          static_cast<DWORD>(v.data.size())) == ERROR_SUCCESS && ok;
  for (const auto& [name, child] : tree.keys) ok = WriteTree(key, name, child) && ok;
  ::RegCloseKey(key);
  return ok;
}

}  // namespace

RegistryPutBack::RegistryPutBack(HKEY root, const std::string& subkey)
    : root_(root), subkey_(WideOf(subkey)) {
  HKEY key = nullptr;
  const LONG opened = ::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_READ, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return;
  if (opened != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot read " << subkey << ": error " << opened;
    return;
  }
  saved_ = new Tree();
  if (!ReadTree(key, *saved_)) ADD_FAILURE() << "cannot read all of " << subkey;
  ::RegCloseKey(key);
}

RegistryPutBack::~RegistryPutBack() {
  const LONG deleted = ::RegDeleteTreeW(root_, subkey_.c_str());
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
    ADD_FAILURE() << "cannot remove a registry key: error " << deleted;
  if (saved_ && !WriteTree(root_, subkey_, *saved_))
    ADD_FAILURE() << "cannot put a registry key back";
  delete saved_;
}

}  // namespace vxtest
