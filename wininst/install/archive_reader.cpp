#include "wininst/install/archive_reader.h"

#include <cstdlib>
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
  ReportFilecheck(CheckFilecheck(file, headersize, setuplen));
}

void ReportFilecheck(const FilecheckState& state) {
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

RecordStream::RecordStream(ByteSource& file) : file_(file) {
  // A gzip member, never a zlib stream or raw deflate.
  ended_ = inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK;
  input_ = static_cast<uint8_t*>(xmalloc(kStreamChunk));
}

RecordStream::~RecordStream() {
  inflateEnd(&z_);
  free(input_);
}

uint32_t RecordStream::Read(void* buffer, uint32_t length) {
  z_.next_out = static_cast<Bytef*>(buffer);
  z_.avail_out = length;
  while (z_.avail_out > 0 && !ended_) {
    if (z_.avail_in == 0) {
      const int64_t n = file_.Read(input_, kStreamChunk);
      if (n <= 0) {
        ended_ = true;
        break;
      }
      z_.next_in = input_;
      z_.avail_in = static_cast<uInt>(n);
    }
    // The member's end (its check values right), or damage.
    if (inflate(&z_, Z_NO_FLUSH) != Z_OK) ended_ = true;
  }
  return length - z_.avail_out;
}

bool NextRecordLength(RecordStream* stream, uint32_t& length) {
  uint8_t bytes[kRecordLengthBytes];
  if (stream->Read(bytes, sizeof bytes) != sizeof bytes) return false;
  length = GetU32(bytes);
  return true;
}

uint32_t ReadRecordLength(RecordStream* stream) {
  uint32_t length;
  if (!NextRecordLength(stream, length)) FatalText(kCorrupt);
  return length;
}

char* ReadManifestRecord(RecordStream* stream) {
  const uint32_t length = ReadRecordLength(stream);
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
    const uint32_t n = stream->Read(text.get() + done, capacity - done);
    if (n == 0) FatalText(kCorrupt);
    done += n;
  }
  text.get()[length] = '\0';
  return text.release();
}

bool ReadRecordBytes(RecordStream* stream, uint32_t length, RecordOutput* output) {
  for (uint32_t remaining = length; remaining > 0;) {
    uint32_t want = remaining < copy_buffer.size() ? remaining : copy_buffer.size();
    uint8_t* to = output ? output->Room(remaining, want) : copy_buffer.get();
    const uint32_t n = stream->Read(to, want);
    if (n == 0) return false;
    remaining -= n;
    if (output) output->Chunk(n);
  }
  return true;
}

}  // namespace archive
