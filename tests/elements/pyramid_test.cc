// Thinning and level differences against the numpy model, exact means,
// string representatives, and the calls the kernels refuse.
#include <cfloat>
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

std::vector<int64_t> numbers(const std::string& s) {
  std::vector<int64_t> out;
  for (const std::string& x : split(s, ',')) out.push_back(std::stoll(x));
  return out;
}

// Floating elements of a and b equal bit for bit, or both NaN, or (with a
// tolerance) within tol of each other.
template <class T>
bool floats_agree(const std::string& a, const std::string& b, double tol) {
  Bytes x = unhex(a), y = unhex(b);
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); i += sizeof(T)) {
    T p, q;
    std::memcpy(&p, &x[i], sizeof p), std::memcpy(&q, &y[i], sizeof q);
    bool same = std::memcmp(&p, &q, sizeof p) == 0 || (std::isnan(p) && std::isnan(q)) || std::abs(p - q) <= tol;
    if (!same) return false;
  }
  return true;
}

bool agree(int code, const std::string& got, const std::string& want, double tol = 0) {
  if (code == MX_TYPE_FLOAT) return floats_agree<float>(got, want, tol);
  if (code == MX_TYPE_DOUBLE) return floats_agree<double>(got, want, tol);
  return got == want;
}

}  // namespace

// Every member, representative and mean, difference and sum, over the
// model's geometries (dd 1 and 2, ofs 128 and 192, bs <= s, index_hem,
// cut blocks, levels 0-3, dims 1-3); sub applied twice gives the child
// back (tame data: nothing saturates or wraps; floating data to one
// rounding).
TEST_F(Pyramid, KernelsMatchTheModel) {
  FakeGeometry fake;
  int cases = 0;
  for (const std::string& line : run_model("pyramid")) {
    std::vector<std::string> f = split(line, ' ');
    if (f[0] == "geometry") {
      fake.parse(f);
      continue;
    }
    const std::string& op = f[0];
    int code = std::stoi(f[1]), mode = std::stoi(f[2]), k = std::stoi(f[3]);
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code + MX_TYPE_VECTOR);
    std::vector<int64_t> dc = numbers(f[4]);
    std::vector<int32_t> rep;
    for (int64_t r : numbers(f[5])) rep.push_back(static_cast<int32_t>(r));
    void* parent = vector_from_hex(tp->type, f[6], f[7]);
    void* child = vector_from_hex(tp->type, f[8], f[9]);
    void* out = parent;
    int r = 0;
    if (op == "rep") r = tp->thinned_rep(tp, &fake.g, dc.data(), rep.data(), k, parent, child);
    else if (op == "avg") r = tp->thinned_avg(tp, &fake.g, dc.data(), k, parent, child);
    else {
      out = vector_from_hex(tp->type, f[8], f[9]);
      r = (op == "add" ? tp->v_add : tp->v_sub)(tp, &fake.g, dc.data(), k, mode, out, parent, child);
      if (op == "subsub") {
        EXPECT_EQ(tp->v_sub(tp, &fake.g, dc.data(), k, mode, out, parent, out), 0);
        double eps = code == MX_TYPE_FLOAT ? 128 * FLT_EPSILON : 128 * DBL_EPSILON;
        EXPECT_TRUE(agree(code, element_hex(out), f[9], eps)) << "not the child back: " << line.substr(0, 40);
      }
    }
    EXPECT_EQ(r, 0) << line.substr(0, 40);
    EXPECT_TRUE(agree(code, element_hex(out), f[10])) << line.substr(0, 40);
    for (void* v : {parent, child, out == parent ? nullptr : out}) mxt_free_data(tp, v);
    ++cases;
  }
  EXPECT_GT(cases, 800);
}

// A 2 x 2 cell folded into element 0 of a 4 x 4 parent: sums that pass the
// element range, a NaN, truncation toward zero, colour lanes.
TEST_F(Pyramid, MeansAreExact) {
  const uint8_t dd[2] = {1, 1}, bs[2] = {2, 2};
  const int64_t l0[2] = {16, 16}, l1[2] = {8, 8};
  const int64_t* rows[2] = {l0, l1};
  MATRIX_GEOMETRY g{2, 0, dd, bs, rows, 2};
  struct {
    int code;
    const char* cell;
    const char* mean;
  } means[] = {{8, "3000000000,3000000000,3000000000,3000000000", "3000000000"},
               {9, "18446744073709551615,18446744073709551615,18446744073709551613,18446744073709551615",
                "18446744073709551614"},
               {10, "0.5,0.5,0.5,0.5", "0.5"}, {11, "1,nan,2,3", "nan"},
               {3, "-3,-3,-3,-2", "-2"}, {3, "-1,0,0,0", "0"}, {6, "255,255,255,254", "254"},
               {12, "4278190080,0,0,0", "1056964608"}};  // red 255, 0, 0, 0 -> red 63
  int64_t dc[3] = {0, 0, 0};
  for (const auto& m : means) {
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(m.code + MX_TYPE_VECTOR);
    void* cell = value_from_text(tp->type, "2,2", m.cell);
    void* parent = value_from_text(tp->type, "4,4", "");
    void* want = value_from_text(tp->type, "1", m.mean);
    ASSERT_EQ(tp->thinned_avg(tp, &g, dc, 1, parent, cell), 0) << m.cell;
    EXPECT_TRUE(agree(m.code, element_hex(parent).substr(0, element_hex(want).size()), element_hex(want))) << m.cell;
    for (void* v : {cell, parent, want}) mxt_free_data(tp, v);
  }
}

// The parent's texts are its own copies, in its own kind; a child without
// a text leaves the parent's element without one.
TEST_F(Pyramid, StringRepresentativesAreCopies) {
  const uint8_t dd[1] = {1}, bs[1] = {2};
  const int64_t l0[1] = {8}, l1[1] = {4};
  const int64_t* rows[2] = {l0, l1};
  MATRIX_GEOMETRY g{1, 0, dd, bs, rows, 2};
  int64_t second[2] = {0, 4};
  int32_t rep = 1;
  void* child = value_from_text(MX_TYPE_STRING_V, "4", "61,62,63,-");
  void* parent = value_from_text(MX_TYPE_STRING_V, "4", "78,78,78,78");
  ASSERT_EQ(mx_type_string_v.thinned_rep(&mx_type_string_v, &g, second, &rep, 1, parent, child), 0);
  mxt_free_stringv_data(&mx_type_string_v, child);
  char** texts = mxt_stringv_slots(parent);
  EXPECT_STREQ(texts[0], "x");
  EXPECT_STREQ(texts[2], "b");
  EXPECT_EQ(texts[3], nullptr);
  mxt_free_stringv_data(&mx_type_string_v, parent);
}

// Refused calls return their code and leave every vector as it was.
TEST_F(Pyramid, RefusalsWriteNothing) {
  const uint8_t dd[2] = {1, 1}, bs[2] = {2, 2};
  const int64_t l0[2] = {16, 16}, l1[2] = {8, 8}, l2[2] = {4, 4};
  const int64_t* rows[3] = {l0, l1, l2};
  MATRIX_GEOMETRY g{2, 0, dd, bs, rows, 3};
  auto u8 = [](const char* ext) { return value_from_text(22, ext, "7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7"); };
  void *p = u8("4,4"), *c = u8("4,4"), *o = u8("4,4"), *cube = u8("2,2,2"), *narrow = u8("1,4");
  void* wide = value_from_text(23, "4,4", "");
  void* f = value_from_text(26, "4,4", "");
  void* f3 = value_from_text(26, "4,2,2", "");
  void* texts = value_from_text(30, "4,4", "");
  MATRIX_DATA_TYPE *t = &mx_type_uint8_v, *ft = &mx_type_float_v;
  int64_t at[3] = {1, 8, 0}, floor[3] = {0, 8, 0}, top[3] = {2, 0, 0}, below[3] = {-1, 0, 0}, left[3] = {1, -2, 0};
  int32_t rep0[2] = {0, 0}, rep2[2] = {2, 0}, repm[2] = {-1, 0}, rep1[2] = {1, 0};
  struct {
    const char* what;
    int want;
    std::function<int()> call;
  } bad[] = {
      {"avg into another type", -1, [&] { return t->thinned_avg(t, &g, at, 1, wide, c); }},
      {"rep into another dim", -2, [&] { return t->thinned_rep(t, &g, at, rep0, 1, cube, c); }},
      {"float rep into another dim", -1, [&] { return ft->thinned_rep(ft, &g, at, rep0, 1, f3, f); }},
      {"avg from another dim", -1, [&] { return t->thinned_avg(t, &g, at, 1, p, cube); }},
      {"rep from texts", -1, [&] { return t->thinned_rep(t, &g, at, rep0, 1, p, texts); }},
      {"avg into a short parent", -1, [&] { return t->thinned_avg(t, &g, at, 1, narrow, c); }},
      {"rep past a cell", -1, [&] { return t->thinned_rep(t, &g, at, rep2, 1, p, c); }},
      {"negative rep", -1, [&] { return t->thinned_rep(t, &g, at, repm, 1, p, c); }},
      {"rep past a short child", 0, [&] { return t->thinned_rep(t, &g, at, rep1, 1, p, narrow); }},
      {"negative level", -1, [&] { return t->thinned_avg(t, &g, below, 1, p, c); }},
      {"above the top", -1, [&] { return t->thinned_avg(t, &g, top, 1, p, c); }},
      {"negative coordinate", -1, [&] { return t->thinned_rep(t, &g, left, rep0, 1, p, c); }},
      {"negative parent", -1, [&] { return t->thinned_avg(t, &g, at, -1, p, c); }},
      {"sub from level 0", -1, [&] { return t->v_sub(t, &g, floor, 1, 0, o, p, c); }},
      {"add into another shape", -1, [&] { return t->v_add(t, &g, at, 1, 0, narrow, p, c); }},
      {"sub over a short parent", -1, [&] { return t->v_sub(t, &g, at, 1, 0, o, narrow, c); }},
      {"add of another type", -1, [&] { return t->v_add(t, &g, at, 1, 2, o, wide, c); }},
      {"sub without a result", -1, [&] { return t->v_sub(t, &g, at, 1, 0, nullptr, p, c); }},
  };
  std::vector<void*> all{p, c, o, cube, narrow, wide, f, f3};
  std::vector<std::string> before;
  for (void* v : all) before.push_back(element_hex(v));
  for (const auto& b : bad) EXPECT_EQ(b.call(), b.want) << b.what;
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(element_hex(all[i]), before[i]) << i;
  for (void* v : all) mxt_free_data(t, v);
  mxt_free_stringv_data(&mx_type_string_v, texts);
}
