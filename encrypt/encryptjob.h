// Names that the encryption job proposes and derives.
#pragma once
#include <windows.h>

#include <string>

// The save-as dialog's proposal: the first source's name without its last extension,
// or "VX" and the date and time when nothing is left (a name like ".profile").
std::string ProposeOutputName(const std::string& firstSource, const SYSTEMTIME& now);
// `outputPath` with its extension, whatever the user typed, replaced by `ext`.
std::string SelfDecryptingPath(const std::string& outputPath, const std::string& ext);
