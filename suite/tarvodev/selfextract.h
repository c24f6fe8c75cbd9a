// Self-decrypting executables: the stub program (tvsfxstub.exe, carried inside the
// library as a resource) followed by a password-protected payload and a trailer that
// gives the payload's offset.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/tvdev.h"

namespace tvdev::sfx {

// PBKDF2-SHA256 iterations for password-protected payloads.
constexpr uint32_t kPasswordIterations = 600'000;

// The one form a password takes on both sides: printable ASCII 0x21-0x7E with the
// letters a-z upper-cased. The program's password dialog accepts nothing else and the
// stub's field upper-cases what is typed; bytes outside ASCII would depend on the code
// page of whoever types them, and a lower-case non-ASCII letter would be upper-cased by
// the stub's field only. The narrow form is what the library is given; the wide form is
// what the stub's field holds. Empty or anything else: nullopt.
std::optional<std::string> CanonicalPassword(std::string_view password);
std::optional<std::string> CanonicalPassword(std::wstring_view password);

// Key that wraps a payload's data key, from a password in canonical form.
bool PasswordKey(const std::string& canonical, const uint8_t salt[16], uint32_t iterations,
                 uint8_t key[32]);

// Takes an Authenticode signature off a PE image in memory: the certificate table (a
// signed image's last part) and the directory entry naming it. Every self-decrypting
// file is the stub with data appended, which a signature of the stub's would not cover:
// Windows would report the file's signature as damaged, which is worse than none. An
// unsigned image is left as it is.
void DropSignature(std::vector<uint8_t>* image);

// Writes stub + payload of `archivePath` to `outputPath`. A password that has no
// canonical form is refused with TVDEV_ERR_INVALID_ARGUMENT: the file could never be
// opened.
DWORD Create(const std::string& archivePath, const std::string& outputPath,
             const std::string& password, DWORD attemptLimit, bool english,
             TVDEV_PROGRESS progress);

}  // namespace tvdev::sfx
