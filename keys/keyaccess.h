// Reads of the suite's key store through tarvodev.dll. Nothing is cached: every call
// reads the store afresh, so a key added or enabled by the administrator counts at once.
// Key names are compared ignoring the case of ASCII letters unless a function says
// otherwise; an unreadable store is never reported by itself, it just holds no key.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "contracts/tvdev.h"

// Every record of the store, in store order. 0 when the store cannot be read.
BOOL ReadAllKeys(std::vector<KeyInfo>& keys);
BOOL KeyExists(const std::string& name);
// A key of that name that is usable without its value (KeyInfo.Valid 1).
BOOL ValidKeyExists(const std::string& name);
// Outputs start at 0; found/valid/algorithm of the first record with that name.
// 0 only when the store cannot be read.
BOOL GetKeyStatus(const std::string& name, BOOL* found, BOOL* valid, int* algorithm);
// Key length in bits of the key called `name`; 0 when it is not registered.
BOOL GetKeyLength(const std::string& name, int* length);
// The names for the registered-key list file: enabled keys that have a template entry,
// or that are the media settings' key (whose settings are re-read first).
void ListUsableKeyNames(std::vector<std::string>& names);
// 1 when the key's "tarvo.ini" in the template folder has a path entry.
BOOL HasTemplateEntry(const std::string& name);

// Texts shown for a KeyAlgorithm code; empty for an unknown code.
std::string AlgorithmText(int algorithm);
std::string KeyLengthText(int algorithm);

// Equal but for the case of ASCII letters; trail bytes of double-byte characters
// compare exactly.
bool KeyNamesEqual(const std::string& a, const std::string& b);
