// String vectors: pointer-size slots of texts that share the vector's kind
// (kept in the word after the extents), so that copies and frees know how
// each text was made.
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "elements/element_impl.h"
#include "elements/value.h"

using namespace mxe;

namespace mxe {

char* copy_text(const char* text, int kind, const char* file, int line) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  void* p = raw_alloc(static_cast<int64_t>(n), static_cast<MX_ATYPE>(kind), nullptr, gc_text, false, file, line);
  if (p) std::memcpy(p, text, n);
  return static_cast<char*>(p);
}

void release_text(char* text, int kind) { mxt_release(text, kind, nullptr); }

void* new_stringv(MX_ATYPE atype, int dim, const int32_t* ix, MX_CACHE*, const char* file, int line) {
  int kind = static_cast<int>(mx_atype_kind(atype));
  if (kind < 1 || kind > 3) er_panic("mxt_alloc_vector");
  int h = mxt_header_length(&mx_type_string_v, dim);
  int64_t count = h < 0 ? -1 : checked_count(ix, dim);
  if (count < 0 || count > (kMaxValueBytes - h) / 8) return nullptr;
  auto* v = static_cast<uint8_t*>(
      raw_alloc(h + 8 * count, static_cast<MX_ATYPE>(kind), nullptr, gc_mx_stringv_data, true, file, line));
  store(v, MATRIX_DATA_HEADER{0, MX_TYPE_STRING_V, static_cast<int16_t>(dim)});
  v[0] = static_cast<uint8_t>(h);  // read unsigned (vector_offset)
  if (dim > 0) std::memcpy(v + 4, ix, 4 * static_cast<size_t>(dim));
  store<int32_t>(v + 4 + 4 * dim, kind);
  return v;
}

}  // namespace mxe

namespace {

int64_t slot_count(const void* v) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  return dh.total_element;
}

}  // namespace

int mxt_stringv_kind(const void* v) {
  const auto* b = static_cast<const uint8_t*>(v);
  return load<int32_t>(b + 4 + 4 * load<int16_t>(b + 2));
}

char** mxt_stringv_slots(void* v) {
  auto* b = static_cast<uint8_t*>(v);
  return reinterpret_cast<char**>(b + vector_offset(b));
}

int mxt_stringv_set(void* v, int64_t i, const char* text) {
  if (!v || i < 0 || i >= slot_count(v)) return -1;
  int kind = mxt_stringv_kind(v);
  char** slot = mxt_stringv_slots(v) + i;
  char* copy = copy_text(text, kind, __FILE__, __LINE__);
  release_text(*slot, kind);
  *slot = copy;
  return 0;
}

void* mxt_alloc_stringv_data(const MATRIX_DATA_TYPE*, MX_ATYPE atype, const void* param, MX_CACHE* w,
                             const char* file, int line) {
  const auto* p = static_cast<const MATRIX_ALLOC_VECTOR_PARAM*>(param);
  if (!p) return nullptr;
  void* v = new_stringv(atype, p->dim, p->ix_size, w, file, line);
  if (!v || !p->default_data) return v;
  int kind = mxt_stringv_kind(v);
  char** slots = mxt_stringv_slots(v);
  for (int64_t i = 0, n = slot_count(v); i < n; ++i)
    slots[i] = copy_text(static_cast<const char*>(p->default_data), kind, file, line);
  return v;
}

void* mxt_alloc_stringv_copy(const MATRIX_DATA_TYPE*, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                             const char* file, int line) {
  if (!d) return nullptr;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  void* v = new_stringv(atype, load<int16_t>(&dh.hd->dim), dh.ix, at_work, file, line);
  if (!v) return nullptr;
  int kind = mxt_stringv_kind(v);
  char** to = mxt_stringv_slots(v);
  char* const* from = mxt_stringv_slots(const_cast<void*>(d));
  for (int64_t i = 0; i < dh.total_element; ++i) to[i] = copy_text(from[i], kind, file, line);
  return v;
}

int mxt_stringv_copy(const MATRIX_DATA_TYPE*, void* d1, const void* d2, MX_ATYPE, MX_CACHE*) {
  if (!d1 || !d2) return -1;
  if (d1 == d2) return 0;
  MATRIX_DH_SET a, b;
  get_matrix_dh_set(&a, d1);
  get_matrix_dh_set(&b, d2);
  if (cmp_dh_set(&a, &b) != 0) return -1;
  char* const* from = mxt_stringv_slots(const_cast<void*>(d2));
  for (int64_t i = 0; i < a.total_element; ++i) mxt_stringv_set(d1, i, from[i]);
  return 0;
}

void mxt_free_stringv_data(const MATRIX_DATA_TYPE*, void* d) {
  if (!d) return;
  int kind = mxt_stringv_kind(d);
  if (kind == static_cast<int>(MX_ATYPE::collector)) return;
  char** slots = mxt_stringv_slots(d);
  for (int64_t i = 0, n = slot_count(d); i < n; ++i) release_text(slots[i], kind);
  mxt_release(d, kind, nullptr);
}

void gc_mx_stringv_data(void* vector) {
  if (!vector || gc_mark_block(vector)) return;
  if (mxt_stringv_kind(vector) != static_cast<int>(MX_ATYPE::collector)) return;
  char** slots = mxt_stringv_slots(vector);
  for (int64_t i = 0, n = slot_count(vector); i < n; ++i) gc_mark(slots[i], gc_text);
}
