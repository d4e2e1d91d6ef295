// SHA-256 digests: the check of an external installer against the digest
// its manifest line gives, through the Windows CryptoAPI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  static constexpr size_t kDigestLength = 32;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t length);
  // The digest of everything added, in lower-case hexadecimal; empty when
  // the system could not compute it. Call once.
  std::string HexFinal();

 private:
  uintptr_t provider_ = 0;
  uintptr_t hash_ = 0;
  bool ok_ = false;
};
