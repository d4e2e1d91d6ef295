// The installer archive's layout, defined once for the stub that reads it and
// the builder that writes it. Every multi-byte integer is little-endian.
//
//   0 .. headersize          executable headers (not covered: code signing rewrites them)
//   23040 .. +16             the stub bytes that make the manifest signature
//   stub length              archive header (on the 1024-byte grid, at least 204800)
//   stub length + 20         one gzip member: records of u32 length + bytes
//   headersize + setuplen    filecheck: MD5 of [headersize, headersize + setuplen)
//   after the filecheck      ignored (padding, a certificate table)
//   last 4 bytes             optional referral tag
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace archive {

// The magic's eight bytes count down from 0xA3. They are compared and
// written one by one, never kept as a row of bytes: a program that holds the
// row on the grid (a stub past the first scan position, a test tool) would be
// taken for an installer with its own archive there.
inline constexpr uint8_t kMagicFirst = 0xA3;
inline constexpr size_t kMagicLength = 8;

// The header is searched for from here on, in steps of the grid.
inline constexpr uint32_t kMinStubLength = 204800;
inline constexpr uint32_t kStubGrid = 1024;

inline constexpr uint32_t kSignatureOffset = 23040;
inline constexpr uint32_t kSignatureBytes = 16;
// Two upper-case hex digits per signature byte.
inline constexpr size_t kSignatureLength = 2 * kSignatureBytes;

inline constexpr uint32_t kFilecheckLength = 16;
inline constexpr uint32_t kRecordLengthBytes = 4;
inline constexpr uint32_t kReferralTagLength = 4;

// Chunk of the filecheck's reads (the stub's throughput depends on it) and of
// extraction and copying (each chunk is one progress report).
inline constexpr uint32_t kFilecheckChunk = 16384;
inline constexpr uint32_t kCopyChunk = 8192;

// The 20 bytes at the stub length, as they lie in the file.
struct Header {
  uint8_t magic[kMagicLength];
  uint8_t stub_length[4];  // equals the header's own offset
  uint8_t setuplen[4];     // bytes covered by the filecheck
  uint8_t headersize[4];   // where the covered stretch begins
};
static_assert(sizeof(Header) == 20, "the archive header is 20 bytes");
static_assert(offsetof(Header, magic) == 0);
static_assert(offsetof(Header, stub_length) == 8);
static_assert(offsetof(Header, setuplen) == 12);
static_assert(offsetof(Header, headersize) == 16);
inline constexpr uint32_t kHeaderLength = sizeof(Header);

// The header's fields as numbers.
struct HeaderFields {
  uint32_t stub_length = 0;
  uint32_t setuplen = 0;
  uint32_t headersize = 0;
};

inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline Header EncodeHeader(const HeaderFields& f) {
  Header h;
  for (size_t i = 0; i < kMagicLength; i++) h.magic[i] = static_cast<uint8_t>(kMagicFirst - i);
  PutU32(h.stub_length, f.stub_length);
  PutU32(h.setuplen, f.setuplen);
  PutU32(h.headersize, f.headersize);
  return h;
}

// False when the bytes do not begin with the magic.
inline bool DecodeHeader(const uint8_t* bytes, HeaderFields& f) {
  for (size_t i = 0; i < kMagicLength; i++) {
    if (bytes[i] != static_cast<uint8_t>(kMagicFirst - i)) return false;
  }
  f.stub_length = GetU32(bytes + offsetof(Header, stub_length));
  f.setuplen = GetU32(bytes + offsetof(Header, setuplen));
  f.headersize = GetU32(bytes + offsetof(Header, headersize));
  return true;
}

// The smallest valid stub length that holds `image_length` bytes.
inline uint64_t PaddedStubLength(uint64_t image_length) {
  uint64_t n = (image_length + kStubGrid - 1) / kStubGrid * kStubGrid;
  return n < kMinStubLength ? kMinStubLength : n;
}

// Record framing: the u32 length that precedes a record's bytes.
inline void EncodeRecordLength(uint8_t out[kRecordLengthBytes], uint32_t length) {
  PutU32(out, length);
}

// The referral tag: a u16 number and the u16 check number ^ 0xFFFF.
inline void EncodeReferralTag(uint8_t out[kReferralTagLength], uint16_t number) {
  const uint16_t check = number ^ 0xFFFF;
  out[0] = static_cast<uint8_t>(number);
  out[1] = static_cast<uint8_t>(number >> 8);
  out[2] = static_cast<uint8_t>(check);
  out[3] = static_cast<uint8_t>(check >> 8);
}

// False when the 4 bytes are no valid tag.
inline bool DecodeReferralTag(const uint8_t in[kReferralTagLength], uint16_t& number) {
  const uint16_t n = static_cast<uint16_t>(in[0] | in[1] << 8);
  const uint16_t check = static_cast<uint16_t>(in[2] | in[3] << 8);
  if (check != (n ^ 0xFFFF)) return false;
  number = n;
  return true;
}

// The manifest signature of the 16 stub bytes: "%2.2X" per byte, NUL-ended.
inline void FormatSignature(const uint8_t bytes[kSignatureBytes], char out[kSignatureLength + 1]) {
  for (uint32_t i = 0; i < kSignatureBytes; i++) snprintf(out + 2 * i, 3, "%2.2X", bytes[i]);
  out[kSignatureLength] = '\0';
}

}  // namespace archive
