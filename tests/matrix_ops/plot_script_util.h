// Helpers of the plot block tests: matrices with block channels (in memory,
// or in a matrix file whose nodes load and save through the store's file
// hooks), plot blocks as data items, and the test built-ins the plot
// scripts use (scripts run for a node outside the worker with the layer's
// NodeScript, support/matrix):
//   (sbPlot)             an empty plot structure for mxSetSB's channel
//                        (attributes compress and sat as mxPgPlotInitialize);
//   (node-dirty)         1 when the running node is marked changed for
//                        its file, else 0;
//   (keep-blocks item)   records the dim codes and bytes of a data item, or
//                        of each item of a list, for kept_blocks(); an
//                        error value goes to the notes instead.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "matrix_ops/plot_insert.h"
#include "ops_test_util.h"
#include "support/bytes.h"

// Binds the test built-ins above into matrix_zu_env (once).
void bind_plot_test_prims();

// Channels of the plot matrices: 0 and 1 blocks, 2 int64; the tests put a
// plain plot on 0 and a compressed one on 1. The file-backed one keeps 0
// and 1 in the file.
constexpr int kPlainCh = 0;
constexpr int kZipCh = 1;
constexpr int kIntCh = 2;

// A 2-D matrix in memory: dim_divide 1, the block size (8 unless given),
// pixel sizes px; its fetch script only ends ready.
MATRIX* open_plot_matrix(const std::vector<int64_t>& px, int block_size = 8);
// The same in a matrix file at path (made when missing): each fetched node
// is loaded from the file (made when the file has none) and gets an empty
// plot structure on channel 0 (compressed when asked), rebuilt from the
// bytes (mxLoadSB); saving writes the structure back (mxSaveSB) and saves.
// 0, or load_matrix_header's outcome.
int open_plot_file(MATRIX** mp, const std::string& path, bool compressed = false);

// Points pushed down the pyramid of m into block channel ch as the agent
// pushes them: by the plot inserter, through an element cache of its own
// with a writer's node access.
class PlotPush {
 public:
  PlotPush(MATRIX* m, int ch);
  ~PlotPush();
  PlotPush(const PlotPush&) = delete;
  PlotPush& operator=(const PlotPush&) = delete;
  // The point at the finest-level coordinates xy (dim values).
  PlotInserter::Result insert(const int64_t* xy, IP_FIELD* fields);

 private:
  std::vector<int> ch_;
  MX_CACHE c_{};
  std::unique_ptr<PlotInserter> ins_;
};
// The dim codes of the nodes of m's pyramid: its top node and every child
// its parents list, at every level.
std::set<Code> pyramid_nodes(MATRIX* m);

// (data dc block) holding a collected copy of bytes.
ZU_SEXP* plot_item(MATRIX* m, const Code& dc, const Bytes& bytes);
// The bytes of a data item's block ("" printed for an item without one).
Bytes item_bytes(ZU_SEXP* item);

// The items (keep-blocks) recorded, in order, and forgetting them.
std::vector<std::pair<Code, Bytes>> kept_blocks();

// zlib's own stream (level 7) of bytes; the compressed block form of plot
// code (the stream of 0x0D and the code); what a stream inflates to (empty
// when it does not).
Bytes zlib_of(const Bytes& bytes);
Bytes zip_block(const Bytes& code);
Bytes inflate(const Bytes& z);

// The plot code of channel ch of n as the channel holds it (empty without
// data).
Bytes channel_bytes(MATRIX_NODE* n, int ch);
