// The archive reader's core, which needs no Windows: the header scan and the
// filecheck over a byte source, and the record framing (a u32 length, then
// that many bytes) inside the gzip member. The stub runs it over its own
// file (archive.cpp); the fuzz targets run it over bytes in memory.
#pragma once

#include <zlib.h>

#include <cstdint>

#include "wininst/install/archive_format.h"

namespace archive {

// The installer's one message for a damaged or cut archive.
constexpr const char* kCorrupt = "Installer is corrupt or truncated";

// A file as the reader sees it: a position that can be moved, and reads.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Moves to `offset`; false when that fails. Beyond the end is no failure:
  // reads there return nothing.
  virtual bool Seek(int64_t offset) = 0;
  // Reads up to `length` bytes; the count, 0 at the end or on an error.
  virtual int64_t Read(void* buffer, uint32_t length) = 0;
  // The `length` bytes at `offset` in place, without copying them (the
  // position for Read stays where it was); null when they cannot be had so.
  virtual const uint8_t* View(int64_t, uint32_t) { return nullptr; }
};

// Reads up to `length` bytes, looping over short reads.
int64_t ReadFully(ByteSource& file, void* buffer, uint32_t length);

// Scans for the archive header from the minimum stub length on, in steps of
// the grid; false when there is none. Leaves the position after the header.
bool FindHeader(ByteSource& file, HeaderFields& header);

// What the filecheck says of the covered stretch.
struct FilecheckState {
  enum Kind { kGood, kDiffers, kStretchShort, kFilecheckShort } kind = kGood;
  // kStretchShort: the bytes of the stretch that remained unread;
  // kFilecheckShort: the bytes of the filecheck that could be read.
  int64_t count = 0;
};

// Computes the digest of the covered stretch and compares it with the
// filecheck after it; reports, never fails (the builder lists the state).
FilecheckState CheckFilecheck(ByteSource& file, uint32_t headersize, uint32_t setuplen);

// Checks the filecheck of the covered stretch; every failure is fatal.
void VerifyFilecheck(ByteSource& file, uint32_t headersize, uint32_t setuplen);
// Ends the run on a failed check, as VerifyFilecheck does.
void ReportFilecheck(const FilecheckState& state);

// The gzip member after the archive header, inflated as it is read: the
// record stream. zlib checks the member's header and, at its end, its CRC
// and length. The member comes from the byte source the filecheck read, in
// chunks of kStreamChunk: zlib's gzip file layer would be a second reader
// of the same file (7 KB of the stub).
class RecordStream {
 public:
  // The member from the source's current position on.
  explicit RecordStream(ByteSource& file);
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Up to `length` bytes of the stream; fewer only at its end or where the
  // member is damaged or cut, and nothing after that.
  uint32_t Read(void* buffer, uint32_t length);
  // zlib's word on the damage, if the stream ended on damage it found.
  const char* Damage() const { return z_.msg; }

 private:
  // 8 KB reads cost 7-13% against 64 KB ones.
  static constexpr uInt kStreamChunk = 64 * 1024;
  ByteSource& file_;
  z_stream z_{};
  uint8_t* input_ = nullptr;
  bool ended_ = false;
};

// The length before the next record; false when the stream ends first.
bool NextRecordLength(RecordStream* stream, uint32_t& length);

// The length before the next record; fatal when the stream ends first.
uint32_t ReadRecordLength(RecordStream* stream);

// The manifest record (its length, then its bytes) as a NUL-ended text
// from xmalloc; fatal when the stream ends first.
char* ReadManifestRecord(RecordStream* stream);

// Where the bytes of a record go, chunk by chunk: each chunk is read
// straight into the room the output gives it.
class RecordOutput {
 public:
  virtual ~RecordOutput() = default;
  // Where the next chunk is read to, and in `room` how long it may be: at
  // least 1 and at most `remaining`, the bytes of the record still to come.
  virtual uint8_t* Room(uint32_t remaining, uint32_t& room) = 0;
  // The `length` bytes just read into the room are the record's next ones.
  virtual void Chunk(uint32_t length) = 0;
};

// Reads the `length` bytes of the current record in chunks that fit the
// room `output` gives, and hands each to it; or drops them, in chunks of
// kCopyChunk, when it is null.
// False when the stream ends first: the caller says so, once its output is
// closed.
bool ReadRecordBytes(RecordStream* stream, uint32_t length, RecordOutput* output);

}  // namespace archive
