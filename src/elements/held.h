// ZU values held by the matrix store: the records (MATRIX_SEXP) that keep a
// value (or any collected record) alive from outside the collector's
// frames, linked in one process-wide ring that the collector marks.
//
// Locks: the ring lock guards the links (`next`, `prev`) of every record in
// the ring. The store's collector hooks take it in gc_lock
// (gc_matrix_sexp_lock) before the world stops and release it in gc_unlock,
// and call gc_matrix_sexp() from their gc hook. `del` is atomic: workers
// set it without the lock, the collector reads it. `data`, `gc_func`,
// `file` and `line` are set before the record is linked and then only
// changed by the record's owner while it holds the memory lock.
#pragma once

#include <atomic>

#include "elements/element_type.h"
#include "zu/gc.h"

struct MATRIX_SEXP {
  MATRIX_SEXP* next;        // ring links (ring lock)
  MATRIX_SEXP* prev;
  void* data;               // the held value or record
  GC_MARK_FUNC gc_func;     // marks data
  std::atomic<int> del;     // set: released, freed by the next collection
  const char* file;         // the site that made it
  int line;
};

// Links d into the ring under the ring lock (taken here) and records the
// site. The caller holds the memory lock and keeps d->data pinned until
// this returns; afterwards the ring keeps it alive until `del` is set.
void _xx_insert_matrix_sexp(MATRIX_SEXP* d, const char* file, int line);
#define _insert_matrix_sexp(d) _xx_insert_matrix_sexp((d), __FILE__, __LINE__)
// Unlinks d without freeing it; the caller holds the ring lock.
void _delete_matrix_sexp(MATRIX_SEXP* d);
// The ring lock, for the store's collector hooks and for _delete_matrix_sexp.
void gc_matrix_sexp_lock();
void gc_matrix_sexp_unlock();
// Root function for the collector's gc hook (ring lock held, world
// stopped): marks the data of every record whose `del` is clear, unlinks
// and frees the released ones.
void gc_matrix_sexp();
// Records in the ring (diagnostics and tests; ring lock taken here).
int matrix_sexp_count();

// A new tagged record holding `value` with `mark`, linked into the ring.
MATRIX_SEXP* xx_new_held_value(void* value, GC_MARK_FUNC mark, const char* file, int line);

// Slots of the sexp type: the datum is the record's address.
void* mxt_alloc_sexp_data(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* d, MX_CACHE* w,
                          const char* file, int line);
void* mxt_alloc_sexp_copy(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                          const char* file, int line);
int mxt_sexp_copy(const MATRIX_DATA_TYPE* tp, void* d1, const void* d2, MX_ATYPE atype, MX_CACHE* at_work);
// Only sets `del`; the next collection frees the record.
void mxt_free_sexp_data(const MATRIX_DATA_TYPE* tp, void* d);
