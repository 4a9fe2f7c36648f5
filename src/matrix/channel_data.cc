// Channel data of nodes: a node with one channel's datum (made from the
// channel's default on first use), channels read and written as ZU values,
// structure blocks, dirty marks and their flush, errors said, dim codes in
// ZU form, the suspend signal of matrix scripts and the index helpers of
// vectors.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/alloc.h"
#include "base/log_hook.h"
#include "base/panic.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"

namespace {

constexpr int kSaveKind = kMxSaveSlot / 3;

bool channel_in_range(const MATRIX* m, int ch) { return ch >= 0 && ch < m->p.channel_nos; }

// The first datum of a channel of n: the channel's default, shaped like the
// node for vectors (or by vp); a scalar without a default starts as its
// type's zero, a ZU-value channel as nil.
void* new_channel_datum(MATRIX_NODE* n, int ch, const MATRIX_ALLOC_VECTOR_PARAM* vp, const char* file, int line) {
  MATRIX* m = n->matrix;
  const MATRIX_CHANNEL_INFO& inf = m->channel_info[ch];
  MATRIX_DATA_TYPE* tp = inf.data_type;
  if (!tp) return nullptr;
  if (mx_is_vector_code(tp->type)) {
    if (vp) return tp->alloc_data(tp, MX_ATYPE::tagged, vp, nullptr, file, line);
    return mxt_alloc_vector_by_dim_code(&m->geometry, tp, MX_ATYPE::tagged, n->dim_code, inf.default_data);
  }
  const void* def = inf.default_data ? inf.default_data : get_zero_datum(tp);
  if (def) return tp->alloc_copy(tp, def, MX_ATYPE::tagged, nullptr, file, line);
  return tp->alloc_data(tp, MX_ATYPE::tagged, nullptr, nullptr, file, line);
}

}  // namespace

void mx_say_error(const char* fmt, ...) {
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  const int len = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string text(static_cast<size_t>(std::max(len, 0)), '\0');
  if (len > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, again);
  va_end(again);
  log_printf(LOG_LEVEL_ERROR, LOG_LAYER_QN, nullptr, "%s", text.c_str());
  ss_printf("%s\n", text.c_str());
}

// A dirty node whose changes cannot be written any more: said in the log
// and on the standard error, never dropped silently.
void _report_lost_save(MATRIX_NODE* n, const char* cause) {
  assert_matrix_held(n->matrix);
  if (n->lost_said) return;  // one node is one loss, however often it comes up
  n->lost_said = 1;
  const MATRIX* m = n->matrix;
  const L_CHAR* name = m->filename ? m->filename : m->key ? m->key : m->neturl;
  std::string dc = "(";
  for (int d = 0; d <= m->p.dim; ++d) {
    if (d) dc += ' ';
    dc += std::to_string(n->dim_code[d]);
  }
  dc += ")";
  const char* text = name ? n_string(std_cm, name) : "(unnamed)";
  ++n->matrix->lost_saves;
  const std::string why = cause ? cause : "status " + std::to_string(n->status);
  mx_say_error("matrix %s: changes of node %s not saved (%s)", text, dc.c_str(), why.c_str());
}

void _give_up_save(MATRIX_NODE* n, const char* cause) {
  _report_lost_save(n, cause);
  n->dirty_file_time = 0;
  n->save_fired = 0;
  ++n->matrix->save_moves;
  _unlist_dirty(n);
}

void _mx_node_channels(MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  int nos = n->matrix->p.channel_nos;
  if (!n->channel && nos > 0) n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(sizeof(MATRIX_CHANNEL), nos));
}

// ---- a node with a channel's datum

void* xx_get_matrix_node_channel(int* errp, MATRIX_NODE** np, MATRIX* m, const int64_t* dim_code, int ch, int type,
                                 int access, const MATRIX_ALLOC_VECTOR_PARAM* vp, int pt_key, const char* file,
                                 int line) {
  lock_task(matrix_lock);
  auto fail = [errp](int code) -> void* {
    *errp = code;
    unlock_task(matrix_lock, "get_matrix_node_channel");
    return nullptr;
  };
  if (m->flags & kMxBroken) return fail(kMxInactive);
  if (!channel_in_range(m, ch)) return fail(kMxBadIndex);
  int err = 0;
  MATRIX_NODE* n = nullptr;
  if (type == 1) {
    int64_t dc[1 + kMxMaxDim];
    std::copy(dim_code, dim_code + 1 + m->p.dim, dc);
    n = _get_matrix_tree(&err, m, dc, access, pt_key);
    if (!n) return fail(err ? err : kMxNoMatrix);
  } else {
    const double since = mx_wait_start();
    for (;;) {
      err = 0;
      n = _get_matrix_node(&err, m, dim_code, access, dim_code[0], nullptr, pt_key);
      if (err != kMxLoading || !n || matrix_on_worker() || !_wait_loading_node(n, since)) break;
    }
    if (err) return fail(err);
  }
  *np = n;
  _matrix_node_channel_lock(n);
  void* d = _mx_channel_datum(n, ch, access >= 0, vp, file, line);
  if (!d) {
    _matrix_node_channel_unlock(n, 0);
    if (type == 1) _unlock_node(n, nullptr);
    return fail(access >= 0 ? kMxBadIndex : kMxNoDatum);
  }
  unlock_task(matrix_lock, "get_matrix_node_channel");
  return d;
}

void* _mx_channel_datum(MATRIX_NODE* n, int ch, bool make, const MATRIX_ALLOC_VECTOR_PARAM* vp, const char* file,
                        int line) {
  assert_lock_held(matrix_lock);
  _mx_node_channels(n);
  MATRIX_CHANNEL& c = n->channel[ch];
  if (!c.data && make) {
    c.data = new_channel_datum(n, ch, vp, file, line);
    if (c.data) _set_dirty_file(n);
  }
  return c.data;
}

void* _mx_channel_datum_unchanged(MATRIX_NODE* n, int ch) {
  assert_lock_held(matrix_lock);
  _mx_node_channels(n);
  MATRIX_CHANNEL& c = n->channel[ch];
  if (!c.data) c.data = new_channel_datum(n, ch, nullptr, __FILE__, __LINE__);
  return c.data;
}

// ---- dim codes in ZU form

bool is_dim_code_sexp(const MATRIX* m, ZU_SEXP* s) {
  const int len = list_length(s);
  return len >= 2 && len == m->p.dim + 1;
}

bool dim_code_from_sexp(const MATRIX* m, ZU_SEXP* s, int64_t* out) {
  if (!is_dim_code_sexp(m, s)) return false;
  const int len = m->p.dim + 1;
  int i = 0;
  for (ZU_SEXP* p = s; i < len; p = cdr(p), ++i) {
    ZU_SEXP* e = car(p);
    out[i] = get_type(e) == ZU_TYPE_INTEGER ? e->integer.num : 0;
  }
  return true;
}

MxDimCode get_dim_code_from_sexp(const MATRIX* m, ZU_SEXP* s) {
  if (!is_dim_code_sexp(m, s)) return nullptr;
  MxDimCode dc(static_cast<int64_t*>(d_alloc(sizeof(int64_t) * (m->p.dim + 1))));
  dim_code_from_sexp(m, s, dc.get());
  return dc;
}

Tagged<int32_t> get_dim_code_from_sexp_int(ZU_SEXP* s) {
  int len = list_length(s);
  if (len < 2) return nullptr;
  Tagged<int32_t> r(static_cast<int32_t*>(d_alloc(sizeof(int32_t) * len)));
  int i = 0;
  for (ZU_SEXP* p = s; i < len; p = cdr(p), ++i) {
    ZU_SEXP* e = car(p);
    r.get()[i] = get_type(e) == ZU_TYPE_INTEGER ? static_cast<int32_t>(e->integer.num) : 0;
  }
  return r;
}

ZU_SEXP* get_sexp_from_dim_code(const MATRIX* m, const int64_t* dc) {
  ZU_SEXP* r = nullptr;
  for (int d = m->p.dim - 1; d >= 0; --d) r = cons(get_integer(mx_origin(dc[d + 1], mx_shift(m, dc[0], d)), nullptr), r);
  return cons(get_integer(dc[0], nullptr), r);
}

ZU_SEXP* matrix_error(const char* func, ZU_SEXP* s, int code, ZU_SEXP* info) {
  const char* text = "Application System error";
  return error_at(s, ZU_ER_MATRIX_WAIT, func, info ? data_list(text, code, info) : data_list(text, code));
}

// ---- channels as ZU values

namespace {

// Why channel ch of n gives no value (null: it may, with *tp its type).
const char* channel_refusal(const MATRIX_NODE* n, int ch, MATRIX_DATA_TYPE** tp) {
  const MATRIX* m = n->matrix;
  if (m->flags & kMxBroken) return "blocken matrix";
  if (!n->channel) return "no data channel";
  if (!channel_in_range(m, ch)) return "overflow the ch No.";
  if (!(*tp = m->channel_info[ch].data_type)) return "no data channel";
  return nullptr;
}

const char* no_datum(const MATRIX_DATA_TYPE* tp) {
  return tp->type == MX_TYPE_SEXP ? "SEXP type no data" : "not sexp data / no data";
}

ZU_SEXP* channel_error(const MATRIX_NODE* n, int ch, ZU_SEXP* s, const char* reason) {
  return error_at(s, ZU_ER_NO_OBJECT, "mxCH:get_channel_data",
                  data_list("invalid object in channel of NODE", reason,
                            get_sexp_from_dim_code(n->matrix, n->dim_code), ch));
}

// The datum of channel ch of n with the node's channel lock taken (kept on
// success), or why there is none. With as_default a node that holds none
// reads the channel's default, made in memory as an element read makes it:
// the node is not marked changed, as reading the default changes nothing.
const char* _held_datum(MATRIX_NODE* n, int ch, bool as_default, MATRIX_DATA_TYPE** tp, void** d) {
  if (const char* reason = channel_refusal(n, ch, tp)) return reason;
  _matrix_node_channel_lock(n);
  *d = as_default ? _mx_channel_datum_unchanged(n, ch) : n->channel[ch].data;
  if (*d) return nullptr;
  _matrix_node_channel_unlock(n, 0);
  return no_datum(*tp);
}

}  // namespace

ZU_SEXP* _get_channel_data(MATRIX_NODE* n, int ch, ZU_SEXP* s, bool as_default) {
  assert_lock_held(matrix_lock);
  MATRIX_DATA_TYPE* tp = nullptr;
  void* d = nullptr;
  if (const char* reason = _held_datum(n, ch, as_default, &tp, &d)) return channel_error(n, ch, s, reason);
  ZU_SEXP* v = tp->md2sexp(tp, d);
  gc_set_nl(v, gc_qn_sexp);  // a held value may be replaced once the lock is gone
  _matrix_node_channel_unlock(n, 0);
  return v;
}

const void* get_channel_datum_held(MATRIX_NODE* n, int ch, ZU_SEXP* s, ZU_SEXP** err, bool as_default) {
  lock_task(matrix_lock);
  MATRIX_DATA_TYPE* tp = nullptr;
  void* d = nullptr;
  const char* reason = _held_datum(n, ch, as_default, &tp, &d);
  unlock_task(matrix_lock, "get_channel_datum_held");
  if (reason) *err = channel_error(n, ch, s, reason);
  return d;
}

ZU_SEXP* get_channel_data(MATRIX_NODE* n, int ch, ZU_SEXP* s, bool as_default) {
  lock_task(matrix_lock);
  ZU_SEXP* r = _get_channel_data(n, ch, s, as_default);
  unlock_task(matrix_lock, "get_channel_data");
  return r;
}

MX_STRUCT_BLOCK* _get_channel_struct_block(MATRIX_NODE* n, int ch) {
  assert_lock_held(matrix_lock);
  const MATRIX* m = n->matrix;
  if (!n->channel || !channel_in_range(m, ch)) return nullptr;
  const MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
  if (!tp || tp->type != MX_TYPE_BLOCK) return nullptr;
  _matrix_node_channel_lock(n);
  MX_STRUCT_BLOCK* sb = n->channel[ch].sb;
  if (!sb) _matrix_node_channel_unlock(n, 0);
  return sb;
}

MX_STRUCT_BLOCK* get_channel_struct_block(MATRIX_NODE* n, int ch) {
  lock_task(matrix_lock);
  MX_STRUCT_BLOCK* r = _get_channel_struct_block(n, ch);
  unlock_task(matrix_lock, "get_channel_struct_block");
  return r;
}

int _set_channel_sexp(MATRIX_NODE* n, int ch, ZU_SEXP* s) {
  assert_lock_held(matrix_lock);
  MATRIX* m = n->matrix;
  if ((m->flags & kMxBroken) || !channel_in_range(m, ch)) return -1;
  MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
  if (!tp || !tp->sexp2md) return -1;
  _mx_node_channels(n);
  int cpy = 0;
  void* d = tp->sexp2md(&cpy, tp, s);
  if (!d) return -2;
  bool kept = m->channel_info[ch].flags & kMxChFile;
  auto own = [&]() { return cpy ? d : tp->alloc_copy(tp, d, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__); };
  auto drop = [&]() {
    if (cpy) tp->free_data(tp, d);
  };
  _matrix_node_channel_lock(n);
  MATRIX_CHANNEL& c = n->channel[ch];
  int r = 1;
  if (!c.data) {
    c.data = own();
    if (!c.data) r = -2;
    else if (kept) _set_dirty_file(n);
  } else {
    int order = tp->cmp(tp, d, c.data);
    if (order == 0) {
      drop();
      r = 0;
    } else if (order == -2) {
      drop();
      r = -3;
    } else if (order != 1 && order != -1) {
      er_panic("set_channel_sexp");
    } else if (tp->copy(tp, c.data, d, MX_ATYPE::tagged, nullptr) == 0) {
      drop();
    } else if (void* fresh = own()) {  // another shape: the datum is replaced
      tp->free_data(tp, c.data);
      c.data = fresh;
    } else {
      r = -2;
    }
    if (r == 1) {
      _get_matrix_update_time(n, ch, 0);
      if (kept) _set_dirty_file(n);
    }
  }
  _matrix_node_channel_unlock(n, 0);
  return r;
}

int set_channel_sexp(MATRIX_NODE* n, int ch, ZU_SEXP* s) {
  lock_task(matrix_lock);
  int r = _set_channel_sexp(n, ch, s);
  unlock_task(matrix_lock, "set_channel_sexp");
  return r;
}

// ---- dirty marks

namespace {

// Fires the saves of the dirty nodes of m at `level` (every level when
// negative), or reports the ones that cannot be saved. A node coarser than
// a node still to rebuild keeps its mark without a save: its save script
// may make it from that child, which has no data yet, and a save failed so
// would count it lost.
void flush_dirty(MATRIX* m, int64_t level) {
  const int64_t rebuild = _rebuild_level(m);
  for (MATRIX_NODE *n = m->dirty_list, *next; n; n = next) {
    next = n->dirty_next;
    if (!n->dirty_file_time) {
      _unlist_dirty(n);
      continue;
    }
    if (level >= 0 && n->dim_code[0] > level) break;  // the list runs from the finest level
    if (level >= 0 && n->dim_code[0] != level) continue;
    if (rebuild >= 0 && n->dim_code[0] > rebuild) break;
    if (n->process_token) continue;  // a token may still save or settle it
    // A save fired here that ran and left the node dirty failed: saving
    // again would go on for ever.
    bool saved_in_vain = n->save_fired && n->scan_call[kSaveKind] != 0;
    if (n->status == kMsOk && !saved_in_vain) {
      n->scan_call[kSaveKind] = 0;
      n->save_fired = 1;
      ++m->save_moves;
      _matrix_trigger_access(n, kMxSaveSlot, 0);
      continue;
    }
    _give_up_save(n);
  }
}

int64_t lowest_dirty_level(MATRIX* m) {
  const MATRIX_NODE* n = _first_dirty(m);
  return n ? n->dim_code[0] : -1;
}

}  // namespace

void _flush_all_dirty_file(MATRIX* m) {
  assert_lock_held(matrix_lock);
  flush_dirty(m, -1);
}

void _flush_dirty_bottom_up(MATRIX* m, bool rebuild) {
  assert_lock_held(matrix_lock);
  int64_t lowest = lowest_dirty_level(m), stale = _rebuild_level(m);
  if (rebuild && stale >= 0 && (lowest < 0 || stale <= lowest)) {
    _rebuild_step(m, stale);
    lowest = lowest_dirty_level(m);
    stale = _rebuild_level(m);
  }
  if (lowest >= 0 && (stale < 0 || lowest <= stale)) flush_dirty(m, lowest);
}

void flush_all_dirty_file(MATRIX* m) {
  lock_task(matrix_lock);
  _flush_all_dirty_file(m);
  unlock_task(matrix_lock, "flush_all_dirty_file");
}

bool changes_unsaved(MATRIX* m) {
  lock_task(matrix_lock);
  const bool r = _first_dirty(m) || _rebuild_pending(m);
  unlock_task(matrix_lock, "changes_unsaved");
  return r;
}

void set_dirty_file_sb(MX_STRUCT_BLOCK* b) {
  lock_task(matrix_lock);
  MATRIX_NODE* n = b->n.n;
  if (n && channel_in_range(n->matrix, b->n.channel) && (n->matrix->channel_info[b->n.channel].flags & kMxChFile))
    _set_dirty_file(n);
  unlock_task(matrix_lock, "set_dirty_file_sb");
}

// ---- index helpers

void get_ix_from_seq(int* target, const int* ix_size, int ix, int dim) {
  for (int d = 0; d < dim; ++d) {
    target[d] = ix % ix_size[d];
    ix /= ix_size[d];
  }
}

int get_seq_from_ix(const int* ix, const int* ix_size, int dim) {
  int seq = 0;
  for (int d = dim - 1; d >= 0; --d) seq = seq * ix_size[d] + ix[d];
  return seq;
}

namespace {

template <class T>
int inc_index(T* ix, const T* st, const T* inc, const T* ix_size, int dim) {
  for (int d = 0; d < dim; ++d) {
    ix[d] += inc[d];
    if (ix[d] < ix_size[d]) return 0;
    ix[d] = st ? st[d] : 0;
  }
  return 1;
}

}  // namespace

int inc_ix(int* ix, const int* st, const int* inc, const int* ix_size, int dim) {
  return inc_index(ix, st, inc, ix_size, dim);
}

int inc_dim_code_ix(int64_t* ix, const int64_t* st, const int64_t* inc, const int64_t* ix_size, int dim) {
  return inc_index(ix + 1, st ? st + 1 : nullptr, inc + 1, ix_size + 1, dim);
}

void check_bit(int ch, void* d) {
  MATRIX_DH_SET dh;
  if (ch != 9 || !d || !get_matrix_dh_set(&dh, d) || dh.total_element < 1) return;
  if (dh.offset[0]) ss_printf("CB %i\n", static_cast<int>(static_cast<int8_t>(dh.offset[0])));
}
