// The archive in the program's own file: finding it, checking the filecheck,
// the compressed record stream and the run-wide lists that it fills.
#include "wininst/install/archive.h"

#include <algorithm>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/md5.h"
#include "common/sha256.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/folders.h"
#include "wininst/core/progress.h"
#include "wininst/core/runmode.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive_reader.h"
#include "wininst/install/placement.h"
#include "wininst/install/output.h"

namespace {

using archive::kCorrupt;

void CloseDescriptor(int fd) {
  _close(fd);
}
using Descriptor = Handle<int, CloseDescriptor, -1>;
struct RecordReader;

// The archive of this run, from OpenArchive to the end of the run.
struct Archive {
  char signature[archive::kSignatureLength + 1] = "";
  // The digest of an installed manifest, in hex, and its text; empty in a
  // run with an archive.
  std::string installed_digest;
  std::string installed_text;
  // The program file stays open for the whole run; the record stream reads
  // it from the end of the archive header on, until the last record.
  Descriptor program;
  std::unique_ptr<RecordReader> reader;
  // The resources: the program itself, then the [Resources] lines' files.
  Vec* resources = nullptr;
  // File and resource records consumed so far (the manifest record not counted).
  uint32_t record_number = 0;
  // The stub record, and where the PE headers begin, when the stub has one.
  bool has_stub_record = false;
  archive::StubRecordFields stub_record;
  uint32_t pe_offset = 0;
  char* helper_path = nullptr;  // once copied out
  // The filecheck checked beside the run's start (the splash comes up
  // meanwhile) on `program`, the file the run goes on with.
  HANDLE early_check = nullptr;
  archive::HeaderFields header;
  archive::FilecheckState early_state;
};

// The chunks of a file's digest: a fixed buffer, never the whole file in memory.
RunBuffer<uint8_t, archive::kCopyChunk> digest_buffer;

// A record's bytes written to the file being extracted, chunk by chunk.
class FileOutput : public archive::RecordOutput {
 public:
  explicit FileOutput(const char* path) : path_(path) {}
  uint8_t* Room(uint32_t remaining, uint32_t& room) override {
    // A short tail of the buffer is written out before it is filled.
    const uint32_t least = remaining < archive::kCopyChunk ? remaining : archive::kCopyChunk;
    uint8_t* at = OutputRoom(least, remaining, room);
    if (!at) {
      const std::string failed = FailedOutput(path_);
      AbandonOutput();
      Fatal("Write error on %s", failed.c_str());
    }
    return at;
  }
  void Chunk(uint32_t length) override {
    CommitOutput(length);
    Progress().Add(length);
  }

 private:
  const char* path_;
};

// The program's file as the archive reader sees it. The filecheck reads it
// through views of a mapping, a stretch at a time: read into a buffer, the
// whole archive was copied once more on its way to the digest.
class DescriptorSource : public archive::ByteSource {
 public:
  explicit DescriptorSource(int fd) : fd_(fd) {}
  ~DescriptorSource() override {
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
  }
  DescriptorSource(const DescriptorSource&) = delete;
  DescriptorSource& operator=(const DescriptorSource&) = delete;

  bool Seek(int64_t offset) override { return _lseeki64(fd_, offset, SEEK_SET) == offset; }
  int64_t Read(void* buffer, uint32_t length) override { return _read(fd_, buffer, length); }
  const uint8_t* View(int64_t offset, uint32_t length) override {
    if (offset < view_start_ || offset + length > view_start_ + view_length_) {
      if (!Map(offset, length)) return nullptr;
    }
    return static_cast<const uint8_t*>(view_) + (offset - view_start_);
  }

 private:
  // Maps the file's bytes from `offset` on (a view of kViewBytes at most, and
  // never past the file's end); false when `length` of them are not there.
  bool Map(int64_t offset, uint32_t length) {
    if (view_) UnmapViewOfFile(view_);
    view_ = nullptr;
    view_length_ = 0;
    LARGE_INTEGER size;
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd_));
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) ||
        offset + length > size.QuadPart) {
      return false;
    }
    if (!mapping_) mapping_ = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping_) return false;
    view_start_ = offset - offset % kViewGrain;
    view_length_ = std::min<int64_t>(kViewBytes, size.QuadPart - view_start_);
    view_ = MapViewOfFile(mapping_, FILE_MAP_READ, static_cast<DWORD>(view_start_ >> 32),
                          static_cast<DWORD>(view_start_), static_cast<SIZE_T>(view_length_));
    if (!view_) view_length_ = 0;
    return view_ && offset + length <= view_start_ + view_length_;
  }

  static constexpr int64_t kViewBytes = 8 << 20;
  static constexpr int64_t kViewGrain = 64 * 1024;  // where views may begin
  int fd_;
  HANDLE mapping_ = nullptr;
  void* view_ = nullptr;
  int64_t view_start_ = 0;
  int64_t view_length_ = 0;
};

// The record stream and the program's file as it reads it.
struct RecordReader {
  explicit RecordReader(int fd) : file(fd), stream(file) {}
  DescriptorSource file;
  archive::RecordStream stream;
};

Archive& The() {
  static Archive archive;
  return archive;
}

std::string HexDigest(Md5& md5) {
  uint8_t digest[Md5::kDigestLength];
  if (!md5.Final(digest)) return "";
  char hex[2 * Md5::kDigestLength + 1];
  for (size_t i = 0; i < Md5::kDigestLength; i++) snprintf(hex + 2 * i, 3, "%02X", digest[i]);
  return hex;
}

std::string DigestText(const void* data, size_t length) {
  Md5 md5;
  md5.Update(data, length);
  return HexDigest(md5);
}

std::string ProgramPath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) FatalText(kCorrupt);
  return path;
}

void ReadSignature(int fd) {
  if (_lseeki64(fd, archive::kSignatureOffset, SEEK_SET) != archive::kSignatureOffset) {
    FatalText("Seek on setup");
  }
  uint8_t bytes[archive::kSignatureBytes] = {};
  DescriptorSource file(fd);
  archive::ReadFully(file, bytes, sizeof bytes);
  archive::FormatSignature(bytes, The().signature);
}

void OpenRecordStream(int64_t stream_start) {
  if (_lseeki64(The().program.get(), stream_start, SEEK_SET) != stream_start) FatalText(kCorrupt);
  The().reader = std::make_unique<RecordReader>(The().program.get());
}

// Reads the stub record before the archive header at `header_offset`. A
// record whose pieces do not fit (the filecheck passed: the installer was
// made so) is a damaged installer.
void ReadStubRecord(int fd, int64_t header_offset, uint32_t headersize) {
  uint8_t bytes[archive::kStubRecordLength];
  uint8_t pe[4];
  DescriptorSource file(fd);
  if (header_offset < archive::kStubRecordLength ||
      !file.Seek(header_offset - archive::kStubRecordLength) ||
      archive::ReadFully(file, bytes, sizeof bytes) != sizeof bytes) {
    FatalText(kCorrupt);
  }
  Archive& a = The();
  switch (archive::DecodeStubRecord(bytes, static_cast<uint32_t>(header_offset), headersize,
                                    a.stub_record)) {
    case archive::StubRecordState::kNone:
      return;
    case archive::StubRecordState::kBad:
      FatalText(kCorrupt);
    case archive::StubRecordState::kGood:
      break;
  }
  if (!file.Seek(archive::kPeOffsetAt) || archive::ReadFully(file, pe, sizeof pe) != sizeof pe) {
    FatalText(kCorrupt);
  }
  a.pe_offset = archive::GetU32(pe);
  if (uint64_t{a.pe_offset} + archive::kPeFieldsEnd > headersize) FatalText(kCorrupt);
  a.has_stub_record = true;
}

void AddProgramResource(const std::string& path, uint32_t stub_length) {
  // The variable itself is set once the copy is installed.
  vec_add(The().resources,
          new Resource{xstrdup("setup.exe"), xstrdup(path.c_str()), xstrdup("SETUP"), stub_length, true});
}

// The installed copy: its manifest lies beside it.
char* ReadInstalledManifest(const std::string& program_path) {
  // Read as it lies on the disk (the lines take CR LF as one line end), so
  // that its digest is the digest of the file the installation wrote.
  std::string folder = program_path.substr(0, program_path.rfind('\\'));
  FileHandle file(fopen((folder + "\\manifest").c_str(), "rb"));
  if (!file) FatalText("Can't find the manifest");
  long length = _filelength(_fileno(file.get()));
  if (length < 0) FatalText("Can't find the manifest");
  char* text = static_cast<char*>(xmalloc(static_cast<uint32_t>(length) + 1));
  size_t n = fread(text, 1, static_cast<size_t>(length), file.get());
  text[n] = '\0';
  The().installed_digest = DigestText(text, n);
  The().installed_text.assign(text, n);

  size_t slash = folder.rfind('\\');
  if (slash != std::string::npos && _stricmp(folder.c_str() + slash + 1, "resources") == 0) {
    SetFoundInstallFolder(folder.substr(0, slash).c_str());
  }
  return text;
}

}  // namespace

std::string ManifestCheckOf(const void* data, size_t length) {
  Sha256 sha;
  sha.Update(data, length);
  std::string hex = sha.HexFinal();
  for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hex;
}

std::string FileManifestCheck(const char* path) {
  FileHandle f(fopen(path, "rb"));
  if (!f) return "";
  std::string text;
  for (size_t n; (n = fread(digest_buffer.get(), 1, digest_buffer.size(), f.get())) > 0;) {
    text.append(reinterpret_cast<const char*>(digest_buffer.get()), n);
  }
  return ManifestCheckOf(text.data(), text.size());
}

bool ManifestCheckMatches(const std::string& check, const void* data, size_t length) {
  // An installation made before recorded the MD5 (32 digits).
  const std::string digest = check.size() == 32 ? DigestText(data, length) : ManifestCheckOf(data, length);
  return !digest.empty() && _stricmp(check.c_str(), digest.c_str()) == 0;
}

bool InstalledManifestMatches(const std::string& check) {
  return !The().installed_digest.empty() &&
         ManifestCheckMatches(check, The().installed_text.data(), The().installed_text.size());
}

FILE* OpenProgramFile() {
  if (!The().program) return nullptr;
  Descriptor copy(_dup(The().program.get()));
  if (!copy || _lseeki64(copy.get(), 0, SEEK_SET) != 0) return nullptr;
  FILE* stream = _fdopen(copy.get(), "rb");
  if (stream) copy.release();
  return stream;
}

void RestoreStubHeaders(uint8_t* chunk, uint32_t offset, uint32_t length) {
  const Archive& a = The();
  if (!a.has_stub_record) return;
  uint8_t fields[12];
  archive::PutU32(fields, a.stub_record.checksum);
  archive::PutU32(fields + 4, a.stub_record.certificates_offset);
  archive::PutU32(fields + 8, a.stub_record.certificates_size);
  for (uint32_t i = 0; i < sizeof fields; i++) {
    const uint32_t at =
        a.pe_offset + (i < 4 ? archive::kChecksumAt + i : archive::kCertificatesAt + i - 4);
    if (at >= offset && at - offset < length) chunk[at - offset] = fields[i];
  }
}

const char* DeviceHelper() {
  Archive& a = The();
  if (a.helper_path) return a.helper_path;
  const archive::StubRecordFields& r = a.stub_record;
  if (!a.has_stub_record || r.helper_length == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  DescriptorSource file(a.program.get());
  const uint8_t* bytes = file.View(r.helper_offset, r.helper_length);
  // A new file in the run's own folder, never one that was there.
  char* path = xsprintf("%s\\devupdate64.exe", VariableOr("TmpDir"));
  HANDLE out = bytes ? CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)
                     : INVALID_HANDLE_VALUE;
  if (out == INVALID_HANDLE_VALUE) {
    if (!bytes) SetLastError(ERROR_READ_FAULT);
    return nullptr;
  }
  RecordTempFile(path);
  DWORD written = 0;
  const bool ok =
      WriteFile(out, bytes, r.helper_length, &written, nullptr) && written == r.helper_length;
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(out);
  if (!ok) {
    SetLastError(error ? error : ERROR_WRITE_FAULT);
    return nullptr;
  }
  return a.helper_path = path;
}

bool ReadReferralTag(uint16_t& number) {
  FileHandle f(fopen(ProgramPath().c_str(), "rb"));
  if (!f) return false;
  uint8_t tail[archive::kReferralTagLength];
  return fseek(f.get(), -static_cast<long>(sizeof tail), SEEK_END) == 0 &&
         fread(tail, 1, sizeof tail, f.get()) == sizeof tail &&
         archive::DecodeReferralTag(tail, number);
}

const char* ManifestSignature() {
  return The().signature;
}

const char* InstalledManifestDigest() {
  return The().installed_digest.empty() ? nullptr : The().installed_digest.c_str();
}

std::string FileDigest(const char* path) {
  FileHandle f(fopen(path, "rb"));
  if (!f) return "";
  Md5 md5;
  for (size_t n; (n = fread(digest_buffer.get(), 1, digest_buffer.size(), f.get())) > 0;) {
    md5.Update(digest_buffer.get(), n);
  }
  return HexDigest(md5);
}

bool FindArchiveHeader(int fd, archive::HeaderFields& header) {
  DescriptorSource file(fd);
  return archive::FindHeader(file, header);
}

void VerifyFilecheck(int fd, uint32_t headersize, uint32_t setuplen) {
  DescriptorSource file(fd);
  archive::VerifyFilecheck(file, headersize, setuplen);
}

namespace {

DWORD WINAPI CheckBeside(void*) {
  Archive& a = The();
  DescriptorSource file(a.program.get());
  a.early_state = archive::CheckFilecheck(file, a.header.headersize, a.header.setuplen);
  return 0;
}

}  // namespace

void StartFilecheck() {
  Archive& a = The();
  a.program.reset(_open(ProgramPath().c_str(), _O_RDONLY | _O_BINARY));
  if (a.program && FindArchiveHeader(a.program.get(), a.header)) {
    a.early_check = CreateThread(nullptr, 64 * 1024, CheckBeside, nullptr, 0, nullptr);
  }
}

char* OpenArchive() {
  Archive& a = The();
  if (!a.resources) a.resources = vec_new();
  if (!CreateTempFolder()) {
    std::string tried;
    CreatePrivateFolder(&tried);
    Fatal("Failed to create folder %s", tried.c_str());
  }

  const std::string path = ProgramPath();
  // The file is read by one thread at a time: the early check ends first.
  const bool checked = a.early_check != nullptr;
  if (checked) {
    WaitForSingleObject(a.early_check, INFINITE);
    CloseHandle(a.early_check);
    a.early_check = nullptr;
  } else {
    a.program.reset(_open(path.c_str(), _O_RDONLY | _O_BINARY));
  }
  if (!a.program) FatalText(kCorrupt);
  ReadSignature(a.program.get());

  char* text;
  archive::HeaderFields header;
  if (FindArchiveHeader(a.program.get(), header)) {
    const int64_t stream_start = _telli64(a.program.get());
    Trace("setuplen = %lu, headersize = %lu", static_cast<unsigned long>(header.setuplen),
          static_cast<unsigned long>(header.headersize));
    if (checked) {
      archive::ReportFilecheck(a.early_state);
    } else {
      VerifyFilecheck(a.program.get(), header.headersize, header.setuplen);
    }
    ReadStubRecord(a.program.get(), stream_start - archive::kHeaderLength, header.headersize);
    OpenRecordStream(stream_start);
    AddProgramResource(path,
                       a.has_stub_record ? a.stub_record.image_length : header.stub_length);
    text = ReadManifestRecord();
    // A program that carries an archive installs it.
    RunMode mode = Mode();
    mode.install = true;
    SetRunMode(mode);
  } else {
    a.program.reset();
    text = ReadInstalledManifest(path);
  }
  return text;
}

uint32_t ReadRecordLength() {
  if (!The().reader) FatalText(kCorrupt);
  return archive::ReadRecordLength(&The().reader->stream);
}

char* ReadManifestRecord() {
  if (!The().reader) FatalText(kCorrupt);
  return archive::ReadManifestRecord(&The().reader->stream);
}

namespace {

void OpenRecordFile(const char* path, Placement* placement) {
  OutputOpened opened;
  auto open = [&] { return placement ? placement->Open(path) : OpenOutput(path); };
  while ((opened = open()) == OutputOpened::kFailed) {
    const int error = errno;
    if (error == EACCES &&
        AskRetry("Can't create file",
                 "The file %s cannot be written to -\nclose any other applications that may be "
                 "using it",
                 path)) {
      continue;
    }
    Fatal("Can't create file: %s\nError %d", path, error);
  }
  Progress().Add(archive::kCopyChunk);
}

void CheckRecordLength(const char* path, uint32_t size) {
  const uint32_t length = ReadRecordLength();
  // The file is closed before a failure ends the run, so that its clean-up
  // can delete it.
  if (length != size) {
    AbandonOutput();
    Fatal("File size does not match - file %d:%s %lu/%lu", static_cast<int>(The().record_number),
          path ? path : "", static_cast<unsigned long>(size), static_cast<unsigned long>(length));
  }
}

// A record read over the file there: compared as it is read, while the file
// holds the same bytes, whatever its size; at the first difference the file
// is set aside and the record written in its place, its bytes so far taken
// from the file set aside (still open here). An unchanged file, a running
// program among them, is only ever read, and shared with whoever uses it.
// What an upgrade compares, a stretch at a time: the record's bytes and the
// file's (a call for every few kilobytes cost Wine more than the comparing).
constexpr uint32_t kCompareChunk = 256 * 1024;
RunBuffer<uint8_t, kCompareChunk> record_chunk;
RunBuffer<uint8_t, kCompareChunk> file_chunk;

class CompareOutput final : public archive::RecordOutput {
 public:
  CompareOutput(const char* path, Placement& placement, HANDLE file)
      : path_(path), placement_(placement), file_(file), output_(path) {}
  uint8_t* Room(uint32_t remaining, uint32_t& room) override {
    if (writing_) return output_.Room(remaining, room);
    room = std::min<uint32_t>(remaining, record_.size());
    return record_.get();
  }
  void Chunk(uint32_t length) override {
    if (writing_) {
      output_.Chunk(length);
      return;
    }
    DWORD got = 0;
    if (ReadFile(file_, file_chunk.get(), length, &got, nullptr) && got == length &&
        memcmp(file_chunk.get(), record_.get(), length) == 0) {
      same_ += length;
      Progress().Add(length);
      return;
    }
    Write(length);
  }
  // After the record: true when the file holds it and nothing more (it
  // stays); otherwise the record is written (the caller closes the output).
  bool Unchanged() {
    DWORD got = 0;
    if (writing_) return false;
    // One byte more in the file: it is not the record.
    if (!ReadFile(file_, file_chunk.get(), 1, &got, nullptr) || got != 0) {
      Write(0);
      return false;
    }
    return true;
  }

 private:
  // Switches to writing: the file there goes aside, the bytes that matched
  // come from it, then the `length` bytes of the record read last.
  void Write(uint32_t length) {
    OpenRecordFile(path_, &placement_);
    writing_ = true;
    bool ok = SetFilePointer(file_, 0, nullptr, FILE_BEGIN) == 0;
    for (uint64_t left = same_; ok && left > 0;) {
      DWORD got = 0;
      ok = ReadFile(file_, file_chunk.get(), static_cast<DWORD>(std::min<uint64_t>(left, file_chunk.size())),
                    &got, nullptr) &&
           got > 0 && WriteOutput(file_chunk.get(), got);
      left -= got;
    }
    if (!ok || !WriteOutput(record_.get(), length)) {
      const std::string failed = FailedOutput(path_);
      AbandonOutput();
      Fatal("Write error on %s", failed.c_str());
    }
    Progress().Add(length);
  }

  const char* path_;
  Placement& placement_;
  HANDLE file_;
  FileOutput output_;
  RunBuffer<uint8_t, kCompareChunk>& record_ = record_chunk;
  uint64_t same_ = 0;
  bool writing_ = false;
};

}  // namespace

void ExtractRecord(const char* path, uint32_t size, Placement* placement) {
  // Without an archive (an installed manifest that names resources) nothing
  // may be created: the output file would be emptied before the failure.
  if (!The().reader) FatalText(kCorrupt);
  // An installation over a previous one: a file that holds the record's very
  // bytes already is left as it is (an upgrade that changes half its files
  // writes only those). In a new folder nothing is looked for.
  if (path && placement && placement->There(path)) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CheckRecordLength(path, size);
      CompareOutput compare(path, *placement, file);
      const bool read = archive::ReadRecordBytes(&The().reader->stream, size, &compare);
      const bool unchanged = read && compare.Unchanged();
      CloseHandle(file);
      if (!read) {
        AbandonOutput();
        FatalText(kCorrupt);
      }
      The().record_number++;
      if (unchanged) {
        placement->Keep(path);
        Progress().Add(archive::kCopyChunk);
      } else if (!CloseOutput()) {
        Fatal("Write error on %s", FailedOutput(path));
      }
      return;
    }
  }
  if (path) OpenRecordFile(path, placement);
  CheckRecordLength(path, size);
  FileOutput file(path);
  if (!archive::ReadRecordBytes(&The().reader->stream, size, path ? &file : nullptr)) {
    AbandonOutput();
    FatalText(kCorrupt);
  }
  // A write that fails only when the buffer is flushed is a write error too.
  if (path && !CloseOutput()) Fatal("Write error on %s", FailedOutput(path));
  The().record_number++;
}

void ExtractResources() {
  // The program itself is copied from its own file later; the [Resources]
  // lines' records follow the manifest record, in their order.
  for (uint32_t i = 0; i < vec_count(The().resources); i++) {
    Resource* r = vec_at<Resource>(The().resources, i);
    if (!r->from_program) ExtractRecord(r->source_path, r->size);
  }
}

Vec* Resources() {
  if (!The().resources) The().resources = vec_new();
  return The().resources;
}

void CloseArchive() {
  The().reader.reset();
}
