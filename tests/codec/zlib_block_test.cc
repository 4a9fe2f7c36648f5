#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "codec/zlib_block.h"

namespace {

std::string round_trip(const std::string& s, int level) {
  int32_t clen = -1, ulen = -1;
  void* c = zlib_compress(&clen, s.data(), static_cast<int32_t>(s.size()), level);
  EXPECT_NE(c, nullptr);
  if (!c) return "<null>";
  void* u = zlib_uncompress(&ulen, c, clen);
  d_f_ree(c);
  EXPECT_NE(u, nullptr);
  if (!u) return "<null>";
  std::string out(static_cast<char*>(u), static_cast<size_t>(ulen));
  d_f_ree(u);
  return out;
}

TEST(ZlibBlock, EmptyAndHighlyCompressibleSourcesRoundTrip) {
  EXPECT_EQ(round_trip("", 6), "");  // a valid stream inflating to length 0, not null
  std::string big(3'000'000, 'a');   // needs the output to grow several times
  big[1'234'567] = 'b';
  EXPECT_EQ(round_trip(big, 9), big);
}

TEST(ZlibBlock, RefusalsLeaveTheLengthAlone) {
  int32_t len = 77;
  EXPECT_EQ(zlib_uncompress(&len, "", 0), nullptr);
  EXPECT_EQ(zlib_uncompress(&len, "x\x9c", -3), nullptr);
  EXPECT_EQ(zlib_uncompress(&len, "\x78\x9c\x03\x00", 4), nullptr);  // no trailer
  EXPECT_EQ(len, 77);
  EXPECT_EQ(zlib_compress(&len, "abc", 3, 11), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(zlib_compress(&len, "abc", -1, 6), nullptr);
}

}  // namespace
