// Compressed dim codes, the node tree's key and its order.
#include <cstring>

#include "base/endian.h"
#include "matrix/dim_code.h"
#include "matrix/mx_format.h"

namespace {

// Reads exactly `values` values at ptr into dc and the 0xF1 after them,
// reading nothing at or past end. Null when anything is missing or wrong.
const uint8_t* read_values(int64_t* dc, int values, const uint8_t* ptr, const uint8_t* end) {
  for (int i = 0; i < values; ++i) {
    ptr = get_uncompressed_code64_bounded(&dc[i], ptr, end);
    if (!ptr) return nullptr;
  }
  return ptr < end && *ptr == kMxDimCodeEnd ? ptr + 1 : nullptr;
}

// A code the geometry can name: level 0 .. total_levels - 1, coordinates
// not negative.
bool fits(const MATRIX_GEOMETRY* g, const int64_t* dc) {
  if (dc[0] < 0 || dc[0] >= g->total_levels) return false;
  for (int d = 0; d < g->dim; ++d)
    if (dc[d + 1] < 0) return false;
  return true;
}

}  // namespace

uint8_t* get_compressed_dim_code(uint8_t* ptr, const int64_t* dc, int dim) {
  for (int i = 0; i <= dim; ++i) ptr = get_compressed_code64(ptr, dc[i]);
  *ptr++ = kMxDimCodeEnd;
  return ptr;
}

const uint8_t* get_uncompressed_dim_code(int64_t* dc, int max_values, const uint8_t* ptr, const uint8_t* end) {
  if (!ptr) return nullptr;
  for (int n = 0; ptr < end; ++n) {
    if (*ptr == kMxDimCodeEnd) return ptr + 1;
    if (max_values >= 0 && n >= max_values) return nullptr;
    int64_t v = 0;
    ptr = get_uncompressed_code64_bounded(&v, ptr, end);
    if (!ptr) return nullptr;
    if (dc) dc[n] = v;
  }
  return nullptr;
}

int get_dim_code_dimension(const uint8_t* ptr, const uint8_t* end) {
  if (!ptr) return -1;
  int n = 0;
  for (; ptr < end && *ptr != kMxDimCodeEnd; ++n) {
    int64_t v = 0;
    ptr = get_uncompressed_code64_bounded(&v, ptr, end);
    if (!ptr || n >= INT32_MAX - 1) return -1;
  }
  if (ptr >= end || n == 0) return -1;
  return n - 1;
}

const uint8_t* mx_read_dim_code(const MATRIX_GEOMETRY* g, int64_t* dc, const uint8_t* ptr, const uint8_t* end) {
  if (!ptr || g->dim < 1 || g->dim > kMxMaxDim) return nullptr;
  ptr = read_values(dc, g->dim + 1, ptr, end);
  return ptr && fits(g, dc) ? ptr : nullptr;
}

// ---- the node tree's key

int mx_dim_code_key(MX_DIM_CODE* k, int64_t fofs, const int64_t* dc, int dim) {
  k->fofs = fofs;
  return 8 + static_cast<int>(get_compressed_dim_code(k->code, dc, dim) - k->code);
}

void mx_dim_code_endian(void* data, int64_t len) {
  if (!data || len < 8 || !endian_flag) return;
  uint64_t v = 0;
  std::memcpy(&v, data, 8);
  v = __builtin_bswap64(v);
  std::memcpy(data, &v, 8);
}

int mx_dim_code_key_check(const MATRIX_GEOMETRY* g, const void* key, int64_t len) {
  if (!key || len < 9) return -1;
  const auto* p = static_cast<const uint8_t*>(key);
  int64_t dc[1 + kMxMaxDim];
  const uint8_t* end = mx_read_dim_code(g, dc, p + 8, p + len);
  return end == p + len ? 0 : -1;
}

int mx_dim_code_cmp(void* a, void* b, void* w) {
  const auto* m = static_cast<const MATRIX*>(w);
  const MATRIX_GEOMETRY* g = &m->geometry;
  int limit = mx_dim_code_max_bytes(g->dim);
  int64_t da[1 + kMxMaxDim], db[1 + kMxMaxDim];
  const auto* ka = static_cast<const MX_DIM_CODE*>(a);
  const auto* kb = static_cast<const MX_DIM_CODE*>(b);
  // Each read stops at its own 0xF1, so a valid key is read no further
  // than its end even when the limit lies beyond it.
  if (!mx_read_dim_code(g, da, ka->code, ka->code + limit) || !mx_read_dim_code(g, db, kb->code, kb->code + limit))
    return 2;
  if (da[0] != db[0]) return da[0] < db[0] ? -1 : 1;
  for (int d = 0; d < g->dim; ++d) {
    int s = mx_shift(m, da[0], d);
    int64_t oa = mx_origin(da[d + 1], s), ob = mx_origin(db[d + 1], s);
    if (oa != ob) return oa < ob ? -1 : 1;
  }
  return 0;
}
