#include "inttest.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "contracts/oplog.h"
#include "testfiles.h"

namespace inttest {

namespace {

// Scratch folders go when the test program ends, and C:\vxint with the last of them.
class ScratchFolders : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const std::string& folder : made) vxtest::RemoveTree(folder);
    made.clear();
    RemoveDirectoryA("C:\\vxint");
  }
  std::set<std::string> made;
};
ScratchFolders* const g_scratch =
    static_cast<ScratchFolders*>(::testing::AddGlobalTestEnvironment(new ScratchFolders));

}  // namespace

std::string Scratch(const std::string& name) {
  const std::string folder = "C:\\vxint\\" + name;
  g_scratch->made.insert(folder);
  vxtest::RemoveTree(folder);
  CreateDirectoryA("C:\\vxint", nullptr);
  EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
  return folder + "\\";
}

bool MakeLongFolder(const std::string& path) {
  wchar_t wide[1024] = {};
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 1024);
  std::wstring full = L"\\\\?\\" + std::wstring(wide);
  CreateDirectoryW(full.c_str(), nullptr);
  const DWORD attrs = GetFileAttributesW(full.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& part) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.find(part) != std::string::npos) out.push_back(l);
  return out;
}

MachineKey::MachineKey(std::string key) : key_(std::move(key)) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return;
  existed_ = true;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameLen = sizeof(name);
    BYTE data[4096];
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (RegEnumValueA(h, i, name, &nameLen, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    values_.push_back({name, type, std::vector<BYTE>(data, data + size)});
  }
  RegCloseKey(h);
}

MachineKey::~MachineKey() {
  Remove();
  if (!existed_) return;
  HKEY h = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                      nullptr) != ERROR_SUCCESS)
    return;
  for (const Value& v : values_)
    RegSetValueExA(h, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
  RegCloseKey(h);
}

void MachineKey::Remove() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_.c_str()); }

void MachineKey::SetString(const char* name, const std::string& value) {
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, key_.c_str(), name, REG_SZ, value.c_str(),
                            static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
}

void MachineKey::SetDword(const char* name, DWORD value) {
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, key_.c_str(), name, REG_DWORD, &value,
                            sizeof(value)),
            ERROR_SUCCESS);
}

LogService::LogService(DWORD status, const std::string& ident) {
  process_ = vxtest::Process::Start("\"" + vxtest::ExeFolder() + "tglogsvc.exe\" --status " +
                                    std::to_string(status) + " --ident \"" + ident + "\"");
  // Ready once its section holds what it was told: the section is visible as soon as
  // the service creates it, before its identification and status are written.
  for (int i = 0; i < 1500 && process_.running(); ++i) {
    if (HANDLE m = OpenFileMappingA(FILE_MAP_READ, FALSE, kLogServiceSection)) {
      if (const auto* shared = static_cast<const TGT_SHARED_MEMORY*>(
              MapViewOfFile(m, FILE_MAP_READ, 0, 0, sizeof(TGT_SHARED_MEMORY)))) {
        ready_ = shared->status == status &&
                 std::string(shared->ident, strnlen(shared->ident, sizeof shared->ident)) == ident;
        UnmapViewOfFile(shared);
      }
      CloseHandle(m);
      if (ready_) return;
    }
    Sleep(10);
  }
  ADD_FAILURE() << "the log service did not come up";
}

LogService::~LogService() {
  vxtest::Process stop =
      vxtest::Process::Start("\"" + vxtest::ExeFolder() + "tglogsvc.exe\" --stop");
  EXPECT_EQ(stop.Wait(), 0u);
  EXPECT_EQ(process_.Wait(), 0u);
}

}  // namespace inttest
