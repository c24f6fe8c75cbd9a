// Entry points of Zoras.dll: command parsing, the callback link, error codes and texts.
//
// Commands accepted (anything else fails with the invalid-command or -option code):
//   -A -H -Q [-S ][-X -R -M ]"archive" "name"     add `name` (a file, or with -X -R -M
//                                                  a folder and all below it) from the
//                                                  current directory to the archive,
//                                                  creating it or extending it
//   -E -X -R -H -Q -C -O"folder" "archive"          extract everything below `folder`
// Letters: A add, E extract, H include hidden and system files, Q quiet (the library
// never shows a window; the owner window argument is not used), S the archive is going
// into a self-decrypting executable (accepted; it changes nothing in the archive),
// X keep paths below the source's folder, R recurse into folders, M record folders as
// entries (so empty ones survive), C check CRC-32, O destination folder.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "archiver.h"
#include "pack.h"
#include "resource.h"
#include "session.h"
#include "zoras/extract.h"

namespace {

struct Globals {
  HINSTANCE module = nullptr;
  std::atomic<ARCHIVER_CALLBACK> callback{nullptr};
  std::atomic<DWORD> mode{3};
  std::atomic<DWORD> language{0};
  std::atomic<DWORD> last_error{0};
  std::atomic<bool> running{false};
  std::atomic<bool> cancel{false};
  // The query being asked on the command's thread and the answer given to it.
  std::atomic<DWORD> pending_query{0};
  std::atomic<DWORD> answer{0};
} g;

struct Token {
  std::string text;   // unquoted text, or the option letters before an attached value
  std::string value;  // quoted part
  bool quoted = false;    // the whole token was "..."
  bool has_value = false;  // -O"..."
};

// Splits on spaces; "..." is one token, and -O"..." keeps its value attached. Neither
// the space nor the double quote can be the trail byte of a double-byte character.
bool tokenize(const std::string& s, std::vector<Token>& out) {
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ' ') {
      ++i;
      continue;
    }
    Token t;
    if (s[i] == '"') {
      size_t end = s.find('"', i + 1);
      if (end == std::string::npos) return false;
      t.value = s.substr(i + 1, end - i - 1);
      t.quoted = true;
      i = end + 1;
    } else {
      size_t end = s.find_first_of(" \"", i);
      t.text = s.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end == std::string::npos ? s.size() : end;
      if (i < s.size() && s[i] == '"') {
        size_t close = s.find('"', i + 1);
        if (close == std::string::npos) return false;
        t.value = s.substr(i + 1, close - i - 1);
        t.has_value = true;
        i = close + 1;
      }
    }
    if (i < s.size() && s[i] != ' ') return false;
    out.push_back(std::move(t));
  }
  return true;
}

bool is_bare_name(const std::wstring& n) {
  return !n.empty() && n != L"." && n != L".." && n.find_first_of(L"\\/:") == std::wstring::npos;
}

std::wstring full_path(const std::wstring& p) {
  DWORD n = GetFullPathNameW(p.c_str(), 0, nullptr, nullptr);
  if (n == 0) return {};
  std::wstring out(n, L'\0');
  n = GetFullPathNameW(p.c_str(), n, out.data(), nullptr);
  out.resize(n);
  return out;
}

DWORD extract_code(zoras::ExtractError e) {
  using zoras::ExtractError;
  switch (e) {
    case ExtractError::none: return 0;
    case ExtractError::crc: return ARCERR_CRC;
    case ExtractError::unsupported: return ARCERR_UNSUPPORTED;
    case ExtractError::archive_not_found: return ARCERR_ARCHIVE_NOT_FOUND;
    case ExtractError::read: return ARCERR_READ;
    case ExtractError::write: return ARCERR_WRITE;
    case ExtractError::no_space: return ARCERR_WRITE;
    case ExtractError::path_too_long: return ARCERR_PATH_TOO_LONG;
    case ExtractError::cancelled: return ARCERR_CANCELLED;
    case ExtractError::overwrite_cancelled: return ARCERR_CANCELLED;
    case ExtractError::no_memory: return ARCERR_NO_MEMORY;
    case ExtractError::link_in_destination: return ARCERR_LINK_IN_DESTINATION;
    default: return ARCERR_BAD_FORMAT;
  }
}

class ExtractLink final : public zoras::ExtractEvents {
 public:
  explicit ExtractLink(zoras::Session& s) : s_(s) {}
  void on_total(uint64_t bytes) override {
    DWORD words[2] = {static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes)};
    s_.notify(ARCN_TOTAL, reinterpret_cast<LPARAM>(words));
  }
  void on_file_begin(const std::wstring& relative, const std::wstring& path, uint64_t size) override {
    ArchiverEntryRecord rec{};
    zoras::copy_field(rec.DisplayName, sizeof rec.DisplayName, zoras::narrow(relative, CP_ACP));
    zoras::copy_field(rec.Path, sizeof rec.Path, zoras::narrow(path, CP_ACP));
    rec.UnpackSize = static_cast<uint32_t>(size);
    s_.notify(ARCN_FILE_BEGIN, reinterpret_cast<LPARAM>(&rec));
  }
  void on_file_progress(unsigned percent) override { s_.notify(ARCN_FILE_PROGRESS, percent); }
  void on_file_end() override { s_.notify(ARCN_FILE_END, 0); }
  zoras::ExistsAnswer on_exists(const std::wstring& path) override {
    switch (s_.ask(ARCQ_EXISTS, zoras::narrow(path, CP_ACP))) {
      case ARCR_OVERWRITE: return zoras::ExistsAnswer::overwrite;
      case ARCR_SKIP: return zoras::ExistsAnswer::skip;
      case ARCR_OVERWRITE_ALL: return zoras::ExistsAnswer::overwrite_all;
      case ARCR_CANCEL: return zoras::ExistsAnswer::cancel;
      default:
        unanswered = true;
        return zoras::ExistsAnswer::cancel;
    }
  }
  bool should_stop() override { return s_.cancelled(); }
  bool unanswered = false;

 private:
  zoras::Session& s_;
};

DWORD run_pack(zoras::Session& session, const std::vector<Token>& t, const std::string& command) {
  std::vector<std::string> opts;
  size_t i = 0;
  for (; i < t.size() && !t[i].quoted; ++i) {
    if (t[i].has_value || t[i].text.empty() || t[i].text[0] != '-') return ARCERR_INVALID_COMMAND;
    opts.push_back(t[i].text);
  }
  bool self = false, folder = false;
  size_t k = 3;
  if (opts.size() < 3 || opts[0] != "-A" || opts[1] != "-H" || opts[2] != "-Q") return ARCERR_INVALID_OPTION;
  if (k < opts.size() && opts[k] == "-S") self = true, ++k;
  if (k + 3 <= opts.size() && opts[k] == "-X" && opts[k + 1] == "-R" && opts[k + 2] == "-M") folder = true, k += 3;
  if (k != opts.size()) return ARCERR_INVALID_OPTION;
  std::vector<std::string> args;
  for (; i < t.size(); ++i) {
    if (!t[i].quoted) return ARCERR_INVALID_OPTION;
    args.push_back(t[i].value);
  }
  if (args.empty() || args[0].empty()) return ARCERR_NO_ARCHIVE;
  if (args.size() < 2 || args[1].empty()) return ARCERR_NO_FILE;
  if (args.size() > 2) return ARCERR_TOO_MANY_ITEMS;
  std::string exact = std::string("-A -H -Q ") + (self ? "-S " : "") + (folder ? "-X -R -M " : "") + '"' +
                      args[0] + "\" \"" + args[1] + '"';
  if (exact != command) return ARCERR_INVALID_COMMAND;

  std::wstring archive = zoras::widen(args[0], CP_ACP), name = zoras::widen(args[1], CP_ACP);
  if (archive.empty() || name.empty()) return ARCERR_INVALID_VALUE;
  if (name.find_first_of(L"*?") != std::wstring::npos) return ARCERR_FILE_NOT_FOUND;
  if (!is_bare_name(name)) return ARCERR_INVALID_VALUE;
  archive = full_path(archive);
  std::wstring source = full_path(name);
  if (archive.empty() || source.empty()) return ARCERR_INVALID_VALUE;
  if (source.size() >= MAX_PATH || archive.size() >= MAX_PATH) return ARCERR_PATH_TOO_LONG;
  return zoras::pack_source(session, archive, source, name, folder);
}

DWORD run_unpack(zoras::Session& session, const std::vector<Token>& t, const std::string& command) {
  static const char* const kOpts[] = {"-E", "-X", "-R", "-H", "-Q", "-C"};
  size_t i = 0;
  for (const char* o : kOpts) {
    if (i >= t.size() || t[i].quoted || t[i].has_value || t[i].text != o) return ARCERR_INVALID_OPTION;
    ++i;
  }
  if (i >= t.size() || t[i].quoted || !t[i].has_value || t[i].text != "-O") return ARCERR_INVALID_OPTION;
  std::string folder = t[i++].value;
  if (folder.empty()) return ARCERR_NO_WRITE_FILE;
  if (i >= t.size() || t[i].value.empty()) return ARCERR_NO_ARCHIVE;
  if (!t[i].quoted) return ARCERR_INVALID_OPTION;
  std::string archive = t[i++].value;
  if (i < t.size()) return ARCERR_TOO_MANY_ITEMS;
  if ("-E -X -R -H -Q -C -O\"" + folder + "\" \"" + archive + '"' != command) return ARCERR_INVALID_COMMAND;

  std::wstring wfolder = zoras::widen(folder, CP_ACP), warchive = zoras::widen(archive, CP_ACP);
  if (wfolder.empty() || warchive.empty()) return ARCERR_INVALID_VALUE;
  wfolder = full_path(wfolder);
  warchive = full_path(warchive);
  if (wfolder.empty() || warchive.empty()) return ARCERR_INVALID_VALUE;
  ExtractLink link(session);
  zoras::ExtractOptions options;
  options.limit_ansi_path = true;  // the caller keeps and deletes paths with "A" functions
  zoras::ExtractError e = zoras::extract_archive_file(warchive, wfolder, link, options);
  if (e == zoras::ExtractError::overwrite_cancelled && link.unanswered) return ARCERR_NO_ANSWER;
  return extract_code(e);
}

DWORD run_command(const char* command) {
  if (!command) return ARCERR_INVALID_COMMAND;
  std::string cmd(command);
  std::vector<Token> t;
  if (!tokenize(cmd, t) || t.empty() || t[0].quoted) return ARCERR_INVALID_COMMAND;
  zoras::Session session(g.callback.load());
  if (t[0].text == "-A") return run_pack(session, t, cmd);
  if (t[0].text == "-E") return run_unpack(session, t, cmd);
  return ARCERR_INVALID_COMMAND;
}

}  // namespace

namespace zoras {

void Session::notify(UINT code, LPARAM data) {
  if (callback_) callback_(code, 0, data);
}

DWORD Session::ask(UINT code, const std::string& name) {
  g.answer = 0;
  g.pending_query = code;
  if (callback_) callback_(code, 0, reinterpret_cast<LPARAM>(name.c_str()));
  g.pending_query = 0;
  return g.answer;
}

bool Session::cancelled() const { return g.cancel; }

void copy_field(char* field, size_t size, const std::string& s) {
  if (size == 0) return;
  size_t n = 0;
  while (n < s.size()) {
    size_t step = (IsDBCSLeadByte(static_cast<BYTE>(s[n])) && n + 1 < s.size()) ? 2 : 1;
    if (n + step > size - 1) break;
    n += step;
  }
  s.copy(field, n);
  field[n] = '\0';
}

}  // namespace zoras

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g.module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

// Runs one command synchronously on the calling thread; the callback is called on this
// thread only. A command started while one runs (also from inside the callback) fails
// with ARCERR_BUSY. Returns 0, or the failure code that ArchiverGetLastError reports.
int WINAPI ArchiverCommand(HWND /*owner*/, LPCSTR command) {
  if (g.running.exchange(true)) {
    g.last_error = ARCERR_BUSY;
    return static_cast<int>(ARCERR_BUSY);
  }
  g.cancel = false;
  g.last_error = 0;
  DWORD code = run_command(command);
  g.last_error = code;
  g.cancel = false;
  g.running = false;
  return static_cast<int>(code);
}

// 256 asks for a Japanese, 255 for an English self-decrypting executable. Our archives
// carry no language, so the value is only recorded.
int WINAPI ArchiverSetLanguage(DWORD language) {
  g.language = language;
  return 0;
}

// Mode 3: no window of our own, everything reported through the callback. It is the
// only way our library works; other values are refused and change nothing.
int WINAPI ArchiverSetMode(DWORD mode) {
  if (mode != 3) return 1;
  g.mode = mode;
  return 0;
}

int WINAPI ArchiverSetCallback(ARCHIVER_CALLBACK callback) {
  g.callback = callback;
  return 0;
}

// Stores the code of the last command (0 after a successful one).
int WINAPI ArchiverGetLastError(DWORD* code) {
  if (!code) return 1;
  *code = g.last_error;
  return 0;
}

int WINAPI ArchiverGetErrorText(DWORD code, LPSTR buffer, DWORD size) {
  if (!buffer || size == 0) return 1;
  if ((code & 0xFFFFFF00u) != 0x80000000u) return 1;
  const wchar_t* text = nullptr;
  int n = LoadStringW(g.module, IDS_ARCERR_BASE + (code & 0xFF), reinterpret_cast<LPWSTR>(&text), 0);
  if (n <= 0 || !text) return 1;
  zoras::copy_field(buffer, size, zoras::narrow(std::wstring(text, static_cast<size_t>(n)), CP_ACP));
  return 0;
}

// Answers the query being asked (only from inside the callback, for that query code).
int WINAPI ArchiverReply(DWORD query, DWORD answer, DWORD /*reserved*/) {
  if (query == 0 || g.pending_query != query) return 1;
  g.answer = answer;
  return 0;
}

// Stops the running command at the next notification; it fails with ARCERR_CANCELLED.
int WINAPI ArchiverCancel(void) {
  if (!g.running) return 1;
  g.cancel = true;
  return 0;
}

}  // extern "C"
