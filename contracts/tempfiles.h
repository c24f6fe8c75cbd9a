// The jobs' own temporary files: the empty file that the libraries write into, made,
// renamed and given up by the program that holds it. Both jobs and the application use
// these; they depend on nothing of the program's but the marks (contracts/tempmark.h).
#pragma once
#include <windows.h>

#include <string>

// Creates a new, uniquely named empty file with `prefix` in the user's temporary folder
// and returns its full path in `path`. The file is held open in `held`, delete-on-close,
// for the whole job: whatever plaintext it comes to hold, a kill or a crash leaves
// nothing. Others may open it only with delete sharing. It is recorded as the job's own
// (contracts/tempmark.h); tempmark::Discard settles the record once it is closed.
BOOL CreateTempFile(std::string& path, const char* prefix, HANDLE& held);
// The same for the exact name `path`, which must not exist yet. INVALID_HANDLE_VALUE
// (with the last error) when it cannot be made or recorded.
HANDLE CreateHeldFile(const std::string& path);
// Closes a held file that the job gives up, which deletes it, and settles its record.
void GiveUpHeldFile(HANDLE& held, const std::string& path);
// Gives a held temporary file `newPath` in the same folder, through its own handle so
// that the delete-on-close disposition follows the new name, and its record with it;
// never replaces a file.
BOOL RenameTempFile(HANDLE held, std::string& path, const std::string& newPath);
// Removes the temporary files that earlier runs left (a power cut, or a system that did
// not honour delete-on-close): only those recorded as theirs and still the very files
// recorded, and none that a running instance holds open.
void RemoveStaleTempFiles();
