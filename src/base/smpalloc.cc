#include "base/smpalloc.h"

#include "base/alloc.h"
#include "base/panic.h"

struct SMP_BLOCK {
  SMP_BLOCK* next;
  alignas(8) char data[kSmpBlockSize];
};

void smp_init(SIMPLE_ALLOC_T* sat) {
  sat->blk = nullptr;
  sat->heap_ptr = nullptr;
  sat->last_alloc = nullptr;
}

void* smp_alloc(SIMPLE_ALLOC_T* sat, int size) {
  if (size < 0 || size >= kSmpBlockSize) er_panic("smp_alloc(1)");
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
