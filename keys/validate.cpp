#include "validate.h"

#include "announce.h"
#include "app.h"
#include "contracts/tvdev.h"
#include "keyedit.h"
#include "keyaccess.h"
#include "string_ids.h"
#include "velvoxapp.h"

void GetKeyValidity(const std::string& name, BOOL* valid, int* algorithm) {
  if (OsVersionCode < 600) {
    *valid = ValidKeyExists(name);
    *algorithm = 0;
    return;
  }
  BOOL found = 0, enabled = 0;
  int alg = 0;
  BOOL ok = GetKeyStatus(name, &found, &enabled, &alg);
  *valid = ok == 1 && found == 1 && enabled == 1 ? 1 : 0;
  *algorithm = alg;
}

BOOL CertifyEnteredKey(const std::string& name, std::string& value, int algorithm, BOOL valid,
                       HWND nameControl, HWND valueControl) {
  int length = 0;
  if (!GetKeyLength(name, &length)) {
    fw::AfxMessageBox(IDS_KEY_NAME_NOT_REGISTERED, MB_OK);
    return 0;
  }
  // In place: an upper-cased copy would leave the typed value behind in memory.
  if (length == 256 && !value.empty())
    ::CharUpperBuffA(value.data(), static_cast<DWORD>(value.size()));
  if (!TVDEV_CertifyKey(name.c_str(), value.c_str(), 0)) {
    switch (TVDEV_GetLastError(0)) {
      case TVDEV_ERR_NOT_REGISTERED:
        fw::AfxMessageBox(IDS_KEY_NAME_NOT_REGISTERED, MB_OK);
        ::SetFocus(nameControl);
        return 0;
      case TVDEV_ERR_WRONG_VALUE:
        fw::AfxMessageBox(IDS_KEY_VALUE_WRONG, MB_OK);
        ::SetFocus(valueControl);
        return 0;
      case TVDEV_ERR_TEMPLATE:
        fw::AfxMessageBox(IDS_KEY_TEMPLATE_BROKEN, MB_OK);
        WipeString(value);
        fw::AfxExitProcess(1);
      default:
        fw::AfxMessageBox(IDS_KEY_CERTIFY_FAILED, MB_OK | MB_ICONWARNING);
        return 0;
    }
  }
  AnnounceCertifiedKey(name, value, algorithm, valid);
  return 1;
}
