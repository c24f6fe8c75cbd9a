// vxdatadir.exe: run by the setup, as administrator, before it uses the suite's data
// folder (datafolder.h says what it does). Not installed.
//   vxdatadir.exe [--root FOLDER] [--settings]
//     FOLDER: the common application-data folder
//     --settings: then writes the default settings that are missing (WriteMissingSettings)
// Exit codes: 0 done, 1 bad usage or not run as administrator, 2 a link, or a level that
// is not a folder, 3 a folder or file to be moved aside is held by another program,
// 4 other failure.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "datafolder.h"
#include "dllsearch.h"
#include "settings_defaults.h"

int wmain(int argc, wchar_t** argv) {
  // It runs as administrator; whoever can write its folder, the setup's current folder or
  // a folder on PATH must not have it load a DLL of theirs.
  suite::RestrictDllSearch();
  std::wstring root;
  bool settings = false;
  if (argc > 1 && std::wstring(argv[argc - 1]) == L"--settings") {
    settings = true;
    --argc;
  }
  if (argc == 3 && std::wstring(argv[1]) == L"--root") {
    root = argv[2];
  } else if (argc == 1) {
    wchar_t common[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                  common)))
      return 4;
    root = common;
  } else {
    std::fputs("usage: vxdatadir [--root FOLDER] [--settings]\n", stderr);
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
  if (outcome != vxsetup::Outcome::kDone) {
    std::fprintf(stderr, "vxdatadir: %ls\n", report.problem.c_str());
    return static_cast<int>(outcome);
  }
  if (settings) {
    wchar_t media[MAX_PATH] = {};
    DWORD size = sizeof(media);
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vxsetup::kMediaFilterKey, 0,
                        KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS ||
        ::RegGetValueW(key, nullptr, vxsetup::kMediaFilterValue, RRF_RT_REG_SZ, nullptr, media,
                       &size) != ERROR_SUCCESS)
      media[0] = L'\0';
    if (key) ::RegCloseKey(key);
    if (!vxsetup::WriteMissingSettings(root + L"\\Norvane\\TARVO-Pro", media)) {
      std::fputs("vxdatadir: the default settings cannot be written\n", stderr);
      return static_cast<int>(vxsetup::Outcome::kFailed);
    }
  }
  return 0;
}
