// Throughput of the runtime base's concurrency primitives: locks, sleep and
// wake, and keyed work queues.
#include <benchmark/benchmark.h>

#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/queue.h"
#include "base/task.h"
#include "base/tick.h"

namespace {

void BM_LockUnlock(benchmark::State& state) {
  SEM s = new_lock(LOCK_TEST);
  for (auto _ : state) {
    lock_task(s);
    unlock_task(s, "bench");
  }
  state.SetItemsProcessed(state.iterations());
  _i_free_lock(s);
}
BENCHMARK(BM_LockUnlock);

SEM shared_lock = new_lock(LOCK_TEST);
long shared_count = 0;

void BM_LockUnlockContended(benchmark::State& state) {
  for (auto _ : state) {
    lock_task(shared_lock);
    ++shared_count;
    unlock_task(shared_lock, "bench");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LockUnlockContended)->Threads(2)->Threads(4)->UseRealTime();

// One round trip: the benchmark thread hands the turn to a task, which hands
// it back; each side sleeps on the shared word until the turn is its own.
struct PingPong {
  SEM lock = new_lock(LOCK_TEST);
  int turn = 0;  // 0: the benchmark thread, 1: the task
  bool stop = false;
};

void pong(TKEY data) {
  auto* p = static_cast<PingPong*>(data);
  lock_task(p->lock);
  for (;;) {
    while (p->turn != 1 && !p->stop) {
      sleep_task(&p->turn, p->lock);
      lock_task(p->lock);
    }
    if (p->stop) break;
    p->turn = 0;
    wakeup_task(&p->turn);
  }
  p->turn = 2;
  wakeup_task(&p->turn);
  unlock_task(p->lock, "pong");
}

void BM_SleepWakePingPong(benchmark::State& state) {
  PingPong p;
  create_task(pong, &p, 2);
  lock_task(p.lock);
  for (auto _ : state) {
    p.turn = 1;
    wakeup_task(&p.turn);
    while (p.turn != 0) {
      sleep_task(&p.turn, p.lock);
      lock_task(p.lock);
    }
  }
  p.stop = true;
  wakeup_task(&p.turn);
  while (p.turn != 2) {
    sleep_task(&p.turn, p.lock);
    lock_task(p.lock);
  }
  unlock_task(p.lock, "bench");
  state.SetItemsProcessed(state.iterations());
  shutdown_tasks();
  _i_free_lock(p.lock);
}
BENCHMARK(BM_SleepWakePingPong)->UseRealTime();

struct Node {
  Q_HEADER h;
  long value;
};

constexpr L_CHAR kKey[] = {'k', 0};

// Items are made once; the loop only links and unlinks them.
std::vector<Node*> make_nodes(int n, const L_CHAR* key) {
  std::vector<Node*> v;
  for (int i = 0; i < n; ++i) {
    auto* node = reinterpret_cast<Node*>(new_queue_node(sizeof(Node)));
    node->h.key = const_cast<L_CHAR*>(key);
    node->h.pri = i % 7;
    v.push_back(node);
  }
  return v;
}

void free_nodes(std::vector<Node*>& v) {
  for (Node* n : v) d_f_ree(n);
}

// Insert and take out on one thread, with `range(0)` items resident so the
// ordered queue has something to walk.
void queue_round(benchmark::State& state, int flags, const L_CHAR* key) {
  static SYS_QUEUE queues[4] = {};
  SYS_QUEUE* q = &queues[(flags == kQueueByPri ? 2 : 0) + (key ? 1 : 0)];
  q->flags = flags;
  setup_queue(q);
  int resident = static_cast<int>(state.range(0));
  auto nodes = make_nodes(resident + 1, key);
  for (int i = 0; i < resident; ++i) insert_queue(q, &nodes[i]->h, 0);
  Node* spare = nodes[resident];
  for (auto _ : state) {
    insert_queue(q, &spare->h, 0);
    spare = reinterpret_cast<Node*>(delete_queue(q, nullptr, nullptr, 0));
  }
  while (delete_queue(q, nullptr, nullptr, 0)) {}
  state.SetItemsProcessed(state.iterations());
  free_nodes(nodes);
}

void BM_QueueFifo(benchmark::State& state) { queue_round(state, kQueueFifo, nullptr); }
BENCHMARK(BM_QueueFifo)->Arg(0)->Arg(64);
void BM_QueueFifoKeyed(benchmark::State& state) { queue_round(state, kQueueFifo, kKey); }
BENCHMARK(BM_QueueFifoKeyed)->Arg(0)->Arg(64);
void BM_QueueByPri(benchmark::State& state) { queue_round(state, kQueueByPri, nullptr); }
BENCHMARK(BM_QueueByPri)->Arg(0)->Arg(64);

// Items handed from the benchmark thread to a task that waits for them.
struct Handoff {
  SYS_QUEUE q{};
  std::vector<Node*> nodes;
  Node last{};  // queued once at the end: the consumer stops
};

void consumer(TKEY data) {
  auto* h = static_cast<Handoff*>(data);
  for (;;) {
    auto* n = reinterpret_cast<Node*>(delete_queue(&h->q, nullptr, nullptr, 1));
    if (n == &h->last) return;
  }
}

void BM_QueueHandoff(benchmark::State& state) {
  static Handoff h;
  h.q.total_limit = 256;
  setup_queue(&h.q);
  h.nodes = make_nodes(1024, nullptr);
  create_task(consumer, &h, 2);
  size_t i = 0;
  for (auto _ : state) {
    // With at most 256 queued, a node is always taken out long before the
    // loop comes round to it again.
    insert_queue(&h.q, &h.nodes[i++ % h.nodes.size()]->h, 1);
  }
  insert_queue(&h.q, &h.last.h, 1);
  shutdown_tasks();
  state.SetItemsProcessed(state.iterations());
  free_nodes(h.nodes);
}
BENCHMARK(BM_QueueHandoff)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
