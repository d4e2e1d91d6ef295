// MD5 through the Windows CryptoAPI (advapi32): the platform's own digest
// keeps the stub a single file.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "common/handle.h"
#include "common/md5.h"

namespace {
void ReleaseProvider(HCRYPTPROV p) {
  CryptReleaseContext(p, 0);
}
void DestroyHash(HCRYPTHASH h) {
  CryptDestroyHash(h);
}
}  // namespace

struct Md5::State {
  // Declared in this order so that the hash goes before its provider.
  Handle<HCRYPTPROV, ReleaseProvider> provider;
  Handle<HCRYPTHASH, DestroyHash> hash;
  bool ok = false;
};

Md5::Md5() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.ok = CryptAcquireContextA(s.provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT) &&
         CryptCreateHash(s.provider.get(), CALG_MD5, 0, 0, s.hash.put());
}

Md5::~Md5() = default;

void Md5::Update(const void* data, size_t length) {
  const BYTE* p = static_cast<const BYTE*>(data);
  // CryptHashData takes a DWORD count.
  while (state_->ok && length > 0) {
    DWORD n = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
    if (!CryptHashData(state_->hash.get(), p, n, 0)) state_->ok = false;
    p += n;
    length -= n;
  }
}

bool Md5::Final(uint8_t out[kDigestLength]) {
  DWORD n = kDigestLength;
  if (state_->ok && CryptGetHashParam(state_->hash.get(), HP_HASHVAL, out, &n, 0) &&
      n == kDigestLength) {
    return true;
  }
  memset(out, 0, kDigestLength);
  return false;
}
