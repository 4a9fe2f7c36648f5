#include <gtest/gtest.h>

#include "base/alloc.h"
#include "codec/gif.h"
#include "codec_test_util.h"

namespace {

struct Decoded {
  Bytes pixels;  // 4 bytes each
  int32_t w = -1, h = -1;
  GIF_ENV ge{};
  bool null = true;
};

Decoded decode(const Bytes& gif) {
  Decoded d;
  uint8_t* px = gif_uncompress(&d.w, &d.h, &d.ge, gif.data(), static_cast<int32_t>(gif.size()));
  if (!px) return d;
  d.null = false;
  d.pixels.assign(px, px + size_t(d.w) * size_t(d.h) * 4);
  d_f_ree(px);
  return d;
}

// A palette whose entry i is (i, 2i, 3i); index i reads back as red i.
Bytes ramp(int entries) {
  Bytes p;
  for (int i = 0; i < entries; ++i) p.insert(p.end(), {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i)});
  return p;
}

std::vector<int> red_rows(const Decoded& d) {
  std::vector<int> rows;
  for (int y = 0; y < d.h; ++y) rows.push_back(d.pixels[size_t(y) * size_t(d.w) * 4]);
  return rows;
}

TEST(Gif, InterlacedLinesLandOnTheirPassRows) {
  for (auto [h, want] : std::vector<std::pair<int, std::vector<int>>>{
           {4, {0, 2, 1, 3}}, {2, {0, 1}}, {9, {0, 5, 3, 6, 2, 7, 4, 8, 1}}, {1, {0}}}) {
    GifSpec g;
    g.width = 1;
    g.height = h;
    g.bits = 4;
    g.global = ramp(16);
    g.interlaced = true;
    for (int i = 0; i < h; ++i) g.indices.push_back(uint8_t(i));  // line i in stream order
    EXPECT_EQ(red_rows(decode(make_gif(g))), want) << h;
  }
}

TEST(Gif, TransparencyAndLocalTables) {
  GifSpec g;
  g.width = 4;
  g.height = 1;
  g.bits = 8;
  g.global = ramp(256);
  g.indices = {0, 3, 4, 5};
  g.local = {200, 0, 0, 201, 0, 0, 202, 0, 0, 203, 0, 0};
  g.local_bits = 2;
  g.transparent = 5;
  Decoded d = decode(make_gif(g));
  ASSERT_FALSE(d.null);
  EXPECT_EQ(d.pixels, (Bytes{200, 0, 0, 255, 203, 0, 0, 255, 4, 8, 12, 255, 5, 10, 15, 0}));
  for (int i = 0; i < 256; ++i) EXPECT_EQ(d.ge.cmap[i].x, i == 5 ? 0 : 255);
  EXPECT_EQ(d.ge.cmap[4].g, 8);
  // Without the "present" bit the index byte means nothing.
  Bytes off = make_gif(g);
  off[13 + 768 + 3] = 0;
  Decoded d2 = decode(off);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(d2.ge.cmap[i].x, 255);
}

TEST(Gif, TheFirstImageIsDecoded) {
  GifSpec g;
  g.width = 2;
  g.height = 2;
  g.bits = 2;
  g.global = ramp(4);
  g.indices = {1, 1, 1, 1};
  GifSpec second = g;
  second.width = 3;
  second.indices = {2, 2, 2, 2, 2, 2};
  Decoded d = decode(make_gif(g, {image_block(second)}));
  EXPECT_EQ(d.w, 2);
  EXPECT_EQ(d.ge.width, 2);
  EXPECT_EQ(d.pixels[0], 1);
}

TEST(Gif, ShortDataFewPixelsAndEmptyImages) {
  GifSpec g;
  g.width = 3;
  g.height = 2;
  g.bits = 2;
  g.global = ramp(4);
  g.global[0] = 9;
  g.indices = {1, 2, 3};  // half the pixels
  Decoded d = decode(make_gif(g));
  EXPECT_EQ(d.pixels, (Bytes{1, 2, 3, 255, 2, 4, 6, 255, 3, 6, 9, 255, 9, 0, 0, 255, 9, 0, 0, 255, 9, 0, 0, 255}));

  // More lines than rows stop at the last row.
  g.indices.assign(12, 3);
  EXPECT_FALSE(decode(make_gif(g)).null);

  g.width = 0;
  g.indices.clear();
  EXPECT_TRUE(decode(make_gif(g)).null);

  // A descriptor over the pixel ceiling is not decoded.
  g.width = g.height = 65535;
  EXPECT_TRUE(decode(make_gif(g)).null);

  // No descriptor at all, or not a GIF.
  Bytes bare = make_gif(GifSpec{1, 1, 1, {0}, ramp(2), {}});
  bare.resize(13 + 6);
  EXPECT_TRUE(decode(bare).null);
  Bytes wrong = make_gif(GifSpec{1, 1, 1, {0}, ramp(2), {}});
  wrong[3] = '9';
  Decoded w = decode(wrong);
  EXPECT_TRUE(w.null);
  EXPECT_EQ(w.w, -1);
}

TEST(Gif, ABadMinimumCodeSizeLeavesIndexZero) {
  GifSpec g;
  g.width = 2;
  g.height = 1;
  g.bits = 2;
  g.global = ramp(4);
  g.indices = {3, 3};
  Bytes b = make_gif(g);
  b[13 + 12 + 10] = 12;  // the LZW minimum code size
  Decoded d = decode(b);
  ASSERT_FALSE(d.null);
  EXPECT_EQ(d.pixels[0], 0);
  EXPECT_EQ(d.pixels[4], 0);
}

}  // namespace
