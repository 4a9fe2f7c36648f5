// Points into the plot blocks of a matrix's pyramid: a point goes into the
// plot block (one block channel) of the first node without children on its
// way down from the top node; when that block must divide, its points are
// taken out and handed to the children, in the order of the dim-code
// stepping, each child dividing in turn where it must.
//
// What stays true:
// - No point is lost by an insertion: a push-down that fails part way puts
//   the points it has not handed on back into the block they came from, and
//   a child that already holds points (one its parent did not list) keeps
//   them beside the new ones. A level-0 block never divides.
// - A plot block is changed only under its node's channel lock, and a node
//   whose block changed is marked changed when the cache lets it go.
//
// The inserter works through an element-access cache (matrix/element_cache.h)
// whose owner has set its node access to a writer's, so that every node made
// on the way is entered in its parent's child list; the cache holds one node
// at a time, and the node being divided is held in memory while its
// children are fetched. One task uses an inserter and its cache; matrix_lock
// is taken only briefly (the matrix's shape, holding a node).
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "matrix/element_cache.h"
#include "matrix_ops/plot_block.h"

class PlotInserter {
 public:
  // What stopped an insertion.
  enum Result {
    kInserted = 0,
    kNoNode,      // a node on the way could not be had, or the point lies outside the matrix
    kNoBlock,     // a node without the plot block
    kRefused,     // the block refused the point
    kNotAdopted,  // a child's block refused the points handed to it, or they could not be split
  };

  // Inserts into channel `channel` through c; trace writes the push-down's
  // steps on the error stream.
  PlotInserter(MX_CACHE* c, int channel, bool trace);
  // Lets go of the held node.
  ~PlotInserter();
  PlotInserter(const PlotInserter&) = delete;
  PlotInserter& operator=(const PlotInserter&) = delete;

  int dim() const { return dim_; }
  // Inserts the point at the finest-level coordinates crd[1..dim] (crd[0]
  // becomes 0) with a copy of fields (null: none).
  Result insert(int64_t* crd, IP_FIELD* fields);
  // Lets go of the held node, marked changed when it was.
  void release();

 private:
  using Code = std::vector<int64_t>;
  struct CodeHash {
    size_t operator()(const Code& c) const;
  };

  int fetch(const int64_t* dc);
  bool held_has(const int64_t* crd, int64_t* level);
  Result descend(const int64_t* crd, int64_t* level);
  Result push_down(int64_t level, INTERNAL_PLOT* points);
  Result hand_to(const int64_t* dc, int64_t level, INTERNAL_PLOT* sub, bool* adopted);
  void put_back(MATRIX_NODE* n, int64_t level, INTERNAL_PLOT** points, const std::vector<Code>& placed);

  MX_CACHE* c_;
  MATRIX* m_;
  int ch_;
  bool trace_;
  int dim_ = 0;
  int64_t levels_ = 0;
  // The held node is where the last point went and had no children then.
  bool leaf_ = false;
  // Node origins (level first) seen with children by this inserter: a node
  // keeps its children, so these are passed without a fetch.
  std::unordered_set<Code, CodeHash> inner_;
  Code scratch_;
  Code extent_;  // pixels per dimension
};
