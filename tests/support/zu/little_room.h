// Test support at the collector's layer: work run with little room left on
// the heap, for the tests of what a refusal for memory part way through a
// built-in leaves behind.
#pragma once

#include <cstdint>
#include <string>

#include "zu/gc.h"
#include "zu/value.h"

// Runs work() on the calling thread attached to a share of a heap budget of
// `budget` bytes whose quarter all but `room` bytes are held already (what
// the thread held, and a value pinned for the time of the work); the budget
// and the thread's share are put back afterwards. work's result.
template <class F>
auto with_little_room(uint64_t budget, uint64_t room, F work) {
  gc_set_heap_budget(budget);
  GC_SHARE share;
  GC_SHARE* outer = gc_attach_share(&share);
  struct Back {
    GC_SHARE* outer;
    ~Back() {
      gc_attach_share(outer);
      gc_set_heap_budget(0);
      gc_collect_now();
    }
  } back{outer};
  GcFrame held("little room");
  gc_collect_now();  // what the thread holds already, counted
  const std::string bytes(budget / kBudgetParts - static_cast<uint64_t>(share.held.load()) - room, 'x');
  gc_set_nl(get_raw(bytes.data(), static_cast<uint32_t>(bytes.size())), gc_qn_sexp);
  gc_collect_now();
  return work();
}
