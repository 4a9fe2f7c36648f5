// The node geometry of a matrix, as the element operations see it: how a
// dimension code names a node, the shape of a node's block, and where a
// child's block lands in its parent's.
//
// A dimension code is 1 + dim signed 64-bit values: the level L (0 the
// finest), then one coordinate per dimension in level-0 units. Along d,
// with dd = dim_divide[d] and bs = block_size[d], a level-L element covers
// 2^(dd * L) level-0 coordinates; a node's origin in level-L elements is
// (c >> (dd * L)) with its low bs bits cleared, and its block has
// min(origin + 2^bs, pixel_size_list[L][d]) - origin elements, one more
// with index_hem.
//
// Every shift stays defined: a geometry is usable only when
// mx_geometry_check accepts it (dim 1..64, bs <= 30, dd * (levels - 1) + bs
// <= 62), and every function refuses levels outside 0 .. total_levels - 1
// and negative coordinates. The matrix store's MATRIX holds one of these
// and passes it to the element operations.
#pragma once

#include <cstdint>

constexpr int kMxMaxDim = 64;
constexpr int kMxMaxBlockBits = 30;
constexpr int kMxMaxShift = 62;

struct MATRIX_GEOMETRY {
  int dim;                                  // number of dimensions
  int index_hem;                            // 1: one extra element per dimension in every block
  const uint8_t* dim_divide;                // dim entries: coordinate bits added per level
  const uint8_t* block_size;                // dim entries: coordinate bits inside one node
  const int64_t* const* pixel_size_list;    // [level][d]: the matrix's extent in level elements
  int total_levels;
};

// 0 when the geometry is usable, -1 otherwise.
int mx_geometry_check(const MATRIX_GEOMETRY* g);
// 0 when dim_code names a level and coordinates of g, -1 otherwise.
int mx_dim_code_check(const MATRIX_GEOMETRY* g, const int64_t* dim_code);
// The block of the node holding dim_code: per dimension its origin (in
// level elements, may be null) and extent. 0, or -1 for a code outside g
// or a node with an extent below 1 (entirely beyond the matrix bound).
int mx_node_shape(const MATRIX_GEOMETRY* g, const int64_t* dim_code, int64_t* origin, int32_t* extent);
// Where the child node holding dim_code lands in the block of its ancestor
// `parent` levels up: per dimension s[d] = dim_divide[d] * parent, the
// child's share ofs[d] (the ancestor's index of the cell holding the
// child's first element) and, when phase is not null, phase[d], how far
// into that cell the child begins: child index i maps to ancestor index
// ((i + phase[d]) >> s[d]) + ofs[d]. The phase is 0 unless the child is
// narrower than a cell (block_size[d] < s[d]), when each cell spans
// 2^(s - block_size) children. 0, or -1 for parent < 0, s above 30, an
// ancestor beyond the top level, or a code outside g.
int mx_node_parent_map(const MATRIX_GEOMETRY* g, const int64_t* dim_code, int parent, int32_t* s, int32_t* ofs,
                       int32_t* phase = nullptr);
// The debug text of a dim code: "+max %i+[%lli " with total_levels and the
// level, "%llx " with each coordinate's node origin, then "]"; handed to
// the calling task's ring of deferred frees.
const char* mx_dim_code_text(const MATRIX_GEOMETRY* g, const int64_t* dim_code);
