// ZU conversion, comparison and the zero and unit elements of every type.
#include "elements/zu_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "base/alloc.h"
#include "elements/element_impl.h"
#include "elements/held.h"
#include "elements/value.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/value.h"

using namespace mxe;

namespace {

int sign(int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; }
int sign_of(int r) { return r < 0 ? -1 : r > 0 ? 1 : 0; }

// Numbers by value, -0.0 == 0.0, NaNs equal to each other and after every
// number: a total order, so a NaN stored over a number is a change.
template <class F>
int float_cmp(F a, F b) {
  bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na == nb ? 0 : na ? 1 : -1;
  return a < b ? -1 : a > b ? 1 : 0;
}

template <class T>
int value_cmp(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) return float_cmp(a, b);
  else return a < b ? -1 : a > b ? 1 : 0;
}

void* tagged_copy(const void* p, size_t n) {
  void* r = d_alloc(n);
  std::memcpy(r, p, n);
  return r;
}

// ---- numeric scalars

template <class T>
void* num_sexp2md(int* cpy, const MATRIX_DATA_TYPE*, ZU_SEXP* s) {
  T v;
  int type = get_type(s);
  if constexpr (std::is_same_v<T, float>) {
    if (type != ZU_TYPE_FLOATING) return nullptr;
    v = static_cast<float>(s->floating.num);
  } else if constexpr (std::is_same_v<T, double>) {
    if (type == ZU_TYPE_FLOATING) v = s->floating.num;
    else if (type == ZU_TYPE_INTEGER) v = static_cast<double>(s->integer.num);
    else return nullptr;
  } else {
    if (type != ZU_TYPE_INTEGER) return nullptr;
    v = static_cast<T>(static_cast<uint64_t>(s->integer.num));  // the low bits
  }
  if (cpy) *cpy = 1;
  return tagged_copy(&v, sizeof v);
}

template <class T>
ZU_SEXP* num_md2sexp(const MATRIX_DATA_TYPE*, const void* d) {
  T v = load<T>(d);
  if constexpr (std::is_floating_point_v<T>) return get_floating(static_cast<double>(v), nullptr);
  else return get_integer(static_cast<int64_t>(v), nullptr);
}

template <class T>
int num_cmp(const MATRIX_DATA_TYPE*, const void* d1, const void* d2) {
  return value_cmp(load<T>(d1), load<T>(d2));
}

template <class T>
void num_zero(const MATRIX_DATA_TYPE*, void* buf) {
  store<T>(buf, T(0));
}
template <class T>
void num_one(const MATRIX_DATA_TYPE*, void* buf) {
  store<T>(buf, T(1));
}

// ---- bit, rgb8, string, block, sexp

void* bit_sexp2md(int* cpy, const MATRIX_DATA_TYPE*, ZU_SEXP* s) {
  if (get_type(s) != ZU_TYPE_INTEGER) return nullptr;
  uint8_t v = s->integer.num != 0;
  if (cpy) *cpy = 1;
  return tagged_copy(&v, 1);
}

ZU_SEXP* bit_md2sexp(const MATRIX_DATA_TYPE*, const void* d) {
  return get_integer(*static_cast<const uint8_t*>(d) ? 1 : 0, nullptr);
}

void* string_sexp2md(int* cpy, const MATRIX_DATA_TYPE*, ZU_SEXP* s) {
  if (get_type(s) != ZU_TYPE_STRING) return nullptr;
  char* r = ln_copy_str(utf8_cm, str_text(s));
  if (!r) r = copy_str("");
  if (cpy) *cpy = 1;
  return r;
}

ZU_SEXP* string_md2sexp(const MATRIX_DATA_TYPE*, const void* d) {
  const char* t = d ? static_cast<const char*>(d) : "";
  size_t len = 0;
  Tagged<L_CHAR> w(xx_nl_copy_bytes(utf8_cm, t, std::strlen(t), &len, __FILE__, __LINE__));
  return get_string_len(w.get(), len);
}

void* block_sexp2md(int* cpy, const MATRIX_DATA_TYPE* tp, ZU_SEXP* s) {
  if (cpy) *cpy = 0;
  int type = get_type(s);
  if (type == ZU_TYPE_POINTER) {
    if (s->ptr.mark != gc_mtx_block) return nullptr;  // another pointer is no block
    auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(s->ptr.ptr);
    if (!r || r->h.offset != 0 || r->h.type != MX_TYPE_BLOCK || r->h.dim != 0 || r->size < 0) return nullptr;
    if (r->size > 0 && !r->block) return nullptr;
    return r;
  }
  if (type != ZU_TYPE_RAW) return nullptr;
  MATRIX_ALLOC_BLOCK_PARAM from{{0, MX_TYPE_BLOCK, 0}, static_cast<int32_t>(s->raw.size), s->raw.data, 0, 0};
  if (s->raw.size > static_cast<uint32_t>(kMaxValueBytes)) return nullptr;
  void* r = mxt_alloc_block_data(tp, MX_ATYPE::tagged, &from, nullptr, __FILE__, __LINE__);
  if (r && cpy) *cpy = 1;
  return r;
}

ZU_SEXP* block_md2sexp(const MATRIX_DATA_TYPE* tp, const void* d) {
  void* copy = mxt_alloc_block_copy(tp, d, MX_ATYPE::collector, nullptr, __FILE__, __LINE__);
  return get_ptr(copy, gc_mtx_block);
}

void* sexp_sexp2md(int* cpy, const MATRIX_DATA_TYPE* tp, ZU_SEXP* s) {
  void* r = mxt_alloc_sexp_data(tp, MX_ATYPE::tagged, s, nullptr, __FILE__, __LINE__);
  if (cpy) *cpy = 1;
  return r;
}

ZU_SEXP* sexp_md2sexp(const MATRIX_DATA_TYPE*, const void* d) {
  const auto* r = static_cast<const MATRIX_SEXP*>(d);
  return r && r->gc_func == gc_qn_sexp ? static_cast<ZU_SEXP*>(r->data) : nullptr;
}

// ---- vectors

// A borrowed string vector must look like one this layer made.
bool plausible_stringv(const uint8_t* v, int64_t len) {
  if (v[1] != MX_TYPE_STRING_V) return false;
  int dim = load<int16_t>(v + 2);
  int h = mxt_header_length(&mx_type_string_v, dim);
  if (h < 0 || vector_offset(v) != h) return false;
  int32_t ix[32];
  for (int i = 0; i < dim; ++i) ix[i] = load<int32_t>(v + 4 + 4 * i);
  int64_t count = checked_count(ix, dim);
  int kind = load<int32_t>(v + 4 + 4 * dim);
  if (count < 0 || kind < 1 || kind > 3) return false;
  return len < 0 || (count <= (len - h) / 8 && len >= h);
}

// The first of n elements of `width` bytes whose bytes differ between a
// and b, or n: equal stretches pass at memcmp's pace (a node saved again
// is mostly compared with what it holds already).
int64_t first_difference(const uint8_t* a, const uint8_t* b, int64_t n, size_t width) {
  constexpr int64_t kStretch = 4096;  // elements compared at once
  int64_t i = 0;
  while (i < n) {
    const int64_t k = std::min(kStretch, n - i);
    if (std::memcmp(a + i * width, b + i * width, static_cast<size_t>(k) * width) != 0) break;
    i += k;
  }
  for (; i < n; ++i)
    if (std::memcmp(a + i * width, b + i * width, width) != 0) return i;
  return n;
}

// Element-wise order of two vectors of the same shape. Integers differ
// exactly where their bytes do; floats do not (-0.0 equals 0.0, NaNs
// equal each other), so they are compared one by one.
template <class T>
int elements_cmp(const uint8_t* a, const uint8_t* b, int64_t n) {
  if constexpr (std::is_floating_point_v<T>) {
    for (int64_t i = 0; i < n; ++i)
      if (int r = float_cmp(load<T>(a + i * sizeof(T)), load<T>(b + i * sizeof(T)))) return r;
    return 0;
  } else {
    const int64_t i = first_difference(a, b, n, sizeof(T));
    if (i == n) return 0;
    return load<T>(a + i * sizeof(T)) < load<T>(b + i * sizeof(T)) ? -1 : 1;
  }
}

int rgb_elements_cmp(const uint8_t* a, const uint8_t* b, int64_t n) {
  const int64_t i = first_difference(a, b, n, 4);
  return i == n ? 0 : cmp_RGB(load<uint32_t>(a + 4 * i), load<uint32_t>(b + 4 * i));
}

template <class T>
int vector_cmp(const MATRIX_DATA_TYPE*, const void* d1, const void* d2) {
  MATRIX_DH_SET a, b;
  get_matrix_dh_set(&a, d1);
  get_matrix_dh_set(&b, d2);
  if (int r = cmp_dh_set(&a, &b)) return r;
  if constexpr (std::is_same_v<T, void>) return rgb_elements_cmp(a.offset, b.offset, a.total_element);
  else return elements_cmp<T>(a.offset, b.offset, a.total_element);
}

}  // namespace

void* get_vdata_from_sexp(ZU_SEXP* s) {
  int64_t len;
  return get_vdata_len_from_sexp(s, &len);
}

void* get_vdata_len_from_sexp(ZU_SEXP* s, int64_t* len) {
  *len = -1;
  switch (get_type(s)) {
    case ZU_TYPE_POINTER:
      // Only the element marks say what the pointer holds: any other
      // pointer value (a structure block a script kept, perhaps freed
      // since, an interpreter) is no element data.
      if (s->ptr.mark != gc_text && s->ptr.mark != gc_mtx_block && s->ptr.mark != gc_mx_stringv_data) return nullptr;
      if (s->ptr.ptr) *len = static_cast<int64_t>(gc_block_size(s->ptr.ptr));
      return s->ptr.ptr;
    case ZU_TYPE_RAW:
      *len = s->raw.size;
      return s->raw.data;
    default:
      return nullptr;
  }
}

int cmp_RGB(uint32_t r1, uint32_t r2) {
  for (int shift = 0; shift < 32; shift += 8) {
    int a = (r1 >> shift) & 0xFF, b = (r2 >> shift) & 0xFF;
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

int mxt_RGB_cmp(const MATRIX_DATA_TYPE*, const void* d1, const void* d2) {
  return cmp_RGB(load<uint32_t>(d1), load<uint32_t>(d2));
}

int mxt_string_cmp(const MATRIX_DATA_TYPE*, const void* d1, const void* d2) {
  const char* a = d1 ? static_cast<const char*>(d1) : "";
  const char* b = d2 ? static_cast<const char*>(d2) : "";
  return sign_of(std::strcmp(a, b));
}

int mxt_sexp_cmp(const MATRIX_DATA_TYPE*, const void* d1, const void* d2) {
  const auto* a = static_cast<const MATRIX_SEXP*>(d1);
  const auto* b = static_cast<const MATRIX_SEXP*>(d2);
  void* x = a ? a->data : nullptr;
  void* y = b ? b->data : nullptr;
  bool values = (!a || a->gc_func == gc_qn_sexp) && (!b || b->gc_func == gc_qn_sexp);
  if (!values) return sign(reinterpret_cast<intptr_t>(x), reinterpret_cast<intptr_t>(y));
  return sign_of(cmp_sexp(static_cast<ZU_SEXP*>(x), static_cast<ZU_SEXP*>(y)));
}

int mxt_bitv_cmp(const MATRIX_DATA_TYPE*, const void* d1, const void* d2) {
  MATRIX_DH_SET a, b;
  get_matrix_dh_set(&a, d1);
  get_matrix_dh_set(&b, d2);
  if (int r = cmp_dh_set(&a, &b)) return r;
  int64_t full = a.total_element / 8, rest = a.total_element % 8;
  if (int r = std::memcmp(a.offset, b.offset, static_cast<size_t>(full))) return sign_of(r);
  if (rest == 0) return 0;
  int mask = (1 << rest) - 1;
  return sign(a.offset[full] & mask, b.offset[full] & mask);
}

int mxt_stringv_cmp(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2) {
  MATRIX_DH_SET a, b;
  get_matrix_dh_set(&a, d1);
  get_matrix_dh_set(&b, d2);
  if (int r = cmp_dh_set(&a, &b)) return r;
  char* const* x = mxt_stringv_slots(const_cast<void*>(d1));
  char* const* y = mxt_stringv_slots(const_cast<void*>(d2));
  for (int64_t i = 0; i < a.total_element; ++i)
    if (int r = mxt_string_cmp(tp, x[i], y[i])) return r;
  return 0;
}

void* mxt_vector_sexp2md(int* cpy, const MATRIX_DATA_TYPE* tp, ZU_SEXP* s) {
  int64_t len;
  int type = get_type(s);
  auto* v = static_cast<uint8_t*>(get_vdata_len_from_sexp(s, &len));
  if (!v || (len >= 0 && len < 4) || v[1] != tp->type) return nullptr;
  if (tp->type == MX_TYPE_STRING_V) {
    // Raw bytes cannot hold a string vector: its slots are addresses.
    if (type != ZU_TYPE_POINTER || !plausible_stringv(v, len)) return nullptr;
  } else {
    VectorShape shape;
    // A raw value must be exactly one vector; a pointer value at least one.
    if (check_vector(v, type == ZU_TYPE_RAW ? len : -1, false, &shape) != 0) return nullptr;
    if (len >= 0 && shape.h + shape.area > len) return nullptr;
    int w = element_width(tp);
    if (w > 1 && shape.h % w != 0) return nullptr;  // elements must stay aligned
  }
  if (cpy) *cpy = 0;
  return v;
}

ZU_SEXP* mxt_vector_md2sexp(const MATRIX_DATA_TYPE* tp, const void* d) {
  if (tp->type == MX_TYPE_STRING_V) {
    void* copy = mxt_alloc_stringv_copy(tp, d, MX_ATYPE::collector, nullptr, __FILE__, __LINE__);
    return get_ptr(copy, gc_mx_stringv_data);
  }
  void* copy = xx_mxt_alloc_copy(tp, d, MX_ATYPE::collector, nullptr, __FILE__, __LINE__);
  return get_ptr(copy, gc_text);
}

namespace mxe {

void fill_zu_slots() {
  struct Row {
    MATRIX_DATA_TYPE* tp;
    MATRIX_DATA_TYPE* vtp;
    decltype(MATRIX_DATA_TYPE::sexp2md) sexp2md;
    decltype(MATRIX_DATA_TYPE::md2sexp) md2sexp;
    decltype(MATRIX_DATA_TYPE::cmp) cmp;
    decltype(MATRIX_DATA_TYPE::cmp) vcmp;
    decltype(MATRIX_DATA_TYPE::get_zero) zero;
    decltype(MATRIX_DATA_TYPE::get_el) one;
  };
#define MXE_NUM_ROW(name, T)                                                                                  \
  {&mx_type_##name, &mx_type_##name##_v, num_sexp2md<T>, num_md2sexp<T>, num_cmp<T>, vector_cmp<T>, num_zero<T>, \
   num_one<T>}
  const Row rows[] = {
      MXE_NUM_ROW(int8, int8_t),     MXE_NUM_ROW(int16, int16_t),   MXE_NUM_ROW(int32, int32_t),
      MXE_NUM_ROW(int64, int64_t),   MXE_NUM_ROW(uint8, uint8_t),   MXE_NUM_ROW(uint16, uint16_t),
      MXE_NUM_ROW(uint32, uint32_t), MXE_NUM_ROW(uint64, uint64_t), MXE_NUM_ROW(float, float),
      MXE_NUM_ROW(double, double),
      {&mx_type_RGB, &mx_type_RGB_v, num_sexp2md<uint32_t>, num_md2sexp<uint32_t>, mxt_RGB_cmp, vector_cmp<void>,
       nullptr, nullptr},
      {&mx_type_bit, &mx_type_bit_v, bit_sexp2md, bit_md2sexp, num_cmp<int8_t>, mxt_bitv_cmp, nullptr, nullptr},
      {&mx_type_string, &mx_type_string_v, string_sexp2md, string_md2sexp, mxt_string_cmp, mxt_stringv_cmp,
       nullptr, nullptr},
  };
#undef MXE_NUM_ROW
  for (const Row& r : rows) {
    r.tp->sexp2md = r.sexp2md;
    r.tp->md2sexp = r.md2sexp;
    r.tp->cmp = r.cmp;
    r.tp->get_zero = r.zero;
    r.tp->get_el = r.one;
    r.vtp->sexp2md = mxt_vector_sexp2md;
    r.vtp->md2sexp = mxt_vector_md2sexp;
    r.vtp->cmp = r.vcmp;
  }
  mx_type_block.sexp2md = block_sexp2md;
  mx_type_block.md2sexp = block_md2sexp;
  mx_type_block.cmp = [](const MATRIX_DATA_TYPE*, const void* d1, const void* d2) {
    const auto* a = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(d1);
    const auto* b = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(d2);
    if (int r = sign(a->size, b->size)) return r;
    return a->size ? sign_of(std::memcmp(a->block, b->block, static_cast<size_t>(a->size))) : 0;
  };
  mx_type_sexp.sexp2md = sexp_sexp2md;
  mx_type_sexp.md2sexp = sexp_md2sexp;
  mx_type_sexp.cmp = mxt_sexp_cmp;
}

}  // namespace mxe
