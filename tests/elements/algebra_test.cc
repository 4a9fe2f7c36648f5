// The algebra slots and the linear solver against numpy, and the calls
// they refuse.
#include <cmath>
#include <functional>

#include "elements/algebra.h"
#include "element_test_util.h"

namespace {

using Algebra = ElementsTest;

std::vector<std::string> run_algebra_model(const char* args) {
  return run_numpy_script(test_path("algebra_model"), args);
}

// "e0,e1,.. hex" of a vector, as the model prints it; "-" for none.
std::string shown(const void* v) {
  if (!v) return "-";
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  std::string s;
  for (int d = 0; d < dh.hd->dim; ++d) s += (d ? "," : "") + std::to_string(dh.ix[d]);
  return s + " " + to_hex(dh.offset, static_cast<size_t>(dh.total_element * mxt_vector_element_size(dh.tp)));
}

std::vector<double> doubles(const void* v) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  std::vector<double> out(static_cast<size_t>(dh.total_element));
  std::memcpy(out.data(), dh.offset, out.size() * sizeof(double));
  return out;
}

std::vector<double> doubles(const std::string& hex) {
  Bytes b = unhex(hex);
  std::vector<double> out(b.size() / sizeof(double));
  std::memcpy(out.data(), b.data(), b.size());
  return out;
}

// Largest difference relative to the largest element of want.
double relative_error(const std::vector<double>& got, const std::vector<double>& want) {
  double err = 0.0, scale = 1e-300;
  for (size_t i = 0; i < want.size(); ++i) {
    err = std::max(err, std::fabs(got[i] - want[i]));
    scale = std::max(scale, std::fabs(want[i]));
  }
  return got.size() == want.size() ? err / scale : INFINITY;
}

}  // namespace

// Every slot, generic entry and builder of the ten numeric types against
// numpy arrays of the same dtype: wrapping integers (int8 100 + 100,
// uint16 0 - 1, uint8 16 * 16 among them), single precision per
// operation, .T, np.concatenate along each dimension (an empty part
// included), np.eye, and mul_mm against a sequential loop in the element
// type, bit for bit.
TEST_F(Algebra, SlotsMatchNumpy) {
  MX_CACHE pool;
  int cases = 0;
  for (const std::string& line : run_algebra_model("algebra")) {
    std::vector<std::string> f = split(line, ' ');
    const std::string& op = f[0];
    const int code = std::stoi(f[1]) + MX_TYPE_VECTOR;
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
    std::vector<void*> made;
    auto vec = [&](size_t i) { return made.emplace_back(vector_from_hex(code, f[i], f[i + 1])); };
    void* got = nullptr;
    size_t want = 0;  // field of the expected result
    if (op == "add" || op == "sub") {
      got = (op == "add" ? mxt_add_vv : mxt_sub_vv)(vec(2), vec(4), &pool), want = 6;
    } else if (op == "mulsv") {
      Bytes s = unhex(f[2]);
      got = mxt_mul_sv(s.data(), vec(3), &pool), want = 5;
    } else if (op == "mulmm") {
      got = mxt_mul_mm(vec(2), vec(4), &pool), want = 6;
    } else if (op == "trans") {
      got = mxt_trans_m(vec(2), &pool), want = 4;
    } else if (op == "compound") {
      got = mxt_compound_vv(vec(3), vec(5), std::stoi(f[2]), &pool), want = 7;
    } else if (op == "eye") {
      got = mxt_e_m(tp, std::stoi(f[2]), &pool), want = 3;
    } else if (op == "ary") {
      Bytes a = unhex(f[3]);
      int n = static_cast<int>(a.size()) / mxt_vector_element_size(tp);
      got = mxt_get_matrix_from_ary(tp, a.data(), n, std::stoi(f[2]), &pool), want = 4;
    }
    ASSERT_NE(want, 0u) << line;
    EXPECT_EQ(shown(got), f[want] + " " + f[want + 1]) << line.substr(0, 60);
    xx_mxc_free(&pool, got, __FILE__, __LINE__);
    for (void* v : made) mxt_free_data(tp, v);
    ++cases;
  }
  EXPECT_GT(cases, 350);
  EXPECT_TRUE(pool.live.empty());
}

// Shapes, types and arguments the algebra and the solver refuse: an empty
// result and nothing taken from the pool.
TEST_F(Algebra, RefusalsAreEmpty) {
  MX_CACHE pool;
  const char* six = "1,2,3,4,5,6";
  void* i8_23 = value_from_text(MX_TYPE_INT8 + 16, "2,3", six);
  void* i8_32 = value_from_text(MX_TYPE_INT8 + 16, "3,2", six);
  void* i8_6 = value_from_text(MX_TYPE_INT8 + 16, "6", six);
  void* u8_23 = value_from_text(MX_TYPE_UINT8 + 16, "2,3", six);
  void* rgb = value_from_text(MX_TYPE_RGB + 16, "2,2", "1,2,3,4");
  void* bits = value_from_text(MX_TYPE_BIT + 16, "2,2", "1,0,1,1");
  void* texts = value_from_text(MX_TYPE_STRING_V, "2", "61,62");
  void* d22 = value_from_text(MX_TYPE_DOUBLE + 16, "2,2", "1,0,0,1");
  void* d23 = value_from_text(MX_TYPE_DOUBLE + 16, "2,3", six);
  void* f22 = value_from_text(MX_TYPE_FLOAT + 16, "2,2", "1,0,0,1");
  void* d2 = value_from_text(MX_TYPE_DOUBLE + 16, "2", "1,2");
  void* d3 = value_from_text(MX_TYPE_DOUBLE + 16, "3", "1,2,3");
  void* f2 = value_from_text(MX_TYPE_FLOAT + 16, "2", "1,2");
  const int8_t ary[4] = {1, 2, 3, 4};
  const int8_t two = 2;
  struct Case {
    const char* what;
    std::function<void*()> call;
  } cases[] = {
      {"add of two types", [&] { return mxt_add_vv(i8_23, u8_23, &pool); }},
      {"add (2,3) + (3,2)", [&] { return mxt_add_vv(i8_23, i8_32, &pool); }},
      {"sub (2,3) - (6)", [&] { return mxt_sub_vv(i8_23, i8_6, &pool); }},
      {"mul_mm (2,3) x (2,3)", [&] { return mxt_mul_mm(i8_23, i8_23, &pool); }},
      {"mul_mm of a 1-D vector", [&] { return mxt_mul_mm(i8_6, i8_6, &pool); }},
      {"mul_mm of two types", [&] { return mxt_mul_mm(i8_23, u8_23, &pool); }},
      {"trans of a 1-D vector", [&] { return mxt_trans_m(i8_6, &pool); }},
      {"mul_sv without a scalar", [&] { return mxt_mul_sv(nullptr, i8_6, &pool); }},
      {"compound along dim", [&] { return mxt_compound_vv(i8_23, i8_23, 2, &pool); }},
      {"compound along -1", [&] { return mxt_compound_vv(i8_23, i8_23, -1, &pool); }},
      {"compound of two types", [&] { return mxt_compound_vv(i8_23, u8_23, 0, &pool); }},
      {"compound, other extents", [&] { return mxt_compound_vv(i8_23, i8_32, 0, &pool); }},
      {"compound of bit_v", [&] { return mxt_compound_vv(bits, bits, 0, &pool); }},
      {"compound of string_v", [&] { return mxt_compound_vv(texts, texts, 0, &pool); }},
      {"compound of rgb8_v", [&] { return mxt_compound_vv(rgb, rgb, 0, &pool); }},
      {"add of rgb8_v", [&] { return mxt_add_vv(rgb, rgb, &pool); }},
      {"trans of bit_v", [&] { return mxt_trans_m(bits, &pool); }},
      {"sub of string_v", [&] { return mxt_sub_vv(texts, texts, &pool); }},
      {"mul_sv of bit_v", [&] { return mxt_mul_sv(&two, bits, &pool); }},
      {"mul_mm of rgb8_v", [&] { return mxt_mul_mm(rgb, rgb, &pool); }},
      {"identity of rgb8_v", [&] { return mxt_e_m(&mx_type_RGB_v, 2, &pool); }},
      {"identity of a scalar type", [&] { return mxt_e_m(&mx_type_int8, 2, &pool); }},
      {"identity of size -1", [&] { return mxt_e_m(&mx_type_int8_v, -1, &pool); }},
      {"array of dim 0", [&] { return mxt_get_matrix_from_ary(&mx_type_int8_v, ary, 4, 0, &pool); }},
      {"array of dim 3", [&] { return mxt_get_matrix_from_ary(&mx_type_int8_v, ary, 4, 3, &pool); }},
      {"array of size -1", [&] { return mxt_get_matrix_from_ary(&mx_type_int8_v, ary, -1, 1, &pool); }},
      {"array of bit_v", [&] { return mxt_get_matrix_from_ary(&mx_type_bit_v, ary, 4, 1, &pool); }},
      {"no cache", [&] { return mxt_add_vv(i8_23, i8_23, nullptr); }},
      {"no operand", [&] { return mxt_add_vv(nullptr, i8_23, &pool); }},
      {"a system of 2 x 3", [&] { return resolve_equation_double(d23, d2, &pool); }},
      {"a float system", [&] { return resolve_equation_double(f22, d2, &pool); }},
      {"a float right-hand side", [&] { return resolve_equation_double(d22, f2, &pool); }},
      {"3 values for 2 unknowns", [&] { return resolve_equation_double(d22, d3, &pool); }},
      {"a (2, 2) right-hand side", [&] { return resolve_equation_double(d22, d22, &pool); }},
      {"a system without a cache", [&] { return resolve_equation_double(d22, d2, nullptr); }},
      {"the inverse of 2 x 3", [&] { return mxt_reverse_double(d23, &pool); }},
      {"the inverse of floats", [&] { return mxt_reverse_double(f22, &pool); }},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), nullptr) << c.what;
  EXPECT_EQ(pool.allocs, 0);
  for (void* v : {i8_23, i8_32, i8_6, u8_23, rgb, bits, d22, d23, f22, d2, d3, f2}) mxt_free_data(&mx_type_int8_v, v);
  mxt_free_stringv_data(&mx_type_string_v, texts);
}

// resolve_equation_double and mxt_reverse_double against numpy.linalg
// (relative 1e-9): random well-conditioned systems of 1 to 12 unknowns,
// the identity, diagonal and permutation matrices (zero diagonals among
// them), right-hand sides of extents (n), (1, n) and (n, 1); singular,
// NaN and infinite systems give empty results. The results are (1, n) and
// (n, n), row i of the inverse at elements i * n ...
TEST_F(Algebra, SolverMatchesNumpy) {
  MX_CACHE pool;
  int solved = 0, refused = 0;
  for (const std::string& line : run_algebra_model("solve")) {
    std::vector<std::string> f = split(line, ' ');
    const std::string n = f[1];
    void* a = vector_from_hex(MX_TYPE_DOUBLE + 16, n + "," + n, f[2]);
    void* b = nullptr;
    void* got;
    std::string want, extents;
    if (f[0] == "solve") {
      b = vector_from_hex(MX_TYPE_DOUBLE + 16, f[3], f[4]);
      got = resolve_equation_double(a, b, &pool);
      want = f[5], extents = "1," + n;
    } else {
      got = mxt_reverse_double(a, &pool);
      want = f[3], extents = n + "," + n;
    }
    if (want == "-") {
      EXPECT_EQ(got, nullptr) << line.substr(0, 60);
      ++refused;
    } else {
      ASSERT_NE(got, nullptr) << line.substr(0, 60);
      EXPECT_EQ(split(shown(got), ' ')[0], extents);
      EXPECT_LE(relative_error(doubles(got), doubles(want)), 1e-9) << line.substr(0, 60);
      ++solved;
    }
    xx_mxc_free(&pool, got, __FILE__, __LINE__);
    mxt_free_data(&mx_type_double_v, a);
    if (b) mxt_free_data(&mx_type_double_v, b);
  }
  EXPECT_GT(solved, 200);
  EXPECT_GT(refused, 20);
  EXPECT_TRUE(pool.live.empty());
}
