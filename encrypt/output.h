// Helpers of the encrypted-output phase.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Creates an empty, uniquely named file with `prefix` in the user's temporary folder
// and returns its full path in `path` (also when only the second step failed).
BOOL CreateTempFile(std::string& path, const char* prefix);
// Free bytes available to the calling user on the volume of `folder`.
BOOL GetFreeDiskSpace(const std::string& folder, uint64_t& bytes);
