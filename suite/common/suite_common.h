// Helpers shared by the suite's components.
#pragma once
#include <windows.h>

#include <string>

namespace suite {

// The component's folder: the value of environment variable `envOverride` when set
// (tests point it at a scratch folder), else `sub` under the common application-data
// folder's "Norvane\TARVO-Pro". Created when missing. Empty when it cannot be made.
std::string ComponentFolder(const char* envOverride, const char* sub);
// System-code-page text as UTF-8.
std::string AcpToUtf8(const std::string& acp);
// UTF-16 text as UTF-8.
std::string WideToUtf8(const std::wstring& wide);
// Local time as "YYYY-MM-DD hh:mm:ss".
std::string TimeStamp();
// Appends `line` and CRLF to `path` in one write (other writers may append too).
bool AppendLine(const std::string& path, const std::string& line);
// Reads a string value of HKEY_LOCAL_MACHINE; empty when missing.
std::string ReadMachineString(const char* key, const char* value);
DWORD ReadMachineDword(const char* key, const char* value, DWORD fallback);

}  // namespace suite
