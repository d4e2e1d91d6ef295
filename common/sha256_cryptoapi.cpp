#include "common/sha256.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

// SHA-256 needs the provider with the AES algorithms (Windows XP SP3 on);
// a digest is taken once or twice a run, so the provider is not kept.
Sha256::Sha256() {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  ok_ = CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
  provider_ = provider;
  hash_ = hash;
}

Sha256::~Sha256() {
  if (hash_) CryptDestroyHash(static_cast<HCRYPTHASH>(hash_));
  if (provider_) CryptReleaseContext(static_cast<HCRYPTPROV>(provider_), 0);
}

void Sha256::Update(const void* data, size_t length) {
  const BYTE* p = static_cast<const BYTE*>(data);
  // CryptHashData takes a DWORD count.
  while (ok_ && length > 0) {
    const DWORD n = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
    ok_ = CryptHashData(static_cast<HCRYPTHASH>(hash_), p, n, 0) != FALSE;
    p += n;
    length -= n;
  }
}

std::string Sha256::HexFinal() {
  BYTE digest[kDigestLength];
  DWORD n = sizeof digest;
  if (!ok_ || !CryptGetHashParam(static_cast<HCRYPTHASH>(hash_), HP_HASHVAL, digest, &n, 0) ||
      n != kDigestLength) {
    return {};
  }
  char hex[2 * kDigestLength + 1];
  for (size_t i = 0; i < kDigestLength; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}
