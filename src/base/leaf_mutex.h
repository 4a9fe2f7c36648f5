// A plain mutex for a leaf (base/lock.h: held for a few instructions, never
// while its holder sleeps, blocks, takes a SEM or makes ZU values) whose
// holder debug and sanitizer builds record, so that the `_name` functions
// it guards can state that their caller holds it (assert_leaf_held). A
// release build records nothing: it is a std::mutex then.
//
// std::lock_guard and std::unique_lock take it; a wait on it goes through
// std::condition_variable_any, whose waits release and retake it through
// unlock() and lock(), so that the record stays true across them.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "base/lock.h"

class LeafMutex {
 public:
  void lock() {
    m_.lock();
    note(true);
  }
  bool try_lock() {
    if (!m_.try_lock()) return false;
    note(true);
    return true;
  }
  void unlock() {
    note(false);
    m_.unlock();
  }
  // Whether the calling thread holds it; always true in a release build,
  // which records no holder.
  bool held_by_me() const {
#if QNMX_LOCK_CHECK
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
#else
    return true;
#endif
  }

 private:
  std::mutex m_;
#if QNMX_LOCK_CHECK
  // Written only by the holder; another thread reads a value that is never
  // its own id.
  std::atomic<std::thread::id> owner_{};
  void note(bool held) {
    owner_.store(held ? std::this_thread::get_id() : std::thread::id(), std::memory_order_relaxed);
  }
#else
  void note(bool) {}
#endif
};

// Stops the process when the calling thread does not hold m (checked
// builds).
void _i_assert_leaf_held(const LeafMutex& m, const char* what, const char* file, int line);

// A `_name` function's statement that its caller holds the leaf mutex m.
#if QNMX_LOCK_CHECK
#define assert_leaf_held(m) _i_assert_leaf_held((m), #m, __FILE__, __LINE__)
#else
#define assert_leaf_held(m) ((void)(m))
#endif
