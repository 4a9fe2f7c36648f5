// Shared by the pyramid kernels (thinning.cc, level_diff.cc): a vector as
// the kernels read it, and the checked map from a child block into its
// ancestor's block.
#pragma once

#include <cstdint>

#include "elements/element_impl.h"
#include "elements/geometry.h"

namespace mxe {

// Most dimensions a vector can have (4-byte elements; 8-byte ones 29).
constexpr int kMaxVectorDim = 30;

struct KernelVector {
  uint8_t* elems;                  // first element
  int32_t ix[kMaxVectorDim];       // extents
  int64_t stride[kMaxVectorDim];   // elements between neighbours along d
  bool empty;                      // an extent is 0
};

// Reads v when it is a vector of type `code` with `dim` dimensions (1 ..
// kMaxVectorDim) and a header that leaves room for its extents: 0, or -1.
int kernel_vector(const void* v, int code, int dim, KernelVector* kv);

struct ParentMap {
  int dim;
  int32_t s[kMaxVectorDim];      // cell bits along d
  int32_t ofs[kMaxVectorDim];    // the child's share in the ancestor's block
  int32_t phase[kMaxVectorDim];  // where the child begins inside its first cell
  bool narrow;                   // a cell spans several children along some d
};

// The map of the child at dim_code into its ancestor `parent` levels up,
// when every index of a child block with extents `child` lands inside a
// block with extents `target`: 0, or -1.
int parent_map(const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, const int32_t* child,
               const int32_t* target, ParentMap* out);

// The element of type T at element index i of a vector.
template <class T>
inline T at(const KernelVector& v, int64_t i) {
  return load<T>(v.elems + i * static_cast<int64_t>(sizeof(T)));
}
template <class T>
inline void put_at(KernelVector& v, int64_t i, T x) {
  store<T>(v.elems + i * static_cast<int64_t>(sizeof(T)), x);
}

}  // namespace mxe
