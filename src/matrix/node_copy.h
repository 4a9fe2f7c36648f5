// Copies of channels from the stored nodes of one matrix into the same
// nodes of another, the check-sum trace of a byte block, and the start-up
// of the store for a program without the matrix agent.
//
// A copy takes the source node's channel lock before the destination's;
// the two matrices are different. It stops at the first node that fails;
// nodes already copied stay copied.
#pragma once

#include <cstdint>

#include "elements/value.h"
#include "matrix/matrix.h"

// Copies the node at dc of src into dest (created there when missing,
// its changes marked for the file): a dc with a negative coordinate copies
// every channel the source node holds; otherwise the channels of ch_list
// (ended by a negative entry) and then those whose flags share a value
// with copy_flags. The child list is merged into dest's, and the node is
// entered in the child lists on dest's path from its root, as a write
// enters it (dest may have more levels than src). 0 (also when src
// has no such node: nothing is created then), kMxCopyDiffers (-126) with
// nothing done when the two differ in dim, node size, divide or index_hem,
// or a channel to copy has another element type in dest (or none), -102 for a
// node that failed or is in an edit-error status, the load fault of a node
// stored but unreadable (node.h), or another node code.
int matrix_copy_node(MATRIX* dest, MATRIX* src, const int64_t* dc, const int* ch_list, int copy_flags);
// Copies every stored node of src, level by level from the lowest, in file
// order within a level. 0 (nothing copied when src stores no node),
// kMxCopyDiffers (-126) with nothing copied when
// the two differ as matrix_copy_node says, the
// outcome of src's file when the walk cannot take it (mx_file.h, failed_at
// left as it was), or the code of the first node that failed, whose dim
// code goes to failed_at (1 + dim values) when it is given.
int matrix_copy(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags, int64_t* failed_at = nullptr);

// Writes "CHK <msg> <sum> - <size>" to the standard error: the bytes added
// as unsigned numbers into a 32-bit sum.
void block_check_sum(const char* msg, const MATRIX_ALLOC_BLOCK_PARAM* p);

// The ZU library's binder of the two top environments with the command
// line, installed by a program that links the library (the store cannot
// reach it); minimum_matrix_init calls it when set.
using MX_LIBRARY_INIT = void (*)(ZUISP_ENV* env0, ZUISP_ENV* env1, int argc, char** argv);
void set_minimum_library_init(MX_LIBRARY_INIT f);
// Starts ZU, the record store, the library (when installed), clears the
// interrupt hook and starts the matrix store.
void minimum_matrix_init(int argc, char** argv);
