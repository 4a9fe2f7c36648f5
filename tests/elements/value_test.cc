// The type table, the header rule, allocation in the four kinds, string
// vectors and blocks, and node shapes from the geometry view.
#include "elements/geometry.h"
#include "elements/held.h"
#include "element_test_util.h"

namespace {

using Values = ElementsTest;

const char* const kNames[] = {"bit",    "bit_v",    "int8",   "int8_v",   "uint8",  "uint8_v",  "int16",
                              "int16_v", "uint16",  "uint16_v", "int32",  "int32_v", "uint32", "uint32_v",
                              "int64",  "int64_v",  "uint64", "uint64_v", "float",  "float_v", "double",
                              "double_v", "block",  "string", "string_v", "sexp",  "rgb8",    "rgb8_v"};

}  // namespace

TEST_F(Values, TableNamesCodesAndParents) {
  int registered = 0;
  for (int code = -3; code < 40; ++code) {
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
    if (!tp) continue;
    ++registered;
    EXPECT_EQ(tp->type, code);
    EXPECT_EQ(search_matrix_data_type(tp->type_name), tp);
    if (mx_is_vector_code(code)) {
      ASSERT_NE(tp->parent, nullptr);
      EXPECT_EQ(tp->parent->type, code - 16);
    } else {
      EXPECT_EQ(tp->parent, nullptr);
    }
  }
  EXPECT_EQ(registered, 28);
  for (const char* name : kNames) EXPECT_NE(search_matrix_data_type(name), nullptr) << name;
  EXPECT_EQ(search_matrix_data_type("float")->type, 10);
  EXPECT_EQ(search_matrix_data_type("float_v")->type, 26);
  EXPECT_EQ(search_matrix_data_type("block_v"), nullptr);
  for (int code : {0, 16, 29, 31, 13 + 16, 15 + 16}) EXPECT_EQ(get_matrix_data_type(code), nullptr) << code;
}

// The header rule against the model, and vectors beyond the limit refused.
TEST_F(Values, HeaderRuleAndDimLimit) {
  std::vector<int32_t> ones(31, 1);
  for (const std::string& line : run_model("header")) {
    std::vector<std::string> f = split(line, ' ');
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(std::stoi(f[0]));
    int dim = std::stoi(f[1]), h = std::stoi(f[2]);
    ASSERT_NE(tp, nullptr) << line;
    EXPECT_EQ(mxt_header_length(tp, dim), h) << line;
    MATRIX_ALLOC_VECTOR_PARAM p{dim, ones.data(), nullptr, nullptr};
    void* v = tp->alloc_data(tp, MX_ATYPE::tagged, &p, nullptr, __FILE__, __LINE__);
    EXPECT_EQ(v != nullptr, h >= 0) << line;
    if (v) {
      const auto* b = static_cast<uint8_t*>(v);
      EXPECT_EQ(tp == &mx_type_string_v ? b[0] : static_cast<int8_t>(b[0]), h) << line;
      tp->free_data(tp, v);
    }
  }
  // Negative extents and sizes past INT32_MAX are refused; extent 0 is a value.
  int32_t bad[2] = {-1, 4}, huge[2] = {65536, 32768}, empty[2] = {0, 5};
  MATRIX_ALLOC_VECTOR_PARAM p{2, bad, nullptr, nullptr};
  EXPECT_EQ(mxt_alloc_vector(&mx_type_int8_v, MX_ATYPE::tagged, &p, nullptr), nullptr);
  p.ix_size = huge;
  EXPECT_EQ(mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::tagged, &p, nullptr), nullptr);
  p.ix_size = empty;
  void* v = mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::tagged, &p, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(mx_type_double_v.get_size(&mx_type_double_v, v), 16);
  mxt_free_data(&mx_type_double_v, v);
}

// Unfilled vectors take the shape asked for; bit and string vectors, and
// shapes the filled ones refuse, are refused.
TEST_F(Values, UnfilledVectors) {
  int32_t ix[2] = {3, 5}, bad[2] = {-1, 4};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  for (MATRIX_DATA_TYPE* tp : {&mx_type_uint8_v, &mx_type_RGB_v, &mx_type_double_v}) {
    void* v = mxt_alloc_vector_unfilled(tp, MX_ATYPE::tagged, &p, nullptr);
    ASSERT_NE(v, nullptr) << tp->type_name;
    MATRIX_DH_SET dh;
    EXPECT_EQ(get_matrix_dh_set(&dh, v), tp);
    EXPECT_EQ(dh.total_element, 15);
    void* filled = mxt_alloc_vector(tp, MX_ATYPE::tagged, &p, nullptr);
    EXPECT_EQ(tp->get_size(tp, v), tp->get_size(tp, filled));
    tp->free_data(tp, filled);
    EXPECT_EQ(dh.ix[0], 3);
    EXPECT_EQ(dh.ix[1], 5);
    tp->free_data(tp, v);
  }
  for (MATRIX_DATA_TYPE* tp : {&mx_type_bit_v, &mx_type_string_v, &mx_type_int8})
    EXPECT_EQ(mxt_alloc_vector_unfilled(tp, MX_ATYPE::tagged, &p, nullptr), nullptr) << tp->type_name;
  p.ix_size = bad;
  EXPECT_EQ(mxt_alloc_vector_unfilled(&mx_type_uint8_v, MX_ATYPE::tagged, &p, nullptr), nullptr);
}

// Every kind allocates, copies and frees; kinds 1, 3 and 4 start zeroed.
TEST_F(Values, FourKindsAllocateCopyAndFree) {
  MX_CACHE cache;
  int32_t ix[2] = {3, 5};
  for (MX_ATYPE kind : {MX_ATYPE::heap, MX_ATYPE::collector, MX_ATYPE::tagged, MX_ATYPE::cache}) {
    GcFrame f("kinds");
    MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, &cache};
    auto* v = static_cast<uint8_t*>(mxt_alloc_vector(&mx_type_double_v, kind, &p, nullptr));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[0], 16);
    for (int i = 16; i < 16 + 15 * 8; ++i) ASSERT_EQ(v[i], 0) << i;
    double x = 2.5;
    p.default_data = &x;
    void* w = mxt_alloc_vector(&mx_type_double_v, kind, &p, &cache);
    void* c = mxt_alloc_copy(&mx_type_double_v, w, kind, &cache);
    EXPECT_EQ(mx_type_double_v.cmp(&mx_type_double_v, c, w), 0);
    EXPECT_EQ(mx_type_double_v.copy(&mx_type_double_v, v, w, kind, &cache), 0);
    EXPECT_EQ(mx_type_double_v.cmp(&mx_type_double_v, v, w), 0);
    for (void* d : {static_cast<void*>(v), w, c}) mxt_release(d, static_cast<int>(kind), &cache);
  }
  EXPECT_EQ(cache.allocs, 3);
  EXPECT_TRUE(cache.live.empty());
  MATRIX_ALLOC_VECTOR_PARAM none{2, ix, nullptr, nullptr};
  EXPECT_EQ(mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::cache, &none, nullptr), nullptr);
  // A copy into a datum of another size is refused and changes nothing.
  int32_t other = 4;
  MATRIX_ALLOC_VECTOR_PARAM small{1, &other, nullptr, nullptr};
  void* a = mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::tagged, &small, nullptr);
  void* b = mxt_alloc_vector(&mx_type_double_v, MX_ATYPE::tagged, &none, nullptr);
  EXPECT_EQ(mx_type_double_v.copy(&mx_type_double_v, a, b, MX_ATYPE::tagged, nullptr), -1);
  EXPECT_EQ(mx_type_double_v.get_size(&mx_type_double_v, a), 8 + 32);
  mxt_free_data(&mx_type_double_v, a);
  mxt_free_data(&mx_type_double_v, b);
}

TEST_F(Values, BitVectorDefaults) {
  int32_t ten = 10;
  for (uint8_t def : {0, 1, 7}) {
    MATRIX_ALLOC_VECTOR_PARAM p{1, &ten, &def, nullptr};
    auto* v = static_cast<uint8_t*>(mxt_alloc_bitv(&mx_type_bit_v, MX_ATYPE::tagged, &p, nullptr, __FILE__, __LINE__));
    EXPECT_EQ(mx_type_bit_v.get_size(&mx_type_bit_v, v), 8 + 2);
    EXPECT_EQ(v[8], def ? 0xFF : 0x00);
    EXPECT_EQ(v[9], def ? 0xFF : 0x00);
    mxt_free_data(&mx_type_bit_v, v);
  }
  uint8_t two = 2;
  auto* bit = static_cast<uint8_t*>(mx_type_bit.alloc_data(&mx_type_bit, MX_ATYPE::tagged, &two, nullptr, __FILE__, __LINE__));
  EXPECT_EQ(*bit, 1);
  mxt_free_data(&mx_type_bit, bit);
}

// String vectors own texts of their own kind; copies share none.
TEST_F(Values, StringVectorsAndBlocksOwnTheirParts) {
  int32_t ix[2] = {2, 2};
  for (MX_ATYPE kind : {MX_ATYPE::heap, MX_ATYPE::collector, MX_ATYPE::tagged}) {
    GcFrame f("stringv");
    MATRIX_ALLOC_VECTOR_PARAM p{2, ix, "def", nullptr};
    void* v = mx_type_string_v.alloc_data(&mx_type_string_v, kind, &p, nullptr, __FILE__, __LINE__);
    mxt_stringv_set(v, 1, nullptr);
    mxt_stringv_set(v, 2, "other");
    void* c = mx_type_string_v.alloc_copy(&mx_type_string_v, v, kind, nullptr, __FILE__, __LINE__);
    EXPECT_EQ(mx_type_string_v.cmp(&mx_type_string_v, v, c), 0);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(!mxt_stringv_slots(v)[i] || mxt_stringv_slots(v)[i] != mxt_stringv_slots(c)[i]);
    EXPECT_EQ(mxt_stringv_slots(c)[1], nullptr);
    mxt_stringv_set(c, 3, "changed");
    EXPECT_EQ(mx_type_string_v.copy(&mx_type_string_v, c, v, kind, nullptr), 0);
    EXPECT_STREQ(mxt_stringv_slots(c)[3], "def");
    gc_collect_now();  // collector vectors keep their texts
    EXPECT_STREQ(mxt_stringv_slots(c)[2], "other");
    mx_type_string_v.free_data(&mx_type_string_v, v);
    mx_type_string_v.free_data(&mx_type_string_v, c);
  }
  // Blocks: an adopted buffer is borrowed and never freed by the record.
  static char outside[] = "outside";
  MATRIX_ALLOC_BLOCK_PARAM from{{0, MX_TYPE_BLOCK, 0}, 7, outside, 0, 0};
  auto* adopted = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(
      mx_type_block.alloc_data(&mx_type_block, MX_ATYPE::tagged | MX_ATYPE_ADOPT, &from, nullptr, __FILE__, __LINE__));
  EXPECT_EQ(adopted->block, outside);
  auto* owned = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(
      mx_type_block.alloc_copy(&mx_type_block, adopted, MX_ATYPE::heap, nullptr, __FILE__, __LINE__));
  EXPECT_NE(owned->block, outside);
  EXPECT_EQ(mx_type_block.cmp(&mx_type_block, owned, adopted), 0);
  EXPECT_EQ(mx_type_block.copy(&mx_type_block, adopted, get_zero_datum(&mx_type_block), MX_ATYPE::tagged, nullptr), 0);
  EXPECT_EQ(adopted->size, 0);
  mxt_free_block(&mx_type_block, adopted);
  mxt_free_block(&mx_type_block, owned);
  EXPECT_STREQ(outside, "outside");
}

// Node shapes of fake geometries against the model.
TEST_F(Values, NodeShapesFromDimCodes) {
  FakeGeometry fake;
  MATRIX_GEOMETRY& g = fake.g;
  int cases = 0, empty = 0;
  for (const std::string& line : run_model("shapes")) {
    std::vector<std::string> f = split(line, ' ');
    if (f[0] == "geometry") {
      fake.parse(f);
      continue;
    }
    std::vector<int64_t> code;
    size_t i = 0;
    for (; f[i] != "->"; ++i) code.push_back(std::stoll(f[i]));
    uint8_t def = 9;
    void* v = mxt_alloc_vector_by_dim_code(&g, &mx_type_uint8_v, MX_ATYPE::tagged, code.data(), &def);
    ++cases;
    if (f[i + 1] == "none") {
      ++empty;
      EXPECT_EQ(v, nullptr) << line;
      continue;
    }
    ASSERT_NE(v, nullptr) << line;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    for (int d = 0; d < g.dim; ++d) EXPECT_EQ(dh.ix[d], std::stoi(f[i + 1 + static_cast<size_t>(d)])) << line;
    EXPECT_EQ(dh.offset[dh.total_element - 1], 9) << line;
    mxt_free_data(&mx_type_uint8_v, v);
  }
  EXPECT_GT(cases, 100);
  EXPECT_GT(empty, 5);
  // The last geometry refuses codes outside it.
  int64_t negative[4] = {0, -1, 0, 0}, level[4] = {99, 0, 0, 0};
  EXPECT_EQ(mxt_alloc_vector_by_dim_code(&g, &mx_type_uint8_v, MX_ATYPE::tagged, negative, nullptr), nullptr);
  EXPECT_EQ(mxt_alloc_vector_by_dim_code(&g, &mx_type_uint8_v, MX_ATYPE::tagged, level, nullptr), nullptr);
}

TEST_F(Values, ChildPlacementInTheParent) {
  const uint8_t dd[1] = {1}, bs[1] = {8};
  const int64_t l0[1] = {1 << 12}, l1[1] = {1 << 11}, l2[1] = {1 << 10};
  const int64_t* rows[3] = {l0, l1, l2};
  MATRIX_GEOMETRY g{1, 0, dd, bs, rows, 3};
  int32_t s, ofs;
  int64_t first[2] = {0, 0}, second[2] = {0, 256}, third[2] = {1, 3 << 8 << 1};
  ASSERT_EQ(mx_node_parent_map(&g, first, 1, &s, &ofs), 0);
  EXPECT_EQ(s, 1);
  EXPECT_EQ(ofs, 0);
  ASSERT_EQ(mx_node_parent_map(&g, second, 1, &s, &ofs), 0);
  EXPECT_EQ(ofs, 128);
  ASSERT_EQ(mx_node_parent_map(&g, third, 1, &s, &ofs), 0);
  EXPECT_EQ(ofs, 128);
  int64_t fourth[2] = {0, 3 << 8};
  ASSERT_EQ(mx_node_parent_map(&g, fourth, 2, &s, &ofs), 0);
  EXPECT_EQ(s, 2);
  EXPECT_EQ(ofs, 192);
  EXPECT_EQ(mx_node_parent_map(&g, first, -1, &s, &ofs), -1);
  EXPECT_EQ(mx_node_parent_map(&g, third, 2, &s, &ofs), -1);  // above the top level
  const uint8_t wide[1] = {31};
  MATRIX_GEOMETRY too_wide{1, 0, wide, bs, rows, 3};
  EXPECT_EQ(mx_geometry_check(&too_wide), -1);
  EXPECT_STREQ(mx_dim_code_text(&g, second), "+max 3+[0 100 ]");
}
