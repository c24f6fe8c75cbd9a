// The decryption job's helpers outside the main dialog: the block reader bound to the
// crypto library, the store lookup of a key's identifier, and the folder browser.
#pragma once
#include <windows.h>

#include <cstdio>

#include "keyinfo.h"

// Reads the key-information block of an archive opened "rb", deciphering its key
// records with the fixed keys that the crypto library writes them with.
BOOL ParseKeyInfoBlock(std::FILE* stream, ArchiveKeyInfo* out);

// `out` (32 bytes) receives the 16-byte identifier of the first enabled key called
// exactly `name` (case-sensitive), followed by 16 zero bytes; 0 (and `out` all zero)
// when there is none or the store cannot be read.
BOOL FindValidKeyId(const char* name, unsigned char* out);

// The shell's folder browser, opened at `initialFolder`. `path` (at least 260 bytes)
// receives the chosen folder, or a shortcut's target when a shortcut was chosen; 0 with
// `path` empty when the user cancelled or the browser cannot be shown.
BOOL BrowseForOutputFolder(HWND owner, char* path, const char* initialFolder);
int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM lParam, LPARAM data);
