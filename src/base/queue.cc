#include "base/queue.h"

#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <new>

#include "base/alloc.h"
#include "base/panic.h"

namespace {

// Items of one priority stand together in a list, in arrival order, and
// these runs stand by descending priority (a first-in-first-out queue has
// one run). Each run is known by its priority, so an item finds its place
// after the last item of its priority or, if none, after the run of the
// nearest higher priority, without walking the items.
struct Run {
  Q_HEADER* first;
  Q_HEADER* last;
};
using RunMap = std::map<int, Run, std::greater<int>>;

// An intrusive list in queue order with its runs: the queue's own (links
// next and prev), and each key's (key_next and key_prev).
struct OrderedList {
  Q_HEADER** head;
  Q_HEADER** tail;
  RunMap* runs;
  Q_HEADER* Q_HEADER::*next_of;
  Q_HEADER* Q_HEADER::*prev_of;

  void link(Q_HEADER* item, int rank) const {
    auto at = runs->lower_bound(rank);  // the run of this rank, or the first lower one
    Q_HEADER* after = nullptr;
    if (at != runs->end() && at->first == rank) {
      after = at->second.last;
      at->second.last = item;
    } else {
      if (at != runs->begin()) after = std::prev(at)->second.last;
      runs->emplace_hint(at, rank, Run{item, item});
    }
    Q_HEADER* before = after ? after->*next_of : *head;
    item->*prev_of = after;
    item->*next_of = before;
    if (after) after->*next_of = item; else *head = item;
    if (before) before->*prev_of = item; else *tail = item;
  }

  void unlink(Q_HEADER* item, int rank) const {
    auto at = runs->find(rank);
    if (at == runs->end()) er_panic("queue: an item outside its run");
    Run& r = at->second;
    if (r.first == item && r.last == item) runs->erase(at);
    else if (r.first == item) r.first = item->*next_of;
    else if (r.last == item) r.last = item->*prev_of;
    Q_HEADER* after = item->*prev_of;
    Q_HEADER* before = item->*next_of;
    if (after) after->*next_of = before; else *head = before;
    if (before) before->*prev_of = after; else *tail = after;
    item->*next_of = item->*prev_of = nullptr;
  }
};

}  // namespace

struct Q_RUNS {
  RunMap runs;
};

// A key the queue knows: it has items queued, or a task started for it or
// serving it. Its items are listed in queue order as well, so that its task
// takes the first of them without passing over other keys' items.
struct Q_KEY {
  Q_KEY* next = nullptr;
  L_CHAR* key = nullptr;  // the queue's own copy
  int count = 0;          // items queued under the key
  int state = 0;
  Q_HEADER* head = nullptr;
  Q_HEADER* tail = nullptr;
  RunMap runs;
};

namespace {

enum KeyState { kIdle = 0, kStarting = 1, kServed = 2 };

SEM q_lock = nullptr;          // items of normal queues
SEM q_high_lock = nullptr;     // items of queues with the high lock
SEM q_gc_lock = nullptr;       // the chain of registered queues
SEM q_gc_high_lock = nullptr;  // one collection's queue phase at a time
SYS_QUEUE* queues = nullptr;
bool gc_high_held = false;     // set under q_gc_high_lock
std::once_flag init_once;

size_t lstr_len(const L_CHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

bool lstr_eq(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !b) return a == b;
  for (; *a && *a == *b; ++a, ++b) {}
  return *a == *b;
}

L_CHAR* lstr_copy(const L_CHAR* s, const char* file, int line) {
  size_t n = lstr_len(s) + 1;
  auto* d = static_cast<L_CHAR*>(xx_d_alloc(n * sizeof(L_CHAR), file, line));
  std::memcpy(d, s, n * sizeof(L_CHAR));
  return d;
}

Q_KEY* find_key(SYS_QUEUE* q, const L_CHAR* key) {
  for (Q_KEY* k = q->keylist; k; k = k->next) {
    if (lstr_eq(k->key, key)) return k;
  }
  return nullptr;
}

void drop_key(SYS_QUEUE* q, Q_KEY* key) {
  for (Q_KEY** pp = &q->keylist; *pp; pp = &(*pp)->next) {
    if (*pp == key) {
      *pp = key->next;
      d_f_ree(key->key);
      delete key;
      return;
    }
  }
}

// Starts the key task for a key that has items and no task. On failure the
// key stays idle and the next item under it tries again.
// The task is charged to the source position that queued the work.
void start_key_task(SYS_QUEUE* q, Q_KEY* k, const char* file, int line) {
  if (!q->key_func || k->state != kIdle) return;
  if (xx_create_task(q->key_func, q, q->pri, file, line) > 0) k->state = kStarting;
}

// Keys are recorded only for queues that start key tasks or limit keys.
bool tracks_keys(const SYS_QUEUE* q) { return q->key_func || q->key_limit > 0; }

Q_KEY* key_of(SYS_QUEUE* q, const Q_HEADER* item) {
  return item->key && tracks_keys(q) ? find_key(q, item->key) : nullptr;
}

bool full(const SYS_QUEUE* q, const Q_KEY* k) {
  if (q->total_limit > 0 && q->total_cnt >= q->total_limit) return true;
  return k && q->key_limit > 0 && k->count >= q->key_limit;
}

// The item's place in the queue's order: after every item of equal or
// higher priority in a queue kept by priority, else after every item.
int rank_of(const SYS_QUEUE* q, const Q_HEADER* item) { return (q->flags & 3) == kQueueByPri ? item->pri : 0; }

OrderedList queue_list(SYS_QUEUE* q) { return {&q->head, &q->tail, &q->runs->runs, &Q_HEADER::next, &Q_HEADER::prev}; }

OrderedList key_list(Q_KEY* k) { return {&k->head, &k->tail, &k->runs, &Q_HEADER::key_next, &Q_HEADER::key_prev}; }

void link_item(SYS_QUEUE* q, Q_KEY* k, Q_HEADER* item) {
  const int rank = rank_of(q, item);
  queue_list(q).link(item, rank);
  if (k) key_list(k).link(item, rank);
}

// Takes item out of q, and out of its key's list when the queue tracks
// keys (the key record, or null).
Q_KEY* unlink_item(SYS_QUEUE* q, Q_HEADER* item) {
  const int rank = rank_of(q, item);
  queue_list(q).unlink(item, rank);
  Q_KEY* k = key_of(q, item);
  if (item->key && tracks_keys(q) && !k) er_panic("delete_queue(2)");  // every keyed item has a key record
  if (k) key_list(k).unlink(item, rank);
  item->ins = nullptr;
  return k;
}

// The first item for which cond is 0 (the first of all without cond). A
// key's task asking for its key's next item is answered from the key's
// list; any other condition is put to the items in turn.
Q_HEADER* first_item(SYS_QUEUE* q, Q_COND cond, void* work) {
  if (!cond) return q->head;
  if (cond == sq_key_cond && tracks_keys(q) && work) {
    Q_KEY* k = find_key(q, static_cast<const L_CHAR*>(work));
    return k ? k->head : nullptr;
  }
  Q_HEADER* item = q->head;
  for (; item; item = item->next) {
    ++q->steps;
    if (cond(q, item, work) == 0) break;
  }
  return item;
}

// Wait addresses: takers sleep on the head, inserters waiting for room on
// the count.
const void* item_key(SYS_QUEUE* q) { return &q->head; }
const void* room_key(SYS_QUEUE* q) { return &q->total_cnt; }

}  // namespace

void init_queue() {
  std::call_once(init_once, [] {
    q_lock = new_lock(LOCK_QUEUE);
    q_gc_lock = new_lock(LOCK_QUEUE_GC);
    q_high_lock = new_lock(LOCK_QUEUE_HIGH);
    q_gc_high_lock = new_lock(LOCK_QUEUE_GC_HIGH);
  });
}

void setup_queue(SYS_QUEUE* q) {
  init_queue();
  q->target_lock = (q->flags & kQueueHighLock) ? q_high_lock : q_lock;
  lock_task(q_gc_lock);
  if (!q->runs) q->runs = new Q_RUNS;
  bool known = false;
  for (SYS_QUEUE* p = queues; p; p = p->next) known = known || p == q;
  if (!known) {
    q->next = queues;
    queues = q;
  }
  unlock_task(q_gc_lock, "setup_queue");
}

Q_HEADER* xx_new_queue_node(size_t size, const char* file, int line) {
  if (size < sizeof(Q_HEADER)) er_panic("xx_new_queue_node(1)");
  return static_cast<Q_HEADER*>(xx_d_calloc(size, 1, file, line));
}

int xx_insert_queue(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, const char* file, int line) {
  if (!q->target_lock) er_panic("xx_insert_queue(1)");  // never set up
  if (item->ins) er_panic("xx_insert_queue(2)");        // already queued
  lock_task(q->target_lock);
  Q_KEY* k = key_of(q, item);
  while (full(q, k)) {
    if (wait_flag <= 0) {
      unlock_task(q->target_lock, "insert_queue");
      return -1;
    }
    sleep_task(room_key(q), q->target_lock);
    lock_task(q->target_lock);
    k = key_of(q, item);
  }
  if (item->key && !k && tracks_keys(q)) {
    k = new Q_KEY;
    k->key = lstr_copy(item->key, file, line);
    k->state = kIdle;
    k->next = q->keylist;
    q->keylist = k;
  }
  item->ins = q;
  item->file = file;
  item->line = line;
  link_item(q, k, item);
  ++q->total_cnt;
  if (k) {
    ++k->count;
    start_key_task(q, k, file, line);
  }
  if (q->cond_del_wait_cnt > 0) wakeup_task(item_key(q));
  unlock_task(q->target_lock, "insert_queue");
  return 0;
}

Q_HEADER* delete_queue(SYS_QUEUE* q, Q_COND cond, void* work, int wait_flag) {
  if (!q->target_lock) er_panic("delete_queue(1)");
  lock_task(q->target_lock);
  for (;;) {
    if (Q_HEADER* item = first_item(q, cond, work)) {
      bool limited = q->total_limit > 0 || q->key_limit > 0;
      Q_KEY* k = unlink_item(q, item);
      --q->total_cnt;
      if (k && --k->count == 0 && k->state == kIdle) drop_key(q, k);
      if (q->gc_get) q->gc_get(item);
      if (limited) wakeup_task(room_key(q));
      unlock_task(q->target_lock, "delete_queue");
      return item;
    }
    if (wait_flag <= 0) break;
    ++q->cond_del_wait_cnt;
    sleep_task(item_key(q), q->target_lock);
    lock_task(q->target_lock);
    --q->cond_del_wait_cnt;
  }
  unlock_task(q->target_lock, "delete_queue");
  return nullptr;
}

int check_queue(SYS_QUEUE* q, Q_COND cond, void* work) {
  if (!q->target_lock) er_panic("check_queue(1)");
  int n = 0;
  lock_task(q->target_lock);
  for (Q_HEADER* p = q->head; p; p = p->next, ++n) {
    ++q->steps;
    if (cond) cond(q, p, work);
  }
  unlock_task(q->target_lock, "check_queue");
  return n;
}

int queue_count(SYS_QUEUE* q) {
  if (!q->target_lock) er_panic("queue_count(1)");
  lock_task(q->target_lock);
  const int n = q->total_cnt;
  unlock_task(q->target_lock, "queue_count");
  return n;
}

unsigned long queue_steps(SYS_QUEUE* q) {
  if (!q->target_lock) er_panic("queue_steps(1)");
  lock_task(q->target_lock);
  const unsigned long n = q->steps;
  unlock_task(q->target_lock, "queue_steps");
  return n;
}

int sq_key_cond(SYS_QUEUE*, Q_HEADER* item, void* key) {
  return lstr_eq(item->key, static_cast<const L_CHAR*>(key)) ? 0 : -1;
}

L_CHAR* touch_qkey(SYS_QUEUE* q) {
  if (!q->target_lock) er_panic("touch_qkey(1)");
  L_CHAR* ret = nullptr;
  lock_task(q->target_lock);
  for (Q_KEY* k = q->keylist; k; k = k->next) {
    if (k->state == kStarting) {
      k->state = kServed;
      ret = lstr_copy(k->key, __FILE__, __LINE__);
      break;
    }
  }
  unlock_task(q->target_lock, "touch_qkey");
  return ret;
}

int release_qkey(SYS_QUEUE* q, const L_CHAR* key) {
  if (!q->target_lock) er_panic("release_qkey(1)");
  if (!key) return -1;
  int rc = -1;
  lock_task(q->target_lock);
  Q_KEY* k = find_key(q, key);
  if (k && k->state == kServed) {
    rc = 0;
    k->state = kIdle;
    if (k->count == 0) drop_key(q, k); else start_key_task(q, k, __FILE__, __LINE__);
  }
  unlock_task(q->target_lock, "release_qkey");
  return rc;
}

void gc_queue_lock_high() {
  init_queue();
  lock_task(q_gc_high_lock);
  lock_task(q_high_lock);
  gc_high_held = true;
}

void gc_queue_lock() {
  init_queue();
  lock_task(q_lock);
}

void gc_queue_unlock() {
  if (lock_held_by_me(q_lock)) unlock_task(q_lock, "gc_queue_unlock");
  if (lock_held_by_me(q_gc_high_lock) && gc_high_held) {
    gc_high_held = false;
    unlock_task(q_high_lock, "gc_queue_unlock");
    unlock_task(q_gc_high_lock, "gc_queue_unlock");
  }
}

void gc_queue() {
  init_queue();
  lock_task(q_gc_lock);
  for (SYS_QUEUE* q = queues; q; q = q->next) {
    if (!q->gc_func) continue;
    for (Q_HEADER* p = q->head; p; p = p->next) q->gc_func(p);
  }
  unlock_task(q_gc_lock, "gc_queue");
}
