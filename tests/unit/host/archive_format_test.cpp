// The archive format's helpers and the host's MD5.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/md5.h"
#include "tests/unit/md5_vectors.h"
#include "wininst/install/archive_format.h"

namespace {

TEST(ArchiveFormat, HeaderRoundTripsLittleEndianBehindTheMagic) {
  archive::HeaderFields f{205824, 0x01020304, 1024};
  archive::Header h = archive::EncodeHeader(f);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&h);
  EXPECT_EQ(Hex(b, 20),
            "a3a2a1a09f9e9d9c"
            "00240300"
            "04030201"
            "00040000");
  archive::HeaderFields back;
  ASSERT_TRUE(archive::DecodeHeader(b, back));
  EXPECT_EQ(back.stub_length, 205824u);
  EXPECT_EQ(back.setuplen, 0x01020304u);
  EXPECT_EQ(back.headersize, 1024u);
  uint8_t bad[20];
  memcpy(bad, b, 20);
  bad[7] ^= 1;
  EXPECT_FALSE(archive::DecodeHeader(bad, back));
}

TEST(ArchiveFormat, StubLengthIsOnTheGridAndAtLeastTheMinimum) {
  EXPECT_EQ(archive::PaddedStubLength(1), 204800u);
  EXPECT_EQ(archive::PaddedStubLength(204800), 204800u);
  EXPECT_EQ(archive::PaddedStubLength(204801), 205824u);
  EXPECT_EQ(archive::PaddedStubLength(269824), 270336u);
}

TEST(ArchiveFormat, ReferralTagAndSignatureText) {
  uint8_t tag[4];
  archive::EncodeReferralTag(tag, 0x1234);
  EXPECT_EQ(Hex(tag, 4), "3412cbed");
  uint16_t n = 0;
  ASSERT_TRUE(archive::DecodeReferralTag(tag, n));
  EXPECT_EQ(n, 0x1234);
  tag[3] ^= 0x80;
  EXPECT_FALSE(archive::DecodeReferralTag(tag, n));
  const uint8_t zeros[4] = {0, 0, 0, 0};
  EXPECT_FALSE(archive::DecodeReferralTag(zeros, n));

  uint8_t record[4];
  archive::EncodeRecordLength(record, 8192);
  EXPECT_EQ(Hex(record, 4), "00200000");

  const uint8_t bytes[16] = {0x00, 0x0a, 0xff, 0x5c, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xab};
  char text[archive::kSignatureLength + 1];
  archive::FormatSignature(bytes, text);
  EXPECT_STREQ(text, "000AFF5C0102030405060708090A0BAB");
}

TEST(Md5, Rfc1321VectorsWholeAndInPieces) {
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

}  // namespace
