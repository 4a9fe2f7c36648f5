// Thinning and level differences against the numpy model, string
// representatives, and the calls the kernels refuse.
#include <cmath>

#include "elements/pyramid.h"
#include "element_test_util.h"

namespace {

using Pyramid = ElementsTest;

std::string element_hex(const void* v) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  return to_hex(dh.offset, static_cast<size_t>(dh.total_element * mxt_vector_element_size(dh.tp)));
}

// Equal elements; floating ones may be NaNs of other payloads.
template <class T>
bool agree(const std::string& got, const std::string& want) {
  Bytes x = unhex(got), y = unhex(want);
  for (size_t i = 0; x.size() == y.size() && i < x.size(); i += sizeof(T)) {
    T p, q;
    std::memcpy(&p, &x[i], sizeof p), std::memcpy(&q, &y[i], sizeof q);
    if (std::memcmp(&p, &q, sizeof p) != 0 && !(std::isnan(p) && std::isnan(q))) return false;
  }
  return x.size() == y.size();
}

}  // namespace

// Every member, representative and mean, difference and sum, over the
// model's geometries: dd 1 to 3, ofs 128 and 192, nodes as wide as a cell
// and narrower (means refused there), index_hem, cut blocks, levels 0-3,
// dims 1-3; cells of edge values (four 3e9 in uint32, four 0.5, a NaN)
// among them.
TEST_F(Pyramid, KernelsMatchTheModel) {
  FakeGeometry fake;
  int cases = 0;
  for (const std::string& line : run_model("pyramid")) {
    std::vector<std::string> f = split(line, ' ');
    if (f[0] == "geometry") {
      fake.parse(f);
      continue;
    }
    int code = std::stoi(f[1]), mode = std::stoi(f[2]), k = std::stoi(f[3]);
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code + MX_TYPE_VECTOR);
    std::vector<int64_t> dc;
    std::vector<int32_t> rep;
    for (const std::string& x : split(f[4], ',')) dc.push_back(std::stoll(x));
    for (const std::string& x : split(f[5], ',')) rep.push_back(std::stoi(x));
    void* parent = vector_from_hex(tp->type, f[6], f[7]);
    void* child = vector_from_hex(tp->type, f[8], f[9]);
    void* out = f[0] == "rep" || f[0] == "avg" ? parent : vector_from_hex(tp->type, f[8], f[9]);
    auto diff = f[0] == "add" ? tp->v_add : tp->v_sub;
    int r = f[0] == "rep"   ? tp->thinned_rep(tp, &fake.g, dc.data(), rep.data(), k, parent, child)
            : f[0] == "avg" ? tp->thinned_avg(tp, &fake.g, dc.data(), k, parent, child)
                            : diff(tp, &fake.g, dc.data(), k, mode, out, parent, child);
    const bool refused = f[10] == "refused";  // the parent stays as it was
    EXPECT_EQ(r, refused ? -1 : 0) << line.substr(0, 40);
    if (refused) f[10] = f[7];
    std::string got = element_hex(out);
    bool same = code == MX_TYPE_FLOAT ? agree<float>(got, f[10]) : code == MX_TYPE_DOUBLE ? agree<double>(got, f[10])
                                                                                           : got == f[10];
    EXPECT_TRUE(same) << line.substr(0, 40);
    for (void* v : {parent, child, out == parent ? nullptr : out}) mxt_free_data(tp, v);
    ++cases;
  }
  EXPECT_GT(cases, 600);
}

// The cells the means must get right whatever the model draws: sums past
// 32 and 64 bits, fractions kept, NaN carried, truncation toward zero, and
// colour lanes on their own. A 2 x 2 child on level 0 fills the one
// element of its parent.
TEST_F(Pyramid, NamedCellsAverageExactly) {
  const uint8_t dd[2] = {1, 1}, bs[2] = {1, 1};
  const int64_t l0[2] = {2, 2}, l1[2] = {1, 1};
  const int64_t* rows[2] = {l0, l1};
  MATRIX_GEOMETRY g{2, 0, dd, bs, rows, 2};
  const int64_t at[3] = {0, 0, 0};
  struct {
    int code;
    const char* cell;
    const char* mean;
  } cases[] = {
      {24, "3000000000,3000000000,3000000000,3000000000", "3000000000"},
      {21, "9223372036854775807,9223372036854775807,9223372036854775807,9223372036854775806", "9223372036854775806"},
      {25, "18446744073709551615,18446744073709551615,18446744073709551615,18446744073709551615",
       "18446744073709551615"},
      {26, "0.5,0.5,0.5,0.5", "0.5"},
      {27, "1.5,1.5,1.5,1.5", "1.5"},
      {27, "1,nan,2,3", "nan"},
      {19, "-3,-3,-3,-2", "-2"},
      {19, "-1,0,0,0", "0"},
      {22, "255,255,255,254", "254"},
      {28, "4278190080,0,0,0", "1056964608"},  // red 255, 0, 0, 0: red 63
  };
  for (const auto& c : cases) {
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(c.code);
    void* child = value_from_text(c.code, "2,2", c.cell);
    void* parent = value_from_text(c.code, "1,1", "0");
    void* want = value_from_text(c.code, "1,1", c.mean);
    EXPECT_EQ(tp->thinned_avg(tp, &g, at, 1, parent, child), 0) << c.cell;
    std::string got = element_hex(parent), expected = element_hex(want);
    bool same = c.code == 26 ? agree<float>(got, expected) : c.code == 27 ? agree<double>(got, expected)
                                                                          : got == expected;
    EXPECT_TRUE(same) << c.cell << " gave " << got;
    for (void* v : {child, parent, want}) mxt_free_data(tp, v);
  }
}

// Refused calls return their code and leave every vector as it was; the
// parent's texts are its own copies, absent where the child's were.
TEST_F(Pyramid, RefusalsWriteNothing) {
  const uint8_t dd[2] = {1, 1}, bs[2] = {2, 2};
  const int64_t l0[2] = {16, 16}, l1[2] = {8, 8}, l2[2] = {4, 4};
  const int64_t* rows[3] = {l0, l1, l2};
  MATRIX_GEOMETRY g{2, 0, dd, bs, rows, 3};
  auto u8 = [](const char* ext) { return value_from_text(22, ext, "7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7"); };
  void *p = u8("4,4"), *c = u8("4,4"), *o = u8("4,4"), *cube = u8("2,2,2"), *narrow = u8("1,4");
  void* wide = value_from_text(23, "4,4", "");
  void* texts = value_from_text(30, "4,4", "61,62,63,-,61,62,63,-,61,62,63,-,61,62,63,-");
  void* ptexts = value_from_text(30, "4,4", "78,78,78,78");
  MATRIX_DATA_TYPE *t = &mx_type_uint8_v, *st = &mx_type_string_v;
  int64_t at[3] = {1, 8, 0}, floor[3] = {0, 8, 0}, below[3] = {-1, 0, 0};
  int32_t rep0[2] = {0, 0}, rep2[2] = {2, 0}, rep1[2] = {1, 0};
  struct {
    const char* what;
    int want;
    std::function<int()> call;
  } bad[] = {
      {"avg into another type", -1, [&] { return t->thinned_avg(t, &g, at, 1, wide, c); }},
      {"rep into another dim", -2, [&] { return t->thinned_rep(t, &g, at, rep0, 1, cube, c); }},
      {"avg from another dim", -1, [&] { return t->thinned_avg(t, &g, at, 1, p, cube); }},
      {"rep from texts", -1, [&] { return t->thinned_rep(t, &g, at, rep0, 1, p, texts); }},
      {"avg into a short parent", -1, [&] { return t->thinned_avg(t, &g, at, 1, narrow, c); }},
      {"rep past a cell", -1, [&] { return t->thinned_rep(t, &g, at, rep2, 1, p, c); }},
      {"rep past a short child", 0, [&] { return t->thinned_rep(t, &g, at, rep1, 1, p, narrow); }},
      {"negative level", -1, [&] { return t->thinned_avg(t, &g, below, 1, p, c); }},
      {"ancestor above the top", -1, [&] { return t->thinned_avg(t, &g, at, 2, p, c); }},
      {"negative levels up", -1, [&] { return t->thinned_rep(t, &g, at, rep0, -1, p, c); }},
      {"add past the top", -1, [&] { return t->v_add(t, &g, at, 2, 0, o, p, c); }},
      {"sub from level 0", -1, [&] { return t->v_sub(t, &g, floor, 1, 0, o, p, c); }},
      {"add into another shape", -1, [&] { return t->v_add(t, &g, at, 1, 0, narrow, p, c); }},
      {"sub over a short parent", -1, [&] { return t->v_sub(t, &g, at, 1, 0, o, narrow, c); }},
      {"add of another type", -1, [&] { return t->v_add(t, &g, at, 1, 2, o, wide, c); }},
      {"sub without a result", -1, [&] { return t->v_sub(t, &g, at, 1, 0, nullptr, p, c); }},
      {"texts", 0, [&] { return st->thinned_rep(st, &g, at, rep1, 1, ptexts, texts); }},
  };
  std::vector<void*> all{p, c, o, cube, narrow, wide};
  std::vector<std::string> before;
  for (void* v : all) before.push_back(element_hex(v));
  for (const auto& b : bad) EXPECT_EQ(b.call(), b.want) << b.what;
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(element_hex(all[i]), before[i]) << i;
  for (void* v : all) mxt_free_data(t, v);
  mxt_free_stringv_data(st, texts);
  char** s = mxt_stringv_slots(ptexts);  // child column 1 (b, absent) into parent columns 2 and 3
  EXPECT_STREQ(s[0], "x");
  EXPECT_STREQ(s[2], "b");
  EXPECT_EQ(s[3], nullptr);
  mxt_free_stringv_data(st, ptexts);
}
