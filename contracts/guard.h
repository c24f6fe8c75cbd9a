// The guard client library "KvrGrd.dll": challenge, authentication and process
// registrations. Entry points are looked up by name; every result is 0 on success.
#pragma once
#include <windows.h>

extern "C" {

// A 16-byte value passed and returned by value: the challenge and its response.
struct TGDRV_BLOCK {
  BYTE bytes[16];
};
static_assert(sizeof(TGDRV_BLOCK) == 16, "the challenge is exactly 16 bytes");

// Hands out a fresh random challenge; only the latest one can be answered.
typedef TGDRV_BLOCK(WINAPI* PFN_TGDRV_GetRnd)();
// Answers the latest challenge; 0 when the response is right (the process is then
// authenticated).
typedef DWORD(WINAPI* PFN_TGDRV_Auth)(TGDRV_BLOCK response);
// Registers process `processId` for `path` (a drive root "A:\" or "\\" for network
// paths); refused unless authenticated. `*id` receives the registration's identifier.
typedef DWORD(WINAPI* PFN_TGDRV_AddProcess)(const char* path, DWORD processId, DWORD* id);
// Removes one registration; an identifier that is not registered is refused.
typedef DWORD(WINAPI* PFN_TGDRV_DeleteProcess)(DWORD id);
// Withdraws the authentication.
typedef DWORD(WINAPI* PFN_TGDRV_CancelAuth)();

}  // extern "C"
