// The suite's elevated settings writer: an out-of-process COM server reached through
// IDispatch. Every method returns a VT_I4 result, 0 on success.
#pragma once
#include <windows.h>

// {4E8A1C37-90B2-4F6D-8C15-A3D27E6B0F92}
inline constexpr GUID kClsidSettingsWriter = {
    0x4E8A1C37, 0x90B2, 0x4F6D, {0x8C, 0x15, 0xA3, 0xD2, 0x7E, 0x6B, 0x0F, 0x92}};

enum SettingsWriterDispId : DISPID {
  // (VARIANT* challenge [in, out]): a fresh random challenge, VT_ARRAY | VT_UI1, at least
  // 16 bytes. The authentication value of every later call is this array with its first
  // 16 bytes replaced by the response.
  SWDISP_GET_CHALLENGE = 1,
  // (section, key, value, file, authentication): one profile-file entry.
  SWDISP_WRITE_PROFILE_STRING = 2,
  // (file, authentication): flushes the profile cache of the file.
  SWDISP_FLUSH_PROFILE = 4,
};

// Results other than 0.
enum SettingsWriterResult : LONG {
  SWRES_OK = 0,
  SWRES_BAD_ARGUMENTS = 1,
  SWRES_NOT_AUTHENTICATED = 5,
  SWRES_NOT_ALLOWED = 6,
  SWRES_WRITE_FAILED = 7,
};
