// Helpers of the encrypted-output phase.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Free bytes available to the calling user on the volume of `folder`.
BOOL GetFreeDiskSpace(const std::string& folder, uint64_t& bytes);
