#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/queue.h"
#include "base/task.h"
#include "sync_util.h"

namespace {

constexpr L_CHAR kKeyA[] = {'a', 0};
constexpr L_CHAR kKeyB[] = {'b', 0};
constexpr L_CHAR kKeyC[] = {'c', 0};

struct Item {
  Q_HEADER h;
  int producer;
  int seq;
};

Item* new_item(const L_CHAR* key, int pri = 0, int producer = 0, int seq = 0) {
  auto* it = reinterpret_cast<Item*>(new_queue_node(sizeof(Item)));
  it->h.key = const_cast<L_CHAR*>(key);
  it->h.pri = pri;
  it->producer = producer;
  it->seq = seq;
  return it;
}

// What the key tasks of one test saw.
struct Served {
  SEM lock = new_lock(LOCK_TEST);
  std::map<int, int> serving;                  // key letter -> tasks serving it now
  int max_serving = 0;
  std::map<std::pair<int, int>, int> last_seq; // (key, producer) -> last seq
  bool out_of_order = false;
  int tasks = 0;
  Counter items;
  // Optional pause between finding the key empty and giving it back.
  Counter* at_release = nullptr;
  Counter* resume = nullptr;
};
Served* served = nullptr;

void key_task(TKEY data) {
  auto* q = static_cast<SYS_QUEUE*>(data);
  L_CHAR* key = touch_qkey(q);
  if (!key) return;
  Served* s = served;
  int letter = static_cast<int>(key[0]);
  lock_task(s->lock);
  ++s->tasks;
  s->max_serving = std::max(s->max_serving, ++s->serving[letter]);
  unlock_task(s->lock, "key_task");
  bool paused = false;
  for (;;) {
    auto* it = reinterpret_cast<Item*>(delete_queue(q, sq_key_cond, key, 0));
    if (!it) {
      if (s->at_release && !paused) {
        paused = true;
        s->at_release->add();
        s->resume->wait_for(1);
      }
      break;
    }
    lock_task(s->lock);
    int& last = s->last_seq[{letter, it->producer}];
    if (it->seq != last + 1) s->out_of_order = true;
    last = it->seq;
    unlock_task(s->lock, "key_task");
    d_f_ree(it);
    s->items.add();
  }
  lock_task(s->lock);
  --s->serving[letter];
  unlock_task(s->lock, "key_task");
  EXPECT_EQ(release_qkey(q, key), 0);
  d_f_ree(key);
}

struct Producer {
  SYS_QUEUE* q;
  int id;
  int count;
  Counter* done;
};

void produce(TKEY data) {
  auto* p = static_cast<Producer*>(data);
  const L_CHAR* keys[] = {kKeyA, kKeyB, kKeyC};
  int seq[3] = {};
  for (int i = 0; i < p->count; ++i) {
    int k = i % 3;
    EXPECT_EQ(insert_queue(p->q, &new_item(keys[k], 0, p->id * 3 + k, ++seq[k])->h, 0), 0);
  }
  p->done->add();
}

TEST(KeyedQueue, OneTaskPerKeyKeepsEachProducersOrder) {
  static SYS_QUEUE q{};
  q.key_func = key_task;
  q.pri = 3;
  setup_queue(&q);
  Served s;
  served = &s;
  Counter done;
  std::vector<Producer> producers;
  for (int i = 0; i < 4; ++i) producers.push_back(Producer{&q, i, 300, &done});
  for (auto& p : producers) ASSERT_GT(create_task(produce, &p, 2), 0);
  done.wait_for(4);
  s.items.wait_for(1200);
  wait_all_tasks();  // every key task has given its key back and ended
  EXPECT_EQ(s.max_serving, 1);
  EXPECT_FALSE(s.out_of_order);
  EXPECT_EQ(q.total_cnt, 0);
  EXPECT_EQ(q.keylist, nullptr);
  EXPECT_EQ(q.head, nullptr);
  _i_free_lock(s.lock);
  served = nullptr;
}

TEST(KeyedQueue, ItemArrivingWhileKeyIsGivenBackStartsANewTask) {
  static SYS_QUEUE q{};
  q.key_func = key_task;
  setup_queue(&q);
  Served s;
  Counter at_release, resume;
  s.at_release = &at_release;
  s.resume = &resume;
  served = &s;
  ASSERT_EQ(insert_queue(&q, &new_item(kKeyA, 0, 0, 1)->h, 0), 0);
  at_release.wait_for(1);  // the task found nothing more and is about to give up the key
  s.at_release = nullptr;
  ASSERT_EQ(insert_queue(&q, &new_item(kKeyA, 0, 0, 2)->h, 0), 0);  // key still served: no task yet
  resume.add();
  s.items.wait_for(2);
  wait_all_tasks();
  EXPECT_EQ(s.tasks, 2);
  EXPECT_FALSE(s.out_of_order);
  EXPECT_EQ(q.keylist, nullptr);
  EXPECT_EQ(touch_qkey(&q), nullptr);
  EXPECT_EQ(release_qkey(&q, kKeyA), -1);  // not served any more
  _i_free_lock(s.lock);
  served = nullptr;
}

std::vector<int> drain(SYS_QUEUE* q) {
  std::vector<int> out;
  while (auto* it = reinterpret_cast<Item*>(delete_queue(q, nullptr, nullptr, 0))) {
    out.push_back(it->seq);
    d_f_ree(it);
  }
  return out;
}

TEST(KeyedQueue, OrderByFlags) {
  static SYS_QUEUE by_pri{}, fifo{};
  by_pri.flags = kQueueByPri;
  for (SYS_QUEUE* q : {&by_pri, &fifo}) {
    setup_queue(q);
    setup_queue(q);  // a second registration changes nothing
    int pris[] = {1, 5, 3, 5, 1, 7};
    for (int i = 0; i < 6; ++i) ASSERT_EQ(insert_queue(q, &new_item(nullptr, pris[i], 0, i)->h, 0), 0);
  }
  EXPECT_EQ(drain(&by_pri), (std::vector<int>{5, 1, 3, 2, 0, 4}));
  EXPECT_EQ(drain(&fifo), (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(KeyedQueue, LimitsRefuseOrWait) {
  static SYS_QUEUE q{};
  q.total_limit = 3;
  q.key_limit = 2;
  setup_queue(&q);
  ASSERT_EQ(insert_queue(&q, &new_item(kKeyA, 0, 0, 1)->h, 0), 0);
  ASSERT_EQ(insert_queue(&q, &new_item(kKeyA, 0, 0, 2)->h, 0), 0);
  Item* refused = new_item(kKeyA, 0, 0, 3);
  EXPECT_EQ(insert_queue(&q, &refused->h, 0), -1);  // key full
  EXPECT_EQ(refused->h.ins, nullptr);
  ASSERT_EQ(insert_queue(&q, &new_item(kKeyB, 0, 0, 3)->h, 0), 0);
  Item* other = new_item(kKeyC, 0, 0, 4);
  EXPECT_EQ(insert_queue(&q, &other->h, 0), -1);  // queue full
  d_f_ree(other);

  // A waiting insert goes in once an item of its key is taken out.
  struct Waiter {
    SYS_QUEUE* q;
    Item* item;
    Counter done;
  } w{&q, refused, {}};
  ASSERT_GT(create_task([](TKEY d) {
    auto* w = static_cast<Waiter*>(d);
    EXPECT_EQ(insert_queue(w->q, &w->item->h, 1), 0);
    w->done.add();
  }, &w, 2), 0);
  auto* first = reinterpret_cast<Item*>(delete_queue(&q, sq_key_cond, const_cast<L_CHAR*>(kKeyA), 0));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->seq, 1);
  d_f_ree(first);
  w.done.wait_for(1);
  EXPECT_EQ(drain(&q), (std::vector<int>{2, 3, 3}));
  EXPECT_EQ(q.keylist, nullptr);
}

// A queue kept by priority and a first-in-first-out one, each against a
// list in the order it must keep, through a seeded run of inserts and of
// removals of the first item, of a key's first (often behind other keys'
// items) and of an item from the middle (a condition of its own). After
// every step the count and the order agree with the list, and the only
// steps the queue takes are those of the walks that look at every item.
TEST(KeyedQueue, OrderAndCountThroughInsertsAndRemovals) {
  static SYS_QUEUE by_pri{}, fifo{};
  by_pri.flags = kQueueByPri;
  const L_CHAR* keys[] = {kKeyA, kKeyB, kKeyC, nullptr};
  for (SYS_QUEUE* q : {&by_pri, &fifo}) {
    SCOPED_TRACE(q == &by_pri ? "by priority" : "first in first out");
    q->key_limit = 1 << 30;  // keys are kept, no task is started
    setup_queue(q);
    std::vector<Item*> model;
    unsigned long steps = queue_steps(q);
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) { return ((seed = seed * 1103515245u + 12345u) >> 16) % n; };
    auto take = [&](Q_COND cond, void* work, size_t at) {
      auto* it = reinterpret_cast<Item*>(delete_queue(q, cond, work, 0));
      ASSERT_LT(at, model.size());
      ASSERT_EQ(it, model[at]);
      model.erase(model.begin() + static_cast<long>(at));
      d_f_ree(it);
    };
    for (int i = 0; i < 3000; ++i) {
      uint32_t op = model.empty() ? 0 : next(10);
      if (op < 5) {  // equal priorities often, and new highest and lowest ones
        Item* it = new_item(keys[next(4)], static_cast<int>(next(6)) * 10 - 20, 0, i);
        ASSERT_EQ(insert_queue(q, &it->h, 0), 0);
        auto at = q == &fifo ? model.end() : std::find_if(model.begin(), model.end(), [it](Item* m) {
          return m->h.pri < it->h.pri;
        });
        model.insert(at, it);
      } else if (op < 7) {
        take(nullptr, nullptr, 0);
      } else if (op < 9) {
        const L_CHAR* key = keys[next(3)];
        auto at = std::find_if(model.begin(), model.end(), [key](Item* m) { return m->h.key == key; });
        if (at == model.end()) {
          EXPECT_EQ(delete_queue(q, sq_key_cond, const_cast<L_CHAR*>(key), 0), nullptr);
          continue;
        }
        take(sq_key_cond, const_cast<L_CHAR*>(key), static_cast<size_t>(at - model.begin()));
      } else {
        size_t at = next(static_cast<uint32_t>(model.size()));
        int seq = model[at]->seq;
        take([](SYS_QUEUE*, Q_HEADER* h, void* w) { return reinterpret_cast<Item*>(h)->seq == *static_cast<int*>(w) ? 0 : -1; },
             &seq, at);
        steps += at + 1;
      }
      ASSERT_EQ(queue_count(q), static_cast<int>(model.size())) << "step " << i;
      std::vector<int> order, want;
      for (Item* m : model) want.push_back(m->seq);
      EXPECT_EQ(check_queue(q, [](SYS_QUEUE*, Q_HEADER* h, void* w) {
        static_cast<std::vector<int>*>(w)->push_back(reinterpret_cast<Item*>(h)->seq);
        return 0;
      }, &order), static_cast<int>(model.size()));
      ASSERT_EQ(order, want) << "step " << i;
      steps += model.size();
      ASSERT_EQ(queue_steps(q), steps) << "step " << i;
    }
    while (!model.empty()) take(nullptr, nullptr, 0);
    EXPECT_EQ(q->keylist, nullptr);
    EXPECT_EQ(q->head, nullptr);
    EXPECT_EQ(q->tail, nullptr);
  }
}

struct Marks {
  int marked = 0;
  int taken = 0;
};
Marks marks;

TEST(KeyedQueue, WaitingTakerAndCollectorCallbacks) {
  marks = Marks{};
  static SYS_QUEUE q{};
  q.flags = kQueueHighLock;
  q.gc_func = [](Q_HEADER*) { ++marks.marked; };
  q.gc_get = [](Q_HEADER* h) {
    EXPECT_EQ(h->ins, nullptr);
    ++marks.taken;
  };
  setup_queue(&q);

  struct Taker {
    SYS_QUEUE* q;
    int seq = 0;
    Counter done;
  } t{&q, 0, {}};
  ASSERT_GT(create_task([](TKEY d) {
    auto* t = static_cast<Taker*>(d);
    auto* it = reinterpret_cast<Item*>(delete_queue(t->q, sq_key_cond, const_cast<L_CHAR*>(kKeyB), 1));
    t->seq = it->seq;
    d_f_ree(it);
    t->done.add();
  }, &t, 2), 0);
  ASSERT_EQ(insert_queue(&q, &new_item(kKeyA, 0, 0, 1)->h, 0), 0);
  ASSERT_EQ(insert_queue(&q, &new_item(kKeyB, 0, 0, 2)->h, 0), 0);
  t.done.wait_for(1);
  EXPECT_EQ(t.seq, 2);
  EXPECT_EQ(marks.taken, 1);

  ASSERT_EQ(insert_queue(&q, &new_item(kKeyC, 0, 0, 3)->h, 0), 0);
  EXPECT_EQ(check_queue(&q, nullptr, nullptr), 2);

  gc_queue_lock_high();
  gc_queue_lock();
  gc_queue();
  gc_queue_unlock();
  EXPECT_EQ(marks.marked, 2);
  // Both locks are free again.
  EXPECT_EQ(drain(&q), (std::vector<int>{1, 3}));
  EXPECT_EQ(marks.taken, 3);
}

}  // namespace
