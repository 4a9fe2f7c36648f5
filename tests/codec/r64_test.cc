#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "codec/r64.h"
#include "codec/r64_level.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace {

struct R64Closer {
  void operator()(R64_FILE* f) const { r64_close_file(f); }
};
using R64Ptr = std::unique_ptr<R64_FILE, R64Closer>;

R64Ptr open_r64(const std::string& path, int ctl = O_RDONLY, char type = 0, int w = 0, int h = 0) {
  r64_init();
  return R64Ptr(r64_open_file(path.c_str(), ctl, 0644, type, w, h));
}
constexpr int kNew = O_RDWR | O_CREAT | O_TRUNC;

// A development aid kept with the tests: a colour file `size` wide and 8
// high whose rows 0..2 show three arrays as grey (truncated, limited to
// 0..255) and whose row 3 and last column are red.
void save_test(const std::string& path, const double* const ch[3], int size) {
  std::fprintf(stderr, "save_test %i %i\n", size, 8);
  R64Ptr f = open_r64(path, kNew, 'P', size, 8);
  const uint8_t red[3] = {255, 0, 0};
  for (int x = 0; x < size; ++x)
    for (int y = 0; y < 8; ++y) {
      const uint8_t v = y < 3 ? uint8_t(std::clamp(ch[y][x], 0.0, 255.0)) : 0, grey[3] = {v, v, v};
      r64_set(f.get(), x, y, 0, y == 3 || x == size - 1 ? red : grey);
    }
}

TEST(R64File, HeaderAndStoredLayout) {
  TempDir dir("codec");
  open_r64(dir.at("p.r64"), kNew, 'P', 100, 60);
  EXPECT_EQ(read_bytes(dir.at("p.r64")), (Bytes{0x52, 0x36, 0x34, 0x50, 0x00, 0x64, 0x00, 0x3C}));
  const uint8_t a = 0xA1, b = 0xB2, set = 255;
  {
    R64Ptr g = open_r64(dir.at("g.r64"), kNew, 'G', 130, 130), bi = open_r64(dir.at("b.r64"), kNew, 'B', 100, 10);
    ASSERT_EQ(r64_set(g.get(), 64, 64, 0, &a) | r64_set(g.get(), 129, 1, 0, &b) | r64_set(bi.get(), 70, 2, 0, &set), 0);
  }
  // Block (64, 64) starts after 64 full rows and one block of 64 x 64;
  // block (128, 0) holds rows of 2 bytes.
  Bytes g = read_bytes(dir.at("g.r64"));
  EXPECT_EQ(g[8 + 130 * 64 + 64 * 64], 0xA1);
  EXPECT_EQ(g[8 + 2 * 64 * 64 + 1 * 2 + 1], 0xB2);
  // Bilevel column 70 is bit 1 of byte 0 of its row (rows of 5 bytes) in
  // the block at 64, which starts after 10 rows of 8 bytes.
  EXPECT_EQ(read_bytes(dir.at("b.r64"))[8 + 10 * 8 + 2 * 5], 0x02);
}

// An opening that would empty a file or make one it cannot give a header
// is refused before the file is touched; a file with a header opens for
// writing whatever the header arguments say.
TEST(R64File, RefusedCreationsLeaveFilesAlone) {
  TempDir dir("codec");
  const std::string path = dir.at("p.r64");
  {
    R64Ptr f = open_r64(path, kNew, 'G', 70, 70);
    const uint8_t v = 9;
    ASSERT_EQ(r64_set(f.get(), 65, 65, 0, &v), 0);
  }
  const Bytes before = read_bytes(path);
  struct Case {
    int ctl;
    char type;
    int w, h;
  } cases[] = {{kNew, 'G', 32768, 10}, {kNew, 'G', 10, 0}, {kNew, 'X', 10, 10}, {O_RDONLY | O_TRUNC, 'G', 10, 10},
               {O_WRONLY | O_TRUNC, 'P', -1, 5}};
  for (const Case& c : cases) {
    EXPECT_EQ(open_r64(path, c.ctl, c.type, c.w, c.h), nullptr) << c.type << c.w << "x" << c.h;
    EXPECT_EQ(r64_error, kR64ErrMagic) << c.type << c.w << "x" << c.h;
    EXPECT_EQ(read_bytes(path), before) << c.type << c.w << "x" << c.h;
  }
  EXPECT_EQ(open_r64(dir.at("none.r64"), O_RDWR | O_CREAT, 'G', 0, 0), nullptr);
  EXPECT_EQ(r64_error, kR64ErrMagic);
  EXPECT_FALSE(std::filesystem::exists(dir.at("none.r64")));
  R64Ptr f = open_r64(path, O_RDWR | O_CREAT, 0, 0, 0);
  ASSERT_NE(f, nullptr);
  uint8_t got = 0;
  ASSERT_EQ(r64_red(&got, f.get(), 65, 65, 0), 0);
  EXPECT_EQ(got, 9);
}

TEST(R64File, OutsideTheImageAndTheFile) {
  TempDir dir("codec");
  const std::string path = dir.at("p.r64");
  R64Ptr f = open_r64(path, kNew, 'P', 100, 100);
  const uint8_t px[3] = {1, 2, 3}, bg[3] = {7, 8, 9};
  const int background_rule = 0, bad_rule = 2;
  uint8_t got[3];
  ASSERT_EQ(r64_set(f.get(), 0, 10, 0, px), 0);
  ASSERT_EQ(r64_red(got, f.get(), -5, 10, 0), 0);
  EXPECT_EQ(Bytes(got, got + 3), Bytes(px, px + 3));
  ASSERT_EQ(r64_ctl(f.get(), 0, &background_rule) | r64_ctl(f.get(), 1, bg), 0);
  ASSERT_EQ(r64_red(got, f.get(), -5, 10, 0), 0);
  EXPECT_EQ(Bytes(got, got + 3), Bytes(bg, bg + 3));
  EXPECT_EQ((std::pair{r64_ctl(f.get(), 0, &bad_rule), r64_error}), (std::pair{-1, kR64ErrControl}));
  EXPECT_EQ((std::pair{r64_set(f.get(), 100, 0, 0, px), r64_error}), (std::pair{-1, kR64ErrPosition}));
  EXPECT_EQ((std::pair{r64_set(f.get(), 0, 0, 6, px), r64_error}), (std::pair{-1, kR64ErrLevel}));  // levels 0..5
  // A pixel of level 5 (4 x 4) past the end: the gap fills with background.
  ASSERT_EQ(r64_set(f.get(), 3, 3, 5, px), 0);
  ASSERT_EQ(r64_close_file(f.release()), 0);
  Bytes file = read_bytes(path);
  EXPECT_EQ(file.size(), 8 + 3 * (100 * 100 + 50 * 50 + 25 * 25 + 13 * 13 + 7 * 7 + 16u));
  EXPECT_EQ(Bytes(&file[8 + 3 * 64 * 100], &file[8 + 3 * 64 * 100 + 6]), (Bytes{7, 8, 9, 7, 8, 9}));
  EXPECT_EQ(Bytes(file.end() - 3, file.end()), Bytes(px, px + 3));

  // Read-only, cut after the first band: the second is beyond the end.
  write_bytes(path, std::span(file).first(8 + 3 * 64 * 100));
  f = open_r64(path);
  EXPECT_EQ(r64_check_level(f.get(), 0), 0);
  EXPECT_EQ((std::pair{r64_red(got, f.get(), 0, 70, 0), r64_error}), (std::pair{-1, kR64ErrBeyondEnd}));
  EXPECT_EQ((std::pair{r64_new_level(f.get(), 0), r64_error}), (std::pair{-1, kR64ErrLevel}));
}

TEST(R64File, FilesThatAreRefused) {
  TempDir dir("codec");
  const std::string path = dir.at("bad.r64");
  for (auto [bytes, ctl, type, w, code] : {std::tuple{Bytes{}, O_RDONLY, 'P', 4, kR64ErrHeader},
                                            {Bytes{'R', '6', '4', 'G', 0, 4, 0}, O_RDWR, 'P', 4, kR64ErrHeader},
                                            {Bytes{'R', '6', '5', 'G', 0, 4, 0, 4}, O_RDWR, 'P', 4, kR64ErrMagic},
                                            {Bytes{'R', '6', '4', 'G', 0x80, 4, 0, 4}, O_RDONLY, 'P', 4, kR64ErrMagic},
                                            {Bytes{}, O_RDWR, 'P', 32768, kR64ErrMagic},
                                            {Bytes{}, O_RDWR, 'Q', 4, kR64ErrMagic}}) {
    write_bytes(path, bytes);
    EXPECT_EQ(open_r64(path, ctl, type, w, 4), nullptr) << hex(bytes) << " " << type << w;
    EXPECT_EQ(r64_error, code) << hex(bytes) << " " << type << w;
  }
  EXPECT_EQ(open_r64(dir.at("missing")), nullptr);
  EXPECT_EQ(r64_error, kR64ErrSystem);
}

TEST(R64File, AWriteThatFailsMakesCloseFail) {
  TempDir dir("codec");
  R64Ptr f = open_r64(dir.at("full.r64"), kNew, 'P', 1000, 1000);
  const uint8_t px[3] = {1, 2, 3};
  for (int y = 0; y < 1000; y += 64) ASSERT_EQ(r64_set(f.get(), 999, y, 0, px), 0);
  rlimit old{}, small{};
  getrlimit(RLIMIT_FSIZE, &old);
  small = old;
  small.rlim_cur = 100000;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int rc = r64_close_file(f.release()), error = r64_error;
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ((std::pair{rc, error}), (std::pair{-1, kR64ErrSystem}));
}

TEST(R64Level, TheTopLevelHasNoNextAndTheTestPicture) {
  TempDir dir("codec");
  R64Ptr f = open_r64(dir.at("g.r64"), kNew, 'G', 6, 6);  // levels 0 and 1
  const uint8_t v = 9;
  for (int i = 0; i < 36; ++i) r64_set(f.get(), i % 6, i / 6, 0, &v);
  ASSERT_EQ(r64_new_level(f.get(), 0), 0);
  EXPECT_EQ((std::pair{r64_new_level(f.get(), 1), r64_error}), (std::pair{-1, kR64ErrLevel}));

  const double r[5] = {-4, 10.9, 300, 0, 0}, zero[5] = {};
  const double* const ch[3] = {r, zero, zero};
  save_test(dir.at("test.r64"), ch, 5);
  f = open_r64(dir.at("test.r64"));
  uint8_t px[3];
  for (auto [x, y, want] : {std::tuple{0, 0, 0}, {1, 0, 10}, {2, 0, 255}, {2, 3, 255}})
    EXPECT_EQ(r64_red(px, f.get(), x, y, 0) + px[0], want) << x << "," << y;
}

}  // namespace
