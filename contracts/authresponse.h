// The challenge-response transform that proves this program to the guard client and to
// the elevated settings writer. The program and the suite's peers link the same code
// (vx_auth), so the secret of the deployment has one definition.
#pragma once
#include <windows.h>

// One AES-128 block (FIPS-197) through the platform's CNG. 0 when CNG fails.
BOOL AesEncryptBlock128(const BYTE key[16], const BYTE in[16], BYTE out[16]);

// response = AES(key = AES(key = secret[1 + (challenge[8] & 15)], 16 characters;
//                         challenge), challenge).
// 0 when CNG fails; `response` is then all zero, which no peer accepts.
BOOL ComputeAuthResponse(const BYTE challenge[16], BYTE response[16]);
