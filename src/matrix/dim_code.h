// Dimension codes: the names of the nodes of a matrix's pyramid, their
// order and hash for the node cache, the numbering of a node's children and
// the child list every node keeps.
//
// A dim code is 1 + dim signed 64-bit values: the level (0 the finest),
// then one coordinate per dimension in level-0 units. Along d a node of
// level l covers 2^s finest units, s = l * dim_divide[d] + block_size[d];
// the node holding a coordinate has its origin with the low s bits cleared.
// Shifts are taken through mx_shift, so no level makes an undefined shift
// (a shift of 64 or more clears everything).
//
// Dim codes are plain arrays and need no lock. A node's child list is read
// and changed under matrix_lock: the public forms take it, the `_` forms
// expect it held. Order, hash and child index are computed on every node
// look-up: shifts, masks and additions, no allocation.
#pragma once

#include <cstdint>

#include "base/alloc.h"
#include "matrix/matrix.h"

// The node shift along d at `level`, clamped to 0..64.
inline int mx_shift(const MATRIX* m, int64_t level, int d) {
  if (level < 0) return 0;
  if (level > 64) return 64;
  int64_t s = level * m->dim_divide[d] + m->block_size[d];
  return s > 64 ? 64 : static_cast<int>(s);
}
// c with its low s bits cleared (0 <= s <= 64).
inline int64_t mx_origin(int64_t c, int s) {
  return s >= 64 ? 0 : static_cast<int64_t>(static_cast<uint64_t>(c) & (~uint64_t{0} << s));
}

// Clears in place, in every coordinate, the bits below the node's size at
// the code's level (the low word of dc[0]).
void normalize_dim_code(const MATRIX* m, int64_t* dc);
// The dim-code order: null first, then by level, then by each origin;
// codes inside one node compare equal. -1, 0 or 1.
int cmp_dim_code(const MATRIX* m, const int64_t* dc1, const int64_t* dc2);
int _cmp_dim_code(const MATRIX* m, const int64_t* dc1, const int64_t* dc2);
// A dim code its holder owns (a tagged block): freed when the holder goes,
// also when a refusal for memory unwinds past it (base/alloc.h). Every
// function that makes a dim code hands it out this way; one that is kept in
// a structure is released into it.
using MxDimCode = Tagged<int64_t>;

// A copy of dc; null for null.
MxDimCode xx_copy_dim_code(const MATRIX* m, const int64_t* dc, const char* file, int line);
#define copy_dim_code(m, dc) xx_copy_dim_code((m), (dc), __FILE__, __LINE__)
// The bucket of m's node table (0 .. m->node_hash.buckets() - 1) of the
// node holding dc.
int _get_node_hash(const MATRIX* m, const int64_t* dc);
// The child index of dc inside node n (level > 0): per dimension the dd
// bits below the child's shift, the first dimension highest.
int64_t _get_dim_code_index(const MATRIX_NODE* n, const int64_t* dc);
// A new dim code of child ix of the node holding dc (level > 0): the
// child's origin. The inverse of _get_dim_code_index.
MxDimCode get_dim_code_from_index(const MATRIX* m, const int64_t* dc, int64_t ix);
// dim_bit_field from the dim_divides: left alone while one is 0; 0 (lists)
// when their sum S > 13; else 2^(S-3) bytes, at least 1.
void _cal_nlist_dim_bit_field(MATRIX* m);

// ---- the child list of a node
// 1 when n has at least one known child.
int check_children(MATRIX_NODE* n);
int _check_children(const MATRIX_NODE* n);
// 1 when the child of n holding dc is in n's list.
int _check_dim_code(const MATRIX_NODE* n, const int64_t* dc);
// Records the child holding dc; dirty marks the node changed for the file
// when the child is new to it, or, while the node loads, notes it for the
// load to compare with the children the file stores (MATRIX_NODE.kids_entered).
void insert_dim_code_index(MATRIX_NODE* n, const int64_t* dc, int dirty);
void _insert_dim_code_index(MATRIX_NODE* n, const int64_t* dc, int dirty);
// Every child (bit-field nodes only).
void allset_dim_code_index(MATRIX_NODE* n, int dirty);
void _allset_dim_code_index(MATRIX_NODE* n, int dirty);
// ORs dim_bit_field bytes of lst into the bit field (bit-field nodes only).
void vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst, int dirty);
void _vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst, int dirty);
// Frees the len codes of a child list and the array.
void _free_nlist_dim_addr(int64_t** addr, int len);

// 0 when a is a power of n (n^0 = 1 included), else -1; -1 for n < 2.
int power_of(uint64_t a, uint64_t n);
// Debug text "+max %i+[%lli " "%llx "... "]"; valid until the calling task
// has handed on 50 further buffers. fmt must be 1 or 2.
const char* pt_dc(const MATRIX* m, const int64_t* dc, int fmt);
