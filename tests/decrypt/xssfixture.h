// Encrypted archives made the way users get them: keys added with the suite's own
// administration tool, the archive packed by Zoras.dll and encrypted by tarvodev.dll.
#pragma once
#include <windows.h>

#include <string>

namespace dectest {

// Runs tvkeyadm.exe (beside the test) with `args` against the store that TARVODEV_HOME
// names for the library (the tool is given it with --store); its exit code.
int KeyAdm(const std::string& args);
// Adds a key with few hashing rounds (tests stay fast); enabled keys work without value.
void AddKey(const std::string& name, const char* alg, const std::string& value, bool enabled);

// Packs `name`, a file or folder in `folder`, into the ZIP archive `zip`.
bool Pack(const std::string& folder, const std::string& name, const std::string& zip);
// Encrypts `zip` into `xss` under `key`, proving `value` first unless it is empty.
bool Encrypt(const std::string& key, const std::string& value, const std::string& zip,
             const std::string& xss);

}  // namespace dectest
