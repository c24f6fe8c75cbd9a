// The self-decrypting stub: it finds the encrypted payload appended to its own file,
// asks for the password (at most the payload's attempt limit, 0 meaning no limit), asks
// for a destination folder, decrypts the archive into a temporary file and extracts it
// there with the archiver's safe extraction. English or Japanese as the payload says.
//
// Exit codes: 0 extracted, 1 cancelled by the user before extraction, 2 damaged file,
// 3 attempt limit reached, 4 extraction cancelled, 5 extraction failed.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/tempmark.h"
#include "crypto.h"
#include "dllsearch.h"
#include "selfextract.h"
#include "stream.h"
#include "stub_res.h"
#include "zoras/extract.h"

using namespace tvdev;

namespace {

enum Exit { kExtracted = 0, kUserCancel = 1, kDamaged = 2, kTooMany = 3, kCancelled = 4, kFailed = 5 };

HINSTANCE g_instance;
int g_lang = 0;  // 0 English, kJapanese

std::wstring Text(int id) {
  wchar_t buf[512] = {};
  LoadStringW(g_instance, id + g_lang, buf, 512);
  return buf;
}

int Message(HWND owner, int id, UINT flags, const std::wstring& insert = L"") {
  std::wstring text = Text(id);
  const size_t at = text.find(L"%s");
  if (at != std::wstring::npos) text.replace(at, 2, insert);
  return MessageBoxW(owner, text.c_str(), Text(IDS_TITLE).c_str(), flags);
}

std::wstring Folder(const std::wstring& path) {
  const size_t at = path.find_last_of(L"\\/");
  return at == std::wstring::npos ? L"." : path.substr(0, at);
}

// ---- Password -----------------------------------------------------------------------

struct PasswordState {
  const stream::Payload* payload;
  uint8_t dataKey[32];
  unsigned attempts = 0;
};

INT_PTR CALLBACK PasswordProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* st = reinterpret_cast<PasswordState*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dlg, DWLP_USER, lp);
      SendDlgItemMessageW(dlg, IDC_PASSWORD, EM_LIMITTEXT, 255, 0);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      if (LOWORD(wp) == IDOK) {
        wchar_t typed[260] = {};
        GetDlgItemTextW(dlg, IDC_PASSWORD, typed, 260);
        if (!typed[0]) {
          Message(dlg, IDS_EMPTY_PASSWORD, MB_OK | MB_ICONEXCLAMATION);
          return TRUE;
        }
        // The same canonical form as the library that made the file; a text without
        // one (a space, a character outside ASCII) cannot be the password.
        std::optional<std::string> canonical = sfx::CanonicalPassword(std::wstring_view(typed));
        crypto::Wipe(typed, sizeof typed);
        const fmt::PayloadParams& p = st->payload->block.payload;
        uint8_t key[32] = {};
        HCURSOR old = SetCursor(LoadCursor(nullptr, IDC_WAIT));
        const bool right = canonical && sfx::PasswordKey(*canonical, p.salt, p.iterations, key) &&
                           stream::UnwrapDataKey(p, key, st->dataKey);
        SetCursor(old);
        if (canonical) crypto::Wipe(canonical->data(), canonical->size());
        crypto::Wipe(key, sizeof key);
        if (right) {
          EndDialog(dlg, IDOK);
          return TRUE;
        }
        ++st->attempts;
        if (p.attemptLimit != 0 && st->attempts >= p.attemptLimit) {
          Message(dlg, IDS_TOO_MANY, MB_OK | MB_ICONSTOP);
          EndDialog(dlg, IDABORT);
          return TRUE;
        }
        Message(dlg, IDS_WRONG_PASSWORD, MB_OK | MB_ICONEXCLAMATION);
        SetDlgItemTextW(dlg, IDC_PASSWORD, L"");
        SetFocus(GetDlgItem(dlg, IDC_PASSWORD));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

// ---- Destination folder -------------------------------------------------------------

// Wine's folder browser finds the proposed folder by comparing item ids, and its ids
// carry each folder's last-access time. On Linux the first listing of a folder after a
// change moves that time, so the browser's own walk down the path changes the folders
// it then compares, and a folder changed a moment ago (a new subfolder) is missed: the
// browser opens at the desktop. Listing each folder of the path once beforehand settles
// those times; on Windows it only costs a few directory reads.
void SettleFolderTimes(const std::wstring& path) {
  for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    for (const std::wstring& dir : {path.substr(0, at), path}) {
      WIN32_FIND_DATAW fd;
      HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &fd);
      if (f == INVALID_HANDLE_VALUE) continue;
      while (FindNextFileW(f, &fd)) {
      }
      FindClose(f);
    }
  }
}

int CALLBACK BrowseProc(HWND w, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED && data) SendMessageW(w, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

INT_PTR CALLBACK FolderProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* folder = reinterpret_cast<std::wstring*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dlg, DWLP_USER, lp);
      SetDlgItemTextW(dlg, IDC_FOLDER, reinterpret_cast<std::wstring*>(lp)->c_str());
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDCANCEL:
          EndDialog(dlg, IDCANCEL);
          return TRUE;
        case IDC_BROWSE: {
          wchar_t current[MAX_PATH] = {}, chosen[MAX_PATH] = {};
          GetDlgItemTextW(dlg, IDC_FOLDER, current, MAX_PATH);
          // The browser selects a folder only by its plain name: no trailing backslash
          // except on a drive root.
          for (size_t n = wcslen(current); n > 3 && current[n - 1] == L'\\'; --n) current[n - 1] = 0;
          SettleFolderTimes(current);
          const std::wstring title = Text(IDS_BROWSE_TITLE);
          BROWSEINFOW bi{};
          bi.hwndOwner = dlg;
          bi.lpszTitle = title.c_str();
          bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
          bi.lpfn = BrowseProc;
          bi.lParam = reinterpret_cast<LPARAM>(current);
          if (PIDLIST_ABSOLUTE pidl = SHBrowseForFolderW(&bi)) {
            if (SHGetPathFromIDListW(pidl, chosen)) SetDlgItemTextW(dlg, IDC_FOLDER, chosen);
            CoTaskMemFree(pidl);
          }
          return TRUE;
        }
        case IDOK: {
          wchar_t path[MAX_PATH] = {};
          GetDlgItemTextW(dlg, IDC_FOLDER, path, MAX_PATH);
          const DWORD a = GetFileAttributesW(path);
          if (!path[0] || a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
            Message(dlg, IDS_FOLDER_BAD, MB_OK | MB_ICONEXCLAMATION);
            SetFocus(GetDlgItem(dlg, IDC_FOLDER));
            return TRUE;
          }
          *folder = path;
          EndDialog(dlg, IDOK);
          return TRUE;
        }
      }
      break;
  }
  return FALSE;
}

// ---- Progress -----------------------------------------------------------------------

HWND g_progress = nullptr;
bool g_cancel = false;

INT_PTR CALLBACK ProgressProc(HWND, UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg == WM_COMMAND && LOWORD(wp) == IDCANCEL) {
    g_cancel = true;
    return TRUE;
  }
  return FALSE;
}

void Pump() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (g_progress && IsDialogMessageW(g_progress, &m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

// The bar runs 0..500 for decryption and 500..1000 for extraction.
void SetBar(unsigned pos) { SendDlgItemMessageW(g_progress, IDC_BAR, PBM_SETPOS, pos, 0); }

int WINAPI DecryptProgress(DWORD total, DWORD done, DWORD, DWORD, DWORD) {
  if (total) SetBar(static_cast<unsigned>(500.0 * done / total));
  Pump();
  return g_cancel ? 1 : 0;
}

class Events : public zoras::ExtractEvents {
 public:
  void on_total(uint64_t bytes) override { total_ = bytes; }
  void on_file_begin(const std::wstring& relative, const std::wstring&, uint64_t size) override {
    SetDlgItemTextW(g_progress, IDC_FILE, relative.c_str());
    size_ = size;
    Show(0);
  }
  void on_file_progress(unsigned percent) override { Show(percent); }
  void on_file_end() override { done_ += size_; size_ = 0; }
  zoras::ExistsAnswer on_exists(const std::wstring& path) override {
    switch (Message(g_progress, IDS_OVERWRITE, MB_YESNOCANCEL | MB_ICONQUESTION, path)) {
      case IDYES: return zoras::ExistsAnswer::overwrite;
      case IDNO: return zoras::ExistsAnswer::skip;
      default: return zoras::ExistsAnswer::cancel;
    }
  }
  bool should_stop() override {
    Pump();
    return g_cancel;
  }

 private:
  void Show(unsigned percent) {
    if (total_) SetBar(500 + static_cast<unsigned>(500.0 * (done_ + size_ * percent / 100) / total_));
  }
  uint64_t total_ = 0, done_ = 0, size_ = 0;
};

// Creates the file that holds the plain archive: in the user's temporary folder (wide
// names: that folder may hold characters outside the ANSI code page), readable by this
// handle only, and deleted by the system when the handle closes, so that no way out of
// the process, a kill included, leaves the plaintext behind. Recorded before it gets any
// data: after a power cut, the next start of a self-decrypting file removes it.
HANDLE CreatePlainFile(std::wstring& path) {
  wchar_t dir[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) return INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint8_t r[8];
    if (!crypto::Random(r, sizeof r)) return INVALID_HANDLE_VALUE;
    wchar_t name[32];
    wsprintfW(name, L"tvx%02x%02x%02x%02x%02x%02x%02x%02x.tmp", r[0], r[1], r[2], r[3], r[4],
              r[5], r[6], r[7]);
    const std::wstring candidate = std::wstring(dir) + name;
    HANDLE h = CreateFileW(candidate.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() != ERROR_FILE_EXISTS) return h;
      continue;
    }
    if (tempmark::Mark(tempmark::kSelfExtractKey, h, candidate)) {
      path = candidate;
      return h;
    }
    CloseHandle(h);
    tempmark::Discard(tempmark::kSelfExtractKey, candidate);
    return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

// Decrypts into a temporary file and extracts it; returns the exit code.
int Extract(const stream::Payload& payload, const uint8_t dataKey[32], const std::wstring& folder) {
  // Closing the handle deletes the file: on every way out of this function. Its record
  // goes once no handle is left.
  struct Owned {
    HANDLE h = INVALID_HANDLE_VALUE;
    std::wstring path;
    ~Owned() {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      if (!path.empty()) tempmark::Discard(tempmark::kSelfExtractKey, path);
    }
  } plain;
  plain.h = CreatePlainFile(plain.path);
  if (plain.h == INVALID_HANDLE_VALUE) {
    Message(nullptr, IDS_FAILED, MB_OK | MB_ICONSTOP);
    return kFailed;
  }
  g_progress = CreateDialogParamW(g_instance, MAKEINTRESOURCEW(IDD_PROGRESS + g_lang), nullptr,
                                  ProgressProc, 0);
  SendDlgItemMessageW(g_progress, IDC_BAR, PBM_SETRANGE32, 0, 1000);
  SetDlgItemTextW(g_progress, IDC_FILE, Text(IDS_DECRYPTING).c_str());
  Pump();

  stream::Progress progress{DecryptProgress};
  const DWORD e = stream::DecryptToHandle(payload, dataKey, plain.h, progress);
  zoras::ExtractError x = zoras::ExtractError::none;
  if (e == TVDEV_ERR_NONE) {
    zoras::FileSource source(plain.h);  // takes the handle over once the file is complete
    plain.h = INVALID_HANDLE_VALUE;
    Events events;
    x = zoras::extract_archive(source, folder, events);
  }
  HWND owner = g_progress;
  ShowWindow(owner, SW_HIDE);
  int code = kExtracted;
  if (e == TVDEV_ERR_CANCELLED || x == zoras::ExtractError::cancelled ||
      x == zoras::ExtractError::overwrite_cancelled) {
    Message(nullptr, IDS_CANCELLED, MB_OK | MB_ICONINFORMATION);
    code = kCancelled;
  } else if (e != TVDEV_ERR_NONE) {
    Message(nullptr, e == TVDEV_ERR_BAD_FORMAT ? IDS_DAMAGED : IDS_FAILED, MB_OK | MB_ICONSTOP);
    code = e == TVDEV_ERR_BAD_FORMAT ? kDamaged : kFailed;
  } else if (x == zoras::ExtractError::bad_format) {
    Message(nullptr, IDS_UNSAFE, MB_OK | MB_ICONSTOP);
    code = kFailed;
  } else if (x == zoras::ExtractError::link_in_destination) {
    Message(nullptr, IDS_LINK, MB_OK | MB_ICONSTOP);
    code = kFailed;
  } else if (x != zoras::ExtractError::none) {
    Message(nullptr, IDS_FAILED, MB_OK | MB_ICONSTOP);
    code = kFailed;
  } else {
    Message(nullptr, IDS_DONE, MB_OK | MB_ICONINFORMATION, folder);
  }
  DestroyWindow(owner);
  g_progress = nullptr;
  return code;
}

int Run() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  HANDLE h = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  uint64_t size = 0;
  uint8_t trailer[fmt::kSfxTrailerSize];
  LARGE_INTEGER at;
  DWORD got = 0;
  std::optional<uint64_t> offset;
  if (h != INVALID_HANDLE_VALUE && stream::FileSize(h, &size) && size >= sizeof trailer) {
    at.QuadPart = static_cast<LONGLONG>(size - sizeof trailer);
    if (SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
        ReadFile(h, trailer, sizeof trailer, &got, nullptr) && got == sizeof trailer)
      offset = fmt::DecodeSfxTrailer(trailer, sizeof trailer);
  }
  stream::Payload payload;
  if (!offset || stream::ReadPayload(h, *offset, size - sizeof trailer, &payload) != 0 ||
      payload.block.payload.derivation != fmt::KeyDerivation::Password) {
    g_lang = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? kJapanese : 0;
    Message(nullptr, IDS_DAMAGED, MB_OK | MB_ICONSTOP);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return kDamaged;
  }
  g_lang = (payload.block.payload.flags & fmt::kFlagEnglish) ? 0 : kJapanese;

  PasswordState st{&payload, {}, 0};
  const INT_PTR answer = DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_PASSWORD + g_lang),
                                         nullptr, PasswordProc, reinterpret_cast<LPARAM>(&st));
  int code = answer == IDOK ? kExtracted : answer == IDABORT ? kTooMany : kUserCancel;
  if (answer == IDOK) {
    std::wstring folder = Folder(self);
    if (DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_FOLDER + g_lang), nullptr, FolderProc,
                        reinterpret_cast<LPARAM>(&folder)) == IDOK)
      code = Extract(payload, st.dataKey, folder);
    else
      code = kUserCancel;
  }
  crypto::Wipe(st.dataKey, sizeof st.dataKey);
  CloseHandle(h);
  return code;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // A user's Downloads folder may hold a DLL named like a system one.
  suite::RestrictDllSearch();
  // What an earlier self-decrypting file left after a power cut: the plain archive.
  tempmark::Sweep(tempmark::kSelfExtractKey);
  g_instance = instance;
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = kFailed;
  try {
    code = Run();
  } catch (...) {
    code = kFailed;
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return code;
}
