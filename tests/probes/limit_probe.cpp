// The benchmark's limit: what any installer of our archive format must do at
// the least, written as fast as straightforward code allows, to compare our
// installer with under the same Wine.
//
//   limit_probe.exe INSTALLER FOLDER   check the filecheck, then write every
//                                      feature file of the archive below FOLDER
//
// The whole file is mapped once: the filecheck is one digest over the mapped
// stretch, and zlib inflates from the mapping into one big buffer from which
// each file is written straight to disk. No progress, no lists, no registry,
// no resources folder. It prints the seconds of its two phases; exit code 0,
// or 2 with a message on any failure.
#include <windows.h>

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/md5.h"
#include "wininst/install/archive_format.h"
#include "wininst/install/manifest_rules.h"

namespace {

constexpr size_t kOutBuffer = 4 << 20;

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  fprintf(stderr, "limit_probe: %s %s (error %lu)\n", what, detail.c_str(), GetLastError());
  exit(2);
}

double Seconds(const LARGE_INTEGER& from) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - from.QuadPart) / frequency.QuadPart;
}

// Where each record goes: a file path, or nowhere (a resource record).
struct Target {
  std::string path;
  uint32_t size;
};

class Plan : public manifest::Sink {
 public:
  explicit Plan(std::string root) : root_(std::move(root)) {}
  std::vector<Target> targets;

  void Resource(const manifest::ResourceLine& r) override { targets.push_back({"", r.size}); }
  void Folder(const std::string& name) override {
    folder_ = name.empty() ? root_ : root_ + "\\" + name;
    CreateTree(folder_);
  }
  void File(const manifest::SizedName& f) override {
    targets.push_back({folder_ + "\\" + f.name, f.size});
  }
  void Error(const std::string& message) override { Fail("manifest:", message); }

  static void CreateTree(const std::string& path) {
    for (size_t i = 3; i <= path.size(); i++) {
      if (i < path.size() && path[i] != '\\') continue;
      std::string part = path.substr(0, i);
      if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        Fail("can't create folder", part);
      }
    }
  }

 private:
  std::string root_;
  std::string folder_;
};

// Splits the inflated stream into records: the manifest first, then one
// record per target, each written to its file as its bytes arrive.
class Records {
 public:
  explicit Records(std::string root) : plan_(std::move(root)) {}

  // False once the last record is complete.
  bool Consume(const uint8_t* p, size_t n) {
    while (n > 0) {
      if (length_bytes_ < 4) {
        length_ |= static_cast<uint32_t>(*p++) << (8 * length_bytes_++);
        n--;
        if (length_bytes_ == 4) {
          Begin();
          if (remaining_ == 0 && !End()) return false;
        }
        continue;
      }
      size_t take = remaining_ < n ? remaining_ : n;
      Take(p, take);
      p += take;
      n -= take;
      remaining_ -= static_cast<uint32_t>(take);
      if (remaining_ == 0 && !End()) return false;
    }
    return true;
  }

 private:
  void Begin() {
    remaining_ = length_;
    if (number_ > 0) {
      const Target& t = plan_.targets[number_ - 1];
      if (t.size != length_) Fail("record size differs for", t.path);
      if (!t.path.empty()) {
        out_ = CreateFileA(t.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out_ == INVALID_HANDLE_VALUE) Fail("can't create", t.path);
      }
    }
  }

  void Take(const uint8_t* p, size_t n) {
    if (number_ == 0) {
      manifest_.append(reinterpret_cast<const char*>(p), n);
    } else if (out_ != INVALID_HANDLE_VALUE) {
      DWORD written;
      if (!WriteFile(out_, p, static_cast<DWORD>(n), &written, nullptr) || written != n) {
        Fail("write error on", plan_.targets[number_ - 1].path);
      }
    }
  }

  // Finishes the current record; false after the last one.
  bool End() {
    if (number_ == 0) {
      manifest::TextLines lines(manifest_);
      std::string signature;
      lines.NextRaw(signature);
      if (!manifest::Walk(lines, plan_)) Fail("manifest walk failed");
    } else if (out_ != INVALID_HANDLE_VALUE) {
      CloseHandle(out_);
      out_ = INVALID_HANDLE_VALUE;
    }
    number_++;
    length_ = 0;
    length_bytes_ = 0;
    return number_ <= plan_.targets.size();
  }

  Plan plan_;
  std::string manifest_;
  size_t number_ = 0;  // the record being read; 0 is the manifest
  uint32_t length_ = 0;
  int length_bytes_ = 0;
  uint32_t remaining_ = 0;
  HANDLE out_ = INVALID_HANDLE_VALUE;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: limit_probe INSTALLER FOLDER\n");
    return 2;
  }
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);

  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail("can't open", argv[1]);
  LARGE_INTEGER size;
  GetFileSizeEx(file, &size);
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) Fail("can't map", argv[1]);
  const uint8_t* image = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  if (!image) Fail("can't map", argv[1]);
  const uint64_t length = static_cast<uint64_t>(size.QuadPart);

  archive::HeaderFields header;
  uint64_t at = archive::kMinStubLength;
  for (; at + archive::kHeaderLength <= length; at += archive::kStubGrid) {
    if (archive::DecodeHeader(image + at, header)) break;
  }
  if (at + archive::kHeaderLength > length) Fail("no archive in", argv[1]);
  const uint64_t end = uint64_t{header.headersize} + header.setuplen;
  if (end + archive::kFilecheckLength > length) Fail("truncated:", argv[1]);

  Md5 md5;
  md5.Update(image + header.headersize, header.setuplen);
  uint8_t digest[Md5::kDigestLength];
  if (!md5.Final(digest) || memcmp(digest, image + end, sizeof digest) != 0) {
    Fail("filecheck differs in", argv[1]);
  }
  const double checked = Seconds(start);

  z_stream z = {};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) Fail("inflateInit2");
  const uint64_t stream = at + archive::kHeaderLength;
  z.next_in = const_cast<Bytef*>(image + stream);
  z.avail_in = static_cast<uInt>(end - stream);
  std::vector<uint8_t> out(kOutBuffer);
  Plan::CreateTree(argv[2]);
  Records records(argv[2]);
  for (bool more = true; more;) {
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) Fail("inflate failed");
    size_t have = out.size() - z.avail_out;
    more = records.Consume(out.data(), have);
    if (more && (rc == Z_STREAM_END || (have == 0 && z.avail_in == 0))) Fail("stream ends early");
  }
  inflateEnd(&z);
  UnmapViewOfFile(image);
  CloseHandle(mapping);
  CloseHandle(file);
  printf("check %.3f total %.3f\n", checked, Seconds(start));
  return 0;
}
