// The token plug-in named by the settings, loaded for one run of the token flow.
#pragma once
#include <windows.h>

#include <string>

#include "contracts/tokenplugin.h"
#include "wnd.h"

// A window object that never creates a window: it only carries the plug-in's module and
// entry points. The destructor leaves the module alone; UnloadPlugIn releases it.
class CPlugIns : public fw::CWnd {
 public:
  CPlugIns() = default;
  ~CPlugIns() override;
  CPlugIns(const CPlugIns&) = delete;
  CPlugIns& operator=(const CPlugIns&) = delete;

  // `folder`\`name` when `name` is a plain file name of that folder: no '\', '/' or ':',
  // no "..", none of * ? " < > | or control characters, not ending in a dot or a space
  // (the system drops those, so the name would be another's), and readable in the code
  // page (a byte 0x5C that trails a double-byte character is no separator). Empty for
  // any other name.
  static std::string PathInFolder(const std::string& folder, const std::string& name);
  // 1 when the library loads and exports all six entry points. A library lacking one is
  // released again at once: nothing of it stays in the process.
  BOOL LoadPlugIn(const std::string& path);
  void UnloadPlugIn();

  DWORD Initialize(HWND owner) const;
  DWORD GetKeyInfo(HWND owner, DWORD* count, TokenKeyRecord** records) const;
  void FreeBuffer(HWND owner, TokenKeyRecord* records) const;
  void Shutdown(HWND owner) const;

  HMODULE m_hModule = nullptr;
  PFN_TPP_Initialize m_pfnInitialize = nullptr;
  PFN_TPP_Shutdown m_pfnShutdown = nullptr;
  PFN_TPP_GetKeyInfo m_pfnGetKeyInfo = nullptr;
  PFN_TPP_FreeBuffer m_pfnFreeBuffer = nullptr;
  PFN_TPP_GetVesion m_pfnGetVesion = nullptr;
  PFN_TPP_ShowVesion m_pfnShowVesion = nullptr;
};
