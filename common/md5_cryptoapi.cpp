// MD5 through the Windows CryptoAPI (advapi32): the platform's own digest
// keeps the stub a single file.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "common/handle.h"
#include "common/md5.h"

namespace {
void DestroyHash(HCRYPTHASH h) {
  CryptDestroyHash(h);
}

// The provider, acquired at the first digest and kept for the rest of the
// run: releasing it unloads the provider's libraries, and under Wine that
// and loading them again for the next digest cost 6-15 ms each time (a run
// makes two or three digests). Another thread that acquires one at the
// same moment releases its own and takes the one that was stored first.
HCRYPTPROV SharedProvider() {
  static volatile LONG stored = 0;
  static_assert(sizeof(HCRYPTPROV) == sizeof(LONG), "a provider handle fits a LONG");
  if (HCRYPTPROV p = static_cast<HCRYPTPROV>(stored)) return p;
  HCRYPTPROV p = 0;
  if (!CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return 0;
  LONG before = InterlockedCompareExchange(&stored, static_cast<LONG>(p), 0);
  if (before == 0) return p;
  CryptReleaseContext(p, 0);
  return static_cast<HCRYPTPROV>(before);
}
}  // namespace

struct Md5::State {
  Handle<HCRYPTHASH, DestroyHash> hash;
  bool ok = false;
};

Md5::Md5() : state_(std::make_unique<State>()) {
  State& s = *state_;
  HCRYPTPROV provider = SharedProvider();
  s.ok = provider && CryptCreateHash(provider, CALG_MD5, 0, 0, s.hash.put());
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
