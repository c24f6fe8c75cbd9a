// Runs SetUpOperationLog(0) and exits with its result; the log test starts it from a
// folder that lacks one of the suite's libraries.
#include "velvoxdlg.h"

int main() {
  CVelvoxDlg dlg;
  const BOOL ok = dlg.SetUpOperationLog(0);
  if (ok) dlg.ReleaseGuard();
  return ok ? 1 : 0;
}
