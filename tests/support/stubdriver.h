// Runs a self-decrypting executable as its recipient would: the password, then the
// destination folder, then the closing message.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace vxtest {

struct SelfDecryptingRun {
  DWORD exitCode = STILL_ACTIVE;
  std::string doneText;  // the closing message, system code page; empty if none came
};

// `onDialog` (optional) sees each dialog before it is answered: "password", "folder".
SelfDecryptingRun RunSelfDecrypting(const std::string& exe, const std::string& password,
                                    const std::string& folder,
                                    const std::function<void(const char*, HWND)>& onDialog = {});

}  // namespace vxtest
