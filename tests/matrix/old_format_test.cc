// The older raster forms: CR payloads of raw and JPEG tiles (made by
// cjpeg from a solid PPM), residuals against a parent, R64 rows, payloads
// cut short or out of range, and the built-in's results and errors.
#include <cstdlib>

#include "base/alloc.h"
#include "elements/value.h"
#include "matrix/node.h"
#include "matrix/old_format.h"
#include "matrix_test_util.h"
#include "support/temp_dir.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/errcodes.h"

namespace {

constexpr uint32_t U = kMxUncovered;

uint32_t pack(uint32_t r, uint32_t g, uint32_t b) { return r * 4 | (g * 4) << 10 | (b * 4) << 20; }

ZU_SEXP* num(int64_t v) { return get_integer(v, nullptr); }
ZU_SEXP* raw(const Bytes& b) { return get_raw(b.data(), static_cast<uint32_t>(b.size())); }

// An "n" tile of w x h (r, g, b) triples with calibration 0.
Bytes n_tile(int w, int h, const Bytes& rgb) {
  Bytes b = {'n', 0, 0, 0, static_cast<uint8_t>(w - 1), static_cast<uint8_t>(h - 1)};
  b.insert(b.end(), rgb.begin(), rgb.end());
  return b;
}

struct Tiles {
  std::vector<std::vector<int64_t>> at;
  std::vector<ZU_SEXP*> tiles;
};

ZU_SEXP* cr(int64_t w, int64_t h, const Tiles& t) {
  ZU_SEXP *pos = nullptr, *tiles = nullptr;
  for (size_t i = t.at.size(); i-- > 0;) {
    ZU_SEXP* p = nullptr;
    for (size_t k = t.at[i].size(); k-- > 0;) p = cons(num(t.at[i][k]), p);
    pos = cons(p, pos);
  }
  for (size_t i = t.tiles.size(); i-- > 0;) tiles = cons(t.tiles[i], tiles);
  return List(num(w), num(h), pos, tiles, ZU_LIST_END);
}

std::vector<uint32_t> pixels(const void* v) {
  MATRIX_DH_SET dh;
  if (!v || !get_matrix_dh_set(&dh, v)) return {};
  auto* p = reinterpret_cast<const uint32_t*>(dh.offset);
  return std::vector<uint32_t>(p, p + dh.total_element);
}

// A 2 x 1 parent whose first element is (100, 100, 100).
void* parent_vector() {
  int32_t ix[2] = {2, 1};
  MATRIX_ALLOC_VECTOR_PARAM vp{2, ix, nullptr, nullptr};
  void* v = mx_type_uint32_v.alloc_data(&mx_type_uint32_v, MX_ATYPE::collector, &vp, nullptr, __FILE__, __LINE__);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  reinterpret_cast<uint32_t*>(dh.offset)[0] = pack(100, 100, 100);
  return v;
}

}  // namespace

// Tiles land at their places packed 4 x per channel; with a parent the
// residuals add to its channels and clamp; whatever no tile covers, lies
// outside the output or the parent, or does not decode stays uncovered;
// sizes and positions that do not read give no vector.
TEST_F(MatrixTest, CrTilesAndParents) {
  const Bytes two = n_tile(2, 1, {10, 10, 10, 1, 2, 3});
  ZU_SEXP* bad_letter = raw({'x', 0, 0, 0, 0, 0, 1, 2, 3});
  ZU_SEXP* cut = raw(Bytes(two.begin(), two.end() - 1));
  struct Case {
    const char* what;
    ZU_SEXP* payload;
    bool parent;
    std::vector<uint32_t> want;
  } cases[] = {
      {"no tiles", cr(4, 4, {}), false, std::vector<uint32_t>(16, U)},
      {"n tile", cr(3, 2, {{{0, 0, 0, 0}}, {raw(two)}}), false, {40 | 40 << 10 | 40 << 20, pack(1, 2, 3), U, U, U, U}},
      {"edges", cr(3, 2, {{{2, 1, 0, 0}, {-1, 0, 0, 0}}, {raw(two), raw(two)}}), false,
       {pack(1, 2, 3), U, U, U, U, pack(10, 10, 10)}},
      {"skipped tiles", cr(2, 1, {{{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}, {bad_letter, cut, num(5)}}), false, {U, U}},
      {"residual", cr(2, 1, {{{0, 0, 0, 0}}, {raw(n_tile(2, 1, {200, 200, 200, 200, 200, 200}))}}), true,
       {pack(255, 255, 255), pack(255, 255, 255)}},
      {"parent outside", cr(2, 1, {{{0, 0, 4, 0}}, {raw(two)}}), true, {U, U}},
      {"bad position", cr(2, 1, {{{0, 0, 0}}, {raw(two)}}), false, {}},
      {"too large", cr(1 << 15, (1 << 13) + 1, {}), false, {}},
      {"zero width", cr(0, 4, {}), false, {}},
  };
  testing::internal::CaptureStderr();
  for (const Case& c : cases)
    EXPECT_EQ(pixels(uncompress_cr(nullptr, c.parent ? parent_vector() : nullptr, c.payload)), c.want) << c.what;
  EXPECT_NE(testing::internal::GetCapturedStderr().find("get_cr_buf unsupport type x"), std::string::npos);
  const int32_t side = 2;
  MATRIX_ALLOC_VECTOR_PARAM flat{1, &side, nullptr, nullptr};
  void* line = mx_type_uint32_v.alloc_data(&mx_type_uint32_v, MX_ATYPE::collector, &flat, nullptr, __FILE__, __LINE__);
  EXPECT_EQ(uncompress_cr(nullptr, line, cr(2, 1, {})), nullptr) << "a parent of one dimension";
}

// JPEG tiles of a solid colour decode within JPEG's tolerance.
TEST_F(MatrixTest, CrJpegTilesFromCjpeg) {
  TempDir dir("crjpeg");
  std::string ppm = "P6\n16 8\n255\n";
  for (int i = 0; i < 16 * 8; ++i) ppm += std::string{'\xC8', '\x64', '\x32'};
  dir.file("solid.ppm", ppm);
  run_lines("cjpeg -quality 90 -outfile " + dir.at("solid.jpg") + " " + dir.at("solid.ppm"));
  std::ifstream f(dir.at("solid.jpg"), std::ios::binary);
  Bytes tile = {'j', 0, 0, 0};
  tile.insert(tile.end(), std::istreambuf_iterator<char>(f), {});
  ASSERT_GT(tile.size(), 100u);
  std::vector<uint32_t> got = pixels(uncompress_cr(nullptr, nullptr, cr(16, 8, {{{0, 0, 0, 0}}, {raw(tile)}})));
  ASSERT_EQ(got.size(), 128u);
  for (uint32_t p : got)
    for (auto [shift, want] : {std::pair{0, 200}, {10, 100}, {20, 50}})
      EXPECT_NEAR(static_cast<int>((p >> shift) & 0x3FF), 4 * want, 4 * 3);
}

// R64: grey bytes fill all three channels, "P" packs triples; pixels the
// data does not reach stay uncovered.
TEST_F(MatrixTest, R64Rows) {
  auto r64 = [](int64_t w, int64_t h, const char* type, const Bytes& b) {
    return pixels(uncompress_r64(List(num(w), num(h), get_string_ascii(type), raw(b), ZU_LIST_END)));
  };
  EXPECT_EQ(r64(1, 1, "G", {255}), std::vector<uint32_t>{1020u | 1020u << 10 | 1020u << 20});
  EXPECT_EQ(r64(2, 2, "PPM", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
            (std::vector<uint32_t>{pack(1, 2, 3), pack(4, 5, 6), pack(7, 8, 9), U}));
  EXPECT_EQ(r64(3, 1, "G", {}), std::vector<uint32_t>(3, U));
  EXPECT_EQ(r64(-3, 1, "G", {}), std::vector<uint32_t>{});
}

// The built-in: (data dim-code vector) for an item with or without a
// parent item (pointer or raw vector), the format attribute, and its
// errors; outside a matrix script it gives nil.
TEST_F(MatrixTest, UncompressOldFormatBuiltIn) {
  MATRIX* m = make_matrix(2, {1, 1}, {2, 2}, {16, 16});
  MATRIX_NODE* n = make_node(m, {0, 4, 8});
  NodeScript script(n);
  ZU_SEXP* code = List(num(0), num(4), num(8), ZU_LIST_END);
  script.let("item", List(get_symbol_ascii("data"), code, cr(2, 1, {{{0, 0, 0, 0}}, {raw(n_tile(2, 1, {200, 200, 200, 200, 200, 200}))}}), ZU_LIST_END));
  script.let("grey", List(get_symbol_ascii("data"), code, List(num(1), num(1), get_string_ascii("G"), raw({3}), ZU_LIST_END), ZU_LIST_END));
  void* pv = parent_vector();
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, pv);
  script.let("parent", List(get_symbol_ascii("data"), code, get_ptr(pv, gc_text), ZU_LIST_END));
  script.let("rawparent", List(get_symbol_ascii("data"), code, get_raw(pv, static_cast<uint32_t>(dh.offset - static_cast<uint8_t*>(pv) + 8)), ZU_LIST_END));
  script.let("cutparent", List(get_symbol_ascii("data"), code, get_raw(pv, 10), ZU_LIST_END));

  ZU_SEXP* r = script.eval("(mxUncompressOldFormat item)");
  ASSERT_EQ(list_length(r), 3);
  EXPECT_EQ(get_el(get_el(r, 1), 2)->integer.num, 8);
  EXPECT_EQ(get_el(r, 2)->ptr.mark, gc_text);
  EXPECT_EQ(pixels(get_el(r, 2)->ptr.ptr), (std::vector<uint32_t>{pack(200, 200, 200), pack(200, 200, 200)}));
  for (const char* parent : {"parent", "rawparent"}) {
    std::string form = std::string("(mxUncompressOldFormat format=\"CR\" ") + parent + " item)";
    EXPECT_EQ(pixels(get_el(script.eval(form), 2)->ptr.ptr)[0], pack(255, 255, 255)) << parent;
  }
  EXPECT_EQ(get_el(script.eval("(mxUncompressOldFormat cutparent item)"), 2)->ptr.ptr, nullptr);
  EXPECT_EQ(pixels(get_el(script.eval("(mxUncompressOldFormat format=\"R64\" parent grey)"), 2)->ptr.ptr),
            std::vector<uint32_t>{3u * 0x401004u});

  ZU_SEXP* e = script.eval("(mxUncompressOldFormat format=\"GIF\" item)");
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, ZU_ER_PARAM);
  EXPECT_EQ(zu_wcmp_ascii(str_text(e->error->data), "invalid parameter in mxUncompressOldFormat"), 0);
  e = script.eval("(mxUncompressOldFormat (quote (data (0 1))))");
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, ZU_ER_TYPE);
  EXPECT_EQ(get_type(script.eval("(mxUncompressOldFormat (quote (data (0 0 0) 5)) item)")), ZU_TYPE_ERROR);
  set_env_work(script.env, nullptr);
  EXPECT_EQ(script.eval("(mxUncompressOldFormat item)"), nullptr);
  drop_node(n);
  drop_matrix(m);
}
