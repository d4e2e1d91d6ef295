#include "wininst/install/archive_reader.h"

#include <cstring>
#include <utility>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/md5.h"
#include "common/messages.h"

namespace archive {

namespace {

// The manifest record is read into a buffer of this size first, doubled as
// its bytes arrive.
constexpr uint32_t kManifestStep = 64 * 1024;

// Chunks of the filecheck and of the records: fixed buffers, never the whole
// archive in memory.
RunBuffer<uint8_t, kFilecheckChunk> check_buffer;
// The stretch handed to the digest at once where the file can be viewed: a
// multiple of kFilecheckChunk.
constexpr uint32_t kViewRun = 64 * kFilecheckChunk;
RunBuffer<uint8_t, kCopyChunk> copy_buffer;

}  // namespace

int64_t ReadFully(ByteSource& file, void* buffer, uint32_t length) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    int64_t n = file.Read(p + done, length - done);
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

bool FindHeader(ByteSource& file, HeaderFields& header) {
  for (int64_t offset = kMinStubLength;; offset += kStubGrid) {
    if (!file.Seek(offset)) return false;
    uint8_t bytes[kHeaderLength];
    if (ReadFully(file, bytes, sizeof bytes) < static_cast<int64_t>(sizeof bytes)) return false;
    if (DecodeHeader(bytes, header)) return true;
  }
}

FilecheckState CheckFilecheck(ByteSource& file, uint32_t headersize, uint32_t setuplen) {
  Md5 digest;
  if (!file.Seek(headersize)) return {FilecheckState::kStretchShort, setuplen};
  int64_t at = headersize;
  bool read_position_at = true;  // whether Read would go on from `at`
  for (uint32_t remaining = setuplen; remaining > 0;) {
    // A viewed stretch goes to the digest in one call: each call passes
    // through three libraries under Wine. A stretch that cannot be viewed
    // (a cut file) is read chunk by chunk, so that a short read tells how
    // much remained as it always did.
    uint32_t chunk = remaining < kViewRun ? remaining : kViewRun;
    const uint8_t* bytes = file.View(at, chunk);
    if (bytes) {
      read_position_at = false;
    } else {
      chunk = remaining < check_buffer.size() ? remaining : check_buffer.size();
      if ((!read_position_at && !file.Seek(at)) ||
          ReadFully(file, check_buffer.get(), chunk) != chunk) {
        return {FilecheckState::kStretchShort, remaining};
      }
      read_position_at = true;
      bytes = check_buffer.get();
    }
    digest.Update(bytes, chunk);
    remaining -= chunk;
    at += chunk;
  }
  uint8_t computed[Md5::kDigestLength];
  bool ok = digest.Final(computed);
  uint8_t stored[kFilecheckLength];
  int64_t n = read_position_at || file.Seek(at) ? ReadFully(file, stored, sizeof stored) : 0;
  if (n != sizeof stored) return {FilecheckState::kFilecheckShort, n};
  if (!ok || memcmp(stored, computed, sizeof stored) != 0) return {FilecheckState::kDiffers, 0};
  return {};
}

void VerifyFilecheck(ByteSource& file, uint32_t headersize, uint32_t setuplen) {
  const FilecheckState state = CheckFilecheck(file, headersize, setuplen);
  switch (state.kind) {
    case FilecheckState::kGood:
      return;
    case FilecheckState::kStretchShort:
      Fatal("Can't read entire filecheck: %lu", static_cast<unsigned long>(state.count));
    case FilecheckState::kFilecheckShort:
      Fatal("Can't read filecheck: %d", static_cast<int>(state.count));
    case FilecheckState::kDiffers:
      FatalText(kCorrupt);
  }
}

bool NextRecordLength(gzFile reader, uint32_t& length) {
  length = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    int c = gzgetc(reader);
    if (c < 0) return false;
    length |= static_cast<uint32_t>(c) << shift;
  }
  return true;
}

uint32_t ReadRecordLength(gzFile reader) {
  uint32_t length;
  if (!NextRecordLength(reader, length)) FatalText(kCorrupt);
  return length;
}

char* ReadManifestRecord(gzFile reader) {
  const uint32_t length = ReadRecordLength(reader);
  // Length + 1 must not wrap around to a tiny buffer.
  if (length == UINT32_MAX) FatalText(kCorrupt);
  // The buffer grows with the bytes that arrive, so that a length the stream
  // does not hold ends as a short stream, not as a request for gigabytes.
  uint32_t capacity = length < kManifestStep ? length : kManifestStep;
  TextHandle text(static_cast<char*>(xmalloc(capacity + 1)));
  for (uint32_t done = 0; done < length;) {
    if (done == capacity) {
      capacity = length - done < capacity ? length : capacity * 2;
      TextHandle bigger(static_cast<char*>(xmalloc(capacity + 1)));
      memcpy(bigger.get(), text.get(), done);
      text = std::move(bigger);
    }
    int n = gzread(reader, text.get() + done, capacity - done);
    if (n <= 0) FatalText(kCorrupt);
    done += static_cast<uint32_t>(n);
  }
  text.get()[length] = '\0';
  return text.release();
}

bool ReadRecordBytes(gzFile reader, uint32_t length, RecordOutput* output) {
  for (uint32_t remaining = length; remaining > 0;) {
    uint32_t want = remaining < copy_buffer.size() ? remaining : copy_buffer.size();
    uint8_t* to = output ? output->Room(remaining, want) : copy_buffer.get();
    int n = gzread(reader, to, want);
    if (n <= 0) return false;
    remaining -= static_cast<uint32_t>(n);
    if (output) output->Chunk(static_cast<uint32_t>(n));
  }
  return true;
}

}  // namespace archive
