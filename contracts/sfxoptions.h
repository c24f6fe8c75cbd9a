// The self-decrypting options of policy.ini's section [VELVOX] in the forms the program
// writes them. The program's own checks and the elevated settings writer both use these
// rules, so the writer, which writes for every user, never stores a value that the
// program would refuse.
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

}  // namespace sfxoptions
