#include "base/task.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/tempbuf.h"

namespace {

// Threads kept waiting for work; one past this many ends once it has
// waited kLinger without being given a task. Load comes in waves (a server
// under many short connections needs a few dozen threads one moment and
// fewer the next): a thread that ended at once would be started again for
// the next wave, paying its start, its stack's first faults and its
// thread-local state each time.
constexpr size_t kMaxIdle = 32;
constexpr auto kLinger = std::chrono::seconds(2);
// Ids count up to this before wrapping, so the id of an ended task is not
// handed out again while something may still ask thread_exist about it.
constexpr int kTidWrap = 1 << 30;
constexpr int kDefaultPri = 3;
constexpr size_t kMsgSize = 80;

struct TaskRec {
  int tid = 0;
  std::atomic<int> pri{kDefaultPri};
  TASK_FUNC func = nullptr;
  TKEY data = nullptr;
  const char* file = nullptr;
  int line = 0;
  char msg[kMsgSize] = {};
};

int clamp_pri(int p) { return std::clamp(p, kMinPri, kMaxPri); }

// The table of live tasks by id.
struct Registry {
  std::mutex mu;
  std::unordered_map<int, TaskRec*> by_id;
  int next = 1;

  // Gives rec a free id and enters it.
  void enter(TaskRec* rec) {
    std::lock_guard<std::mutex> g(mu);
    int id;
    do {
      id = next;
      next = next >= kTidWrap ? 1 : next + 1;
    } while (by_id.count(id));
    rec->tid = id;
    by_id.emplace(id, rec);
  }
  void leave(TaskRec* rec) {
    std::lock_guard<std::mutex> g(mu);
    by_id.erase(rec->tid);
  }
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives every thread-exit hook
  return *r;
}

TaskRec* new_rec(TASK_FUNC func, TKEY data, int pri, const char* file, int line) {
  void* mem = xx_d_alloc(sizeof(TaskRec), file, line);
  auto* rec = new (mem) TaskRec;
  rec->func = func;
  rec->data = data;
  rec->file = file;
  rec->line = line;
  rec->pri.store(clamp_pri(pri));
  return rec;
}

void free_rec(TaskRec* rec) {
  rec->~TaskRec();
  xx_d_f_ree(rec, __FILE__, __LINE__);
}

thread_local TaskRec* current = nullptr;

// A thread that was not started by the pool gets a record on first use,
// dropped when the thread ends.
struct Adoption {
  TaskRec* rec = nullptr;
  ~Adoption() {
    if (!rec) return;
    if (current == rec) current = nullptr;
    registry().leave(rec);
    free_rec(rec);
  }
};
thread_local Adoption adoption;

TaskRec* self() {
  if (current) return current;
  adoption.rec = new_rec(nullptr, nullptr, kDefaultPri, __FILE__, __LINE__);
  registry().enter(adoption.rec);
  current = adoption.rec;
  return current;
}

// A pooled thread. It waits for work on its own mutex, not on the pool's,
// which the waker and the threads going idle also want: a thread woken
// under a busy mutex only goes back to sleep. The pool's mutex comes before
// m; m is a leaf.
struct Worker {
  pthread_t th{};
  std::mutex m;
  std::condition_variable cv;
  TaskRec* job = nullptr;  // guarded by m
  bool quit = false;       // guarded by m
};

// Hands w (off the idle list, so that it stays) its job, or tells it to quit.
void give(Worker* w, TaskRec* job, bool quit) {
  std::lock_guard<std::mutex> g(w->m);
  w->job = job;
  w->quit = quit;
  w->cv.notify_one();
}

// The pool's primitives: mu is held for a few instructions (pthread_create
// included) and never while a task runs; shutdown_tasks waits on its
// condition, which releases it, and workers on their own. No task's lock is
// taken under it.
struct Pool {
  std::mutex mu;
  std::condition_variable cv;  // a worker went idle
  std::vector<Worker*> idle;
  int busy = 0;                // workers running a task
  bool closing = false;        // shutdown_tasks is collecting the workers
  bool start_failed = false;   // the last thread the pool tried to start could not be had
};

// The allocator gives each thread it has not met an arena of its own, which
// reserves kArenaBytes of address space: under an address-space limit the
// threads share a few, so that the limit leaves room for their stacks.
constexpr int kArenasUnderLimit = 8;
constexpr uint64_t kArenaBytes = uint64_t{64} << 20;

uint64_t address_limit() {
  rlimit lim{};
  return getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY ? lim.rlim_cur : UINT64_MAX;
}

Pool& pool() {
  static Pool* p = [] {
    if (address_limit() != UINT64_MAX) mallopt(M_ARENA_MAX, kArenasUnderLimit);
    return new Pool;
  }();
  return *p;
}

void run_task(TaskRec* t) {
  current = t;
  t->func(t->data);
  close_thread_area();
  registry().leave(t);
  current = nullptr;
  free_rec(t);
}

// Waits until the pool gives w a job or tells it to quit: true; false when
// w has ended instead, as a thread past kMaxIdle that waited kLinger in vain.
bool wait_for_job(Worker* w, bool surplus) {
  Pool& p = pool();
  auto given = [w] { return w->job || w->quit; };
  for (;;) {
    {
      std::unique_lock<std::mutex> g(w->m);
      if (!surplus) {
        w->cv.wait(g, given);
        return true;
      }
      if (w->cv.wait_for(g, kLinger, given)) return true;
    }
    std::lock_guard<std::mutex> g(p.mu);
    // Off the idle list, w has been given a job, which is on its way.
    auto it = std::find(p.idle.begin(), p.idle.end(), w);
    surplus = it != p.idle.end() && p.idle.size() > kMaxIdle && !p.closing;
    if (surplus) {
      p.idle.erase(it);
      pthread_detach(pthread_self());
      delete w;
      return false;
    }
  }
}

void* worker_main(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  Pool& p = pool();
  for (;;) {
    TaskRec* t;
    {
      std::lock_guard<std::mutex> g(w->m);
      if (w->quit) return nullptr;  // shutdown_tasks joins and frees us
      t = w->job;
      w->job = nullptr;
    }
    // A thread started idle (_start_worker without a job) is on the idle
    // list already.
    bool surplus = false;
    if (t) {
      run_task(t);
      std::lock_guard<std::mutex> g(p.mu);
      --p.busy;
      p.idle.push_back(w);
      surplus = p.idle.size() > kMaxIdle && !p.closing;
      p.cv.notify_all();
    }
    if (!wait_for_job(w, surplus)) return nullptr;
  }
}

// Starts a pooled thread that runs job first, counted busy, or with no job
// waits on the idle list; false when no thread could be had, for want of
// memory as of threads, which the pool remembers until it starts one again
// (mu held).
bool _start_worker(Pool& p, TaskRec* job) {
  auto* w = new (std::nothrow) Worker;
  int rc = ENOMEM;
  if (w) {
    w->job = job;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kTaskStackSize);
    rc = pthread_create(&w->th, &attr, worker_main, w);
    pthread_attr_destroy(&attr);
  }
  p.start_failed = rc != 0;
  if (rc != 0) {
    delete w;
    return false;
  }
  if (job) ++p.busy;
  else p.idle.push_back(w);
  return true;
}

}  // namespace

int xx_create_task(TASK_FUNC func, TKEY data, int pri, const char* file, int line) {
  if (!func) return -1;
  TaskRec* t = new_rec(func, data, pri, file, line);
  registry().enter(t);
  int tid = t->tid;  // t may be freed by its thread before we return
  Pool& p = pool();
  std::unique_lock<std::mutex> g(p.mu);
  if (!p.idle.empty()) {
    ++p.busy;
    Worker* w = p.idle.back();
    p.idle.pop_back();
    g.unlock();
    give(w, t, false);
    return tid;
  }
  if (_start_worker(p, t)) return tid;
  // A thread that cannot be had is the caller's refusal to give, never a
  // stop.
  g.unlock();
  registry().leave(t);
  free_rec(t);
  return -1;
}

bool task_pool_short(int n) {
  Pool& p = pool();
  std::lock_guard<std::mutex> g(p.mu);
  // A start that failed tells what was so then: threads may have ended,
  // here or in other processes, and memory been freed since. So the
  // missing ones are tried now, and wait idle for the caller's tasks.
  // A start that succeeds clears the flag, so the loop asks the count.
  if (!p.start_failed) return false;
  const auto wanted = static_cast<size_t>(std::max(n, 0));
  while (p.idle.size() < wanted)
    if (!_start_worker(p, nullptr)) return true;
  return false;
}

int get_tid() { return self()->tid; }

void _get_tid(HTID* out) {
  if (!out) return;
  out->id = pthread_self();
  out->valid = 1;
}

int thread_exist(int tid) {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  return r.by_id.count(tid) ? 0 : -1;
}

void close_thread_area() {
  free_temp_buffers();
  if (TaskRec* t = current) {
    std::lock_guard<std::mutex> g(registry().mu);
    t->msg[0] = 0;
  }
}

void set_t_msg(const char* text) {
  TaskRec* t = self();
  std::lock_guard<std::mutex> g(registry().mu);
  std::strncpy(t->msg, text ? text : "", kMsgSize - 1);
  t->msg[kMsgSize - 1] = 0;
}

int get_pri(int tid) {
  if (tid == 0) return self()->pri.load();
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  auto it = r.by_id.find(tid);
  return it == r.by_id.end() ? -1 : it->second->pri.load();
}

int change_pri(int tid, int pri) {
  if (tid == 0) return self()->pri.exchange(clamp_pri(pri));
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  auto it = r.by_id.find(tid);
  return it == r.by_id.end() ? -1 : it->second->pri.exchange(clamp_pri(pri));
}

int push_pri_pctl(const PRI_CTL* ctl) {
  TaskRec* t = self();
  int prev = t->pri.load();
  if (ctl) t->pri.store(std::max(prev, clamp_pri(ctl->ceiling)));
  return prev;
}

int64_t task_address_room(uint64_t reserved) {
  const uint64_t limit = address_limit();
  if (limit == UINT64_MAX) return INT64_MAX;
  const uint64_t taken = reserved + kArenasUnderLimit * kArenaBytes;
  return limit > taken ? static_cast<int64_t>((limit - taken) / kTaskStackSize) : 0;
}

int task_pool_idle() {
  Pool& p = pool();
  std::lock_guard<std::mutex> g(p.mu);
  return static_cast<int>(p.idle.size());
}

void shutdown_tasks() {
  Pool& p = pool();
  std::unique_lock<std::mutex> g(p.mu);
  p.closing = true;
  for (;;) {
    std::vector<Worker*> idle;
    idle.swap(p.idle);
    for (Worker* w : idle) give(w, nullptr, true);
    g.unlock();
    for (Worker* w : idle) {
      pthread_join(w->th, nullptr);
      delete w;
    }
    g.lock();
    if (p.busy == 0 && p.idle.empty()) break;
    p.cv.wait(g, [&p] { return !p.idle.empty() || p.busy == 0; });
  }
  p.closing = false;
}
