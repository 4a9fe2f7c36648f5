#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <tuple>

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

// A stream of w x h pixels of `components` samples each, made by the
// library itself (so CMYK streams need no outside tool).
Bytes library_stream(const Bytes& samples, int w, int h, int components, J_COLOR_SPACE space) {
  jpeg_compress_struct ci{};
  jpeg_error_mgr err{};
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&ci, &buf, &size);
  ci.image_width = static_cast<JDIMENSION>(w);
  ci.image_height = static_cast<JDIMENSION>(h);
  ci.input_components = components;
  ci.in_color_space = space;
  jpeg_set_defaults(&ci);
  jpeg_start_compress(&ci, TRUE);
  while (ci.next_scanline < ci.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(samples.data()) + size_t{ci.next_scanline} * w * components;
    jpeg_write_scanlines(&ci, &row, 1);
  }
  jpeg_finish_compress(&ci);
  Bytes out(buf, buf + size);
  jpeg_destroy_compress(&ci);
  std::free(buf);
  return out;
}

struct Grey {
  int rows = 0, stop_at = -1, bpp = -1, palette_last = -1;
  Bytes row = Bytes(64);
};

TEST(Jpeg, GreyThroughTheCallbacksAndAnEarlyStop) {
  const Bytes grey = library_stream(Bytes(64, 7), 8, 8, 1, JCS_GRAYSCALE);

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

// Rows handed out at a pitch and a start offset of the test's choosing,
// in a buffer filled with 0xEE beforehand.
struct Rows {
  int32_t w = 0, h = 0;
  size_t offset, pad;
  Bytes room;
  uint8_t* row(int32_t y) { return room.data() + offset + size_t(y) * (size_t(w) * 4 + pad); }
};

// Colour rows written straight into the caller's rows, in either byte
// order, wherever the rows start (on the cache-bypassing path for images
// over a MiB, and with rows not 4-byte aligned), hold the pixels of the
// row-merging decoder with the fourth byte 0.
TEST(Jpeg, RowsInEitherByteOrderMatchTheMergingDecoder) {
  std::mt19937 rng(5);
  for (auto [w, h, space] : {std::tuple{37, 23, JCS_RGB}, {613, 509, JCS_RGB}, {45, 17, JCS_CMYK},
                             {700, 400, JCS_CMYK}}) {
    const int comps = space == JCS_CMYK ? 4 : 3;
    Bytes samples(size_t(w) * h * comps);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>((i / comps % 97) * 2 + rng() % 40);
    const Bytes jpg = library_stream(samples, w, h, comps, space);
    const auto size = static_cast<int32_t>(jpg.size());
    auto header = [](LoadJPGInfo* info, void* data) {
      auto* r = static_cast<Rows*>(data);
      r->w = info->width, r->h = info->height;
      r->room.assign(r->offset + size_t(r->h) * (size_t(r->w) * 4 + r->pad), 0xEE);
      return 1;
    };
    auto row = [](int32_t y, void* data) { return static_cast<Rows*>(data)->row(y); };
    Rows merged{0, 0, 0, 0, {}};
    ASSERT_EQ(LoadJPGFromMemory(jpg.data(), size, header, row, &merged), 1);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) merged.row(y)[4 * x + 3] = 0;
    for (auto [order, offset, pad] : {std::tuple{JpegPixels::kRgbx, 4, 8}, {JpegPixels::kXbgr, 12, 4},
                                      {JpegPixels::kXbgr, 1, 3}, {JpegPixels::kRgbx, 2, 0}}) {
      Rows direct{0, 0, size_t(offset), size_t(pad), {}};
      ASSERT_EQ(jpeg_uncompress_rows(jpg.data(), size, order, header, row, &direct), 1);
      for (int32_t y = 0; y < h; ++y) {
        Bytes want(merged.row(y), merged.row(y) + 4 * w), got(direct.row(y), direct.row(y) + 4 * w);
        if (order == JpegPixels::kXbgr)
          for (size_t i = 0; i < got.size(); i += 4) std::reverse(got.begin() + i, got.begin() + i + 4);
        ASSERT_EQ(got, want) << w << "x" << h << " row " << y << " offset " << offset;
        // Nothing is written past a row's pixels.
        ASSERT_EQ(Bytes(direct.row(y) + 4 * w, direct.row(y) + 4 * w + pad), Bytes(pad, 0xEE));
      }
    }
  }
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
