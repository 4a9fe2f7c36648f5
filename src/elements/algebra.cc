// The algebra slots of the numeric vector types, their generic entries and
// the vectors built for them. One template per operation; the element
// arithmetic of each type is its Arith row.
#include "elements/algebra.h"

#include <type_traits>

#include "elements/algebra_impl.h"
#include "elements/pool.h"
#include "elements/value.h"

namespace mxe {

bool algebra_view(const MATRIX_DATA_TYPE* tp, const void* d, AlgebraView* v) {
  if (!tp || !d) return false;
  const auto* b = static_cast<const uint8_t*>(d);
  int h = static_cast<int8_t>(b[0]);
  int dim = load<int16_t>(b + 2);
  if (b[1] != tp->type || dim < 0 || dim > mxt_max_dim(tp) || h < 4 + 4 * dim) return false;
  for (int k = 0; k < dim; ++k) v->ix[k] = load<int32_t>(b + 4 + 4 * k);
  v->count = checked_count(v->ix, dim);
  v->dim = dim;
  v->elems = const_cast<uint8_t*>(b) + h;
  return v->count >= 0;
}

bool is_algebra_type(const MATRIX_DATA_TYPE* tp) {
  return tp && mx_is_vector_code(tp->type) && tp->add_vv && tp->parent;
}

AlgebraResult algebra_result(const MATRIX_DATA_TYPE* tp, int dim, const int32_t* ix, MX_CACHE* c, bool zero) {
  AlgebraResult r;
  r.value = new_vector(tp, MX_ATYPE::cache, dim, ix, c, zero, __FILE__, __LINE__);
  if (r.value) r.elems = static_cast<uint8_t*>(r.value) + static_cast<int8_t>(static_cast<uint8_t*>(r.value)[0]);
  return r;
}

}  // namespace mxe

using namespace mxe;

namespace {

// ---- element arithmetic in the element type

template <class T, bool = std::is_integral_v<T>>
struct Arith {
  // Integers: unsigned arithmetic of at least int's width, so nothing is
  // promoted to a signed type that could overflow; the low bits are kept.
  using U = std::make_unsigned_t<T>;
  using W = std::conditional_t<(sizeof(U) < sizeof(unsigned)), unsigned, U>;
  static T add(T a, T b) { return static_cast<T>(static_cast<U>(W(U(a)) + W(U(b)))); }
  static T sub(T a, T b) { return static_cast<T>(static_cast<U>(W(U(a)) - W(U(b)))); }
  static T mul(T a, T b) { return static_cast<T>(static_cast<U>(W(U(a)) * W(U(b)))); }
};

template <class T>
struct Arith<T, false> {
  static T add(T a, T b) { return a + b; }
  static T sub(T a, T b) { return a - b; }
  static T mul(T a, T b) { return a * b; }
};

// ---- the slots

template <class T, T (*op)(T, T)>
void* elementwise(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {
  AlgebraView a, b;
  if (!algebra_view(tp, d1, &a) || !algebra_view(tp, d2, &b) || a.dim != b.dim) return nullptr;
  for (int k = 0; k < a.dim; ++k)
    if (a.ix[k] != b.ix[k]) return nullptr;
  AlgebraResult r = algebra_result(tp, a.dim, a.ix, c, false);
  if (!r.value) return nullptr;
  for (int64_t i = 0; i < a.count; ++i)
    store<T>(r.elems + i * sizeof(T), op(load<T>(a.elems + i * sizeof(T)), load<T>(b.elems + i * sizeof(T))));
  return r.value;
}

template <class T>
void* add_vv(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {
  return elementwise<T, Arith<T>::add>(tp, d1, d2, c);
}

template <class T>
void* sub_vv(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {
  return elementwise<T, Arith<T>::sub>(tp, d1, d2, c);
}

template <class T>
void* mul_sv(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {
  AlgebraView b;
  if (!d1 || !algebra_view(tp, d2, &b)) return nullptr;
  AlgebraResult r = algebra_result(tp, b.dim, b.ix, c, false);
  if (!r.value) return nullptr;
  const T s = load<T>(d1);
  for (int64_t i = 0; i < b.count; ++i)
    store<T>(r.elems + i * sizeof(T), Arith<T>::mul(load<T>(b.elems + i * sizeof(T)), s));
  return r.value;
}

template <class T>
void* mul_mm(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {
  AlgebraView a, b;
  if (!algebra_view(tp, d1, &a) || !algebra_view(tp, d2, &b) || a.dim != 2 || b.dim != 2) return nullptr;
  const int64_t n = a.ix[0], rows = a.ix[1], cols = b.ix[0];
  if (n != b.ix[1]) return nullptr;
  const int32_t ix[2] = {b.ix[0], a.ix[1]};
  AlgebraResult r = algebra_result(tp, 2, ix, c, true);
  if (!r.value) return nullptr;
  // Row by row: each element still sums its products from zero in
  // increasing j, and the inner loop runs along rows of B and R.
  for (int64_t row = 0; row < rows; ++row) {
    uint8_t* out = r.elems + row * cols * static_cast<int64_t>(sizeof(T));
    for (int64_t j = 0; j < n; ++j) {
      const T x = load<T>(a.elems + (j + n * row) * static_cast<int64_t>(sizeof(T)));
      const uint8_t* in = b.elems + j * cols * static_cast<int64_t>(sizeof(T));
      for (int64_t k = 0; k < cols; ++k)
        store<T>(out + k * sizeof(T), Arith<T>::add(load<T>(out + k * sizeof(T)), Arith<T>::mul(x, load<T>(in + k * sizeof(T)))));
    }
  }
  return r.value;
}

template <class T>
void* trans_m(const MATRIX_DATA_TYPE* tp, const void* d1, MX_CACHE* c) {
  AlgebraView a;
  if (!algebra_view(tp, d1, &a) || a.dim != 2) return nullptr;
  const int64_t cols = a.ix[0], rows = a.ix[1];
  const int32_t ix[2] = {a.ix[1], a.ix[0]};
  AlgebraResult r = algebra_result(tp, 2, ix, c, false);
  if (!r.value) return nullptr;
  for (int64_t row = 0; row < cols; ++row)
    for (int64_t k = 0; k < rows; ++k)
      std::memcpy(r.elems + (k + rows * row) * static_cast<int64_t>(sizeof(T)),
                  a.elems + (row + cols * k) * static_cast<int64_t>(sizeof(T)), sizeof(T));
  return r.value;
}

}  // namespace

#define MXT_ALGEBRA_DEFINE(name, T)                                                                      \
  void* mxt_add_vv_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {     \
    return add_vv<T>(tp, d1, d2, c);                                                                     \
  }                                                                                                      \
  void* mxt_sub_vv_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {     \
    return sub_vv<T>(tp, d1, d2, c);                                                                     \
  }                                                                                                      \
  void* mxt_mul_sv_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {     \
    return mul_sv<T>(tp, d1, d2, c);                                                                     \
  }                                                                                                      \
  void* mxt_mul_mm_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c) {     \
    return mul_mm<T>(tp, d1, d2, c);                                                                     \
  }                                                                                                      \
  void* mxt_trans_m_##name(const MATRIX_DATA_TYPE* tp, const void* d1, MX_CACHE* c) { return trans_m<T>(tp, d1, c); }

MXT_ALGEBRA_DEFINE(int8, int8_t)
MXT_ALGEBRA_DEFINE(int16, int16_t)
MXT_ALGEBRA_DEFINE(int32, int32_t)
MXT_ALGEBRA_DEFINE(int64, int64_t)
MXT_ALGEBRA_DEFINE(uint8, uint8_t)
MXT_ALGEBRA_DEFINE(uint16, uint16_t)
MXT_ALGEBRA_DEFINE(uint32, uint32_t)
MXT_ALGEBRA_DEFINE(uint64, uint64_t)
MXT_ALGEBRA_DEFINE(float, float)
MXT_ALGEBRA_DEFINE(double, double)
#undef MXT_ALGEBRA_DEFINE

// ---- generic entries

namespace {

MATRIX_DATA_TYPE* type_of(const void* d) {
  if (!d) return nullptr;
  MATRIX_DH_SET dh;
  return get_matrix_dh_set(&dh, d);
}

}  // namespace

void* mxt_add_vv(const void* d1, const void* d2, MX_CACHE* c) {
  MATRIX_DATA_TYPE* tp = type_of(d1);
  return tp && tp->add_vv ? tp->add_vv(tp, d1, d2, c) : nullptr;
}

void* mxt_sub_vv(const void* d1, const void* d2, MX_CACHE* c) {
  MATRIX_DATA_TYPE* tp = type_of(d1);
  return tp && tp->sub_vv ? tp->sub_vv(tp, d1, d2, c) : nullptr;
}

void* mxt_mul_mm(const void* d1, const void* d2, MX_CACHE* c) {
  MATRIX_DATA_TYPE* tp = type_of(d1);
  return tp && tp->mul_mm ? tp->mul_mm(tp, d1, d2, c) : nullptr;
}

void* mxt_mul_sv(const void* d1, const void* d2, MX_CACHE* c) {
  MATRIX_DATA_TYPE* tp = type_of(d2);
  return tp && tp->mul_sv ? tp->mul_sv(tp, d1, d2, c) : nullptr;
}

void* mxt_trans_m(const void* d1, MX_CACHE* c) {
  MATRIX_DATA_TYPE* tp = type_of(d1);
  return tp && tp->trans_m ? tp->trans_m(tp, d1, c) : nullptr;
}

// ---- building vectors

void* mxt_compound_vv(const void* d1, const void* d2, int ix, MX_CACHE* mxc) {
  MATRIX_DATA_TYPE* tp = type_of(d1);
  AlgebraView a, b;
  if (!is_algebra_type(tp) || !algebra_view(tp, d1, &a) || !algebra_view(tp, d2, &b)) return nullptr;
  if (a.dim != b.dim || ix < 0 || ix >= a.dim) return nullptr;
  int32_t out[kAlgebraMaxDim];
  int64_t inner = mxt_vector_element_size(tp), outer = 1;
  for (int k = 0; k < a.dim; ++k) {
    if (k != ix && a.ix[k] != b.ix[k]) return nullptr;
    out[k] = a.ix[k];
    if (k < ix) inner *= a.ix[k];
    if (k > ix) outer *= a.ix[k];
  }
  const int64_t joined = int64_t{a.ix[ix]} + b.ix[ix];
  if (joined > INT32_MAX) return nullptr;
  out[ix] = static_cast<int32_t>(joined);
  AlgebraResult r = algebra_result(tp, a.dim, out, mxc, false);
  if (!r.value) return nullptr;
  // Along ix and above, the result is d1's slab then d2's, for every index
  // of the dimensions above ix.
  const int64_t na = inner * a.ix[ix], nb = inner * b.ix[ix];
  uint8_t* at = r.elems;
  for (int64_t o = 0; o < outer; ++o) {
    if (na) std::memcpy(at, a.elems + o * na, static_cast<size_t>(na));
    at += na;
    if (nb) std::memcpy(at, b.elems + o * nb, static_cast<size_t>(nb));
    at += nb;
  }
  return r.value;
}

void* mxt_e_m(const MATRIX_DATA_TYPE* tp, int size, MX_CACHE* mxc) {
  if (!is_algebra_type(tp) || !tp->parent->get_zero || !tp->parent->get_el || size < 0) return nullptr;
  const int32_t ix[2] = {size, size};
  alignas(8) uint8_t zero[8], one[8];
  tp->parent->get_zero(tp->parent, zero);
  tp->parent->get_el(tp->parent, one);
  AlgebraResult r = algebra_result(tp, 2, ix, mxc, false);
  if (!r.value) return nullptr;
  const int64_t e = mxt_vector_element_size(tp);
  for (int64_t i = 0; i < int64_t{size} * size; ++i) std::memcpy(r.elems + i * e, zero, static_cast<size_t>(e));
  for (int64_t i = 0; i < size; ++i) std::memcpy(r.elems + (i + int64_t{size} * i) * e, one, static_cast<size_t>(e));
  return r.value;
}

void* mxt_get_matrix_from_ary(const MATRIX_DATA_TYPE* tp, const void* ary, int size, int dim, MX_CACHE* mxc) {
  if (!is_algebra_type(tp) || (dim != 1 && dim != 2) || size < 0 || (size > 0 && !ary)) return nullptr;
  const int32_t ix[2] = {size, 1};
  AlgebraResult r = algebra_result(tp, dim, ix, mxc, false);
  if (!r.value) return nullptr;
  if (size > 0) std::memcpy(r.elems, ary, static_cast<size_t>(int64_t{size} * mxt_vector_element_size(tp)));
  return r.value;
}

namespace mxe {

void fill_algebra_slots() {
  struct Row {
    MATRIX_DATA_TYPE* tp;
    decltype(MATRIX_DATA_TYPE::add_vv) add, sub, mul_mm, mul_sv;
    decltype(MATRIX_DATA_TYPE::trans_m) trans;
  };
#define MXE_ALGEBRA_ROW(name) \
  {&mx_type_##name##_v, mxt_add_vv_##name, mxt_sub_vv_##name, mxt_mul_mm_##name, mxt_mul_sv_##name, mxt_trans_m_##name}
  const Row rows[] = {
      MXE_ALGEBRA_ROW(int8),   MXE_ALGEBRA_ROW(int16),  MXE_ALGEBRA_ROW(int32), MXE_ALGEBRA_ROW(int64),
      MXE_ALGEBRA_ROW(uint8),  MXE_ALGEBRA_ROW(uint16), MXE_ALGEBRA_ROW(uint32), MXE_ALGEBRA_ROW(uint64),
      MXE_ALGEBRA_ROW(float),  MXE_ALGEBRA_ROW(double),
  };
#undef MXE_ALGEBRA_ROW
  for (const Row& r : rows) {
    r.tp->add_vv = r.add;
    r.tp->sub_vv = r.sub;
    r.tp->mul_mm = r.mul_mm;
    r.tp->mul_sv = r.mul_sv;
    r.tp->trans_m = r.trans;
  }
}

}  // namespace mxe
