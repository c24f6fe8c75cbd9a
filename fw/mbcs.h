// Text helpers for 8-bit strings in the system code page. Every scan for a separator
// skips the trail byte of a double-byte character: in Shift-JIS the byte 0x5C ('\')
// can be one.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <string>

namespace fw {

// Index of the last backslash among the first `limit` bytes (all when npos), or npos.
size_t ReverseFindBackslash(const std::string& s, size_t limit = std::string::npos);
// Upper-cases with the code page's own rules; double-byte characters keep their length.
std::string UpperMb(const std::string& s);
// The part after the last backslash (multibyte-aware), or the whole text.
std::string FileNamePart(const std::string& path);
// The first `limit` bytes or fewer, never ending in the lead byte of a split double-byte
// character.
std::string CutAtCharBoundary(const std::string& s, size_t limit);
// printf-style formatting into a growable string.
std::string Sprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Replaces %1 ... %9 by the given arguments, as the framework's message formatting
// does; any other '%' stays as it is.
std::string FormatArgs(const std::string& tmpl, std::initializer_list<std::string> args);
std::wstring FormatArgs(const std::wstring& tmpl, std::initializer_list<std::wstring> args);

// UTF-16 for file calls: a name the code page cannot spell exists only in this form.
std::wstring ToWide(const std::string& s);
// Code-page text of UTF-16 text. A character that the code page lacks becomes the code
// page's default character, never a best-fit look-alike: U+00FC read as 'u', or U+00A5
// read as a backslash, would name another file. `lossy`, when given, tells whether any
// character was replaced.
std::string ToCodePage(const std::wstring& s, bool* lossy = nullptr);

}  // namespace fw
