#include "tools/mkinst/pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "common/handle.h"
#include "common/md5.h"
#include "tools/mkinst/member.h"
#include "wininst/install/manifest_rules.h"
#include "wininst/install/archive_format.h"

namespace fs = std::filesystem;

namespace mkinst {

namespace {

constexpr size_t kChunk = 256 * 1024;

int Seek(FILE* f, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<int64_t>(offset), SEEK_SET);
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
}

// The temporary file being written; a plain buffer, for the signal handler.
char pending[4096];

void OnSignal(int sig) {
  RemovePendingOutput();
  signal(sig, SIG_DFL);
  raise(sig);
}

// Creates a new file beside `out` that no one else has.
FileHandle CreateTemporary(const fs::path& out, std::string& name) {
  for (int n = 0; n < 100; n++) {
#ifdef _WIN32
    name = out.string() + ".tmp" + std::to_string(_getpid()) + "-" + std::to_string(n);
    int fd = _open(name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    name = out.string() + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(n);
    // The installer is a program: executable as far as the umask allows.
    int fd = open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0777);
#endif
    if (fd >= 0) {
      snprintf(pending, sizeof pending, "%s", name.c_str());
#ifdef _WIN32
      return FileHandle(_fdopen(fd, "w+b"));
#else
      return FileHandle(fdopen(fd, "w+b"));
#endif
    }
    if (errno != EEXIST) break;
  }
  return FileHandle();
}

// A source file, read straight into the caller's buffer: a product may
// have tens of thousands of small files.
FileHandle OpenRead(const fs::path& path) {
#ifdef _WIN32
  FileHandle f(_wfopen(path.c_str(), L"rb"));
#else
  FileHandle f(fopen(path.c_str(), "rb"));
#endif
  if (f) setvbuf(f.get(), nullptr, _IONBF, 0);
  return f;
}

bool Rename(const std::string& from, const fs::path& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.string().c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return rename(from.c_str(), to.c_str()) == 0;
#endif
}

// The pieces of one build, for the failure paths.
struct Build {
  const Stub& stub;
  const Plan& plan;
  const PackOptions& options;
  Diagnostics& diag;
  std::vector<std::string>& errors;
  FILE* out = nullptr;
  std::string temp_name;
  uint64_t total = 0;
  uint64_t done = 0;
  uint64_t member_start = 0;
  int last_line = 1;
  // Where each record's bytes begin in the member's input, and its line.
  std::vector<std::pair<uint64_t, int>> starts{};
  uint64_t input = 0;

  void Progress(uint64_t bytes) {
    done += bytes;
    if (options.progress) options.progress(done, total);
  }

  bool Fail(const std::string& message) {
    errors.push_back(message);
    return false;
  }

  bool Add(GzipMember& member, const void* data, size_t length) {
    input += length;
    return member.Add(data, length) || Failed(member);
  }

  bool Records(GzipMember& member) {
    uint8_t length[archive::kRecordLengthBytes];
    const std::string manifest = StubSignatureLine() + plan.manifest;
    archive::EncodeRecordLength(length, static_cast<uint32_t>(manifest.size()));
    if (!Add(member, length, sizeof length) || !Add(member, manifest.data(), manifest.size())) {
      return false;
    }
    std::vector<uint8_t> buffer(kChunk);
    for (const Record& r : plan.records) {
      last_line = r.line;
      starts.emplace_back(input, r.line);
      archive::EncodeRecordLength(length, static_cast<uint32_t>(r.size));
      if (!Add(member, length, sizeof length)) return false;
      if (r.source.empty()) continue;
      FileHandle in = OpenRead(r.source);
      for (uint64_t remaining = r.size; remaining > 0;) {
        size_t n = remaining < buffer.size() ? remaining : buffer.size();
        if (!in || fread(buffer.data(), 1, n, in.get()) != n) {
          diag.Add(r.line, r.source.string() + " changed or could not be read while packing");
          return false;
        }
        if (!Add(member, buffer.data(), n)) return false;
        remaining -= n;
        Progress(n);
        if (Setuplen(member) > options.max_setuplen) return TooBig(LineAt(member.input_written()));
      }
    }
    return member.Finish() || Failed(member);
  }

  // The line of the record that holds the input byte before `offset`: the
  // member is written block by block, behind the reading.
  int LineAt(uint64_t offset) const {
    auto after = std::upper_bound(starts.begin(), starts.end(), offset - (offset > 0),
                                  [](uint64_t o, const auto& s) { return o < s.first; });
    return after == starts.begin() ? last_line : std::prev(after)->second;
  }

  std::string StubSignatureLine() const {
    return (options.signature ? *options.signature : StubSignature(stub)) + "\n";
  }

  uint64_t HeaderOffset() const { return stub.bytes.size(); }

  uint64_t Setuplen(const GzipMember& member) const {
    return member_start + member.written() - stub.headersize;
  }

  bool TooBig(int line) {
    diag.Add(line, "the archive grows too big here: its header counts at most " +
                       std::to_string(options.max_setuplen) + " bytes under the filecheck");
    return false;
  }

  bool WriteFailed() { return Fail("write error on " + temp_name + ": " + strerror(errno)); }

  bool Failed(const GzipMember& member) {
    return member.error().empty() ? WriteFailed() : Fail(member.error());
  }

  // The MD5 of the covered stretch, read back from the file.
  bool Filecheck(uint64_t setuplen, uint8_t digest[Md5::kDigestLength]) {
    Md5 md5;
    if (fflush(out) != 0 || Seek(out, stub.headersize) != 0) return WriteFailed();
    std::vector<uint8_t> buffer(kChunk);
    for (uint64_t remaining = setuplen; remaining > 0;) {
      size_t n = remaining < buffer.size() ? remaining : buffer.size();
      if (fread(buffer.data(), 1, n, out) != n) return Fail("can't read back " + temp_name);
      md5.Update(buffer.data(), n);
      remaining -= n;
    }
    if (!md5.Final(digest)) return Fail("the MD5 digest could not be computed");
    return true;
  }

  bool Run() {
    member_start = HeaderOffset() + archive::kHeaderLength;
    if (fwrite(stub.bytes.data(), 1, stub.bytes.size(), out) != stub.bytes.size()) {
      return WriteFailed();
    }
    const uint8_t placeholder[archive::kHeaderLength] = {};
    if (fwrite(placeholder, 1, sizeof placeholder, out) != sizeof placeholder) return WriteFailed();

    GzipMember member(out, options.level, options.threads);
    if (!member.ok()) return Failed(member);
    if (!Records(member)) return false;

    const uint64_t setuplen = Setuplen(member);
    if (setuplen > options.max_setuplen) return TooBig(last_line);
    archive::HeaderFields fields;
    fields.stub_length = static_cast<uint32_t>(stub.bytes.size());
    fields.setuplen = static_cast<uint32_t>(setuplen);
    fields.headersize = stub.headersize;
    const archive::Header header = archive::EncodeHeader(fields);
    if (Seek(out, HeaderOffset()) != 0 || fwrite(&header, 1, sizeof header, out) != sizeof header) {
      return WriteFailed();
    }

    uint8_t digest[Md5::kDigestLength];
    if (!Filecheck(setuplen, digest)) return false;
    if (Seek(out, stub.headersize + setuplen) != 0 ||
        fwrite(digest, 1, sizeof digest, out) != sizeof digest) {
      return WriteFailed();
    }
    if (options.referral) {
      uint8_t tag[archive::kReferralTagLength];
      archive::EncodeReferralTag(tag, *options.referral);
      if (fwrite(tag, 1, sizeof tag, out) != sizeof tag) return WriteFailed();
    }
    return true;
  }
};

uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

namespace {

// Lays out the stub length: the image, the helper (on a 16-byte boundary
// after it), zeros, the stub record. The image is stub.bytes up to the
// record's image length.
bool LayOutStub(Stub& stub, const std::vector<uint8_t>& helper, std::string& error) {
  archive::StubRecordFields& r = stub.record;
  std::vector<uint8_t>& bytes = stub.bytes;
  bytes.resize(r.image_length);
  r.helper_offset = r.helper_length = 0;
  if (!helper.empty()) {
    bytes.resize((bytes.size() + 15) / 16 * 16, 0);
    r.helper_offset = static_cast<uint32_t>(bytes.size());
    r.helper_length = static_cast<uint32_t>(helper.size());
    bytes.insert(bytes.end(), helper.begin(), helper.end());
  }
  // The installer takes the first header on the grid: a second archive would never be seen.
  for (uint64_t at = archive::kMinStubLength; at + archive::kHeaderLength <= bytes.size();
       at += archive::kStubGrid) {
    archive::HeaderFields f;
    if (archive::DecodeHeader(&bytes[at], f)) {
      error = "it already carries an archive (at offset " + std::to_string(at) + ")";
      return false;
    }
  }
  const uint64_t length = archive::PaddedStubLength(bytes.size() + archive::kStubRecordLength);
  if (length > UINT32_MAX) {
    error = "it is too big for the archive header";
    return false;
  }
  bytes.resize(length, 0);
  const archive::StubRecord record = archive::EncodeStubRecord(r);
  memcpy(&bytes[length - sizeof record], &record, sizeof record);
  return true;
}

}  // namespace

bool PrepareStub(std::vector<uint8_t> bytes, Stub& stub, std::string& error) {
  // DOS header, "PE\0\0", the file header (20 bytes), the optional header.
  constexpr size_t kLfanew = archive::kPeOffsetAt, kOptional = 24, kSizeOfHeaders = 60;
  constexpr uint16_t kPe32Magic = 0x10B;
  const size_t n = bytes.size();
  if (n < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
    error = "not a Windows program (no MZ header)";
    return false;
  }
  const uint32_t pe = archive::GetU32(&bytes[kLfanew]);
  if (pe > n || n - pe < kOptional + kSizeOfHeaders + 4 || memcmp(&bytes[pe], "PE\0\0", 4) != 0) {
    error = "not a PE image";
    return false;
  }
  if (GetU16(&bytes[pe + kOptional]) != kPe32Magic) {
    error = "not a PE32 image (a 32-bit Windows program is needed)";
    return false;
  }
  const uint32_t headersize = archive::GetU32(&bytes[pe + kOptional + kSizeOfHeaders]);
  if (headersize == 0 || headersize > n) {
    error = "its SizeOfHeaders (" + std::to_string(headersize) + ") lies outside the file";
    return false;
  }
  if (uint64_t{pe} + archive::kPeFieldsEnd > headersize || n > UINT32_MAX) {
    error = "its headers hold no certificate table entry";
    return false;
  }
  // The installer's own signature, if any, is rewritten by signing the
  // installer: the record keeps the stub's, and the installer's headers
  // start without one (a table inside the file would be no valid signature).
  archive::StubRecordFields& r = stub.record;
  r = {};
  r.image_length = static_cast<uint32_t>(n);
  r.checksum = archive::GetU32(&bytes[pe + archive::kChecksumAt]);
  r.certificates_offset = archive::GetU32(&bytes[pe + archive::kCertificatesAt]);
  r.certificates_size = archive::GetU32(&bytes[pe + archive::kCertificatesAt + 4]);
  if (r.certificates_offset != 0 || r.certificates_size != 0) {
    const uint64_t end = uint64_t{r.certificates_offset} + r.certificates_size;
    if (r.certificates_offset < headersize || r.certificates_offset % 8 != 0 ||
        r.certificates_size < 8 || end != n) {
      error = "its certificate table (" + std::to_string(r.certificates_size) +
              " bytes at offset " + std::to_string(r.certificates_offset) +
              ") does not end the file";
      return false;
    }
  }
  memset(&bytes[pe + archive::kChecksumAt], 0, 4);
  memset(&bytes[pe + archive::kCertificatesAt], 0, 8);
  stub.bytes = std::move(bytes);
  stub.headersize = headersize;
  return LayOutStub(stub, {}, error);
}

bool AttachDeviceHelper(Stub& stub, std::vector<uint8_t> helper, std::string& error) {
  constexpr uint16_t kPe32PlusMagic = 0x20B, kAmd64 = 0x8664;
  const size_t n = helper.size();
  const uint32_t pe = n >= 0x40 ? archive::GetU32(&helper[archive::kPeOffsetAt]) : 0;
  if (n < 0x40 || helper[0] != 'M' || helper[1] != 'Z' || pe > n || n - pe < 26 ||
      memcmp(&helper[pe], "PE\0\0", 4) != 0 || GetU16(&helper[pe + 4]) != kAmd64 ||
      GetU16(&helper[pe + 24]) != kPe32PlusMagic) {
    error = "not a 64-bit Windows program (PE32+, x64)";
    return false;
  }
  if (n > archive::kMaxHelperLength) {
    error = "it is bigger than " + std::to_string(archive::kMaxHelperLength) + " bytes";
    return false;
  }
  return LayOutStub(stub, helper, error);
}

bool HasDriver(const Plan& plan) {
  struct DriverSink : manifest::Sink {
    bool found = false;
    void FeatureValue(manifest::FeatureKey key, const std::string&) override {
      found = found || key == manifest::FeatureKey::kDriverInf;
    }
    void Error(const std::string&) override {}
  } sink;
  manifest::TextLines lines(plan.manifest);
  manifest::Walk(lines, sink);
  return sink.found;
}

bool ReadWhole(const fs::path& path, std::vector<uint8_t>& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "can't open: " + std::string(strerror(errno));
    return false;
  }
  bytes.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "can't read: " + std::string(strerror(errno));
    return false;
  }
  return true;
}

bool LoadStub(const fs::path& path, Stub& stub, std::string& error) {
  std::vector<uint8_t> bytes;
  return ReadWhole(path, bytes, error) && PrepareStub(std::move(bytes), stub, error);
}

namespace {

// The path as one word of the shell that runs the command.
std::string ShellWord(const std::string& path) {
#ifdef _WIN32
  if (path.find_first_of(" \t&()[]{}^=;!'+,`~%") == std::string::npos) return path;
  return "\"" + path + "\"";
#else
  if (path.find_first_not_of(
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./-+,:=@") ==
      std::string::npos) {
    return path;
  }
  std::string word = "'";
  for (char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
#endif
}

// A new folder of this user's for the copy; empty on failure.
fs::path NewPrivateFolder() {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) return {};
#ifdef _WIN32
  for (int n = 0; n < 100; n++) {
    fs::path dir =
        base / ("mkinst-" + std::to_string(_getpid()) + "-" + std::to_string(GetTickCount() + n));
    if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return {};
#else
  std::string pattern = (base / "mkinst-XXXXXX").string();
  return mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
#endif
}

}  // namespace

bool SignStub(const std::string& command, const fs::path& stub, std::vector<uint8_t>& bytes,
              std::string& error) {
  std::vector<uint8_t> original;
  if (!ReadWhole(stub, original, error)) return false;
  const fs::path dir = NewPrivateFolder();
  if (dir.empty()) {
    error = "can't make a temporary folder for the stub's copy: " + std::string(strerror(errno));
    return false;
  }
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{dir};
  const fs::path copy = dir / stub.filename();
  {
    std::ofstream out(copy, std::ios::binary);
    out.write(reinterpret_cast<const char*>(original.data()),
              static_cast<std::streamsize>(original.size()));
    if (!out.flush()) {
      error = "can't write " + copy.string() + ": " + strerror(errno);
      return false;
    }
  }
  std::string line = command;
  const std::string word = ShellWord(copy.string());
  for (size_t at = 0; (at = line.find("%1", at)) != std::string::npos; at += word.size()) {
    line.replace(at, 2, word);
  }
  fflush(nullptr);
#ifdef _WIN32
  // cmd /c takes the first and the last quote of its line away.
  const int status = system(("\"" + line + "\"").c_str());
  const int code = status;
#else
  const int status = system(line.c_str());
  const int code = status == -1        ? -1
                   : WIFEXITED(status) ? WEXITSTATUS(status)
                                       : 128 + WTERMSIG(status);
#endif
  if (status != 0) {
    error = "the signing command ended with exit code " + std::to_string(code) + ": " + line;
    return false;
  }
  if (!ReadWhole(copy, bytes, error)) {
    error = "the signed copy " + copy.string() + ": " + error;
    return false;
  }
  Stub check;
  if (!PrepareStub(bytes, check, error)) {
    error = "the signed copy " + copy.string() + ": " + error;
    return false;
  }
  if (check.record.certificates_size == 0) {
    error = "the signing command left the stub without a certificate table: " + line;
    return false;
  }
  return true;
}

std::string StubSignature(const Stub& stub) {
  char text[archive::kSignatureLength + 1];
  archive::FormatSignature(&stub.bytes[archive::kSignatureOffset], text);
  return text;
}

bool WriteInstaller(const Stub& stub, const Plan& plan, const PackOptions& options,
                    const fs::path& out, Diagnostics& diagnostics,
                    std::vector<std::string>& errors) {
  Build build{stub, plan, options, diagnostics, errors, nullptr, {}};
  for (const Record& r : plan.records) build.total += r.size;

  std::string temp_name;
  FileHandle file = CreateTemporary(out, temp_name);
  if (!file) {
    errors.push_back("can't create a file beside " + out.string() + ": " + strerror(errno));
    return false;
  }
  build.out = file.get();
  build.temp_name = temp_name;
  auto old_int = signal(SIGINT, OnSignal);
  auto old_term = signal(SIGTERM, OnSignal);

  bool ok = build.Run();
  if (fclose(file.release()) != 0 && ok) ok = build.WriteFailed();
  if (ok && !Rename(temp_name, out)) {
    ok = build.Fail("can't rename " + temp_name + " to " + out.string() + ": " + strerror(errno));
  }
  if (ok) {
    pending[0] = '\0';
  } else {
    RemovePendingOutput();
  }
  signal(SIGINT, old_int);
  signal(SIGTERM, old_term);
  return ok;
}

void RemovePendingOutput() {
  if (pending[0]) remove(pending);
  pending[0] = '\0';
}

}  // namespace mkinst
