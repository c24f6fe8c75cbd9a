// tvtokadm.exe: writes and lists software token files.
//
//   tvtokadm write <file> [--pin] [--replace]
//       Reads the keys from standard input, one "NAME<TAB>VALUE" line each; with --pin
//       the first line is the PIN and the file is sealed under it. An existing file is
//       replaced only with --replace, and only once the new one is complete.
//   tvtokadm list <file> [--pin]
//       Prints the key names (with --pin the PIN is read from standard input).
// Secrets come through standard input only, never the command line.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "crypto.h"
#include "tokenfile.h"

namespace {

void Wipe(std::string& s) {
  if (!s.empty()) tvdev::crypto::Wipe(s.data(), s.size());
  s.clear();
}

bool ReadLine(std::string* line) {
  if (!std::getline(std::cin, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: tvtokadm write <file> [--pin] [--replace]\n"
                       "       tvtokadm list <file> [--pin]\n");
  return 2;
}

int Write(const std::string& path, bool sealed, bool replace) {
  if (!replace && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "%s exists (use --replace)\n", path.c_str());
    return 1;
  }
  std::string pin, line;
  if (sealed && (!ReadLine(&pin) || pin.empty())) {
    std::fprintf(stderr, "no PIN on the first line\n");
    return 1;
  }
  std::vector<TokenKeyRecord> keys;
  keys.reserve(tvtoken::kMaxKeys);
  int result = 0;
  while (result == 0 && ReadLine(&line)) {
    if (line.empty()) continue;
    size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0 || tab > 127 || line.size() - tab - 1 < 1 ||
        line.size() - tab - 1 > 127 || keys.size() == tvtoken::kMaxKeys) {
      std::fprintf(stderr, "line %zu: expected NAME<TAB>VALUE, each of 1-127 bytes\n",
                   keys.size() + 1);
      result = 1;
    } else {
      keys.emplace_back();
      std::memcpy(keys.back().Name, line.data(), tab);
      std::memcpy(keys.back().Value, line.data() + tab + 1, line.size() - tab - 1);
    }
    Wipe(line);
  }
  std::vector<uint8_t> file;
  if (result == 0 && !tvtoken::Encode(keys.data(), keys.size(), sealed ? pin.c_str() : nullptr,
                                      tvtoken::kDefaultIterations, &file)) {
    std::fprintf(stderr, "cannot encode the token\n");
    result = 1;
  }
  Wipe(pin);
  if (!keys.empty()) tvdev::crypto::Wipe(keys.data(), keys.size() * sizeof keys[0]);
  if (result) return result;

  // Written beside the target under another name, moved into place when complete.
  const std::string temp = path + ".tmp";
  HANDLE f = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD put = 0;
  bool ok = f != INVALID_HANDLE_VALUE &&
            WriteFile(f, file.data(), static_cast<DWORD>(file.size()), &put, nullptr) &&
            put == file.size() && FlushFileBuffers(f);
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
  ok = ok && MoveFileExA(temp.c_str(), path.c_str(),
                         MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0));
  tvdev::crypto::Wipe(file.data(), file.size());
  if (!ok) {
    DeleteFileA(temp.c_str());
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}

int List(const std::string& path, bool sealed) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> file(tvtoken::kMaxFileSize + 1);
  DWORD got = 0;
  BOOL read = ReadFile(f, file.data(), static_cast<DWORD>(file.size()), &got, nullptr);
  CloseHandle(f);
  file.resize(read ? got : 0);
  std::string pin;
  if (sealed) ReadLine(&pin);
  TokenKeyRecord* records = nullptr;
  DWORD count = 0;
  tvtoken::Decoded d = tvtoken::Decode(file.data(), file.size(), sealed ? pin.c_str() : nullptr,
                                       &records, &count);
  Wipe(pin);
  tvdev::crypto::Wipe(file.data(), file.size());
  static const char* const kWhy[] = {"", "the token is sealed: give --pin", "wrong PIN",
                                     "not a token file or damaged", "unknown token version",
                                     "out of memory"};
  if (d != tvtoken::Decoded::Ok) {
    std::fprintf(stderr, "%s\n", kWhy[static_cast<int>(d)]);
    return 1;
  }
  for (DWORD i = 0; i < count; ++i) std::printf("%s\n", records[i].Name);
  tvtoken::FreeRecords(records, count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1], path = argv[2];
  bool pin = false, replace = false;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pin") == 0)
      pin = true;
    else if (std::strcmp(argv[i], "--replace") == 0)
      replace = true;
    else
      return Usage();
  }
  if (command == "write") return Write(path, pin, replace);
  if (command == "list" && !replace) return List(path, pin);
  return Usage();
}
