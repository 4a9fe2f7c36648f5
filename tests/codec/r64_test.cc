#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <random>

#include "codec/r64.h"
#include "codec/r64_level.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace {

struct R64Closer {
  void operator()(R64_FILE* f) const { r64_close_file(f); }
};
using R64Ptr = std::unique_ptr<R64_FILE, R64Closer>;

R64Ptr open_new(const std::string& path, char type, int w, int h) {
  r64_init();
  return R64Ptr(r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h));
}

R64Ptr open_existing(const std::string& path, int ctl = O_RDONLY) {
  return R64Ptr(r64_open_file(path.c_str(), ctl, 0, 0, 0, 0));
}

// A development aid kept with the tests: a colour file of width `size` and
// height 8 whose rows 0..2 show three channel arrays as grey (truncated,
// limited to 0..255) and whose row 3 and last column are red.
void save_test(const std::string& path, const double* r, const double* g, const double* b, int size) {
  std::fprintf(stderr, "save_test %i %i\n", size, 8);
  R64Ptr f = open_new(path, 'P', size, 8);
  for (int x = 0; x < size; ++x) {
    const double* ch[3] = {r, g, b};
    for (int y = 0; y < 3; ++y) {
      const double v = ch[y][x];
      const uint8_t grey = uint8_t(std::clamp(v, 0.0, 255.0)), px[3] = {grey, grey, grey};
      r64_set(f.get(), x, y, 0, px);
    }
  }
  const uint8_t red[3] = {255, 0, 0};
  for (int x = 0; x < size; ++x) r64_set(f.get(), x, 3, 0, red);
  for (int y = 0; y < 8; ++y) r64_set(f.get(), size - 1, y, 0, red);
}

TEST(R64File, HeaderAndStoredLayout) {
  TempDir dir("codec");
  open_new(dir.at("p.r64"), 'P', 100, 60);
  EXPECT_EQ(read_bytes(dir.at("p.r64")), (Bytes{0x52, 0x36, 0x34, 0x50, 0x00, 0x64, 0x00, 0x3C}));

  // Grey 130 wide: block (64, 64) starts after 64 full rows and one block
  // of h_len * 64 bytes; block (128, 0) holds rows of 2 bytes.
  {
    R64Ptr f = open_new(dir.at("g.r64"), 'G', 130, 130);
    ASSERT_NE(f, nullptr);
    const uint8_t a = 0xA1, b = 0xB2;
    ASSERT_EQ(r64_set(f.get(), 64, 64, 0, &a), 0);
    ASSERT_EQ(r64_set(f.get(), 129, 1, 0, &b), 0);
  }
  Bytes g = read_bytes(dir.at("g.r64"));
  EXPECT_EQ(g[8 + 130 * 64 + 1 * (64 * 64)], 0xA1);
  EXPECT_EQ(g[8 + 2 * (64 * 64) + 1 * 2 + 1], 0xB2);

  // Bilevel: column 70 is bit 1 of byte 0 of its row in the block at 64.
  {
    R64Ptr f = open_new(dir.at("b.r64"), 'B', 100, 10);
    const uint8_t set = 1;
    ASSERT_EQ(r64_set(f.get(), 70, 2, 0, &set), 0);
  }
  Bytes b = read_bytes(dir.at("b.r64"));
  const size_t block64 = 8 + 10 * 8;  // after the first block, 10 rows of 8 bytes
  EXPECT_EQ(b[block64 + 2 * 5], 0x02);  // row 2, rows of ceil(36 / 8) = 5 bytes
}

TEST(R64File, RandomImagesReadBackAfterReopening) {
  TempDir dir("codec");
  std::mt19937 rnd(7);
  // The grey image has more blocks than the cache holds.
  for (auto [type, w, h] : {std::tuple{'P', 131, 67}, {'G', 1201, 1101}, {'B', 77, 133}}) {
    const int k = type == 'P' ? 3 : 1;
    Bytes img(size_t(w) * h * k);
    for (uint8_t& v : img) v = type == 'B' ? (rnd() & 1) * 255 : uint8_t(rnd());
    const std::string path = dir.at(std::string(1, type) + ".r64");
    {
      R64Ptr f = open_new(path, type, w, h);
      ASSERT_NE(f, nullptr);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_EQ(r64_set(f.get(), x, y, 0, &img[(size_t(y) * w + x) * k]), 0);
      EXPECT_EQ(r64_close_file(f.release()), 0);
    }
    R64Ptr f = open_existing(path);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(r64_check_level(f.get(), 0), 1);
    EXPECT_EQ(r64_check_level(f.get(), 1), 0);  // never written
    for (int x = 0; x < w; ++x)  // column by column, against the cache's grain
      for (int y = 0; y < h; ++y) {
        uint8_t px[3] = {};
        ASSERT_EQ(r64_red(px, f.get(), x, y, 0), 0);
        ASSERT_EQ(Bytes(px, px + k), Bytes(&img[(size_t(y) * w + x) * k], &img[(size_t(y) * w + x) * k] + k))
            << type << " " << x << "," << y;
      }
  }
}

TEST(R64File, OutsideTheImageAndTheFile) {
  TempDir dir("codec");
  const std::string path = dir.at("p.r64");
  R64Ptr f = open_new(path, 'P', 100, 100);
  const uint8_t px[3] = {1, 2, 3}, bg[3] = {7, 8, 9};
  ASSERT_EQ(r64_set(f.get(), 0, 10, 0, px), 0);
  uint8_t got[3];
  ASSERT_EQ(r64_red(got, f.get(), -5, 10, 0), 0);
  EXPECT_EQ(Bytes(got, got + 3), Bytes(px, px + 3));
  const int background_rule = 0, bad_rule = 2;
  ASSERT_EQ(r64_ctl(f.get(), 0, &background_rule), 0);
  ASSERT_EQ(r64_ctl(f.get(), 1, bg), 0);
  ASSERT_EQ(r64_red(got, f.get(), -5, 10, 0), 0);
  EXPECT_EQ(Bytes(got, got + 3), Bytes(bg, bg + 3));
  EXPECT_EQ(r64_ctl(f.get(), 0, &bad_rule), -1);
  EXPECT_EQ(r64_error, kR64ErrControl);
  EXPECT_EQ(r64_ctl(f.get(), 5, bg), -1);
  EXPECT_EQ(r64_set(f.get(), 100, 0, 0, px), -1);
  EXPECT_EQ(r64_error, kR64ErrPosition);
  EXPECT_EQ(r64_set(f.get(), 0, 0, 6, px), -1);  // 100 x 100 has levels 0..5
  EXPECT_EQ(r64_error, kR64ErrLevel);
  uint8_t* data = nullptr;
  int w, h, size;
  EXPECT_EQ(r64_plane(&data, &w, &h, &size, f.get(), 70, 99, 0), 0);
  EXPECT_EQ((std::tuple{w, h, size}), (std::tuple{36, 36, 36 * 36 * 3}));
  EXPECT_EQ(r64_plane(&data, &w, &h, &size, f.get(), 100, 0, 0), 0);
  EXPECT_EQ(data, nullptr);
  // A pixel of level 5 (4 x 4) written past the end: the gap between
  // fills with the background colour.
  ASSERT_EQ(r64_set(f.get(), 3, 3, 5, px), 0);
  ASSERT_EQ(r64_close_file(f.release()), 0);
  Bytes file = read_bytes(path);
  EXPECT_EQ(file.size(), 8 + 3 * (100 * 100 + 50 * 50 + 25 * 25 + 13 * 13 + 7 * 7 + 16u));
  EXPECT_EQ(Bytes(&file[8 + 3 * 64 * 100], &file[8 + 3 * 64 * 100 + 6]), (Bytes{7, 8, 9, 7, 8, 9}));
  EXPECT_EQ(Bytes(file.end() - 3, file.end()), Bytes(px, px + 3));

  // Read-only: a block the file does not reach is an error.
  f = open_existing(path);
  EXPECT_EQ(r64_check_level(f.get(), 5), 1);
  ASSERT_EQ(r64_red(got, f.get(), 50, 50, 0), 0);
  f.reset();
  write_bytes(path, std::span(file).first(8 + 3 * 64 * 100));
  f = open_existing(path);
  EXPECT_EQ(r64_check_level(f.get(), 0), 0);
  EXPECT_EQ(r64_red(got, f.get(), 0, 70, 0), -1);
  EXPECT_EQ(r64_error, kR64ErrBeyondEnd);
  EXPECT_EQ(r64_new_level(f.get(), 0), -1);
  EXPECT_EQ(r64_error, kR64ErrLevel);
}

TEST(R64File, FilesThatAreRefused) {
  TempDir dir("codec");
  r64_init();
  struct Case {
    const char* what;
    Bytes bytes;
    int ctl;
    char type;
    int w, h, code;
  } cases[] = {
      {"missing", {}, O_RDONLY, 'P', 1, 1, kR64ErrSystem},
      {"empty, read-only", {'-'}, O_RDONLY, 'P', 4, 4, kR64ErrHeader},
      {"short header", {'R', '6', '4', 'G', 0, 4, 0}, O_RDWR, 'P', 4, 4, kR64ErrHeader},
      {"magic", {'R', '6', '5', 'G', 0, 4, 0, 4}, O_RDWR, 'P', 4, 4, kR64ErrMagic},
      {"type", {'R', '6', '4', 'X', 0, 4, 0, 4}, O_RDONLY, 'P', 4, 4, kR64ErrMagic},
      {"negative width", {'R', '6', '4', 'G', 0x80, 4, 0, 4}, O_RDONLY, 'P', 4, 4, kR64ErrMagic},
      {"new, too wide", {'-'}, O_RDWR, 'P', 32768, 4, kR64ErrMagic},
      {"new, no height", {'-'}, O_RDWR, 'G', 4, 0, kR64ErrMagic},
      {"new, unknown type", {'-'}, O_RDWR, 'Q', 4, 4, kR64ErrMagic},
  };
  for (const Case& c : cases) {
    const std::string path = dir.at("bad.r64");
    std::remove(path.c_str());
    if (c.bytes != Bytes{}) write_bytes(path, c.bytes == Bytes{'-'} ? Bytes{} : c.bytes);
    EXPECT_EQ(r64_open_file(path.c_str(), c.ctl, 0644, c.type, c.w, c.h), nullptr) << c.what;
    EXPECT_EQ(r64_error, c.code) << c.what;
  }
}

TEST(R64File, AWriteThatFailsMakesCloseFail) {
  TempDir dir("codec");
  R64Ptr f = open_new(dir.at("full.r64"), 'P', 1000, 1000);
  const uint8_t px[3] = {1, 2, 3};
  for (int y = 0; y < 1000; y += 64) ASSERT_EQ(r64_set(f.get(), 999, y, 0, px), 0);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 100000;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int rc = r64_close_file(f.release());
  const int error = r64_error;
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(error, kR64ErrSystem);
}

TEST(R64Level, TransformPiecesAndThePlainMean) {
  EXPECT_EQ(upsidedown(1, 3), 4);
  EXPECT_EQ(upsidedown(6, 3), 3);
  const COMPLEX i{1, 0}, sq = mulc(i, i);
  EXPECT_EQ((std::pair{sq.re, sq.im}), (std::pair{-1.0, 0.0}));
  EXPECT_EQ(window_fn(0, 5), 0.0);
  EXPECT_EQ(window_fn(4, 4), 1.0);
  EXPECT_EQ(window_fn(2, 2), 0.25);

  TempDir dir("codec");
  R64Ptr f = open_new(dir.at("g.r64"), 'G', 6, 6);
  const uint8_t v[4] = {10, 20, 30, 41};
  for (int i = 0; i < 36; ++i) r64_set(f.get(), i % 6, i / 6, 0, &v[(i % 2) + 2 * ((i / 6) % 2)]);
  ASSERT_EQ(r64_new_level(f.get(), 0), 0);
  uint8_t got = 0;
  ASSERT_EQ(r64_red(&got, f.get(), 1, 1, 1), 0);
  EXPECT_EQ(got, 25);
  EXPECT_EQ(r64_new_level(f.get(), 1), -1);  // level 2 does not exist
  EXPECT_EQ(r64_error, kR64ErrLevel);

  const double r[5] = {-4, 10.9, 300, 0, 0}, g[5] = {}, b[5] = {};
  save_test(dir.at("test.r64"), r, g, b, 5);
  f = open_existing(dir.at("test.r64"));
  uint8_t px[3];
  ASSERT_EQ(r64_red(px, f.get(), 1, 0, 0), 0);
  EXPECT_EQ(px[0], 10);
  ASSERT_EQ(r64_red(px, f.get(), 2, 0, 0), 0);
  EXPECT_EQ(px[0], 255);
}

}  // namespace
