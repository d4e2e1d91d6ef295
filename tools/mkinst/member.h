// The archive's gzip member, compressed on every core.
//
// The input is cut into blocks of a fixed size; each block is deflated on its
// own by libdeflate (third_party/libdeflate), primed with the 32 KB of input
// before it as its dictionary, and ends byte-aligned with an empty stored
// block, as after zlib's sync flush, so that the blocks joined in
// order are one deflate stream. The check value is the blocks' CRC-32s
// combined. Every output byte depends only on the input and the level, never
// on the number of threads, the timing or the build platform: builds stay
// reproducible.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace mkinst {

// Input bytes per block: large enough that the dictionary and the block
// ends cost little, small enough that the cores finish close together.
inline constexpr size_t kPackBlock = 512 * 1024;

class GzipMember {
 public:
  // Writes the gzip header at once. `threads` 0: one per core.
  GzipMember(FILE* out, int level, unsigned threads = 0);
  ~GzipMember();
  GzipMember(const GzipMember&) = delete;
  GzipMember& operator=(const GzipMember&) = delete;

  // False once zlib refused the level or a write failed.
  bool ok() const;
  // Why not, when it was not a write that failed (that leaves it empty).
  const std::string& error() const;
  // Takes more input; blocks are written as they are done, in order.
  bool Add(const void* data, size_t length);
  // Compresses what is left, writes every block and the trailer.
  bool Finish();

  // Member bytes written so far, and the input bytes they hold.
  uint64_t written() const;
  uint64_t input_written() const;

  static unsigned DefaultThreads();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mkinst
