// Fuzz target: the archive reader, as the installer runs it on its own file:
// the header scan on the grid, the filecheck, the gzip member and its record
// framing, with the records that the manifest record asks for, and the stub
// record before the header.
//
// The input is the file from one grid step below the minimum stub length on;
// the bytes before it read as zeros. A header found in it gets its filecheck
// written in before the check (when it fits), so that mutations reach the
// record stream instead of ending at the digest. A fatal error is the
// reader's normal answer to bad bytes; only crashes, overflows, leaks and
// hangs are findings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/md5.h"
#include "tests/fuzz/fuzz_messages.h"
#include "wininst/install/archive_reader.h"
#include "wininst/install/manifest_rules.h"

namespace {

constexpr int64_t kBase = archive::kMinStubLength - archive::kStubGrid;

// The input at kBase, zeros before it, with a position like a descriptor's.
class VirtualFile : public archive::ByteSource {
 public:
  explicit VirtualFile(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool Seek(int64_t offset) override {
    if (offset < 0) return false;
    pos_ = offset;
    return true;
  }
  int64_t Read(void* buffer, uint32_t length) override {
    const int64_t end = Size();
    if (pos_ >= end) return 0;
    const int64_t n = std::min<int64_t>(length, end - pos_);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const int64_t zeros = std::max<int64_t>(0, std::min(n, kBase - pos_));
    memset(out, 0, static_cast<size_t>(zeros));
    if (n > zeros) {
      memcpy(out + zeros, bytes_.data() + (pos_ + zeros - kBase), static_cast<size_t>(n - zeros));
    }
    pos_ += n;
    return n;
  }
  int64_t Size() const { return kBase + static_cast<int64_t>(bytes_.size()); }
  int64_t Position() const { return pos_; }

 private:
  std::vector<uint8_t>& bytes_;
  int64_t pos_ = 0;
};

// Writes the digest of the covered stretch where the filecheck goes, when
// both lie in the file and the filecheck lies in the input.
void FixFilecheck(VirtualFile& file, std::vector<uint8_t>& bytes, const archive::HeaderFields& h) {
  const int64_t at = int64_t{h.headersize} + h.setuplen;
  if (at < kBase || at + archive::kFilecheckLength > file.Size()) return;
  Md5 md5;
  uint8_t chunk[4096];
  file.Seek(h.headersize);
  for (int64_t left = h.setuplen; left > 0;) {
    const int64_t n =
        file.Read(chunk, static_cast<uint32_t>(std::min<int64_t>(left, sizeof chunk)));
    md5.Update(chunk, static_cast<size_t>(n));
    left -= n;
  }
  md5.Final(&bytes[static_cast<size_t>(at - kBase)]);
}

// One record of the expected size: the installer's length check, then its
// bytes, discarded.
void ReadRecord(archive::RecordStream* reader, uint32_t size) {
  if (archive::ReadRecordLength(reader) != size) throw FuzzFatal{};
  if (!archive::ReadRecordBytes(reader, size, nullptr)) throw FuzzFatal{};
}

// Reads the records in the order the installer does: each resource while the
// manifest is read, the feature files after it.
class Records : public manifest::Sink {
 public:
  explicit Records(archive::RecordStream* reader) : reader_(reader) {}
  void Resource(const manifest::ResourceLine& r) override {
    if (!r.has_size) throw FuzzFatal{};
    ReadRecord(reader_, r.size);
  }
  void FeaturesStart() override { files_.clear(); }
  void File(const manifest::SizedName& f) override {
    files_.push_back(f.has_size ? f.size : manifest::kDefaultFileSize);
  }
  void Error(const std::string&) override { throw FuzzFatal{}; }
  void ReadFiles() {
    for (uint32_t size : files_) ReadRecord(reader_, size);
  }

 private:
  archive::RecordStream* reader_;
  std::vector<uint32_t> files_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  VirtualFile file(bytes);
  try {
    archive::HeaderFields header;
    if (!archive::FindHeader(file, header)) return 0;
    const int64_t stream_start = file.Position();
    FixFilecheck(file, bytes, header);
    archive::VerifyFilecheck(file, header.headersize, header.setuplen);
    // The stub record, as the installer reads it for its copy and helper: a
    // record it takes must place every piece inside the stub before it.
    const int64_t header_at = stream_start - archive::kHeaderLength;
    uint8_t record[archive::kStubRecordLength];
    archive::StubRecordFields r;
    if (file.Seek(header_at - archive::kStubRecordLength) &&
        archive::ReadFully(file, record, sizeof record) == sizeof record &&
        archive::DecodeStubRecord(record, static_cast<uint32_t>(header_at), header.headersize, r) ==
            archive::StubRecordState::kGood &&
        (r.image_length > header_at - archive::kStubRecordLength || r.image_length <= header.headersize ||
         int64_t{r.helper_offset} + r.helper_length > header_at - archive::kStubRecordLength ||
         (r.helper_length && r.helper_offset < r.image_length) ||
         int64_t{r.certificates_offset} + r.certificates_size > r.image_length)) {
      abort();
    }
    // The stream from the end of the header on, as the stub reads it.
    if (!file.Seek(stream_start)) return 0;
    archive::RecordStream reader(file);
    TextHandle text(archive::ReadManifestRecord(&reader));
    manifest::TextLines lines(text.get());
    std::string signature;
    lines.NextRaw(signature);
    Records records(&reader);
    if (manifest::Walk(lines, records)) records.ReadFiles();
  } catch (const FuzzFatal&) {
  }
  return 0;
}
