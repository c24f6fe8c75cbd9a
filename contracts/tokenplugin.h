// Contract of a token plug-in: a library of a token's vendor that reads key names and
// values from a hardware token. The program loads it by file name and looks its entry
// points up by their plain names; every entry point uses the platform's
// exported-function convention (WINAPI: the callee removes the arguments) and ends with
// a reserved argument that callers pass as 0.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// One key read from a token. The plug-in ends each string within its 128 bytes; the
// program keeps the same record for the keys it offers, with Selected as its tick.
struct TokenKeyRecord {
  char Name[128];
  char Value[128];  // a secret: whoever holds a copy wipes it when done
  int32_t Selected;  // 1: ticked; set by the program, never read from the plug-in
};
static_assert(sizeof(TokenKeyRecord) == 260, "TokenKeyRecord is a fixed 260-byte layout");
static_assert(offsetof(TokenKeyRecord, Value) == 128 && offsetof(TokenKeyRecord, Selected) == 256,
              "TokenKeyRecord field offsets");

// Result codes of the entry points.
enum TokenError : DWORD {
  TOKEN_OK = 0,
  TOKEN_CANCELLED = 1,          // the user cancelled the plug-in's own prompt
  TOKEN_NO_MEMORY = 2,
  TOKEN_INVALID_PLUGIN = 3,     // the plug-in cannot use its token
  TOKEN_INCOMPATIBLE = 4,       // the token is of a kind this plug-in does not know
  TOKEN_INVALID_PARAMETER = 5,  // bad arguments
};

// Prepares the plug-in for one session; `owner` owns any window it shows.
typedef DWORD(WINAPI* PFN_TPP_Initialize)(HWND owner, DWORD reserved);
// Reads the token's keys: on TOKEN_OK *count records at *records, allocated by the
// plug-in and given back through TPP_FreeBuffer.
typedef DWORD(WINAPI* PFN_TPP_GetKeyInfo)(HWND owner, DWORD* count, TokenKeyRecord** records,
                                          DWORD reserved);
typedef DWORD(WINAPI* PFN_TPP_FreeBuffer)(HWND owner, TokenKeyRecord* records, DWORD reserved);
// Ends the session; `owner` is the application's main window.
typedef DWORD(WINAPI* PFN_TPP_Shutdown)(HWND owner, DWORD reserved);
// The plug-in's version as a number (high word major, low word minor).
typedef DWORD(WINAPI* PFN_TPP_GetVesion)(DWORD* version, DWORD reserved);
// Shows the plug-in's version in its own box owned by `owner`.
typedef DWORD(WINAPI* PFN_TPP_ShowVesion)(HWND owner, DWORD reserved);

}  // extern "C"
