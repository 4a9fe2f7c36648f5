// The commands of the plot block: inserting a point, sorting, the divide
// check with its per-child counters, handing the list out and taking one
// in, nearest-neighbour distances and the cell array.
#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include "base/alloc.h"
#include "matrix_ops/plot_block_impl.h"
#include "matrix_ops/plot_field_impl.h"
#include "matrix_ops/plot_impl.h"
#include "matrix_ops/plot_level.h"

namespace {

// Child counters are kept for nodes of at most this many child-index bits.
constexpr int kCountedBits = 16;

// The stamp of a change of the list, on the structure's channel.
void stamp(PP_STRUCT_BLOCK* b) {
  if (b->h.n.n) get_matrix_update_time(b->h.n.n, b->h.n.channel, 1);
}

// ---- children of a node and the divide limit

int child_bits(const PlotGeom& g) {
  int total = 0;
  for (int d = 0; d < g.dim; ++d) total += g.dd[d];
  return total;
}

// The part of the child index of a cell in dimension d: the top dd bits of
// its block-size bits.
uint16_t child_part(const PlotGeom& g, const uint16_t* c, int d) {
  int dd = g.dd[d], bs = g.bs[d];
  return static_cast<uint16_t>(cell_shr(c[d], bs > dd ? bs - dd : 0) & cell_mask(dd));
}

// The child index of a cell, for at most kCountedBits bits.
uint32_t child_ix(const PlotGeom& g, const uint16_t* c) {
  uint32_t ix = 0;
  for (int d = 0; d < g.dim; ++d) ix = ix << g.dd[d] | child_part(g, c, d);
  return ix;
}

// The node's extent in cells of its level along d, clipped at the edge of
// the matrix.
uint64_t node_side(const MATRIX* m, const PlotGeom& g, const int64_t* dc, int d) {
  uint64_t side = uint64_t{1} << g.bs[d];
  if (!m->pixel_size) return side;
  int64_t rest = m->pixel_size[d] - dc[1 + d];
  uint64_t ext = rest > 0 ? shr64(static_cast<uint64_t>(rest), static_cast<int64_t>(g.dd[d]) * dc[0]) : 0;
  return std::min(side, ext);
}

int64_t child_limit(const MATRIX* m, const PlotGeom& g, const int64_t* dc) {
  int64_t limit = 1;
  for (int d = 0; d < g.dim; ++d) {
    auto f = static_cast<int64_t>(shr64(node_side(m, g, dc, d), 2 * static_cast<int64_t>(g.dd[d])));
    limit = f == 0 ? 0 : (limit > INT64_MAX / f ? INT64_MAX : limit * f);
  }
  return limit;
}

void count_all(PP_STRUCT_BLOCK* b, const PlotGeom& g, int bits) {
  b->child_cnt = static_cast<int64_t*>(d_calloc(size_t{1} << bits, sizeof(int64_t)));
  b->child_cnt_max = 0;
  for (INTERNAL_PLOT* p = b->plot; p; p = p->next)
    b->child_cnt_max = std::max(b->child_cnt_max, ++b->child_cnt[child_ix(g, p->c)]);
}

// ---- distances

bool lower(INTERNAL_PLOT* p, int t) {
  if (p->min_direction != -1 && p->min_direction <= t) return false;
  p->min_direction = t;
  return true;
}

// Meets q on p's walk: true when the walk can stop there.
bool meet(MATRIX* m, INTERNAL_PLOT* p, INTERNAL_PLOT* q) {
  int t = get_distance(m, p, q);
  lower(p, t);
  lower(q, t);
  return p->min_direction <= get_estimate_distance(m, p, q);
}

}  // namespace

// ---- making points

INTERNAL_PLOT* xx_make_plot(MATRIX* m, int64_t level, const int64_t* crd, IP_FIELD* fd, SIMPLE_ALLOC_T* sat,
                            const char* file, int line) {
  PlotGeom g;
  if (!crd || level < 0 || level > 63 || crd[0] < 0 || !plot_geom(m, &g)) return nullptr;
  INTERNAL_PLOT* ip = xx_new_internal_plot(g.dim, sat, file, line);
  ip->flags = kPpInserted;
  bool base = false;
  for (int d = 0; d < g.dim; ++d) {
    auto v = static_cast<uint64_t>(crd[1 + d]);
    int64_t dd = g.dd[d];
    ip->c[d] = static_cast<uint16_t>(shr64(v, dd * level) & cell_mask(g.bs[d]));
    // Bits between the point's own level and the node's: off a cell corner.
    if (level > crd[0] && (v & (bit64(dd * level) - bit64(dd * crd[0])))) base = true;
  }
  if (base) {
    ip->flags |= kPpBase;
    ip->base = static_cast<int64_t*>(xx_fd_alloc(sizeof(int64_t) * g.dim, sat, file, line));
    for (int d = 0; d < g.dim; ++d)
      ip->base[d] = static_cast<int64_t>(static_cast<uint64_t>(crd[1 + d]) & (bit64(g.dd[d] * level) - 1));
  }
  ip->fields = xx_copy_fields(fd, sat, file, line);
  return ip;
}

void get_plot_crd(int64_t* crd, MATRIX* m, INTERNAL_PLOT* ip, int64_t level) {
  crd[0] = level;
  for (int d = 0; d < m->p.dim; ++d) {
    uint64_t v = shl64(ip->c[d], static_cast<int64_t>(m->dim_divide[d]) * level);
    crd[1 + d] = static_cast<int64_t>(v + (ip->base ? static_cast<uint64_t>(ip->base[d]) : 0));
  }
}

// ---- the divide check

int pp_op_divide_check(MATRIX_NODE* n, INTERNAL_PLOT* p) {
  PlotGeom g;
  if (!n || !plot_geom(n->matrix, &g)) return 0;
  int64_t limit = child_limit(n->matrix, g, n->dim_code);
  int bits = child_bits(g);
  if (bits <= kCountedBits) {
    std::vector<int64_t> cnt(size_t{1} << bits);
    for (; p; p = p->next)
      if (++cnt[child_ix(g, p->c)] > limit) return 1;
    return 0;
  }
  std::map<std::vector<uint16_t>, int64_t> cnt;
  std::vector<uint16_t> key(static_cast<size_t>(g.dim));
  for (; p; p = p->next) {
    for (int d = 0; d < g.dim; ++d) key[static_cast<size_t>(d)] = child_part(g, p->c, d);
    if (++cnt[key] > limit) return 1;
  }
  return 0;
}

// ---- distances and density

int get_distance(MATRIX* m, INTERNAL_PLOT* p1, INTERNAL_PLOT* p2) {
  int t = 0;
  for (int d = 0; d < m->p.dim; ++d) t += std::abs(static_cast<int>(p1->c[d]) - static_cast<int>(p2->c[d]));
  return t;
}

int get_estimate_distance(MATRIX* m, INTERNAL_PLOT* p1, INTERNAL_PLOT* p2) {
  int k = -1;
  for (int d = 0; d < m->p.dim; ++d) {
    unsigned x = static_cast<unsigned>(p1->c[d] ^ p2->c[d]);
    int top = x ? 31 - __builtin_clz(x) : -1;  // the lowest k clearing the difference, less one
    k = std::max(k, top <= 12 ? top : 14);
  }
  if (k < 0) return 0;
  int side = 1 << k, best = INT_MAX;
  for (int d = 0; d < m->p.dim; ++d) {
    int r = p1->c[d] & (side - 1);
    best = std::min(best, std::min(r + 1, side - r));
  }
  return best;
}

void set_pp_density(PP_STRUCT_BLOCK* b) {
  if (b->min != -1) return;
  for (INTERNAL_PLOT* p = b->plot; p; p = p->next) p->min_direction = -1;
  set_pp_density_2(b);
}

void set_pp_density_2(PP_STRUCT_BLOCK* b) {
  MATRIX* m = b->h.n.m;
  INTERNAL_PLOT* before = nullptr;
  for (INTERNAL_PLOT* p = b->plot; p; before = p, p = p->next) p->prev = before;
  for (INTERNAL_PLOT* p = b->plot; p; p = p->next) {
    for (INTERNAL_PLOT* q = p->prev; q && !meet(m, p, q); q = q->prev) {
    }
    for (INTERNAL_PLOT* q = p->next; q && !meet(m, p, q); q = q->next) {
    }
  }
}

void set_pp_density_1(PP_STRUCT_BLOCK* b) {
  if (b->min != -1) return;
  int best = -1;
  for (INTERNAL_PLOT* p = b->plot; p; p = p->next) {
    for (INTERNAL_PLOT* q = p->next; q; q = q->next) {
      int t = get_distance(b->h.n.m, p, q);
      lower(p, t);
      lower(q, t);
      if (best == -1 || t < best) best = t;
    }
  }
  b->min = best;
}

// ---- the cell array

int set_pp_array(PP_STRUCT_BLOCK* b) {
  MATRIX_NODE* n = b->h.n.n;
  PlotGeom g;
  if (!n || !plot_geom(b->h.n.m, &g)) return -1;
  if (!b->ary) {
    std::vector<int> sizes(static_cast<size_t>(g.dim));
    int64_t cells = 1;
    for (int d = 0; d < g.dim; ++d) {
      sizes[static_cast<size_t>(d)] = static_cast<int>(node_side(b->h.n.m, g, n->dim_code, d));
      cells *= sizes[static_cast<size_t>(d)];
      if (cells > kPpMaxArrayCells) return -1;
    }
    b->ary_size = static_cast<int*>(d_alloc(sizeof(int) * sizes.size()));
    std::memcpy(b->ary_size, sizes.data(), sizeof(int) * sizes.size());
    b->ary = static_cast<INTERNAL_PLOT**>(d_calloc(static_cast<size_t>(std::max<int64_t>(cells, 1)), sizeof(INTERNAL_PLOT*)));
    b->ary_cells = cells;
  }
  std::memset(b->ary, 0, sizeof(INTERNAL_PLOT*) * static_cast<size_t>(b->ary_cells));
  for (INTERNAL_PLOT* p = b->plot; p; p = p->next) {
    p->min_direction = -1;
    int64_t slot = 0, stride = 1;
    bool inside = true;
    for (int d = 0; d < g.dim && inside; ++d) {
      inside = p->c[d] < b->ary_size[d];
      slot += p->c[d] * stride;
      stride *= b->ary_size[d];
    }
    if (inside) b->ary[slot] = p;
  }
  return 0;
}

// ---- the commands

int pp_cmd_insert(PP_STRUCT_BLOCK* b, void* param) {
  auto* in = static_cast<PPC_INSERT_T*>(param);
  if (!in) return -1;
  bool in_sat = pp_list_in_sat(b);
  INTERNAL_PLOT* ip =
      xx_make_plot(b->h.n.m, in->level, in->crd, in->fields, in_sat ? &b->sat : nullptr, __FILE__, __LINE__);
  if (!ip) return -1;
  ip->next = b->plot;
  b->plot = ip;
  b->plot_in_sat = in_sat;
  PlotGeom g;
  if (b->child_cnt && plot_geom(b->h.n.m, &g))
    b->child_cnt_max = std::max(b->child_cnt_max, ++b->child_cnt[child_ix(g, ip->c)]);
  stamp(b);
  return 0;
}

int pp_cmd_none(PP_STRUCT_BLOCK*, void*) { return -1; }

int pp_cmd_sort(PP_STRUCT_BLOCK* b, void*) {
  b->plot = sort_plot(b->h.n.m, b->plot);
  stamp(b);
  return 0;
}

int pp_cmd_divide(PP_STRUCT_BLOCK* b, void*) {
  MATRIX_NODE* n = b->h.n.n;
  PlotGeom g;
  if (!n) return -1;
  if (!plot_geom(b->h.n.m, &g)) return 0;
  int bits = child_bits(g);
  if (bits > kCountedBits) return pp_op_divide_check(n, b->plot);
  if (!b->child_cnt) count_all(b, g, bits);
  return b->child_cnt_max > child_limit(b->h.n.m, g, n->dim_code) ? 1 : 0;
}

int pp_cmd_take(PP_STRUCT_BLOCK* b, void* param) {
  auto** out = static_cast<INTERNAL_PLOT**>(param);
  if (!out) return -1;
  // A list in the bump allocator would die with it: the taker gets a copy.
  if (b->plot && b->plot_in_sat) {
    *out = copy_internal_plot(b->h.n.m, b->plot);
  } else {
    *out = b->plot;
    b->plot = nullptr;
  }
  pp_release_list(b);
  stamp(b);
  return 0;
}

int pp_cmd_get(PP_STRUCT_BLOCK* b, void* param) {
  auto** out = static_cast<INTERNAL_PLOT**>(param);
  if (!out) return -1;
  *out = b->plot;
  return 0;
}

int pp_cmd_replace(PP_STRUCT_BLOCK* b, void* param) {
  auto* ip = static_cast<INTERNAL_PLOT*>(param);
  pp_release_list(b);
  change_st_internal_plot(ip);
  b->plot = ip;
  b->plot_in_sat = false;
  stamp(b);
  return 0;
}

int pp_cmd_density(PP_STRUCT_BLOCK* b, void*) {
  set_pp_density(b);
  return 0;
}

int pp_cmd_array(PP_STRUCT_BLOCK* b, void*) { return set_pp_array(b); }

int pp_cmd_free_array(PP_STRUCT_BLOCK* b, void*) {
  d_f_ree(b->ary_size);
  d_f_ree(b->ary);
  b->ary_size = nullptr;
  b->ary = nullptr;
  b->ary_cells = 0;
  return 0;
}
