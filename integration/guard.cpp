// Authentication and process registration with the guard client library, and the
// removable-media hook. Every failure is silent: the log set-up reports it as a whole.
#include "guard.h"

#include "app.h"
#include "contracts/authresponse.h"
#include "contracts/tvdev.h"
#include "velvoxdlg.h"

BOOL CVelvoxDlg::RegisterWithGuard() {
  m_hGuardLib = nullptr;
  m_hGuardLib = fw::AfxLoadProgramLibrary("KvrGrd.dll");
  if (!m_hGuardLib) return FALSE;
  m_pfnAddProcess = reinterpret_cast<PFN_TGDRV_AddProcess>(
      reinterpret_cast<void*>(::GetProcAddress(m_hGuardLib, "TGDRV_AddProcess")));
  m_pfnDeleteProcess = reinterpret_cast<PFN_TGDRV_DeleteProcess>(
      reinterpret_cast<void*>(::GetProcAddress(m_hGuardLib, "TGDRV_DeleteProcess")));
  m_pfnGetRnd = reinterpret_cast<PFN_TGDRV_GetRnd>(
      reinterpret_cast<void*>(::GetProcAddress(m_hGuardLib, "TGDRV_GetRnd")));
  m_pfnAuth = reinterpret_cast<PFN_TGDRV_Auth>(
      reinterpret_cast<void*>(::GetProcAddress(m_hGuardLib, "TGDRV_Auth")));
  m_pfnCancelAuth = reinterpret_cast<PFN_TGDRV_CancelAuth>(
      reinterpret_cast<void*>(::GetProcAddress(m_hGuardLib, "TGDRV_CancelAuth")));
  if (!m_pfnAddProcess || !m_pfnDeleteProcess || !m_pfnGetRnd || !m_pfnAuth || !m_pfnCancelAuth)
    return FALSE;

  const TGDRV_BLOCK challenge = m_pfnGetRnd();
  TGDRV_BLOCK response = {};
  ComputeAuthResponse(challenge.bytes, response.bytes);
  const DWORD auth = m_pfnAuth(response);
  ::SecureZeroMemory(&response, sizeof(response));
  if (auth != 0) return FALSE;

  // Registrations made before a failure are kept in m_guardIds for the caller to
  // release.
  const DWORD pid = ::GetCurrentProcessId();
  DWORD id = 0;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const char root[4] = {letter, ':', '\\', '\0'};
    if (m_pfnAddProcess(root, pid, &id) != 0) return FALSE;
    m_guardIds.push_back(id);
  }
  if (m_pfnAddProcess("\\\\", pid, &id) != 0) return FALSE;
  m_guardIds.push_back(id);
  return TRUE;
}

BOOL CVelvoxDlg::ReleaseGuard() {
  if (!m_hGuardLib || !m_pfnDeleteProcess || !m_pfnCancelAuth) return FALSE;
  for (DWORD id : m_guardIds)
    if (m_pfnDeleteProcess(id) != 0) return FALSE;
  m_guardIds.clear();
  if (m_pfnCancelAuth() != 0) return FALSE;
  return ::FreeLibrary(m_hGuardLib) ? TRUE : FALSE;
}

std::string DrivePart(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
    return path.substr(0, 2);
  return {};
}

BOOL RegisterMediaWriter(const std::string& path) {
  const std::string drive = DrivePart(path);
  HMODULE lib = fw::AfxLoadProgramLibrary("tarvodev.dll");
  if (!lib) return FALSE;
  auto hook = reinterpret_cast<PFN_TVDEV_HookAddPidEx>(
      reinterpret_cast<void*>(::GetProcAddress(lib, "TVDEV_HookAddPidEx")));
  if (!hook) {
    ::FreeLibrary(lib);
    return FALSE;
  }
  hook(drive.c_str(), ::GetCurrentProcessId(), 0, 1, 0);
  ::FreeLibrary(lib);
  return TRUE;
}
