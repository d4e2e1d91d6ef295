// MD5 through libcrypto's EVP interface (the host's builder and tests).
#include <openssl/evp.h>

#include <cstring>

#include "common/handle.h"
#include "common/md5.h"

struct Md5::State {
  Handle<EVP_MD_CTX*, EVP_MD_CTX_free> context{EVP_MD_CTX_new()};
  bool ok = false;
};

Md5::Md5() : state_(std::make_unique<State>()) {
  state_->ok = state_->context && EVP_DigestInit_ex(state_->context.get(), EVP_md5(), nullptr) == 1;
}

Md5::~Md5() = default;

void Md5::Update(const void* data, size_t length) {
  if (state_->ok && EVP_DigestUpdate(state_->context.get(), data, length) != 1) state_->ok = false;
}

bool Md5::Final(uint8_t out[kDigestLength]) {
  unsigned int n = 0;
  if (state_->ok && EVP_DigestFinal_ex(state_->context.get(), out, &n) == 1 && n == kDigestLength) {
    return true;
  }
  memset(out, 0, kDigestLength);
  return false;
}
