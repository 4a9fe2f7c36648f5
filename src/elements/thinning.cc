// Thinning: one child's block written into its parent's block, by
// representative or by the mean of each cell. One kernel per element type
// and rule; the walks keep their counters on the stack and move through
// both blocks by precomputed strides, so the inner loops only load, add
// and store.
#include <type_traits>

#include "elements/pyramid.h"
#include "elements/pyramid_impl.h"
#include "elements/value.h"

namespace mxe {

int kernel_vector(const void* v, int code, int dim, KernelVector* kv) {
  if (!v || dim < 1 || dim > kMaxVectorDim) return -1;
  const auto* b = static_cast<const uint8_t*>(v);
  int h = vector_offset(b);
  if (b[1] != code || load<int16_t>(b + 2) != dim || h < 4 + 4 * dim) return -1;
  kv->elems = const_cast<uint8_t*>(b) + h;
  kv->empty = false;
  int64_t stride = 1;
  for (int d = 0; d < dim; ++d) {
    int32_t e = load<int32_t>(b + 4 + 4 * d);
    if (e < 0) return -1;
    kv->ix[d] = e;
    kv->stride[d] = stride;
    stride *= e;
    kv->empty = kv->empty || e == 0;
  }
  return 0;
}

int parent_map(const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, const int32_t* child,
               const int32_t* target, ParentMap* out) {
  if (!m || m->dim < 1 || m->dim > kMaxVectorDim) return -1;
  if (mx_node_parent_map(m, dim_code, parent, out->s, out->ofs, out->phase) != 0) return -1;
  out->dim = m->dim;
  out->narrow = false;
  for (int d = 0; d < m->dim; ++d) {
    out->narrow = out->narrow || m->block_size[d] < out->s[d];
    if (child[d] == 0) continue;
    int64_t last = ((static_cast<int64_t>(child[d]) - 1 + out->phase[d]) >> out->s[d]) + out->ofs[d];
    if (out->ofs[d] < 0 || last >= target[d]) return -1;
  }
  return 0;
}

}  // namespace mxe

using namespace mxe;

namespace {

// ---- rules of the mean

// Integers: exact sums, quotient truncated toward zero.
template <class E>
struct IntRule {
  using T = E;
  using Acc = std::conditional_t<sizeof(E) == 8, std::conditional_t<std::is_signed_v<E>, __int128, unsigned __int128>,
                                 std::conditional_t<std::is_signed_v<E>, int64_t, uint64_t>>;
  // Four elements of at most 16 bits fit a 32-bit sum, which vectorises.
  using Acc4 = std::conditional_t<sizeof(E) <= 2, std::conditional_t<std::is_signed_v<E>, int32_t, uint32_t>, Acc>;
  static void add(Acc& a, E x) { a += x; }
  static E mean(Acc a, int64_t n) { return static_cast<E>(a / static_cast<Acc>(n)); }
  static E mean4(E a, E b, E c, E d) {
    return static_cast<E>((static_cast<Acc4>(a) + static_cast<Acc4>(b) + static_cast<Acc4>(c) + static_cast<Acc4>(d)) /
                          4);
  }
};

// float and double: summed in double, in storage order, from -0.0 (the
// additive identity, so an all -0.0 cell stays -0.0), rounded once.
template <class E>
struct FloatRule {
  using T = E;
  using Acc = double;
  static constexpr Acc kZero = -0.0;
  static void add(Acc& a, E x) { a += static_cast<double>(x); }
  static E mean(Acc a, int64_t n) { return static_cast<E>(a / static_cast<double>(n)); }
  static E mean4(E a, E b, E c, E d) {
    return static_cast<E>((((static_cast<double>(a) + b) + c) + d) / 4.0);
  }
};

// rgb8: four unsigned byte lanes.
struct RgbRule {
  using T = uint32_t;
  struct Acc {
    uint64_t lane[4] = {};
  };
  static void add(Acc& a, uint32_t x) {
    for (int j = 0; j < 4; ++j) a.lane[j] += (x >> (8 * j)) & 0xFF;
  }
  static uint32_t mean(const Acc& a, int64_t n) {
    uint32_t r = 0;
    for (int j = 0; j < 4; ++j) r |= static_cast<uint32_t>(a.lane[j] / static_cast<uint64_t>(n)) << (8 * j);
    return r;
  }
  // Two lanes per 32-bit word: four bytes sum to at most 1020, which stays
  // inside each lane's 16 bits.
  static uint32_t mean4(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    constexpr uint32_t kMask = 0x00FF00FF;
    uint32_t even = (a & kMask) + (b & kMask) + (c & kMask) + (d & kMask);
    uint32_t odd = ((a >> 8) & kMask) + ((b >> 8) & kMask) + ((c >> 8) & kMask) + ((d >> 8) & kMask);
    return ((even >> 2) & kMask) | (((odd >> 2) & kMask) << 8);
  }
};

template <class R>
typename R::Acc zero_acc() {
  if constexpr (std::is_same_v<typename R::Acc, double>) return R::kZero;
  else return typename R::Acc{};
}

// ---- the walks

// Calls row(dest index, src index, count, src step) once for every row of
// representatives along dimension 0, the rows in storage order.
template <class Row>
void rep_walk(const KernelVector& src, const KernelVector& dst, const ParentMap& mp, const int32_t* rep, Row row) {
  int dim = mp.dim;
  int32_t n[kMaxVectorDim];
  int32_t c[kMaxVectorDim] = {};
  int64_t step[kMaxVectorDim];
  int64_t sb = 0, db = 0;
  for (int d = 0; d < dim; ++d) {
    if (rep[d] < 0 || rep[d] >= src.ix[d]) return;  // no representative along d
    n[d] = ((src.ix[d] - 1 - rep[d]) >> mp.s[d]) + 1;
    step[d] = src.stride[d] << mp.s[d];
    sb += rep[d] * src.stride[d];
    db += mp.ofs[d] * dst.stride[d];
  }
  for (;;) {
    row(db, sb, n[0], step[0]);
    int d = 1;
    for (; d < dim; ++d) {
      sb += step[d];
      db += dst.stride[d];
      if (++c[d] < n[d]) break;
      sb -= n[d] * step[d];
      db -= n[d] * dst.stride[d];
      c[d] = 0;
    }
    if (d >= dim) return;
  }
}

// The mean of the cell at src index sb with widths w (all dimensions).
template <class R>
typename R::T cell_mean(const KernelVector& src, int dim, int64_t sb, const int32_t* w) {
  using T = typename R::T;
  typename R::Acc acc = zero_acc<R>();
  int32_t r[kMaxVectorDim] = {};
  int64_t ro = sb;
  int64_t count = w[0];
  for (int d = 1; d < dim; ++d) count *= w[d];
  for (;;) {
    for (int32_t k = 0; k < w[0]; ++k) R::add(acc, at<T>(src, ro + k));
    int d = 1;
    for (; d < dim; ++d) {
      ro += src.stride[d];
      if (++r[d] < w[d]) break;
      ro -= w[d] * src.stride[d];
      r[d] = 0;
    }
    if (d >= dim) break;
  }
  return R::mean(acc, count);
}

// Two dimensions with 2 x 2 cells, the common case: full cells four loads
// each, the cut last column and row through the general mean.
template <class R>
void avg_2x2(const KernelVector& src, KernelVector& dst, const ParentMap& mp) {
  using T = typename R::T;
  const int32_t e0 = src.ix[0], e1 = src.ix[1];
  const int32_t n0 = e0 >> 1, n1 = e1 >> 1;
  const int64_t s1 = src.stride[1], d1 = dst.stride[1];
  int64_t db = mp.ofs[1] * d1 + mp.ofs[0];
  for (int32_t y = 0; y < n1; ++y, db += d1) {
    int64_t r0 = 2 * y * s1, r1 = r0 + s1;
    for (int32_t x = 0; x < n0; ++x)
      put_at<T>(dst, db + x,
                R::mean4(at<T>(src, r0 + 2 * x), at<T>(src, r0 + 2 * x + 1), at<T>(src, r1 + 2 * x),
                         at<T>(src, r1 + 2 * x + 1)));
    if (e0 & 1) {
      const int32_t w[2] = {1, 2};
      put_at<T>(dst, db + n0, cell_mean<R>(src, 2, r0 + e0 - 1, w));
    }
  }
  if (e1 & 1) {
    int64_t r0 = (e1 - 1) * s1;
    for (int32_t x = 0; x <= (e0 - 1) >> 1; ++x) {
      const int32_t w[2] = {2 * x + 1 < e0 ? 2 : 1, 1};
      put_at<T>(dst, db + x, cell_mean<R>(src, 2, r0 + 2 * x, w));
    }
  }
}

template <class R>
void avg_walk(const KernelVector& src, KernelVector& dst, const ParentMap& mp) {
  using T = typename R::T;
  int dim = mp.dim;
  if (dim == 2 && mp.s[0] == 1 && mp.s[1] == 1) return avg_2x2<R>(src, dst, mp);
  int32_t ncell[kMaxVectorDim], last[kMaxVectorDim], full[kMaxVectorDim], w[kMaxVectorDim];
  int32_t c[kMaxVectorDim] = {};
  int64_t sb = 0, db = 0;
  for (int d = 0; d < dim; ++d) {
    ncell[d] = ((src.ix[d] - 1) >> mp.s[d]) + 1;
    full[d] = int32_t{1} << mp.s[d];
    last[d] = src.ix[d] - ((ncell[d] - 1) << mp.s[d]);
    w[d] = ncell[d] == 1 ? last[d] : full[d];
    db += mp.ofs[d] * dst.stride[d];
  }
  for (;;) {
    for (int32_t j = 0; j < ncell[0]; ++j) {
      w[0] = j == ncell[0] - 1 ? last[0] : full[0];
      put_at<T>(dst, db + j, cell_mean<R>(src, dim, sb + static_cast<int64_t>(j) * full[0], w));
    }
    int d = 1;
    for (; d < dim; ++d) {
      sb += src.stride[d] * full[d];
      db += dst.stride[d];
      if (++c[d] < ncell[d]) {
        w[d] = c[d] == ncell[d] - 1 ? last[d] : full[d];
        break;
      }
      sb -= src.stride[d] * full[d] * ncell[d];
      db -= dst.stride[d] * ncell[d];
      c[d] = 0;
      w[d] = ncell[d] == 1 ? last[d] : full[d];
    }
    if (d >= dim) return;
  }
}

// ---- checks shared by the members

// Reads both vectors and the map: 0, -1, or dest_error for a dest whose
// number of dimensions is not the matrix's.
int thinning_call(int code, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, void* dest,
                  const void* src, int dest_error, KernelVector* sv, KernelVector* dv, ParentMap* mp) {
  if (!m || kernel_vector(src, code, m->dim, sv) != 0) return -1;
  if (kernel_vector(dest, code, m->dim, dv) != 0) {
    const auto* b = static_cast<const uint8_t*>(dest);
    return b && b[1] == code && load<int16_t>(b + 2) != m->dim ? dest_error : -1;
  }
  return parent_map(m, dim_code, parent, sv->ix, dv->ix, mp);
}

// Representatives inside a cell, a missing list read as zeros: false, or
// true with the child index of the first one (negative along d where the
// child begins past it inside a cell wider than the child).
bool rep_inside(const ParentMap& mp, const int32_t* rep, int32_t* out) {
  for (int d = 0; d < mp.dim; ++d) {
    out[d] = rep ? rep[d] : 0;
    if (out[d] < 0 || out[d] >= (int64_t{1} << mp.s[d])) return false;
    out[d] -= mp.phase[d];
  }
  return true;
}

template <class T>
int thin_rep(int code, const MATRIX_GEOMETRY* m, const int64_t* dim_code, const int32_t* rep, int parent, void* dest,
             const void* src, int dest_error) {
  KernelVector sv, dv;
  ParentMap mp;
  int32_t r[kMaxVectorDim];
  if (int e = thinning_call(code, m, dim_code, parent, dest, src, dest_error, &sv, &dv, &mp)) return e;
  if (!rep_inside(mp, rep, r)) return -1;
  if (sv.empty) return 0;
  rep_walk(sv, dv, mp, r, [&](int64_t db, int64_t sb, int32_t n, int64_t step) {
    for (int32_t j = 0; j < n; ++j) put_at<T>(dv, db + j, at<T>(sv, sb + j * step));
  });
  return 0;
}

template <class R>
int thin_avg(int code, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, void* dest, const void* src) {
  KernelVector sv, dv;
  ParentMap mp;
  if (thinning_call(code, m, dim_code, parent, dest, src, -1, &sv, &dv, &mp) != 0) return -1;
  // A cell that spans several children has no mean in one child's block.
  if (mp.narrow) return -1;
  if (!sv.empty) avg_walk<R>(sv, dv, mp);
  return 0;
}

}  // namespace

#define MXT_THINNING_MEMBER(name, code, T, Rule, dest_error)                                                   \
  int mxt_##name##_thined_rep(const MATRIX_DATA_TYPE*, const MATRIX_GEOMETRY* m, const int64_t* dim_code,     \
                              const int32_t* rep, int parent, void* dest, const void* src) {                  \
    return thin_rep<T>(code + MX_TYPE_VECTOR, m, dim_code, rep, parent, dest, src, dest_error);              \
  }                                                                                                          \
  int mxt_##name##_thined_avg(const MATRIX_DATA_TYPE*, const MATRIX_GEOMETRY* m, const int64_t* dim_code,     \
                              int parent, void* dest, const void* src) {                                     \
    return thin_avg<Rule>(code + MX_TYPE_VECTOR, m, dim_code, parent, dest, src);                            \
  }

MXT_THINNING_MEMBER(int8, MX_TYPE_INT8, int8_t, IntRule<int8_t>, -2)
MXT_THINNING_MEMBER(int16, MX_TYPE_INT16, int16_t, IntRule<int16_t>, -2)
MXT_THINNING_MEMBER(int32, MX_TYPE_INT32, int32_t, IntRule<int32_t>, -2)
MXT_THINNING_MEMBER(int64, MX_TYPE_INT64, int64_t, IntRule<int64_t>, -2)
MXT_THINNING_MEMBER(uint8, MX_TYPE_UINT8, uint8_t, IntRule<uint8_t>, -2)
MXT_THINNING_MEMBER(uint16, MX_TYPE_UINT16, uint16_t, IntRule<uint16_t>, -2)
MXT_THINNING_MEMBER(uint32, MX_TYPE_UINT32, uint32_t, IntRule<uint32_t>, -2)
MXT_THINNING_MEMBER(uint64, MX_TYPE_UINT64, uint64_t, IntRule<uint64_t>, -2)
MXT_THINNING_MEMBER(float, MX_TYPE_FLOAT, float, FloatRule<float>, -1)
MXT_THINNING_MEMBER(double, MX_TYPE_DOUBLE, double, FloatRule<double>, -1)
MXT_THINNING_MEMBER(RGB, MX_TYPE_RGB, uint32_t, RgbRule, -1)

int mxt_string_thined_rep(const MATRIX_DATA_TYPE*, const MATRIX_GEOMETRY* m, const int64_t* dim_code,
                          const int32_t* rep, int parent, void* dest, const void* src) {
  KernelVector sv, dv;
  ParentMap mp;
  int32_t r[kMaxVectorDim];
  if (thinning_call(MX_TYPE_STRING_V, m, dim_code, parent, dest, src, -1, &sv, &dv, &mp) != 0) return -1;
  if (!rep_inside(mp, rep, r)) return -1;
  if (sv.empty) return 0;
  int kind = mxt_stringv_kind(dest);
  rep_walk(sv, dv, mp, r, [&](int64_t db, int64_t sb, int32_t n, int64_t step) {
    for (int32_t j = 0; j < n; ++j) {
      char* text = copy_text(at<char*>(sv, sb + j * step), kind, __FILE__, __LINE__);
      release_text(at<char*>(dv, db + j), kind);
      put_at<char*>(dv, db + j, text);
    }
  });
  return 0;
}

namespace mxe {

void fill_pyramid_slots() {
  struct Row {
    MATRIX_DATA_TYPE* tp;
    decltype(MATRIX_DATA_TYPE::thinned_rep) rep;
    decltype(MATRIX_DATA_TYPE::thinned_avg) avg;
    decltype(MATRIX_DATA_TYPE::v_add) add;
    decltype(MATRIX_DATA_TYPE::v_sub) sub;
  };
#define MXT_ROW(name) \
  {&mx_type_##name##_v, mxt_##name##_thined_rep, mxt_##name##_thined_avg, mxt_##name##_add, mxt_##name##_sub}
  const Row rows[] = {MXT_ROW(int8),   MXT_ROW(int16),  MXT_ROW(int32), MXT_ROW(int64),
                      MXT_ROW(uint8),  MXT_ROW(uint16), MXT_ROW(uint32), MXT_ROW(uint64),
                      MXT_ROW(float),  MXT_ROW(double), MXT_ROW(RGB)};
#undef MXT_ROW
  for (const Row& r : rows) {
    r.tp->thinned_rep = r.rep;
    r.tp->thinned_avg = r.avg;
    r.tp->v_add = r.add;
    r.tp->v_sub = r.sub;
  }
  mx_type_string_v.thinned_rep = mxt_string_thined_rep;
}

}  // namespace mxe
