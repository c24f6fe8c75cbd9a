#include "mbcs.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace fw {

size_t ReverseFindBackslash(const std::string& s, size_t limit) {
  size_t end = limit < s.size() ? limit : s.size();
  size_t found = std::string::npos;
  for (size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (IsDBCSLeadByte(c) && i + 1 < s.size()) {
      ++i;
      continue;
    }
    if (c == '\\') found = i;
  }
  return found;
}

std::string UpperMb(const std::string& s) {
  std::string out = s;
  if (!out.empty()) CharUpperBuffA(out.data(), static_cast<DWORD>(out.size()));
  return out;
}

std::string FileNamePart(const std::string& path) {
  size_t p = ReverseFindBackslash(path);
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string Sprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    vsnprintf(buf.data(), buf.size(), fmt, ap2);
    out.assign(buf.data(), static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

std::string FormatArgs(const std::string& tmpl, std::initializer_list<std::string> args) {
  std::string out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(tmpl[i]);
    if (IsDBCSLeadByte(c) && i + 1 < tmpl.size()) {
      out += tmpl[i];
      out += tmpl[++i];
      continue;
    }
    if (c == '%' && i + 1 < tmpl.size() && tmpl[i + 1] >= '1' && tmpl[i + 1] <= '9') {
      size_t k = static_cast<size_t>(tmpl[i + 1] - '1');
      if (k < args.size()) {
        out += *(args.begin() + k);
        ++i;
        continue;
      }
    }
    out += tmpl[i];
  }
  return out;
}

std::wstring FormatArgs(const std::wstring& tmpl, std::initializer_list<std::wstring> args) {
  std::wstring out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == L'%' && i + 1 < tmpl.size() && tmpl[i + 1] >= L'1' && tmpl[i + 1] <= L'9') {
      size_t k = static_cast<size_t>(tmpl[i + 1] - L'1');
      if (k < args.size()) {
        out += *(args.begin() + k);
        ++i;
        continue;
      }
    }
    out += tmpl[i];
  }
  return out;
}

std::wstring ToWide(const std::string& s) {
  if (s.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string ToCodePage(const std::wstring& s, bool* lossy) {
  if (lossy) *lossy = false;
  if (s.empty()) return {};
  BOOL used = FALSE;
  const int size = static_cast<int>(s.size());
  const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, s.data(), size, nullptr, 0,
                                      nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, s.data(), size, out.data(), n, nullptr,
                        &used);
  if (lossy) *lossy = used != FALSE;
  return out;
}

std::string CutAtCharBoundary(const std::string& s, size_t limit) {
  size_t end = 0;
  while (end < s.size()) {
    const size_t step = IsDBCSLeadByte(static_cast<BYTE>(s[end])) && end + 1 < s.size() ? 2 : 1;
    if (end + step > limit) break;
    end += step;
  }
  return s.substr(0, end);
}

}  // namespace fw
