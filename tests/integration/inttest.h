// Fixtures of the integration tests: scratch folders, registry keys restored after a
// test, the real log service started and stopped, and the suite components' journals.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "uidriver.h"

namespace inttest {

// A fresh, empty folder C:\vxint\<name>\ (with the trailing backslash), removed when the
// test program ends.
std::string Scratch(const std::string& name);
// Creates a folder of any length (through the "\\?\" form) and returns whether it exists.
bool MakeLongFolder(const std::string& path);
// The lines of a text file (CR LF or LF), empty when it is missing.
std::vector<std::string> ReadLines(const std::string& path);
// Lines of `lines` that contain `part`.
std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& part);

// Remembers a key of HKEY_LOCAL_MACHINE with its values and puts it back as it was
// (or removes it) when the test ends.
class MachineKey {
 public:
  explicit MachineKey(std::string key);
  ~MachineKey();
  MachineKey(const MachineKey&) = delete;
  MachineKey& operator=(const MachineKey&) = delete;
  void Remove();
  void SetString(const char* name, const std::string& value);
  void SetDword(const char* name, DWORD value);

 private:
  struct Value {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::string key_;
  bool existed_ = false;
  std::vector<Value> values_;
};

// The suite's log service, tglogsvc.exe, running while this object lives.
class LogService {
 public:
  LogService(DWORD status, const std::string& ident);
  ~LogService();
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;
  bool ready() const { return ready_; }

 private:
  vxtest::Process process_;
  bool ready_ = false;
};

}  // namespace inttest
