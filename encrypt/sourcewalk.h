// The walk over the sources before packing, its limits, and two path helpers.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Byte totals of the sources: filled by the walk, advanced by the archiver's callback,
// read by both to move the progress bar. One record for the whole process.
struct ArchiveTotals {
  uint32_t TotalHigh;
  uint32_t TotalLow;
  uint32_t DoneBytes;
};
extern ArchiveTotals g_archiveTotals;

// Opens the file for reading with no sharing at all and closes it again: a file that
// another program holds open, even only for reading, fails.
BOOL IsFileAccessible(const std::wstring& path);
// The real name of a file or folder of the last walk, given its code-page text as the
// archiver reports it; the text itself when the walk listed no such name, or more than
// one name with that text.
std::wstring RealSourceName(const std::string& reported);
// Splits at the last backslash that is not the trail byte of a double-byte character
// and not the path's last byte: "C:\a\b.txt" gives "C:\a\" and "b.txt".
BOOL SplitFolderAndName(const std::string& path, std::string& folder, std::string& name);
// Target of a shell shortcut, UNC form first. COM must be initialised by the caller.
HRESULT ResolveShortcutPath(const std::string& path, char* target, int capacity,
                            WIN32_FIND_DATAA* findData);
// A string-table message with "%s" replaced by `arg`.
std::string FormatIdS(UINT id, const std::string& arg);
std::wstring FormatIdS(UINT id, const std::wstring& arg);
