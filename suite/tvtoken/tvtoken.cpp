// tvtoken.dll, the suite's software token: a token plug-in that reads key names and
// values from a token file instead of a hardware token.
//
// Where the token is: "tvtoken.ini" beside this library, section [TOKEN], names a folder
// with FOLDER=; the token file "tvtoken.tok" is then looked for in that folder only.
// Without a folder the root of every removable drive is searched and the first drive
// holding the file is the token. A token that is not there is asked for with Retry and
// Cancel; a sealed token asks for its PIN in the plug-in's own prompt. Cancelling either
// answers TOKEN_CANCELLED.
//
// One session at a time: TPP_Initialize finds the token, TPP_GetKeyInfo reads it into a
// buffer that only TPP_FreeBuffer (or TPP_Shutdown) gives back, wiped.
#include <windows.h>

#include <cstring>
#include <map>
#include <new>
#include <algorithm>
#include <string>
#include <vector>

#include "contracts/tokenplugin.h"
#include "crypto.h"
#include "tokenfile.h"
#include "tvtoken_res.h"

namespace {

HINSTANCE g_instance = nullptr;
bool g_initialized = false;
std::string g_tokenPath;
std::map<TokenKeyRecord*, DWORD> g_buffers;  // handed out and not yet given back

std::string LoadText(UINT id) {
  char buf[512] = {};
  int n = ::LoadStringA(g_instance, id, buf, sizeof buf);
  return std::string(buf, n > 0 ? n : 0);
}

std::string OwnFolder() {
  char buf[MAX_PATH] = {};
  DWORD n = ::GetModuleFileNameA(g_instance, buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string path(buf, n);
  // The last backslash that is not the trail byte of a double-byte character.
  size_t slash = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (::IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size())
      ++i;
    else if (path[i] == '\\')
      slash = i;
  }
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsFile(const std::string& path) {
  DWORD a = ::GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string JoinPath(const std::string& folder, const char* name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  return path + name;
}

// The token file, or empty when no token is there.
std::string FindToken() {
  char folder[MAX_PATH] = {};
  const std::string ini = JoinPath(OwnFolder(), "tvtoken.ini");
  ::GetPrivateProfileStringA("TOKEN", "FOLDER", "", folder, MAX_PATH, ini.c_str());
  if (folder[0]) {
    std::string path = JoinPath(folder, tvtoken::kTokenFileName);
    return IsFile(path) ? path : std::string();
  }
  // An empty drive must not raise the system's "insert a disk" box.
  UINT oldMode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  std::string found;
  DWORD drives = ::GetLogicalDrives();
  for (int i = 0; i < 26 && found.empty(); ++i) {
    if (!(drives & (1u << i))) continue;
    const char root[] = {static_cast<char>('A' + i), ':', '\\', 0};
    if (::GetDriveTypeA(root) != DRIVE_REMOVABLE) continue;
    std::string path = std::string(root) + tvtoken::kTokenFileName;
    if (IsFile(path)) found = path;
  }
  ::SetErrorMode(oldMode);
  return found;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* out) {
  HANDLE f = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = ::GetFileSizeEx(f, &size) && size.QuadPart <= (LONGLONG)tvtoken::kMaxFileSize;
  if (ok) {
    out->assign(static_cast<size_t>(size.QuadPart), 0);
    DWORD got = 0;
    ok = out->empty() || (::ReadFile(f, out->data(), static_cast<DWORD>(out->size()), &got, nullptr) &&
                          got == out->size());
  }
  ::CloseHandle(f);
  return ok;
}

struct PinPrompt {
  const std::vector<uint8_t>* file;
  TokenKeyRecord* records = nullptr;
  DWORD count = 0;
  tvtoken::Decoded result = tvtoken::Decoded::WrongPin;
};

constexpr size_t kPinRoom = 64;

// Overwrites the PIN inside the field's own buffer: the same number of filler characters,
// then nothing. Only emptying it would leave all but its first character in the buffer,
// which goes back to the heap as it is when the field is destroyed.
void WipePinField(HWND dlg) {
  HWND field = ::GetDlgItem(dlg, IDC_TVTOKEN_PIN);
  if (!field) return;
  const int n = ::GetWindowTextLengthW(field);
  if (n > 0) ::SetWindowTextW(field, std::wstring(static_cast<size_t>(n), L'*').c_str());
  // What was typed and deleted again stays behind the end of the text.
  ::SetWindowTextW(field, std::wstring(std::max<size_t>(n, kPinRoom), L'*').c_str());
  ::SetWindowTextW(field, L"");
}

INT_PTR CALLBACK PinProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_DESTROY:
      WipePinField(dlg);
      return FALSE;
    case WM_INITDIALOG:
      ::SetWindowLongPtrA(dlg, DWLP_USER, lParam);
      ::SendDlgItemMessageA(dlg, IDC_TVTOKEN_PIN, EM_LIMITTEXT, kPinRoom - 1, 0);
      // Room for the longest PIN before it is typed: a buffer that grows leaves the old
      // block, with the first characters typed, behind in the heap.
      ::SetDlgItemTextW(dlg, IDC_TVTOKEN_PIN, std::wstring(kPinRoom, L'*').c_str());
      ::SetDlgItemTextW(dlg, IDC_TVTOKEN_PIN, L"");
      ::SetFocus(::GetDlgItem(dlg, IDC_TVTOKEN_PIN));
      return FALSE;
    case WM_COMMAND: {
      auto* p = reinterpret_cast<PinPrompt*>(::GetWindowLongPtrA(dlg, DWLP_USER));
      if (LOWORD(wParam) == IDCANCEL) {
        WipePinField(dlg);
        ::EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      if (LOWORD(wParam) != IDOK || !p) return FALSE;
      char pin[64] = {};
      // Read as UTF-16 into a buffer wiped here: the ANSI call converts in a buffer of
      // the system's own that nobody wipes.
      wchar_t wide[64] = {};
      const int got = ::GetDlgItemTextW(dlg, IDC_TVTOKEN_PIN, wide, 64);
      if (got > 0) ::WideCharToMultiByte(CP_ACP, 0, wide, got, pin, sizeof pin - 1, nullptr, nullptr);
      tvdev::crypto::Wipe(wide, sizeof wide);
      // The field is wiped whatever happens: its own buffer should not keep the PIN.
      WipePinField(dlg);
      ::SetCursor(::LoadCursorA(nullptr, IDC_WAIT));
      p->result = tvtoken::Decode(p->file->data(), p->file->size(), pin, &p->records, &p->count);
      tvdev::crypto::Wipe(pin, sizeof pin);
      ::SetCursor(::LoadCursorA(nullptr, IDC_ARROW));
      if (p->result == tvtoken::Decoded::WrongPin) {
        ::SetDlgItemTextA(dlg, IDC_TVTOKEN_PIN_ERROR, LoadText(IDS_TVTOKEN_WRONG_PIN).c_str());
        ::SetFocus(::GetDlgItem(dlg, IDC_TVTOKEN_PIN));
        return TRUE;
      }
      ::EndDialog(dlg, IDOK);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

DWORD ToTokenError(tvtoken::Decoded d) {
  switch (d) {
    case tvtoken::Decoded::Ok:
      return TOKEN_OK;
    case tvtoken::Decoded::NoMemory:
      return TOKEN_NO_MEMORY;
    case tvtoken::Decoded::UnknownVersion:
      return TOKEN_INCOMPATIBLE;
    default:
      return TOKEN_INVALID_PLUGIN;
  }
}

void ReleaseAllBuffers() {
  for (auto& [records, count] : g_buffers) tvtoken::FreeRecords(records, count);
  g_buffers.clear();
}

}  // namespace

extern "C" DWORD WINAPI TPP_Initialize(HWND owner, DWORD reserved) {
  if (reserved != 0 || (owner && !::IsWindow(owner))) return TOKEN_INVALID_PARAMETER;
  ReleaseAllBuffers();
  g_initialized = false;
  for (;;) {
    g_tokenPath = FindToken();
    if (!g_tokenPath.empty()) break;
    if (::MessageBoxA(owner, LoadText(IDS_TVTOKEN_NOT_FOUND).c_str(),
                      LoadText(IDS_TVTOKEN_CAPTION).c_str(),
                      MB_RETRYCANCEL | MB_ICONEXCLAMATION) != IDRETRY)
      return TOKEN_CANCELLED;
  }
  g_initialized = true;
  return TOKEN_OK;
}

extern "C" DWORD WINAPI TPP_GetKeyInfo(HWND owner, DWORD* count, TokenKeyRecord** records,
                                       DWORD reserved) {
  if (!count || !records || reserved != 0 || (owner && !::IsWindow(owner)) || !g_initialized)
    return TOKEN_INVALID_PARAMETER;
  *count = 0;
  *records = nullptr;
  std::vector<uint8_t> file;
  if (!ReadFileBytes(g_tokenPath, &file)) return TOKEN_INVALID_PLUGIN;
  PinPrompt prompt{&file};
  if (tvtoken::IsSealed(file.data(), file.size())) {
    prompt.result = tvtoken::Decoded::NeedPin;
    // The header is checked before the user is asked for anything.
    tvtoken::Decoded header = tvtoken::Decode(file.data(), file.size(), nullptr, &prompt.records,
                                              &prompt.count);
    if (header != tvtoken::Decoded::NeedPin) return ToTokenError(header);
    if (::DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_TVTOKEN_PIN), owner, PinProc,
                          reinterpret_cast<LPARAM>(&prompt)) != IDOK)
      return TOKEN_CANCELLED;
  } else {
    prompt.result = tvtoken::Decode(file.data(), file.size(), nullptr, &prompt.records,
                                    &prompt.count);
    tvdev::crypto::Wipe(file.data(), file.size());
  }
  if (prompt.result != tvtoken::Decoded::Ok) return ToTokenError(prompt.result);
  // A token without keys still answers with a buffer, so that every success has one to
  // give back.
  if (!prompt.records) {
    prompt.records = new (std::nothrow) TokenKeyRecord[1]();
    if (!prompt.records) return TOKEN_NO_MEMORY;
  }
  g_buffers[prompt.records] = prompt.count ? prompt.count : 1;
  *records = prompt.records;
  *count = prompt.count;
  return TOKEN_OK;
}

extern "C" DWORD WINAPI TPP_FreeBuffer(HWND, TokenKeyRecord* records, DWORD reserved) {
  auto it = g_buffers.find(records);
  if (reserved != 0 || it == g_buffers.end()) return TOKEN_INVALID_PARAMETER;
  tvtoken::FreeRecords(it->first, it->second);
  g_buffers.erase(it);
  return TOKEN_OK;
}

extern "C" DWORD WINAPI TPP_Shutdown(HWND, DWORD reserved) {
  if (reserved != 0) return TOKEN_INVALID_PARAMETER;
  ReleaseAllBuffers();
  g_initialized = false;
  g_tokenPath.clear();
  return TOKEN_OK;
}

extern "C" DWORD WINAPI TPP_GetVesion(DWORD* version, DWORD reserved) {
  if (!version || reserved != 0) return TOKEN_INVALID_PARAMETER;
  *version = MAKELONG(0, 1);
  return TOKEN_OK;
}

extern "C" DWORD WINAPI TPP_ShowVesion(HWND owner, DWORD reserved) {
  if (reserved != 0) return TOKEN_INVALID_PARAMETER;
  ::MessageBoxA(owner, LoadText(IDS_TVTOKEN_VERSION).c_str(), LoadText(IDS_TVTOKEN_CAPTION).c_str(),
                MB_OK | MB_ICONINFORMATION);
  return TOKEN_OK;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_instance = instance;
  if (reason == DLL_PROCESS_DETACH) ReleaseAllBuffers();
  return TRUE;
}
