// Level differences: a child block combined element by element with its
// ancestor's block read at the child's resolution (each ancestor element
// repeated over its cell). One kernel per element type and operation;
// rows along dimension 0 run without index arithmetic beyond a shift.
#include <algorithm>
#include <limits>
#include <type_traits>

#include "elements/pyramid.h"
#include "elements/pyramid_impl.h"
#include "elements/value_mode.h"

using namespace mxe;

namespace {

// ---- element operations: f(x, y) with x the ancestor's element

// 8- and 16-bit integers: the exact sum or difference, saturated as
// round_int stores it.
template <class T, bool kAdd>
struct Saturate {
  using E = T;
  static T apply(T x, T y) {
    int32_t v = kAdd ? int32_t{x} + int32_t{y} : int32_t{x} - int32_t{y};
    return static_cast<T>(std::clamp<int32_t>(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
  }
};

// 32- and 64-bit integers wrap in their own width.
template <class T, bool kAdd>
struct Wrap {
  using E = T;
  static T apply(T x, T y) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(kAdd ? static_cast<U>(x) + static_cast<U>(y) : static_cast<U>(x) - static_cast<U>(y));
  }
};

// float and double in their own precision.
template <class T, bool kAdd>
struct Floating {
  using E = T;
  static T apply(T x, T y) { return kAdd ? x + y : x - y; }
};

// uint8 "CURVE": the sum with the curve of the difference code, saturated;
// the difference stored as its inverse-curve code.
struct CurveAdd {
  using E = uint8_t;
  static uint8_t apply(uint8_t x, uint8_t y) {
    return static_cast<uint8_t>(std::clamp<int32_t>(x + __uchar2short_tbl[y], 0, 255));
  }
};
struct CurveSub {
  using E = uint8_t;
  static uint8_t apply(uint8_t x, uint8_t y) { return __short2uchar_tbl[x - y + 255]; }
};

// rgb8: each byte lane through the uint8 operation of the mode.
template <class Lane>
struct Lanes {
  using E = uint32_t;
  static uint32_t apply(uint32_t x, uint32_t y) {
    uint32_t r = 0;
    for (int j = 0; j < 32; j += 8)
      r |= uint32_t{Lane::apply(static_cast<uint8_t>(x >> j), static_cast<uint8_t>(y >> j))} << j;
    return r;
  }
};

// ---- the walk

// One row along dimension 0: out[k] = f(p[(k + ph) >> s], c[k]), ph the
// child's phase in its first cell (0 unless it is narrower). Plain pointers:
// the stores go through bytes, which would make the compiler reload
// anything reached through a reference.
template <class Op>
void diff_row(uint8_t* out, const uint8_t* p, const uint8_t* c, int32_t n, int32_t s, int32_t ph) {
  using E = typename Op::E;
  constexpr size_t w = sizeof(E);
  if (s == 0) {
    for (int32_t k = 0; k < n; ++k) store<E>(out + k * w, Op::apply(load<E>(p + k * w), load<E>(c + k * w)));
    return;
  }
  // The ancestor's row repeated into a stack buffer a chunk at a time, so
  // that the combining loop runs over three plain rows.
  constexpr int32_t kChunk = 512;
  E up[kChunk];
  for (int32_t k0 = 0; k0 < n; k0 += kChunk) {
    int32_t m = std::min(kChunk, n - k0);
    if (s == 1 && ph == 0) {  // the common case: each element twice
      const uint8_t* half = p + static_cast<size_t>(k0 >> 1) * w;
      for (int32_t j = 0; j < (m + 1) / 2; ++j) up[2 * j] = up[2 * j + 1] = load<E>(half + j * w);
    } else {
      for (int32_t j = 0; j < m; ++j) up[j] = load<E>(p + static_cast<size_t>((k0 + j + ph) >> s) * w);
    }
    for (int32_t j = 0; j < m; ++j) store<E>(out + (k0 + j) * w, Op::apply(up[j], load<E>(c + (k0 + j) * w)));
  }
}

template <class Op>
void diff_walk(KernelVector& out, const KernelVector& p, const KernelVector& c, const ParentMap& mp) {
  int dim = mp.dim;
  int32_t i[kMaxVectorDim] = {};
  int64_t cb = 0;
  for (;;) {
    int64_t pb = mp.ofs[0];
    for (int d = 1; d < dim; ++d) pb += (((i[d] + mp.phase[d]) >> mp.s[d]) + mp.ofs[d]) * p.stride[d];
    constexpr int64_t w = sizeof(typename Op::E);
    diff_row<Op>(out.elems + cb * w, p.elems + pb * w, c.elems + cb * w, c.ix[0], mp.s[0], mp.phase[0]);
    int d = 1;
    for (; d < dim; ++d) {
      cb += c.stride[d];
      if (++i[d] < c.ix[d]) break;
      cb -= c.stride[d] * c.ix[d];
      i[d] = 0;
    }
    if (d >= dim) return;
  }
}

// The checks of every member, then the walk of Op (Curve for mode "CURVE"
// where the member has one).
template <class Op, class Curve = Op>
int level_diff(int code, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, int mode, void* dest,
               const void* src1, const void* src2) {
  KernelVector out, p, c;
  ParentMap mp;
  if (!m || !dim_code || dim_code[0] <= 0) return -1;
  if (kernel_vector(src1, code, m->dim, &p) != 0 || kernel_vector(src2, code, m->dim, &c) != 0 ||
      kernel_vector(dest, code, m->dim, &out) != 0)
    return -1;
  if (!std::equal(c.ix, c.ix + m->dim, out.ix)) return -1;
  if (parent_map(m, dim_code, parent, c.ix, p.ix, &mp) != 0) return -1;
  if (c.empty) return 0;
  if (mode == MX_MODE_CURVE) diff_walk<Curve>(out, p, c, mp);
  else diff_walk<Op>(out, p, c, mp);
  return 0;
}

// The operation of a member without a curve.
template <class T, bool kAdd>
using PlainOp = std::conditional_t<std::is_floating_point_v<T>, Floating<T, kAdd>,
                                   std::conditional_t<(sizeof(T) <= 2), Saturate<T, kAdd>, Wrap<T, kAdd>>>;
template <class T>
using AddOf = PlainOp<T, true>;
template <class T>
using SubOf = PlainOp<T, false>;
using AddLane = AddOf<uint8_t>;
using SubLane = SubOf<uint8_t>;

}  // namespace

int add_RGB(int a, int b, int opt) {
  auto x = static_cast<uint32_t>(a), y = static_cast<uint32_t>(b);
  return static_cast<int>(opt == MX_MODE_CURVE ? Lanes<CurveAdd>::apply(x, y) : Lanes<AddLane>::apply(x, y));
}

int sub_RGB(int a, int b, int opt) {
  auto x = static_cast<uint32_t>(a), y = static_cast<uint32_t>(b);
  return static_cast<int>(opt == MX_MODE_CURVE ? Lanes<CurveSub>::apply(x, y) : Lanes<SubLane>::apply(x, y));
}

#define MXT_DIFFERENCE_MEMBER(name, code, AddOp, SubOp, AddCurve, SubCurve)                                     \
  int mxt_##name##_add(const MATRIX_DATA_TYPE*, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, \
                       int a, void* dest, const void* src1, const void* src2) {                               \
    return level_diff<AddOp, AddCurve>(code + MX_TYPE_VECTOR, m, dim_code, parent, a, dest, src1, src2);       \
  }                                                                                                           \
  int mxt_##name##_sub(const MATRIX_DATA_TYPE*, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, \
                       int a, void* dest, const void* src1, const void* src2) {                               \
    return level_diff<SubOp, SubCurve>(code + MX_TYPE_VECTOR, m, dim_code, parent, a, dest, src1, src2);       \
  }
#define MXT_PLAIN_DIFFERENCE(name, code, T) MXT_DIFFERENCE_MEMBER(name, code, AddOf<T>, SubOf<T>, AddOf<T>, SubOf<T>)

MXT_PLAIN_DIFFERENCE(int8, MX_TYPE_INT8, int8_t)
MXT_PLAIN_DIFFERENCE(int16, MX_TYPE_INT16, int16_t)
MXT_PLAIN_DIFFERENCE(int32, MX_TYPE_INT32, int32_t)
MXT_PLAIN_DIFFERENCE(int64, MX_TYPE_INT64, int64_t)
MXT_PLAIN_DIFFERENCE(uint16, MX_TYPE_UINT16, uint16_t)
MXT_PLAIN_DIFFERENCE(uint32, MX_TYPE_UINT32, uint32_t)
MXT_PLAIN_DIFFERENCE(uint64, MX_TYPE_UINT64, uint64_t)
MXT_PLAIN_DIFFERENCE(float, MX_TYPE_FLOAT, float)
MXT_PLAIN_DIFFERENCE(double, MX_TYPE_DOUBLE, double)
MXT_DIFFERENCE_MEMBER(uint8, MX_TYPE_UINT8, AddLane, SubLane, CurveAdd, CurveSub)
MXT_DIFFERENCE_MEMBER(RGB, MX_TYPE_RGB, Lanes<AddLane>, Lanes<SubLane>, Lanes<CurveAdd>, Lanes<CurveSub>)
