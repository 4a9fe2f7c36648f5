#include "base/lock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/leaf_mutex.h"
#include "base/panic.h"

#if defined(__SANITIZE_THREAD__)
#define QNMX_TSAN_LOCKS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QNMX_TSAN_LOCKS 1
#endif
#endif
#ifdef QNMX_TSAN_LOCKS
#include <sanitizer/tsan_interface.h>
#endif

// `m` guards `held` and is what waiters sleep on; `owner` is also read
// without it, by the owner itself (lock_held_by_me), which is the only task
// that can have put its own id there.
struct SEM_REC {
  std::mutex m;
  std::condition_variable cv;
  bool held = false;
  std::atomic<int> owner{0};  // lock-owner id of the holding thread, 0 when free
  int level = 0;
  const char* file = nullptr;
  int line = 0;
};

namespace {

std::atomic<int> owner_counter{0};
thread_local int my_owner_id = 0;
// Task locks this thread took and has not let go, and noted holds.
constinit thread_local int tl_holds = 0;

int me() {
  if (my_owner_id == 0) my_owner_id = ++owner_counter;
  return my_owner_id;
}

struct LevelName {
  int level;
  const char* name;
};
constexpr LevelName kLevelNames[] = {
#define QNMX_LOCK_NAME(id, level, name) {level, name},
    QNMX_LOCK_ORDER(QNMX_LOCK_NAME)
#undef QNMX_LOCK_NAME
};

constexpr bool levels_rise() {
  for (size_t i = 1; i < std::size(kLevelNames); ++i)
    if (kLevelNames[i].level <= kLevelNames[i - 1].level) return false;
  return true;
}
static_assert(levels_rise(), "the lock table is written outermost first, each level above the last");

// ---- the order check (checked builds)
//
// Each thread keeps the locks it holds, in the order taken, with where it
// took them: a take compares its level with every lock held (a handful at
// most), a release removes its entry.

struct HeldLock {
  const void* id;  // the SEM, or a noted lock
  int level;
  const char* file;  // where it was taken
  int line;
};
constexpr int kMaxHeld = 32;
thread_local HeldLock held_locks[kMaxHeld];
thread_local int held_count = 0;

const char* name_of(int level) {
  const char* n = lock_level_name(level);
  return n ? n : "lock";
}

[[noreturn]] void order_fault(const HeldLock& h, int level, const char* file, int line) {
  char msg[512];
  std::snprintf(msg, sizeof msg,
                "lock order: %s (level %d) taken at %s:%d while %s (level %d) is held, taken at %s:%d",
                name_of(level), level, file, line, name_of(h.level), h.level, h.file, h.line);
  er_panic(msg);
}

void order_take(const void* id, int level, const char* file, int line) {
  for (int i = 0; i < held_count; ++i)
    if (held_locks[i].level >= level) order_fault(held_locks[i], level, file, line);
  if (held_count == kMaxHeld) er_panic("lock order: too many locks held");
  held_locks[held_count++] = HeldLock{id, level, file, line};
}

void order_release(const void* id, const char* file, int line) {
  for (int i = held_count; i-- > 0;) {
    if (held_locks[i].id != id) continue;
    for (int j = i; j + 1 < held_count; ++j) held_locks[j] = held_locks[j + 1];
    --held_count;
    return;
  }
  char msg[256];
  std::snprintf(msg, sizeof msg, "lock order: a lock this thread does not hold released at %s:%d", file, line);
  er_panic(msg);
}

// ---- ThreadSanitizer's view: a SEM is a mutex, so its deadlock detector
// sees the same order. The lock's own mutex and condition are ignored in
// between; the safe-point hooks called while waiting are not.

#ifdef QNMX_TSAN_LOCKS
// Named by the address of its level: the lock's own mutex sits at the
// record's address, and one address cannot be two mutexes.
void* tsan_id(SEM s) { return &s->level; }
void tsan_create(SEM s) { __tsan_mutex_create(tsan_id(s), __tsan_mutex_not_static); }
void tsan_destroy(SEM s) { __tsan_mutex_destroy(tsan_id(s), 0); }
void tsan_pre_lock(SEM s) { __tsan_mutex_pre_lock(tsan_id(s), 0); }
void tsan_post_lock(SEM s) { __tsan_mutex_post_lock(tsan_id(s), 0, 0); }
void tsan_pre_unlock(SEM s) { __tsan_mutex_pre_unlock(tsan_id(s), 0); }
void tsan_post_unlock(SEM s) { __tsan_mutex_post_unlock(tsan_id(s), 0); }
void tsan_pre_divert(SEM s) { __tsan_mutex_pre_divert(tsan_id(s), 0); }
void tsan_post_divert(SEM s) { __tsan_mutex_post_divert(tsan_id(s), 0); }
#else
void tsan_create(SEM) {}
void tsan_destroy(SEM) {}
void tsan_pre_lock(SEM) {}
void tsan_post_lock(SEM) {}
void tsan_pre_unlock(SEM) {}
void tsan_post_unlock(SEM) {}
void tsan_pre_divert(SEM) {}
void tsan_post_divert(SEM) {}
#endif

std::atomic<void (*)()> hook_leave{nullptr};
std::atomic<void (*)()> hook_enter{nullptr};

// Sleepers register on the stack in a bucket chosen by their key; a waker
// marks, unlinks and signals every sleeper of its key, and only those: each
// sleeper waits on a condition of its own, so a wake-up never stirs the
// other sleepers that share the bucket. The waker signals with the bucket's
// mutex held, so the sleeper (and its condition) is still there.
struct Waiter {
  const void* key;
  bool woken;
  Waiter* next;
  std::condition_variable cv;
};

struct Bucket {
  std::mutex m;
  Waiter* head = nullptr;

  void unlink(Waiter* w) {
    for (Waiter** pp = &head; *pp; pp = &(*pp)->next) {
      if (*pp == w) {
        *pp = w->next;
        return;
      }
    }
  }
};

constexpr size_t kBuckets = 509;
// Never destroyed: destroying a condition variable that a sleeper still
// waits on blocks for ever, and tasks may sleep while the process exits.
Bucket* const buckets = new Bucket[kBuckets];

Bucket& bucket_of(const void* key) {
  auto v = reinterpret_cast<uintptr_t>(key);
  return buckets[(v >> 3) % kBuckets];
}

}  // namespace

const char* lock_level_name(int level) {
  for (const LevelName& l : kLevelNames)
    if (l.level == level) return l.name;
  return nullptr;
}

void set_blocking_hooks(void (*leave)(), void (*enter)()) {
  hook_leave.store(leave);
  hook_enter.store(enter);
}

void blocking_leave() {
  if (auto f = hook_leave.load(std::memory_order_acquire)) f();
}

void blocking_enter() {
  if (auto f = hook_enter.load(std::memory_order_acquire)) f();
}

SEM _i_new_lock(int level, const char* file, int line) {
  // The order check compares levels: one nobody wrote into the table would
  // order the lock against the others by accident.
  if (!lock_level_name(level)) {
    char msg[256];
    std::snprintf(msg, sizeof msg, "new_lock: level %d at %s:%d is not in the lock table", level, file, line);
    er_panic(msg);
  }
  auto* s = new SEM_REC;
  s->level = level;
  s->file = file;
  s->line = line;
  tsan_create(s);
  return s;
}

void _i_lock_task(SEM s, const char* file, int line) {
  if (!s) er_panic("_i_lock_task(0)");
  int id = me();
  if (s->owner.load(std::memory_order_relaxed) == id) er_panic("_i_lock_task(1)");
  // Checked before waiting: a wrong order stops here, not in a deadlock.
  if (QNMX_LOCK_CHECK) order_take(s, s->level, file, line);
  tsan_pre_lock(s);
  std::unique_lock<std::mutex> g(s->m);
  // Never hold the lock while outside a safe point: wait for it to be free,
  // come back in, and only then try to take it.
  while (s->held) {
    g.unlock();
    tsan_pre_divert(s);
    blocking_leave();
    tsan_post_divert(s);
    g.lock();
    s->cv.wait(g, [s] { return !s->held; });
    g.unlock();
    tsan_pre_divert(s);
    blocking_enter();
    tsan_post_divert(s);
    g.lock();
  }
  s->held = true;
  s->owner.store(id, std::memory_order_relaxed);
  g.unlock();
  tsan_post_lock(s);
  ++tl_holds;
}

void _i_unlock_task(SEM s, const char* label, const char* file, int line) {
  (void)label;
  if (!s) er_panic("_i_unlock_task(0)");
  if (QNMX_LOCK_CHECK) order_release(s, file, line);
  tsan_pre_unlock(s);
  {
    // Notify before letting go of the mutex: once it is released, a waiter
    // may take the lock, finish with the object it guards and free it.
    std::lock_guard<std::mutex> g(s->m);
    if (!s->held) er_panic("_i_unlock_task(1)");
    if (s->owner.load(std::memory_order_relaxed) == me()) --tl_holds;
    s->held = false;
    s->owner.store(0, std::memory_order_relaxed);
    s->cv.notify_one();
  }
  tsan_post_unlock(s);
}

void _i_free_lock(SEM s) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->m);
    if (s->held) er_panic("_i_free_lock(1)");
  }
  tsan_destroy(s);
  delete s;
}

int lock_up_test(SEM s) { return s != nullptr; }

int lock_held_by_me(SEM s) { return s && s->owner.load(std::memory_order_relaxed) == me(); }

void _i_assert_lock_held(SEM s, const char* what, const char* file, int line) {
  if (lock_held_by_me(s)) return;
  char msg[256];
  const char* name = s ? name_of(s->level) : "null";
  if (std::strcmp(name, what) == 0)
    std::snprintf(msg, sizeof msg, "%s (level %d) is not held at %s:%d", what, s->level, file, line);
  else
    std::snprintf(msg, sizeof msg, "%s (%s, level %d) is not held at %s:%d", what, name, s ? s->level : 0, file, line);
  er_panic(msg);
}

void _i_assert_leaf_held(const LeafMutex& m, const char* what, const char* file, int line) {
  if (m.held_by_me()) return;
  char msg[256];
  std::snprintf(msg, sizeof msg, "%s (a leaf mutex) is not held at %s:%d", what, file, line);
  er_panic(msg);
}

void _i_lock_order_note(const void* id, int level, const char* file, int line) {
  order_take(id, level, file, line);
}

void _i_lock_order_drop(const void* id) { order_release(id, __FILE__, __LINE__); }

namespace {

int sleep_common(const void* key, SEM lock, double seconds, const char* file, int line) {
  Bucket& b = bucket_of(key);
  Waiter w{key, false, nullptr, {}};
  {
    std::lock_guard<std::mutex> g(b.m);
    w.next = b.head;
    b.head = &w;
  }
  // Registered before the lock is released: a waker that changes the
  // condition under `lock` can only wake after this point.
  if (lock) _i_unlock_task(lock, "sleep", file, line);
  blocking_leave();
  int rc = 0;
  {
    std::unique_lock<std::mutex> g(b.m);
    if (seconds < 0) {
      w.cv.wait(g, [&w] { return w.woken; });
    } else {
      auto d = std::chrono::duration<double>(seconds);
      if (!w.cv.wait_for(g, d, [&w] { return w.woken; })) {
        b.unlink(&w);
        rc = -1;
      }
    }
  }
  blocking_enter();
  return rc;
}

}  // namespace

void _i_sleep_task(const void* key, SEM lock, const char* file, int line) {
  sleep_common(key, lock, -1.0, file, line);
}

int _i_sleep_task_timeout(const void* key, SEM lock, double seconds, const char* file, int line) {
  return sleep_common(key, lock, seconds < 0 ? 0 : seconds, file, line);
}

void _wakeup_task(const void* key, const char* file, int line) {
  (void)file;
  (void)line;
  Bucket& b = bucket_of(key);
  std::lock_guard<std::mutex> g(b.m);
  for (Waiter** pp = &b.head; *pp;) {
    Waiter* w = *pp;
    if (w->key == key) {
      w->woken = true;
      *pp = w->next;
      w->cv.notify_one();
    } else {
      pp = &w->next;
    }
  }
}

int task_holds() { return tl_holds; }

void note_task_hold(int delta) { tl_holds += delta; }
