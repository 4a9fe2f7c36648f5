#include "base/smpalloc.h"

#include <cstddef>

#include "base/alloc.h"
#include "base/panic.h"

struct SMP_BLOCK {
  SMP_BLOCK* next;
  alignas(8) char data[kSmpBlockSize];
};

namespace {

// A request too large for a shared block: its own block, whose bytes start
// where a shared block's would, so free_smp needs no second kind.
constexpr size_t kDataOffset = offsetof(SMP_BLOCK, data);

void* smp_alloc_large(SIMPLE_ALLOC_T* sat, int size) {
  auto* b = static_cast<SMP_BLOCK*>(d_calloc(kDataOffset + static_cast<size_t>(size), 1));
  if (sat->blk) {
    b->next = sat->blk->next;
    sat->blk->next = b;
  } else {
    // The only block: mark it full so the next small request starts a
    // shared block in front of it.
    b->next = nullptr;
    sat->blk = b;
    sat->heap_ptr = b->data + kSmpBlockSize;
  }
  sat->last_alloc = b->data;
  return b->data;
}

}  // namespace

void smp_init(SIMPLE_ALLOC_T* sat) {
  sat->blk = nullptr;
  sat->heap_ptr = nullptr;
  sat->last_alloc = nullptr;
}

void* smp_alloc(SIMPLE_ALLOC_T* sat, int size) {
  if (size < 0) er_panic("smp_alloc(1)");
  if (size >= kSmpBlockSize) return smp_alloc_large(sat, size);
  int need = size == 0 ? 8 : (size + 7) & ~7;
  if (!sat->blk || sat->heap_ptr + need > sat->blk->data + kSmpBlockSize) {
    auto* b = static_cast<SMP_BLOCK*>(d_calloc(sizeof(SMP_BLOCK), 1));
    b->next = sat->blk;
    sat->blk = b;
    sat->heap_ptr = b->data;
  }
  void* p = sat->heap_ptr;
  sat->heap_ptr += need;
  sat->last_alloc = p;
  return p;
}

void free_smp(SIMPLE_ALLOC_T* sat) {
  for (SMP_BLOCK* b = sat->blk; b;) {
    SMP_BLOCK* next = b->next;
    d_f_ree(b);
    b = next;
  }
  smp_init(sat);
}
