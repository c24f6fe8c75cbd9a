// The shell's folder browser of another process, driven as a user would: wait for it,
// choose a folder, and know when OK may be pressed.
#pragma once
#include <windows.h>

#include <string>

#include "uidriver.h"

namespace vxtest {

// The browser of `pid` (the dialog that holds a tree view), or nullptr with a failure.
HWND WaitFolderBrowser(DWORD pid, DWORD timeoutMs = kDefaultWait);
// Wine's folder browser finds a folder by comparing item ids that carry each folder's
// last-access time, which the first listing after a change moves (relatime). Listing
// every folder of `path` once after a test changed it settles those times, so the
// browser's own walk finds the folder; on Windows this is a no-op.
void SettleFolderTimes(const std::string& path);
// Fails the test unless the browser shows `folder` selected and the program's callback
// has enabled OK for it.
void ExpectFolderSelected(HWND browser, const std::string& folder);
// Selects `folder` as a click in the tree would: through the browser's own selection
// request, its path placed in the program's memory (a tree item's text cannot be read
// or clicked by position from another process); then waits as ExpectFolderSelected.
void SelectFolder(const Process& p, HWND browser, const std::string& folder);

}  // namespace vxtest
