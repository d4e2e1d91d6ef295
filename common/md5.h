// MD5 digests: the archive's filecheck. One interface, two implementations:
// md5_cryptoapi.cpp (the Windows CryptoAPI, in the stub and the Windows
// builder) and md5_openssl.cpp (libcrypto, on the host).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class Md5 {
 public:
  static constexpr size_t kDigestLength = 16;

  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void Update(const void* data, size_t length);
  // The digest of everything added; false (and 16 zero bytes) when the
  // system could not compute it. Call once.
  bool Final(uint8_t out[kDigestLength]);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
