// The removable-media hook of the crypto and key library. (Guard registration and
// release are members of CVelvoxDlg.)
#pragma once
#include <windows.h>

#include <string>

// Registers this process with the hook for the drive of `path` ("E:"; "" for a network
// path). 0 when "tarvodev.dll" or its entry point is missing; the hook's own answer is
// not examined.
BOOL RegisterMediaWriter(const std::string& path);
// The drive part of `path`: letter and colon, or empty.
std::string DrivePart(const std::string& path);
