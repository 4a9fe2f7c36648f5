// The pyramid kernels: the slots that build a coarser node's block from the
// blocks of its children (thinning) and that form and apply differences
// between a node's block and its ancestor's (level differences).
//
// Geometry (elements/geometry.h, mx_node_parent_map): for a child node at
// dim code dc and its ancestor `parent` levels up, along each dimension d
// s = dim_divide[d] * parent, and child index i lands on ancestor index
// ((i + ph) >> s) + ofs[d], where ph (the child's phase) is 0 unless the
// child is narrower than a cell (block_size[d] < s), when it is how far
// into its cell the child begins. A cell is the 2^s child indexes from a
// multiple of 2^s on, cut at the child block's extent.
//
//   thinned_rep  dest[j + ofs] = src[rep - ph + j * 2^s] (per dimension)
//                for every representative inside src; cells without one
//                keep dest's element. rep[d] lies in 0 .. 2^s - 1.
//   thinned_avg  dest[(q >> s) + ofs] = the mean of the cell starting at q.
//                Integers: exact sum (64 bits, 128 for 64-bit elements),
//                divided by the count truncating toward zero. float and
//                double: summed in double in storage order (first dimension
//                fastest), divided once and rounded once to the element
//                type; a NaN in a cell gives NaN. rgb8: each byte lane on
//                its own, unsigned and truncating. Refused when a cell
//                spans several children (block_size < s along some d): one
//                child's block cannot give its mean.
//   v_sub, v_add dest[i] = src1[((i + ph) >> s) + ofs] - / + src2[i]: the
//                ancestor read at the child's resolution. 8- and 16-bit
//                integers saturate (round_int), 32- and 64-bit integers
//                wrap, float and double keep their own precision. Mode
//                "CURVE" (MX_MODE_CURVE, elements/value_mode.h) changes
//                uint8 and rgb8 lanes only: v_sub stores the inverse curve
//                of the difference, v_add adds the curve of the difference
//                code.
//
// Results: 0, or -1 when the call is refused (-2 from the integer members'
// thinned_rep when only dest has another number of dimensions than the
// matrix); a refused call writes nothing. Everything is checked before the
// first write: both or all three vectors carry the member's own type code
// and the matrix's number of dimensions, dim_code names a level and
// coordinates of the geometry (thinning accepts level 0; differences
// refuse it), parent >= 0 with every shift at most 30 and the ancestor
// inside the pyramid, every child index lands inside dest (thinning) or
// src1 (differences), rep lies inside a cell, and v_add/v_sub's dest has
// src2's extents. The kernels keep their working arrays on the stack and
// allocate nothing, except the texts of the string member.
#pragma once

#include <cstdint>

#include "elements/element_type.h"

struct MATRIX_GEOMETRY;

#define MXT_THINNING_SLOTS(name)                                                                         \
  int mxt_##name##_thined_rep(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code, \
                              const int32_t* rep, int parent, void* dest, const void* src);              \
  int mxt_##name##_thined_avg(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code, \
                              int parent, void* dest, const void* src);
#define MXT_DIFFERENCE_SLOTS(name)                                                                   \
  int mxt_##name##_add(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code, \
                       int parent, int a, void* dest, const void* src1, const void* src2);           \
  int mxt_##name##_sub(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code, \
                       int parent, int a, void* dest, const void* src1, const void* src2);
#define MXT_PYRAMID_SLOTS(name) MXT_THINNING_SLOTS(name) MXT_DIFFERENCE_SLOTS(name)

MXT_PYRAMID_SLOTS(int8)
MXT_PYRAMID_SLOTS(int16)
MXT_PYRAMID_SLOTS(int32)
MXT_PYRAMID_SLOTS(int64)
MXT_PYRAMID_SLOTS(uint8)
MXT_PYRAMID_SLOTS(uint16)
MXT_PYRAMID_SLOTS(uint32)
MXT_PYRAMID_SLOTS(uint64)
MXT_PYRAMID_SLOTS(float)
MXT_PYRAMID_SLOTS(double)
MXT_PYRAMID_SLOTS(RGB)

// Texts of the destination vector's kind; a child without a text leaves
// the parent's element without one.
int mxt_string_thined_rep(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code,
                          const int32_t* rep, int parent, void* dest, const void* src);

// The parent colour a combined lane by lane with the child colour b under
// mode opt (colours as 32-bit words, lane j = bits 8j .. 8j + 7).
//   add_RGB: CURVE a_j + curve(b_j), else a_j + b_j; clamped to 0..255.
//   sub_RGB: CURVE the inverse curve of a_j - b_j, else a_j - b_j clamped.
int add_RGB(int a, int b, int opt);
int sub_RGB(int a, int b, int opt);
