// The plot built-ins of matrix scripts (the plot constants, mxPgPlotDiff,
// mxPgPlotSort, mxPgPlotAdd, mxPgPlotInitialize) and mxObjID, which gives
// matrix-wide object ids to the points of a plot block.
//
// They act on the node of the running token (nil, or the empty list, when
// there is none), work on copies of block bytes and on lists they own, and
// free every list, bump allocator, inflated buffer and dim code they made
// on every path. mxPgPlotInitialize alone changes a node: it installs an
// empty plot structure under the node's channel lock. Refusals are error
// values; errors that no text of their own names carry the reasons "field
// kind" (a merge or rebuild of fields refused), "plot splice" (a child's
// points would interleave with the parent's), "dim code" (a dim-code list
// without dim + 1 members), "attribute channel" and "block size" (a
// geometry plots cannot hold). Traces go to the standard error stream.
#pragma once

#include <cstdint>

#include "matrix/matrix.h"
#include "zu/env.h"

// Binds the 19 plot constants, then the four plot built-ins, into env.
void init_mxPgPlot(ZUISP_ENV* env);
// Binds mxObjID.
void init_mxObjID(ZUISP_ENV* env);

// The plot code of `size` bytes with an object id (get_matrix_obj_id of m,
// in list order) given to every point that has none: flag 0x40 set and the
// 8 id bytes added; every other byte as it was. Tagged, *out_size its
// length; null for damaged code, an empty plot or a geometry plots refuse.
// Writes "---IP %p %x\n" (the record's address in the result, the id's
// high 32 bits) per new id to the standard error stream.
void* give_obj_ids(MATRIX* m, const void* code, int size, int* out_size);
