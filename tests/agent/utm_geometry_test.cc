// The geometry of the UTM-zone import: the tile range bounds and the block
// test against the source's plane extent (the import itself is tested
// from outside by cli_utm_test.py).
#include <gtest/gtest.h>

#include <cmath>

#include "agent/qmx_utm.h"

namespace {

TEST(UtmImport, TileRangeBoundsToWholeBlocksOfTheTarget) {
  // A target of 1000 x 500 pixels in blocks of 256.
  const int64_t size[2] = {1000, 500};
  const int bits[2] = {8, 8};
  struct Case {
    int64_t in[3], out[3];
  } cases[] = {
      {{3, -5, -1}, {0, 0, 0}},           // before the target: its start, level 0
      {{0, 1100, 700}, {0, 1024, 512}},   // past its end: the end rounded up to a block
      {{0, 999, 499}, {0, 999, 499}},     // inside: kept
      {{0, 1000, 500}, {0, 1024, 512}},   // at the end
  };
  for (const Case& c : cases) {
    int64_t dc[3] = {c.in[0], c.in[1], c.in[2]};
    boundary_setup(dc, size, bits);
    EXPECT_EQ(dc[0], c.out[0]);
    EXPECT_EQ(dc[1], c.out[1]) << c.in[1];
    EXPECT_EQ(dc[2], c.out[2]) << c.in[2];
  }
  const int64_t whole[2] = {1024, 512};
  int64_t dc[3] = {0, 5000, 5000};
  boundary_setup(dc, whole, bits);
  EXPECT_EQ(dc[1], 1024);  // already whole blocks
  EXPECT_EQ(dc[2], 512);
}

// Zone 54 north on GRS80, pass 0, target pixels of 1/100 degree from
// (138, 30).
UTM_DATA zone54(double x_lo, double x_hi, double y_lo, double y_hi) {
  UTM_DATA u{};
  u.offset_x = 138;
  u.offset_y = 30;
  u.reso_x = u.reso_y = 100;
  u.UTMno = 54;
  u.ep.a = 6378137;
  u.ep.b = 6356752.314140347;
  u.ep.m0 = 0.9996;
  u.ep.org_Y0 = 500000;
  u.ep.org_lambda = 141 * (2 * M_PI / 360);  // as the import turns degrees
  u.ep.org_X_enable = 1;
  u.utm_st_west[0] = 138;
  u.utm_end_east[0] = 144;
  u.zone_width = 6;
  u.zone_minrect = {{x_hi, y_lo}, {x_lo, y_hi}};
  return u;
}

TEST(UtmImport, BlocksAreTestedByTheirProjectedCorners) {
  // 141 E 32 N projects to northing 3540435.69, easting 500000 (cs2cs).
  struct Case {
    const char* what;
    double x_lo, x_hi, y_lo, y_hi;
    int64_t x, y, bx, by;
    bool in;
  } cases[] = {
      {"the block holds the point", 3540000, 3541000, 499000, 501000, 250, 180, 64, 64, true},
      {"far north of the extent", 3540000, 3541000, 499000, 501000, 250, 2400, 64, 64, false},
      {"east of the extent", 3540000, 3541000, 499000, 501000, 500, 180, 64, 64, false},
      // The block's western edge lies on the centre meridian: easting 500000.
      {"touching counts", 3540000, 3541000, 400000, 500000, 300, 200, 64, 64, true},
      {"just apart", 3540000, 3541000, 400000, 499999.99, 300, 200, 64, 64, false},
      // Along the parallel of 32 N the northing is least on the centre
      // meridian (about 470 m less than 1 degree away): only the points
      // added there reach an extent between the two.
      {"reached on the centre meridian only", 3540500, 3540600, 400000, 600000, 200, 200, 200, 64, true},
      {"a block 1 degree east of the meridian", 3540500, 3540600, 400000, 600000, 400, 200, 64, 64, false},
  };
  for (const Case& c : cases) {
    const UTM_DATA u = zone54(c.x_lo, c.x_hi, c.y_lo, c.y_hi);
    EXPECT_EQ(check_in_zone(u, 0, c.x, c.y, c.bx, c.by), c.in) << c.what;
  }
}

}  // namespace
