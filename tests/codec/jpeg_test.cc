#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdlib>
#include <random>

#include "codec/jpeg.h"
#include "support/bytes.h"

namespace {

Bytes solid(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  Bytes px(size_t(w) * size_t(h) * 4);
  for (size_t i = 0; i < px.size(); i += 4) px[i] = r, px[i + 1] = g, px[i + 2] = b, px[i + 3] = 0xEE;
  return px;
}

Bytes compress(const Bytes& px, int w, int h, int q) {
  int32_t len = -1;
  uint8_t* out = jpeg_compress(&len, px.data(), w, h, q);
  if (!out) return {};
  Bytes b(out, out + len);
  std::free(out);
  return b;
}

Bytes uncompress(const Bytes& jpg, int32_t* w, int32_t* h) {
  uint8_t* px = jpeg_uncompress(w, h, jpg.data(), static_cast<int32_t>(jpg.size()));
  if (!px) return {};
  Bytes b(px, px + size_t(*w) * size_t(*h) * 4);
  std::free(px);
  return b;
}

TEST(Jpeg, TheLengthIsWhatWasWritten) {
  Bytes jpg = compress(solid(20, 20, 10, 200, 30), 20, 20, 80);
  ASSERT_GT(jpg.size(), 4u);
  EXPECT_EQ(jpg[jpg.size() - 2], 0xFF);
  EXPECT_EQ(jpg[jpg.size() - 1], 0xD9);
  // Noise at quality 100 needs far more than one byte a pixel.
  std::mt19937 rng(1);
  Bytes noise(128 * 128 * 4);
  for (auto& v : noise) v = static_cast<uint8_t>(rng());
  Bytes big = compress(noise, 128, 128, 100);
  EXPECT_GT(big.size(), 128u * 128u + 4096u);
  EXPECT_EQ(big.back(), 0xD9);
  int32_t w, h;
  EXPECT_EQ(uncompress(big, &w, &h).size(), noise.size());
}

struct Grey {
  int rows = 0, stop_at = -1, bpp = -1, palette_last = -1;
  Bytes row = Bytes(64);
};

TEST(Jpeg, GreyThroughTheCallbacksAndAnEarlyStop) {
  jpeg_compress_struct ci{};
  jpeg_error_mgr err{};
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&ci, &buf, &size);
  ci.image_width = 8;
  ci.image_height = 8;
  ci.input_components = 1;
  ci.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&ci);
  jpeg_start_compress(&ci, TRUE);
  uint8_t line[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  JSAMPROW rows[1] = {line};
  while (ci.next_scanline < 8) jpeg_write_scanlines(&ci, rows, 1);
  jpeg_finish_compress(&ci);
  Bytes grey(buf, buf + size);
  jpeg_destroy_compress(&ci);
  std::free(buf);

  auto header = [](LoadJPGInfo* info, void* data) {
    auto* g = static_cast<Grey*>(data);
    g->bpp = info->bpp;
    g->palette_last = info->palette[255].r;
    return 1;
  };
  auto read = [](int32_t row, void* data) -> uint8_t* {
    auto* g = static_cast<Grey*>(data);
    if (row == g->stop_at) return nullptr;
    ++g->rows;
    return g->row.data();
  };
  Grey g;
  EXPECT_EQ(LoadJPGFromMemory(grey.data(), static_cast<int32_t>(grey.size()), header, read, &g), 1);
  EXPECT_EQ(g.bpp, 8);
  EXPECT_EQ(g.palette_last, 255);
  EXPECT_EQ(g.rows, 8);
  EXPECT_NEAR(g.row[0], 7, 1);
  EXPECT_EQ(g.row[8], 0);  // one byte a pixel
  Grey early;
  early.stop_at = 3;
  EXPECT_EQ(LoadJPGFromMemory(grey.data(), static_cast<int32_t>(grey.size()), header, read, &early), 1);
  EXPECT_EQ(early.rows, 3);
  int32_t w, h;
  EXPECT_TRUE(uncompress(grey, &w, &h).empty());
  EXPECT_EQ(LoadJPGFromMemory(grey.data(), static_cast<int32_t>(grey.size()), nullptr, read, &g), 0);
}

TEST(Jpeg, RefusedSides) {
  Bytes px = solid(2, 2, 0, 0, 0);
  int32_t len = 5;
  EXPECT_EQ(jpeg_compress(&len, px.data(), 0, 2, 80), nullptr);
  EXPECT_EQ(jpeg_compress(&len, px.data(), 65501, 1, 80), nullptr);
  EXPECT_EQ(jpeg_compress(&len, px.data(), 20000, 20000, 80), nullptr);  // over the pixel ceiling
  EXPECT_EQ(len, 0);
  EXPECT_EQ(jpeg_compress(&len, nullptr, 2, 2, 80), nullptr);
}

}  // namespace
