// The installer archive's layout, defined once for the stub that reads it and
// the builder that writes it. Every multi-byte integer is little-endian.
//
//   0 .. headersize          executable headers (not covered: code signing rewrites them)
//   23040 .. +16             the stub bytes that make the manifest signature
//   image length             the device helper, when there is one (see StubRecord)
//   stub length - 32         the stub record (installers built before it hold zeros there)
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

// The stub record: the last 32 bytes before the archive header, in the
// stub's padding, where the filecheck covers it. The installed copy of the
// program is cut from the file's first bytes, whose headers a code signature
// of the whole installer rewrites (the checksum and the certificate table's
// entry): the record keeps the stub's own, which mkinst cleared in the
// installer's headers, and the stub's length (up to the end of its own
// certificate table when it is signed). It also places the 64-bit device
// helper, which installers with a driver carry between the stub and the
// record. An installer without the record (built before it) copies the
// whole stub length and restores nothing.
struct StubRecord {
  uint8_t tag[8];            // kStubRecordTag
  uint8_t image_length[4];   // the installed copy's length
  uint8_t checksum[4];       // the stub's PE checksum
  uint8_t certificates[8];   // the stub's certificate table entry: file offset, size; or zeros
  uint8_t helper_offset[4];  // the device helper's bytes, or zeros
  uint8_t helper_length[4];
};
static_assert(sizeof(StubRecord) == 32, "the stub record is 32 bytes");
inline constexpr uint32_t kStubRecordLength = sizeof(StubRecord);
inline constexpr char kStubRecordTag[] = "StubRec1";
static_assert(sizeof(kStubRecordTag) == 9);
// The device helper is mapped whole when it is copied out.
inline constexpr uint32_t kMaxHelperLength = 1 << 20;
// Where a PE32 image keeps the fields the record restores, from its PE
// signature on (the offset at 0x3C).
inline constexpr uint32_t kPeOffsetAt = 0x3C;
inline constexpr uint32_t kChecksumAt = 24 + 64;
inline constexpr uint32_t kCertificatesAt = 24 + 128;
inline constexpr uint32_t kPeFieldsEnd = kCertificatesAt + 8;

struct StubRecordFields {
  uint32_t image_length = 0;
  uint32_t checksum = 0;
  uint32_t certificates_offset = 0;
  uint32_t certificates_size = 0;
  uint32_t helper_offset = 0;
  uint32_t helper_length = 0;
};

inline StubRecord EncodeStubRecord(const StubRecordFields& f) {
  StubRecord r;
  memcpy(r.tag, kStubRecordTag, sizeof r.tag);
  PutU32(r.image_length, f.image_length);
  PutU32(r.checksum, f.checksum);
  PutU32(r.certificates, f.certificates_offset);
  PutU32(r.certificates + 4, f.certificates_size);
  PutU32(r.helper_offset, f.helper_offset);
  PutU32(r.helper_length, f.helper_length);
  return r;
}

enum class StubRecordState { kNone, kGood, kBad };

// Reads the record that lies before an archive header at `header_offset`
// of a file whose covered stretch begins at `headersize`. kNone without the
// tag; kBad when its fields do not describe pieces of the stub in order:
// the image past the headers, its certificate table (8-byte aligned) at its
// end, the helper after the image and before the record.
inline StubRecordState DecodeStubRecord(const uint8_t bytes[kStubRecordLength],
                                        uint32_t header_offset, uint32_t headersize,
                                        StubRecordFields& f) {
  if (memcmp(bytes, kStubRecordTag, 8) != 0) return StubRecordState::kNone;
  f.image_length = GetU32(bytes + offsetof(StubRecord, image_length));
  f.checksum = GetU32(bytes + offsetof(StubRecord, checksum));
  f.certificates_offset = GetU32(bytes + offsetof(StubRecord, certificates));
  f.certificates_size = GetU32(bytes + offsetof(StubRecord, certificates) + 4);
  f.helper_offset = GetU32(bytes + offsetof(StubRecord, helper_offset));
  f.helper_length = GetU32(bytes + offsetof(StubRecord, helper_length));
  const uint64_t record = header_offset < kStubRecordLength ? 0 : header_offset - kStubRecordLength;
  const uint64_t image = f.image_length, certs = f.certificates_offset;
  const bool image_good = image > headersize && image <= record;
  const bool certs_good = (certs == 0 && f.certificates_size == 0) ||
                          (certs >= headersize && certs % 8 == 0 && f.certificates_size >= 8 &&
                           certs + f.certificates_size == image);
  const bool helper_good =
      (f.helper_offset == 0 && f.helper_length == 0) ||
      (f.helper_offset >= image && f.helper_length > 0 && f.helper_length <= kMaxHelperLength &&
       uint64_t{f.helper_offset} + f.helper_length <= record);
  return image_good && certs_good && helper_good ? StubRecordState::kGood : StubRecordState::kBad;
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
