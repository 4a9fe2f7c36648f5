// The brightness curve and saturation against the Python model.
#include <cmath>

#include "elements/value_mode.h"
#include "element_test_util.h"

TEST(ValueModes, CurveTablesMatchTheModel) {
  ASSERT_EQ(tbl_flag.load(), 1);  // built at start-up
  int checked = 0;
  for (const std::string& line : run_model("curve")) {
    std::vector<std::string> f = split(line, ' ');
    int at = std::stoi(f[1]), want = std::stoi(f[2]);
    if (f[0] == "u2s") EXPECT_EQ(__uchar2short(static_cast<uint8_t>(at)), want) << line;
    else EXPECT_EQ(__short2uchar(at), want) << line;
    ++checked;
  }
  EXPECT_EQ(checked, 256 + 511);
  for (int u = 0; u < 256; ++u) {
    EXPECT_EQ(__short2uchar(__uchar2short(static_cast<uint8_t>(u))), u);
    EXPECT_NE(__uchar2short(static_cast<uint8_t>(u)), 0);
  }
  EXPECT_EQ(__short2uchar(1000), 255);
  EXPECT_EQ(__short2uchar(-1000), 0);
}

TEST(ValueModes, RoundIntSaturatesAsNpClip) {
  int checked = 0;
  for (const std::string& line : run_model("clip")) {
    std::vector<std::string> f = split(line, ' ');
    int code = std::stoi(f[0]), opt = std::stoi(f[1]);
    int64_t org = std::stoll(f[2]), want = std::stoll(f[3]);
    uint8_t buf[8] = {};
    round_int(code + 16, buf, org, opt);  // a vector's code selects its element type
    int64_t got = 0;
    switch (code) {
      case 2: got = static_cast<int8_t>(buf[0]); break;
      case 3: got = int16_t(buf[0] | buf[1] << 8); break;
      case 4: { int32_t v; std::memcpy(&v, buf, 4); got = v; break; }
      case 6: got = buf[0]; break;
      case 7: { uint16_t v; std::memcpy(&v, buf, 2); got = v; break; }
      default: { uint32_t v; std::memcpy(&v, buf, 4); got = v; break; }
    }
    EXPECT_EQ(got, want) << line;
    ++checked;
  }
  EXPECT_GT(checked, 150);
  int64_t wide = 0;
  round_int(5, &wide, INT64_MIN + 3, 0);
  EXPECT_EQ(wide, INT64_MIN + 3);
  float f = 0;
  round_int(10, &f, (int64_t{1} << 53) + 1, 0);
  EXPECT_EQ(f, static_cast<float>(int64_t{1} << 53));
  uint8_t bit = 0, untouched = 77;
  round_int(1, &bit, 256, 0);
  EXPECT_EQ(bit, 1);
  round_int(12, &untouched, 5, 0);
  EXPECT_EQ(untouched, 77);
}
