// Loads one of the suite's libraries the way the program does and exits with 1 when a
// library was loaded, 0 otherwise; the library-search test starts it from a program
// folder that lacks that library, with a planted copy in the current folder or on PATH.
//   vx_libload_probe log          SetUpOperationLog(0): TCTrace, KvrGrd, tcexplog or tgexplog
//   vx_libload_probe mail         the mail add-on, tvxdrv.dll
//   vx_libload_probe bare <name>  after the start-up restriction, <name> by its bare name
#include <cstring>

#include "announce.h"
#include "app.h"
#include "velvoxdlg.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "log") == 0) {
    CVelvoxDlg dlg;
    const BOOL ok = dlg.SetUpOperationLog(0);
    if (ok) dlg.ReleaseGuard();
    return ok ? 1 : 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "mail") == 0) {
    CMailAddOn addOn;
    return addOn.Load() ? 1 : 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "bare") == 0) {
    fw::AfxRestrictLibrarySearch();
    return ::LoadLibraryA(argv[2]) ? 1 : 0;
  }
  return 2;
}
