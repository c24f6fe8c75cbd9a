// The steps that the key input and key selection dialogs share when OK checks a key.
#pragma once
#include <windows.h>

#include <string>

// Whether `name` is usable without its value, and its algorithm. Before Vista the
// algorithm is not looked up (0).
void GetKeyValidity(const std::string& name, BOOL* valid, int* algorithm);

// Proves `value` for `name` with the crypto library and, when it is right, announces
// the key to the suite; 1 when the key is accepted. A 256-bit key's value is upper-cased
// in place first (the form the store proves). Every failure shows its message and puts
// the focus where the user must correct it: an unknown name on `nameControl`, a wrong
// value on `valueControl`. A damaged key template ends the process with exit code 1
// after its message.
BOOL CertifyEnteredKey(const std::string& name, std::string& value, int algorithm, BOOL valid,
                       HWND nameControl, HWND valueControl);
