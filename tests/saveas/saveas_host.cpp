// The save-as dialog as the encryption job shows it, in a process of its own so that
// the test can choose the Windows version that start-up finds (Wine reads it per
// executable name when the process starts). The test acts as the user from outside.
//   vx_saveas_host.exe <result file> <self ext> <SELFEXTRACT> <initial folder> <name>
// The result file gets "os=", "result=", "path=" and "self=" lines.
#include <windows.h>

#include <fstream>
#include <string>

#include "app.h"
#include "dialog.h"
#include "filedlg.h"
#include "mbcs.h"
#include "resource.h"
#include "string_ids.h"
#include "velvoxapp.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  CVelvoxApp app;
  app.m_hInstance = ::GetModuleHandleA(nullptr);
  app.LoadConfiguration();
  app.m_nSelfExtract = atoi(argv[3]);
  const std::string ext = argv[2];

  fw::CDialog main(IDD_VELVOX_DIALOG);
  main.Create();
  app.m_pMainWnd = &main;

  const std::string filter = fw::Sprintf(fw::LoadStr(IDS_SAVE_FILTER).c_str(), ext.c_str(), ext.c_str());
  CVxFileDlg dlg(FALSE, "xss", argv[5], OFN_HIDEREADONLY | OFN_NOVALIDATE, filter, nullptr, 0);
  if (app.m_nSelfExtract == 1) dlg.m_ofn.nFilterIndex = 2;
  dlg.m_strSelfExt = ext;
  dlg.SetInitialDir(argv[4]);
  const INT_PTR result = dlg.DoModal();

  std::ofstream out(argv[1], std::ios::binary);
  out << "os=" << OsVersionCode << "\nresult=" << (result == IDOK ? "ok" : "cancel")
      << "\npath=" << (result == IDOK ? dlg.GetPathName() : std::string())
      << "\nself=" << (dlg.m_bSelfDecryptChecked ? 1 : 0) << "\n";
  out.close();
  app.m_pMainWnd = nullptr;
  main.DestroyWindow();
  return 0;
}
