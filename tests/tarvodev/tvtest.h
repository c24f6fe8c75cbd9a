// Helpers for the crypto and key library's tests: scratch folders, whole-file I/O, a
// key store of the test's own (TARVODEV_HOME) and keys made with few PBKDF2 rounds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/tvdev.h"
#include "keystore.h"

namespace tvtest {

using Bytes = std::vector<uint8_t>;

// A fresh folder under %TEMP%, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
  // Names of the files directly inside, sorted.
  std::vector<std::string> List() const;

 private:
  std::string path_;
};

Bytes ReadAll(const std::string& path);
void WriteAll(const std::string& path, const Bytes& data);
bool Exists(const std::string& path);
// Deterministic test data.
Bytes Pattern(size_t size, uint32_t seed = 1);

// Points the library at a key store in its own scratch folder for the object's life.
class StoreHome {
 public:
  StoreHome();
  ~StoreHome();
  const TempDir& dir() const { return dir_; }
  std::string StoreFile() const { return dir_ / "keystore.dat"; }

 private:
  TempDir dir_;
};

// Adds a key to the current store (iterations kept low so that tests stay fast).
tvdev::store::StoredKey AddKey(const std::string& name, int algorithm, const std::string& value,
                               bool enabled = false, bool suspended = false,
                               const std::string& description = "");

// Counts progress calls and answers 1 at call number `cancelAt` (1-based; 0 never).
struct ProgressLog {
  static int calls;
  static int cancelAt;
  static DWORD lastTotal, lastDone;
  static bool monotonic;
  static void Reset(int cancelAtCall = 0);
  static int WINAPI Callback(DWORD total, DWORD done, DWORD, DWORD, DWORD);
};

}  // namespace tvtest
