// Shared by the algebra (algebra.cc), the linear systems (solve.cc) and the
// interpolated reads (interp.cc, newton.cc): vectors as they read them and
// the results they make.
#pragma once

#include <cstdint>

#include "elements/element_impl.h"

namespace mxe {

// Most dimensions of a vector (4-byte elements; 8-byte ones 29).
constexpr int kAlgebraMaxDim = 30;

struct AlgebraView {
  uint8_t* elems;              // first element
  int dim;
  int32_t ix[kAlgebraMaxDim];  // extents
  int64_t count;               // elements
};

// Reads d when it is a vector of type tp whose header leaves room for its
// extents and whose size is in range: true, or false.
bool algebra_view(const MATRIX_DATA_TYPE* tp, const void* d, AlgebraView* v);
// One of the ten numeric vector types, which carry the algebra slots.
bool is_algebra_type(const MATRIX_DATA_TYPE* tp);

struct AlgebraResult {
  void* value = nullptr;       // the new vector, null when it could not be made
  uint8_t* elems = nullptr;    // its first element
};
// A new kind-4 vector of tp from c; its elements are zero only when `zero`.
AlgebraResult algebra_result(const MATRIX_DATA_TYPE* tp, int dim, const int32_t* ix, MX_CACHE* c, bool zero);

// The double matrix (columns, rows) value made from c, or null; its
// elements are left for the caller.
inline AlgebraResult double_matrix(int32_t columns, int32_t rows, MX_CACHE* c) {
  const int32_t ix[2] = {columns, rows};
  return algebra_result(&mx_type_double_v, 2, ix, c, false);
}

// The elements of a double vector made here: 8-aligned, since the header
// length is a multiple of 8 and every allocator hands out 16-aligned
// blocks. (Values from elsewhere are read with load.)
inline double* doubles_of(const AlgebraResult& r) { return reinterpret_cast<double*>(r.elems); }

}  // namespace mxe
