#include <gtest/gtest.h>

#include <cstring>

#include "base/alloc.h"
#include "codec/gif.h"

namespace {

TEST(GifEncode, PaletteAndRefusals) {
  uint8_t px[6 * 4];
  for (int i = 0; i < 6; ++i) std::memcpy(px + 4 * i, "\x09\x63\xc7\x07", 4);
  ColorMap cmap;
  std::memset(cmap, 0x55, sizeof cmap);
  EXPECT_EQ(MedianCut(nullptr, 3, 2, cmap, nullptr, 1) + MedianCut(px, 3, 2, cmap, nullptr, 5), 0);
  EXPECT_EQ(cmap[0].r, 0x55);  // untouched

  GIF_ENV ge;
  int32_t len = -1;
  uint8_t* gif = gif_compress(&len, &ge, nullptr, px, 3, 2);
  ASSERT_NE(gif, nullptr);
  EXPECT_EQ((std::tuple{ge.width, ge.height, ge.cmap[0].b, ge.cmap[0].x, ge.cmap[255].x}),
            (std::tuple{3, 2, 199, 255, 255}));
  EXPECT_EQ(gif[len - 1], 0x3B);
  d_f_ree(gif);
  for (auto [w, h] : {std::pair{0, 1}, {1, 0}, {65536, 1}, {1, 65536}, {20000, 20000}}) {
    len = -1;
    EXPECT_EQ(gif_compress(&len, &ge, nullptr, px, w, h), nullptr) << w << "x" << h;
    EXPECT_EQ(len, 0);
  }
}

}  // namespace
