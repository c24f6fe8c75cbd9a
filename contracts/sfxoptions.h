// The self-decrypting options of policy.ini's section [VELVOX] in the forms the program
// writes them. The program's own checks and saves and the elevated settings writer all
// use these rules, so the writer, which writes for every user, stores exactly what the
// program may write: never a value that the program would refuse, and every value that
// a direct save would store.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string_view>

namespace sfxoptions {

// PWRETRYMAX: the attempt limit of a self-decrypting file.
inline constexpr int kRetryMaxLowest = 1;
inline constexpr int kRetryMaxHighest = 99;

// EXTSTRING: the extension of a self-decrypting file, at most this many bytes of the
// system code page.
inline constexpr size_t kExtensionMaxBytes = 3;

// The characters of an extension, as system-code-page bytes: none of \ / : * ? " < > |
// and the full stop. A byte after a lead byte belongs to its double-byte character (0x5C
// there is no backslash). The length is checked apart.
inline bool ExtensionCharactersValid(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (::IsDBCSLeadByte(c) && i + 1 < text.size()) {
      ++i;
      continue;
    }
    if (c != '\0' && std::strchr("\\/:*?\"<>|.", c)) return false;
  }
  return true;
}

// The options saved, in the order of saving.
enum class Option { kNone, kPwRetryMode, kPwRetryMax, kExtMode, kExtString, kSelfExtLang };

// The option that a key of [VELVOX] names, letter case ignored as the profile functions
// ignore it; kNone for every other key.
inline Option OptionNamed(std::string_view key) {
  const auto is = [&](std::string_view name) {
    if (key.size() != name.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
      char c = key[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != name[i]) return false;
    }
    return true;
  };
  if (is("PWRETRYMODE")) return Option::kPwRetryMode;
  if (is("PWRETRYMAX")) return Option::kPwRetryMax;
  if (is("EXTMODE")) return Option::kExtMode;
  if (is("EXTSTRING")) return Option::kExtString;
  if (is("SELFEXTLANG")) return Option::kSelfExtLang;
  return Option::kNone;
}

// A number as "%d" writes one: digits only, no sign, no leading zero, from `lowest` (at
// least 0) to `highest`. Read digit by digit and refused once past `highest`, so no
// length of text can wrap round into the range.
inline bool IsNumberIn(std::string_view v, int lowest, int highest) {
  if (v.empty() || (v.size() > 1 && v[0] == '0')) return false;
  long long n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
    if (n > highest) return false;
  }
  return n >= lowest;
}

// Whether `value` (system-code-page bytes) is one that the program saves for `option`.
// `extensionInUse` is the EXTMODE saved with it. An extension in use names the
// self-decrypting file's extension and must be able to. One not in use is saved back as
// the settings hold it: whatever the file gave, cut to its first 3 bytes, since the
// program reads it and leaves it alone; an administrator's text there must not make a
// user's save fail. No control character in either: it could end the profile line.
inline bool StorableValue(Option option, std::string_view value, bool extensionInUse) {
  switch (option) {
    case Option::kPwRetryMode:
    case Option::kExtMode:
    case Option::kSelfExtLang:
      return IsNumberIn(value, 0, 1);
    case Option::kPwRetryMax:
      return IsNumberIn(value, kRetryMaxLowest, kRetryMaxHighest);
    case Option::kExtString:
      if (value.size() > kExtensionMaxBytes) return false;
      for (size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (::IsDBCSLeadByte(c) && i + 1 < value.size()) {
          ++i;
          continue;
        }
        if (c < 0x20 || c == 0x7F) return false;
      }
      return !extensionInUse || ExtensionCharactersValid(value);
    case Option::kNone:
      break;
  }
  return false;
}

}  // namespace sfxoptions
