// STAND-IN for the matrix store's start-up, close-all and collector hooks;
// deleted when the matrix store lands.
#include "agent/matrix_standin.h"

#include <atomic>

#include "base/lock.h"

namespace {
std::atomic<SEM> matrix_gc_lock{nullptr};
}  // namespace

void init_matrix() {
  if (!matrix_gc_lock.load()) matrix_gc_lock.store(new_lock(0));
}

void close_all_matrix() {}

void gc_matrix_lock() {
  if (SEM s = matrix_gc_lock.load()) lock_task(s);
}

void gc_matrix() {}

void gc_matrix_unlock() {
  if (SEM s = matrix_gc_lock.load()) unlock_task(s, "gc_matrix_unlock");
}
