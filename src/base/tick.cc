#include "base/tick.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/task.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlots = 64;
constexpr int kTimeoutWakes = 3;
constexpr int kTimeoutGap = 2;
constexpr int kTickTaskPri = 3;

enum class Kind { kFunc, kTimeout };

struct Entry {
  Kind kind = Kind::kFunc;
  TICK_FUNC func = nullptr;
  void* data = nullptr;          // the function's data, or the time-out's key
  int interval = 0;              // seconds between runs
  bool once = false;             // removed after its next run
  long long due = 0;             // tick number of the next run
  int wakes_left = 0;            // time-outs: wakes still to come
  bool cancelled = false;        // cancelled while running
  bool changed = false;          // change_tick during this run
  int new_interval = 0;
  Entry* next = nullptr;
};

// mu is never held while a tick function runs or while a thread sleeps
// (the conditions release it; the safe-point hooks run outside it).
struct State {
  std::mutex mu;
  std::condition_variable tick_cv;   // the tick thread's wait
  std::condition_variable imm_cv;    // the immediate thread's wait
  std::condition_variable done_cv;   // a run ended, or a thread stopped
  Entry* slot[kSlots] = {};
  Entry* imm_head = nullptr;
  Entry* imm_tail = nullptr;
  Entry* running_tick = nullptr;     // entry running on the tick thread
  Entry* running_imm = nullptr;      // entry running on the immediate thread
  long long now = 0;                 // ticks done since start
  bool started = false;
  bool stop = false;
  bool unit_changed = false;         // the tick thread starts a fresh tick
  int threads = 0;
};

State& st() {
  static State* s = new State;
  return *s;
}

std::atomic<int> unit_ms{1000};
thread_local Entry* my_running = nullptr;
thread_local bool on_timer_thread = false;

Entry* new_entry() {
  return new (xx_d_alloc(sizeof(Entry), __FILE__, __LINE__)) Entry;
}
void free_entry(Entry* e) {
  e->~Entry();
  xx_d_f_ree(e, __FILE__, __LINE__);
}

// Waits on cv with the collector's safe-point hooks called outside the mutex:
// a hook may block until a collection ends, and the collection may need it.
template <class Pred>
void safe_wait(std::unique_lock<std::mutex>& g, std::condition_variable& cv, Pred pred) {
  if (pred()) return;
  g.unlock();
  blocking_leave();
  g.lock();
  cv.wait(g, pred);
  g.unlock();
  blocking_enter();
  g.lock();
}

void schedule(State& s, Entry* e, int after) {
  if (after < 1) after = 1;
  e->due = s.now + after;
  Entry*& head = s.slot[e->due % kSlots];
  e->next = head;
  head = e;
}

void push_immediate(State& s, Entry* e) {
  e->next = nullptr;
  if (s.imm_tail) s.imm_tail->next = e; else s.imm_head = e;
  s.imm_tail = e;
  s.imm_cv.notify_one();
}

// Runs one function entry with the mutex released, then files it again or
// frees it as its interval says.
void fire(State& s, std::unique_lock<std::mutex>& g, Entry* e, Entry*& running) {
  running = e;
  e->changed = false;
  my_running = e;
  g.unlock();
  e->func(e->data);
  g.lock();
  my_running = nullptr;
  running = nullptr;
  s.done_cv.notify_all();
  if (e->cancelled || s.stop) {
    free_entry(e);
    return;
  }
  if (e->changed) {
    if (e->new_interval == 0) {
      free_entry(e);
      return;
    }
    e->once = e->new_interval < 0;
    e->interval = e->once ? -e->new_interval : e->new_interval;
  } else if (e->once) {
    free_entry(e);
    return;
  }
  schedule(s, e, e->interval);
}

// Takes the first entry of the current slot that is due.
Entry* take_due(State& s) {
  for (Entry** pp = &s.slot[s.now % kSlots]; *pp; pp = &(*pp)->next) {
    Entry* e = *pp;
    if (e->due <= s.now) {
      *pp = e->next;
      e->next = nullptr;
      return e;
    }
  }
  return nullptr;
}

void tick_main(TKEY) {
  on_timer_thread = true;
  State& s = st();
  std::unique_lock<std::mutex> g(s.mu);
  auto next = Clock::now() + std::chrono::milliseconds(unit_ms.load());
  while (!s.stop) {
    g.unlock();
    blocking_leave();
    g.lock();
    s.tick_cv.wait_until(g, next, [&s] { return s.stop || s.unit_changed; });
    g.unlock();
    blocking_enter();
    g.lock();
    if (s.stop) break;
    auto t = Clock::now();
    if (s.unit_changed) {
      s.unit_changed = false;
      next = t + std::chrono::milliseconds(unit_ms.load());
      continue;
    }
    if (t < next) continue;  // woken early
    next += std::chrono::milliseconds(unit_ms.load());
    if (next < t) next = t + std::chrono::milliseconds(unit_ms.load());  // fell far behind
    ++s.now;
    while (Entry* e = take_due(s)) {
      if (e->kind == Kind::kTimeout) {
        _wakeup_task(e->data, __FILE__, __LINE__);
        if (--e->wakes_left > 0) schedule(s, e, kTimeoutGap); else free_entry(e);
        continue;
      }
      fire(s, g, e, s.running_tick);
      if (s.stop) break;
    }
  }
  --s.threads;
  s.done_cv.notify_all();
  on_timer_thread = false;
}

void imm_main(TKEY) {
  on_timer_thread = true;
  State& s = st();
  std::unique_lock<std::mutex> g(s.mu);
  for (;;) {
    safe_wait(g, s.imm_cv, [&s] { return s.stop || s.imm_head; });
    if (s.stop) break;
    Entry* e = s.imm_head;
    s.imm_head = e->next;
    if (!s.imm_head) s.imm_tail = nullptr;
    e->next = nullptr;
    fire(s, g, e, s.running_imm);
  }
  --s.threads;
  s.done_cv.notify_all();
  on_timer_thread = false;
}

void start_locked(State& s) {
  if (s.started) return;
  s.started = true;
  s.stop = false;
  s.threads = 2;
  if (create_task(tick_main, nullptr, kTickTaskPri) < 0 ||
      create_task(imm_main, nullptr, kTickTaskPri) < 0) {
    er_panic("init_tick(1)");
  }
}

template <class Match>
void unlink_matching(Entry** pp, Match match) {
  while (*pp) {
    Entry* e = *pp;
    if (match(e)) {
      *pp = e->next;
      free_entry(e);
    } else {
      pp = &e->next;
    }
  }
}

}  // namespace

int init_tick() {
  State& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  start_locked(s);
  return 0;
}

int new_tick(TICK_FUNC func, int interval, void* data) {
  if (!func) return -1;
  State& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  start_locked(s);
  Entry* e = new_entry();
  e->func = func;
  e->data = data;
  if (interval == 0) {
    e->once = true;
    push_immediate(s, e);
  } else {
    e->once = interval < 0;
    e->interval = interval < 0 ? -interval : interval;
    schedule(s, e, e->interval);
  }
  return 0;
}

void del_tick_with_data(TICK_FUNC func, void* data) {
  State& s = st();
  std::unique_lock<std::mutex> g(s.mu);
  auto match = [func, data](Entry* e) {
    return e->kind == Kind::kFunc && e->func == func && e->data == data;
  };
  for (auto& head : s.slot) unlink_matching(&head, match);
  unlink_matching(&s.imm_head, match);
  s.imm_tail = nullptr;
  for (Entry* e = s.imm_head; e; e = e->next) s.imm_tail = e;
  for (Entry* e : {s.running_tick, s.running_imm}) {
    if (e && match(e)) e->cancelled = true;
  }
  // A timer thread never waits here: the other timer thread might be
  // cancelling the entry that this one is running.
  if (on_timer_thread) return;
  safe_wait(g, s.done_cv, [&] {
    return !(s.running_tick && match(s.running_tick)) && !(s.running_imm && match(s.running_imm));
  });
}

int change_tick(int interval) {
  State& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  Entry* e = my_running;
  if (!e) return -1;
  e->changed = true;
  e->new_interval = interval;
  return 0;
}

void new_timeout(const void* key, int seconds) {
  State& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  start_locked(s);
  Entry* e = new_entry();
  e->kind = Kind::kTimeout;
  e->data = const_cast<void*>(key);
  e->wakes_left = kTimeoutWakes;
  schedule(s, e, seconds);
}

void del_timeout(const void* key) {
  State& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  for (auto& head : s.slot) {
    unlink_matching(&head, [key](Entry* e) { return e->kind == Kind::kTimeout && e->data == key; });
  }
}

void sleep_sec(int n) {
  if (n <= 0) return;
  BlockingRegion region;
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long long>(n) * unit_ms.load()));
}

void set_tick_unit_ms(int ms) {
  unit_ms.store(ms < 1 ? 1 : ms);
  State& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  s.unit_changed = true;
  s.tick_cv.notify_all();
}

int get_tick_unit_ms() { return unit_ms.load(); }

void shutdown_ticks() {
  State& s = st();
  std::unique_lock<std::mutex> g(s.mu);
  if (!s.started) return;
  s.stop = true;
  s.tick_cv.notify_all();
  s.imm_cv.notify_all();
  safe_wait(g, s.done_cv, [&s] { return s.threads == 0; });
  for (auto& head : s.slot) unlink_matching(&head, [](Entry*) { return true; });
  unlink_matching(&s.imm_head, [](Entry*) { return true; });
  s.imm_tail = nullptr;
  s.started = false;
  s.stop = false;
}
