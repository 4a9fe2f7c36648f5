#include "base/lock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/panic.h"

struct SEM_REC {
  std::mutex m;
  std::condition_variable cv;
  bool held = false;
  int owner = 0;  // lock-owner id of the holding thread, 0 when free
  int level = 0;
  const char* file = nullptr;
  int line = 0;
};

namespace {

std::atomic<int> owner_counter{0};
thread_local int my_owner_id = 0;

int me() {
  if (my_owner_id == 0) my_owner_id = ++owner_counter;
  return my_owner_id;
}

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
  auto* s = new SEM_REC;
  s->level = level;
  s->file = file;
  s->line = line;
  return s;
}

void _i_lock_task(SEM s, const char* file, int line) {
  (void)file;
  (void)line;
  if (!s) er_panic("_i_lock_task(0)");
  int id = me();
  std::unique_lock<std::mutex> g(s->m);
  if (s->held && s->owner == id) er_panic("_i_lock_task(1)");
  // Never hold the lock while outside a safe point: wait for it to be free,
  // come back in, and only then try to take it.
  while (s->held) {
    g.unlock();
    blocking_leave();
    g.lock();
    s->cv.wait(g, [s] { return !s->held; });
    g.unlock();
    blocking_enter();
    g.lock();
  }
  s->held = true;
  s->owner = id;
}

void _i_unlock_task(SEM s, const char* label, const char* file, int line) {
  (void)label;
  (void)file;
  (void)line;
  if (!s) er_panic("_i_unlock_task(0)");
  // Notify before letting go of the mutex: once it is released, a waiter
  // may take the lock, finish with the object it guards and free it.
  std::lock_guard<std::mutex> g(s->m);
  if (!s->held) er_panic("_i_unlock_task(1)");
  s->held = false;
  s->owner = 0;
  s->cv.notify_one();
}

void _i_free_lock(SEM s) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->m);
    if (s->held) er_panic("_i_free_lock(1)");
  }
  delete s;
}

int lock_up_test(SEM s) { return s != nullptr; }

int lock_held_by_me(SEM s) {
  if (!s) return 0;
  std::lock_guard<std::mutex> g(s->m);
  return s->held && s->owner == me();
}

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
