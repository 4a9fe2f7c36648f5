#include "base/task.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/tempbuf.h"

namespace {

// Evaluators recurse deeply; give every pooled thread the same generous
// stack rather than the platform's default.
constexpr size_t kStackSize = size_t{8} << 20;
// Threads kept waiting for work; more than this end when their task ends.
constexpr size_t kMaxIdle = 32;
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

struct Worker {
  pthread_t th{};
  std::condition_variable cv;
  TaskRec* job = nullptr;
  bool quit = false;
};

// The pool's primitives: mu is held for a few instructions (pthread_create
// included) and never while a task runs; workers and shutdown_tasks wait on
// its conditions, which release it. No task's lock is taken under it.
struct Pool {
  std::mutex mu;
  std::condition_variable cv;  // a worker went idle
  std::vector<Worker*> idle;
  int busy = 0;                // workers running a task
  bool closing = false;        // shutdown_tasks is collecting the workers
};

Pool& pool() {
  static Pool* p = new Pool;
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

void* worker_main(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  Pool& p = pool();
  std::unique_lock<std::mutex> g(p.mu);
  for (;;) {
    w->cv.wait(g, [w] { return w->job || w->quit; });
    if (w->quit) return nullptr;  // shutdown_tasks joins and frees us
    TaskRec* t = w->job;
    w->job = nullptr;
    g.unlock();
    run_task(t);
    g.lock();
    --p.busy;
    if (!p.closing && p.idle.size() >= kMaxIdle) {
      pthread_detach(pthread_self());
      delete w;
      return nullptr;
    }
    p.idle.push_back(w);
    p.cv.notify_all();
  }
}

}  // namespace

int xx_create_task(TASK_FUNC func, TKEY data, int pri, const char* file, int line) {
  if (!func) return -1;
  TaskRec* t = new_rec(func, data, pri, file, line);
  registry().enter(t);
  int tid = t->tid;  // t may be freed by its thread before we return
  Pool& p = pool();
  std::unique_lock<std::mutex> g(p.mu);
  ++p.busy;
  if (!p.idle.empty()) {
    Worker* w = p.idle.back();
    p.idle.pop_back();
    w->job = t;
    w->cv.notify_one();
    return tid;
  }
  auto* w = new Worker;
  w->job = t;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackSize);
  int rc = pthread_create(&w->th, &attr, worker_main, w);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    --p.busy;
    g.unlock();
    delete w;
    registry().leave(t);
    free_rec(t);
    return -1;
  }
  return tid;
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
    for (Worker* w : idle) {
      w->quit = true;
      w->cv.notify_one();
    }
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
