// Helpers of the encrypted-output phase.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Creates a new, uniquely named empty file with `prefix` in the user's temporary folder
// and returns its full path in `path`. The file is held open in `held`, delete-on-close,
// for the whole job: whatever plaintext it comes to hold, a kill or a crash leaves
// nothing. Others may open it only with delete sharing. It is recorded as the job's own
// (contracts/tempmark.h); tempmark::Discard settles the record once it is closed.
BOOL CreateTempFile(std::string& path, const char* prefix, HANDLE& held);
// Gives a held temporary file `newPath` in the same folder, through its own handle so
// that the delete-on-close disposition follows the new name, and its record with it;
// never replaces a file.
BOOL RenameTempFile(HANDLE held, std::string& path, const std::string& newPath);
// Removes the temporary files that earlier runs left (a power cut, or a system that did
// not honour delete-on-close): only those recorded as theirs and still the very files
// recorded, and none that a running instance holds open.
void RemoveStaleTempFiles();
// Free bytes available to the calling user on the volume of `folder`.
BOOL GetFreeDiskSpace(const std::string& folder, uint64_t& bytes);
