#include <gtest/gtest.h>

#include "store/pdb64.h"
#include "store_test_util.h"

TEST(RecordFormat, HeaderFormAndSizeBoundaries) {
  struct Case {
    uint64_t m;
    int width;
    uint64_t d;
  } cases[] = {{16, 4, 4},           {24, 4, 12},         {65545, 4, 65533},
               {65546, 8, 65538},    {4294967295ull, 8, 4294967287ull},
               {4294967296ull, 12, 4294967292ull}};
  for (const auto& c : cases) {
    uint8_t b[12];
    ASSERT_EQ(pn64_encode_phys(b, 0x0602, c.m), c.width) << c.m;
    PHYS_PN64_HEADER ph;
    ASSERT_EQ(pn64_decode_phys(b, sizeof b, &ph), 0) << c.m;
    EXPECT_EQ(ph.type, 0x0602);
    EXPECT_EQ(ph.width, c.width);
    EXPECT_EQ(ph.length, c.d);
    EXPECT_EQ(pn64_disk_size(c.m), c.d);
    EXPECT_EQ(pn64_mem_size(c.d), c.m);
  }
  for (uint64_t d : {65534ull, 65537ull, 4294967288ull, 4294967291ull, 3ull}) {
    EXPECT_FALSE(pn64_disk_size_ok(d)) << d;
    EXPECT_EQ(pn64_mem_size(d), 0u) << d;
  }
}

// Lengths below the header form, a medium form holding a short length, and
// a header cut off.
TEST(RecordFormat, DamagedPhysicalHeadersAreRefused) {
  const Bytes bad[] = {{0, 1, 0, 3},
                       {0, 1, 0xFF, 0xFE, 0, 0, 0, 7},
                       {0, 1, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 11},
                       {0, 1, 0xFF, 0xFE, 0, 0, 0, 100},
                       {0, 1, 0xFF, 0xFF, 0, 0}};
  for (const Bytes& b : bad) {
    PHYS_PN64_HEADER ph;
    EXPECT_EQ(pn64_decode_phys(b.data(), b.size(), &ph), -1) << hex(b);
  }
}

using NewFile = StoreTest;

TEST_F(NewFile, ExactBytesWhileOpenAndAfterClose) {
  const Bytes expected = {
      0x00, 0x01, 0x00, 0x20,                          // type 1, length 32
      0x00, 0x00, 0x00, 0x1F,                          // file type 31
      '6',  '4',  '-',  '0',  '.',  '6',  0x00, 0x00,  // version
      'U',  'T',  'F',  '-',  '8',  0x00, 0x00, 0x00,  // encoding
      0x00, 0x00, 0x00, 0x00,                          // linear
      0x00, 0x00, 0x00, 0x01,                          // open for writing
      0x01, 0x03, 0x00, 0x0C,                          // free-list head, length 12
      0,    0,    0,    0,    0,    0,    0,    0};    // no free segment
  for (bool direct : {false, true}) {
    fac_set_total_entries(direct ? 0 : kFacDefaultEntries);
    PDB64* p = create("new.db");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(read_bytes(path("new.db")), expected) << "direct " << direct;
    EXPECT_EQ(close_filespace64(p), 0);
    Bytes closed = expected;
    closed[31] = 0;
    EXPECT_EQ(read_bytes(path("new.db")), closed);
  }
  PDB64* p = create("plain.db", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(check_pdb64(p), -1);
  EXPECT_EQ(close_filespace64(p), 0);
  Bytes plain(expected.begin(), expected.begin() + 32);
  plain[31] = 0;
  EXPECT_EQ(read_bytes(path("plain.db")), plain);
}
