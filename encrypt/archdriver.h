// The archiver driver's callback and the state it shares with the packing and
// unpacking calls of CVelvoxDlg.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// What the callback saw, for the code that called the library (m_nArchiverStatus).
enum ArchiverStatus : int {
  ARCSTAT_NONE = 0,
  ARCSTAT_CANCELLED = 1,
  ARCSTAT_OVERWRITE_CANCELLED = 2,
  ARCSTAT_CANNOT_OPEN = 3,
};

BOOL CALLBACK ArchiverCallback(UINT code, WPARAM unused, LPARAM data);
// FALSE when packing already reported this entry name (compared by a 64-bit digest of
// the exact bytes); otherwise the name is remembered and the result is TRUE.
BOOL IsNewEntryName(const std::string& name);
// Forgets the entry names of an earlier packing run.
void ResetEntryNames();

extern uint32_t g_nCurrentFileSize;
extern int g_bCurrentFileIsNew;
