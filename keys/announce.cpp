#include "announce.h"

#include "app.h"
#include "string_ids.h"
#include "velvoxapp.h"

BOOL CMailAddOn::Load() {
  Release();
  m_hModule = fw::AfxLoadProgramLibrary(TVXDRV_DLL_NAME);
  if (!m_hModule) return 0;
  m_pfnKeyValid =
      reinterpret_cast<PFN_TVXDRV_KeyValid>(
      reinterpret_cast<void*>(::GetProcAddress(m_hModule, "TVXDRV_KeyValid")));
  m_pfnKeyReset =
      reinterpret_cast<PFN_TVXDRV_KeyReset>(
      reinterpret_cast<void*>(::GetProcAddress(m_hModule, "TVXDRV_KeyReset")));
  if (m_pfnKeyValid && m_pfnKeyReset) return 1;
  Release();
  return 0;
}

void CMailAddOn::Release() {
  if (m_hModule) ::FreeLibrary(m_hModule);
  m_hModule = nullptr;
  m_pfnKeyValid = nullptr;
  m_pfnKeyReset = nullptr;
}

BOOL CMailAddOn::KeyValid(const char* name, const char* value, int algorithm) const {
  if (!m_pfnKeyValid) return 1;
  if (!name || !value) return 0;
  if (algorithm < 0 || algorithm > 2) return 0;
  return m_pfnKeyValid(name, value, static_cast<DWORD>(algorithm));
}

BOOL IsMailAddOnInstalled() {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, TVXDRV_UNINSTALL_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  ::RegCloseKey(key);
  return 1;
}

void AnnounceCertifiedKey(const std::string& name, const std::string& value, int algorithm,
                          BOOL valid) {
  if (OsVersionCode >= 600 && IsMailAddOnInstalled()) {
    CMailAddOn addOn;
    if (!addOn.Load()) {
      fw::AfxMessageBox("Unable to load tvxdrv.dll!", MB_OK);
    } else if (!addOn.KeyValid(name.c_str(), value.c_str(), algorithm)) {
      fw::AfxMessageBox(IDS_MAIL_ADDON_FAILED, MB_OK);
    }
    addOn.Release();
  }

  HWND resident = ::FindWindowA(TVRESIDENT_CLASS, TVRESIDENT_TITLE);
  if (resident && !valid) {
    COPYDATASTRUCT cds{};
    cds.dwData = 0;
    cds.cbData = static_cast<DWORD>(name.size() + 1);
    cds.lpData = const_cast<char*>(name.c_str());
    ::SendMessageA(resident, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
  }

  CVelvoxApp* app = VxApp();
  if (app->m_nLastKeyName == 1) {
    app->m_strLastKeyName = name;
    app->SaveLastKeyName();
  }
}
