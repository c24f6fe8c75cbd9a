#include "contracts/authresponse.h"

#include <bcrypt.h>

#include <cstring>

#include "auth_secret.h"

BOOL AesEncryptBlock128(const BYTE key[16], const BYTE in[16], BYTE out[16]) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&alg, BCRYPT_AES_ALGORITHM, nullptr, 0)))
    return FALSE;
  BOOL ok = FALSE;
  BCRYPT_KEY_HANDLE hkey = nullptr;
  // One block: ECB is the plain block cipher (CBC with a zero vector gives the same).
  if (BCRYPT_SUCCESS(::BCryptSetProperty(alg, BCRYPT_CHAINING_MODE,
                                         reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(
                                             BCRYPT_CHAIN_MODE_ECB)),
                                         sizeof(BCRYPT_CHAIN_MODE_ECB), 0)) &&
      BCRYPT_SUCCESS(::BCryptGenerateSymmetricKey(alg, &hkey, nullptr, 0,
                                                  const_cast<PUCHAR>(key), 16, 0))) {
    BYTE block[16];
    std::memcpy(block, in, 16);
    ULONG done = 0;
    ok = BCRYPT_SUCCESS(::BCryptEncrypt(hkey, block, 16, nullptr, nullptr, 0, out, 16, &done,
                                        0)) &&
         done == 16;
    ::SecureZeroMemory(block, sizeof(block));
    ::BCryptDestroyKey(hkey);
  }
  ::BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

BOOL ComputeAuthResponse(const BYTE challenge[16], BYTE response[16]) {
  BYTE k1[16];
  BYTE e1[16];
  // The low four bits of byte 8 pick the 16 characters starting at 1 + k (at most
  // 16 + 16 = 32 of the 45).
  const unsigned k = challenge[8] & 0x0F;
  std::memcpy(k1, kVxAuthSecret + 1 + k, 16);
  BOOL ok = AesEncryptBlock128(k1, challenge, e1) && AesEncryptBlock128(e1, challenge, response);
  if (!ok) ::SecureZeroMemory(response, 16);
  ::SecureZeroMemory(k1, sizeof(k1));
  ::SecureZeroMemory(e1, sizeof(e1));
  return ok;
}
