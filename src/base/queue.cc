#include "base/queue.h"

#include <cstring>
#include <mutex>
#include <new>

#include "base/alloc.h"
#include "base/panic.h"

// A key the queue knows: it has items queued, or a task started for it or
// serving it.
struct Q_KEY {
  Q_KEY* next;
  L_CHAR* key;  // the queue's own copy
  int count;    // items queued under the key
  int state;
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
      d_f_ree(key);
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

void link_item(SYS_QUEUE* q, Q_HEADER* item) {
  Q_HEADER* prev = nullptr;
  if ((q->flags & 3) == kQueueByPri) {
    // After every item of equal or higher priority.
    for (Q_HEADER* p = q->head; p && p->pri >= item->pri; p = p->next) prev = p;
  } else {
    prev = q->tail;
  }
  item->next = prev ? prev->next : q->head;
  if (prev) prev->next = item; else q->head = item;
  if (!item->next) q->tail = item;
}

void unlink_item(SYS_QUEUE* q, Q_HEADER* prev, Q_HEADER* item) {
  if (prev) prev->next = item->next; else q->head = item->next;
  if (q->tail == item) q->tail = prev;
  item->next = nullptr;
  item->ins = nullptr;
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
    k = static_cast<Q_KEY*>(xx_d_calloc(sizeof(Q_KEY), 1, file, line));
    k->key = lstr_copy(item->key, file, line);
    k->state = kIdle;
    k->next = q->keylist;
    q->keylist = k;
  }
  item->ins = q;
  item->file = file;
  item->line = line;
  link_item(q, item);
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
    Q_HEADER* prev = nullptr;
    Q_HEADER* item = q->head;
    while (item && cond && cond(q, item, work) != 0) {
      prev = item;
      item = item->next;
    }
    if (item) {
      bool limited = q->total_limit > 0 || q->key_limit > 0;
      unlink_item(q, prev, item);
      --q->total_cnt;
      if (item->key && tracks_keys(q)) {
        Q_KEY* k = find_key(q, item->key);
        if (!k) er_panic("delete_queue(2)");  // every keyed item has a key record
        if (--k->count == 0 && k->state == kIdle) drop_key(q, k);
      }
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
    if (cond) cond(q, p, work);
  }
  unlock_task(q->target_lock, "check_queue");
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
