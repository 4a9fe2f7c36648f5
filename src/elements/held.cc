// The ring of held values. The head is a sentinel record that is never
// freed; records are tagged allocations.
#include "elements/held.h"

#include <new>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "zu/value.h"

namespace {

MATRIX_SEXP* ring_head() {
  static MATRIX_SEXP head{};
  static MATRIX_SEXP* const linked = (head.next = head.prev = &head, &head);
  return linked;
}

SEM ring_lock() {
  static SEM s = new_lock(LOCK_MATRIX_GC);
  return s;
}

}  // namespace

void gc_matrix_sexp_lock() { lock_task(ring_lock()); }
void gc_matrix_sexp_unlock() { unlock_task(ring_lock(), "gc_matrix_sexp_unlock"); }

void _xx_insert_matrix_sexp(MATRIX_SEXP* d, const char* file, int line) {
  MATRIX_SEXP* head = ring_head();
  d->file = file;
  d->line = line;
  gc_matrix_sexp_lock();
  d->prev = head;
  d->next = head->next;
  head->next->prev = d;
  head->next = d;
  gc_matrix_sexp_unlock();
}

void _delete_matrix_sexp(MATRIX_SEXP* d) {
  assert_lock_held(ring_lock());
  d->prev->next = d->next;
  d->next->prev = d->prev;
  d->next = d->prev = d;
}

void gc_matrix_sexp() {
  MATRIX_SEXP* head = ring_head();
  for (MATRIX_SEXP* r = head->next; r != head;) {
    MATRIX_SEXP* next = r->next;
    if (r->del.load(std::memory_order_acquire)) {
      _delete_matrix_sexp(r);
      r->~MATRIX_SEXP();
      d_f_ree(r);
    } else if (r->gc_func && r->data) {
      gc_mark(r->data, r->gc_func);
    }
    r = next;
  }
}

int matrix_sexp_count() {
  MATRIX_SEXP* head = ring_head();
  int n = 0;
  gc_matrix_sexp_lock();
  for (MATRIX_SEXP* r = head->next; r != head; r = r->next) ++n;
  gc_matrix_sexp_unlock();
  return n;
}

MATRIX_SEXP* xx_new_held_value(void* value, GC_MARK_FUNC mark, const char* file, int line) {
  auto* r = new (xx_d_alloc(sizeof(MATRIX_SEXP), file, line)) MATRIX_SEXP{};
  r->data = value;
  r->gc_func = mark;
  _xx_insert_matrix_sexp(r, file, line);
  return r;
}

// ---- slots of the sexp type

void* mxt_alloc_sexp_data(const MATRIX_DATA_TYPE*, MX_ATYPE, const void* d, MX_CACHE*, const char* file, int line) {
  return xx_new_held_value(const_cast<void*>(d), gc_qn_sexp, file, line);
}

void* mxt_alloc_sexp_copy(const MATRIX_DATA_TYPE*, const void* d, MX_ATYPE, MX_CACHE*, const char* file, int line) {
  if (!d) return nullptr;
  const auto* src = static_cast<const MATRIX_SEXP*>(d);
  return xx_new_held_value(src->data, src->gc_func, file, line);
}

int mxt_sexp_copy(const MATRIX_DATA_TYPE*, void* d1, const void* d2, MX_ATYPE, MX_CACHE*) {
  if (!d1 || !d2) return -1;
  auto* dst = static_cast<MATRIX_SEXP*>(d1);
  const auto* src = static_cast<const MATRIX_SEXP*>(d2);
  dst->gc_func = src->gc_func;
  dst->data = src->data;
  return 0;
}

void mxt_free_sexp_data(const MATRIX_DATA_TYPE*, void* d) {
  if (d) static_cast<MATRIX_SEXP*>(d)->del.store(1, std::memory_order_release);
}
