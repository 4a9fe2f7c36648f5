// Keyed work queues. Every queued item begins with a Q_HEADER whose key
// names the task that serves it. When an item arrives under a key that no
// task serves, the queue starts one task running the queue's key_func; that
// task claims the key (touch_qkey), takes the key's items one by one
// (delete_queue with sq_key_cond) and, when none is left, gives the key back
// (release_qkey) and ends. So at most one task serves a key at a time, and
// an item that arrives while the key is being given back is never stranded.
//
// No operation walks the queue but those that must look at every item
// (check_queue, gc_queue, delete_queue with a condition of its own): an
// insert finds its place in time logarithmic in the priorities queued, a
// key's task finds its key's next item at once and the count is kept, so a
// queue of a million items costs no more per item than one of ten. The
// queue's lock (target_lock) guards every field the queue sets.
#pragma once

#include <cstddef>

#include "base/l_char.h"
#include "base/lock.h"
#include "base/task.h"

struct SYS_QUEUE;
struct Q_KEY;   // the queue's record of one key
struct Q_RUNS;  // the queue's index of its items by priority

struct Q_HEADER {
  Q_HEADER* next;
  L_CHAR* key;       // text naming the serving task (may be null: no key task)
  int pri;           // order key for queues kept by priority; fixed while queued
  SYS_QUEUE* ins;    // the queue the item is in, set by the queue
  const char* file;  // where it was queued
  int line;
  // Set by the queue while the item is queued: the item before it in queue
  // order, and its neighbours among the items of its key.
  Q_HEADER* prev;
  Q_HEADER* key_next;
  Q_HEADER* key_prev;
};

// Called with the queue's lock held; must not call queue functions.
using Q_COND = int (*)(SYS_QUEUE* q, Q_HEADER* item, void* work);
using Q_GC_FUNC = void (*)(Q_HEADER* item);

// flags & 3: 0 and 1 first in first out, 2 descending pri (first come first
// served among equal pri). A caller fills a zeroed record and registers it
// with setup_queue.
constexpr int kQueueFifo = 0;
constexpr int kQueueByPri = 2;
constexpr int kQueueHighLock = 16;

struct SYS_QUEUE {
  SEM target_lock;         // set by setup_queue: the normal or the high lock
  int flags;
  Q_GC_FUNC gc_func;       // marks a queued item's values for the collector
  Q_GC_FUNC gc_get;        // called on an item as it is taken out (pins it)
  TASK_FUNC key_func;      // the per-key task; its data is the queue
  int pri;                 // priority of the key tasks
  int key_limit;           // items per key, 0: none
  int total_limit;         // items in all, 0: none
  Q_HEADER* head;
  Q_HEADER* tail;
  Q_KEY* keylist;
  int total_cnt;
  int cond_del_wait_cnt;   // tasks waiting in delete_queue
  void* work;              // the owner's word
  SYS_QUEUE* next;         // chain of registered queues
  Q_RUNS* runs;            // set by setup_queue
  unsigned long steps;     // items passed over by walks, for tests
};

// Creates the four queue locks: normal, collector, high and collector-high.
// Called once before any queue is set up (setup_queue also makes sure).
void init_queue();

// Registers a caller-filled queue. Registering it again does nothing.
void setup_queue(SYS_QUEUE* q);

// A zeroed item of size bytes (at least a Q_HEADER), freed with d_f_ree.
Q_HEADER* xx_new_queue_node(size_t size, const char* file, int line);

// Enqueues item in the queue's order. When the queue or the item's key is
// full: -1 with wait_flag 0, else waits for room. Returns 0 once queued.
int xx_insert_queue(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, const char* file, int line);

// Takes out the first item, or the first for which cond(q, item, work) is 0.
// None: null with wait_flag 0, else waits for one.
Q_HEADER* delete_queue(SYS_QUEUE* q, Q_COND cond, void* work, int wait_flag);

// Calls cond(q, item, work) for every queued item in queue order; returns
// the number of items.
int check_queue(SYS_QUEUE* q, Q_COND cond, void* work);

// The number of items queued, without walking them.
int queue_count(SYS_QUEUE* q);

// The items the queue's walks have looked at so far (check_queue, and
// delete_queue with a condition of its own, one step per item): what a
// caller's work cost the queue in steps, however long it took.
unsigned long queue_steps(SYS_QUEUE* q);

// 0 when the item's key text equals key (an L_CHAR text), else -1.
int sq_key_cond(SYS_QUEUE* q, Q_HEADER* item, void* key);

// For a starting key task: claims a key that a task was started for and
// returns a tagged copy of its text (the caller frees it), or null.
L_CHAR* touch_qkey(SYS_QUEUE* q);

// Ends a key task's service of key: the key is dropped when nothing is
// queued under it, else a new key task is started. 0, or -1 when the key is
// not served.
int release_qkey(SYS_QUEUE* q, const L_CHAR* key);

// Collector support. A collection takes gc_queue_lock_high() first, later
// gc_queue_lock(), marks with gc_queue() and releases both with
// gc_queue_unlock().
void gc_queue_lock_high();
void gc_queue_lock();
void gc_queue_unlock();
// Calls each registered queue's gc_func on each of its items.
void gc_queue();

#define new_queue_node(size) xx_new_queue_node((size), __FILE__, __LINE__)
#define insert_queue(q, item, wait) xx_insert_queue((q), (item), (wait), __FILE__, __LINE__)
