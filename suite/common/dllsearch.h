// The library search of a program that must not load a DLL from a folder that someone
// with fewer rights can write (cmake/VxSystemDlls.cmake says which and how).
#pragma once

namespace suite {

// The non-known system DLLs that the program delay-loads, ending with nullptr; defined
// for each program by vx_system_dlls_only().
extern const wchar_t* const kDelayLoadedDlls[];

// Limits every later search for a DLL by name, the system's own on the program's behalf
// included, to the system folder. The first call of main: nothing may load by name
// before it.
void RestrictDllSearch();

}  // namespace suite
