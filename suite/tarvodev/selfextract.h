// Self-decrypting executables: the stub program (tvsfxstub.exe, carried inside the
// library as a resource) followed by a password-protected payload and a trailer that
// gives the payload's offset.
#pragma once

#include <windows.h>

#include <string>

#include "contracts/tvdev.h"

namespace tvdev::sfx {

// PBKDF2-SHA256 iterations for password-protected payloads.
constexpr uint32_t kPasswordIterations = 600'000;

// Passwords are compared upper-cased, as the program's password dialog and the stub's
// password field enter them.
std::string NormalizePassword(const std::string& password);

// Key that wraps a payload's data key, from the password.
bool PasswordKey(const std::string& password, const uint8_t salt[16], uint32_t iterations,
                 uint8_t key[32]);

// Writes stub + payload of `archivePath` to `outputPath`.
DWORD Create(const std::string& archivePath, const std::string& outputPath,
             const std::string& password, DWORD attemptLimit, bool english,
             TVDEV_PROGRESS progress);

}  // namespace tvdev::sfx
