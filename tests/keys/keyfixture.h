// The key store every key test runs against, the suite's add-on made "installed", and
// the resident window started as a child process.
#pragma once
#include <windows.h>

#include <string>

#include "process.h"
#include "testfiles.h"
#include "tvtest.h"

namespace keytest {

// Keys of the fixture store (names as stored; the store compares them ignoring case).
//   Alpha   AES, value "alphaValue9" (proven upper-cased), to be proven
//   Plan    Triple DES, value "plan-Value", to be proven
//   SALES   AES, enabled, no parameter file, Japanese description
//   DESKEY  DES, enabled, uses a parameter file
//   Broken  AES, value "broken1", its wrapped material damaged: proving it gives 4
struct FixtureKeys {
  static constexpr const char* kAlphaValue = "alphaValue9";
  static constexpr const char* kPlanValue = "plan-Value";
  static constexpr const char* kBrokenValue = "broken1";
  static std::string SalesDescription();  // system code page
};

// A store of the test's own (TARVODEV_HOME) holding the keys above.
class FixtureStore {
 public:
  FixtureStore();
  const tvtest::StoreHome& home() const { return home_; }

 private:
  tvtest::StoreHome home_;
};

// The mail add-on: its uninstall key present for the object's life, its data file in a
// scratch folder (TVXDRV_HOME).
class InstalledAddOn {
 public:
  InstalledAddOn();
  ~InstalledAddOn();
  std::string DataFile() const { return dir_ / "tvxdrv.dat"; }
  std::string Recorded() const;
  // Puts a folder where the data file goes (a read-only file would not stop root).
  void MakeUnwritable() const;

 private:
  vxtest::RegistryPutBack uninstallKey_;
  tvtest::TempDir dir_;
};

// tvresident.exe running with its record file in a scratch folder, until destruction.
class ResidentWindow {
 public:
  ResidentWindow();
  ~ResidentWindow();
  HWND hwnd() const { return hwnd_; }
  std::string Recorded() const;

 private:
  tvtest::TempDir dir_;
  vxtest::Process process_;
  HWND hwnd_ = nullptr;
};

std::string ReadText(const std::string& path);  // empty when missing

}  // namespace keytest
