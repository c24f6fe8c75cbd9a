// The token file of the software token: key names and values, either in the open or
// sealed under a key derived from the token's PIN. The layout and its parsing are in
// tokenformat.h; this adds the check, the PIN and the records handed out.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "contracts/tokenplugin.h"
#include "tokenformat.h"

namespace tvtoken {

constexpr const char* kTokenFileName = "tvtoken.tok";
constexpr uint32_t kDefaultIterations = 200000;

bool IsSealed(const uint8_t* file, size_t size);

// Decodes a token file. On Ok, *records holds *count records allocated with new[]
// (nullptr when there are none), strings zero-terminated, Selected 0; the caller wipes
// and deletes them. `pin` nullptr: the file must be open.
Decoded Decode(const uint8_t* file, size_t size, const char* pin, TokenKeyRecord** records,
               DWORD* count);

// Encodes `count` keys (names and values of 1-127 bytes); sealed under `pin` unless it
// is nullptr. False for a key that does not fit or when the platform's crypto fails.
bool Encode(const TokenKeyRecord* keys, size_t count, const char* pin, uint32_t iterations,
            std::vector<uint8_t>* out);

// Wipes and frees records from Decode.
void FreeRecords(TokenKeyRecord* records, DWORD count);

}  // namespace tvtoken
