// ZU conversion against numpy's casts, the total order, values that outlive
// their datum, held ZU values, and the printers.
#include <cmath>

#include "elements/geometry.h"
#include "elements/held.h"
#include "elements/print.h"
#include "elements/zu_convert.h"
#include "element_test_util.h"
#include "stream/stream.h"
#include "support/text/wide.h"
#include "zu/value.h"

namespace {

using ZuConvert = ElementsTest;

// sexp2md then md2sexp of s through tp; the datum is freed.
ZU_SEXP* through(const MATRIX_DATA_TYPE* tp, ZU_SEXP* s) {
  int cpy = -1;
  void* d = tp->sexp2md(&cpy, tp, s);
  if (!d) return nullptr;
  ZU_SEXP* r = tp->md2sexp(tp, d);
  EXPECT_EQ(cpy, 1);
  tp->free_data(const_cast<MATRIX_DATA_TYPE*>(tp), d);
  return r;
}

}  // namespace

TEST_F(ZuConvert, IntegersAndFloatsCastAsNumpyDoes) {
  int lines = 0;
  for (const std::string& line : run_model("casts")) {
    std::vector<std::string> f = split(line, ' ');
    ASSERT_EQ(f.size(), 3u) << line;
    ++lines;
    if (f[0] == "float") {
      ZU_SEXP* r = through(&mx_type_float, get_floating(std::strtod(f[1].c_str(), nullptr), nullptr));
      ASSERT_EQ(get_type(r), ZU_TYPE_FLOATING) << line;
      double want = std::strtod(f[2].c_str(), nullptr);
      EXPECT_EQ(std::memcmp(&r->floating.num, &want, 8), 0) << line << " got " << r->floating.num;
    } else if (f[0] == "double") {
      ZU_SEXP* r = through(&mx_type_double, get_integer(std::stoll(f[1]), nullptr));
      EXPECT_EQ(r->floating.num, std::strtod(f[2].c_str(), nullptr)) << line;
    } else if (f[0] == "uint64_high") {
      int cpy;
      void* d = mx_type_uint64.sexp2md(&cpy, &mx_type_uint64, get_integer(std::stoll(f[1]), nullptr));
      EXPECT_EQ(*static_cast<uint64_t*>(d), std::stoull(f[2])) << line;
      EXPECT_EQ(mx_type_uint64.md2sexp(&mx_type_uint64, d)->integer.num, std::stoll(f[1])) << line;
      mxt_free_data(&mx_type_uint64, d);
    } else {
      MATRIX_DATA_TYPE* tp = search_matrix_data_type(f[0].c_str());
      ASSERT_NE(tp, nullptr) << line;
      ZU_SEXP* r = through(tp, get_integer(std::stoll(f[1]), nullptr));
      int64_t want = f[2][0] == '-' ? std::stoll(f[2]) : static_cast<int64_t>(std::stoull(f[2]));
      EXPECT_EQ(r->integer.num, want) << line;
    }
  }
  EXPECT_GT(lines, 150);
  // Floats take floating values only; doubles both; units are ignored.
  EXPECT_EQ(through(&mx_type_float, get_integer(3, nullptr)), nullptr);
  EXPECT_EQ(through(&mx_type_double, get_integer(3, W(U"m")))->floating.num, 3.0);
  EXPECT_EQ(through(&mx_type_int8, get_string_ascii("3")), nullptr);
  EXPECT_EQ(through(&mx_type_bit, get_integer(256, nullptr))->integer.num, 1);
}

TEST_F(ZuConvert, TextsRoundTripAsUtf8) {
  const char32_t* texts[] = {U"", U"plain", U"\u00e9t\u00e9", U"\u65e5\u672c\u8a9e", U"\U0001F600 x"};
  const char* utf8[] = {"", "plain", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "\xf0\x9f\x98\x80 x"};
  for (int i = 0; i < 5; ++i) {
    int cpy;
    auto* d = static_cast<char*>(mx_type_string.sexp2md(&cpy, &mx_type_string, get_string(W(texts[i]))));
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, utf8[i]);
    ZU_SEXP* back = mx_type_string.md2sexp(&mx_type_string, d);
    EXPECT_EQ(cmp_sexp(back, get_string(W(texts[i]))), 0) << i;
    mxt_free_data(&mx_type_string, d);
  }
}

TEST_F(ZuConvert, TotalOrder) {
  double nan = std::nan(""), five = 5.0, zero = 0.0, minus_zero = -0.0;
  EXPECT_NE(mx_type_double.cmp(&mx_type_double, &nan, &five), 0);  // a NaN stored over 5.0 is a change
  EXPECT_NE(mx_type_double.cmp(&mx_type_double, &five, &nan), 0);
  EXPECT_EQ(mx_type_double.cmp(&mx_type_double, &nan, &five), -mx_type_double.cmp(&mx_type_double, &five, &nan));
  EXPECT_EQ(mx_type_double.cmp(&mx_type_double, &nan, &nan), 0);
  EXPECT_EQ(mx_type_double.cmp(&mx_type_double, &zero, &minus_zero), 0);
  float fn = std::nanf(""), f1 = 1.0f;
  EXPECT_EQ(mx_type_float.cmp(&mx_type_float, &fn, &f1), 1);
  EXPECT_EQ(mxt_string_cmp(&mx_type_string, "abc", "abz"), -1);
  EXPECT_EQ(mxt_string_cmp(&mx_type_string, "b", "a"), 1);
  uint64_t big = UINT64_MAX, small = 1;
  EXPECT_EQ(mx_type_uint64.cmp(&mx_type_uint64, &big, &small), 1);
  int64_t neg = -1, one = 1;
  EXPECT_EQ(mx_type_int64.cmp(&mx_type_int64, &neg, &one), -1);
  uint32_t r1 = 0xFFFFFF01, r2 = 0x00000002;
  EXPECT_EQ(mx_type_RGB.cmp(&mx_type_RGB, &r2, &r1), 1);  // the least significant byte decides first

  // Vectors: the shape, then elements in storage order (a NaN too).
  int32_t ix[2] = {2, 2};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, &five, nullptr};
  void* a = mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::tagged, &p, nullptr);
  void* b = mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::tagged, &p, nullptr);
  EXPECT_EQ(mx_type_double_v.cmp(&mx_type_double_v, a, b), 0);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, b);
  std::memcpy(dh.offset + 24, &nan, 8);
  EXPECT_EQ(mx_type_double_v.cmp(&mx_type_double_v, a, b), -1);
  mxt_free_data(&mx_type_double_v, a);
  mxt_free_data(&mx_type_double_v, b);

  // Bit vectors of 10 compare only their 10 bits.
  int32_t ten = 10;
  MATRIX_ALLOC_VECTOR_PARAM bp{1, &ten, nullptr, nullptr};
  auto* x = static_cast<uint8_t*>(mxt_alloc_bitv(&mx_type_bit_v, MX_ATYPE::tagged, &bp, nullptr, __FILE__, __LINE__));
  auto* y = static_cast<uint8_t*>(mxt_alloc_bitv(&mx_type_bit_v, MX_ATYPE::tagged, &bp, nullptr, __FILE__, __LINE__));
  x[9] = 0xFC;
  EXPECT_EQ(mxt_bitv_cmp(&mx_type_bit_v, x, y), 0);
  x[9] = 0x02;
  EXPECT_EQ(mxt_bitv_cmp(&mx_type_bit_v, x, y), 1);
  mxt_free_data(&mx_type_bit_v, x);
  mxt_free_data(&mx_type_bit_v, y);
}

// Long vectors: the first element that differs decides, by the element's
// own order (signed values, rgb8's least significant byte first), however
// far in it lies and whatever follows it; equal vectors compare equal.
TEST_F(ZuConvert, LongVectorsOrderByTheirFirstDifference) {
  struct Case {
    MATRIX_DATA_TYPE* tp;
    int64_t at;
    uint64_t first, second, later_first, later_second;
    int want;
  };
  const Case cases[] = {
      {&mx_type_int16_v, 9000, 0xFFFF, 0x0001, 0x7FFF, 0x0000, -1},           // -1 < 1, whatever comes later
      {&mx_type_int16_v, 0, 0x0100, 0x00FF, 0, 1, 1},
      {&mx_type_uint8_v, 70000, 0x80, 0x7F, 0, 0xFF, 1},
      {&mx_type_RGB_v, 5000, 0xFFFFFF01, 0x00000002, 0, 0, -1},                 // the x byte first
      {&mx_type_RGB_v, 65535, 0x01000000, 0x00FF0000, 0, 9, -1},               // G before R
      {&mx_type_uint64_v, 4095, UINT64_MAX, 1, 0, 5, 1},
      {&mx_type_int32_v, 4096, 0x80000000, 0x7FFFFFFF, 5, 0, -1},
      {&mx_type_uint32_v, 100, 7, 7, 0, 0, 0},                                 // no difference at all
  };
  for (const Case& c : cases) {
    int32_t ix[2] = {300, 300};
    MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
    void* a = mxt_alloc_vector(c.tp, MX_ATYPE::tagged, &p, nullptr);
    void* b = mxt_alloc_vector(c.tp, MX_ATYPE::tagged, &p, nullptr);
    MATRIX_DH_SET da, db;
    get_matrix_dh_set(&da, a);
    get_matrix_dh_set(&db, b);
    const int w = mxt_vector_element_size(c.tp);
    std::memcpy(da.offset + c.at * w, &c.first, static_cast<size_t>(w));
    std::memcpy(db.offset + c.at * w, &c.second, static_cast<size_t>(w));
    std::memcpy(da.offset + (c.at + 1) * w, &c.later_first, static_cast<size_t>(w));
    std::memcpy(db.offset + (c.at + 1) * w, &c.later_second, static_cast<size_t>(w));
    EXPECT_EQ(c.tp->cmp(c.tp, a, b), c.want) << c.tp->type_name << " at " << c.at;
    EXPECT_EQ(c.tp->cmp(c.tp, b, a), -c.want) << c.tp->type_name << " at " << c.at;
    EXPECT_EQ(c.tp->cmp(c.tp, a, a), 0);
    mxt_free_data(c.tp, a);
    mxt_free_data(c.tp, b);
  }
}

// md2sexp of blocks and vectors returns a collector copy: the value stays
// valid after its datum is overwritten and freed and a collection ran.
TEST_F(ZuConvert, ValuesOutliveTheirDatum) {
  int32_t ix = 4;
  const char* text = "kept text";
  MATRIX_ALLOC_VECTOR_PARAM p{1, &ix, text, nullptr};
  void* sv = mxt_alloc_stringv_data(&mx_type_string_v, MX_ATYPE::tagged, &p, nullptr, __FILE__, __LINE__);
  int16_t seven = 7;
  p.default_data = &seven;
  void* iv = mxt_alloc_vector(&mx_type_int16_v, MX_ATYPE::tagged, &p, nullptr);
  char bytes[] = "block bytes";
  MATRIX_ALLOC_BLOCK_PARAM from{{0, MX_TYPE_BLOCK, 0}, sizeof bytes, bytes, 0, 0};
  void* blk = mxt_alloc_block_data(&mx_type_block, MX_ATYPE::tagged, &from, nullptr, __FILE__, __LINE__);

  ZU_SEXP *vs, *vi, *vb;
  {
    GcFrame f("made");
    vs = f.keep(List(mx_type_string_v.md2sexp(&mx_type_string_v, sv), mx_type_int16_v.md2sexp(&mx_type_int16_v, iv),
                     mx_type_block.md2sexp(&mx_type_block, blk), ZU_LIST_END),
                gc_qn_sexp);
  }
  vi = get_el(vs, 1);
  vb = get_el(vs, 2);
  vs = get_el(vs, 0);
  mxt_stringv_set(sv, 0, "overwritten");
  std::memset(static_cast<uint8_t*>(iv) + 8, 0xEE, 8);
  mxt_free_stringv_data(&mx_type_string_v, sv);
  mxt_free_data(&mx_type_int16_v, iv);
  mxt_free_block(&mx_type_block, blk);
  for (int i = 0; i < 1000; ++i) get_string_ascii("churn");
  gc_collect_now();
  for (int i = 0; i < 1000; ++i) get_raw("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 40);

  EXPECT_STREQ(mxt_stringv_slots(vs->ptr.ptr)[3], "kept text");
  EXPECT_STREQ(mxt_print(&mx_type_int16_v, vi->ptr.ptr, nullptr), "[dim:1 4 :::\n7 7 7 7 ]");
  auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(vb->ptr.ptr);
  EXPECT_EQ(r->size, static_cast<int32_t>(sizeof bytes));
  EXPECT_STREQ(static_cast<char*>(r->block), "block bytes");
  // Read back through sexp2md, they are borrowed.
  int cpy = -1;
  EXPECT_EQ(mx_type_block.sexp2md(&cpy, &mx_type_block, vb), r);
  EXPECT_EQ(cpy, 0);
  EXPECT_EQ(mx_type_string_v.sexp2md(&cpy, &mx_type_string_v, vs), vs->ptr.ptr);
}

// Raw values become vectors only when their lengths add up; string vectors
// never come from raw bytes; a block pointer must carry a block header.
TEST_F(ZuConvert, RawAndPointerValuesAreChecked) {
  int32_t three = 3;
  MATRIX_ALLOC_VECTOR_PARAM p{1, &three, nullptr, nullptr};
  void* made = mxt_alloc_vector(&mx_type_int16_v, MX_ATYPE::tagged, &p, nullptr);
  const int16_t vals[3] = {1, 2, 3};
  std::memcpy(static_cast<uint8_t*>(made) + 8, vals, sizeof vals);
  Bytes v(static_cast<uint8_t*>(made), static_cast<uint8_t*>(made) + 14);
  mxt_free_data(&mx_type_int16_v, made);
  int cpy = -1;
  ZU_SEXP* raw = get_raw(v.data(), static_cast<uint32_t>(v.size()));
  void* d = mx_type_int16_v.sexp2md(&cpy, &mx_type_int16_v, raw);
  ASSERT_EQ(d, raw->raw.data);
  EXPECT_EQ(cpy, 0);
  EXPECT_STREQ(mxt_print(&mx_type_int16_v, d, "%03i"), "[dim:1 3 :::\n001 002 003 ]");
  EXPECT_EQ(mx_type_int16_v.sexp2md(nullptr, &mx_type_int16_v, get_raw(v.data(), 13)), nullptr);
  EXPECT_EQ(mx_type_int16_v.sexp2md(nullptr, &mx_type_int16_v, get_raw(v.data(), 3)), nullptr);
  EXPECT_EQ(mx_type_int32_v.sexp2md(nullptr, &mx_type_int32_v, raw), nullptr);
  v[1] = MX_TYPE_STRING_V;
  EXPECT_EQ(mx_type_string_v.sexp2md(nullptr, &mx_type_string_v, get_raw(v.data(), 14)), nullptr);
  MATRIX_ALLOC_BLOCK_PARAM fake{{0, MX_TYPE_INT8, 0}, 0, nullptr, 0, 0};
  cpy = -1;
  EXPECT_EQ(mx_type_block.sexp2md(&cpy, &mx_type_block, get_ptr(&fake, nullptr)), nullptr);
  EXPECT_EQ(cpy, 0);
  int cpy2 = -1;
  void* blk = mx_type_block.sexp2md(&cpy2, &mx_type_block, get_raw("abc", 3));
  ASSERT_NE(blk, nullptr);
  EXPECT_EQ(cpy2, 1);
  EXPECT_EQ(static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(blk)->size, 3);
  mxt_free_block(&mx_type_block, blk);
}

// A ZU-value element keeps its value through collections until it is
// released; its copies hold the same value.
TEST_F(ZuConvert, HeldValuesLiveInTheRing) {
  int before = matrix_sexp_count();
  void *d, *copy;
  {
    GcFrame f("held");
    int cpy;
    d = mx_type_sexp.sexp2md(&cpy, &mx_type_sexp, List(get_string_ascii("held"), get_integer(5, nullptr), ZU_LIST_END));
    copy = mx_type_sexp.alloc_copy(&mx_type_sexp, d, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  }
  EXPECT_EQ(matrix_sexp_count(), before + 2);
  for (int i = 0; i < 1000; ++i) get_string_ascii("churn");
  gc_collect_now();
  ZU_SEXP* v = mx_type_sexp.md2sexp(&mx_type_sexp, d);
  EXPECT_EQ(get_el(v, 1)->integer.num, 5);
  EXPECT_EQ(mx_type_sexp.cmp(&mx_type_sexp, d, copy), 0);
  mx_type_sexp.free_data(&mx_type_sexp, d);
  mx_type_sexp.free_data(&mx_type_sexp, copy);
  gc_collect_now();
  EXPECT_EQ(matrix_sexp_count(), before);
}

TEST_F(ZuConvert, PrintersUseSafeFormats) {
  uint32_t u = 3000000000u;
  EXPECT_STREQ(mxt_print(&mx_type_uint32, &u, nullptr), "3000000000");
  EXPECT_STREQ(mxt_print(&mx_type_uint32, &u, "%s"), "3000000000");  // a format that does not fit is not used
  EXPECT_STREQ(mxt_print(&mx_type_uint32, &u, "%d %d"), "3000000000");
  int64_t big = -5;
  EXPECT_STREQ(mxt_print(&mx_type_int64, &big, "<%lli>"), "<-5>");
  double half = 0.5;
  EXPECT_STREQ(mxt_print(&mx_type_double, &half, "%.1f%%"), "0.5%");
  int8_t bit = 1;
  EXPECT_STREQ(mxt_print(&mx_type_bit, &bit, nullptr), "1");
  EXPECT_STREQ(mxt_print(&mx_type_bit, &bit, "<%i>"), "<1>");
  EXPECT_STREQ(mxt_print(&mx_type_string, "a %i text", "%i"), "a %i text");  // a text is no format
  EXPECT_STREQ(mxt_print(&mx_type_string, nullptr, nullptr), "");
  int32_t ix[2] = {2, 2};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  void* v = mxt_alloc_vector(&mx_type_int16_v, MX_ATYPE::tagged, &p, nullptr);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  const int16_t vals[4] = {1, 2, 3, 4};
  std::memcpy(dh.offset, vals, sizeof vals);
  EXPECT_STREQ(mxt_print(&mx_type_int16_v, v, nullptr), "[dim:2 2 2 :::\n1 2 /\n3 4 ]");
  mxt_free_data(&mx_type_int16_v, v);
  void* s = mx_type_string_v.alloc_data(&mx_type_string_v, MX_ATYPE::tagged, &p, nullptr, __FILE__, __LINE__);
  mxt_stringv_set(s, 0, "a");
  mxt_stringv_set(s, 3, "d");
  EXPECT_STREQ(mxt_print(&mx_type_string_v, s, nullptr), "[dim:2 2 2 :::\na  /\n d ]");
  mxt_free_stringv_data(&mx_type_string_v, s);
}

// Traces go to the standard error stream, the type trace at most once a
// second of its clock.
TEST_F(ZuConvert, TracesGoToStandardError) {
  int32_t ix[2] = {4, 2};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  auto* v = static_cast<uint8_t*>(mxt_alloc_bitv(&mx_type_bit_v, MX_ATYPE::tagged, &p, nullptr, __FILE__, __LINE__));
  v[12] = 0x05;
  const uint8_t dd[2] = {1, 1}, bs[2] = {2, 2};
  const int64_t row[2] = {4, 2};
  const int64_t* rows[1] = {row};
  MATRIX_GEOMETRY g{2, 0, dd, bs, rows, 1};
  int64_t code[3] = {0, 0, 0};
  unsigned int tim = 0;
  testing::internal::CaptureStderr();
  check_bittest(&g, code, v, "bits");
  xx_type_debug("msg", &mx_type_int16_v, "fn", 7, &tim);
  xx_type_debug("msg", &mx_type_int16_v, "fn", 7, &tim);
  xx_type_debug("", nullptr, "file.cc", 9, nullptr);
  s_flush(s_stderr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "bits(+max 1+[0 0 0 ]) z-6 o-2 oth-0 total=8\nmsg(fn) :: int16|VECTOR\n(file.cc+9) :: zero\n");
  mxt_free_data(&mx_type_bit_v, v);
}
