#include "stubdriver.h"

#include <gtest/gtest.h>

#include "uidriver.h"

namespace vxtest {

namespace {
constexpr int kStubPassword = 1001, kStubFolder = 1002;
}

SelfDecryptingRun RunSelfDecrypting(const std::string& exe, const std::string& password,
                                    const std::string& folder,
                                    const std::function<void(const char*, HWND)>& onDialog) {
  SelfDecryptingRun run;
  auto p = Process::Start("\"" + exe + "\"");
  if (!p.pid()) return run;
  // The stub's title follows its language; its dialogs are known by their controls.
  HWND pw = WaitForDialogWith(kStubPassword, p.pid());
  if (!pw) return run;
  SetControlText(pw, kStubPassword, password);
  if (onDialog) onDialog("password", pw);
  ClickButton(pw, IDOK);
  if (!WaitWindowGone(pw, 30000)) {
    ADD_FAILURE() << "the self-decrypting password dialog stayed open";
    return run;
  }
  HWND dest = WaitForDialogWith(kStubFolder, p.pid(), 30000);
  if (!dest) return run;
  SetControlText(dest, kStubFolder, folder);
  if (onDialog) onDialog("folder", dest);
  ClickButton(dest, IDOK);
  run.doneText = AnswerMessageBox(IDOK, "TARVO-Pro", 60000, p.pid()).text;
  run.exitCode = p.Wait(30000);
  return run;
}

}  // namespace vxtest
