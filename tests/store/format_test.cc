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

TEST(RecordFormat, DamagedPhysicalHeadersAreRefused) {
  PHYS_PN64_HEADER ph;
  const uint8_t short3[] = {0, 1, 0, 3};
  const uint8_t medium7[] = {0, 1, 0xFF, 0xFE, 0, 0, 0, 7};
  const uint8_t long11[] = {0, 1, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 11};
  const uint8_t medium_small[] = {0, 1, 0xFF, 0xFE, 0, 0, 0, 100};  // belongs in a short header
  const uint8_t cut[] = {0, 1, 0xFF, 0xFF, 0, 0};
  EXPECT_EQ(pn64_decode_phys(short3, 4, &ph), -1);
  EXPECT_EQ(pn64_decode_phys(medium7, 8, &ph), -1);
  EXPECT_EQ(pn64_decode_phys(long11, 12, &ph), -1);
  EXPECT_EQ(pn64_decode_phys(medium_small, 8, &ph), -1);
  EXPECT_EQ(pn64_decode_phys(cut, sizeof cut, &ph), -1);
}

TEST(RecordFormat, ByteOrderConversionsMatchTheDiskLayout) {
  for (uint64_t m : {100ull, 70000ull, 5000000000ull}) {
    uint8_t disk[12];
    int w = pn64_encode_phys(disk, 0x0104, m);
    uint8_t raw[12];
    std::memcpy(raw, disk, 12);
    change_endian_phys_header64_to_host(raw);
    uint16_t t, s;
    std::memcpy(&t, raw, 2);
    std::memcpy(&s, raw + 2, 2);
    EXPECT_EQ(t, 0x0104);
    if (w == 8) {
      uint32_t l;
      std::memcpy(&l, raw + 4, 4);
      EXPECT_EQ(s, 0xFFFE);
      EXPECT_EQ(l, m - 8);
    } else if (w == 12) {
      uint64_t l;
      std::memcpy(&l, raw + 4, 8);
      EXPECT_EQ(l, m - 4);
    }
    change_endian_phys_header64_to_net(raw);
    EXPECT_EQ(std::memcmp(raw, disk, static_cast<size_t>(w)), 0) << m;
  }
  PN64_FREELIST f{PN64_HEADER{0x0103, {0, 0, 0}, 24}, 0x0102030405060708ull};
  change_endian_freelist64_to_net(&f);
  EXPECT_EQ(load_be64(&f.next), 0x0102030405060708ull);
  EXPECT_EQ(load_be16(&f.h.type), 0x0103);
  change_endian_freelist64_to_host(&f);
  EXPECT_EQ(f.h.size, 24u);
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
