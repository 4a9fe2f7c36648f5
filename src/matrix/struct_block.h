// Structure blocks: in-memory structures attached to a block channel of
// one node (MX_STRUCT_BLOCK in matrix/matrix.h), each made by a plug-in
// whose table turns the channel's bytes into the structure and back,
// copies and frees it and runs its commands. Three plug-ins live here:
//   primitive            a private copy of the bytes, no commands;
//   heuristic layering   per object id, votes (clicks) to show or hide it
//                        at a position and resolution, and the weighted
//                        sum of the votes near a query (commands 1, 4);
//   structured array     a sparse array of member blocks, one per index of
//                        the node's block (commands 1, 2, 3).
//
// The plug-ins take no lock: their callers hold the node's channel lock
// around block2struct, struct2block and operation. Bytes handed to
// block2struct may come from files or peers: every count, length and index
// is checked against the bytes left and the node's geometry before it is
// used, and a block that does not parse gives -1 (what was read before it
// stays). Records that struct2block returns are block values made by the
// block element type (tagged); the caller frees them with its free_data.
//
// Byte forms (big-endian; "code" is the compressed 64-bit integer of
// elements/compressed_code.h):
//   layering: per id, newest first: code id, code clicks, then per click
//             the 8-byte double reso, dim codes of the index, code show,
//             code hide;
//   array:    per member in increasing index order (dimension 0 most
//             significant): per dimension one byte when block_size is at
//             most 8, else a code; code length; the member's bytes.
#pragma once

#include <cstdint>

#include "elements/value.h"
#include "matrix/matrix.h"

// Command numbers of operation().
constexpr int kSbInsert = 1;
constexpr int kSbDelete = 2;
constexpr int kSbSearch = 3;
constexpr int kSbCalc = 4;

// ---------------------------------------------------------------------------
// Structures that scripts hold
//
// Constructors hand structures to scripts as pointer values without a
// mark function. A script may keep such a value after the structure has
// been adopted and freed (a channel frees the structure another replaces,
// an array its prototype), and any other pointer value can be passed where
// a structure is wanted, so the pointer in a value is never followed until
// it is found on the list of free-standing structures: those a constructor
// handed out that nothing has adopted yet. Adopting takes a structure off
// the list, so it has one owner and a later use of the value is refused;
// a structure freed while listed leaves it too. The list has a leaf mutex
// of its own, taken for a lookup and never held while anything else is
// taken or a ZU value made.

// The value a constructor returns: b listed (a pointer value holding null
// when b is null).
ZU_SEXP* mx_sb_hand_out(MX_STRUCT_BLOCK* b);
// The structure v holds when it is listed and its place is channel ch of
// node n, taken off the list for the caller to own; null otherwise.
MX_STRUCT_BLOCK* mx_sb_adopt(ZU_SEXP* v, const MATRIX_NODE* n, int ch);
// Lists b again after an adoption that could not be completed.
void mx_sb_give_back(MX_STRUCT_BLOCK* b);
// Every free_sb calls it first: b leaves the list if it is there.
void mx_sb_forget(MX_STRUCT_BLOCK* b);

// Fills b's place from n: null when n's node belongs to another matrix
// than n's matrix, or when there is neither; a null matrix becomes the
// node's. Every new_sb starts with it.
bool mx_sb_place(MX_STRUCT_BLOCK* b, const MX_SB_NEW* n, MX_STRUCT_BLOCK_TBL* tbl);
// A new block record (zero header) holding a copy of size bytes.
MATRIX_ALLOC_BLOCK_PARAM* mx_sb_new_block(const void* bytes, int64_t size);

// ---------------------------------------------------------------------------
// Primitive block

using PR_NEW = MATRIX_ALLOC_BLOCK_PARAM;
struct PR_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;
  MATRIX_ALLOC_BLOCK_PARAM p;  // private copy (bytes tagged)
};
extern MX_STRUCT_BLOCK_TBL blk_primitive_tbl;

// An empty block without initial content; null for content whose size is
// negative or whose bytes are missing.
MX_STRUCT_BLOCK* pr_new_sb(MX_SB_NEW* n, void* param);
void pr_free_sb(MX_STRUCT_BLOCK* b);
MX_STRUCT_BLOCK* pr_copy_sb(MX_STRUCT_BLOCK* b);
// 0; -1 (nothing changed) for a record that is not a valid block.
int pr_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* p);
MATRIX_ALLOC_BLOCK_PARAM* pr_struct2block(MX_STRUCT_BLOCK* b);
int pr_operation(int cmd, MX_STRUCT_BLOCK* b, void* param);

// ---------------------------------------------------------------------------
// Heuristic layering block

struct HL_CLICK {
  HL_CLICK* next;
  double reso;       // never 0, always finite
  long long* ix;     // node-relative index per dimension, in units of the node's level
  int64_t show;
  int64_t hide;
};
struct HL_ID_LIST {
  HL_ID_LIST* next;
  int64_t id;
  HL_CLICK* clk;     // newest first
};
struct HlIndex;  // the ids and clicks by key (sb_layering.cc)
struct HL_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;
  HL_ID_LIST* id_list;  // newest first
  HlIndex* index;       // made on first use from the lists, kept with them (owned)
};
// The parameter of hl_operation. ix: one absolute finest-level coordinate
// per dimension. Insert reads show and hide as votes (non-zero: one vote);
// calc writes the weighted sums there.
struct HL_OP {
  int64_t id;
  long long* ix;
  double reso;
  double show;
  double hide;
};
extern MX_STRUCT_BLOCK_TBL blk_h_layering_tbl;

MX_STRUCT_BLOCK* hl_new_sb(MX_SB_NEW* n, void* param);
void hl_free_sb(MX_STRUCT_BLOCK* b);
MX_STRUCT_BLOCK* hl_copy_sb(MX_STRUCT_BLOCK* b);
int hl_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* p);
MATRIX_ALLOC_BLOCK_PARAM* hl_struct2block(MX_STRUCT_BLOCK* b);
// 1 insert (0 recorded, -1 for a reso of 0 or not finite), 4 calc (0, -1
// for an id without clicks); any other command -1.
int hl_operation(int cmd, MX_STRUCT_BLOCK* b, void* op);
HL_ID_LIST* hl_search(HL_STRUCT_BLOCK* b, int64_t id);
// Node-relative indices of absolute coordinates (tagged; the caller frees).
long long* calc_ix(const MATRIX_NODE* n, const long long* ix);
// Records one vote (f 0 counts, f non-zero sets the counts): 1 when the
// click is new or changed, 0 unchanged, -1 for a reso of 0 or not finite.
int hl_insert_point(HL_STRUCT_BLOCK* b, int64_t id, const long long* ix, double reso, int64_t show, int64_t hide,
                    int f);
int hl_calc(HL_STRUCT_BLOCK* b, HL_OP* op);

// ---------------------------------------------------------------------------
// Structured array block

struct SA_ARRAY {
  int start;  // first index covered
  int end;    // one past the last
  void** p;   // end - start slots: SA_ARRAY* of the next dimension, or members at the last
};
struct SA_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;
  MX_STRUCT_BLOCK* member;  // the prototype of every member (owned)
  SA_ARRAY* index;          // dimension 0, null while empty
};
struct SA_NEW {
  MX_STRUCT_BLOCK* member;  // the prototype; the new array owns it
};
// One search result; the caller frees the entries and their work arrays.
struct MX_SB_LIST {
  MX_SB_LIST* next;
  int* work;                // a copy of the member's index
  MX_STRUCT_BLOCK* blk;     // the member itself
};
struct SA_OP {
  MX_STRUCT_BLOCK* member;  // insert: the member, or null for a new copy of the prototype (returned here)
  MX_SB_LIST* member_list;  // search: the result
  int* index1;              // the index, or the first of the searched range
  int* index2;              // search: one past the range's last, or null for index1 alone
  unsigned del_flag : 1;    // delete: free the removed member too
};
extern MX_STRUCT_BLOCK_TBL blk_s_array_tbl;

// An empty array owning the prototype; null without one.
MX_STRUCT_BLOCK* sa_new_sb(MX_SB_NEW* n, void* sa_new);
void sa_free_sb(MX_STRUCT_BLOCK* b);
MX_STRUCT_BLOCK* sa_copy_sb(MX_STRUCT_BLOCK* b);
int sa_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* p);
MATRIX_ALLOC_BLOCK_PARAM* sa_struct2block(MX_STRUCT_BLOCK* b);
int sa_operation(int cmd, MX_STRUCT_BLOCK* b, void* op);
// 0; -1 when the slot is taken or an index lies outside the node's block
// (0 .. 2^block_size[d] - 1, one more with index_hem): nothing changes then.
int sa_insert_blk(SA_STRUCT_BLOCK* rt, const int* ix, MX_STRUCT_BLOCK* b);
// 0; -1 when no member is at ix.
int sa_delete_blk(SA_STRUCT_BLOCK* rt, const int* ix, int del_flag);
// The members in [ix_start, ix_end) (ix_start alone when ix_end is null),
// the last found first.
MX_SB_LIST* sa_search_blk(SA_STRUCT_BLOCK* blk, const int* ix_start, const int* ix_end);
void free_mx_sb_list(MX_SB_LIST* lst);

// ---------------------------------------------------------------------------
// The constructors of matrix scripts: "sbHeuristocLayering", "sbPrimitive"
// and "sbArray", each making an empty block for the channel named by
// "___channel" of the node whose script runs.
void init_sbHeuristicLayering(ZUISP_ENV* env);
void init_sbPrimitive(ZUISP_ENV* env);
void init_sbArray(ZUISP_ENV* env);
