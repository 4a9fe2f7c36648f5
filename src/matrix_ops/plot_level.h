// Plot level algorithms: moving point lists between the levels and nodes
// of a matrix's pyramid. A parent's plot holds one point per occupied cell
// of its level, merged from the finer points in it; each child is rebuilt
// from the parent's plot and the child's difference list.
//
// A child with dim code dc sits, in each dimension d, at the parent cells
// pos[d] = (dc[1+d] >> ((dc[0] + 1) * dd[d])) & mask[d], with mask[d] the
// top dd[d] of the block_size[d] cell bits (all of them when dd >= bs).
//
// Ids in a difference list: 0 none, 1 the coarse point's id, otherwise the
// point's own object id (object ids advance in steps of 256, so 1 is never
// one of them).
//
// Refusals (fields that cannot be combined, an interleaving splice, a
// geometry plots cannot hold, a level out of range) leave every input as it
// was, return null (shift_insert_plot: the unchanged target) and set *errp
// to -1 when errp is given; *errp is 0 otherwise. No locks: the lists
// belong to the caller; new object ids take the store's lock.
#pragma once

#include <cstdint>

#include "matrix_ops/plot_code.h"

// The same points relinked in point order. Points with equal coordinates
// come out as a merge sort that splits by alternation and takes the second
// half first on ties leaves them (first, second, third -> second, first,
// third). prev links are left as they were; a geometry plots refuse leaves
// the list as it is.
INTERNAL_PLOT* sort_plot(MATRIX* m, INTERNAL_PLOT* ip);
// The list of `size` bytes of plot code as code2internal reads it (from sat
// when given, after smp_init, else tagged; *errp as there) and sort_plot
// then orders it, with its points made in point order: a list in a bump
// allocator lies in memory in the order it is walked.
INTERNAL_PLOT* code2sorted_plot(MATRIX* m, const uint8_t* code, int size, SIMPLE_ALLOC_T* sat, int* errp = nullptr);

// Splits a child's list (in point order) into its coarse part, returned
// (cells >> dim_divide, one point per coarse cell, bases dropped, fields
// merged, flag 0x08 where two arrays were merged), and its difference list
// in *diff (cells & (2^dim_divide - 1), flag 0x10 on each group's first
// point, fields as differences to the coarse fields). Both are new tagged
// lists; down is not changed. Traces "diff-1" and "diff-2".
INTERNAL_PLOT* diff_pp(MATRIX* m, INTERNAL_PLOT** diff, INTERNAL_PLOT* down, int* errp = nullptr);
// The same with the coarse part from up_sat and the differences from
// diff_sat (each tagged when null), as the built-ins run it: a list of one
// allocator is released by freeing it. A refusal leaves what it made there
// until the allocator is freed.
INTERNAL_PLOT* diff_pp(MATRIX* m, INTERNAL_PLOT** diff, INTERNAL_PLOT* down, SIMPLE_ALLOC_T* up_sat,
                       SIMPLE_ALLOC_T* diff_sat, int* errp = nullptr);

// Moves a child's coarse part ip (from diff_pp) into the parent's cells and
// splices it as one run into target (the parent's list in point order);
// the new head. ip's points become part of the result. A run that would
// interleave with target's points is refused.
INTERNAL_PLOT* shift_insert_plot(MATRIX* m, INTERNAL_PLOT* target, INTERNAL_PLOT* ip, const int64_t* dim_code,
                                 int* errp = nullptr);

// Rebuilds the child at down_code from the parent's list up (in point
// order) and the child's difference list, from sat when given, else tagged.
// up and diff are not changed. An empty up gives an empty list.
INTERNAL_PLOT* add_diff(MATRIX* m, INTERNAL_PLOT* up, INTERNAL_PLOT* diff, const int64_t* down_code,
                        SIMPLE_ALLOC_T* sat, int* errp = nullptr);

// Finds in a parent's plot code (n bytes, all of it checked) the records
// add_diff reads for the child at down_code: the first run of records whose
// cells lie in that child, as byte offsets [*from, *to), and the number of
// points of the whole code in *points. 0, or -1 for damaged code or a
// refused geometry or dim code.
int child_run(MATRIX* m, const uint8_t* code, int n, const int64_t* down_code, int* from, int* to, int* points);

// The points of ip (cells of level `level`) that lie inside the node dc of
// level dc[0] <= level, in dc's cells, as a new tagged list in ip's order.
INTERNAL_PLOT* shift_under_plot(MATRIX* m, INTERNAL_PLOT* ip, int64_t level, const int64_t* dc,
                                int* errp = nullptr);
