// Sizes, vector views, storage by kind, and allocation, copy and free of
// scalars, strings and plain vectors.
#include "elements/value.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "elements/element_impl.h"
#include "elements/geometry.h"
#include "elements/held.h"
#include "elements/pool.h"

using mxe::kMaxValueBytes;

namespace mxe {

int element_width(const MATRIX_DATA_TYPE* tp) {
  if (!tp || !mx_is_vector_code(tp->type)) return 0;
  switch (mx_scalar_code(tp->type)) {
    case MX_TYPE_INT8:
    case MX_TYPE_UINT8:
      return 1;
    case MX_TYPE_INT16:
    case MX_TYPE_UINT16:
      return 2;
    case MX_TYPE_INT32:
    case MX_TYPE_UINT32:
    case MX_TYPE_FLOAT:
    case MX_TYPE_RGB:
      return 4;
    case MX_TYPE_INT64:
    case MX_TYPE_UINT64:
    case MX_TYPE_DOUBLE:
    case MX_TYPE_STRING:
      return 8;
    default:
      return 0;
  }
}

int64_t checked_count(const int32_t* ix, int n) {
  int64_t total = 1;
  for (int i = 0; i < n; ++i) {
    int32_t e = load<int32_t>(ix + i);
    if (e < 0) return -1;
    if (e == 0) total = 0;
    else if (total > kMaxValueBytes / e) return -1;
    else total *= e;
  }
  return total;
}

int64_t element_area(const MATRIX_DATA_TYPE* tp, int64_t count) {
  if (count < 0) return -1;
  if (tp->type == MX_TYPE_BIT + MX_TYPE_VECTOR) return (count + 7) / 8;
  int64_t w = element_width(tp);
  return count > kMaxValueBytes / w ? -1 : count * w;
}

void* raw_alloc(int64_t size, MX_ATYPE atype, MX_CACHE* c, GC_MARK_FUNC mark, bool zero, const char* file,
                int line) {
  if (size < 0 || size > kMaxValueBytes) return nullptr;
  auto n = static_cast<size_t>(size);
  void* p = nullptr;
  switch (mx_atype_kind(atype)) {
    case MX_ATYPE::heap:
      p = zero ? std::calloc(1, n ? n : 1) : std::malloc(n ? n : 1);
      if (!p) er_panic("atype_alloc(heap)");
      return p;
    case MX_ATYPE::collector:
      return xx_mmalloc(n, mark ? mark : gc_text, file, line);
    case MX_ATYPE::tagged:
      if (void* kept = xx_mx_node_block_take(n, file, line)) {
        if (zero) std::memset(kept, 0, n);
        return kept;
      }
      return zero ? xx_d_calloc(n, 1, file, line) : xx_d_alloc(n, file, line);
    case MX_ATYPE::cache:
      p = c ? xx_mxc_alloc(c, n, file, line) : nullptr;
      if (p && zero) std::memset(p, 0, n);
      return p;
  }
  er_panic("atype_alloc");
}

void* new_vector(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, int dim, const int32_t* ix, MX_CACHE* c, bool zero,
                 const char* file, int line) {
  int h = mxt_header_length(tp, dim);
  int64_t count = h < 0 ? -1 : checked_count(ix, dim);
  int64_t area = count < 0 ? -1 : element_area(tp, count);
  if (area < 0 || area > kMaxValueBytes - h) return nullptr;
  auto* v = static_cast<uint8_t*>(raw_alloc(h + area, atype, c, nullptr, false, file, line));
  if (!v) return nullptr;
  std::memset(v, 0, zero ? static_cast<size_t>(h + area) : static_cast<size_t>(h));
  store(v, MATRIX_DATA_HEADER{static_cast<int8_t>(h), static_cast<uint8_t>(tp->type), static_cast<int16_t>(dim)});
  if (dim > 0) std::memcpy(v + 4, ix, 4 * static_cast<size_t>(dim));
  return v;
}

}  // namespace mxe

using namespace mxe;

// ---- sizes and views

int mxt_vector_element_size(const MATRIX_DATA_TYPE* tp) { return element_width(tp); }

int mxt_max_dim(const MATRIX_DATA_TYPE* tp) {
  if (!tp || !mx_is_vector_code(tp->type)) return -1;
  return element_width(tp) == 8 && tp->type != MX_TYPE_STRING_V ? 29 : 30;
}

int mxt_header_length(const MATRIX_DATA_TYPE* tp, int dim) {
  if (!tp || dim < 0 || dim > mxt_max_dim(tp)) return -1;
  int base = 4 + 4 * dim;
  if (tp->type == MX_TYPE_BIT + MX_TYPE_VECTOR) return base;
  if (tp->type == MX_TYPE_STRING_V) return (base + kStringvKindBytes + 7) & ~7;
  int w = element_width(tp);
  return (base + w - 1) / w * w;
}

MATRIX_DATA_TYPE* get_matrix_dh_set(MATRIX_DH_SET* dh, const void* d) {
  auto* v = static_cast<uint8_t*>(const_cast<void*>(d));
  dh->hd = reinterpret_cast<MATRIX_DATA_HEADER*>(v);
  dh->tp = get_matrix_data_type(v[1]);
  if (dh->tp && !mx_is_vector_code(dh->tp->type)) dh->tp = nullptr;
  dh->ix = reinterpret_cast<int32_t*>(v + 4);
  int dim = load<int16_t>(v + 2);
  dh->total_element = 1;
  for (int i = 0; i < dim; ++i) dh->total_element *= load<int32_t>(v + 4 + 4 * i);
  dh->offset = v + vector_offset(v);
  return dh->tp;
}

int cmp_dh_set(const MATRIX_DH_SET* dh1, const MATRIX_DH_SET* dh2) {
  auto sign = [](int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; };
  if (int r = sign(dh1->hd->type, dh2->hd->type)) return r;
  int dim1 = load<int16_t>(&dh1->hd->dim), dim2 = load<int16_t>(&dh2->hd->dim);
  if (int r = sign(dim1, dim2)) return r;
  for (int i = 0; i < dim1; ++i)
    if (int r = sign(load<int32_t>(dh1->ix + i), load<int32_t>(dh2->ix + i))) return r;
  return 0;
}

// ---- storage by kind

void* xx_atype_alloc(int64_t size, MX_ATYPE atype, MX_CACHE* c, GC_MARK_FUNC mark, const char* file, int line) {
  return raw_alloc(size, atype, c, mark, true, file, line);
}

void mxt_release(void* p, int kind, MX_CACHE* c) {
  if (!p) return;
  if (kind == static_cast<int>(MX_ATYPE::heap)) std::free(p);
  else if (kind == static_cast<int>(MX_ATYPE::tagged)) d_f_ree(p);
  else if (kind == static_cast<int>(MX_ATYPE::cache)) mxc_free(c, p);
}

// ---- scalars, strings and plain vectors

namespace {

void* alloc_bytes_copy(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* w, const char* file,
                       int line) {
  int64_t n = tp->get_size(tp, d);
  if (n <= 0) return nullptr;
  void* p = raw_alloc(n, atype, w, nullptr, false, file, line);
  if (p) std::memcpy(p, d, static_cast<size_t>(n));
  return p;
}

}  // namespace

void* xx_mxt_alloc_copy(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                        const char* file, int line) {
  return d ? alloc_bytes_copy(tp, d, atype, at_work, file, line) : nullptr;
}

void* xx_mxt_alloc_data(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* d, MX_CACHE* w, const char* file,
                        int line) {
  if (!d) d = get_zero_datum(tp);
  return d ? alloc_bytes_copy(tp, d, atype, w, file, line) : nullptr;
}

void* mxt_bit_alloc_data(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* d, MX_CACHE* w,
                         const char* file, int line) {
  uint8_t bit = d && *static_cast<const uint8_t*>(d) ? 1 : 0;
  return xx_mxt_alloc_data(tp, atype, &bit, w, file, line);
}

int mxt_vector_copy(const MATRIX_DATA_TYPE* tp, void* d1, const void* d2, MX_ATYPE, MX_CACHE*) {
  if (!d1 || !d2) return -1;
  int64_t n = tp->get_size(tp, d2);
  if (n < 0 || n != tp->get_size(tp, d1)) return -1;
  std::memmove(d1, d2, static_cast<size_t>(n));
  return 0;
}

void mxt_free_data(const MATRIX_DATA_TYPE*, void* d) { d_f_ree(d); }

// ---- vectors

void* xx_mxt_alloc_vector(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* param, MX_CACHE* w,
                          const char* file, int line) {
  const auto* p = static_cast<const MATRIX_ALLOC_VECTOR_PARAM*>(param);
  if (!p || element_width(tp) == 0 || tp->type == MX_TYPE_STRING_V) return nullptr;
  if (mx_atype_kind(atype) == MX_ATYPE::cache && !w) w = p->mxc;
  auto* v = static_cast<uint8_t*>(new_vector(tp, atype, p->dim, p->ix_size, w, !p->default_data, file, line));
  if (!v || !p->default_data) return v;
  // Every element starts as the default: one copy, then doubling copies.
  size_t e = static_cast<size_t>(element_width(tp));
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  size_t total = static_cast<size_t>(dh.total_element) * e;
  if (total == 0) return v;
  std::memcpy(dh.offset, p->default_data, e);
  for (size_t done = e; done < total; done *= 2) std::memcpy(dh.offset + done, dh.offset, std::min(done, total - done));
  return v;
}

void* xx_mxt_alloc_vector_unfilled(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const MATRIX_ALLOC_VECTOR_PARAM* p,
                                   MX_CACHE* w, const char* file, int line) {
  if (!p || !tp || tp->alloc_data != xx_mxt_alloc_vector || element_width(tp) == 0 || tp->type == MX_TYPE_STRING_V)
    return nullptr;
  if (mx_atype_kind(atype) == MX_ATYPE::cache && !w) w = p->mxc;
  return new_vector(tp, atype, p->dim, p->ix_size, w, false, file, line);
}

void* mxt_alloc_bitv(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* param, MX_CACHE* w, const char* file,
                     int line) {
  const auto* p = static_cast<const MATRIX_ALLOC_VECTOR_PARAM*>(param);
  if (!p || tp->type != MX_TYPE_BIT + MX_TYPE_VECTOR) return nullptr;
  if (mx_atype_kind(atype) == MX_ATYPE::cache && !w) w = p->mxc;
  auto* v = static_cast<uint8_t*>(new_vector(tp, atype, p->dim, p->ix_size, w, true, file, line));
  if (v && p->default_data && *static_cast<const uint8_t*>(p->default_data)) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    std::memset(dh.offset, 0xFF, static_cast<size_t>((dh.total_element + 7) / 8));
  }
  return v;
}

void* mxt_alloc_vector_by_dim_code(const MATRIX_GEOMETRY* m, const MATRIX_DATA_TYPE* tp, MX_ATYPE atype,
                                   const int64_t* dim_code, const void* def) {
  if (!m || !tp || !tp->alloc_data || m->dim < 1 || m->dim > kMxMaxDim) return nullptr;
  int32_t extent[kMxMaxDim];
  if (mx_node_shape(m, dim_code, nullptr, extent) != 0) return nullptr;
  MATRIX_ALLOC_VECTOR_PARAM p{m->dim, extent, def, nullptr};
  return tp->alloc_data(tp, atype, &p, nullptr, __FILE__, __LINE__);
}

// ---- defaults

const void* get_zero_datum(const MATRIX_DATA_TYPE* tp) {
  alignas(8) static const uint8_t zero[8] = {};
  static const MATRIX_ALLOC_BLOCK_PARAM empty_block{{0, MX_TYPE_BLOCK, 0}, 0, nullptr, 0, 0};
  if (!tp || mx_is_vector_code(tp->type)) return nullptr;
  switch (tp->type) {
    case MX_TYPE_SEXP:
      return nullptr;
    case MX_TYPE_BLOCK:
      return &empty_block;
    default:
      return zero;  // also the empty text
  }
}

// ---- sizes of the descriptors

namespace {

template <int N>
int64_t fixed_size(const MATRIX_DATA_TYPE*, const void*) {
  return N;
}

}  // namespace

int64_t mxt_vector_get_size(const MATRIX_DATA_TYPE* tp, const void* d) {
  if (!d) return element_width(tp);
  MATRIX_DH_SET dh;
  if (!get_matrix_dh_set(&dh, d)) return 0;
  return static_cast<int64_t>(dh.offset - reinterpret_cast<uint8_t*>(dh.hd)) + element_area(dh.tp, dh.total_element);
}

int64_t mxt_bit_get_size(const MATRIX_DATA_TYPE*, const void*) { return 1; }
int64_t mxt_bitv_get_size(const MATRIX_DATA_TYPE* tp, const void* d) { return d ? mxt_vector_get_size(tp, d) : 0; }
int64_t mxt_block_get_size(const MATRIX_DATA_TYPE*, const void* d) {
  return d ? static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(d)->size : 0;
}
int64_t mxt_string_get_size(const MATRIX_DATA_TYPE*, const void* d) {
  return d ? static_cast<int64_t>(std::strlen(static_cast<const char*>(d))) + 1 : 0;
}
int64_t mxt_stringv_get_size(const MATRIX_DATA_TYPE* tp, const void* d) { return mxt_vector_get_size(tp, d); }
// The datum is the record's address: an element is one pointer.
int64_t mxt_sexp_get_size(const MATRIX_DATA_TYPE*, const void*) { return sizeof(MATRIX_SEXP*); }

namespace mxe {

void fill_value_slots() {
  struct Row {
    MATRIX_DATA_TYPE* tp;
    int64_t (*get_size)(const MATRIX_DATA_TYPE*, const void*);
  };
  const Row scalars[] = {
      {&mx_type_int8, fixed_size<1>},  {&mx_type_uint8, fixed_size<1>},  {&mx_type_int16, fixed_size<2>},
      {&mx_type_uint16, fixed_size<2>}, {&mx_type_int32, fixed_size<4>}, {&mx_type_uint32, fixed_size<4>},
      {&mx_type_int64, fixed_size<8>}, {&mx_type_uint64, fixed_size<8>}, {&mx_type_float, fixed_size<4>},
      {&mx_type_double, fixed_size<8>}, {&mx_type_RGB, fixed_size<4>},   {&mx_type_string, mxt_string_get_size},
  };
  for (const Row& r : scalars) {
    r.tp->get_size = r.get_size;
    r.tp->copy = mxt_vector_copy;
    r.tp->alloc_copy = xx_mxt_alloc_copy;
    r.tp->alloc_data = xx_mxt_alloc_data;
    r.tp->free_data = mxt_free_data;
  }
  mx_type_bit.get_size = mxt_bit_get_size;
  mx_type_bit.copy = mxt_vector_copy;
  mx_type_bit.alloc_copy = xx_mxt_alloc_copy;
  mx_type_bit.alloc_data = mxt_bit_alloc_data;
  mx_type_bit.free_data = mxt_free_data;
  for (MATRIX_DATA_TYPE* tp : kAllTypes) {
    if (!mx_is_vector_code(tp->type) || tp->type == MX_TYPE_STRING_V) continue;
    bool bitv = tp == &mx_type_bit_v;
    tp->get_size = bitv ? mxt_bitv_get_size : mxt_vector_get_size;
    tp->copy = mxt_vector_copy;
    tp->alloc_copy = xx_mxt_alloc_copy;
    tp->alloc_data = bitv ? mxt_alloc_bitv : xx_mxt_alloc_vector;
    tp->free_data = mxt_free_data;
  }
  mx_type_string_v.get_size = mxt_stringv_get_size;
  mx_type_string_v.copy = mxt_stringv_copy;
  mx_type_string_v.alloc_copy = mxt_alloc_stringv_copy;
  mx_type_string_v.alloc_data = mxt_alloc_stringv_data;
  mx_type_string_v.free_data = mxt_free_stringv_data;
  mx_type_block.get_size = mxt_block_get_size;
  mx_type_block.copy = mxt_block_copy;
  mx_type_block.alloc_copy = mxt_alloc_block_copy;
  mx_type_block.alloc_data = mxt_alloc_block_data;
  mx_type_block.free_data = mxt_free_block;
  mx_type_sexp.get_size = mxt_sexp_get_size;
  mx_type_sexp.copy = mxt_sexp_copy;
  mx_type_sexp.alloc_copy = mxt_alloc_sexp_copy;
  mx_type_sexp.alloc_data = mxt_alloc_sexp_data;
  mx_type_sexp.free_data = mxt_free_sexp_data;
}

}  // namespace mxe
