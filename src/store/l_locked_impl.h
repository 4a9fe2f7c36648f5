// The generic locked wrapper of the record-store interface (store sources
// only).
#pragma once

#include <type_traits>

#include "base/lock.h"
#include "store/favt64.h"

extern SEM l_favt64_lock;

namespace store_lock {

inline void pin(FAVT64_NODE* n) {
  if (n) favt64_lock(&n->h);
}
inline void pin(FAVT64_ROOT* r) {
  if (r) favt64_lock(&r->h);
}
template <typename T>
void pin(T) {}

}  // namespace store_lock

// Takes the record-store lock, runs F, pins a returned tree record for the
// caller and gives the lock back with `label`.
template <auto F, typename... A>
auto locked(const char* label, A... args) {
  lock_task(l_favt64_lock);
  if constexpr (std::is_void_v<decltype(F(args...))>) {
    F(args...);
    unlock_task(l_favt64_lock, label);
  } else {
    auto r = F(args...);
    store_lock::pin(r);
    unlock_task(l_favt64_lock, label);
    return r;
  }
}
