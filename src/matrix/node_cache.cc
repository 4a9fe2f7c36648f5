// The node cache: lookup and creation of nodes, node locks and the channel
// lock, waiting tokens, the ring of all nodes with its purge, and the
// access tick that sizes the cache.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "elements/geometry.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "runtime/delayed.h"
#include "stream/stream.h"

namespace {

constexpr int64_t kPurgePressureGap = 2;  // seconds between purges under pressure
constexpr int64_t kPurgeIdleGap = 120;    // seconds between purges otherwise
constexpr int64_t kSaveAge = 30;          // a ready node dirty this long is saved
constexpr int64_t kIdleAge = 120;         // a node idle this long may be freed

// Nodes put in the ring since the last purge (matrix_lock).
int64_t inserts_since_purge = 0;

std::atomic<MX_NODE_WAIT_CHECK> node_wait_check{nullptr};

MATRIX_NODE* find_node(MATRIX* m, const int64_t* dc) {
  for (MATRIX_NODE* n = m->node_hash[_get_node_hash(m, dc)]; n; n = n->nh_next)
    if (_cmp_dim_code(m, n->dim_code, dc) == 0) return n;
  return nullptr;
}

// ---- the node table (MX_NODE_HASH)

void rehash(MATRIX* m, int64_t size) {
  MX_NODE_HASH& h = m->node_hash;
  auto* old = h.bucket;
  const int64_t old_size = h.size;
  h.bucket = static_cast<MATRIX_NODE**>(d_calloc(sizeof(MATRIX_NODE*), size));
  h.size = size;
  for (int64_t i = 0; i < old_size; ++i)
    for (MATRIX_NODE *n = old[i], *next; n; n = next) {
      next = n->nh_next;
      MATRIX_NODE*& head = h.bucket[_get_node_hash(m, n->dim_code)];
      n->nh_next = head;
      head = n;
    }
  d_f_ree(old);
}

void hash_node(MATRIX* m, MATRIX_NODE* n) {
  MX_NODE_HASH& h = m->node_hash;
  if (!h.bucket || h.count >= h.size) rehash(m, h.bucket ? 2 * h.size : kMxNodeHashSize);
  MATRIX_NODE*& head = h.bucket[_get_node_hash(m, n->dim_code)];
  n->nh_next = head;
  head = n;
  ++h.count;
}

// Where the table holds n: the link that points to it.
MATRIX_NODE** hash_link(MATRIX* m, const MATRIX_NODE* n) {
  MATRIX_NODE** pp = m->node_hash.bucket ? &m->node_hash.bucket[_get_node_hash(m, n->dim_code)] : nullptr;
  while (pp && *pp && *pp != n) pp = &(*pp)->nh_next;
  if (!pp || !*pp) er_panic("_free_matrix_node");
  return pp;
}

MATRIX_NODE* new_node(MATRIX* m, const int64_t* dc, int pt_key) {
  MATRIX_NODE* n = mx_make_node(m, dc);
  n->file_gen = m->file_gen.load(std::memory_order_acquire);
  n->file_handovers = m->file_handovers.load(std::memory_order_acquire);
  hash_node(m, n);
  n->process_token_key = pt_key;
  n->status = kMsNew;
  return n;
}

// A node made in memory for dc with its fetch started. The fetch is queued
// before the node joins the ring, whose purge it may set off: the saves
// of older nodes that purge fires then run after it, and the task that
// asked for the node does not wait for all of them first.
MATRIX_NODE* new_fetched_node(MATRIX* m, const int64_t* dc, int pt_key, ZU_SEXP** retp) {
  MATRIX_NODE* n = new_node(m, dc, pt_key);
  set_send_data(n, retp);
  _get_matrix_access(n);
  _insert_node_ring(n);
  return n;
}

MATRIX_NODE* refuse(int* errp, int code) {
  *errp = code;
  return nullptr;
}

bool in_error(const MATRIX_NODE* n) { return n->status == kMsLoadingErr1 || n->status == kMsProcessErr1; }

// What a ready node's data are worth against its file (MATRIX): kStale when
// another process wrote the file since they were read, kRecheck when the
// file was handed over since and no opening has looked at it again.
enum class Worth { kCurrent, kRecheck, kStale };

Worth worth(const MATRIX* m, MATRIX_NODE* n) {
  if (n->file_gen != m->file_gen.load(std::memory_order_acquire)) return Worth::kStale;
  if (n->file_handovers != m->file_handovers.load(std::memory_order_acquire)) {
    if (mx_file_unchecked(m)) return Worth::kRecheck;
    // An opening found the file as it was left: the node is current again,
    // and later lookups need not ask.
    n->file_handovers = m->file_handovers.load(std::memory_order_acquire);
  }
  return Worth::kCurrent;
}

// A ready node not worth its file's data now (w) is dropped and fetched
// anew, unless something holds it, waits for it or has still to save it:
// the node fetched in its place, or null when n stays.
MATRIX_NODE* refetch_unworthy(MATRIX* m, MATRIX_NODE* n, Worth w, const int64_t* dc, int pt_key, ZU_SEXP** retp) {
  if (w == Worth::kCurrent || _free_matrix_node(n) != 0) return nullptr;
  return new_fetched_node(m, dc, pt_key, retp);
}

// An error node whose load found the file busy, fetched again: true when
// its fetch started.
bool refetch_busy(MATRIX_NODE* n) {
  if (!in_error(n) || n->load_fault != kMxFileBusy) return false;
  n->status = kMsNew;
  n->load_fault = 0;
  wakeup_task(n);
  _wake_close_key();
  _get_matrix_access(n);
  return true;
}

bool is_saved_before(const MATRIX_NODE* n, int64_t now) {
  return n->dirty_file_time && now - static_cast<int64_t>(n->dirty_file_time) > kSaveAge;
}

// Bytes a node of m holds once its channels are filled: its own records,
// and per channel a vector over the node's elements or a single datum.
int64_t node_bytes(const MATRIX* m) {
  constexpr int64_t kMostElements = int64_t{1} << 40;
  int64_t elements = 1;
  for (int d = 0; m->block_size && d < m->p.dim && elements < kMostElements; ++d)
    elements <<= std::min<int>(m->block_size[d], 40);
  elements = std::min(elements, kMostElements);
  int64_t bytes = sizeof(MATRIX_NODE) + m->dim_bit_field + 16 * int64_t{m->p.dim + 1};
  for (int ch = 0; m->channel_info && ch < m->p.channel_nos; ++ch) {
    bytes += sizeof(MATRIX_CHANNEL);
    if (MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type) {
      int64_t width = std::max<int64_t>(tp->get_size(tp, nullptr), 1);
      bytes += tp->parent ? width * elements : width;
    }
  }
  return bytes;
}

// The target of the far-over purge: total_ncache_size, or as many nodes of
// the largest kind open as fill node_cache_bytes kMxPurgeFarOver times
// over, when more. The kinds are those of the open matrices and of own,
// the matrix of the node coming in: a closing one is out of the list, and
// without its kind every hundred of its nodes that its close brings in
// would pass over all the others.
int64_t far_target(const MATRIX* own) {
  const int64_t target = total_ncache_size;
  if (node_cache_bytes <= 0) return target;
  int64_t largest = node_bytes(own);
  for (const MATRIX* m = matrices_root.mx_next; m != &matrices_root; m = m->mx_next)
    largest = std::max(largest, node_bytes(m));
  if (largest <= 0) return target;
  return std::max(target, node_cache_bytes / (kMxPurgeFarOver * largest));
}

// Passes the newest `target` ready nodes (kMxPurgeFarKeep times that when
// far over; saving those dirty for long), then frees the older nodes idle
// for long, or all of them when far over; dirty ones get a save and go at
// a later purge, as do busy ones. A node whose channels are in use gets no
// save here: the worker would wait for their user, who may be waiting for
// the worker (one thread with two element caches).
void purge(const MATRIX_NODE* keep, int64_t now, int64_t target, bool far_over) {
  MATRIX_NODE* p = nd_root.next;
  const int64_t kept = (far_over ? kMxPurgeFarKeep : 1) * target;
  for (int64_t ready = 0; p != &nd_root && ready < kept; p = p->next) {
    if (p->status != kMsOk) continue;
    ++ready;
    if (is_saved_before(p, now)) _matrix_trigger_access(p, kMxSaveSlot, 0);
  }
  if (mx_trace()) ss_printf("insert purge matrix\n");
  // The older nodes, from the oldest: the ring stands in the order the
  // nodes were last used, so those idle for long are at its end, and the
  // walk stops at the first one used lately instead of passing over every
  // node in memory at every purge. A node stamped ahead of the clock (the
  // clock went back) is passed over.
  const MATRIX_NODE* const first = p;
  for (MATRIX_NODE *q = nd_root.prev, *prev; first != &nd_root; q = prev) {
    prev = q->prev;
    const int64_t age = now - q->last_access;
    if (!far_over && age >= 0 && age < kIdleAge) break;
    if (q != keep && (far_over || age >= kIdleAge)) {
      if (q->status == kMsOk && q->dirty_file_time && !q->ch_lock) _matrix_trigger_access(q, kMxSaveSlot, 0);
      _free_matrix_node(q);
    }
    if (q == first) break;
  }
}

}  // namespace

// ---- nodes in no table

MATRIX_NODE* mx_make_node(MATRIX* m, const int64_t* dc) {
  auto* n = static_cast<MATRIX_NODE*>(d_calloc(sizeof(MATRIX_NODE), 1));
  n->matrix = m;
  n->dim_code = copy_dim_code(m, dc).release();
  normalize_dim_code(m, n->dim_code);
  if (m->p.channel_nos > 0)
    n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(sizeof(MATRIX_CHANNEL), m->p.channel_nos));
  if (m->dim_bit_field > 0) {
    n->nlist_dim_bit_field = static_cast<uint8_t*>(d_calloc(1, m->dim_bit_field));
    n->nlist_dim_bit_field_len = m->dim_bit_field;
  }
  return n;
}

void mx_free_node(MATRIX_NODE* n) {
  const MATRIX* m = n->matrix;
  for (int ch = 0; n->channel && ch < m->p.channel_nos; ++ch) {
    MATRIX_CHANNEL& c = n->channel[ch];
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp) continue;
    mx_node_pool_give(tp, c.data);
    if (c.sb) c.sb->tbl->free_sb(c.sb);
  }
  for (MATRIX_SEXP* s : {n->send_data, n->send_data_delay})
    if (s) s->del.store(1, std::memory_order_release);
  d_f_ree(n->channel);
  d_f_ree(n->nlist_dim_bit_field);
  _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
  d_f_ree(n->dim_code);
  d_f_ree(n);
}

// ---- lookup

MATRIX_NODE* _get_matrix_node(int* errp, MATRIX* m, const int64_t* dc, int access, int64_t lev, ZU_SEXP** retp,
                              int pt_key) {
  assert_lock_held(matrix_lock);
  if (m->mode == kMxModeOpening) {
    m->flags |= kMxAskedWhileOpening;
    return refuse(errp, kMxInactive);
  }
  // A closing matrix still answers the scripts the worker runs: the saves
  // its close fires may need other nodes (a coarser node its children).
  // Nothing else reaches it, as it is out of the ring.
  bool open = m->mode == kMxModeActive || (m->mode == kMxModeClosed && matrix_on_worker());
  if (!open || (m->flags & kMxBroken)) return refuse(errp, kMxInactive);
  if (mx_dim_code_check(&m->geometry, dc) != 0) return refuse(errp, kMxNoMatrix);
  m->access_cnt |= 1;
  _touch_matrix(m);
  MATRIX_NODE* n = find_node(m, dc);
  if (!n) {
    if (access < 0) return refuse(errp, kMxNoMatrix);
    n = new_fetched_node(m, dc, pt_key, retp);
    *errp = kMxLoading;
    return n;
  }
  _delete_node_ring(n);
  _insert_node_ring(n);
  n->process_token_key = pt_key;
  n->req_level = lev;
  switch (n->status) {
    case kMsNew:
    case kMsLoading:
      // Its fetch ended without a script settling it: nothing will.
      if (!n->process_token) return refuse(errp, kMxLoading);
      *errp = kMxLoading;
      set_send_data(n, retp);
      return n;
    case kMsOk: {
      const Worth w = worth(m, n);
      if (w == Worth::kCurrent) return n;
      if (MATRIX_NODE* fresh = access >= 0 ? refetch_unworthy(m, n, w, dc, pt_key, retp) : nullptr) {
        *errp = kMxLoading;
        return fresh;
      }
      // Held, or changed here since: one whose file was written elsewhere
      // meanwhile is not used (its changes are not saved either), one that
      // is only to be looked at again is, until the file is.
      if (w == Worth::kStale) return refuse(errp, access < 0 ? kMxNoMatrix : kMxNoAccess);
      return n;
    }
    case kMsLoadingErr1:
      // A node the file holds but that could not be read is never served
      // as defaults, nor fetched again here: a waiter would loop.
      if (n->load_fault) return refuse(errp, n->load_fault);
      if (access < 0 || access == kMxFetchSlot) return refuse(errp, kMxNoMatrix);
      n->status = kMsNew;
      wakeup_task(n);
      _wake_close_key();
      _get_matrix_access(n);
      *errp = kMxNoMatrix;
      return n;
    case kMsProcessErr1:
      if (n->load_fault) return refuse(errp, n->load_fault);
      if (access < 0 || access == kMxFetchSlot) return refuse(errp, kMxNoMatrix);
      n->status = kMsLoading;
      wakeup_task(n);
      _matrix_trigger_access(n, kMxVisuSlot, 0);
      *errp = kMxNoMatrix;
      return n;
    case kMsEditErr1:
    case kMsEditErr2:
      return access >= 0 ? n : refuse(errp, kMxNodeFailed);
    default:
      er_panic("_get_matrix_node");
  }
}

void _ask_matrix_node(MATRIX* m, const int64_t* dc, int access) {
  assert_lock_held(matrix_lock);
  if (access < 0 || m->mode != kMxModeActive || (m->flags & kMxBroken) || mx_dim_code_check(&m->geometry, dc) != 0 ||
      find_node(m, dc))
    return;
  new_fetched_node(m, dc, 0, nullptr);
}

MATRIX_NODE* _get_node_to_rebuild(MATRIX* m, const int64_t* dc) {
  assert_lock_held(matrix_lock);
  if ((m->flags & kMxBroken) || mx_dim_code_check(&m->geometry, dc) != 0) return nullptr;
  if (MATRIX_NODE* n = find_node(m, dc)) {
    if (n->status == kMsOk)
      if (MATRIX_NODE* fresh = refetch_unworthy(m, n, worth(m, n), dc, 0, nullptr)) return fresh;
    refetch_busy(n);
    return n;
  }
  return new_fetched_node(m, dc, 0, nullptr);
}

MATRIX_NODE* _first_loading(MATRIX* m) {
  assert_lock_held(matrix_lock);
  // While a rebuild goes on, the nodes it holds are the ones loading: a
  // flush asks after each batch of them, and finds one without a walk.
  if (MATRIX_NODE* n = _rebuild_loading(m)) return n;
  for (MATRIX_NODE* head : m->node_hash)
    for (MATRIX_NODE* x = head; x; x = x->nh_next)
      if (x->status < kMsOk && x->process_token) return x;
  return nullptr;
}

void _retry_busy_node(MATRIX* m, const int64_t* dc) {
  assert_lock_held(matrix_lock);
  if (m->mode != kMxModeActive || (m->flags & kMxBroken) || matrix_on_worker() ||
      mx_dim_code_check(&m->geometry, dc) != 0)
    return;
  if (MATRIX_NODE* n = find_node(m, dc)) refetch_busy(n);
}

void retry_busy_node(MATRIX* m, const int64_t* dc) {
  lock_task(matrix_lock);
  _retry_busy_node(m, dc);
  unlock_task(matrix_lock, "retry_busy_node");
}

MATRIX_NODE* get_matrix_node(int* errp, MATRIX* m, const int64_t* dc, int access, MATRIX_TOKEN* t, ZU_SEXP** retp) {
  lock_task(matrix_lock);
  int err = 0;
  MATRIX_NODE* n = _get_matrix_node(&err, m, dc, access, dc[0], retp, 0);
  // A script asking for the node it is loading has it: waiting for the node
  // to settle would wait for the script's own end.
  if (err == kMxLoading && n && t && n->process_token == t) err = 0;
  if (err == 0) {
    _lock_node(n, t);
  } else {
    *errp = err;
    if (err == kMxInactive || err == kMxNodeFailed || access < 0) n = nullptr;
    else if (n && !_token_waits(t)) _insert_node_wait_token(n, t);  // one wait at a time
  }
  unlock_task(matrix_lock, "get_matrix_node");
  return n;
}

MATRIX_NODE* _get_matrix_node_wait(int* errp, MATRIX* m, const int64_t* dc, int access) {
  assert_lock_held(matrix_lock);
  // After a wait the node has been fetched for us once: an error status it
  // settled in is answered, not fetched again (which could go on forever).
  bool waited = false;
  double since = -1;
  if (access >= 0) _retry_busy_node(m, dc);
  for (;;) {
    int err = 0;
    int a = waited && access >= 0 ? kMxFetchSlot : access;
    MATRIX_NODE* n = _get_matrix_node(&err, m, dc, a, dc[0], nullptr, 0);
    if (err == 0) {
      _lock_node(n, nullptr);
      return n;
    }
    if (n && (n->status == kMsNew || n->status == kMsLoading) && !matrix_on_worker()) {
      waited = true;
      if (since < 0) since = mx_wait_start();
      if (_wait_loading_node(n, since)) continue;
      n = nullptr;
    }
    *errp = err;
    if (err == kMxInactive || err == kMxNodeFailed || err == kMxLoading || access < 0) n = nullptr;
    return n;
  }
}

MATRIX_NODE* get_matrix_node_wait(int* errp, MATRIX* m, const int64_t* dc, int access) {
  lock_task(matrix_lock);
  MATRIX_NODE* n = _get_matrix_node_wait(errp, m, dc, access);
  unlock_task(matrix_lock, "get_matrix_node_wait");
  return n;
}

void set_mx_node_wait_check(MX_NODE_WAIT_CHECK check) { node_wait_check.store(check, std::memory_order_release); }

double mx_wait_start() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool _wait_loading_node(MATRIX_NODE* n, double since) {
  assert_lock_held(matrix_lock);
  _i_sleep_task_timeout(n, matrix_lock, 1.0, __FILE__, __LINE__);
  MX_NODE_WAIT_CHECK check = node_wait_check.load(std::memory_order_acquire);
  bool go_on = !check || check(mx_wait_start() - since) == 0;
  lock_task(matrix_lock);
  return go_on;
}

// ---- node locks

void _lock_node(MATRIX_NODE* n, MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  ++n->locked;
  if (!t) return;
  auto* e = static_cast<MATRIX_LIST*>(d_alloc(sizeof(MATRIX_LIST)));
  e->node = n;
  e->next = t->locked_node_list;
  t->locked_node_list = e;
}

namespace {

// What waits for a node to be let go: the node, its matrix and a closing.
void wake_node_waiters(MATRIX_NODE* n) {
  wakeup_task(n->matrix);
  wakeup_task(n);
  _wake_close_key();
}

void release_channel(MATRIX_NODE* n, int flags) {
  if (--n->ch_lock < 0) er_panic("matrix_node_channel_unlock");
  if (n->ch_lock == 0) {
    if (flags & 1) _set_dirty_file(n);
    n->ch_lock_tid = 0;
  }
}

}  // namespace

void _release_node_channels(MATRIX_NODE* n, int count, int flags) {
  assert_lock_held(matrix_lock);
  for (int i = 0; i < count; ++i) release_channel(n, flags);
  if (n->locked > 0) --n->locked;
  wake_node_waiters(n);
}

void _unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  if (n->locked > 0) --n->locked;
  if (t) {
    for (MATRIX_LIST** pp = &t->locked_node_list; *pp; pp = &(*pp)->next)
      if ((*pp)->node == n) {
        MATRIX_LIST* e = *pp;
        *pp = e->next;
        d_f_ree(e);
        break;
      }
  }
  wake_node_waiters(n);
}

void unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t) {
  lock_task(matrix_lock);
  _unlock_node(n, t);
  unlock_task(matrix_lock, "unlock_node");
}

void _matrix_node_channel_lock(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  int tid = get_tid();
  if (n->ch_lock > 0 && n->ch_lock_tid != tid) {
    ++n->locked;  // the node stays while this task sleeps
    while (n->ch_lock > 0) {
      sleep_task(n, matrix_lock);
      lock_task(matrix_lock);
    }
    --n->locked;
  }
  ++n->ch_lock;
  n->ch_lock_tid = tid;
}

void _matrix_node_channel_unlock(MATRIX_NODE* n, int flags) {
  assert_lock_held(matrix_lock);
  release_channel(n, flags);
  wake_node_waiters(n);
}

void matrix_node_channel_lock(MATRIX_NODE* n) {
  lock_task(matrix_lock);
  _matrix_node_channel_lock(n);
  unlock_task(matrix_lock, "matrix_node_channel_lock");
}

void matrix_node_channel_unlock(MATRIX_NODE* n, int flags) {
  lock_task(matrix_lock);
  _matrix_node_channel_unlock(n, flags);
  unlock_task(matrix_lock, "matrix_node_channel_unlock");
}

// ---- waiting tokens

void _xx_insert_node_wait_token(MATRIX_NODE* n, MATRIX_TOKEN* t, const char* file, int line) {
  assert_lock_held(matrix_lock);
  if (!t) return;
  if (t->wait_node) er_panic("_insert_node_wait_token");
  t->c_file = file;
  t->c_line = line;
  t->wait_node = n;
  t->next = n->wait_token;
  n->wait_token = t;
}

bool _token_waits(const MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  return t && (t->wait_node || t->wait_matrix);
}

void _unchain_token(MATRIX_TOKEN* t) {
  assert_lock_held(matrix_lock);
  MATRIX_TOKEN** pp = t->wait_node ? &t->wait_node->wait_token : t->wait_matrix ? &t->wait_matrix->wait_token : nullptr;
  for (; pp && *pp; pp = &(*pp)->next)
    if (*pp == t) {
      *pp = t->next;
      break;
    }
  t->next = nullptr;
  t->wait_node = nullptr;
  t->wait_matrix = nullptr;
}

void _requeue_node_tokens(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  while (MATRIX_TOKEN* t = n->wait_token) {
    n->wait_token = t->next;
    t->next = nullptr;
    t->wait_node = nullptr;
    _insert_matrix_access(t, matrix_exec_cal);
  }
  wakeup_task(n);
  _wake_close_key();
}

// ---- freeing and settling

int _free_matrix_node(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  MATRIX* m = n->matrix;
  if (n->locked || n->ch_lock || n->save_lock || n->dirty_file_time) return -1;
  if (n->wait_token || n->process_token) return -2;
  MATRIX_NODE** pp = hash_link(m, n);
  *pp = n->nh_next;
  --m->node_hash.count;
  _unlist_dirty(n);
  _delete_node_ring(n);
  mx_free_node(n);
  return 0;
}

int _sync_matrix_node(const MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  if (n->locked || n->ch_lock || n->save_lock || n->dirty_file_time) return -1;
  if (n->wait_token || n->process_token) return -2;
  if (n->status == kMsNew || n->status == kMsLoading) return -3;
  return 0;
}

void set_send_data(MATRIX_NODE* n, ZU_SEXP** retp) {
  if (!retp) return;
  if (n->send_data) {
    *retp = static_cast<ZU_SEXP*>(n->send_data->data);
    return;
  }
  D_SEXP* d = nullptr;
  ZU_SEXP* v = new_d_sexp(&d);
  n->send_data_delay = xx_new_held_value(d, gc_d_sexp, __FILE__, __LINE__);
  n->send_data = xx_new_held_value(v, gc_qn_sexp, __FILE__, __LINE__);
  *retp = v;
}

// ---- the ring

void _delete_node_ring(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  n->prev->next = n->next;
  n->next->prev = n->prev;
  n->next = n->prev = n;
  --nd_cnt;
}

void _insert_node_ring(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  n->prev = &nd_root;
  n->next = nd_root.next;
  nd_root.next->prev = n;
  nd_root.next = n;
  int64_t now = mx_now();
  n->last_access = now;
  ++nd_cnt;
  ++inserts_since_purge;
  const int64_t target = total_ncache_size;
  int64_t since = now - mx_last_purge_time;
  bool pressure = nd_cnt > 2 * target && since > kPurgePressureGap;
  const int64_t far = nd_cnt > kMxPurgeFarOver * target ? far_target(n->matrix) : target;
  bool far_over = nd_cnt > kMxPurgeFarOver * far && inserts_since_purge >= far;
  if (!pressure && !far_over && since <= kPurgeIdleGap) return;
  mx_last_purge_time = now;
  inserts_since_purge = 0;
  purge(n, now, far_over ? far : target, far_over);
}

void matrix_access_tick(void*) {
  lock_task(matrix_lock);
  int64_t sum = 0;
  for (MATRIX* m = matrices_root.mx_next; m != &matrices_root; m = m->mx_next) {
    m->access_cnt = static_cast<int>(static_cast<unsigned>(m->access_cnt) << 1);
    if (m->access_cnt & 6) sum += m->total_levels;
  }
  if (sum) total_ncache_size = static_cast<int>(std::clamp<int64_t>(10 * sum, 100, INT_MAX));
  unlock_task(matrix_lock, "matrix_access_tick");
}
