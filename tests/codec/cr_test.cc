#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <tuple>

#include "base/endian.h"
#include "base/file.h"
#include "codec/cr_block.h"
#include "codec/cr_file.h"
#include "codec/jpeg.h"
#include "codec/r64.h"
#include "codec/r64_level.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace {

TEST(CrBlock, RawBlocksAndTheLevelShift) {
  const uint8_t one[] = {0, 0, 9, 8, 7};
  int32_t w = 0, h = 0;
  uint8_t* px = none_uncompress(&w, &h, one, 5);
  ASSERT_NE(px, nullptr);
  EXPECT_EQ((Bytes{px, px + 4}), (Bytes{9, 8, 7, 0}));
  std::free(px);
  EXPECT_EQ(none_uncompress(&w, &h, one, 1), nullptr);
  const uint8_t short_block[] = {1, 1, 1, 2, 3};  // 2 x 2 claimed, one pixel there
  EXPECT_EQ(none_uncompress(&w, &h, short_block, 5), nullptr);

  Bytes pixels(15 * 40 * 4, 0x55);
  int32_t size = 0;
  uint8_t* n = get_cr_codec('n')->compress(&size, pixels.data(), 15, 40);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(size, 2 + 3 * 15 * 40);
  uint8_t* back = get_cr_codec('n')->uncompress(&w, &h, n, size);
  EXPECT_EQ((std::pair{w, h}), (std::pair{15, 40}));
  EXPECT_EQ(back[4 * 599 + 2], 0x55);
  EXPECT_EQ(back[4 * 599 + 3], 0);
  std::free(n);
  std::free(back);
  EXPECT_EQ(none_compress(&size, pixels.data(), 257, 1), nullptr);
  EXPECT_EQ(get_cr_codec('x'), nullptr);
  // The level shift undoes itself wherever no clamp bites.
  for (int v = 32; v <= 223; ++v) EXPECT_EQ(cr_inv_cal(cr_cal(v - 5, 5), 5), v - 5);
}

// A 'j' block holds at most a block's side of pixels either way: a stream
// that says more is refused (the old-format reader decodes blocks from
// peers and files).
TEST(CrBlock, JpegBlocksAreAtMostABlockSide) {
  for (auto [w, h, decodes] : {std::tuple{256, 256, true}, {257, 16, false}, {16, 300, false}}) {
    Bytes pixels(size_t(w) * size_t(h) * 4, 0x40);
    int32_t size = 0;
    uint8_t* j = jpeg_compress(&size, pixels.data(), w, h, kCrJpegQuality);
    ASSERT_NE(j, nullptr);
    int32_t bw = 0, bh = 0;
    uint8_t* px = get_cr_codec('j')->uncompress(&bw, &bh, j, size);
    EXPECT_EQ(px != nullptr, decodes) << w << " x " << h;
    std::free(px);
    std::free(j);
  }
}

TEST(CrFile, LevelsOfANewFile) {
  TempDir dir("codec");
  std::string path = dir.at("new.cr");
  CR_FILE* f = cr_open_file(path.c_str(), O_RDWR | O_CREAT, 0644, 32, 100, 100);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->header.cr_tbl_nos, 25u);
  for (int level = 0; level < 6; ++level) EXPECT_EQ(cr_check_level(f, level), 1) << level;
  EXPECT_EQ(f->level_w[5], 4);
  EXPECT_EQ(cr_check_level(f, 6), 0);
  EXPECT_EQ(get_tbl_ofs(f, 99, 40, 0), 16 + 12 * (4 + 3));
  EXPECT_EQ(get_tbl_ofs(f, 0, 0, 1), 16 + 12 * 16);
  CR_MEM_TBL b{};
  EXPECT_EQ(cr_read(&b, f, 0, 0, 0), kR64ErrHeader);  // nothing written yet
  EXPECT_EQ(r64_error, kR64ErrHeader);
  EXPECT_EQ(cr_read(&b, f, 100, 0, 0), kR64ErrPosition);
  EXPECT_EQ(cr_read(&b, f, 0, 0, 6), kR64ErrLevel);
  cr_close_file(f);
  EXPECT_EQ(r64_error, 0);
  CR_FILE* again = cr_open_file(path.c_str(), O_RDWR, 0, 0, 0, 0);  // reopens as written
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->header.rect_size, 32);
  cr_close_file(again);
  EXPECT_EQ(cr_open_file(dir.at("missing").c_str(), O_RDONLY, 0, 32, 1, 1), nullptr);
  EXPECT_EQ(r64_error, kR64ErrSystem);
  EXPECT_EQ(cr_open_file(dir.at("e.cr").c_str(), O_RDWR | O_CREAT, 0644, 0, 10, 10), nullptr);
  EXPECT_EQ(r64_error, kR64ErrMagic);
}

TEST(CrFile, MoreBlocksThanTheCacheHolds) {
  TempDir dir("codec");
  std::string path = dir.at("many.cr");
  CR_FILE* f = cr_open_file(path.c_str(), O_RDWR | O_CREAT, 0644, 1, 20, 20);
  ASSERT_NE(f, nullptr);
  // 400 one-pixel 'n' blocks on level 0, pixel (x, y) = (x, y, 1).
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) {
      const uint8_t block[5] = {0, 0, uint8_t(x), uint8_t(y), 1};
      uint32_t at = f->write_ofs;
      ASSERT_EQ(u_pwrite_full(f->fd, block, 5, at), 5);
      f->write_ofs += 5;
      uint8_t entry[12] = {0, 0, 0, 0, 'n', 1, 2, 3, 0, 0, 0, 5};
      store_be32(entry, at);
      ASSERT_EQ(u_pwrite_full(f->fd, entry, 12, get_tbl_ofs(f, x, y, 0)), 12);
    }
  for (int pass = 0; pass < 2; ++pass)
    for (int i = 0; i < 400; ++i) {
      int x = (i * 7) % 20, y = i / 20;
      CR_MEM_TBL b{};
      ASSERT_EQ(cr_read(&b, f, x, y, 0), 0);
      EXPECT_EQ((Bytes{b.buf, b.buf + 5}), (Bytes{0, 0, uint8_t(x), uint8_t(y), 1}));
      EXPECT_EQ(b.type, 'n');
      EXPECT_EQ(b.cal[2], 3);
      free_cr_mem_tbl(&b);
    }
  cr_close_file(f);
}

// An R64 file of a smooth picture with noise, every level built.
R64_FILE* smooth_r64(const std::string& path, int w, int h, Bytes* img) {
  r64_init();
  R64_FILE* r = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', w, h);
  std::mt19937 rnd(3);
  img->resize(size_t(w) * h * 3);
  for (size_t i = 0; i < img->size(); ++i) {
    const int x = int(i / 3 % w), y = int(i / 3 / w), c = int(i % 3);
    (*img)[i] = uint8_t(128 + 100 * std::sin(x / 37.0 + c) * std::cos(y / 11.0) + rnd() % 9 - 4);
    if (c == 2) r64_set(r, x, y, 0, &(*img)[i - 2]);
  }
  for (int level = 0; r->level_ofs[level + 1]; ++level) r64_new_level(r, level);
  return r;
}

TEST(CrWrite, EveryBlockIsWrittenAndTheImageRebuilds) {
  TempDir dir("codec");
  Bytes img;
  R64_FILE* r = smooth_r64(dir.at("s.r64"), 1000, 40, &img);
  const std::string path = dir.at("s.cr");
  ASSERT_EQ(cr_write_file(path.c_str(), 0644, 32, r), 0);
  for (int rect : {0, 257})  // refused before the file is touched
    EXPECT_EQ((std::pair{cr_write_file(path.c_str(), 0644, rect, r), r64_error}), (std::pair{-1, kR64ErrMagic}));
  r64_close_file(r);

  CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
  ASSERT_NE(f, nullptr);
  // Rebuilt as the store's reader does: the top level (4, 63 x 3, two
  // blocks) as stored, each level below as the level above plus the
  // unshifted residual, clamped.
  std::vector<Bytes> level(6);
  for (int l = 4; l >= 0; --l) {
    const int lw = f->level_w[l], lh = f->level_h[l];
    level[l].resize(size_t(lw) * lh * 3);
    for (int y0 = 0; y0 < lh; y0 += 32)
      for (int x0 = 0; x0 < lw; x0 += 32) {
        CR_MEM_TBL b{};
        ASSERT_EQ(cr_read(&b, f, x0, y0, l), 0) << l << " " << x0 << "," << y0;
        int32_t bw = 0, bh = 0;
        uint8_t* px = get_cr_codec(b.type)->uncompress(&bw, &bh, b.buf, b.size);
        ASSERT_NE(px, nullptr);
        ASSERT_EQ((std::pair{bw, bh}), (std::pair{std::min(32, lw - x0), std::min(32, lh - y0)}));
        for (int i = 0; i < bw * bh * 3; ++i) {
          const int x = x0 + i / 3 % bw, y = y0 + i / 3 / bw, c = i % 3, v = px[(i / 3) * 4 + c];
          const int above = l == 4 ? 0 : level[l + 1][(size_t(y / 2) * f->level_w[l + 1] + x / 2) * 3 + c];
          const int value = l == 4 ? v : std::clamp(above + cr_inv_cal(uint8_t(v), b.cal[c]), 0, 255);
          level[l][(size_t(y) * lw + x) * 3 + c] = uint8_t(value);
        }
        std::free(px);
        free_cr_mem_tbl(&b);
      }
  }
  cr_close_file(f);
  double err = 0;
  for (size_t i = 0; i < img.size(); ++i) err += std::pow(double(img[i]) - level[0][i], 2);
  EXPECT_GT(10 * std::log10(255.0 * 255.0 / (err / double(img.size()))), 30.0);

  r = smooth_r64(dir.at("tiny.r64"), 2, 2, &img);  // no level at all
  EXPECT_EQ((std::pair{cr_write_file(path.c_str(), 0644, 32, r), r64_error}), (std::pair{-1, kR64ErrRule}));
  r64_close_file(r);
}

}  // namespace
