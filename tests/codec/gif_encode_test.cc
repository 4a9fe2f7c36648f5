#include <gtest/gtest.h>

#include <cstring>

#include "base/alloc.h"
#include "codec/gif.h"
#include "codec/gif_impl.h"
#include "support/bytes.h"

namespace {

TEST(GifEncode, ReductionOfOneColourAndRefusals) {
  uint8_t px[6 * 4];
  for (int i = 0; i < 6; ++i) std::memcpy(px + 4 * i, "\x09\x63\xc7\x07", 4);
  ColorMap cmap;
  uint8_t codes[6];
  std::memset(codes, 0x77, sizeof codes);
  ASSERT_EQ(MedianCut(px, 3, 2, cmap, codes, 4), -1);
  EXPECT_EQ((std::tuple{cmap[0].r, cmap[0].g, cmap[0].b, cmap[0].x}), (std::tuple{9, 99, 199, 255}));
  for (int i = 1; i < 256; ++i) ASSERT_EQ((std::tuple{cmap[i].r, cmap[i].g, cmap[i].b, cmap[i].x}), (std::tuple{0, 0, 0, 255}));
  EXPECT_EQ(Bytes(codes, codes + 6), Bytes(6, 0));
  std::memset(cmap, 0x55, sizeof cmap);
  EXPECT_EQ(MedianCut(nullptr, 3, 2, cmap, codes, 1), 0);
  EXPECT_EQ(MedianCut(px, 3, 2, cmap, codes, 5), 0);
  EXPECT_EQ(cmap[0].r, 0x55);
  EXPECT_EQ(GetColorRGB(RGB4{1, 2, 3, 4}), 1 + 2 * 256 + 3 * 65536);

  GIF_ENV ge;
  int32_t len = -1;
  uint8_t* gif = gif_compress(&len, &ge, nullptr, px, 3, 2);
  ASSERT_NE(gif, nullptr);
  EXPECT_EQ((std::tuple{ge.width, ge.height, ge.cmap[0].x, ge.cmap[255].x}), (std::tuple{3, 2, 255, 255}));
  EXPECT_EQ(gif[len - 1], 0x3B);
  d_f_ree(gif);
  for (auto [w, h] : {std::pair{0, 1}, {1, 0}, {65536, 1}, {1, 65536}, {20000, 20000}}) {
    len = -1;
    EXPECT_EQ(gif_compress(&len, &ge, nullptr, px, w, h), nullptr) << w << "x" << h;
    EXPECT_EQ(len, 0);
  }

  // A minimum code size beyond 9 stops the stream before its trailer.
  GIF_RGB table[1024] = {};
  init_gif_compress();
  const int rc = __gif_compress(codes, 3, 2, 8, 0, 10, 0, table);
  size_t n = 0;
  uint8_t* out = close_gif_compress(&n);
  EXPECT_EQ(rc, -3);
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out[n - 1], 0x3B);
  d_f_ree(out);
}

}  // namespace
