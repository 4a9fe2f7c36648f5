// The plot block: the structure-block plug-in (blk_pp_tbl) that holds the
// point vector of one block channel of a node as a plot list, the block
// form of that list, and the commands the agent's point insertion and the
// scripts run on it.
//
// Block form: with flag 0x01 clear the plot code itself; with it set a zlib
// stream (level 7) of the byte 0x0D followed by the plot code, whose first
// inflated byte is skipped whatever it is. Blocks come from files and peers:
// damaged code (code whose points would take more than 256 MiB among it),
// a stream that does not inflate and an inflated block with no plot code
// are refused (new_sb null, block2struct -1, the list kept).
// An empty block of the plain form is the block channel's empty default and
// reads as the empty plot.
//
// What stays true of a PP_STRUCT_BLOCK:
// - its whole list (points, cells, bases, fields) is held by one allocator,
//   named by plot_in_sat, not by flag 0x02: lists read from a block go into
//   `sat` when 0x02 is set, a list adopted by PPC_REPLACE and a copy are
//   tagged; new points join the allocator of the list they join (of flag
//   0x02 for an empty list), and a release always goes to that allocator;
// - PPC_TAKE hands out a tagged list: a list held in `sat` is copied and
//   `sat` emptied; PPC_GET lends the list as it is held, valid until the
//   next command that changes the list;
// - the cell array never points at a released point: its slots are cleared
//   whenever the list is released, and a point outside the clipped extent
//   has no slot;
// - child_cnt, when present, counts the list's points per child of the
//   node, for the divide check.
//
// The hooks take no lock: their callers hold the node's channel lock while
// they use the structure. Stamping the channel takes matrix_lock for its
// moment.
#pragma once

#include <cstdint>

#include "base/smpalloc.h"
#include "elements/value.h"
#include "matrix/matrix.h"
#include "matrix_ops/plot_code.h"

// Structure flags.
constexpr int kPpCompressed = 0x01;
constexpr int kPpInSat = 0x02;
// The first byte of an inflated plot block.
constexpr uint8_t kPpBlockType = 0x0D;
constexpr int kPpZlibLevel = 7;

// Commands of pp_operation.
constexpr int PPC_INSERT = 1;
constexpr int PPC_SORT = 3;
constexpr int PPC_DIVIDE_CHECK = 4;
constexpr int PPC_TAKE = 5;
constexpr int PPC_GET = 6;
constexpr int PPC_REPLACE = 7;
constexpr int PPC_DENSITY = 8;
constexpr int PPC_ARRAY = 9;
constexpr int PPC_FREE_ARRAY = 10;

// The most cells a cell array is built for (PPC_ARRAY refuses more).
constexpr int64_t kPpMaxArrayCells = int64_t{1} << 24;

// Initial content of pp_new_sb.
struct PP_SB_NEW {
  void* data;  // a block in the block form, or null for an empty plot
  int size;
  int flags;   // kPpCompressed, kPpInSat
};

struct PP_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;
  int flags;
  INTERNAL_PLOT* plot;      // null when empty
  int* ary_size;            // clipped extent of the node per dimension
  INTERNAL_PLOT** ary;      // the cell array: product of ary_size slots
  int min;                  // smallest distance in the list; -1 unknown
  SIMPLE_ALLOC_T sat;
  bool plot_in_sat;         // which allocator holds `plot` (when there is one)
  int64_t ary_cells;        // slots of `ary`
  int64_t* child_cnt;       // points per child (tagged), null until counted
  int64_t child_cnt_max;    // the largest of them
};

// The point to insert: its level (the receiving node's), dim code (its own
// level, then finest-level coordinates) and fields (copied), or null.
struct PPC_INSERT_T {
  int64_t level;
  int64_t* crd;
  IP_FIELD* fields;
};

extern MX_STRUCT_BLOCK_TBL blk_pp_tbl;

// The hooks, in table order. param of new_sb: PP_SB_NEW* (null: an empty
// plot without flags). block2struct: 0, or -1 with the list kept.
// struct2block: a tagged block record owning its bytes (the caller frees it
// with mx_type_block.free_data), null when the list cannot be encoded or
// compressed.
MX_STRUCT_BLOCK* pp_new_sb(MX_SB_NEW* n, void* param);
void pp_free_sb(MX_STRUCT_BLOCK* blk);
MX_STRUCT_BLOCK* pp_copy_sb(MX_STRUCT_BLOCK* b);
int pp_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* p);
MATRIX_ALLOC_BLOCK_PARAM* pp_struct2block(MX_STRUCT_BLOCK* blk);
// Results: PPC_INSERT 0, or -1 when no point can be made (no parameter or
// dim code, a level outside 0..63, a geometry plots refuse); PPC_DIVIDE_CHECK
// 1 or 0, -1 without a node; PPC_ARRAY 0, -1 without a node or for more
// than kPpMaxArrayCells cells; command 2 -1; codes outside 1..10 -2; else 0.
int pp_operation(int cmd, MX_STRUCT_BLOCK* blk, void* param);

// ---- the functions behind the commands
// A new point (flag 0x01) for a node of `level`: its cell there, a base when
// it does not sit on a cell corner of that level, a copy of fd; tagged, or
// from sat when given. Null when no point can be made.
INTERNAL_PLOT* xx_make_plot(MATRIX* m, int64_t level, const int64_t* crd, IP_FIELD* fd, SIMPLE_ALLOC_T* sat,
                            const char* file, int line);
#define make_plot(m, level, crd, fd) xx_make_plot((m), (level), (crd), (fd), nullptr, __FILE__, __LINE__)
// The inverse of make_plot: crd[0] = level, crd[1+d] the point's offset from
// its node's origin in finest-level units.
void get_plot_crd(int64_t* crd, MATRIX* m, INTERNAL_PLOT* ip, int64_t level);
// 1 when some child of n would hold more points of p than the limit of its
// clipped extent allows; 0 otherwise (also for a geometry plots refuse).
int pp_op_divide_check(MATRIX_NODE* n, INTERNAL_PLOT* p);
// The city-block distance of two points' cells, and a lower bound of the
// distance from p1 to any point beyond p2 in point order.
int get_distance(MATRIX* m, INTERNAL_PLOT* p1, INTERNAL_PLOT* p2);
int get_estimate_distance(MATRIX* m, INTERNAL_PLOT* p1, INTERNAL_PLOT* p2);
// Each point's min_direction: the distance to its nearest neighbour (-1
// alone). set_pp_density runs the pruned pass; the exhaustive pass also
// sets `min`.
void set_pp_density(PP_STRUCT_BLOCK* b);
void set_pp_density_1(PP_STRUCT_BLOCK* b);
void set_pp_density_2(PP_STRUCT_BLOCK* b);
// Builds (first time) and refills the cell array: 0, or -1 as PPC_ARRAY.
int set_pp_array(PP_STRUCT_BLOCK* b);

// ---- the block form, shared with the plot built-ins
// The plot code a block holds: *code and *code_size point into the block,
// or into an inflated copy handed to *inflated (tagged, the caller frees
// it). A plain block of 0 bytes is the block channel's empty default and
// holds the code of the empty plot. False for compressed bytes that do not
// inflate to at least the type byte.
bool plot_block_code(const void* bytes, int size, bool compressed, void** inflated, const uint8_t** code,
                     int* code_size);
// Reads the list a block holds (tagged, or into sat, which must be empty):
// 0 with *out the list (null for an empty plot), -1 when plot_block_code
// refuses the block, -2 for damaged plot code.
int read_plot_block(INTERNAL_PLOT** out, MATRIX* m, const void* bytes, int size, bool compressed,
                    SIMPLE_ALLOC_T* sat);
// The block form of size bytes of tagged plot code, which it takes over:
// the code itself, or with compression the zlib stream of 0x0D and the code
// (the code freed); tagged, its length in *out_size. Null when compression
// fails.
void* pack_plot_code(void* code, int size, bool compress, int* out_size);
// The block form of a list (pack_plot_code of its plot code); null when the
// list cannot be encoded or compressed.
void* pack_plot(MATRIX* m, INTERNAL_PLOT* ip, bool compress, int* out_size);
