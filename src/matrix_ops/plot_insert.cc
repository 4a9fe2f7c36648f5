// Points pushed down the plot blocks of a pyramid (plot_insert.h).
#include "matrix_ops/plot_insert.h"

#include <algorithm>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix/node.h"
#include "matrix_ops/plot_level.h"
#include "stream/stream.h"

namespace {

int plot_op(MX_STRUCT_BLOCK* sb, int cmd, void* param) { return sb->tbl->operation(cmd, sb, param); }

// a followed by b.
INTERNAL_PLOT* join(INTERNAL_PLOT* a, INTERNAL_PLOT* b) {
  if (!a) return b;
  INTERNAL_PLOT* t = a;
  while (t->next) t = t->next;
  t->next = b;
  return a;
}

// Takes a block's points out when it holds any (its list, tagged, or null).
INTERNAL_PLOT* take_held(MX_STRUCT_BLOCK* sb) {
  INTERNAL_PLOT* held = nullptr;
  plot_op(sb, PPC_GET, &held);
  if (held) plot_op(sb, PPC_TAKE, &held);
  return held;
}

}  // namespace

size_t PlotInserter::CodeHash::operator()(const Code& c) const {
  uint64_t h = 1469598103934665603u;
  for (int64_t v : c) h = (h ^ static_cast<uint64_t>(v)) * 1099511628211u;
  return static_cast<size_t>(h);
}

PlotInserter::PlotInserter(MX_CACHE* c, int channel, bool trace) : c_(c), m_(c->m), ch_(channel), trace_(trace) {
  lock_task(matrix_lock);
  dim_ = m_->p.dim;
  levels_ = m_->total_levels;
  extent_.assign(m_->pixel_size, m_->pixel_size + dim_);
  unlock_task(matrix_lock, "PlotInserter");
  scratch_.resize(size_t(dim_) + 1);
}

PlotInserter::~PlotInserter() { release(); }

PlotInserter::Result PlotInserter::insert(int64_t* crd, IP_FIELD* fields) {
  crd[0] = 0;
  // A point outside the matrix has no node (and would otherwise stay in
  // the last node above it that could be fetched).
  for (int d = 0; d < dim_; ++d)
    if (crd[1 + d] < 0 || crd[1 + d] >= extent_[size_t(d)]) return kNoNode;
  int64_t level = 0;
  if (!(leaf_ && c_->n && held_has(crd, &level))) {
    leaf_ = false;
    if (Result why = descend(crd, &level)) return why;
  }
  MATRIX_NODE* n = c_->n;
  MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch_);
  if (!sb) return kNoBlock;
  PPC_INSERT_T in{level, crd, fields};
  if (plot_op(sb, PPC_INSERT, &in) != 0) {
    matrix_node_channel_unlock(n, 0);
    return kRefused;
  }
  mx_cache_changed(c_);
  // A level-0 block has nowhere to hand its points: it keeps them.
  if (level == 0 || plot_op(sb, PPC_DIVIDE_CHECK, nullptr) != 1) {
    matrix_node_channel_unlock(n, 1);
    leaf_ = true;
    return kInserted;
  }
  INTERNAL_PLOT* taken = nullptr;
  plot_op(sb, PPC_TAKE, &taken);
  matrix_node_channel_unlock(n, 1);
  if (trace_) ss_printf("INSERT PLOT DATA ==========================\n");
  const Result why = push_down(level, taken);
  if (trace_) ss_printf("INSERT PLOT DATA END ======================\n");
  return why;
}

void PlotInserter::release() {
  flush_mx_cache(c_, 0);
  leaf_ = false;
}

// Makes the cache hold the node holding dc: 0 or -1.
int PlotInserter::fetch(const int64_t* dc) {
  if (c_->n && cmp_dim_code(m_, c_->n->dim_code, dc) == 0) return 0;
  release();
  return get_mx_cache(c_, dc);
}

// Whether the held node holds crd; *level its level.
bool PlotInserter::held_has(const int64_t* crd, int64_t* level) {
  std::copy(crd, crd + dim_ + 1, scratch_.begin());
  scratch_[0] = *level = c_->n->dim_code[0];
  return cmp_dim_code(m_, c_->n->dim_code, scratch_.data()) == 0;
}

// Goes down the nodes holding crd from the top to the first one without
// children (level 0 at the latest), which the cache then holds.
PlotInserter::Result PlotInserter::descend(const int64_t* crd, int64_t* level) {
  for (int64_t l = levels_ - 1; l >= 0; --l) {
    scratch_[0] = l;
    for (int d = 0; d < dim_; ++d) scratch_[size_t(1 + d)] = mx_origin(crd[1 + d], mx_shift(m_, l, d));
    if (l > 0 && inner_.count(scratch_)) continue;
    if (fetch(scratch_.data()) != 0) return kNoNode;
    *level = l;
    if (l == 0 || !check_children(c_->n)) return kInserted;
    inner_.insert(scratch_);
  }
  return kNoNode;  // a matrix without levels
}

// Hands the points of the node at `level`, which the cache holds and whose
// block they were taken from, to its children; takes `points` over. On a
// failure the points not yet handed on go back to that block.
PlotInserter::Result PlotInserter::push_down(int64_t level, INTERNAL_PLOT* points) {
  MATRIX_NODE* n = c_->n;
  // Held in memory while the children are fetched, for the points that
  // may have to go back.
  lock_task(matrix_lock);
  _lock_node(n, nullptr);
  unlock_task(matrix_lock, "PlotInserter");
  if (trace_) ss_printf("IPD %s\n", pt_dc(m_, n->dim_code, 1));
  const size_t w = size_t(dim_) + 1;
  Code lo(w), hi(w), step(w), ix(w);
  lo[0] = hi[0] = step[0] = level - 1;
  for (int d = 0; d < dim_; ++d) {
    const int s = mx_shift(m_, level, d), cs = mx_shift(m_, level - 1, d);
    lo[1 + d] = mx_origin(n->dim_code[1 + d], s);
    // The store keeps every node shift below 63.
    step[1 + d] = cs < 63 ? int64_t{1} << cs : INT64_MAX;
    if (s >= 63 || __builtin_add_overflow(lo[1 + d], int64_t{1} << s, &hi[1 + d])) hi[1 + d] = INT64_MAX;
  }
  std::vector<Code> placed;
  Result why = kInserted;
  bool adopted = false;
  ix = lo;
  do {
    if (trace_) ss_printf("IPD-2 %s\n", pt_dc(m_, ix.data(), 1));
    int err = 0;
    INTERNAL_PLOT* sub = shift_under_plot(m_, points, level, ix.data(), &err);
    if (err) {
      why = kNotAdopted;
      break;
    }
    if (!sub) {
      if (trace_) ss_printf("NONE\n");
      continue;
    }
    if ((why = hand_to(ix.data(), level - 1, sub, &adopted))) break;
    placed.push_back(ix);
  } while (inc_dim_code_ix(ix.data(), lo.data(), step.data(), hi.data(), dim_) == 0);
  if (why) {
    if (adopted) placed.push_back(ix);  // the child took them and placed what it could
    put_back(n, level, &points, placed);
  }
  free_internal_plot_list(points);
  unlock_node(n, nullptr);
  return why;
}

// The child at dc (of `level`) takes sub, beside the points it may hold
// already (a child its parent did not list), and divides in turn.
// *adopted tells whether its block took them.
PlotInserter::Result PlotInserter::hand_to(const int64_t* dc, int64_t level, INTERNAL_PLOT* sub, bool* adopted) {
  *adopted = false;
  if (fetch(dc) != 0) {
    if (trace_) ss_printf("A\n");
    free_internal_plot_list(sub);
    return kNoNode;
  }
  MATRIX_NODE* n = c_->n;
  if (trace_) ss_printf("IPD-3 %s\n", pt_dc(m_, n->dim_code, 1));
  MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch_);
  if (!sb) {
    if (trace_) ss_printf("B\n");
    free_internal_plot_list(sub);
    return kNoBlock;
  }
  INTERNAL_PLOT* had = take_held(sb);
  INTERNAL_PLOT* tail = sub;
  while (tail->next) tail = tail->next;
  tail->next = had;
  if (plot_op(sb, PPC_REPLACE, sub) != 0) {
    if (trace_) ss_printf("C\n");
    tail->next = nullptr;
    if (had) plot_op(sb, PPC_REPLACE, had);
    matrix_node_channel_unlock(n, had ? 1 : 0);
    free_internal_plot_list(sub);
    return kNotAdopted;
  }
  *adopted = true;
  mx_cache_changed(c_);
  if (level > 0 && plot_op(sb, PPC_DIVIDE_CHECK, nullptr) == 1) {
    INTERNAL_PLOT* taken = nullptr;
    plot_op(sb, PPC_TAKE, &taken);
    matrix_node_channel_unlock(n, 1);
    return push_down(level, taken);
  }
  if (trace_) ss_printf("D\n");
  matrix_node_channel_unlock(n, 1);
  return kInserted;
}

// Moves the points of *points that lie in no placed child back into the
// block of n (at `level`), beside what it holds.
void PlotInserter::put_back(MATRIX_NODE* n, int64_t level, INTERNAL_PLOT** points, const std::vector<Code>& placed) {
  INTERNAL_PLOT* back = nullptr;
  INTERNAL_PLOT** back_tail = &back;
  INTERNAL_PLOT** keep = points;
  Code crd(size_t(dim_) + 1), child(crd.size());
  child[0] = level - 1;
  for (INTERNAL_PLOT* p = *points; p;) {
    INTERNAL_PLOT* next = p->next;
    get_plot_crd(crd.data(), m_, p, level);
    for (int d = 0; d < dim_; ++d)
      child[1 + d] = mx_origin(n->dim_code[1 + d], mx_shift(m_, level, d)) +
                     mx_origin(crd[1 + d], mx_shift(m_, level - 1, d));
    bool done = false;
    for (const Code& c : placed) done = done || cmp_dim_code(m_, c.data(), child.data()) == 0;
    if (done) {
      *keep = p;
      keep = &p->next;
    } else {
      *back_tail = p;
      back_tail = &p->next;
    }
    p = next;
  }
  *keep = nullptr;
  *back_tail = nullptr;
  if (!back) return;
  MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch_);
  if (!sb) {  // the node is held in memory: its block cannot go
    ss_printf("qmxPgPlotInsert: %i points lost at %s\n", get_internal_plot_len(back), pt_dc(m_, n->dim_code, 1));
    free_internal_plot_list(back);
    return;
  }
  plot_op(sb, PPC_REPLACE, join(back, take_held(sb)));
  matrix_node_channel_unlock(n, 1);
  if (c_->n == n) mx_cache_changed(c_);
}
