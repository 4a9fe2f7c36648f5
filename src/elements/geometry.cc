#include "elements/geometry.h"

#include <cstdio>
#include <string>

#include "base/alloc.h"
#include "base/tempbuf.h"

int mx_geometry_check(const MATRIX_GEOMETRY* g) {
  if (!g || g->dim < 1 || g->dim > kMxMaxDim || g->total_levels < 1) return -1;
  if (!g->dim_divide || !g->block_size || !g->pixel_size_list) return -1;
  for (int d = 0; d < g->dim; ++d) {
    int bs = g->block_size[d], dd = g->dim_divide[d];
    if (bs > kMxMaxBlockBits || static_cast<int64_t>(dd) * (g->total_levels - 1) + bs > kMxMaxShift) return -1;
  }
  return 0;
}

int mx_dim_code_check(const MATRIX_GEOMETRY* g, const int64_t* dim_code) {
  if (mx_geometry_check(g) != 0 || !dim_code) return -1;
  if (dim_code[0] < 0 || dim_code[0] >= g->total_levels) return -1;
  for (int d = 0; d < g->dim; ++d)
    if (dim_code[1 + d] < 0) return -1;
  return 0;
}

int mx_node_shape(const MATRIX_GEOMETRY* g, const int64_t* dim_code, int64_t* origin, int32_t* extent) {
  if (mx_dim_code_check(g, dim_code) != 0) return -1;
  auto level = static_cast<int>(dim_code[0]);
  for (int d = 0; d < g->dim; ++d) {
    int bs = g->block_size[d];
    int64_t o = (dim_code[1 + d] >> (g->dim_divide[d] * level)) & ~((int64_t{1} << bs) - 1);
    int64_t end = o + (int64_t{1} << bs);
    int64_t bound = g->pixel_size_list[level][d];
    if (end >= bound) end = bound;
    int64_t e = end - o;
    if (e < 1) return -1;
    if (origin) origin[d] = o;
    extent[d] = static_cast<int32_t>(e + (g->index_hem ? 1 : 0));
  }
  return 0;
}

int mx_node_parent_map(const MATRIX_GEOMETRY* g, const int64_t* dim_code, int parent, int32_t* s, int32_t* ofs,
                       int32_t* phase) {
  if (parent < 0 || mx_dim_code_check(g, dim_code) != 0) return -1;
  auto level = static_cast<int>(dim_code[0]);
  if (static_cast<int64_t>(level) + parent >= g->total_levels) return -1;
  for (int d = 0; d < g->dim; ++d) {
    int dd = g->dim_divide[d], bs = g->block_size[d];
    int64_t shift = static_cast<int64_t>(dd) * parent;
    if (shift > kMxMaxBlockBits) return -1;
    s[d] = static_cast<int32_t>(shift);
    // The child's origin in its level's elements; the ancestor's element
    // holding it, counted from the ancestor's own origin, is the child's
    // share. A child narrower than a cell shares that element with its
    // neighbours and starts `phase` elements into the cell.
    int64_t origin = (dim_code[1 + d] >> (dd * level)) & ~((int64_t{1} << bs) - 1);
    ofs[d] = static_cast<int32_t>((origin >> shift) & ((int64_t{1} << bs) - 1));
    if (phase) phase[d] = static_cast<int32_t>(origin & ((int64_t{1} << shift) - 1));
  }
  return 0;
}

const char* mx_dim_code_text(const MATRIX_GEOMETRY* g, const int64_t* dim_code) {
  std::string t;
  char buf[64];
  if (g && dim_code) {
    std::snprintf(buf, sizeof buf, "+max %i+[%lli ", g->total_levels, static_cast<long long>(dim_code[0]));
    t = buf;
    bool valid = mx_dim_code_check(g, dim_code) == 0;
    for (int d = 0; d < g->dim && d < kMxMaxDim; ++d) {
      int64_t c = dim_code[1 + d];
      if (valid) c &= ~((int64_t{1} << (g->dim_divide[d] * dim_code[0] + g->block_size[d])) - 1);
      std::snprintf(buf, sizeof buf, "%llx ", static_cast<unsigned long long>(c));
      t += buf;
    }
    t += "]";
  }
  char* out = copy_str(t.c_str());
  set_buffer(out);
  return out;
}
