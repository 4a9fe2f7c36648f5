// The raw image cache: the index by path, the recency ring, the waiting
// callers and the tick. The fetching itself is in raw_image_fetch.cc.
#include <mutex>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/tick.h"
#include "netsvc/raw_image.h"
#include "netsvc/raw_image_impl.h"
#include "stream/url.h"
#include "text/lchar.h"

SEM ri_lock = nullptr;

namespace {

AVT_NODE* ri_tree = nullptr;
RAW_IMAGE* ri_root = nullptr;  // the most recently used; the ring goes on to the least
int ri_count = 0;
int ri_fetching = 0;
SYS_QUEUE ri_queue{};

int cmp_path(void* node_data, void* data) {
  int c = l_strcmp(static_cast<RAW_IMAGE*>(data)->path, static_cast<RAW_IMAGE*>(node_data)->path);
  return c < 0 ? 1 : c > 0 ? -1 : 0;
}

RAW_IMAGE* _search(const L_CHAR* path) {
  assert_lock_held(ri_lock);
  RAW_IMAGE key{};
  key.path = const_cast<L_CHAR*>(path);
  AVT_NODE* n = avt_search(ri_tree, &key, cmp_path);
  return n ? static_cast<RAW_IMAGE*>(n->data) : nullptr;
}

void _unlink_ring(RAW_IMAGE* ri) {
  assert_lock_held(ri_lock);
  if (ri->h.ri_next == ri) {
    ri_root = nullptr;
  } else {
    ri->h.ri_prev->h.ri_next = ri->h.ri_next;
    ri->h.ri_next->h.ri_prev = ri->h.ri_prev;
    if (ri_root == ri) ri_root = ri->h.ri_next;
  }
  ri->h.ri_next = ri->h.ri_prev = nullptr;
}

// Makes ri the most recently used.
void _to_front(RAW_IMAGE* ri) {
  assert_lock_held(ri_lock);
  if (ri_root == ri) return;
  if (ri->h.ri_next) _unlink_ring(ri);
  if (!ri_root) {
    ri->h.ri_next = ri->h.ri_prev = ri;
  } else {
    ri->h.ri_next = ri_root;
    ri->h.ri_prev = ri_root->h.ri_prev;
    ri_root->h.ri_prev->h.ri_next = ri;
    ri_root->h.ri_prev = ri;
  }
  ri_root = ri;
}

void free_image(RAW_IMAGE* ri) {
  d_f_ree(ri->path);
  d_f_ree(ri->h.q.key);
  d_f_ree(ri->data);
  d_f_ree(ri->ndata);
  d_f_ree(ri);
}

// Out of the index and the ring; the caller frees it.
void _remove(RAW_IMAGE* ri) {
  assert_lock_held(ri_lock);
  avt_delete(&ri_tree, ri, cmp_path);
  _unlink_ring(ri);
  --ri_count;
}

// A new waiting caller of ri, set up by op 2.
RI_QUEUE* _new_waiter(RAW_IMAGE* ri, ri_que_cf func, void* cf_data) {
  assert_lock_held(ri_lock);
  auto* q = static_cast<RI_QUEUE*>(d_calloc(sizeof(RI_QUEUE), 1));
  q->ri = ri;
  q->call_function = func;
  func(RI_OP_SETUP, q, cf_data);
  q->next = ri->ri_que;
  ri->ri_que = q;
  return q;
}

// Whether one of ri's waiting callers with func says it serves the request.
bool _served(RAW_IMAGE* ri, ri_que_cf func, void* cf_data) {
  assert_lock_held(ri_lock);
  for (RI_QUEUE* q = ri->ri_que; q; q = q->next) {
    if (q->call_function == func && func(RI_OP_SAME, q, cf_data) == 0) return true;
  }
  return false;
}

// The image at path, made and queued for fetching when not cached (with
// func, when given, as its first waiting caller); null when it cannot be
// fetched now. ri_lock held.
RAW_IMAGE* _request(const L_CHAR* path, ri_que_cf func, void* cf_data) {
  assert_lock_held(ri_lock);
  if (RAW_IMAGE* ri = _search(path)) {
    _to_front(ri);
    if (ri->err == RI_FETCHING && func && !_served(ri, func, cf_data)) _new_waiter(ri, func, cf_data);
    return ri;
  }
  if (ri_fetching >= kRawImageFetchingMax) return nullptr;
  URL u{};
  if (get_url2(&u, path) < 0 || !u.proto || !u.server) {
    free_url(&u);
    return nullptr;
  }
  auto* ri = static_cast<RAW_IMAGE*>(d_calloc(sizeof(RAW_IMAGE), 1));
  ri->path = ll_copy_str(path);
  ri->err = RI_FETCHING;
  ri->node.data = ri;
  // Images of one server are fetched one after another by its task.
  ri->h.q.key = get_server_key(&u, nullptr);
  free_url(&u);
  if (func) _new_waiter(ri, func, cf_data);
  avt_insert(&ri_tree, &ri->node, cmp_path);
  _to_front(ri);
  ++ri_count;
  ++ri_fetching;
  insert_queue(&ri_queue, &ri->h.q, 0);
  return ri;
}

}  // namespace

// ---- inside the cache

void _ri_finish(RAW_IMAGE* ri, int state, RI_QUEUE** waiting) {
  assert_lock_held(ri_lock);
  ri->err = state;
  --ri_fetching;
  *waiting = ri->ri_que;
  ri->ri_que = nullptr;
  ++ri->holds;
  wakeup_task(ri);
}

void ri_tell_waiting(RAW_IMAGE* ri, RI_QUEUE* waiting) {
  while (waiting) {
    RI_QUEUE* q = waiting;
    waiting = q->next;
    if (q->call_function) {
      q->call_function(RI_OP_ENDED, q, nullptr);
      q->call_function(RI_OP_RELEASE, q, nullptr);
    }
    d_f_ree(q);
  }
  lock_task(ri_lock);
  --ri->holds;
  unlock_task(ri_lock, "ri_tell_waiting");
}

void _ri_evict() {
  assert_lock_held(ri_lock);
  while (ri_count > kRawImageKeep && ri_root) {
    RAW_IMAGE* victim = nullptr;
    RAW_IMAGE* r = ri_root->h.ri_prev;
    for (;;) {
      if (r->err != RI_FETCHING && r->holds == 0) {
        victim = r;
        break;
      }
      if (r == ri_root) break;
      r = r->h.ri_prev;
    }
    if (!victim) return;
    _remove(victim);
    free_image(victim);
  }
}

// ---- the interface

void init_zu_ri() {
  static std::once_flag once;
  std::call_once(once, [] {
    ri_lock = new_lock(LOCK_RAW_IMAGE);
    ri_queue.flags = kQueueFifo;
    ri_queue.key_func = fetch_task;
    ri_queue.pri = 4;
    setup_queue(&ri_queue);
    new_tick(ri_tick, 30, nullptr);
  });
}

uint32_t* zu_get_ri(int* err, int* w, int* h, ri_que_cf func, void* cf_data, const L_CHAR* path) {
  lock_task(ri_lock);
  RAW_IMAGE* ri = path ? _request(path, func, cf_data) : nullptr;
  uint32_t* px = nullptr;
  *err = ri ? ri->err : RI_FAILED;
  if (ri && ri->err == RI_READY) {
    *w = ri->width;
    *h = ri->height;
    px = ri->data;
  }
  unlock_task(ri_lock, "zu_get_ri");
  return px;
}

uint8_t* zu_search_ri_org(int* err, int* len, const L_CHAR* path) {
  lock_task(ri_lock);
  RAW_IMAGE* ri = path ? _request(path, nullptr, nullptr) : nullptr;
  uint8_t* bytes = nullptr;
  *err = RI_FAILED;
  *len = -1;
  if (ri) {
    ++ri->holds;
    while (ri->err == RI_FETCHING) {
      sleep_task(ri, ri_lock);
      lock_task(ri_lock);
    }
    --ri->holds;
    *err = ri->err;
    if (ri->err == RI_READY) {
      *len = ri->ndata_len;
      bytes = ri->ndata;
    }
  }
  unlock_task(ri_lock, "zu_search_ri_org");
  return bytes;
}

int delete_ri(const L_CHAR* path) {
  lock_task(ri_lock);
  RAW_IMAGE* ri = path ? _search(path) : nullptr;
  bool gone = ri && ri->err != RI_FETCHING && ri->holds == 0;
  if (gone) _remove(ri);
  unlock_task(ri_lock, "delete_ri");
  if (gone) free_image(ri);
  return gone ? 0 : -1;
}

void ri_tick(void*) {
  lock_task(ri_lock);
  RAW_IMAGE* r = ri_root;
  for (int i = 0; i < ri_count && r; ++i, r = r->h.ri_next) {
    if (r->err != RI_FETCHING) continue;
    for (RI_QUEUE* q = r->ri_que; q; q = q->next) {
      if (q->call_function && q->call_function(RI_OP_WITHDRAW, q, nullptr) != 0) {
        q->call_function(RI_OP_RELEASE, q, nullptr);
        q->call_function = nullptr;
        q->data = nullptr;
      }
    }
  }
  unlock_task(ri_lock, "ri_tick");
}

void ri_counts(int* cached, int* fetching) {
  lock_task(ri_lock);
  *cached = ri_count;
  *fetching = ri_fetching;
  unlock_task(ri_lock, "ri_counts");
}
