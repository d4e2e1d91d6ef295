// The CryptoAPI MD5 of the stub against the RFC 1321 suite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/md5.h"
#include "tests/unit/md5_vectors.h"

namespace {

TEST(WinMd5, Rfc1321VectorsWholeAndInPieces) {
  for (const Md5Vector& v : kMd5Vectors) {
    uint8_t out[16];
    Md5 whole;
    whole.Update(v.text, strlen(v.text));
    ASSERT_TRUE(whole.Final(out));
    EXPECT_EQ(Hex(out, 16), v.digest) << v.text;

    Md5 bytewise;
    for (const char* p = v.text; *p; p++) bytewise.Update(p, 1);
    ASSERT_TRUE(bytewise.Final(out));
    EXPECT_EQ(Hex(out, 16), v.digest) << v.text;
  }
}

TEST(WinMd5, ChunkBoundariesDoNotMatter) {
  // A million bytes of "a" (a well-known digest), in the filecheck's chunks and in odd ones.
  const std::vector<char> data(1000000, 'a');
  for (size_t chunk : {size_t{16384}, size_t{1000}, size_t{65537}}) {
    Md5 md5;
    for (size_t at = 0; at < data.size(); at += chunk) {
      md5.Update(data.data() + at, std::min(chunk, data.size() - at));
    }
    uint8_t out[16];
    ASSERT_TRUE(md5.Final(out));
    EXPECT_EQ(Hex(out, 16), "7707d6ae4e027c70eea2a935c2296f21") << chunk;
  }
}

}  // namespace
