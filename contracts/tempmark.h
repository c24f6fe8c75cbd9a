// Marks on the temporary files that hold plaintext, so that a later start can tell its
// own leftovers from anything else that carries a similar name.
//
// Such a file is delete-on-close for its whole life, so a kill or a crash leaves
// nothing; only a power cut does. Each program records every such file, the moment it
// has created it and before any data reaches it, under a key of its own in the user's
// hive: the path as the value's name, and as its data what the file system calls that
// very file (volume serial number and file index, read through the creating handle).
// A clean-up deletes a file only when the one it finds under a recorded path is that
// same file, and never one that is still open: a name alone proves nothing.
//
// Used by velvox.exe and by the self-decrypting stub, which runs on machines without
// the suite: only kernel32 and advapi32, no framework.
#pragma once
#include <windows.h>

#include <string>

namespace tempmark {

// Below HKEY_CURRENT_USER, one key per program that makes such files.
inline constexpr wchar_t kVelvoxKey[] = L"Software\\Norvane\\TARVO-Pro\\velvox\\TempFiles";
inline constexpr wchar_t kSelfExtractKey[] = L"Software\\Norvane\\TARVO-Pro\\SelfExtract\\TempFiles";

// Records the file that `held` (with at least FILE_READ_ATTRIBUTES) has just created at
// `path`. False when nothing could be recorded; the caller then gives up the file.
bool Mark(const wchar_t* key, HANDLE held, const std::wstring& path);
bool Mark(const wchar_t* key, HANDLE held, const std::string& acpPath);

// Done with the file recorded at `path` (closed, renamed, or never to be used): deletes
// it if it is still the recorded file and nobody has it open, and drops the record
// unless that file is still there. Nothing happens to a path without a record.
void Discard(const wchar_t* key, const std::wstring& path);
void Discard(const wchar_t* key, const std::string& acpPath);

// At start: Discard for every record under `key`. What a running instance holds stays,
// with its record.
void Sweep(const wchar_t* key);

}  // namespace tempmark
