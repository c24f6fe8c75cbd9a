// The suite's software token set up for one test: a copy of tvtoken.dll in a plug-in
// folder of its own, configured to read its token file from a scratch folder.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "tvtest.h"

namespace tokentest {

using Keys = std::vector<std::pair<std::string, std::string>>;  // name, value

class SoftToken {
 public:
  static constexpr const char* kPlugIn = "tvtoken.dll";
  static constexpr const char* kPin = "2468";

  SoftToken();
  const std::string& PlugInFolder() const { return plugIns_.path(); }
  std::string PlugInPath() const { return plugIns_ / kPlugIn; }
  std::string TokenFile() const;
  // Writes the token file; sealed under `pin` unless it is nullptr.
  void Write(const Keys& keys, const char* pin = nullptr) const;
  void Remove() const;

 private:
  tvtest::TempDir plugIns_;
  tvtest::TempDir tokens_;
};

// Titles of the plug-in's own windows (system code page).
std::string PinPromptTitle();
std::string PlugInBoxTitle();

}  // namespace tokentest
