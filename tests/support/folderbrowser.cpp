#include "folderbrowser.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>

namespace vxtest {

namespace {

template <typename F>
bool WaitUntil(F done, DWORD ms = kDefaultWait) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20))
    if (done()) return true;
  return done();
}

HWND TreeOf(HWND browser) { return FindWindowExA(browser, nullptr, "SysTreeView32", nullptr); }

// Depth of the tree's selected item: desktop 0, computer 1, drive 2, one per folder.
int SelectedDepth(HWND tree) {
  int n = -1;
  for (LPARAM item = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0); item;
       item = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_PARENT, item))
    ++n;
  return n;
}
int DepthOf(std::string path) {
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return 2 + static_cast<int>(std::count(path.begin(), path.end(), '\\'));
}

}  // namespace

HWND WaitFolderBrowser(DWORD pid, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        for (HWND w : FindWindows("", "#32770", pid))
          if (TreeOf(w)) found = w;
        return found != nullptr;
      },
      timeoutMs);
  if (!found) ADD_FAILURE() << "no folder browser; windows:\n" << DescribeWindows();
  return found;
}

void SettleFolderTimes(const std::string& path) {
  for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
    for (const std::string& dir : {path.substr(0, at), path}) {
      WIN32_FIND_DATAA fd;
      HANDLE f = FindFirstFileA((dir + "\\*").c_str(), &fd);
      if (f == INVALID_HANDLE_VALUE) continue;
      while (FindNextFileA(f, &fd)) {
      }
      FindClose(f);
    }
  }
}

void ExpectFolderSelected(HWND browser, const std::string& folder) {
  HWND tree = TreeOf(browser);
  ASSERT_NE(tree, nullptr);
  EXPECT_TRUE(WaitUntil([&] {
    return SelectedDepth(tree) == DepthOf(folder) && IsWindowEnabled(GetDlgItem(browser, IDOK));
  })) << "selected depth " << SelectedDepth(tree) << ", wanted " << DepthOf(folder) << " for "
      << Utf8(folder);
}

void SelectFolder(const Process& p, HWND browser, const std::string& folder) {
  void* remote = VirtualAllocEx(p.handle(), nullptr, folder.size() + 1, MEM_COMMIT | MEM_RESERVE,
                                PAGE_READWRITE);
  ASSERT_NE(remote, nullptr);
  ASSERT_TRUE(WriteProcessMemory(p.handle(), remote, folder.c_str(), folder.size() + 1, nullptr));
  SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(remote));
  ExpectFolderSelected(browser, folder);
  VirtualFreeEx(p.handle(), remote, 0, MEM_RELEASE);
}

}  // namespace vxtest
