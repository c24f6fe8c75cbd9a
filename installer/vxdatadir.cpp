// vxdatadir.exe: run by the setup, as administrator, before it uses the suite's data
// folder (datafolder.h says what it does). Not installed.
//   vxdatadir.exe [--root FOLDER]   FOLDER: the common application-data folder
// Exit codes: 0 done, 1 bad usage or not run as administrator, 2 a link, or a level that
// is not a folder, 3 a folder or file to be moved aside is held by another program,
// 4 other failure.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "datafolder.h"
#include "dllsearch.h"

int wmain(int argc, wchar_t** argv) {
  // It runs as administrator; whoever can write its folder, the setup's current folder or
  // a folder on PATH must not have it load a DLL of theirs.
  suite::RestrictDllSearch();
  std::wstring root;
  if (argc == 3 && std::wstring(argv[1]) == L"--root") {
    root = argv[2];
  } else if (argc == 1) {
    wchar_t common[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                  common)))
      return 4;
    root = common;
  } else {
    std::fputs("usage: vxdatadir [--root FOLDER]\n", stderr);
    return 1;
  }
  while (root.size() > 3 && root.back() == L'\\') root.pop_back();
  if (!vxsetup::EnablePrivileges()) {
    std::fputs("vxdatadir: run as administrator (the privileges to take ownership, back up "
               "and restore files are needed)\n", stderr);
    return 1;
  }
  vxsetup::SystemSecurityIo io;
  vxsetup::Report report;
  const vxsetup::Outcome outcome = vxsetup::Prepare(root, io, &report);
  for (const auto& path : report.secured) std::printf("secured %ls\n", path.c_str());
  for (const auto& [from, to] : report.setAside)
    std::printf("not made by administrators for the setup, moved aside: %ls -> %ls\n",
                from.c_str(), to.c_str());
  if (outcome != vxsetup::Outcome::kDone)
    std::fprintf(stderr, "vxdatadir: %ls\n", report.problem.c_str());
  return static_cast<int>(outcome);
}
