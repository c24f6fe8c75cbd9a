// The jobs that later work fills in. Until then a
// job says plainly, with the sources it was given, that this build cannot run it.
#include "app.h"
#include "mbcs.h"
#include "string_ids.h"
#include "velvoxdlg.h"

namespace {

int ShowNotBuilt(const char* job, const std::list<std::string>& sources) {
  std::string list;
  for (const std::string& s : sources) list += s + "\n";
  fw::AfxMessageBox(fw::FormatArgs(fw::LoadStr(IDS_JOB_NOT_BUILT), {job, list}),
                    MB_OK | MB_ICONINFORMATION);
  return 0;
}

}  // namespace

int CVelvoxDlg::EncryptJob() { return ShowNotBuilt("EncryptJob", m_sources); }
