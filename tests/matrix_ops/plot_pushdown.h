// The agent's point insertion, emulated on real nodes for the plot block
// tests and benchmarks: a point goes into the plot block (channel ch) of
// the first node without children on its way down the pyramid (command 1);
// when that block must divide (command 4) its points are taken out
// (command 5) and handed to the children (shift_under_plot, command 7),
// again wherever a child must divide too. A node at level 0 keeps what it
// gets. Nodes come from the store, made as needed; a child that receives
// points is entered in its parent's child list.
//
// keep_nodes: every node stays locked until the inserter goes, for
// matrices without a file behind them, whose clean nodes the cache may drop.
#pragma once

#include <set>
#include <vector>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix/node.h"
#include "matrix_ops/plot_block.h"
#include "matrix_ops/plot_level.h"

class PlotPushDown {
 public:
  // The steps that can fail, as insert reports them.
  static constexpr int kNoNode = -1;
  static constexpr int kNoBlock = -2;
  static constexpr int kInsertRefused = -3;
  static constexpr int kReplaceRefused = -4;

  PlotPushDown(MATRIX* m, int ch, bool keep_nodes = false) : m_(m), ch_(ch), keep_(keep_nodes) {}
  ~PlotPushDown() {
    for (MATRIX_NODE* n : kept_) unlock_node(n, nullptr);
  }
  PlotPushDown(const PlotPushDown&) = delete;
  PlotPushDown& operator=(const PlotPushDown&) = delete;

  // Inserts the point at the finest-level coordinates xy (dim values).
  int insert(const int64_t* xy, IP_FIELD* fields) {
    const int dim = m_->p.dim;
    std::vector<int64_t> dc(1 + static_cast<size_t>(dim)), crd(dc.size());
    std::copy(xy, xy + dim, crd.begin() + 1);
    MATRIX_NODE* parent = nullptr;
    for (int64_t level = m_->total_levels - 1; level >= 0; --level) {
      dc = crd;
      dc[0] = level;
      MATRIX_NODE* n = node(dc.data());
      if (parent) {
        enter_child(parent, dc.data());
        done(parent);
      }
      if (!n) return kNoNode;
      if (level > 0 && check_children(n)) {
        parent = n;
        continue;
      }
      int r = insert_at(n, level, crd.data(), fields);
      done(n);
      return r;
    }
    return kNoNode;
  }

  int divisions() const { return divisions_; }
  // Records the dim code of every node the inserter reaches.
  void record_nodes(std::set<std::vector<int64_t>>* seen) { seen_ = seen; }

 private:
  MATRIX_NODE* node(const int64_t* dc) {
    int err = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&err, m_, dc, 0);
    if (n && err) {
      unlock_node(n, nullptr);
      return nullptr;
    }
    if (n && keep_ && !kept_.insert(n).second) unlock_node(n, nullptr);  // locked once already
    if (n && seen_) seen_->insert(std::vector<int64_t>(n->dim_code, n->dim_code + 1 + m_->p.dim));
    return n;
  }
  void done(MATRIX_NODE* n) {
    if (!keep_) unlock_node(n, nullptr);
  }
  void enter_child(MATRIX_NODE* parent, const int64_t* dc) {
    lock_task(matrix_lock);
    bool known = _check_dim_code(parent, dc);
    unlock_task(matrix_lock, "enter_child");
    if (!known) insert_dim_code_index(parent, dc, 1);
  }

  int insert_at(MATRIX_NODE* n, int64_t level, const int64_t* crd, IP_FIELD* fields) {
    MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch_);
    if (!sb) return kNoBlock;
    PPC_INSERT_T in{level, const_cast<int64_t*>(crd), fields};
    if (sb->tbl->operation(PPC_INSERT, sb, &in) != 0) {
      matrix_node_channel_unlock(n, 0);
      return kInsertRefused;
    }
    return divide_if_full(n, sb, level);
  }

  // With n's channel locked: hands its points down when its block is full.
  int divide_if_full(MATRIX_NODE* n, MX_STRUCT_BLOCK* sb, int64_t level) {
    if (level == 0 || sb->tbl->operation(PPC_DIVIDE_CHECK, sb, nullptr) != 1) {
      matrix_node_channel_unlock(n, 1);
      return 0;
    }
    INTERNAL_PLOT* taken = nullptr;
    sb->tbl->operation(PPC_TAKE, sb, &taken);
    matrix_node_channel_unlock(n, 1);
    ++divisions_;
    int r = push_down(n, level, taken);
    free_internal_plot_list(taken);
    return r;
  }

  int push_down(MATRIX_NODE* n, int64_t level, INTERNAL_PLOT* points) {
    int bits = 0;
    for (int d = 0; d < m_->p.dim; ++d) bits += m_->dim_divide[d];
    for (int64_t ix = 0; ix < (int64_t{1} << bits); ++ix) {
      int64_t* child = get_dim_code_from_index(m_, n->dim_code, ix);
      INTERNAL_PLOT* sub = shift_under_plot(m_, points, level, child);
      int r = sub ? hand_to(n, child, sub, level - 1) : 0;
      d_f_ree(child);
      if (r) return r;
    }
    return 0;
  }

  int hand_to(MATRIX_NODE* parent, const int64_t* dc, INTERNAL_PLOT* sub, int64_t level) {
    MATRIX_NODE* c = node(dc);
    MX_STRUCT_BLOCK* sb = c ? get_channel_struct_block(c, ch_) : nullptr;
    int r = !c ? kNoNode : !sb ? kNoBlock : 0;
    if (c) enter_child(parent, dc);
    if (sb && sb->tbl->operation(PPC_REPLACE, sb, sub) != 0) {
      matrix_node_channel_unlock(c, 0);
      r = kReplaceRefused;
    } else if (sb) {
      sub = nullptr;
      r = divide_if_full(c, sb, level);
    }
    free_internal_plot_list(sub);
    if (c) done(c);
    return r;
  }

  MATRIX* m_;
  int ch_;
  bool keep_;
  std::set<MATRIX_NODE*> kept_;
  std::set<std::vector<int64_t>>* seen_ = nullptr;
  int divisions_ = 0;
};
