// The element-access cache and its size-class pool.
#include "matrix/element_cache.h"

#include <algorithm>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "elements/pool.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "stream/stream.h"

int mxc_debug_direct = 0;

namespace {

// The pool's header, rounded so that every block stays 16-byte aligned.
constexpr size_t kHead = (sizeof(MBLK) + 15) & ~size_t{15};

MBLK* head_of(void* p) { return reinterpret_cast<MBLK*>(static_cast<char*>(p) - kHead); }
void* data_of(MBLK* b) { return reinterpret_cast<char*>(b) + kHead; }

// Releases the held node (matrix_lock held). The writes the dirty flag
// recorded were writes into this node: the next node starts clean.
void release_node(MX_CACHE* c) {
  _release_node_channels(c->n, c->ds_len, c->dirty);
  c->n = nullptr;
  c->dirty = 0;
  ++c->generation;
}

// A write into the held node: it is saved when let go, and what was read
// through the cache before may be stale (the interpolated reads keep
// corners while the count stays).
void written(MX_CACHE* c) {
  c->dirty = 1;
  ++c->generation;
}

bool is_bit(const MATRIX_DH_SET& ds) { return ds.tp && ds.tp->type == MX_TYPE_BIT + MX_TYPE_VECTOR; }

// The view of access channel i on datum d of type tp.
void set_view(MX_CACHE* c, int i, MATRIX_DATA_TYPE* tp, void* d) {
  MATRIX_DH_SET& ds = c->ds[i];
  if (tp->parent) {
    get_matrix_dh_set(&ds, d);
  } else {
    ds = MATRIX_DH_SET{};
    ds.tp = tp;
    ds.offset = static_cast<uint8_t*>(d);
  }
  if (c->el_sizes[i] < 0) {
    MATRIX_DATA_TYPE* et = tp->parent ? tp->parent : tp;
    c->el_sizes[i] = static_cast<int>(et->get_size(et, nullptr));
  }
}

// Takes every access channel of n, which the caller has locked and
// awaited, under matrix_lock: a channel lock and a view each (a datum
// missing is made, the node left unchanged until a write). 0 with n held, or -1 with nothing held: the matrix is
// no longer usable, or a channel has no type and so no data.
int _take_channels(MX_CACHE* c, MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  MATRIX* m = c->m;
  int taken = 0;
  if (m->mode == kMxModeActive && !(m->flags & kMxBroken)) {
    for (; taken < c->ds_len; ++taken) {
      int ch = c->access_ch[taken];
      MATRIX_DATA_TYPE* tp = ch >= 0 && ch < m->p.channel_nos ? m->channel_info[ch].data_type : nullptr;
      if (!tp) break;
      _matrix_node_channel_lock(n);
      void* d = _mx_channel_datum_unchanged(n, ch);
      if (!d) {
        _matrix_node_channel_unlock(n, 0);
        break;
      }
      set_view(c, taken, tp, d);
    }
  }
  bool whole = taken == c->ds_len;
  if (whole) {
    c->n = n;
  } else {
    for (int j = 0; j < taken; ++j) _matrix_node_channel_unlock(n, 0);
    _unlock_node(n, nullptr);
  }
  return whole ? 0 : -1;
}

// The position of dc inside its node, per dimension.
void position(const MX_CACHE* c, const int64_t* dc, const int* ofs, int64_t* ix) {
  const MATRIX* m = c->m;
  int64_t level = dc[0];
  for (int d = 0; d < m->p.dim; ++d) {
    int64_t shift = level * m->dim_divide[d];
    int64_t v = shift >= 64 ? (dc[d + 1] < 0 ? -1 : 0) : dc[d + 1] >> shift;
    int64_t in = v & ((int64_t{1} << m->block_size[d]) - 1);
    ix[d] = (ofs ? ofs[d] : 0) + in;
  }
}

// The element number of ix in a vector view, first dimension fastest.
int64_t linear(const MATRIX_DH_SET& ds, const int64_t* ix) {
  int64_t li = 0;
  for (int d = ds.hd->dim - 1; d >= 0; --d) li = li * ds.ix[d] + ix[d];
  return li;
}

bool inside_matrix(const MATRIX* m, const int64_t* dc) {
  for (int d = 0; d < m->p.dim; ++d)
    if (dc[d + 1] < 0 || dc[d + 1] >= m->pixel_size[d]) return false;
  return true;
}

// Moves n elements between a vector channel at element li and the caller's
// buffer at element k; to_node writes the node (only where valid is
// non-zero when given).
void move_run(const MATRIX_DH_SET& ds, int el, int64_t li, uint8_t* buf, int64_t k, int64_t n, bool to_node,
              const unsigned char* valid) {
  uint8_t* node = ds.offset;
  if (is_bit(ds)) {
    for (int64_t j = 0; j < n; ++j) {
      int64_t b = li + j;
      uint8_t mask = static_cast<uint8_t>(1u << (b & 7));
      if (!to_node) {
        buf[k + j] = (node[b >> 3] & mask) ? 1 : 0;
      } else if (!valid || valid[k + j]) {
        node[b >> 3] = buf[k + j] ? (node[b >> 3] | mask) : (node[b >> 3] & ~mask);
      }
    }
    return;
  }
  uint8_t* at = node + li * el;
  uint8_t* mine = buf + k * el;
  if (!to_node) {
    std::memcpy(mine, at, static_cast<size_t>(n * el));
  } else if (!valid) {
    std::memcpy(at, mine, static_cast<size_t>(n * el));
  } else {
    for (int64_t j = 0; j < n; ++j)
      if (valid[k + j]) std::memcpy(at + j * el, mine + j * el, static_cast<size_t>(el));
  }
}

// One element of every transferred channel at ix, between the node and the
// caller's point buffers.
int point(MX_CACHE_PARAM* p, bool to_node) {
  MX_CACHE* c = p->c;
  int64_t ix[kMxMaxDim];
  position(c, p->dc, p->ofs, ix);
  // Positions outside the data are refused whatever the flags say: a read
  // there would leave the channel's memory.
  if (mx_cache_boundary(c, ix) != 0) return -1;
  for (int i = 0; i < c->ds_len; ++i) {
    const MX_CACHE_PARAM_IX& d = p->data_ix[i];
    if (d.x == kMxcNoSlot) continue;
    if (d.p >= 4 || !p->data_ptrs[d.p]) return -1;
    const MATRIX_DH_SET& ds = c->ds[i];
    int el = c->el_sizes[i];
    auto* buf = static_cast<uint8_t*>(p->data_ptrs[d.p]);
    if (ds.hd) {
      move_run(ds, el, linear(ds, ix), buf, d.x, 1, to_node, nullptr);
    } else if (to_node) {
      std::memcpy(ds.offset, buf + static_cast<size_t>(d.x) * el, static_cast<size_t>(el));
    } else {
      std::memcpy(buf + static_cast<size_t>(d.x) * el, ds.offset, static_cast<size_t>(el));
    }
  }
  if (to_node) written(c);
  return 0;
}

// At most this many nodes of a run are asked for ahead.
constexpr int64_t kAskAhead = 256;

// Asks for the nodes that a run of len elements from dc crosses (see
// _ask_matrix_node), in the order the run meets them, when the cache makes
// missing nodes the plain way.
void ask_run(const MX_CACHE* c, const int64_t* dc, int64_t len) {
  MATRIX* m = c->m;
  const int64_t shift = dc[0] * m->dim_divide[0];
  if (c->gn_wait < 0 || c->gn_tree_node != 0 || c->gn_create != c->gn_wait || shift + m->block_size[0] >= 62 ||
      len > (INT64_MAX >> shift))
    return;
  const int64_t span = int64_t{1} << (m->block_size[0] + shift);
  const int64_t last = std::min(dc[1] + ((len - 1) << shift), m->pixel_size[0] - 1);
  int64_t at[1 + kMxMaxDim];
  std::copy(dc, dc + 1 + m->p.dim, at);
  if (last - dc[1] < span - (dc[1] & (span - 1))) return;  // one node
  lock_task(matrix_lock);
  for (int64_t k = 0; at[1] <= last && k < kAskAhead; ++k) {
    _ask_matrix_node(m, at, c->gn_wait);
    at[1] = (at[1] & ~(span - 1)) + span;
  }
  unlock_task(matrix_lock, "ask_run");
}

// The vector forms: runs along the first dimension, node after node.
int vector(const MX_CACHE_PARAM* req, bool to_node) {
  MX_CACHE_PARAM q = *req;
  MX_CACHE* c = q.c;
  MATRIX* m = c->m;
  const int dim = m->p.dim;
  int64_t dc[1 + kMxMaxDim];
  std::copy(q.dc, q.dc + 1 + dim, dc);
  if (!inside_matrix(m, dc)) return -1;
  if (q.vector_len > 1 && !(c->n && cmp_dim_code(m, c->n->dim_code, dc) == 0)) ask_run(c, dc, q.vector_len);
  int got = get_mx_cache(c, dc);
  if (got == kMxcNotReady || (!to_node && mx_is_load_fault(got))) return got;
  bool held = got == 0;
  if (!held && to_node) return -1;
  int64_t ix[kMxMaxDim];
  position(c, dc, q.ofs, ix);
  if (held && mx_cache_boundary(c, ix) != 0) return -1;
  if (q.vector_len < 1) return 0;
  const int64_t step_shift = dc[0] * m->dim_divide[0];
  // With index_hem a node's vectors hold one element more per dimension,
  // the first of the next node: a run covers only the node's own.
  const int64_t hem = m->geometry.index_hem ? 1 : 0;
  int64_t remaining = q.vector_len, done = 0;
  for (;;) {
    int64_t run = -1;
    if (held) {
      bool any = false;
      for (int i = 0; i < c->ds_len; ++i) {
        const MX_CACHE_PARAM_IX& d = q.data_ix[i];
        if (d.x == kMxcNoSlot) continue;
        const MATRIX_DH_SET& ds = c->ds[i];
        if (!ds.hd || d.p >= 4 || !q.data_ptrs[d.p]) return -1;
        int64_t r = std::min<int64_t>(ds.ix[0] - hem - ix[0], remaining);
        if (r < 1 || (run >= 0 && r != run)) return -1;
        run = r;
        auto* buf = static_cast<uint8_t*>(static_cast<void**>(q.data_ptrs[d.p])[d.x]);
        if (!buf) {
          if (!to_node) return -1;  // a read needs every destination
          any = true;
          continue;
        }
        move_run(ds, c->el_sizes[i], linear(ds, ix), buf, done, run, to_node, to_node ? q.vector_valid : nullptr);
        any = true;
      }
      if (!any) return -1;
      if (to_node) written(c);
    } else {
      // A node that cannot be had is passed over, its elements untouched.
      run = std::min<int64_t>((int64_t{1} << m->block_size[0]) - ix[0], remaining);
      if (run < 1) return -1;
    }
    remaining -= run;
    done += run;
    if (remaining == 0) break;
    if (step_shift >= 63) return -1;
    dc[1] += run << step_shift;
    if (!inside_matrix(m, dc)) return -1;
    got = get_mx_cache(c, dc);
    if (got == kMxcNotReady || (!to_node && mx_is_load_fault(got))) return got;
    held = got == 0;
    if (!held && to_node) return -1;
    ix[0] = 0;
    if (held && mx_cache_boundary(c, ix) != 0) return -1;
  }
  return static_cast<int>(done);
}

}  // namespace

// ---------------------------------------------------------------------------
// The pool

void mxc_setup(MX_CACHE* c) {
  if (!c->mblk_logsize) c->mblk_logsize = 9;
  if (!c->mblk_hashsize) c->mblk_hashsize = 16;
  c->mblk_hash = static_cast<MBLK**>(d_calloc(sizeof(MBLK*), static_cast<size_t>(c->mblk_hashsize)));
  c->user_header = nullptr;
}

void* mxc_pool_alloc(MX_CACHE* c, size_t size, const char* file, int line) {
  const size_t granule = size_t{1} << c->mblk_logsize;
  size_t cls = (size >> c->mblk_logsize) + ((size & (granule - 1)) ? 1 : 0);
  MBLK* b;
  if (cls < static_cast<size_t>(c->mblk_hashsize) && !mxc_debug_direct) {
    b = c->mblk_hash[cls];
    if (b) {
      c->mblk_hash[cls] = b->next;
      if (b->cnt < 65534) ++b->cnt;
    } else {
      b = static_cast<MBLK*>(xx_d_alloc(kHead + cls * granule, file, line));
      b->size = static_cast<uint16_t>(cls);
      b->cnt = 1;
      b->alloc_file = file;
      b->alloc_line = line;
    }
  } else {
    b = static_cast<MBLK*>(xx_d_alloc(kHead + size, file, line));
    b->size = kMblkDirect;
    b->cnt = 1;
    b->alloc_file = file;
    b->alloc_line = line;
  }
  b->next = nullptr;
  b->free_file = nullptr;
  b->free_line = 0;
  return data_of(b);
}

void mxc_pool_free(MX_CACHE* c, void* ptr, const char* file, int line) {
  if (!ptr) return;
  MBLK* b = head_of(ptr);
  if (b->free_file) er_panic("mxc_free: a block given back twice");
  if (b->size == kMblkDirect) {
    xx_d_f_ree(b, file, line);
    return;
  }
  if (b->size >= c->mblk_hashsize) er_panic("mxc_free: a block of no size class");
  b->free_file = file ? file : "";
  b->free_line = line;
  b->next = c->mblk_hash[b->size];
  c->mblk_hash[b->size] = b;
}

void install_mx_cache_pool() {
  static const MX_CACHE_POOL_OPS ops{mxc_pool_alloc, mxc_pool_free};
  set_mx_cache_pool_ops(&ops);
  static const MX_CACHE_ACCESS_OPS access{
      read_mx_cache,
      [](MX_CACHE* c) -> const MATRIX_GEOMETRY* { return c->m && c->m->p.dim > 0 ? &c->m->geometry : nullptr; },
      [](MX_CACHE* c) { return c->ds_len; },
      [](MX_CACHE* c, int j) -> const MATRIX_DATA_TYPE* {
        int ch = j >= 0 && j < c->ds_len ? c->access_ch[j] : -1;
        return c->m && ch >= 0 && ch < c->m->p.channel_nos ? c->m->channel_info[ch].data_type : nullptr;
      },
      [](MX_CACHE* c) { return &c->user_header; },
      [](MX_CACHE* c) { return c->generation; },
  };
  set_mx_cache_access_ops(&access);
}

void mxc_release(MX_CACHE* c) {
  d_f_ree(c->ds);
  d_f_ree(c->el_sizes);
  d_f_ree(c->mblk_hash);
  c->ds = nullptr;
  c->el_sizes = nullptr;
  c->mblk_hash = nullptr;
}

// ---------------------------------------------------------------------------
// Filling

int get_mx_cache(MX_CACHE* c, const int64_t* dc) {
  MATRIX* m = c->m;
  if (c->n && cmp_dim_code(m, c->n->dim_code, dc) == 0) {
    ++c->hit_cnt;
    return 0;
  }
  ++c->miss_hit_cnt;
  ++c->generation;
  if (c->ds_len < 1) {
    flush_mx_cache(c, 0);
    return -1;
  }
  // The node is made to exist, then awaited; awaiting makes it exist too
  // when both ask the same way.
  if (c->gn_tree_node != 0 || c->gn_create != c->gn_wait) {
    flush_mx_cache(c, 0);
    int err = 0;
    MATRIX_NODE* made = nullptr;
    if (get_matrix_node_channel(&err, &made, m, dc, c->access_ch[0], c->gn_tree_node, c->gn_create, nullptr, 0) &&
        !err) {
      matrix_node_channel_unlock(made, 0);
      if (c->gn_tree_node == 1) unlock_node(made, nullptr);
    }
  }
  if (!c->ds) {
    c->ds = static_cast<MATRIX_DH_SET*>(d_calloc(sizeof(MATRIX_DH_SET), static_cast<size_t>(c->ds_len)));
    c->el_sizes = static_cast<int*>(d_calloc(sizeof(int), static_cast<size_t>(c->ds_len)));
    for (int i = 0; i < c->ds_len; ++i) c->el_sizes[i] = -1;
  }
  // A miss gives back the node held, looks the next one up and takes its
  // channels under one store lock: rows crossing many nodes miss at every
  // node.
  lock_task(matrix_lock);
  if (c->n) release_node(c);
  int err = 0;
  MATRIX_NODE* n = _get_matrix_node_wait(&err, m, dc, c->gn_wait);
  int r = !n || err ? (err == kMxLoading ? kMxcNotReady : mx_is_load_fault(err) ? err : -1) : _take_channels(c, n);
  unlock_task(matrix_lock, "get_mx_cache");
  return r;
}

void flush_mx_cache(MX_CACHE* c, int f) {
  const bool held = c->n != nullptr;
  if (held) {
    lock_task(matrix_lock);
    if (c->n) release_node(c);
    unlock_task(matrix_lock, "flush_mx_cache");
  }
  if (!f) return;
  // The user's record goes whether or not a node was held: its owner is
  // done with the cache. free_func finds its record on the cache.
  if (mx_user_header* u = c->user_header) {
    if (u->free_func) u->free_func(c);
    c->user_header = nullptr;
  }
  if (!held) return;
  for (int k = 0; c->mblk_hash && k < c->mblk_hashsize; ++k)
    while (MBLK* b = c->mblk_hash[k]) {
      c->mblk_hash[k] = b->next;
      d_f_ree(b);
    }
}

// ---------------------------------------------------------------------------
// Elements

int mx_cache_boundary(MX_CACHE* c, const int64_t* ix) {
  const int dim = c->m->p.dim;
  for (int i = 0; i < c->ds_len; ++i) {
    const MATRIX_DH_SET& ds = c->ds[i];
    if (!ds.hd || !ds.ix) continue;
    if (ds.hd->dim != dim) return -1;
    for (int d = 0; d < dim; ++d)
      if (ix[d] < 0 || ix[d] >= ds.ix[d]) return -1;
  }
  return 0;
}

int read_mx_cache(MX_CACHE_PARAM* p) {
  if (int got = get_mx_cache(p->c, p->dc)) return mx_is_load_fault(got) ? got : -1;
  return point(p, false);
}

int write_mx_cache(MX_CACHE_PARAM* p) {
  if (get_mx_cache(p->c, p->dc) != 0) return -1;
  return point(p, true);
}

int read_mx_cache_vector(MX_CACHE_PARAM* p) { return vector(p, false); }
int write_mx_cache_vector(MX_CACHE_PARAM* p) { return vector(p, true); }

void mx_cache_changed(MX_CACHE* c) {
  if (c->n) written(c);
}

// ---------------------------------------------------------------------------
// Rectangles

namespace {

// Where a rectangle lies on its matrix: its level's shifts, the node sides
// (bits, pixels of the level), and the pixels inside the matrix,
// [w0, w1) x [h0, h1).
struct RectPlan {
  int sx, sy;
  int bx, by;
  int64_t w0, w1, h0, h1;
};

// The pixels [*lo, *hi) of n along one axis (first position b, 2^s
// finest units apart) whose positions lie in [0, extent). Wide
// arithmetic: the positions of the others need not fit 64 bits.
void inside_span(int64_t b, int s, int64_t n, int64_t extent, int64_t* lo, int64_t* hi) {
  const __int128 step = static_cast<__int128>(1) << s;
  const __int128 from = b >= 0 ? 0 : (-static_cast<__int128>(b) + step - 1) / step;
  const __int128 to = extent > b ? (static_cast<__int128>(extent) - b + step - 1) / step : 0;
  *lo = static_cast<int64_t>(std::min<__int128>(from, n));
  *hi = static_cast<int64_t>(std::clamp<__int128>(to, *lo, n));
}

// False when r cannot lie on c's matrix (not two-dimensional, a level it
// does not have): then no pixel of r is in it.
bool plan_rect(const MX_CACHE* c, const MX_PIXEL_RECT& r, RectPlan* p) {
  const MATRIX* m = c->m;
  if (!m || m->p.dim != 2 || r.level < 0 || r.level >= m->total_levels || r.width < 0 || r.height < 0) return false;
  p->sx = static_cast<int>(std::min<int64_t>(r.level * m->dim_divide[0], 64));
  p->sy = static_cast<int>(std::min<int64_t>(r.level * m->dim_divide[1], 64));
  p->bx = m->block_size[0];
  p->by = m->block_size[1];
  inside_span(r.x, p->sx, r.width, m->pixel_size[0], &p->w0, &p->w1);
  inside_span(r.y, p->sy, r.height, m->pixel_size[1], &p->h0, &p->h1);
  return true;
}

// The position of pixel i of an axis, which lies inside the matrix.
int64_t at_pixel(int64_t b, int s, int64_t i) {
  return static_cast<int64_t>(static_cast<__int128>(b) + (static_cast<__int128>(i) << s));
}

// Pixels from position v (inside the matrix) to the border of its node.
int64_t to_border(int64_t v, int shift, int bits) {
  const int64_t side = int64_t{1} << bits;
  const int64_t in = shift >= 63 ? 0 : (v >> shift) & (side - 1);
  return side - in;
}

// Whether the held node's access channel slot is a two-dimensional vector
// of 4-byte elements.
bool holds_words(const MX_CACHE* c, int slot) {
  if (!c->n || slot < 0 || slot >= c->ds_len) return false;
  const MATRIX_DH_SET& ds = c->ds[slot];
  return ds.hd && ds.ix && ds.offset && ds.hd->dim == 2 && !is_bit(ds) && c->el_sizes[slot] == 4;
}

// Writes n pixel words of mine over node where valid (when given) is
// non-zero: whether any word changed. A node written with what it holds
// already is left unmarked, so that it is not saved, nor its parent made
// again, for nothing.
bool put_words(uint8_t* node, const uint8_t* mine, int64_t n, const uint8_t* valid) {
  if (!valid) {
    const auto bytes = static_cast<size_t>(n * 4);
    if (std::memcmp(node, mine, bytes) == 0) return false;
    std::memcpy(node, mine, bytes);
    return true;
  }
  bool changed = false;
  for (int64_t j = 0; j < n; ++j)
    if (valid[j] && std::memcmp(node + j * 4, mine + j * 4, 4) != 0) {
      std::memcpy(node + j * 4, mine + j * 4, 4);
      changed = true;
    }
  return changed;
}

// Moves cols x rows pixels between the held node, from position dc on, and
// the caller's words (buf, rows stride words apart; valid alike). False
// when the channel holds no two-dimensional vector of 4-byte elements.
bool move_block(MX_CACHE* c, int slot, const int64_t* dc, int64_t cols, int64_t rows, uint8_t* buf,
                const uint8_t* valid, int64_t stride, bool to_node) {
  if (!holds_words(c, slot)) return false;
  const MATRIX_DH_SET& ds = c->ds[slot];
  int64_t ix[kMxMaxDim];
  position(c, dc, nullptr, ix);
  // With index_hem a vector holds the first column of the next node too.
  const int64_t hem = c->m->geometry.index_hem ? 1 : 0;
  const int64_t n = std::min(cols, ds.ix[0] - hem - ix[0]);
  const int64_t last = std::min(rows, ds.ix[1] - ix[1]);
  bool changed = false;
  for (int64_t j = 0; j < last && n > 0; ++j) {
    const int64_t cell[2] = {ix[0], ix[1] + j};
    uint8_t* node = ds.offset + linear(ds, cell) * 4;
    if (!to_node) std::memcpy(buf + j * stride * 4, node, static_cast<size_t>(n * 4));
    else if (put_words(node, buf + j * stride * 4, n, valid ? valid + j * stride : nullptr)) changed = true;
  }
  if (changed) written(c);
  return true;
}

// A write that makes the nodes it needs asks for every node of a row of
// them before it fills the first: their fetches then follow one another on
// the worker while this task fills the ones that are ready, instead of
// each waiting for the one before (and for the saves queued meanwhile).
void ask_row(MX_CACHE* c, const MX_PIXEL_RECT& r, const RectPlan& p, int64_t y) {
  if (c->gn_tree_node != 0 || c->gn_create != c->gn_wait || c->gn_wait < 0) return;
  lock_task(matrix_lock);
  for (int64_t w = p.w0; w < p.w1;) {
    const int64_t x = at_pixel(r.x, p.sx, w);
    const int64_t dc[3] = {r.level, x, y};
    _ask_matrix_node(c->m, dc, c->gn_wait);
    w += std::min(p.w1 - w, to_border(x, p.sx, p.bx));
  }
  unlock_task(matrix_lock, "rect");
}

int rect(MX_CACHE* c, const MX_PIXEL_RECT& r, int64_t first, int64_t rows, uint8_t* words, const uint8_t* valid,
         bool to_node, int64_t* at) {
  RectPlan p;
  if (!plan_rect(c, r, &p) || r.slot < 0 || r.slot >= c->ds_len || first < 0 || rows < 0) return -1;
  if (first >= r.height) return 0;
  const int64_t end = std::min(first + std::min(rows, r.height - first), p.h1);
  int result = 0;
  for (int64_t h = std::max(first, p.h0); h < end;) {
    const int64_t y = at_pixel(r.y, p.sy, h);
    const int64_t band = std::min(end - h, to_border(y, p.sy, p.by));
    if (to_node) ask_row(c, r, p, y);
    for (int64_t w = p.w0; w < p.w1;) {
      const int64_t x = at_pixel(r.x, p.sx, w);
      const int64_t len = std::min(p.w1 - w, to_border(x, p.sx, p.bx));
      const int64_t dc[3] = {r.level, x, y};
      const int got = get_mx_cache(c, dc);
      // A read never passes over a node the file holds but could not give.
      if (got == kMxcNotReady || (!to_node && mx_is_load_fault(got))) {
        std::copy(dc, dc + 3, at);
        return got;
      }
      const int64_t k = (h - first) * r.width + w;
      // A read passes over a node that is not there; a write needs it.
      if (got == 0 ? !move_block(c, r.slot, dc, len, band, words + k * 4, valid ? valid + k : nullptr, r.width,
                                 to_node)
                   : to_node) {
        // The first node a write could not have is named, with why when
        // the file holds it but could not give it.
        if (result == 0 && to_node) std::copy(dc, dc + 3, at);
        if (result == 0) result = to_node && mx_is_load_fault(got) ? got : -1;
      }
      w += len;
    }
    h += band;
  }
  return result;
}

}  // namespace

int64_t mx_rect_band(const MX_CACHE* c, const MX_PIXEL_RECT& r, int64_t h, int64_t cap) {
  if (h < 0 || h >= r.height) return 0;
  const int64_t n = std::min(r.height - h, std::max<int64_t>(cap, 1));
  RectPlan p;
  if (!plan_rect(c, r, &p) || h >= p.h1) return n;
  if (h < p.h0) return std::min(n, p.h0 - h);
  return std::min({n, p.h1 - h, to_border(at_pixel(r.y, p.sy, h), p.sy, p.by)});
}

int read_mx_cache_rect(MX_CACHE* c, const MX_PIXEL_RECT& r, int64_t first, int64_t rows, uint32_t* words,
                       int64_t* at) {
  return rect(c, r, first, rows, reinterpret_cast<uint8_t*>(words), nullptr, false, at);
}

int write_mx_cache_rect(MX_CACHE* c, const MX_PIXEL_RECT& r, int64_t first, int64_t rows, const uint32_t* words,
                        const uint8_t* valid, int64_t* at) {
  // The words are only read: move_run copies toward the node.
  auto* bytes = reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(words));
  return rect(c, r, first, rows, bytes, valid, true, at);
}

const uint8_t* mx_cache_node_words(const MX_CACHE* c, int slot, int64_t* w, int64_t* h) {
  if (!holds_words(c, slot)) return nullptr;
  const MATRIX_DH_SET& ds = c->ds[slot];
  *w = ds.ix[0];
  *h = ds.ix[1];
  return ds.offset;
}

void check_memcpy(const void* a, const void* b, size_t size) {
  ss_printf(std::memcmp(a, b, size) == 0 ? "EQU\n" : "NOT EQUAL\n");
}
