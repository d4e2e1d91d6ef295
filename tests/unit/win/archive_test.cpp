// The stub's header scan and filecheck on crafted files: only headers on the
// 1024-byte grid from 204800 on count.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

#include "common/md5.h"
#include "wininst/install/archive.h"

namespace {

std::string TempName(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  return std::string(temp) + name;
}

// A file of `size` pattern bytes with an archive header at `at` whose
// filecheck covers [1024, at + 20 + 100).
std::string Crafted(const char* name, size_t at, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; i++) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  archive::HeaderFields f{static_cast<uint32_t>(at), static_cast<uint32_t>(at + 20 + 100 - 1024),
                          1024};
  archive::Header h = archive::EncodeHeader(f);
  memcpy(&bytes[at], &h, sizeof h);
  Md5 md5;
  md5.Update(&bytes[1024], f.setuplen);
  md5.Final(&bytes[1024 + f.setuplen]);
  std::string path = TempName(name);
  FILE* file = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  return path;
}

bool Scan(const std::string& path, archive::HeaderFields& f) {
  int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
  EXPECT_GE(fd, 0);
  bool found = FindArchiveHeader(fd, f);
  _close(fd);
  return found;
}

TEST(WinArchive, HeaderOnlyOnTheGridFromTheMinimumStubLength) {
  archive::HeaderFields f;
  const std::string below = Crafted("arc_below.bin", 204800 - 1024, 300000);
  EXPECT_FALSE(Scan(below, f)) << "a stub shorter than 204800 bytes carries no archive";
  const std::string off = Crafted("arc_off.bin", 204800 + 512, 300000);
  EXPECT_FALSE(Scan(off, f)) << "off the grid";
  const std::string cut = Crafted("arc_cut.bin", 204800, 300000);
  {
    // Fewer than 20 bytes at the last grid step end the scan quietly.
    std::vector<uint8_t> head(204810, 0);
    FILE* file = fopen(cut.c_str(), "wb");
    fwrite(head.data(), 1, head.size(), file);
    fclose(file);
  }
  EXPECT_FALSE(Scan(cut, f));

  const std::string good = Crafted("arc_good.bin", 204800 + 2048, 300000);
  ASSERT_TRUE(Scan(good, f));
  EXPECT_EQ(f.stub_length, 204800u + 2048);
  EXPECT_EQ(f.headersize, 1024u);
  // The check passes (a failure would end the test program with a fatal box).
  int fd = _open(good.c_str(), _O_RDONLY | _O_BINARY);
  VerifyFilecheck(fd, f.headersize, f.setuplen);
  _close(fd);
  for (const std::string& p : {below, off, cut, good}) DeleteFileA(p.c_str());
}

}  // namespace
