// Scans over the stored nodes of an area, and the force scan over every
// node position of an area (scan.h).
#include "matrix/scan.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "base/panic.h"
#include "base/zutime.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "stream/stream.h"

namespace {

constexpr int kScanBatch = 100;

using Code = std::vector<int64_t>;

int dim_of(const MATRIX* m) { return m->p.dim; }

// The node size along d at level l in finest units, INT64_MAX when it does
// not fit.
int64_t unit(const MATRIX* m, int64_t l, int d) {
  int s = mx_shift(m, l, d);
  return s >= 63 ? INT64_MAX : int64_t{1} << s;
}

int64_t sat_add(int64_t a, int64_t b) {
  int64_t r = 0;
  return __builtin_add_overflow(a, b, &r) ? INT64_MAX : r;
}

int64_t sat_mul(int64_t a, int64_t b) {
  int64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}

// A child (or root) at dc lies in the area aligned at level l: its origin
// at that level is between the aligned corners. The same test as
// start <= c < end + size without the addition that could overflow.
bool in_area(const MATRIX* m, int64_t l, const int64_t* dc, const int64_t* start, const int64_t* end) {
  for (int d = 0; d < dim_of(m); ++d) {
    int s = mx_shift(m, l, d);
    int64_t o = mx_origin(dc[d + 1], s);
    if (o < mx_origin(start[d + 1], s) || o > mx_origin(end[d + 1], s)) return false;
  }
  return true;
}

int64_t mx_locked_levels(MATRIX* m) {
  lock_task(matrix_lock);
  int64_t levels = m->total_levels;
  unlock_task(matrix_lock, "scan");
  return levels;
}

bool same_code(const int64_t* a, const Code& b) { return std::equal(b.begin(), b.end(), a); }

// A token left by a break is never queued again until the matrix closes:
// an access waiting in it would never report.
bool stopped(const MATRIX_NODE* n) { return n->process_token && n->process_token->stopped; }

// Fires the access on n and sleeps until its script reports: 0 (done),
// -100 or -125 (the completion byte), or -125 when the node's scripts were
// stopped by a break meanwhile.
int fire_and_wait(MATRIX_NODE* n, int access) {
  signed char* byte = &n->scan_call[access / 3];
  lock_task(matrix_lock);
  int v = kMxScanBreak;
  if (!stopped(n)) {
    *byte = 0;
    _matrix_trigger_access(n, access, 1);
    // The break of another slot of the same token wakes nobody here: look
    // again now and then.
    while (*byte == 0 && !stopped(n)) {
      _i_sleep_task_timeout(byte, matrix_lock, 1.0, __FILE__, __LINE__);
      lock_task(matrix_lock);
    }
    if (*byte != 0) v = *byte == kMxCallDone ? 0 : *byte;
  }
  unlock_task(matrix_lock, "scan");
  return v;
}

int call_func(SCAN_CALL_WORK* w, const int64_t* dc, MATRIX_NODE* n) {
  if (!w->func) return 0;
  MATRIX_SCAN_T mst{};
  mst.dim_code = dc;
  mst.m = n->matrix;
  mst.n = n;
  mst.work = w->work;
  return w->func(&mst);
}

// A failure of the node at dc: the first load fault is kept with its node.
int failed(SCAN_CALL_WORK* w, const int64_t* dc, int err) {
  if (mx_is_load_fault(err) && !w->fault) {
    w->fault = err;
    if (w->fault_at) std::copy(dc, dc + 1 + dim_of(w->m), w->fault_at);
  }
  return err;
}

// The node's children and the node itself, locked; the code of the first
// failure otherwise (nothing held then).
int take_node(SCAN_CALL_WORK* w, const int64_t* dc, MX_DIM_CODE_LIST** lst, MATRIX_NODE** n) {
  int err = 0;
  *lst = get_children_list(&err, w->m, dc, kMxFetchSlot, 1, nullptr);
  if (err) return failed(w, dc, err);
  *n = get_matrix_node_wait(&err, w->m, dc, kMxFetchSlot);
  if (err == 0 && *n) return 0;
  free_mx_dim_code_list(*lst);
  return failed(w, dc, err ? err : kMxNoMatrix);
}

// Asks for the children in the area to be loaded, in the order they are
// visited, so that the worker loads the next ones while the scan waits for
// a script (see _ask_matrix_node).
void ask_children(SCAN_CALL_WORK* w, const int64_t* dc, MX_DIM_CODE_LIST* lst) {
  if (!lst || !lst->next) return;
  lock_task(matrix_lock);
  for (MX_DIM_CODE_LIST* c = lst; c; c = c->next)
    if (in_area(w->m, dc[0], c->dc, w->start, w->end)) _ask_matrix_node(w->m, c->dc, kMxFetchSlot);
  unlock_task(matrix_lock, "scan");
}

void release(MX_DIM_CODE_LIST* lst, MATRIX_NODE* n) {
  free_mx_dim_code_list(lst);
  unlock_node(n, nullptr);
}

// Progress of the force scans: the second of the last line.
std::atomic<unsigned> last_total_time{0};

}  // namespace

// ---- scans of stored nodes

int _scan_pre_call(const int64_t* dc, SCAN_CALL_WORK* w) {
  if (mx_trace()) ss_printf("pre-call %s\n", pt_dc(w->m, dc, 1));
  MX_DIM_CODE_LIST* lst = nullptr;
  MATRIX_NODE* n = nullptr;
  if (int err = take_node(w, dc, &lst, &n)) return err;
  ask_children(w, dc, lst);
  int result = 0;
  for (MX_DIM_CODE_LIST* c = lst; c; c = c->next) {
    if (!in_area(w->m, dc[0], c->dc, w->start, w->end)) continue;
    int r = _scan_pre_call(c->dc, w);
    if (r == kMxScanBreak) {
      release(lst, n);
      return r;
    }
    if (r < 0) result = r;
  }
  free_mx_dim_code_list(lst);
  int v = fire_and_wait(n, w->access);
  if (v < 0) result = v;
  if (v != kMxScanBreak) {
    int r = call_func(w, dc, n);
    if (r < 0) result = r;
  }
  unlock_node(n, nullptr);
  return result;
}

int _scan_post_call(const int64_t* dc, SCAN_CALL_WORK* w) {
  MX_DIM_CODE_LIST* lst = nullptr;
  MATRIX_NODE* n = nullptr;
  if (int err = take_node(w, dc, &lst, &n)) return err;
  ask_children(w, dc, lst);
  int result = fire_and_wait(n, w->access);
  if (result != kMxScanBreak) {
    int r = call_func(w, dc, n);
    if (r < 0) result = r;
    for (MX_DIM_CODE_LIST* c = lst; c && r >= 0; c = c->next) {
      if (!in_area(w->m, dc[0], c->dc, w->start, w->end)) continue;
      int rc = _scan_post_call(c->dc, w);
      if (rc < 0) result = rc;
      if (rc == kMxScanBreak) break;
    }
  }
  release(lst, n);
  return result;
}

int matrix_scan(MATRIX* m, int dir, int access, const int64_t* start, const int64_t* end,
                int (*func)(MATRIX_SCAN_T*), void* work, int64_t* fault_at) {
  if (access < 0 || access >= kMxScriptSlots || !start || !end) return kMxBadIndex;
  if (matrix_on_worker()) return -1;  // it would wait for its own scripts
  if (int r = mx_file_sync_create_node(m)) return r;
  set_matrix_env(m, "create-node", "disable");
  SCAN_CALL_WORK w{m, access, start, end, func, work, 0, 0, 0, 0, 0, fault_at};
  const int64_t top = mx_locked_levels(m) - 1;
  if (top < 0) return 0;
  Code cur(1 + dim_of(m), 0);
  cur[0] = top;
  int result = 0;
  for (bool first = true;; first = false) {
    int err = 0;
    MX_DIM_CODE_LIST* lst = mx_search_level_node(m, cur.data(), kScanBatch, &err);
    if (err) return err;
    MX_DIM_CODE_LIST* e = lst;
    // Each batch after the first begins with the last node of the one before.
    if (e && !first && same_code(e->dc, cur)) e = e->next;
    bool stop = !e;
    for (; e && !stop; e = e->next) {
      std::copy(e->dc, e->dc + cur.size(), cur.begin());
      if (!in_area(m, top, e->dc, start, end)) continue;
      int r = dir == 0 ? _scan_pre_call(e->dc, &w) : _scan_post_call(e->dc, &w);
      if (r < 0) result = r;
      stop = r == kMxScanBreak;
    }
    free_mx_dim_code_list(lst);
    if (stop) break;
  }
  return w.fault ? w.fault : result;
}

// ---- the force scan

int64_t get_loop_amount(const MATRIX* m, const int64_t* start, const int64_t* end, const int64_t* dc) {
  const int dim = dim_of(m);
  Code a(dim), b(dim);
  const int64_t level = dc[0];
  for (int d = 0; d < dim; ++d) {
    int64_t o = mx_origin(dc[d + 1], mx_shift(m, level, d));
    a[d] = std::max(o, start[d + 1]);
    b[d] = std::min(sat_add(o, unit(m, level, d)), end[d + 1]);
  }
  int64_t total = 0;
  for (int64_t l = level; l >= 0; --l) {
    int64_t product = 1;
    for (int d = 0; d < dim && product > 0; ++d) {
      int s = mx_shift(m, l, d);
      int64_t hi = mx_origin(b[d], s) == b[d] ? b[d] : sat_add(mx_origin(b[d], s), unit(m, l, d));
      int64_t span = hi - mx_origin(a[d], s);
      product = span <= 0 ? 0 : sat_mul(product, span >> std::min<int64_t>(63, l * m->dim_divide[d]));
    }
    total = sat_add(total, product);
  }
  return total;
}

int _scan_call_loading(const int64_t* dc, SCAN_CALL_WORK* w, MATRIX_SCAN_T* mst) {
  if (mst->loading_type != 1 && mst->loading_type != 2) er_panic("_scan_call_loading");
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, w->m, dc, mst->gn_create);
  if (err || !n) return err ? err : kMxNoMatrix;
  if (mst->loading_type == 1) {
    mst->n = n;
    mst->channel = 0;
    w->node_lock = 1;
    return 0;
  }
  MATRIX_NODE* np = nullptr;
  mst->channel_data = get_matrix_node_channel(&err, &np, w->m, dc, mst->channel, mst->gn_tree_node,
                                              mst->gn_create, nullptr, 0);
  unlock_node(n, nullptr);
  if (!mst->channel_data) return err ? err : kMxNoDatum;
  // The channel lock is on the node the datum came from (an ancestor with
  // gn_tree_node 1), which then also holds the only node lock.
  mst->n = np;
  w->ch_lock = 1;
  w->node_lock = mst->gn_tree_node == 1;
  return 0;
}

namespace {

// One node position of the force scan with its locks; the destructor is
// the clean-up every path takes.
struct ForceStep {
  SCAN_CALL_WORK* w;
  MATRIX_SCAN_T mst{};
  int node_locks = 0;
  int ch_locks = 0;

  ~ForceStep() {
    for (; ch_locks > 0; --ch_locks) matrix_node_channel_unlock(mst.n, mst.dirty_flags);
    for (; node_locks > 0; --node_locks) unlock_node(mst.n, nullptr);
  }
  int call(int dir) {
    mst.dir = dir;
    return w->func ? w->func(&mst) : 0;
  }
  int load(const int64_t* dc) {
    w->node_lock = w->ch_lock = 0;
    int r = _scan_call_loading(dc, w, &mst);
    node_locks += w->node_lock;
    ch_locks += w->ch_lock;
    return r;
  }
};

// The children of the node at dc inside the area, each visited in turn.
int force_children(const int64_t* dc, SCAN_CALL_WORK* w) {
  const MATRIX* m = w->m;
  const int dim = dim_of(m);
  const int64_t k = dc[0] - 1;
  Code lo(1 + dim), hi(1 + dim), step(1 + dim), ix(1 + dim);
  lo[0] = hi[0] = step[0] = k;
  for (int d = 0; d < dim; ++d) {
    int64_t o = mx_origin(dc[d + 1], mx_shift(m, dc[0], d));
    int s = mx_shift(m, k, d);
    lo[d + 1] = std::max(o, mx_origin(w->start[d + 1], s));
    hi[d + 1] = std::min(sat_add(o, unit(m, dc[0], d)), sat_add(mx_origin(w->end[d + 1], s), unit(m, k, d)));
    step[d + 1] = unit(m, k, d);
    if (lo[d + 1] >= hi[d + 1]) return 0;
  }
  ix = lo;
  do {
    int r = _scan_call_force(ix.data(), w);
    if (r < 0) return r;
  } while (inc_dim_code_ix(ix.data(), lo.data(), step.data(), hi.data(), dim) == 0);
  return 0;
}

int64_t node_elements(const MATRIX* m) {
  int64_t n = 1;
  for (int d = 0; d < dim_of(m); ++d) n = sat_mul(n, int64_t{1} << m->block_size[d]);
  return n;
}

void progress(const SCAN_CALL_WORK* w) {
  unsigned now = get_zutime();
  if (last_total_time.exchange(now) == now || !mx_trace()) return;
  ss_printf("TOTAL = %lli / %lli %f\n", static_cast<long long>(w->processed_total),
            static_cast<long long>(w->loop_total),
            w->loop_total ? static_cast<double>(w->processed_total) * 100.0 / static_cast<double>(w->loop_total) : 0.0);
}

}  // namespace

int _scan_call_force(const int64_t* dc, SCAN_CALL_WORK* w) {
  if (mx_trace())
    ss_printf("call-force %s %s %s\n", pt_dc(w->m, dc, 1), pt_dc(w->m, w->start, 1), pt_dc(w->m, w->end, 1));
  ForceStep st{w};
  st.mst.dim_code = dc;
  st.mst.m = w->m;
  st.mst.work = w->work;
  const int f = st.call(0);
  if (f < 0) return f;
  int result = 0;
  if (f & 2) {
    if (int r = st.load(dc); r < 0) {
      ss_printf("ERR? %i\n", r);
      return r;
    }
  }
  if (int r = st.call(1); r < 0) return r;
  const bool descend = dc[0] > 0 && (f & 1);
  if (descend) {
    if (int r = force_children(dc, w); r < 0) result = r;
  }
  if (int r = st.call(2); r < 0) return r;
  if (f & 4) {
    if (int r = st.load(dc); r < 0) return r;
  }
  if (int r = st.call(3); r < 0) {
    result = r;
  } else {
    w->processed_total =
        sat_add(w->processed_total, descend ? node_elements(w->m) : get_loop_amount(w->m, w->start, w->end, dc));
    progress(w);
  }
  return result;
}

int matrix_scan_force(MATRIX* m, int access, const int64_t* start, const int64_t* end,
                      int (*func)(MATRIX_SCAN_T*), void* work) {
  if (access < 0 || access >= kMxScriptSlots || !start || !end) return kMxBadIndex;
  set_matrix_env(m, "create-node", "enable");
  SCAN_CALL_WORK w{m, access, start, end, func, work, 0, 0, 0, 0, 0, nullptr};
  const int64_t top = mx_locked_levels(m) - 1;
  if (top < 0) return 0;
  Code root(1 + dim_of(m), 0);
  root[0] = top;
  w.loop_total = get_loop_amount(m, start, end, root.data());
  return _scan_call_force(root.data(), &w);
}
