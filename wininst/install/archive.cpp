// The archive in the program's own file: finding it, checking the filecheck,
// the compressed record stream and the run-wide lists that it fills.
#include "wininst/install/archive.h"

#include <algorithm>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/md5.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "wininst/core/messages.h"
#include "wininst/core/progress.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive_reader.h"

Vec* Resources;
Vec* InstalledFiles;
Vec* CreatedFolders;
Vec* OverwrittenFiles;

uint32_t RecordNumber;
uint64_t ProgressUnit;
uint64_t BytesDone;

namespace {

using archive::kCorrupt;
// zlib's own buffer: 8 KB reads cost 7-13% against 64 KB ones.
constexpr unsigned kGzipBuffer = 64 * 1024;

void CloseDescriptor(int fd) {
  _close(fd);
}
void CloseGzip(gzFile g) {
  // Only ever a reader: gzclose would bring the whole compressor along.
  gzclose_r(g);
}
using Descriptor = Handle<int, CloseDescriptor, -1>;
using GzipReader = Handle<gzFile, CloseGzip>;

char signature[archive::kSignatureLength + 1];
// The digest of an installed manifest, in hex; empty in a run with an archive.
std::string installed_digest;
// The program file stays open for the whole run; the gzip reader reads a
// duplicate of its descriptor, from the end of the archive header on.
Descriptor program;
GzipReader reader;

// The chunks of a file's digest: a fixed buffer, never the whole file in memory.
RunBuffer<uint8_t, archive::kCopyChunk> digest_buffer;
// The file being written, straight through Win32 with a buffer of our own:
// under Wine the runtime's descriptor and stream layers cost a few per cent
// of a run of small files. Records are inflated straight into the buffer;
// a file that fits it is one write, made when it is closed; and a read of
// twice the gzip reader's buffer or more is inflated without that buffer.
constexpr uint32_t kOutputBuffer = 256 * 1024;
HANDLE output = INVALID_HANDLE_VALUE;
uint32_t output_used;

// Made on first use: a static array would sit in the stub's data section.
// Only one extracted file is open at a time.
uint8_t* ExtractBuffer() {
  static uint8_t* buffer = static_cast<uint8_t*>(xmalloc(kOutputBuffer));
  return buffer;
}

HANDLE CreateOutput(const char* path, DWORD disposition) {
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool FlushOutput() {
  DWORD written = 0;
  const bool ok = output_used == 0 ||
                  (WriteFile(output, ExtractBuffer(), output_used, &written, nullptr) &&
                   written == output_used);
  output_used = 0;
  return ok;
}

void CreateLists() {
  for (Vec** list : {&InstalledFiles, &CreatedFolders, &OverwrittenFiles, &Resources}) {
    if (!*list) *list = vec_new();
  }
}

// A record's bytes written to the file being extracted.
class FileOutput : public archive::RecordOutput {
 public:
  explicit FileOutput(const char* path) : path_(path) {}
  uint8_t* Room(uint32_t remaining, uint32_t& room) override {
    // A short tail of the buffer is written out before it is filled.
    const uint32_t least = remaining < archive::kCopyChunk ? remaining : archive::kCopyChunk;
    if (kOutputBuffer - output_used < least && !FlushOutput()) {
      AbandonOutput();
      Fatal("Write error on %s", path_);
    }
    room = kOutputBuffer - output_used < remaining ? kOutputBuffer - output_used : remaining;
    return ExtractBuffer() + output_used;
  }
  void Chunk(uint32_t length) override {
    output_used += length;
    CountProgress(length);
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
  archive::FormatSignature(bytes, signature);
}

void OpenRecordStream(int64_t stream_start) {
  if (_lseeki64(program.get(), stream_start, SEEK_SET) != stream_start) FatalText(kCorrupt);
  Descriptor copy(_dup(program.get()));
  if (!copy) FatalText(kCorrupt);
  reader.reset(gzdopen(copy.get(), "rb"));
  if (!reader) FatalText(kCorrupt);
  copy.release();  // the gzip reader closes it
  gzbuffer(reader.get(), kGzipBuffer);
}

void AddProgramResource(const std::string& path, uint32_t stub_length) {
  Resource* r = static_cast<Resource*>(xmalloc(sizeof(Resource)));
  r->file_name = xstrdup("setup.exe");
  r->source_path = xstrdup(path.c_str());
  // The variable itself is set once the copy is installed.
  r->variable = xstrdup("SETUP");
  r->size = stub_length;
  r->from_program = true;
  vec_add(Resources, r);
}

// The installed copy: its manifest lies beside it.
char* ReadInstalledManifest(const std::string& program_path) {
  // Read as it lies on the disk (the lines take CR LF as one line end), so
  // that its digest is the digest of the file the installation wrote.
  FileHandle file(fopen("manifest", "rb"));
  if (!file) FatalText("Can't find the manifest");
  long length = _filelength(_fileno(file.get()));
  if (length < 0) FatalText("Can't find the manifest");
  char* text = static_cast<char*>(xmalloc(static_cast<uint32_t>(length) + 1));
  size_t n = fread(text, 1, static_cast<size_t>(length), file.get());
  text[n] = '\0';
  installed_digest = DigestText(text, n);

  std::string folder = program_path.substr(0, program_path.rfind('\\'));
  size_t slash = folder.rfind('\\');
  if (slash != std::string::npos && _stricmp(folder.c_str() + slash + 1, "resources") == 0) {
    SetVariable("InstDir", folder.substr(0, slash).c_str());
  }
  return text;
}

}  // namespace

int ProgressPosition() {
  return ProgressUnit ? static_cast<int>((BytesDone + ProgressUnit - 1) / ProgressUnit) : 0;
}

void CountProgress(uint64_t bytes) {
  if (ProgressUnit == 0) return;
  BytesDone += bytes;
  ReportProgress(ProgressPosition(), nullptr);
}

FILE* OpenProgramFile() {
  if (!program) return nullptr;
  Descriptor copy(_dup(program.get()));
  if (!copy || _lseeki64(copy.get(), 0, SEEK_SET) != 0) return nullptr;
  FILE* stream = _fdopen(copy.get(), "rb");
  if (stream) copy.release();
  return stream;
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
  return signature;
}

const char* InstalledManifestDigest() {
  return installed_digest.empty() ? nullptr : installed_digest.c_str();
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

bool OpenOutput(const char* path, bool may_replace) {
  AbandonOutput();
  // Made afresh, or else overwritten: a file that was there before the run
  // is noted, so that undoing an installation leaves it. A link in its
  // place is not written through.
  output = CreateOutput(path, CREATE_NEW);
  if (output == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && may_replace) {
    if (is_link(path)) {
      Fatal("%s is a link to another place.\nThe installation writes nothing through a link; "
            "remove the link and run the installation again.",
            path);
    }
    output = CreateOutput(path, CREATE_ALWAYS);
    if (output != INVALID_HANDLE_VALUE) vec_add(OverwrittenFiles, xstrdup(path));
  }
  if (output != INVALID_HANDLE_VALUE) return true;
  errno = errno_of(GetLastError());
  return false;
}

bool WriteOutput(const void* bytes, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  while (length > 0) {
    if (output_used == kOutputBuffer && !FlushOutput()) return false;
    const uint32_t n = std::min(length, kOutputBuffer - output_used);
    memcpy(ExtractBuffer() + output_used, p, n);
    output_used += n;
    p += n;
    length -= n;
  }
  return true;
}

bool CloseOutput() {
  const bool written = FlushOutput();
  const bool closed = CloseHandle(output);
  output = INVALID_HANDLE_VALUE;
  return written && closed;
}

void AbandonOutput() {
  if (output == INVALID_HANDLE_VALUE) return;
  CloseHandle(output);
  output = INVALID_HANDLE_VALUE;
  output_used = 0;
}

bool FindArchiveHeader(int fd, archive::HeaderFields& header) {
  DescriptorSource file(fd);
  return archive::FindHeader(file, header);
}

void VerifyFilecheck(int fd, uint32_t headersize, uint32_t setuplen) {
  DescriptorSource file(fd);
  archive::VerifyFilecheck(file, headersize, setuplen);
}

char* OpenArchive() {
  CreateLists();
  CreateTempFolder();

  const std::string path = ProgramPath();
  program.reset(_open(path.c_str(), _O_RDONLY | _O_BINARY));
  if (!program) FatalText(kCorrupt);
  ReadSignature(program.get());

  char* text;
  archive::HeaderFields header;
  if (FindArchiveHeader(program.get(), header)) {
    const int64_t stream_start = _telli64(program.get());
    Trace("setuplen = %lu, headersize = %lu", static_cast<unsigned long>(header.setuplen),
          static_cast<unsigned long>(header.headersize));
    VerifyFilecheck(program.get(), header.headersize, header.setuplen);
    OpenRecordStream(stream_start);
    AddProgramResource(path, header.stub_length);
    text = ReadManifestRecord();
    SetVariable("Install", "yes");
  } else {
    program.reset();
    text = ReadInstalledManifest(path);
  }
  return text;
}

uint32_t ReadRecordLength() {
  if (!reader) FatalText(kCorrupt);
  return archive::ReadRecordLength(reader.get());
}

char* ReadManifestRecord() {
  if (!reader) FatalText(kCorrupt);
  return archive::ReadManifestRecord(reader.get());
}

void ExtractRecord(const char* path, uint32_t size, bool may_replace) {
  // Without an archive (an installed manifest that names resources) nothing
  // may be created: the output file would be emptied before the failure.
  if (!reader) FatalText(kCorrupt);
  if (path) {
    vec_add(InstalledFiles, xstrdup(path));
    while (!OpenOutput(path, may_replace)) {
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
    CountProgress(archive::kCopyChunk);
  }

  const uint32_t length = ReadRecordLength();
  // The file is closed before a failure ends the run, so that its clean-up
  // can delete it.
  if (length != size) {
    AbandonOutput();
    Fatal("File size does not match - file %d:%s %lu/%lu", static_cast<int>(RecordNumber),
          path ? path : "", static_cast<unsigned long>(size), static_cast<unsigned long>(length));
  }
  FileOutput file(path);
  if (!archive::ReadRecordBytes(reader.get(), length, path ? &file : nullptr)) {
    AbandonOutput();
    FatalText(kCorrupt);
  }
  // A write that fails only when the buffer is flushed is a write error too.
  if (path && !CloseOutput()) Fatal("Write error on %s", path);
  RecordNumber++;
}

bool ArchiveOpen() {
  return static_cast<bool>(reader);
}

void CloseArchive() {
  reader.reset();
}
