// The collector hooks of the program: the library's and the matrix
// store's, joined in one lock order.
#include "agent/agent.h"
#include "matrix/matrix.h"
#include "base/queue.h"
#include "runtime/services.h"
#include "zu/gc.h"

void gc_lock() {
  gc_queue_lock_high();
  gc_matrix_lock();
  gc_zu_lock();
}

void gc() {
  gc_lib();
  gc_matrix();
}

void sp_gc() { sp_gc_lib(); }

void after_gc() { after_gc_lib(); }

void gc_unlock() {
  gc_zu_unlock();  // releases both queue locks too
  gc_matrix_unlock();
}

void set_agent_gc_hooks() {
  static const GC_HOOKS hooks{gc_lock, gc, sp_gc, after_gc, gc_unlock};
  gc_set_hooks(&hooks);
}
