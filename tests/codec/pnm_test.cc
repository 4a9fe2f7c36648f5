#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>


#include "base/file.h"
#include "codec/pnm.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace {

struct Pnm : ::testing::Test {
  TempDir dir{"codec"};
  PPM_INFO p{};
  int open(const std::string& name, int flags = O_RDWR) {
    p = PPM_INFO{};
    p.pi_fd = u_open64(dir.at(name).c_str(), flags, 0644);
    return p.pi_fd;
  }
};

// A P6 image whose pixel (x, y) is (x, y, 7).
std::string coords_image(int w, int h) {
  std::string s = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) s += {char(x), char(y), char(7)};
  return s;
}

TEST_F(Pnm, TheRowCacheKeepsTenRows) {
  write_text(dir.at("a.ppm"), coords_image(5, 12));
  ASSERT_GE(open("a.ppm", O_RDONLY), 0);
  ASSERT_EQ(read_header(&p), 0);
  uint8_t c[3];
  for (uint32_t y = 0; y < 11; ++y) {
    ASSERT_EQ(read_pixel(&p, 4, y, c), 0);
    EXPECT_EQ(c[1], y);
  }
  EXPECT_EQ(p.pi_cache[0].pc_h, 10);
  EXPECT_EQ(p.pi_cache[9].pc_h, 1);  // row 0 was dropped
  // Cached rows are served without the file.
  write_text(dir.at("a.ppm"), "");
  ASSERT_EQ(read_pixel(&p, 3, 5, c), 0);
  EXPECT_EQ(c[0], 3);
  EXPECT_EQ(p.pi_cache[0].pc_h, 5);
  // Outside the image, or past the end of the file: zeros.
  EXPECT_EQ(read_pixel(&p, 5, 0, c), -1);
  EXPECT_EQ(read_pixel(&p, 0, 11, c), 0);
  EXPECT_EQ(c[0] + c[1] + c[2], 0);
  EXPECT_EQ(close_ppm(&p), 0);
}

TEST_F(Pnm, WrittenRowsLandAtTheirOffsets) {
  ASSERT_GE(open("w.ppm", O_RDWR | O_CREAT | O_TRUNC), 0);
  p.pi_width = 4;
  p.pi_height = 6;
  p.pi_max = 255;
  ASSERT_EQ(write_header(&p), 0);
  EXPECT_EQ(p.pi_offset, 11);
  const uint8_t red[3] = {255, 0, 0}, blue[3] = {0, 0, 255};
  for (uint32_t x = 0; x < 4; ++x) ASSERT_EQ(write_pixel(&p, x, 3, red), 0);
  ASSERT_EQ(write_pixel(&p, 1, 5, blue), 0);
  EXPECT_EQ(write_pixel(&p, 4, 5, blue), -1);
  ASSERT_EQ(close_ppm(&p), 0);
  std::string s = read_text(dir.at("w.ppm"));
  ASSERT_EQ(s.size(), 11u + 6 * 4 * 3);
  EXPECT_EQ(s.substr(0, 11), "P6\n4 6\n255\n");
  EXPECT_EQ(s.substr(11 + 3 * 12, 12), std::string("\xff\0\0\xff\0\0\xff\0\0\xff\0\0", 12));
  EXPECT_EQ(s.substr(11 + 5 * 12, 6), std::string("\0\0\0\0\0\xff", 6));
}

TEST_F(Pnm, WritePpmAndItsRefusals) {
  ASSERT_GE(open("whole.ppm", O_RDWR | O_CREAT | O_TRUNC), 0);
  p.pi_width = 2;
  p.pi_height = 1;
  p.pi_max = 255;
  const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(write_ppm(&p, data), 0);
  close_ppm(&p);
  EXPECT_EQ(read_text(dir.at("whole.ppm")), std::string("P6\n2 1\n255\n\1\2\3\4\5\6"));
  // Pixel paths refuse what is not raw 8-bit P5/P6.
  write_text(dir.at("deep.ppm"), "P6\n1 1\n65535\n\0\0\0\0\0\0");
  ASSERT_GE(open("deep.ppm", O_RDONLY), 0);
  ASSERT_EQ(read_header(&p), 0);
  EXPECT_EQ(p.pi_max, 65535);
  uint8_t c[3];
  EXPECT_EQ(read_pixel(&p, 0, 0, c), -1);
  close_ppm(&p);
}

// Images past the writer's piece size land whole: the header in the first
// piece, every later piece at its place, the last one short.
TEST_F(Pnm, WritePpmOfImagesSpanningPieces) {
  for (auto [w, h] : {std::pair{700u, 600u}, {1024u, 683u}, {1u, 349525u}}) {
    Bytes data(size_t{w} * h * 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 4099);
    ASSERT_GE(open("big.ppm", O_RDWR | O_CREAT | O_TRUNC), 0);
    p.pi_width = w;
    p.pi_height = h;
    p.pi_max = 255;
    ASSERT_EQ(write_ppm(&p, data.data()), 0);
    close_ppm(&p);
    const std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    EXPECT_TRUE(read_text(dir.at("big.ppm")) == head + to_text(data)) << w << "x" << h;
  }
}

int shrink(int32_t* sx, int32_t* sy, int32_t* rw, int32_t* rh, void* work) {
  *sx *= 2;
  *sy *= 2;
  *rw = *rh = *static_cast<int*>(work);
  return *sx == 0 && *sy == 0 ? -1 : 0;  // the corner stays grey
}

TEST_F(Pnm, TheConverterAveragesWindows) {
  std::string grey = "P5\n4 4\n255\n";
  for (int i = 0; i < 16; ++i) grey += char(i * 10);
  write_text(dir.at("g.pgm"), grey);
  int half = 1;
  ASSERT_EQ(ppm_converter(dir.at("g.pgm").c_str(), dir.at("o.pgm").c_str(), 2, 3, shrink, &half), 0);
  std::string out = read_text(dir.at("o.pgm"));
  // Row 0: grey, then the clipped window around (2, 0): rows 0-1, columns 1-3.
  // Row 1 at source row 2; row 2 lies outside the source: grey.
  EXPECT_EQ(out, std::string("P5\n2 3\n255\n") + char(128) + char((10 + 20 + 30 + 50 + 60 + 70) / 6) +
                     char((40 + 50 + 80 + 90 + 120 + 130) / 6) + char((50 + 60 + 70 + 90 + 100 + 110 + 130 + 140 + 150) / 9) +
                     char(128) + char(128));
  half = -1;  // an empty window
  ASSERT_EQ(ppm_converter(dir.at("g.pgm").c_str(), dir.at("o.pgm").c_str(), 1, 2, shrink, &half), 0);
  EXPECT_EQ(read_text(dir.at("o.pgm")), std::string("P5\n1 2\n255\n") + char(128) + char(128));
  write_text(dir.at("bad.ppm"), "P3\n1 1\n255\n0 0 0\n");
  EXPECT_EQ(ppm_converter(dir.at("bad.ppm").c_str(), dir.at("o.pgm").c_str(), 1, 1, shrink, &half), -1);
  EXPECT_EQ(ppm_converter(dir.at("none.ppm").c_str(), dir.at("o.pgm").c_str(), 1, 1, shrink, &half), -1);
}

}  // namespace
