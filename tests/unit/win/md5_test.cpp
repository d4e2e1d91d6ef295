// The CryptoAPI MD5 of the stub against the RFC 1321 suite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/md5.h"
#include "common/sha256.h"
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

TEST(WinSha256, KnownDigestsWholeAndInPieces) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [text, digest] : cases) {
    Sha256 whole;
    whole.Update(text.data(), text.size());
    EXPECT_EQ(whole.HexFinal(), digest);
    Sha256 pieces;
    for (size_t at = 0; at < text.size(); at += 65537) pieces.Update(text.data() + at, std::min<size_t>(65537, text.size() - at));
    EXPECT_EQ(pieces.HexFinal(), digest);
  }
}

}  // namespace
