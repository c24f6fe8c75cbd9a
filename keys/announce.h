// Telling the suite about a key the user has just proven: the mail-encryption add-on,
// the resident window, and the last key name of the settings.
#pragma once
#include <windows.h>

#include <string>

#include "contracts/tvxdrv.h"

// Loader of the mail-encryption add-on "tvxdrv.dll".
class CMailAddOn {
 public:
  CMailAddOn() = default;
  ~CMailAddOn() { Release(); }
  CMailAddOn(const CMailAddOn&) = delete;
  CMailAddOn& operator=(const CMailAddOn&) = delete;

  // Both entry points must exist; otherwise nothing stays loaded.
  BOOL Load();
  void Release();
  // 1 without a loaded add-on; 0 for a null text or an algorithm it does not know.
  BOOL KeyValid(const char* name, const char* value, int algorithm) const;

  HMODULE m_hModule = nullptr;
  PFN_TVXDRV_KeyValid m_pfnKeyValid = nullptr;
  PFN_TVXDRV_KeyReset m_pfnKeyReset = nullptr;
};

BOOL IsMailAddOnInstalled();
// Never fails the validation: a failing add-on only shows its message.
void AnnounceCertifiedKey(const std::string& name, const std::string& value, int algorithm,
                          BOOL valid);
