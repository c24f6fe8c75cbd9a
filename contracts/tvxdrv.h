// Contract of the TARVO-Pro mail-encryption add-on library "tvxdrv.dll" and of the
// suite's resident window, both told about a key that the user has just proven.
//
// The add-on counts as installed when its uninstall registry key exists. Its entry
// points are looked up by their plain names and use the platform's exported-function
// convention (WINAPI) with 32-bit arguments.
#pragma once

#include <windows.h>

// HKEY_LOCAL_MACHINE key whose presence means "the add-on is installed".
#define TVXDRV_UNINSTALL_KEY \
  "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A3E91F07-4C2D-4B88-8F6A-71D05E3C92B4}"
#define TVXDRV_DLL_NAME "tvxdrv.dll"

// Announces key `name` of KeyAlgorithm `algorithm`, proven with `value`. 0: failure.
typedef BOOL(WINAPI* PFN_TVXDRV_KeyValid)(const char* name, const char* value, DWORD algorithm);
// Forgets every key announced so far. 0: failure.
typedef BOOL(WINAPI* PFN_TVXDRV_KeyReset)(void);

// The resident window: a hidden top-level dialog of this class and title. It takes
// WM_COPYDATA with dwData 0 and lpData the key name with its terminating zero.
#define TVRESIDENT_CLASS "#32770"
#define TVRESIDENT_TITLE "tarvo"
