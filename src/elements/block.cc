// Block values: records that know who owns their data bytes.
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "elements/element_impl.h"
#include "elements/value.h"

using namespace mxe;

namespace {

bool valid_record(const MATRIX_ALLOC_BLOCK_PARAM* r) { return r->size >= 0 && (r->size == 0 || r->block); }

int record_kind(MX_ATYPE atype) {
  int kind = static_cast<int>(mx_atype_kind(atype));
  // Blocks live in the heap, the collector or the tagged allocator only.
  if (kind < 1 || kind > 3) er_panic("mxt_alloc_vector");
  return kind;
}

// Data bytes of `kind` holding a copy of n bytes at src.
void* copy_data(const void* src, int32_t n, int kind, const char* file, int line) {
  if (n == 0) return nullptr;
  void* p = raw_alloc(n, static_cast<MX_ATYPE>(kind), nullptr, gc_text, false, file, line);
  std::memcpy(p, src, static_cast<size_t>(n));
  return p;
}

}  // namespace

void* mxt_alloc_block_data(const MATRIX_DATA_TYPE*, MX_ATYPE atype, const void* d, MX_CACHE*, const char* file,
                           int line) {
  const auto* src = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(d ? d : get_zero_datum(&mx_type_block));
  int kind = record_kind(atype);
  if (!valid_record(src)) return nullptr;
  auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(
      raw_alloc(sizeof(MATRIX_ALLOC_BLOCK_PARAM), static_cast<MX_ATYPE>(kind), nullptr, gc_mtx_block, true, file, line));
  r->h = MATRIX_DATA_HEADER{0, MX_TYPE_BLOCK, 0};
  r->size = src->size;
  r->record_kind = kind;
  if (mx_atype_adopts(atype)) {
    r->block = src->block;
  } else {
    r->block = copy_data(src->block, src->size, kind, file, line);
    r->data_kind = kind;
  }
  return r;
}

void* mxt_alloc_block_copy(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                           const char* file, int line) {
  return d ? mxt_alloc_block_data(tp, mx_atype_kind(atype), d, at_work, file, line) : nullptr;
}

int mxt_block_copy(const MATRIX_DATA_TYPE*, void* d1, const void* d2, MX_ATYPE atype, MX_CACHE*) {
  auto* dst = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d1);
  const auto* src = static_cast<const MATRIX_ALLOC_BLOCK_PARAM*>(d2);
  if (!dst || !src || !valid_record(src)) return -1;
  if (dst == src) return 0;
  int kind = dst->record_kind ? dst->record_kind : record_kind(atype);
  void* data = copy_data(src->block, src->size, kind, __FILE__, __LINE__);
  mxt_release(dst->block, dst->data_kind, nullptr);
  dst->block = data;
  dst->size = src->size;
  dst->data_kind = data ? kind : 0;
  return 0;
}

void mxt_free_block(const MATRIX_DATA_TYPE*, void* d) {
  auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d);
  if (!r || r->record_kind == static_cast<int>(MX_ATYPE::collector)) return;
  mxt_release(r->block, r->data_kind, nullptr);
  if (r->record_kind == static_cast<int>(MX_ATYPE::heap)) std::free(r);
  else d_f_ree(r);
}

void gc_mtx_block(void* block) {
  auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(block);
  if (!r || gc_mark_block(r)) return;
  if (r->data_kind == static_cast<int>(MX_ATYPE::collector)) gc_mark(r->block, gc_text);
}
