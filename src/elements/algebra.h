// Vector and matrix algebra over the ten numeric vector types, and linear
// systems of doubles.
//
// A matrix is a vector with two dimensions: extent 0 (the fastest) is the
// number of columns, extent 1 the number of rows, so the element in row r
// and column k lies at k + columns * r and rows lie one after another. A
// vector of extents (n, 1) is one row, one of extents (1, n) one column.
//
// Slots (add_vv .. trans_m of the int8 .. double vector descriptors):
//   add_vv, sub_vv  d1 and d2 of the slot's type with equal extents:
//                   element-wise d1 + d2, d1 - d2.
//   mul_sv          d1 the address of one element of the parent type, d2 a
//                   vector of the slot's type: every element times it.
//   mul_mm          d1 (m rows, n columns) times d2 (n rows, p columns):
//                   each element summed from zero in increasing j.
//   trans_m         d1 with two dimensions, rows and columns swapped.
// Arithmetic stays in the element type: signed members wrap in two's
// complement, unsigned ones modulo 2^w, float rounds every product and sum
// to single precision, double works in double.
//
// Every result is a new vector of the operands' type taken from cache c
// (allocation kind 4); the operands are never changed. A result can go back
// to the cache with xx_mxc_free. A refusal (another type, a shape that does
// not fit, a type without the slot, no cache) is a null result and leaves
// nothing allocated.
#pragma once

#include <cstdint>

#include "elements/element_type.h"

#define MXT_ALGEBRA_SLOTS(name)                                                                 \
  void* mxt_add_vv_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c); \
  void* mxt_sub_vv_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c); \
  void* mxt_mul_sv_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c); \
  void* mxt_mul_mm_##name(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c); \
  void* mxt_trans_m_##name(const MATRIX_DATA_TYPE* tp, const void* d1, MX_CACHE* c);

MXT_ALGEBRA_SLOTS(int8)
MXT_ALGEBRA_SLOTS(int16)
MXT_ALGEBRA_SLOTS(int32)
MXT_ALGEBRA_SLOTS(int64)
MXT_ALGEBRA_SLOTS(uint8)
MXT_ALGEBRA_SLOTS(uint16)
MXT_ALGEBRA_SLOTS(uint32)
MXT_ALGEBRA_SLOTS(uint64)
MXT_ALGEBRA_SLOTS(float)
MXT_ALGEBRA_SLOTS(double)

// ---- generic entries: the slot of the type the value's header names
// (mul_sv: d2's; d1 is the scalar). Null for a value of a type without the
// slot, or for a null value.
void* mxt_add_vv(const void* d1, const void* d2, MX_CACHE* c);
void* mxt_sub_vv(const void* d1, const void* d2, MX_CACHE* c);
void* mxt_mul_mm(const void* d1, const void* d2, MX_CACHE* c);
void* mxt_mul_sv(const void* d1, const void* d2, MX_CACHE* c);
void* mxt_trans_m(const void* d1, MX_CACHE* c);

// ---- building vectors (numeric vector types only; null otherwise)
// d1 and d2 of one type and number of dimensions joined along dimension
// ix: every other extent must be equal. (3, 2) joined with (3, 1) along 1
// gives (3, 3), d2's row below d1's rows; (3, 2) with (1, 2) along 0 gives
// (4, 2), d2's column to the right.
void* mxt_compound_vv(const void* d1, const void* d2, int ix, MX_CACHE* mxc);
// The size x size identity matrix of vector type tp (size >= 0).
void* mxt_e_m(const MATRIX_DATA_TYPE* tp, int size, MX_CACHE* mxc);
// A vector of type tp holding the size elements (of tp's parent) of the
// plain array ary: extents (size) for dim 1, the row (size, 1) for dim 2.
void* mxt_get_matrix_from_ary(const MATRIX_DATA_TYPE* tp, const void* ary, int size, int dim, MX_CACHE* mxc);

// ---- linear systems of doubles
// The system of n equations in n variables: a is a double matrix (n, n)
// whose element at j + n * i is the coefficient of variable j in equation
// i; v the right-hand side, a double vector of extents (n), (1, n) or
// (n, 1), element i belonging to equation i. Solved by Gaussian
// elimination with partial pivoting on a working copy. The result is a new
// double matrix (1, n) from c holding the variables; null for a malformed
// system, an input that is not finite, or a pivot that is exactly zero
// (a singular system).
void* resolve_equation_double(const void* a, const void* v, MX_CACHE* c);
// The inverse of the double matrix a (n, n), a new double matrix (n, n)
// from c whose element at j + n * i is row i, column j of the inverse
// (numpy: inv(a.reshape(n, n))); null where resolve_equation_double is.
void* mxt_reverse_double(const void* a, MX_CACHE* c);
