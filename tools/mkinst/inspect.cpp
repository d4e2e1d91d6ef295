#include "tools/mkinst/inspect.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "common/handle.h"
#include "tools/mkinst/plan.h"
#include "wininst/install/archive_reader.h"
#include "wininst/install/manifest_rules.h"

namespace fs = std::filesystem;

namespace mkinst {

namespace {

#ifdef _WIN32
int OpenRead(const fs::path& path) {
  return _wopen(path.c_str(), _O_RDONLY | _O_BINARY);
}
int64_t SeekTo(int fd, int64_t offset, int whence = SEEK_SET) {
  return _lseeki64(fd, offset, whence);
}
int64_t ReadSome(int fd, void* buffer, uint32_t length) {
  return _read(fd, buffer, length);
}
void CloseDescriptor(int fd) {
  _close(fd);
}
FileHandle CreateOutput(const fs::path& path) {
  return FileHandle(_wfopen(path.c_str(), L"wb"));
}
#else
int OpenRead(const fs::path& path) {
  return open(path.c_str(), O_RDONLY);
}
int64_t SeekTo(int fd, int64_t offset, int whence = SEEK_SET) {
  return lseek(fd, offset, whence);
}
int64_t ReadSome(int fd, void* buffer, uint32_t length) {
  return read(fd, buffer, length);
}
void CloseDescriptor(int fd) {
  close(fd);
}
FileHandle CreateOutput(const fs::path& path) {
  return FileHandle(fopen(path.c_str(), "wb"));
}
#endif

using Descriptor = Handle<int, CloseDescriptor, -1>;

// The most bytes deflate packs into one compressed byte.
constexpr int64_t kDeflateRatio = 1032;

// The pieces in which records are inflated.
constexpr uint32_t kChunk = 256 * 1024;

class DescriptorSource : public archive::ByteSource {
 public:
  explicit DescriptorSource(int fd) : fd_(fd) {}
  bool Seek(int64_t offset) override { return SeekTo(fd_, offset) == offset; }
  int64_t Read(void* buffer, uint32_t length) override { return ReadSome(fd_, buffer, length); }

 private:
  int fd_;
};

// A record's bytes, written to a file or dropped.
class FileOutput : public archive::RecordOutput {
 public:
  FileOutput(FILE* file, std::vector<uint8_t>& buffer) : file_(file), buffer_(buffer) {}
  uint8_t* Room(uint32_t remaining, uint32_t& room) override {
    room = std::min<uint32_t>(remaining, static_cast<uint32_t>(buffer_.size()));
    return buffer_.data();
  }
  void Chunk(uint32_t length) override {
    ok_ = ok_ && (!file_ || fwrite(buffer_.data(), 1, length, file_) == length);
  }
  bool ok() const { return ok_; }

 private:
  FILE* file_;
  std::vector<uint8_t>& buffer_;
  bool ok_ = true;
};

// The manifest record, grown as its bytes arrive: a length that the stream
// does not hold ends as a short stream, not as a request for gigabytes.
class TextOutput : public archive::RecordOutput {
 public:
  explicit TextOutput(std::string& text) : text_(text) {}
  uint8_t* Room(uint32_t remaining, uint32_t& room) override {
    room = std::min(remaining, kChunk);
    text_.resize(used_ + room);
    return reinterpret_cast<uint8_t*>(&text_[used_]);
  }
  void Chunk(uint32_t length) override {
    used_ += length;
    text_.resize(used_);
  }

 private:
  std::string& text_;
  size_t used_ = 0;
};

// A record after the manifest's, as the manifest describes it.
struct Entry {
  std::string variable;  // a resource's variable; empty for a feature file
  std::string folder;    // a feature file's folder below the installation folder
  std::string name;
  uint32_t size = 0;
  int line = 0;  // in the manifest text after its signature line
};

std::string EntryName(const Entry& e) {
  return e.folder.empty() ? e.name : e.folder + "\\" + e.name;
}

struct FolderFiles {
  std::string name;
  std::vector<size_t> files;  // places in Contents::files
};

struct FeatureLines {
  std::string name;
  std::string description;
  std::vector<std::string> installers;
  std::vector<FolderFiles> folders;
};

// What the manifest asks of the archive, by the installer's own line rules.
class Contents : public manifest::Sink {
 public:
  explicit Contents(const manifest::TextLines& lines) : lines_(lines) {}

  void Resource(const manifest::ResourceLine& r) override {
    // The installer's own refusals, which keep a resource in its folder.
    if (!r.has_size || r.file == "." || r.file == ".." ||
        r.file.find_first_of("\\/:") != std::string::npos) {
      return Error("Bad line in [Resources]");
    }
    resources.push_back({r.name, "", r.file, r.size, lines_.LineNumber()});
  }
  void Variable(const std::string& name, const std::string& value) override {
    variables[manifest::Lower(name)] = value;
  }
  void FeaturesStart() override {
    features.clear();
    files.clear();
  }
  void Feature(const std::string& name) override { features.push_back({name, "", {}, {}}); }
  void FeatureValue(manifest::FeatureKey key, const std::string& value) override {
    if (key == manifest::FeatureKey::kDescription) features.back().description = value;
  }
  void Installer(const manifest::SizedName& source) override {
    features.back().installers.push_back(source.name);
  }
  void Folder(const std::string& name) override {
    features.back().folders.push_back({name, {}});
    folder_ = {features.size() - 1, features.back().folders.size() - 1};
  }
  void File(const manifest::SizedName& f) override {
    // A file line right after "Feature=" still belongs to the folder above it.
    FolderFiles& folder = features[folder_.first].folders[folder_.second];
    folder.files.push_back(files.size());
    files.push_back({"", folder.name, f.name, f.has_size ? f.size : manifest::kDefaultFileSize,
                     lines_.LineNumber()});
  }
  void Error(const std::string& message) override {
    if (!error.empty()) return;
    error = message;
    error_line = lines_.LineNumber();
  }

  std::map<std::string, std::string> variables;  // by lower-case name
  std::vector<Entry> resources;
  std::vector<Entry> files;
  std::vector<FeatureLines> features;
  std::string error;
  int error_line = 0;

 private:
  const manifest::TextLines& lines_;
  std::pair<size_t, size_t> folder_;  // the current folder: feature, folder
};

// Where a record goes below the extraction folder; `fault` says why not
// when its name would place it anywhere else.
fs::path Place(const Entry& e, std::string& fault) {
  fs::path place;
  if (!e.folder.empty() && e.folder[0] == '\\') {
    fault = "an absolute folder";
    return {};
  }
  // Doubled backslashes and "." parts name the folder they stand in.
  for (size_t start = 0; start <= e.folder.size();) {
    const size_t end = std::min(e.folder.find('\\', start), e.folder.size());
    const std::string part = e.folder.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (!(fault = NameFault(part)).empty()) return {};
    place /= fs::path(part);
  }
  if (e.name.empty() || e.name == "." || e.name.find_first_of("\\/") != std::string::npos) {
    fault = "a file name is one name, without a folder";
    return {};
  }
  if (!(fault = NameFault(e.name)).empty()) return {};
  return place / fs::path(e.name);
}

// An installer file, read as the installer reads its own.
class InstallerFile {
 public:
  explicit InstallerFile(const fs::path& path) : path_(path) {}

  // Finds the archive header and notes the filecheck's state, the
  // signature of the stub and the referral tag.
  bool Find() {
    program_.reset(OpenRead(path_));
    if (!program_) return Problem("can't open it: " + std::string(strerror(errno)));
    DescriptorSource source(program_.get());
    if (!archive::FindHeader(source, header_)) {
      return Problem("no archive header on the 1024-byte grid from 204800 on: not an installer");
    }
    at_ = SeekTo(program_.get(), 0, SEEK_CUR) - archive::kHeaderLength;
    if (header_.stub_length != at_) {
      return Problem("the archive header at offset " + std::to_string(at_) +
                     " gives the stub length " + std::to_string(header_.stub_length) +
                     "; the two are one number");
    }
    if (header_.headersize > at_ ||
        int64_t{header_.headersize} + header_.setuplen < at_ + archive::kHeaderLength) {
      return Problem("the filecheck's stretch (" + std::to_string(header_.setuplen) +
                     " bytes from offset " + std::to_string(header_.headersize) +
                     ") does not hold the archive header");
    }
    filecheck_ = archive::CheckFilecheck(source, header_.headersize, header_.setuplen);
    uint8_t bytes[archive::kSignatureBytes] = {};
    if (source.Seek(archive::kSignatureOffset)) archive::ReadFully(source, bytes, sizeof bytes);
    char signature[archive::kSignatureLength + 1];
    archive::FormatSignature(bytes, signature);
    stub_signature_ = signature;
    uint8_t record[archive::kStubRecordLength];
    stub_record_state_ = source.Seek(at_ - archive::kStubRecordLength) &&
                                 archive::ReadFully(source, record, sizeof record) == sizeof record
                             ? archive::DecodeStubRecord(record, static_cast<uint32_t>(at_),
                                                         header_.headersize, stub_record_)
                             : archive::StubRecordState::kBad;
    uint8_t tag[archive::kReferralTagLength];
    size_ = SeekTo(program_.get(), 0, SEEK_END);
    has_referral_ = size_ >= archive::kReferralTagLength &&
                    source.Seek(size_ - archive::kReferralTagLength) &&
                    archive::ReadFully(source, tag, sizeof tag) == sizeof tag &&
                    archive::DecodeReferralTag(tag, referral_);
    return true;
  }

  // Opens the record stream after the header and reads the manifest
  // record, whose lines must pass the installer's rules.
  bool ReadManifest() {
    const int64_t stream = at_ + archive::kHeaderLength;
    if (SeekTo(program_.get(), stream) != stream) return Problem("can't seek to the archive");
    source_ = std::make_unique<DescriptorSource>(program_.get());
    reader_ = std::make_unique<archive::RecordStream>(*source_);
    uint32_t length;
    std::string record;
    TextOutput output(record);
    if (!archive::NextRecordLength(reader_.get(), length)) {
      return Problem(Unreadable("the manifest record"));
    }
    if (length > kMaxManifest) {
      return Problem("the manifest record claims " + std::to_string(length) + " bytes, more than " +
                     "the " + std::to_string(kMaxManifest >> 20) +
                     " MB a manifest may have: the file is damaged or was not made by mkinst");
    }
    if (!Holds("the manifest record", length)) return false;
    if (!archive::ReadRecordBytes(reader_.get(), length, &output)) {
      return Problem(Unreadable("the manifest record"));
    }
    // The signature line, then the text as mkinst packs it.
    const size_t end = std::min(record.find_first_of("\r\n"), record.size());
    signature_ = record.substr(0, end);
    manifest_ = record.substr(end + manifest::LineEndLength(record, end));
    lines_ = manifest::TextLines(manifest_);
    contents_ = std::make_unique<Contents>(lines_);
    manifest::Walk(lines_, *contents_);
    if (!contents_->error.empty()) {
      return Problem("manifest line " + std::to_string(contents_->error_line) + ": " +
                     contents_->error + " (the installer stops there)");
    }
    return true;
  }

  // The records after the manifest's, in archive order.
  std::vector<Entry> Records() const {
    std::vector<Entry> all = contents_->resources;
    all.insert(all.end(), contents_->files.begin(), contents_->files.end());
    return all;
  }

  // Reads the next record, which the manifest says is `e`.
  bool Record(const Entry& e, archive::RecordOutput& output) {
    const std::string what =
        "the record of " + EntryName(e) + " (manifest line " + std::to_string(e.line) + ")";
    uint32_t length;
    if (!archive::NextRecordLength(reader_.get(), length)) return Problem(Unreadable(what));
    if (length != e.size) {
      return Problem(what + " holds " + std::to_string(length) + " bytes, the manifest says " +
                     std::to_string(e.size) +
                     " (the installer stops: \"File size does not match\")");
    }
    if (!Holds(what, length)) return false;
    if (!archive::ReadRecordBytes(reader_.get(), length, &output)) return Problem(Unreadable(what));
    return true;
  }

  // Whether the gzip member could hold a record of `length` bytes: deflate
  // packs at most 1032 bytes into one. A length beyond that is refused
  // before a byte of it is read; one within it is read in chunks.
  bool Holds(const std::string& what, uint32_t length) {
    const int64_t member =
        int64_t{header_.headersize} + header_.setuplen - at_ - archive::kHeaderLength;
    if (uint64_t{length} <= uint64_t(member) * kDeflateRatio) return true;
    Problem(what + " claims " + std::to_string(length) + " bytes; the archive's " +
            std::to_string(member) + " compressed bytes hold at most " +
            std::to_string(member * kDeflateRatio) +
            ": the file is damaged or was not made by mkinst");
    return false;
  }

  bool FilecheckGood() const {
    if (filecheck_.kind == archive::FilecheckState::kGood) return true;
    return Problem("filecheck " + FilecheckText() + "; the installer refuses to run");
  }

  std::string FilecheckText() const {
    switch (filecheck_.kind) {
      case archive::FilecheckState::kGood:
        return "good";
      case archive::FilecheckState::kDiffers:
        return "differs: the file changed after it was built";
      case archive::FilecheckState::kStretchShort:
        return "missing: the file ends " +
               std::to_string(int64_t{header_.headersize} + header_.setuplen - size_) +
               " bytes before the end of the stretch it covers";
      case archive::FilecheckState::kFilecheckShort:
        return "cut: only " + std::to_string(filecheck_.count) + " of its 16 bytes are there";
    }
    return "";
  }

  bool SignatureGood() const { return signature_ == stub_signature_; }

  bool StubRecordGood() const {
    return stub_record_state_ != archive::StubRecordState::kBad ||
           Problem(
               "the stub record before the archive header does not describe the stub (the "
               "installer stops: \"Installer is corrupt or truncated\")");
  }

  // What the stub record says of the stub, for the listing.
  std::string StubText() const {
    if (stub_record_state_ != archive::StubRecordState::kGood) return "";
    const archive::StubRecordFields& r = stub_record_;
    std::string text = ", program " + std::to_string(r.image_length) + " bytes";
    if (r.certificates_size) {
      text += ", signed (certificate table " + std::to_string(r.certificates_size) + " bytes)";
    }
    if (r.helper_length) text += ", device helper " + std::to_string(r.helper_length) + " bytes";
    return text;
  }

  bool Problem(const std::string& message) const {
    fprintf(stderr, "mkinst: %s: %s\n", path_.string().c_str(), message.c_str());
    return false;
  }

  const archive::HeaderFields& header() const { return header_; }
  const std::string& stub_signature() const { return stub_signature_; }
  bool has_referral() const { return has_referral_; }
  uint16_t referral() const { return referral_; }
  const std::string& manifest() const { return manifest_; }
  const Contents& contents() const { return *contents_; }

 private:
  std::string Unreadable(const std::string& what) const {
    const char* why = reader_->Damage();
    return "the archive can't be read at " + what + ": " + (why && *why ? why : "it ends there");
  }

  fs::path path_;
  Descriptor program_;
  std::unique_ptr<DescriptorSource> source_;
  std::unique_ptr<archive::RecordStream> reader_;
  archive::HeaderFields header_;
  int64_t at_ = 0;
  int64_t size_ = 0;
  archive::FilecheckState filecheck_;
  archive::StubRecordState stub_record_state_ = archive::StubRecordState::kNone;
  archive::StubRecordFields stub_record_;
  std::string stub_signature_;
  bool has_referral_ = false;
  uint16_t referral_ = 0;
  std::string signature_;
  std::string manifest_;
  manifest::TextLines lines_{""};
  std::unique_ptr<Contents> contents_;
};

std::string Count(uint64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

void PrintSized(const char* indent, uint32_t size, const std::string& name) {
  printf("%s%12lu  %s\n", indent, static_cast<unsigned long>(size), name.c_str());
}

// Removes what a failed extraction wrote: the folder when it made it, else
// what it put into the empty folder it was given.
void RemoveExtracted(const fs::path& dir, bool made) {
  std::error_code ec;
  if (made) {
    fs::remove_all(dir, ec);
    return;
  }
  for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
}

}  // namespace

int ListInstaller(const fs::path& installer) {
  InstallerFile file(installer);
  if (!file.Find()) return 1;
  if (!file.ReadManifest()) {
    file.FilecheckGood();  // which may say why
    return 1;
  }
  const Contents& c = file.contents();
  printf("%s\n", installer.string().c_str());
  for (const char* name :
       {"Manufacturer", "Product", "Edition", "Version", "PatchLevel", "Description"}) {
    auto v = c.variables.find(manifest::Lower(name));
    if (v != c.variables.end()) printf("  %-13s %s\n", name, v->second.c_str());
  }
  printf("  %-13s %lu bytes%s, signature %s%s\n", "Stub",
         static_cast<unsigned long>(file.header().stub_length), file.StubText().c_str(),
         file.stub_signature().c_str(),
         file.SignatureGood() ? "" : " (the manifest's differs: \"Invalid manifest signature\")");
  printf("  %-13s %s\n", "Filecheck", file.FilecheckText().c_str());
  if (file.has_referral()) printf("  %-13s %u\n", "Referral tag", file.referral());

  uint64_t bytes = 0;
  if (!c.resources.empty()) printf("Resources\n");
  for (const Entry& r : c.resources) {
    PrintSized("  ", r.size, r.name + " (" + r.variable + ")");
    bytes += r.size;
  }
  for (const FeatureLines& f : c.features) {
    printf("Feature %s%s%s\n", f.name.c_str(), f.description.empty() ? "" : ": ",
           f.description.c_str());
    for (const std::string& source : f.installers) printf("  installer %s\n", source.c_str());
    for (const FolderFiles& folder : f.folders) {
      printf("  %s\\\n", folder.name.c_str());
      for (size_t i : folder.files) {
        PrintSized("    ", c.files[i].size, c.files[i].name);
        bytes += c.files[i].size;
      }
    }
  }
  printf("%s, %s, %s\n", Count(c.resources.size(), "resource").c_str(),
         Count(c.files.size(), "file").c_str(), Count(bytes, "byte").c_str());
  return 0;
}

int ExtractInstaller(const fs::path& installer, const fs::path& dir) {
  InstallerFile file(installer);
  if (!file.Find() || !file.FilecheckGood() || !file.StubRecordGood() || !file.ReadManifest()) {
    return 1;
  }
  // Every place is known, and checked, before the first byte is written.
  const std::vector<Entry> records = file.Records();
  std::vector<fs::path> places;
  for (const Entry& e : records) {
    std::string fault;
    places.push_back(Place(e, fault));
    if (fault.empty() && manifest::Lower(places.back().generic_string()) == "manifest") {
      fault = "the manifest itself is extracted under this name";
    }
    if (!fault.empty()) {
      file.Problem("manifest line " + std::to_string(e.line) + ": " + EntryName(e) + ": " + fault +
                   "; nothing extracted");
      return 1;
    }
  }
  std::error_code ec;
  const bool made = !fs::exists(dir, ec);
  if (!made && (!fs::is_directory(dir, ec) || !fs::is_empty(dir, ec))) {
    fprintf(stderr, "mkinst: %s: not an empty folder; extract into a new or empty one\n",
            dir.string().c_str());
    return 1;
  }
  if (made && !fs::create_directories(dir, ec)) {
    fprintf(stderr, "mkinst: can't create %s: %s\n", dir.string().c_str(), ec.message().c_str());
    return 1;
  }

  std::vector<uint8_t> buffer(kChunk);
  bool ok = true;
  for (size_t i = 0; ok && i < records.size(); i++) {
    const fs::path target = dir / places[i];
    fs::create_directories(target.parent_path(), ec);
    FileHandle out = CreateOutput(target);
    if (!out) {
      ok = file.Problem("can't create " + target.string() + ": " + strerror(errno));
      break;
    }
    FileOutput output(out.get(), buffer);
    ok = file.Record(records[i], output);
    if (ok && (!output.ok() || fclose(out.release()) != 0)) {
      ok = file.Problem("write error on " + target.string() + ": " + strerror(errno));
    }
  }
  if (ok) {
    const fs::path target = dir / "manifest";
    FileHandle out = CreateOutput(target);
    const std::string& text = file.manifest();
    ok = (out && fwrite(text.data(), 1, text.size(), out.get()) == text.size() &&
          fclose(out.release()) == 0) ||
         file.Problem("can't write " + target.string() + ": " + strerror(errno));
  }
  if (!ok) {
    RemoveExtracted(dir, made);
    return 1;
  }
  printf("%s: %s, %s and the manifest extracted into %s\n", installer.string().c_str(),
         Count(file.contents().resources.size(), "resource").c_str(),
         Count(file.contents().files.size(), "file").c_str(), dir.string().c_str());
  return 0;
}

int VerifyInstaller(const fs::path& installer) {
  InstallerFile file(installer);
  if (!file.Find() || !file.FilecheckGood() || !file.ReadManifest()) return 1;
  if (!file.SignatureGood()) {
    file.Problem(
        "the manifest's signature line is not the stub's signature (the installer "
        "stops: \"Invalid manifest signature\")");
    return 1;
  }
  std::vector<uint8_t> buffer(kChunk);
  FileOutput dropped(nullptr, buffer);
  uint64_t bytes = 0;
  const std::vector<Entry> records = file.Records();
  for (const Entry& e : records) {
    if (!file.Record(e, dropped)) return 1;
    bytes += e.size;
  }
  printf("%s: good: the filecheck, the signature and %s of %s\n", installer.string().c_str(),
         Count(records.size(), "record").c_str(), Count(bytes, "byte").c_str());
  return 0;
}

}  // namespace mkinst
