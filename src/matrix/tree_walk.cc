// Walks of the pyramid: the path from the root down to a node, the
// recursive Z order of the positions of one level with an access fired
// over a range, the children of a node, and the queue-load trace.
#include <algorithm>
#include <atomic>
#include <string>

#include "base/alloc.h"
#include "base/tick.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "stream/stream.h"

namespace {

constexpr int kTriggerQueueLimit = 99;

bool power_of_two(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

// The start of the walk down: with access 1 the deepest ready level, else
// the root. False when the walk cannot begin.
bool walk_start(MATRIX* m, int64_t* dc, int access, int pt_key, int64_t* start) {
  const int64_t lev = dc[0];
  *start = m->total_levels - 1;
  if (access != 1) {
    dc[0] = *start;
    int err = 0;
    _get_matrix_node(&err, m, dc, -1, lev, nullptr, pt_key);
    return !(err && (err == kMxInactive || access == -1));
  }
  for (int64_t l = *start; l >= lev; --l) {
    dc[0] = l;
    int err = 0;
    _get_matrix_node(&err, m, dc, -1, lev, nullptr, pt_key);
    if (err == kMxInactive) return false;
    if (err == 0) *start = l;
  }
  return true;
}

// ---- the queue-load trace

// 0 running or idle, 1 stop requested, 2 stopping.
std::atomic<int> load_indicate_tick_end_flag{0};

struct LOAD_WORK {
  int pri;
  int cnt;
  std::string* out;
};

void add_run(LOAD_WORK* w) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%i[%i]", w->pri, w->cnt);
  *w->out += buf;
}

// Counts runs of equal priority in queue order (the queue's lock is held).
int load_indicate_cond(SYS_QUEUE*, Q_HEADER* h, void* work) {
  auto* w = static_cast<LOAD_WORK*>(work);
  if (h->pri == w->pri) {
    ++w->cnt;
    return 0;
  }
  add_run(w);
  w->pri = h->pri;
  w->cnt = 1;
  return 0;
}

void load_indicate_tick(void*) {
  int flag = load_indicate_tick_end_flag.load();
  if (flag == 1) change_tick(-1);
  if (flag != 0) {
    load_indicate_tick_end_flag.store(0);
    return;
  }
  if (!mx_trace()) return;
  std::string out = "QL";
  LOAD_WORK w{-1, 0, &out};
  check_queue(&matrix_que, load_indicate_cond, &w);
  add_run(&w);
  ss_printf("%s\n", out.c_str());
}

}  // namespace

MATRIX_NODE* _get_matrix_tree(int* errp, MATRIX* m, int64_t* dc, int access, int pt_key) {
  assert_lock_held(matrix_lock);
  const int64_t lev = dc[0];
  MATRIX_NODE* result = nullptr;
  int64_t start = 0;
  bool go = !(m->flags & kMxBroken) && lev >= 0 && lev < m->total_levels && walk_start(m, dc, access, pt_key, &start);
  MATRIX_NODE* prev = nullptr;
  bool known = false;
  for (int64_t l = start; go && l >= lev; --l) {
    dc[0] = l;
    // Reading asks at the requested level and at distances 2^k - 1 above.
    int a = access == 1 ? (power_of_two(l - lev + 1) ? 0 : -1) : access;
    int err = 0;
    MATRIX_NODE* n = _get_matrix_node(&err, m, dc, a, lev, nullptr, pt_key);
    if (err == 0) {
      result = n;
      if (access == 2 && prev) _insert_dim_code_index(prev, dc, 1);
    } else if (err == kMxInactive || access > 2 || access < 0) {
      break;
    } else if (access == 2) {
      if (prev) _insert_dim_code_index(prev, dc, 1);
    } else if (prev && !known && !_check_dim_code(prev, dc)) {
      break;
    } else {
      known = true;
    }
    prev = n;
  }
  dc[0] = lev;
  if (!result) {
    if (errp) *errp = kMxNoMatrix;
    return nullptr;
  }
  _lock_node(result, nullptr);
  return result;
}

MATRIX_NODE* get_matrix_tree(int* errp, MATRIX* m, int64_t* dc, int access, int pt_key) {
  lock_task(matrix_lock);
  MATRIX_NODE* r = _get_matrix_tree(errp, m, dc, access, pt_key);
  unlock_task(matrix_lock, "get_matrix_tree");
  return r;
}

int _dc_peano_inc(const MATRIX* m, int64_t* dc, const int64_t* dc_start, const int64_t* dc_end, int64_t level) {
  for (int64_t k = std::max<int64_t>(level, 0); k < m->total_levels; ++k) {
    for (int d = 1; d <= m->p.dim; ++d) {
      int s = mx_shift(m, k, d - 1), up = mx_shift(m, k + 1, d - 1);
      int64_t a = mx_origin(dc[d], s), next = 0;
      bool room = s < 63 && !__builtin_add_overflow(a, int64_t{1} << s, &next);
      if (room && mx_origin(next, up) == mx_origin(a, up) && next < dc_end[d]) {
        dc[d] = next;
        return 0;
      }
      dc[d] = std::max(mx_origin(dc[d], up), dc_start[d]);
    }
  }
  return -1;
}

void _matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int access) {
  assert_lock_held(matrix_lock);
  int64_t dc[1 + kMxMaxDim];
  std::copy(dc_start, dc_start + 1 + m->p.dim, dc);
  auto c = [m](const int64_t* v, int d) { return static_cast<long long>(d <= m->p.dim ? v[d] : 0); };
  for (;;) {
    if (mx_trace())
      ss_printf("P %lli %lli %lli - %lli %lli %lli\n", c(dc, 0), c(dc, 1), c(dc, 2), c(dc_end, 0), c(dc_end, 1),
                c(dc_end, 2));
    if (queue_count(&matrix_que) > kTriggerQueueLimit) {
      ++m->access_lock;  // a close waits while the matrix is used outside the lock
      unlock_task(matrix_lock, "matrix_peano_trigger");
      sleep_sec(1);
      lock_task(matrix_lock);
      --m->access_lock;
      wakeup_task(m);
      if (m->mode == kMxModeClosed) return;
      continue;
    }
    int err = 0;
    if (MATRIX_NODE* n = _get_matrix_node(&err, m, dc, kMxFetchSlot, dc[0], nullptr, 0)) {
      _lock_node(n, nullptr);
      _matrix_trigger_access(n, access, 0);
      _unlock_node(n, nullptr);
    }
    if (_dc_peano_inc(m, dc, dc_start, dc_end, dc_start[0]) < 0) return;
  }
}

void matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int access) {
  lock_task(matrix_lock);
  _matrix_peano_trigger(m, dc_start, dc_end, access);
  unlock_task(matrix_lock, "matrix_peano_trigger");
}

// ---- children

void free_mx_dim_code_list(MX_DIM_CODE_LIST* lst) {
  while (lst) {
    MX_DIM_CODE_LIST* next = lst->next;
    d_f_ree(lst->dc);
    d_f_ree(lst);
    lst = next;
  }
}

MX_DIM_CODE_LIST* get_children_list(int* errp, MATRIX* m, const int64_t* dc, int access, int wait_flag,
                                    MATRIX_TOKEN* t) {
  int err = 0;
  if (wait_flag) t = nullptr;
  MATRIX_NODE* n = wait_flag ? get_matrix_node_wait(&err, m, dc, access) : get_matrix_node(&err, m, dc, access, t, nullptr);
  if (err) {
    *errp = err;
    return nullptr;
  }
  lock_task(matrix_lock);
  MX_DIM_CODE_LIST* lst = nullptr;
  auto push = [&lst](MxDimCode code) {
    auto* e = static_cast<MX_DIM_CODE_LIST*>(d_alloc(sizeof(MX_DIM_CODE_LIST)));
    e->dc = code.release();
    e->next = lst;
    lst = e;
  };
  if (n->dim_code[0] > 0 && n->nlist_dim_bit_field && n->nlist_dim_bit_field_len > 0) {
    int bits = 0;
    for (int d = 0; d < m->p.dim; ++d) bits += m->dim_divide[d];
    int64_t positions = std::min<int64_t>(int64_t{1} << std::min(bits, 62), int64_t{8} * n->nlist_dim_bit_field_len);
    for (int64_t ix = positions - 1; ix >= 0; --ix)
      if (n->nlist_dim_bit_field[ix / 8] & (1u << (ix % 8))) push(get_dim_code_from_index(m, n->dim_code, ix));
  } else if (n->dim_code[0] > 0) {
    for (int i = 0; i < n->nlist_dim_addr_len; ++i) push(copy_dim_code(m, n->nlist_dim_addr[i]));
  }
  _unlock_node(n, t);
  unlock_task(matrix_lock, "get_children_list");
  return lst;
}

void load_indicate(int start) {
  if (!start) {
    load_indicate_tick_end_flag.store(1);
    return;
  }
  while (load_indicate_tick_end_flag.load() != 0) sleep_sec(1);
  new_tick(load_indicate_tick, 2, nullptr);
}
