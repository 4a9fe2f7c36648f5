#include <cstring>

#include "base/alloc.h"
#include "plot_test_util.h"

namespace {

// One point of every stored field kind, with a base and an id.
const char* kAllKinds =
    "61 00 00 07 00 09  00 00 00 00 00 00 00 05 ff ff ff ff ff ff ff fe  00 00 00 00 00 00 01 00"
    " 10 20 68 69 00 21 22 31 ff ff ff ff ff ff ff ff 32 00 00 00 00 00 00 00 0a 00 00 00 00 00 00 00 03"
    " 33 00 00 00 00 00 00 00 07 34 80 00 00 00 00 00 00 00 40 11 22 33 44 00 00 00 00 00 00 00 02 00"
    " 01 00 00 00 00 01 00 00";

TEST(PlotCode, ExamplesReadAndWriteBackTheSameBytes) {
  PlotMatrix pm({8, 8}, {1, 1});
  MATRIX* m = pm.get();
  const char* cases[] = {
      "21 00 00 01 00 02 00 00 00 00 00 00 00 00 ff ff ff ff ff ff ff ff 00 00",  // base 0 and -1
      "00",                                                                         // the empty plot
      kAllKinds,
  };
  for (const char* c : cases) {
    Bytes again;
    EXPECT_GE(read_back(m, unhex(c), nullptr, &again), 0) << c;
    EXPECT_EQ(again, unhex(c)) << c;
  }
  int err = 5;
  uint8_t empty = 0;
  EXPECT_EQ(code2internal(m, reinterpret_cast<PRIMITIVE_PLOT*>(&empty), 1, nullptr, &err), nullptr);
  EXPECT_EQ(err, 0);  // empty, not damaged

  // No fields reads as a field array of count 0; an id of 0 is written
  // without 0x40 whatever the flags say, and a flags byte of 0 as 0x01.
  INTERNAL_PLOT* ip = plot_of(m, "41 00 00 01 00 02 00 00 00 00 00 00 00 07 00 00");
  ASSERT_NE(ip->fields, nullptr);
  EXPECT_EQ(ip->fields[0].len, 0u);
  ip->id = 0;
  EXPECT_EQ(code_of(m, ip, true), "01 00 00 01 00 02 00 00");
  ip->flags = 0x48;
  EXPECT_EQ(code_of(m, ip), "08 00 00 01 00 02 00 00");
}

TEST(PlotCode, PointOrderInterleavesBitsFromTheTop) {
  PlotMatrix square({8, 8}, {1, 1});
  PlotMatrix narrow({4, 8}, {1, 1});
  struct {
    MATRIX* m;
    uint16_t a[2], b[2];
    int want;
  } cases[] = {
      {square.get(), {0x80, 0}, {0x7F, 0xFF}, 1},
      {square.get(), {0, 0x80}, {0x80, 0}, -1},
      {narrow.get(), {0x0, 0x80}, {0xF, 0x7F}, 1},   // bit 7 of the second decides first
      {narrow.get(), {0x10, 0x01}, {0x00, 0x01}, 0},  // bits above a block size never count
  };
  for (auto& c : cases) {
    EXPECT_EQ(cmp_plot(c.m, c.a, c.b), c.want);
    EXPECT_EQ(cmp_plot(c.m, c.b, c.a), -c.want);
  }
}

TEST(PlotCode, EveryPrefixAndByteFlipReadsAsDamagedOrValid) {
  PlotMatrix pm({8, 8}, {1, 1});
  Bytes code = unhex(kAllKinds);
  Bytes again;
  SIMPLE_ALLOC_T sat{};
  for (size_t n = 0; n < code.size(); ++n) {
    EXPECT_EQ(read_back(pm.get(), Bytes(code.begin(), code.begin() + n), n % 2 ? &sat : nullptr, &again), -1) << n;
  }
  int damaged = 0, valid = 0;
  for (size_t i = 0; i < code.size(); ++i) {
    for (int v : {0x00, 0xFF, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}) {
      Bytes flipped = code;
      flipped[i] = static_cast<uint8_t>(v < 2 ? v * 0xFF : flipped[i] ^ v);
      int r = read_back(pm.get(), flipped, i % 2 ? &sat : nullptr, &again);
      (r < 0 ? damaged : valid)++;
    }
  }
  EXPECT_GT(damaged, 0);
  EXPECT_GT(valid, 0);
}

TEST(PlotCode, LargeTextsAndManyFieldsReadIntoABumpAllocator) {
  PlotMatrix pm({16, 16, 16}, {1, 1, 1});
  std::string text;
  for (int i = 0; i < 4096; ++i) text += " 61";
  std::string code = "01 00 00 01 00 02 00 03";
  for (int i = 0; i < 100; ++i) code += i % 2 ? " 31 00 00 00 00 00 00 00 07" : " 22";
  code += " 20" + text + " 00 00 00";
  SIMPLE_ALLOC_T sat{};
  Bytes again;
  EXPECT_EQ(read_back(pm.get(), unhex(code), &sat, &again), 1);
  EXPECT_EQ(hex(again, 1 << 20), code);
}

TEST(PlotCode, GeometriesAndFieldsPlotCodeCannotHoldAreRefused) {
  PlotMatrix wide({17}, {1});
  PlotMatrix pm({8}, {1});
  Bytes code = unhex("01 00 00 01 00 00");
  int err = 0, size = 0;
  EXPECT_EQ(code2internal(wide.get(), reinterpret_cast<PRIMITIVE_PLOT*>(code.data()), 6, nullptr, &err), nullptr);
  EXPECT_EQ(err, -1);
  INTERNAL_PLOT* ip = plot_of(pm.get(), "01 00 00 01 31 00 00 00 00 00 00 00 05 00 00");
  EXPECT_EQ(internal2code(&size, wide.get(), ip), nullptr);
  ip->fields[0].type = kFdIntCoord;  // a coordinate value is never stored
  EXPECT_EQ(internal2code(&size, pm.get(), ip), nullptr);
  EXPECT_EQ(size, -1);
  ip->fields[0].type = kFdIntAdd;
  free_internal_plot_list(ip);
}

}  // namespace
