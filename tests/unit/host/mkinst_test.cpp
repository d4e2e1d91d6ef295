// The archive builder, run through its command line on a throwaway stub and
// product; the installers it writes are taken apart again here.
#include <gtest/gtest.h>
#include <zlib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "common/md5.h"
#include "tools/mkinst/cli.h"
#include "tools/mkinst/member.h"
#include "tools/mkinst/pack.h"
#include "tools/mkinst/plan.h"
#include "wininst/install/archive_format.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// A PE32 image as far as the builder looks: MZ, PE, the optional header's
// magic and SizeOfHeaders, no checksum, no certificate table; every other
// byte a pattern.
Bytes FakeStub(size_t size, uint32_t size_of_headers = 0x600, uint16_t magic = 0x10B) {
  Bytes b(size);
  for (size_t i = 0; i < size; i++) b[i] = static_cast<uint8_t>(i * 7 + 3);
  b[0] = 'M';
  b[1] = 'Z';
  archive::PutU32(&b[0x3C], 0x80);
  memcpy(&b[0x80], "PE\0\0", 4);
  b[0x80 + 24] = static_cast<uint8_t>(magic);
  b[0x80 + 25] = static_cast<uint8_t>(magic >> 8);
  archive::PutU32(&b[0x80 + 24 + 60], size_of_headers);
  memset(&b[0x80 + archive::kChecksumAt], 0, 4);
  memset(&b[0x80 + archive::kCertificatesAt], 0, 8);
  return b;
}

Bytes Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Write(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

void Write(const fs::path& p, const Bytes& data) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
}

// Text as compressors meet it (400 words, the i-th of them 1/i as common as
// the first, in lines of a few words), or random bytes.
std::string Words(size_t n, std::mt19937& rng) {
  std::vector<std::string> words(400);
  std::vector<double> weights;
  for (std::string& w : words) {
    for (size_t k = 2 + rng() % 8; k > 0; k--) w += "etaoinshrdlucmfwypvbgk"[rng() % 22];
    weights.push_back(1.0 / (weights.size() + 1));
  }
  std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
  std::string s;
  while (s.size() < n) s += words[pick(rng)] + (rng() % 10 ? " " : ".\r\n");
  s.resize(n);
  return s;
}

std::string Noise(size_t n, std::mt19937& rng) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// A single gzip member (the whole text) inflated; "!" when it is not one.
std::string Inflate(const std::string& gz) {
  z_stream z{};
  inflateInit2(&z, 16 + MAX_WBITS);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  std::string out;
  char buf[65536];
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (rc == Z_OK);
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole ? out : "!";
}

// What zlib's one-stream gzip -9 makes of `in`: the size to stay near.
size_t GzipNineSize(const std::string& in) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(in.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  deflateEnd(&z);
  return out.size() - z.avail_out;
}

// The member that GzipMember writes for `in`, fed in pieces of odd sizes.
std::string Pack(const std::string& in, unsigned threads, int level = 9) {
  FILE* f = tmpfile();
  std::string out;
  {
    mkinst::GzipMember m(f, level, threads);
    const size_t pieces[] = {1, 7, 70001, 3, 600000};
    for (size_t at = 0, i = 0; at < in.size(); i++) {
      const size_t n = std::min(pieces[i % 5], in.size() - at);
      EXPECT_TRUE(m.Add(in.data() + at, n));
      at += n;
    }
    EXPECT_TRUE(m.Finish());
    EXPECT_EQ(m.input_written(), in.size());
    out.resize(m.written());
  }
  rewind(f);
  EXPECT_EQ(fread(out.data(), 1, out.size(), f), out.size());
  EXPECT_EQ(fgetc(f), EOF);
  fclose(f);
  return out;
}

// An installer taken apart.
struct Installer {
  Bytes file;
  archive::HeaderFields header;
  bool filecheck_ok = false;
  std::string signature_line;
  std::string manifest;  // after the signature line
  std::vector<std::string> records;
};

Installer Open(const fs::path& path, uint64_t stub_length) {
  Installer r;
  r.file = Read(path);
  EXPECT_TRUE(archive::DecodeHeader(&r.file[stub_length], r.header));
  const uint64_t end = uint64_t{r.header.headersize} + r.header.setuplen;
  EXPECT_LE(end + 16, r.file.size());
  Md5 md5;
  md5.Update(&r.file[r.header.headersize], r.header.setuplen);
  uint8_t digest[16];
  md5.Final(digest);
  r.filecheck_ok = memcmp(digest, &r.file[end], 16) == 0;

  const std::string out = Inflate(std::string(
      reinterpret_cast<const char*>(&r.file[stub_length + 20]), end - stub_length - 20));
  EXPECT_NE(out, "!") << "one whole member, ending where the filecheck begins";

  for (size_t pos = 0; pos + 4 <= out.size();) {
    uint32_t n = archive::GetU32(reinterpret_cast<const uint8_t*>(&out[pos]));
    r.records.push_back(out.substr(pos + 4, n));
    pos += 4 + n;
  }
  if (!r.records.empty()) {
    const std::string& m = r.records.front();
    r.signature_line = m.substr(0, m.find('\n'));
    r.manifest = m.substr(m.find('\n') + 1);
    r.records.erase(r.records.begin());
  }
  return r;
}

class MkinstTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mkinst-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "src");
    Write(dir_ / "stub.exe", FakeStub(30000));
    Write(dir_ / "src" / "bg.bmp", std::string("BMP!"));
    Write(dir_ / "src" / "bin" / "tool.exe", std::string(10000, 'x'));
    Write(dir_ / "src" / "bin" / "sub" / "data.bin", std::string("\0\1\2", 3));
    Write(dir_ / "src" / "doc" / "readme.txt", std::string("read me\r\n"));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs mkinst on `manifest`; returns the exit code and keeps stderr.
  int Run(const std::string& manifest, std::vector<std::string> extra = {},
          const std::string& out = "out.exe") {
    Write(dir_ / "product.manifest", manifest);
    std::vector<std::string> args = {"--stub", (dir_ / "stub.exe").string(), "-o",
                                     (dir_ / out).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back((dir_ / "product.manifest").string());
    args.push_back((dir_ / "src").string());
    return Call(args);
  }

  // Runs mkinst with `args`; returns the exit code and keeps stdout and stderr.
  int Call(std::vector<std::string> args) {
    args.insert(args.begin(), "mkinst");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int rc = mkinst::RunMkinst(static_cast<int>(argv.size()), argv.data());
    err_ = ::testing::internal::GetCapturedStderr();
    out_ = ::testing::internal::GetCapturedStdout();
    return rc;
  }

  // Nothing but the inputs is left in the folder.
  void ExpectNoOutput() {
    for (const auto& e : fs::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      EXPECT_TRUE(name == "src" || name == "stub.exe" || name == "product.manifest") << name;
    }
  }

  std::string Line(int n, const std::string& message) {
    return (dir_ / "product.manifest").string() + ":" + std::to_string(n) + ": " + message;
  }

  fs::path dir_;
  std::string err_;
  std::string out_;
};

const char* kProduct =
    "; a comment line\r\n"
    "[Resources]\r\n"
    "BACKGROUND=bg.bmp\r\n"
    "\r\n"
    "[Variables]\r\n"
    "Product=Test\r\n"
    "Manufacturer=Maker\r\n"
    "Version=1.0\r\n"
    "[Features]\r\n"
    "Feature=Main\r\n"
    "bin/\r\n"
    "tool.exe\t10000\r\n"
    "bin\\sub\\\r\n"
    "  data.bin  \r\n"
    "Feature=Docs\r\n"
    "doc//\r\n"
    "readme.txt\r\n"
    "[Components]\r\n"
    "Component=All\r\n"
    "Description=Everything\r\n"
    "Main\r\n"
    "Docs\r\n"
    "[Run]\r\n";
const std::string kProductText = kProduct;

TEST_F(MkinstTest, WritesTheLayoutWithSizesFilledAndRecordsInOrder) {
  ASSERT_EQ(Run(kProduct), 0) << err_;
  EXPECT_EQ(err_, "");
  Installer in = Open(dir_ / "out.exe", archive::kMinStubLength);

  // The short stub is padded with zeros up to the stub record, which gives
  // its length; headersize comes from its PE headers.
  const Bytes stub = FakeStub(30000);
  const uint32_t record = archive::kMinStubLength - archive::kStubRecordLength;
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), in.file.begin()));
  EXPECT_TRUE(std::all_of(in.file.begin() + 30000, in.file.begin() + record,
                          [](uint8_t b) { return b == 0; }));
  archive::StubRecordFields fields;
  ASSERT_EQ(archive::DecodeStubRecord(&in.file[record], archive::kMinStubLength, 0x600, fields),
            archive::StubRecordState::kGood);
  EXPECT_EQ(fields.image_length, 30000u);
  EXPECT_EQ(fields.certificates_size + fields.helper_length, 0u);
  EXPECT_EQ(in.header.stub_length, archive::kMinStubLength);
  EXPECT_EQ(in.header.headersize, 0x600u);
  EXPECT_TRUE(in.filecheck_ok);
  EXPECT_EQ(in.file.size(), in.header.headersize + in.header.setuplen + 16u) << "no referral tag";

  // A fixed gzip header: no mtime, no name, the OS byte fixed.
  const uint8_t* gz = &in.file[archive::kMinStubLength + 20];
  EXPECT_EQ(Bytes(gz, gz + 10), (Bytes{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 2, 0xff}));

  char signature[33];
  archive::FormatSignature(&stub[archive::kSignatureOffset], signature);
  EXPECT_EQ(in.signature_line, signature);
  // Only the missing sizes are added; the rest of the text (CR LF, comments,
  // spaces, the given size) stays as written.
  std::string expected = kProduct;
  expected.replace(expected.find("BACKGROUND=bg.bmp"), 17, "BACKGROUND=bg.bmp\t4");
  expected.replace(expected.find("  data.bin  "), 12, "  data.bin\t3");
  expected.replace(expected.find("readme.txt"), 10, "readme.txt\t9");
  EXPECT_EQ(in.manifest, expected);
  EXPECT_EQ(in.records, (std::vector<std::string>{"BMP!", std::string(10000, 'x'),
                                                  std::string("\0\1\2", 3), "read me\r\n"}));
}

TEST_F(MkinstTest, SameInputsGiveTheSameBytesAndTheReferralTagEndsTheFile) {
  // A record larger than a block, the next ones across a block boundary.
  std::mt19937 rng(7);
  const std::string big = Words(900000, rng) + Noise(mkinst::kPackBlock, rng);
  const std::string after = Noise(mkinst::kPackBlock / 2, rng);
  Write(dir_ / "src" / "bin" / "big.bin", big);
  Write(dir_ / "src" / "bin" / "after.bin", after);
  std::string product = kProduct;
  product.replace(product.find("tool.exe"), 8, "big.bin\r\nafter.bin\r\ntool.exe");
  ASSERT_EQ(Run(product, {"-j", "1"}, "a.exe"), 0) << err_;
  ASSERT_EQ(Run(product, {}, "b.exe"), 0) << err_;
  ASSERT_EQ(Run(product, {"--threads", "5"}, "c.exe"), 0) << err_;
  EXPECT_EQ(Read(dir_ / "a.exe"), Read(dir_ / "b.exe"));
  EXPECT_EQ(Read(dir_ / "a.exe"), Read(dir_ / "c.exe"));
  Installer a = Open(dir_ / "a.exe", archive::kMinStubLength);
  EXPECT_TRUE(a.filecheck_ok);
  EXPECT_EQ(a.records, (std::vector<std::string>{"BMP!", big, after, std::string(10000, 'x'),
                                                 std::string("\0\1\2", 3), "read me\r\n"}));

  ASSERT_EQ(Run(kProduct, {"--referral", "4660", "-l", "1"}, "c.exe"), 0) << err_;
  Installer c = Open(dir_ / "c.exe", archive::kMinStubLength);
  EXPECT_TRUE(c.filecheck_ok);
  ASSERT_EQ(c.file.size(), c.header.headersize + c.header.setuplen + 16u + 4u);
  uint16_t referral = 0;
  EXPECT_TRUE(archive::DecodeReferralTag(&c.file[c.file.size() - 4], referral));
  EXPECT_EQ(referral, 4660);
  EXPECT_EQ(c.file[archive::kMinStubLength + 20 + 8], 4) << "level 1 marks the fastest method";

  EXPECT_EQ(Run(kProduct, {"--referral", "65536"}, "d.exe"), 1);
  EXPECT_FALSE(fs::exists(dir_ / "d.exe"));
}

// Blocks are compressed apart and joined: the bytes never depend on the
// threads, and the member is one deflate stream of exactly the input.
TEST(GzipMemberTest, OneMemberOfTheInputWhateverTheThreadsAndNearGzipNine) {
  std::mt19937 rng(19);
  const std::string blob = Noise(12000, rng);
  std::string repeats;  // flat byte counts, but deflate finds the repeats
  for (int i = 0; i < 60; i++) repeats += blob;
  const struct {
    const char* name;
    std::string in;
  } inputs[] = {
      {"empty", ""},
      {"text", Words(3 * mkinst::kPackBlock + 12345, rng)},
      {"noise", Noise(2 * mkinst::kPackBlock + 65536, rng)},  // ends in a stored block
      {"repeats", repeats},
      {"mixed", Words(100000, rng) + Noise(700000, rng) + Words(5000, rng) + blob + blob +
                    Noise(40000, rng) + Words(300000, rng)},
  };
  for (const auto& [name, in] : inputs) {
    SCOPED_TRACE(name);
    const std::string one = Pack(in, 1);
    EXPECT_EQ(Inflate(one), in);
    for (unsigned threads : {2u, 3u, 8u}) EXPECT_EQ(Pack(in, threads), one) << threads;
    EXPECT_EQ(Pack(in, 0), one);
    EXPECT_LE(one.size(), GzipNineSize(in) * 1.01 + 64);
  }
  // gzip's own check of a member of every kind of block.
  const fs::path file = fs::temp_directory_path() / ("member-" + std::to_string(getpid()) + ".gz");
  Write(file, Pack(inputs[4].in, 2));
  EXPECT_EQ(std::system(("gzip -t " + file.string()).c_str()), 0);
  fs::remove(file);
  EXPECT_EQ(Inflate(Pack(inputs[4].in, 2, 0)), inputs[4].in) << "level 0";
}

TEST_F(MkinstTest, LongStubIsPaddedToTheGridOnly) {
  Write(dir_ / "stub.exe", FakeStub(archive::kMinStubLength + 1, 1024));
  ASSERT_EQ(Run(kProduct), 0) << err_;
  Installer in = Open(dir_ / "out.exe", archive::kMinStubLength + 1024);
  EXPECT_EQ(in.header.stub_length, archive::kMinStubLength + 1024);
  EXPECT_EQ(in.header.headersize, 1024u);
  EXPECT_TRUE(in.filecheck_ok);

  // A stub on the grid takes one step more, for the stub record.
  Write(dir_ / "stub.exe", FakeStub(archive::kMinStubLength + 2048));
  ASSERT_EQ(Run(kProduct), 0) << err_;
  EXPECT_EQ(Open(dir_ / "out.exe", archive::kMinStubLength + 3072).header.stub_length,
            archive::kMinStubLength + 3072);
}

// What a signing tool makes of a stub: the file padded to 8 bytes, a
// certificate table of `table` bytes after it, the header's entry and a
// checksum set.
Bytes Signed(Bytes b, size_t table = 1000) {
  b.resize((b.size() + 7) / 8 * 8, 0);
  archive::PutU32(&b[0x80 + archive::kCertificatesAt], static_cast<uint32_t>(b.size()));
  archive::PutU32(&b[0x80 + archive::kCertificatesAt + 4], static_cast<uint32_t>(table));
  archive::PutU32(&b[0x80 + archive::kChecksumAt], 0x12345);
  b.insert(b.end(), table, 0x5A);
  return b;
}

TEST_F(MkinstTest, SignedStubsAndTheDeviceHelperArePlacedForTheInstalledCopy) {
  const Bytes signed_stub = Signed(FakeStub(30001));
  Bytes helper = FakeStub(5000);
  helper[0x84] = 0x64, helper[0x85] = 0x86, helper[0x80 + 24] = 0x0B, helper[0x80 + 25] = 0x02;
  Write(dir_ / "signed.exe", signed_stub);
  Write(dir_ / "devupdate64.exe", helper);
  std::string driver = kProduct;
  driver.replace(driver.find("Feature=Docs"), 12, "Feature=Docs\r\nDriverInf=readme.txt");
  const std::string sign = "cp " + (dir_ / "signed.exe").string() + " %1";
  Bytes unended = Signed(FakeStub(30000));
  unended.push_back(0);
  const struct {
    const std::string* manifest;
    std::vector<std::string> options;
    Bytes stub;
    std::string error;  // empty: built
  } cases[] = {
      {&kProductText, {"--sign-stub", sign}, FakeStub(30000), ""},
      {&driver, {"--sign-stub", sign}, FakeStub(30000), ""},
      {&driver, {}, signed_stub, ""},  // signed before: the same
      {&kProductText,
       {"--sign-stub", "exit 3"},
       FakeStub(30000),
       "the signing command ended with exit code 3: exit 3"},
      {&kProductText,
       {"--sign-stub", "true %1"},
       FakeStub(30000),
       "left the stub without a certificate table"},
      {&kProductText, {}, unended, "(1000 bytes at offset 30000) does not end the file"},
      {&driver,
       {"--device-helper", (dir_ / "stub.exe").string()},
       FakeStub(30000),
       "not a 64-bit Windows program"},
      {&driver,
       {"--device-helper", (dir_ / "none.exe").string()},
       FakeStub(30000),
       "none.exe: can't open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.empty() ? c.error : c.options.back());
    Write(dir_ / "stub.exe", c.stub);
    const int rc = Run(*c.manifest, c.options);
    if (!c.error.empty()) {
      EXPECT_EQ(rc, 1);
      EXPECT_NE(err_.find(c.error), std::string::npos) << err_;
      EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
      continue;
    }
    ASSERT_EQ(rc, 0) << err_;
    Installer in = Open(dir_ / "out.exe", archive::kMinStubLength);
    EXPECT_TRUE(in.filecheck_ok);
    archive::StubRecordFields r;
    ASSERT_EQ(archive::DecodeStubRecord(&in.file[archive::kMinStubLength - 32],
                                        archive::kMinStubLength, 0x600, r),
              archive::StubRecordState::kGood);
    // The stub as signed, but for the header's checksum and certificate
    // entry: the record keeps them, the installer's headers are cleared.
    EXPECT_EQ(r.image_length, signed_stub.size());
    EXPECT_EQ(r.checksum, 0x12345u);
    EXPECT_EQ(r.certificates_offset, 30008u);
    EXPECT_EQ(r.certificates_size, 1000u);
    Bytes image(in.file.begin(), in.file.begin() + r.image_length);
    EXPECT_EQ(archive::GetU32(&image[0x80 + archive::kChecksumAt]) |
                  archive::GetU32(&image[0x80 + archive::kCertificatesAt]) |
                  archive::GetU32(&image[0x80 + archive::kCertificatesAt + 4]),
              0u);
    memcpy(&image[0x80 + archive::kChecksumAt], &signed_stub[0x80 + archive::kChecksumAt], 4);
    memcpy(&image[0x80 + archive::kCertificatesAt], &signed_stub[0x80 + archive::kCertificatesAt],
           8);
    EXPECT_EQ(image, signed_stub);
    // Only an installer with a driver carries the helper, after the stub.
    const bool has_driver = c.manifest == &driver;
    EXPECT_EQ(r.helper_length, has_driver ? helper.size() : 0u);
    if (has_driver) {
      EXPECT_EQ(r.helper_offset, 31008u);
      EXPECT_EQ(Bytes(&in.file[r.helper_offset], &in.file[r.helper_offset + helper.size()]),
                helper);
    }
    ASSERT_EQ(Call({"--list", (dir_ / "out.exe").string()}), 0) << err_;
    EXPECT_NE(
        out_.find("program 31008 bytes, signed (certificate table 1000 bytes)" +
                  std::string(has_driver ? ", device helper 5000 bytes" : "") + ", signature"),
        std::string::npos)
        << out_;
    fs::remove(dir_ / "out.exe");
  }
}

TEST_F(MkinstTest, RefusesStubsThatAreNoPe32ImageOrCarryAnArchive) {
  const std::pair<Bytes, std::string> stubs[] = {
      {FakeStub(30000, 0x400, 0x20B), "not a PE32 image"},
      {Bytes(30000, 'M'), "no MZ header"},
      {FakeStub(30000, 40000), "SizeOfHeaders"},
  };
  for (const auto& [bytes, message] : stubs) {
    Write(dir_ / "stub.exe", bytes);
    EXPECT_EQ(Run(kProduct), 1);
    EXPECT_NE(err_.find(message), std::string::npos) << err_;
    ExpectNoOutput();
  }
  Write(dir_ / "stub.exe", FakeStub(30000));
  ASSERT_EQ(Run(kProduct, {}, "built.exe"), 0);
  fs::rename(dir_ / "built.exe", dir_ / "stub.exe");
  EXPECT_EQ(Run(kProduct), 1);
  EXPECT_NE(err_.find("already carries an archive"), std::string::npos) << err_;
  ExpectNoOutput();
}

TEST_F(MkinstTest, FileMistakesAreAllReportedWithTheirLinesAndNothingIsWritten) {
  Write(dir_ / "out.exe", std::string("an older build"));
  const std::string manifest =
      "[Resources]\n"
      "ICON=missing.ico\n"      // 2
      "BACKGROUND=bg.bmp\t5\n"  // 3: the file has 4 bytes
      "[Features]\n"
      "Feature=Main\n"
      "bin/\n"
      "tool.exe\tten\n"    // 7
      "nothere.dll\t10\n"  // 8
      "[Run]\n";
  EXPECT_EQ(Run(manifest), 1);
  const std::string src = (dir_ / "src").string();
  EXPECT_NE(err_.find(Line(2, "no such file: " + src + "/missing.ico")), std::string::npos) << err_;
  EXPECT_NE(err_.find(Line(3, "size 5 differs from the size of " + src + "/bg.bmp (4 bytes)")),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find(Line(7, "size \"ten\" is not a decimal number")), std::string::npos) << err_;
  EXPECT_NE(err_.find(Line(8, "no such file: " + src + "/bin/nothere.dll")), std::string::npos)
      << err_;
  EXPECT_EQ(Read(dir_ / "out.exe"),
            Bytes({'a', 'n', ' ', 'o', 'l', 'd', 'e', 'r', ' ', 'b', 'u', 'i', 'l', 'd'}))
      << "a failed build leaves the old output alone";
  fs::remove(dir_ / "out.exe");
  ExpectNoOutput();
}

TEST_F(MkinstTest, EveryLineTheInstallerRefusesOrMishandlesIsReportedWithItsNumber) {
  const std::string registry_inst_dir =
      "%InstDir% can't be stored in a [Registry] line: the installer puts the installation folder "
      "in its place before it splits the line at its backslashes, and the folder's backslashes "
      "break the line (\"Bad registry entry under [Registry]\")";
  const std::string form =
      "write ROOT\\key\\value name=data, as HKLM\\SOFTWARE\\Maker\\Product\\Edition=\"Community\" "
      "(data in double quotes is a string, any other a hexadecimal DWORD; neither the value's name "
      "nor the data may hold a \\)";
  // N components of a feature each, the first feature with `installer` lines.
  auto components = [](int n, const std::string& installer) {
    std::string features = "[Features]\n", list = "[Components]\n";
    for (int i = 0; i < n; i++) {
      features += "Feature=F" + std::to_string(i) + "\n" + (i == 0 ? installer : "");
      list += "Component=C" + std::to_string(i) + "\nDescription=Part\nF" + std::to_string(i) + "\n";
    }
    return "[Variables]\nManufacturer=M\nVersion=1\n" + features + list + "[Run]\n";
  };
  const struct {
    std::string manifest;
    int line;
    std::string message;
  } cases[] = {
      {"[Variables]\nA=1\n", 2,
       "Invalid manifest format: the manifest ends without [Run], which must be its last "
       "section"},
      {"Product=x\n[Run]\n", 1,
       "Invalid manifest format: the line \"Product=x\" comes before the first section, and every "
       "line belongs to one: write [Variables] above it"},
      {"0123456789ABCDEF0123456789ABCDEF\nFeature=A\n[Run]\n", 1,
       "Invalid manifest format: the line \"0123456789ABCDEF0123456789ABCDEF\" comes before the "
       "first section, and every line belongs to one; it looks like a signature line, which mkinst "
       "writes itself: leave it out"},
      {"[Feature]\nFeature=A\n[Run]\n", 1,
       "Unknown line in manifest: Feature: no such section (did you mean [Features]?)"},
      {"\n\n[Variables]\n[Setup]\n[Run]\n", 4,
       "Unknown line in manifest: Setup: no such section; the sections are [Resources], "
       "[Variables], [Features], [Components], [Shortcuts], [Registry], [Folders], [Files] and "
       "[Run]"},
      {"\xEF\xBB\xBF[Run]\n", 1,
       "the manifest starts with a UTF-8 byte-order mark; save it in the system code page"},
      {"[Registry]\nHKLM\\A\\B=1\nHKEY_LOCAL_MACHINE\\A\\B=1\n[Run]\n", 3,
       "unknown registry root HKEY_LOCAL_MACHINE (the roots are HKLM, HKCU, HKCC, HKCR and HKPP; "
       "the installer would write the entry under HKEY_CLASSES_ROOT)"},
      // A misspelt key reads as a file line: before any folder, and when no such file is there.
      {"[Features]\nFeature=A\nDescripton=x\n[Run]\n", 3,
       "unknown key 'Descripton=' (did you mean 'Description='?)"},
      {"[Features]\nFeature=A\nbin/\ntool.exe\nminversoin=1.2\nColour=red\nArguments=/S\n"
       "[Run]\n",
       5, "unknown key 'minversoin=' (did you mean 'Minversion='?)"},
      {"[Features]\nFeature=A\nbin/\ntool.exe\nminversoin=1.2\nColour=red\nArguments=/S\n"
       "[Run]\n",
       6,
       "unknown key 'Colour=' (a feature's keys are Feature=, DriverInf=, DriverDevice=, HKCR=, "
       "Regkey=, Description=, Errmess=, Requires=, Minversion=, Maxversion= and Installer=, and "
       "below an Installer= line Alternate=, Arguments= and Digest=)"},
      {"[Features]\nFeature=A\nbin/\ntool.exe\nminversoin=1.2\nColour=red\nArguments=/S\n"
       "[Run]\n",
       7,
       "unknown key 'Arguments=' here: Alternate=, Arguments= and Digest= lines belong directly "
       "below an Installer= line"},
      // Every misspelt line of one build, even before the first folder, each with its fix.
      {"[Features]\nFeature=A\nArgument=/S\nDigets=0\n[Components]\nComponent=A\nSelcted=no\n"
       "Feature=A\n[Run]\n",
       3,
       "unknown key 'Argument=' (did you mean 'Arguments='? it belongs directly below an "
       "Installer= line)"},
      {"[Features]\nFeature=A\nArgument=/S\nDigets=0\n[Components]\nComponent=A\nSelcted=no\n"
       "Feature=A\n[Run]\n",
       4, "unknown key 'Digets=' (did you mean 'Digest='? it belongs directly below an Installer= line)"},
      {"[Features]\nFeature=A\nArgument=/S\nDigets=0\n[Components]\nComponent=A\nSelcted=no\n"
       "Feature=A\n[Run]\n",
       7, "unknown key 'Selcted=' (did you mean 'Selected='?)"},
      {"[Features]\nFeature=A\nArgument=/S\nDigets=0\n[Components]\nComponent=A\nSelcted=no\n"
       "Feature=A\n[Run]\n",
       8, "unknown key 'Feature=' here: Feature= is a key of [Features], not of [Components]"},
      {"[Features]\nFeature=A\nManufacturer=Acme\n[Run]\n", 3,
       "unknown key 'Manufacturer=' here: Manufacturer= is a variable, set under [Variables]"},
      {"[Features]\nFeature=A\n" + std::string(201, 'd') + "/\n[Run]\n", 3,
       "folder " + std::string(201, 'd') + ": longer than 200 characters below the installation "
       "folder; with the folder in front of it, the path would pass what Windows allows (259)"},
      {"[Features]\nFeature=A\nbin/\n" + std::string(197, 'f') + "\n[Run]\n", 4,
       "file bin\\" + std::string(197, 'f') + ": longer than 200 characters below the "
       "installation folder; with the folder in front of it, the path would pass what Windows "
       "allows (259)"},
      {"[Resources]\n=bg.bmp\n[Run]\n", 2,
       "Bad line in [Resources]: write NAME=file, the variable that will name the file, then the "
       "file's name in the source folder"},
      {"[Variables]\n===\n[Run]\n", 2, "Bad line in [Variables]: write NAME=value"},
      {"[Shortcuts]\nName\n[Run]\n", 2,
       "Bad line in [Shortcuts]: write name=target[>arguments][,icon], as Tool=bin\\tool.exe"},
      {"[Features]\nbin/\n[Run]\n", 2, "missing feature name before folder: put a Feature= line above it"},
      {"[Features]\nFeature=A\ntool.exe\n[Run]\n", 3,
       "file in list without preceding folder: put a folder line above it (bin/, or / for the "
       "installation folder itself)"},
      {"[Components]\nA\n[Run]\n", 2, "feature in un-named component: put a Component= line above it"},
      {"[Components]\nComponent=A\nMain\nDocs\n[Run]\n", 3,
       "No feature list in manifest: [Components] names features, so [Features] must come before it"},
      {"[Features]\nFeature=Main\nFeature=Docs\n[Components]\nComponent=A\nMian\nTools\n[Run]\n",
       6, "Feature Mian not in manifest (did you mean Main?)"},
      {"[Features]\nFeature=Main\nFeature=Docs\n[Components]\nComponent=A\nMian\nTools\n[Run]\n",
       7, "Feature Tools not in manifest (the features are Main and Docs)"},
      {"[Features]\nFeature=Main\n[Components]\nComponent=Alpha\nAlternate=Alhpa\n"
       "Component=C\nAlternate=a\nAlternate=Beta\n[Run]\n",
       5, "Component Alhpa not in manifest (did you mean Alpha?)"},
      {"[Features]\nFeature=Main\n[Components]\nComponent=Alpha\nAlternate=Alhpa\n"
       "Component=C\nAlternate=a\nAlternate=Beta\n[Run]\n",
       8, "Component Beta not in manifest (the components are Alpha and C)"},
      {"[Registry]\nHKLM\\Key=\"x\"\nHKLMKey=1\nHKLM\\K\\Path=\"C:\\x\"\n[Run]\n", 2,
       "Bad registry entry under [Registry]: the line has one \\ only: the key and the value's name "
       "each follow one; " + form},
      {"[Registry]\nHKLM\\Key=\"x\"\nHKLMKey=1\nHKLM\\K\\Path=\"C:\\x\"\n[Run]\n", 3,
       "Bad registry entry under [Registry]: the line has no \\ after its root; " + form},
      {"[Registry]\nHKLM\\Key=\"x\"\nHKLMKey=1\nHKLM\\K\\Path=\"C:\\x\"\n[Run]\n", 4,
       "Bad registry entry under [Registry]: the data holds a \\ (the value's name runs from the "
       "last \\ to the next =); " + form},
      {"[Registry]\nHKLM\\Key\\Name=\"x\n[Run]\n", 2,
       "Bad string registry entry under [Registry]: the string has no closing double quote; " + form},
      {"[Registry]\nHKLM\\Key\\Name=zz\n[Run]\n", 2,
       "Bad DWORD registry entry under [Registry]: data without double quotes is a hexadecimal "
       "number (1, 1F, 0x10); put a string in double quotes"},
      {std::string("[Variables]\r\nA=1\r\nB=\0\r\n[Run]\r\n", 30), 3, "NUL byte in the manifest"},
      // The documents offered at the end: names compare without regard to
      // case; the last value of a variable counts.
      {"[Variables]\nReadPDFs=|Guide|b||Missing|\nB=doc\\b.pdf|B\nGUIDE=a.pdf|A\n[Run]\n", 2,
       "Can't find variable \"Missing\" in manifest"},
      {"[Resources]\nNOTES=notes.pdf\n[Variables]\nreadpdfs=Guide|Notes\nGuide=a.pdf|A\n"
       "Guide=a.pdf\n[Run]\n",
       6, "Syntax error in value of variable \"Guide\""},
      {"[Resources]\nNOTES=notes.pdf\n[Variables]\nreadpdfs=Guide|Notes\nGuide=a.pdf\n[Run]\n", 2,
       "Syntax error in value of variable \"Notes\""},
      // What the installer would take and then mishandle.
      {"[Variables]\nA=1\n[Registry]\nHKLM\\Software\\X\\Path=\"%instdir%\"\n[Run]\n", 4,
       registry_inst_dir},
      {"[Registry]\nHKLM\\Software\\X\\Path=\"%InstDir%\\bin\"\n[Run]\n", 2, registry_inst_dir},
      {"[Features]\nFeature=A\nbin/\nsub\\data.bin\n[Run]\n", 4,
       "file sub\\data.bin: a file name can't hold a folder: the installer makes none for it "
       "(\"Can't create file ... Error 2\"); give the folder a line of its own"},
      {"[Resources]\nBACKGROUND=img\\back.bmp\n[Run]\n", 2,
       "Bad line in [Resources]: a resource's name is a plain file name, without a folder or a "
       "drive, and not \".\" or \"..\""},
      {"[Resources]\nS=Setup.exe\n[Run]\n", 2,
       "resource Setup.exe: the installer's own copy (setup.exe) and the installed manifest "
       "(manifest) have these names in the resources folder"},
      {"[Features]\nFeature=A\nbin/../../x/\n[Run]\n", 3,
       "folder bin\\..\\..\\x: \"..\" would leave the installation's folders"},
      {"[Features]\nFeature=A\nbin/\n..\n[Run]\n", 4,
       "file ..: \"..\" would leave the installation's folders"},
      {"[Features]\nFeature=A\nbin/\ntool.exe\nFeature=B\nBIN/\nTool.exe\n[Run]\n", 7,
       "file BIN\\Tool.exe and bin\\tool.exe (line 4) differ only in case: on Windows one "
       "overwrites the other"},
      {"[Features]\nFeature=A\n/\nbin\nbin/\n[Run]\n", 5, "folder bin is also a file (line 4)"},
      {"[Features]\nFeature=A\nbin/\na:b.txt\ncon.txt\n[Run]\n", 4,
       "file a:b.txt: \":\" can't be part of a Windows file name"},
      {"[Features]\nFeature=A\nbin/\na:b.txt\ncon.txt\n[Run]\n", 5,
       "file con.txt: con.txt is a device name on Windows"},
      // Names Windows changes or reserves, and names it makes one.
      {"[Features]\nFeature=A\nbin./\n[Run]\n", 3,
       "folder bin.: bin. ends in a dot or a space, which Windows drops (it would be bin)"},
      {"[Features]\nFeature=A\n/bin/\n[Run]\n", 3,
       "folder \\bin: an empty name: a folder line names its folders below the installation folder, "
       "one \"/\" apart, without one at the start (write bin/)"},
      {"[Features]\nFeature=A\nbin/\n...\nCONOUT$\nclock$.txt\nConIn$\ncom\xB9.log\n[Run]\n", 4,
       "file ...: ... ends in a dot or a space, which Windows drops: nothing is left of it"},
      {"[Features]\nFeature=A\nbin/\n...\nCONOUT$\nclock$.txt\nConIn$\ncom\xB9.log\n[Run]\n", 5,
       "file CONOUT$: CONOUT$ is a device name on Windows"},
      {"[Features]\nFeature=A\nbin/\n...\nCONOUT$\nclock$.txt\nConIn$\ncom\xB9.log\n[Run]\n", 6,
       "file clock$.txt: clock$.txt is a device name on Windows"},
      {"[Features]\nFeature=A\nbin/\n...\nCONOUT$\nclock$.txt\nConIn$\ncom\xB9.log\n[Run]\n", 8,
       "file com\xB9.log: com\xB9.log is a device name on Windows"},
      {"[Features]\nFeature=A\nbin/\ntool.exe.\ntool.exe\n[Run]\n", 5,
       "file bin\\tool.exe and bin\\tool.exe. (line 4) are one name on Windows, which drops the dots "
       "and spaces that end a name: one overwrites the other"},
      {"[Resources]\nN=NUL\n[Shortcuts]\nCon=bin\\tool.exe\n[Run]\n", 2,
       "resource NUL: NUL is a device name on Windows"},
      {"[Resources]\nN=NUL\n[Shortcuts]\nCon=bin\\tool.exe\n[Run]\n", 4,
       "shortcut Con: Con.lnk is a device name on Windows"},
      // Addresses the installer's download cannot fetch.
      {"[Features]\nFeature=A\nInstaller=https://example.com/a.exe\nAlternate=HTTP://example.com:8080/a.exe\n"
       "Installer=ftp://user:pw@example.com/a.exe\nInstaller=http://example.com\n[Run]\n",
       3,
       "address https://example.com/a.exe: the installer downloads http:// and ftp:// addresses "
       "only; it takes this one for a file beside itself and says \"Installer not found\". Serve "
       "the file over http:// and pin it with Digest="},
      {"[Features]\nFeature=A\nInstaller=https://example.com/a.exe\nAlternate=HTTP://example.com:8080/a.exe\n"
       "Installer=ftp://user:pw@example.com/a.exe\nInstaller=http://example.com\n[Run]\n",
       4,
       "address HTTP://example.com:8080/a.exe: the installer's download connects to the standard "
       "port (80 for http://, 21 for ftp://) and would take example.com:8080 for the host's name "
       "(\"HttpSendRequest failed: 12007\"); serve the file on the standard port"},
      {"[Features]\nFeature=A\nInstaller=https://example.com/a.exe\nAlternate=HTTP://example.com:8080/a.exe\n"
       "Installer=ftp://user:pw@example.com/a.exe\nInstaller=http://example.com\n[Run]\n",
       5,
       "address ftp://user:pw@example.com/a.exe: the installer's download sends no user name or "
       "password (FTP logs on anonymously) and would take user:pw@example.com for the host's name"},
      {"[Features]\nFeature=A\nInstaller=https://example.com/a.exe\nAlternate=HTTP://example.com:8080/a.exe\n"
       "Installer=ftp://user:pw@example.com/a.exe\nInstaller=http://example.com\n[Run]\n",
       6,
       "address http://example.com: the installer needs a host and then the file's path "
       "(http://host/file); without them it says \"No host part\""},
      // The components page reads eleven boxes; from the eighth on they cover its instructions.
      {components(12, ""), 51,
       "component C11 is the 12th on the components page, which shows 11: the page reads no box "
       "past the 11th, and the list runs over the picture's title to the window's top; join "
       "components, or leave some to features that every component installs"},
      {components(8, ""), 35,
       "warning: component C7 is the 8th on the components page: from there on the list covers the "
       "page's instructions (from the 10th on the picture's title too); 7 fit below them"},
      {components(6, "Installer=http://example.com/x.exe\nDigest=" + std::string(64, '0') + "\n"), 29,
       "warning: component C5 is the 6th on the components page: from there on the list covers the "
       "page's instructions and its note on downloads (from the 10th on the picture's title too); 5 "
       "fit below them when a component is downloaded"},
      // What the installer takes, but not as meant.
      {"[Variables]\nManufactuer=Acme\nProduct=Tool\nEdition=Pro\nVersion=2.1\nFeature=Tools\n"
       "Description=f\xC3\xBCr\nVersions=3\n[Features]\nFeature=A\nInstaller=http://x.org/a\n"
       "Digest=" + std::string(64, '0') + "\nArguments=/v=[versions]\n[Run]\n",
       2,
       "warning: Manufactuer= is no variable the installer reads (did you mean Manufacturer=?); as "
       "it stands it serves only [Name] references"},
      {"[Variables]\nManufactuer=Acme\nProduct=Tool\nEdition=Pro\nVersion=2.1\nFeature=Tools\n"
       "Description=f\xC3\xBCr\nVersions=3\n[Features]\nFeature=A\nInstaller=http://x.org/a\n"
       "Digest=" + std::string(64, '0') + "\nArguments=/v=[versions]\n[Run]\n",
       6,
       "warning: Feature= under [Variables] sets a variable Feature: it is a key of [Features], and "
       "only there does it mean what it says"},
      {"[Variables]\nManufactuer=Acme\nProduct=Tool\nEdition=Pro\nVersion=2.1\nFeature=Tools\n"
       "Description=f\xC3\xBCr\nVersions=3\n[Features]\nFeature=A\nInstaller=http://x.org/a\n"
       "Digest=" + std::string(64, '0') + "\nArguments=/v=[versions]\n[Run]\n",
       7,
       "warning: Description=f\xC3\xBCr reads as UTF-8: Windows shows it as Description=f\xC3\x83\xC2\xBCr "
       "(the installer takes each byte for a character of the system code page, Windows-1252 on "
       "Western systems); save the manifest in that code page"},
      {"[Variables]\nManufactuer=Acme\nProduct=Tool\nEdition=Pro\nVersion=2.1\nFeature=Tools\n"
       "Description=f\xC3\xBCr\nVersions=3\n[Features]\nFeature=A\nInstaller=http://x.org/a\n"
       "Digest=" + std::string(64, '0') + "\nArguments=/v=[versions]\n[Run]\n",
       14,
       "warning: no Manufacturer= in [Variables]: the default folder is <Program Files>\\Tool\\Pro\\2.1, "
       "without the maker's level, and the product's key HKLM\\SOFTWARE\\\\Tool\\Pro\\2.1, with an "
       "empty name where the maker's stands (the uninstall entry's publisher is MERIDOX Software "
       "either way); give the maker's name"},
      {"[Features]\nFeature=A\n%InstDir%/bin/\n[Run]\n", 3,
       "folder %InstDir%\\bin: %InstDir% can't be part of a name: the installer puts the "
       "installation folder in its place"},
      {"[Variables]\nA=1\n[Shortcuts]\nTool=bin\\tool.exe\nTOOL=doc\\readme.txt\n[Run]\n", 5,
       "shortcut TOOL has the name of the one (line 4): the second link replaces the first"},
  };
  for (const auto& c : cases) {
    const bool warning = c.message.rfind("warning: ", 0) == 0;
    EXPECT_EQ(Run(c.manifest), warning ? 0 : 1) << c.manifest;
    EXPECT_NE(err_.find(Line(c.line, c.message) + "\n"), std::string::npos) << c.manifest << "\n"
                                                                            << err_;
    fs::remove(dir_ / "out.exe");
    ExpectNoOutput();
  }
}

TEST_F(MkinstTest, WarningsNameTheirLinesAndStopTheBuildOnlyWithWerror) {
  Write(dir_ / "src" / "doc" / "\xE9t\xE9.txt", std::string("r"));
  const std::string manifest =
      "[Resources]\n"
      "JRE=bg.bmp\n"
      "[Features]\n"
      "Feature=Main\n"
      "Installer=http://example.com/x.exe\n"  // 5
      "Alternate=JAVASETUP\n"                 // 6
      "Installer=JRE\n"
      "Installer=FTP://example.com/y.exe\n"
      "Digest=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n"
      "bin/\n"
      "tool.exe\n"
      "tool.exe\n"  // 12
      "doc/\n"
      "\xE9t\xE9.txt\n"  // 14
      "[Shortcuts]\n"
      "Tool=bin\\tool.exe\n"
      "Guide=doc\\guide.pdf\n"  // 17
      "Uninstall=resources\\setup.exe>--remove,JRE\n"
      "Notepad=C:\\Windows\\notepad.exe\n"
      "Readme=%InstDir%\\DOC\\\xE9t\xE9.txt\n"
      "[Components]\n"
      "Component=Main\n"  // 22
      "Main\n"
      "[Run]\n"        // 24
      "stray text\n";  // 25
  const std::pair<int, std::string> warnings[] = {
      {5,
       "installer http://example.com/x.exe is downloaded without a Digest= line: whatever the "
       "server sends is run; give its SHA-256"},
      {6,
       "installer JAVASETUP: no [Resources] or [Variables] line sets a variable JAVASETUP, so "
       "the installer looks for a file of that name beside itself"},
      {12, "file bin\\tool.exe is listed twice (line 11): it is packed twice and installed twice"},
      {14,
       "file doc\\\xE9t\xE9.txt: bytes above 127 in a name are taken in the system code page of "
       "the machine that installs"},
      {17,
       "shortcut Guide: nothing installs its target doc\\guide.pdf (no feature file, folder "
       "or resource of that path)"},
      {22, "component Main has no Description=: its box on the components page has no text"},
      {24,
       "no Version= in [Variables]: the product is registered, and its default folder named, "
       "without a version"},
      {24,
       "no Manufacturer= in [Variables]: the default folder is <Program Files>\\<Product>\\<Version>, "
       "without the maker's level, and the product's key HKLM\\SOFTWARE\\\\<Product>\\<Version>, "
       "with an empty name where the maker's stands (the uninstall entry's publisher is MERIDOX "
       "Software either way); give the maker's name"},
      {25, "text after [Run] is ignored: the installer stops reading at [Run]"},
  };
  ASSERT_EQ(Run(manifest), 0) << err_;
  std::string expected;
  for (const auto& [line, message] : warnings) expected += Line(line, "warning: " + message) + "\n";
  EXPECT_EQ(err_, expected);
  EXPECT_EQ(Open(dir_ / "out.exe", archive::kMinStubLength).records.size(), 4u);
  fs::remove(dir_ / "out.exe");

  EXPECT_EQ(Run(manifest, {"--werror"}), 1);
  EXPECT_EQ(err_, expected +
                      "mkinst: 9 mistakes (warnings count with --werror); no installer "
                      "written\n");
  ExpectNoOutput();
}

TEST_F(MkinstTest, ListExtractAndVerifyReadAnInstallerBackAndRefuseHostileOnes) {
  ASSERT_EQ(Run(kProduct, {"--referral", "77"}), 0) << err_;
  const std::string out = (dir_ / "out.exe").string();
  char signature[archive::kSignatureLength + 1];
  archive::FormatSignature(&FakeStub(30000)[archive::kSignatureOffset], signature);
  ASSERT_EQ(Call({"--list", out}), 0) << err_;
  EXPECT_EQ(out_, out +
                      "\n"
                      "  Manufacturer  Maker\n"
                      "  Product       Test\n"
                      "  Version       1.0\n"
                      "  Stub          204800 bytes, program 30000 bytes, signature " +
                      signature +
                      "\n"
                      "  Filecheck     good\n"
                      "  Referral tag  77\n"
                      "Resources\n"
                      "             4  bg.bmp (BACKGROUND)\n"
                      "Feature Main\n"
                      "  bin\\\n"
                      "           10000  tool.exe\n"
                      "  bin\\sub\\\n"
                      "               3  data.bin\n"
                      "Feature Docs\n"
                      "  doc\\\n"
                      "               9  readme.txt\n"
                      "1 resource, 3 files, 10016 bytes\n");

  // The files come back; packed again with their manifest, they give the same installer.
  const fs::path x = dir_ / "x";
  ASSERT_EQ(Call({"--extract", out, x.string()}), 0) << err_;
  for (const char* file : {"bg.bmp", "bin/tool.exe", "bin/sub/data.bin", "doc/readme.txt"}) {
    EXPECT_EQ(Read(x / file), Read(dir_ / "src" / file)) << file;
  }
  const Bytes manifest = Read(x / "manifest");
  EXPECT_EQ(std::string(manifest.begin(), manifest.end()),
            Open(out, archive::kMinStubLength).manifest);
  ASSERT_EQ(Call({"--stub", (dir_ / "stub.exe").string(), "--referral", "77", "-o",
                  (dir_ / "again.exe").string(), (x / "manifest").string(), x.string()}),
            0)
      << err_;
  EXPECT_EQ(Read(dir_ / "again.exe"), Read(out));
  EXPECT_EQ(Call({"--extract", out, x.string()}), 1);
  EXPECT_NE(err_.find("not an empty folder"), std::string::npos) << err_;
  ASSERT_EQ(Call({"--verify", out}), 0) << err_;
  EXPECT_EQ(out_, out + ": good: the filecheck, the signature and 4 records of 10016 bytes\n");

  // A flipped byte of the member, a cut file.
  Bytes bytes = Read(out);
  bytes[archive::kMinStubLength + 40] ^= 1;
  Write(dir_ / "bad.exe", bytes);
  const std::string bad = (dir_ / "bad.exe").string();
  EXPECT_EQ(Call({"--verify", bad}), 1);
  EXPECT_EQ(err_, "mkinst: " + bad +
                      ": filecheck differs: the file changed after it was built; "
                      "the installer refuses to run\n");
  bytes.resize(bytes.size() - 24);
  Write(dir_ / "bad.exe", bytes);
  EXPECT_EQ(Call({"--verify", bad}), 1);
  EXPECT_NE(err_.find("filecheck missing: the file ends 4 bytes before the end"), std::string::npos)
      << err_;

  // Names that would leave the folder, and lengths that lie, packed as written.
  const std::pair<std::string, std::string> hostile[] = {
      {"[Features]\nFeature=A\nbin/../../\nx.txt\t0\n[Run]\n",
       "line 4: bin\\..\\..\\x.txt: \"..\" would leave"},
      {"[Features]\nFeature=A\nC:/Windows/\nx.txt\t0\n[Run]\n", "\":\" can't be part"},
      {"[Features]\nFeature=A\n/etc/\nx.txt\t0\n[Run]\n", "\\etc\\x.txt: an absolute folder"},
      {"[Features]\nFeature=A\nbin/\n..\\x.txt\t0\n[Run]\n", "one name, without a folder"},
      {"[Resources]\nA=..\\x.txt\t0\n[Run]\n", "line 2: Bad line in [Resources]"},
      {"[Features]\nFeature=A\nbin/\ntool.exe\t10000\nbin/sub/\ndata.bin\t2\n[Run]\n",
       "the record of bin\\sub\\data.bin (manifest line 6) holds 3 bytes, the manifest says 2"},
  };
  for (const auto& [text, fault] : hostile) {
    ASSERT_EQ(Run(text, {"--unchecked"}, "evil.exe"), 0) << err_;
    EXPECT_EQ(Call({"--extract", (dir_ / "evil.exe").string(), (dir_ / "y").string()}), 1);
    EXPECT_NE(err_.find(fault), std::string::npos) << text << err_;
    EXPECT_FALSE(fs::exists(dir_ / "y")) << text;
    EXPECT_FALSE(fs::exists(dir_ / "x.txt") || fs::exists(dir_.parent_path() / "x.txt")) << text;
  }
  EXPECT_EQ(Call({"--verify", (dir_ / "evil.exe").string()}), 1);
}

// A built installer whose manifest record claims `length` bytes, its
// member, header and filecheck made whole again around the lie.
Bytes ClaimingManifest(const fs::path& built, uint32_t length) {
  const Bytes file = Read(built);
  archive::HeaderFields h;
  EXPECT_TRUE(archive::DecodeHeader(&file[archive::kMinStubLength], h));
  const size_t member_at = archive::kMinStubLength + archive::kHeaderLength;
  std::string payload = Inflate(std::string(reinterpret_cast<const char*>(&file[member_at]),
                                            h.headersize + h.setuplen - member_at));
  archive::PutU32(reinterpret_cast<uint8_t*>(payload.data()), length);
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  Bytes member(deflateBound(&z, static_cast<uLong>(payload.size())));
  z.next_in = reinterpret_cast<Bytef*>(payload.data());
  z.avail_in = static_cast<uInt>(payload.size());
  z.next_out = member.data();
  z.avail_out = static_cast<uInt>(member.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  member.resize(member.size() - z.avail_out);
  deflateEnd(&z);
  Bytes out(file.begin(), file.begin() + member_at);
  h.setuplen = static_cast<uint32_t>(member_at + member.size() - h.headersize);
  const archive::Header header = archive::EncodeHeader(h);
  memcpy(&out[archive::kMinStubLength], &header, sizeof header);
  out.insert(out.end(), member.begin(), member.end());
  Md5 md5;
  md5.Update(&out[h.headersize], h.setuplen);
  uint8_t digest[16];
  md5.Final(digest);
  out.insert(out.end(), digest, digest + 16);
  return out;
}

TEST_F(MkinstTest, AManifestRecordsClaimedLengthIsCheckedBeforeItIsRead) {
  ASSERT_EQ(Run(kProduct), 0) << err_;
  const std::string bad = (dir_ / "bad.exe").string();
  const std::pair<uint32_t, std::string> claims[] = {
      {0xF0000000, "the manifest record claims 4026531840 bytes, more than the 64 MB a manifest "
                   "may have: the file is damaged or was not made by mkinst\n"},
      {60u << 20, "the manifest record claims 62914560 bytes; the archive's "},
  };
  for (const auto& [length, message] : claims) {
    Write(dir_ / "bad.exe", ClaimingManifest(dir_ / "out.exe", length));
    for (std::vector<std::string> args : {std::vector<std::string>{"--list", bad},
                                           {"--verify", bad},
                                           {"--extract", bad, (dir_ / "x").string()}}) {
      const std::string mode = args[0];
      EXPECT_EQ(Call(args), 1) << mode;
      EXPECT_EQ(err_.rfind("mkinst: " + bad + ": " + message, 0), 0u) << mode << ": " << err_;
      EXPECT_FALSE(fs::exists(dir_ / "x"));
    }
  }
}

TEST_F(MkinstTest, RecordsAndTheArchiveMustFitTheir32BitCounts) {
  // A sparse file: 4 GiB and one byte without using the disk.
  { std::ofstream big(dir_ / "src" / "bin" / "huge.bin", std::ios::binary); }
  fs::resize_file(dir_ / "src" / "bin" / "huge.bin", uint64_t{1} << 32);
  EXPECT_EQ(Run("[Features]\nFeature=A\nbin/\nhuge.bin\n[Run]\n"), 1);
  EXPECT_NE(err_.find(Line(4, (dir_ / "src" / "bin" / "huge.bin").string() +
                                  " is too big for an archive record (4294967296 bytes; at most "
                                  "4294967295)")),
            std::string::npos)
      << err_;
  fs::remove(dir_ / "src" / "bin" / "huge.bin");
  ExpectNoOutput();

  // The covered stretch: tried with a small limit in place of 2^32 - 1.
  Write(dir_ / "src" / "bin" / "noise.bin", FakeStub(300000));
  const std::string text = "[Features]\nFeature=A\nbin/\ntool.exe\nnoise.bin\n[Run]\n";
  mkinst::Diagnostics diag("p.manifest");
  mkinst::Plan plan;
  ASSERT_TRUE(mkinst::PlanArchive(text, dir_ / "src", false, plan, diag));
  mkinst::Stub stub;
  std::string error;
  ASSERT_TRUE(mkinst::LoadStub(dir_ / "stub.exe", stub, error)) << error;
  mkinst::PackOptions options;
  options.level = 0;
  options.max_setuplen = archive::kMinStubLength + 100000;
  std::vector<std::string> errors;
  EXPECT_FALSE(mkinst::WriteInstaller(stub, plan, options, dir_ / "out.exe", diag, errors));
  ASSERT_EQ(diag.messages().size(), 1u);
  EXPECT_EQ(diag.messages()[0].rfind("p.manifest:5: the archive grows too big here", 0), 0u)
      << diag.messages()[0];
  fs::remove(dir_ / "src" / "bin" / "noise.bin");
  ExpectNoOutput();
}

TEST_F(MkinstTest, ASecondFeaturesSectionReplacesTheFirstOnesRecords) {
  ASSERT_EQ(Run("[Features]\nFeature=A\nbin/\ntool.exe\n"
                "[Features]\nFeature=B\ndoc/\nreadme.txt\n[Run]\n"),
            0)
      << err_;
  EXPECT_EQ(Open(dir_ / "out.exe", archive::kMinStubLength).records,
            std::vector<std::string>{"read me\r\n"});
}

TEST_F(MkinstTest, UncheckedPacksTheTextAsWrittenAndWhateverFilesExist) {
  const std::string manifest =
      "[Resources]\nBACKGROUND=bg.bmp\t99\nICON=missing.ico\t7\n"
      "[Features]\nFeature=A\nbin/\ntool.exe\n[Run]\n";
  ASSERT_EQ(Run(manifest, {"--unchecked", "--signature", "0123456789abcdef0123456789abcdef"}), 0)
      << err_;
  Installer in = Open(dir_ / "out.exe", archive::kMinStubLength);
  EXPECT_TRUE(in.filecheck_ok);
  EXPECT_EQ(in.signature_line, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(in.manifest, manifest);
  EXPECT_EQ(in.records, (std::vector<std::string>{"BMP!", "", std::string(10000, 'x')}));

  // A manifest the installer refuses still gets packed, up to where its walk stops.
  ASSERT_EQ(Run("[Resources]\nBACKGROUND=bg.bmp\n[Bogus]\n", {"--unchecked"}), 0) << err_;
  EXPECT_EQ(Open(dir_ / "out.exe", archive::kMinStubLength).records,
            std::vector<std::string>{"BMP!"});
}

TEST_F(MkinstTest, ScanListsEveryFileReadyToPasteAndNamesWhatItCannot) {
  const fs::path src = dir_ / "src";
  for (const char* name : {"Zeta.txt", "bin/a b.dll", "bin/Sub/z", "bin/con.txt", "bin/x.",
                           "doc./a.txt", "doc/README", "doc/readme", "doc/;note", "doc/ lead",
                           "doc/Feature=x.txt", "Doc/more.txt"}) {
    Write(src / name, std::string("x"));
  }
  fs::create_directories(src / "empty");
  ASSERT_EQ(Call({"--scan", src.string()}), 1);
  EXPECT_EQ(out_, "/\nbg.bmp\nZeta.txt\nbin/\na b.dll\ntool.exe\nbin/Sub/\nz\nbin/sub/\ndata.bin\n"
                  "Doc/\nmore.txt\ndoc/\nREADME\nreadme.txt\n");
  const std::string s = src.string() + "/";
  EXPECT_EQ(err_, "mkinst: " + s + "bin/con.txt: con.txt is a device name on Windows; not listed\n"
                  "mkinst: " + s + "bin/x.: x. ends in a dot or a space, which Windows drops (it "
                  "would be x); not listed\n"
                  "mkinst: " + s + "doc/ lead: white space at its start is dropped from the line; "
                  "not listed\n"
                  "mkinst: " + s + "doc/;note: a line beginning with \";\" is a comment; not listed\n"
                  "mkinst: " + s + "doc/Feature=x.txt: the line would be read as the key Feature=; "
                  "not listed\n"
                  "mkinst: " + s + "doc/readme: Windows takes it for doc\\README; not listed\n"
                  "mkinst: " + s + "doc./a.txt: doc. ends in a dot or a space, which Windows drops "
                  "(it would be doc); not listed\n");
  // What it lists packs as it stands.
  const std::string lines = out_;
  EXPECT_EQ(Run("[Variables]\nManufacturer=M\nVersion=1\n[Features]\nFeature=All\n" + lines +
                "[Components]\nComponent=All\nDescription=All\nAll\n[Run]\n"),
            0)
      << err_;
  EXPECT_EQ(err_, "");
}

TEST_F(MkinstTest, CommandLineMistakesAndHelp) {
  EXPECT_EQ(Run(kProduct, {"-l", "10"}), 1);
  EXPECT_NE(err_.find("bad compression level"), std::string::npos);
  EXPECT_EQ(Run(kProduct, {"-j", "0"}), 1);
  EXPECT_NE(err_.find("bad number of threads"), std::string::npos);
  EXPECT_EQ(Run(kProduct, {"--frobnicate"}), 1);
  EXPECT_NE(err_.find("unknown option --frobnicate"), std::string::npos);
  EXPECT_EQ(Run(kProduct, {"--stub", (dir_ / "nostub.exe").string()}), 1);
  EXPECT_NE(err_.find("nostub.exe: can't open"), std::string::npos) << err_;
  ExpectNoOutput();

  std::string help = "--help";
  char* argv[] = {help.data(), help.data()};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(mkinst::RunMkinst(2, argv), 0);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("Usage: mkinst"), std::string::npos);
}

}  // namespace
