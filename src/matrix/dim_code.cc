// Dim codes: order, hash, child numbering and the debug text.
#include "matrix/dim_code.h"

#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "matrix/matrix_impl.h"

namespace {

// Arithmetic right shift for any 0 <= s <= 64.
int64_t shr(int64_t c, int s) { return s >= 64 ? (c < 0 ? -1 : 0) : c >> s; }
// The low dd bits.
uint64_t low_bits(int dd) { return dd >= 64 ? ~uint64_t{0} : (uint64_t{1} << dd) - 1; }
uint64_t shl(uint64_t v, int s) { return s >= 64 ? 0 : v << s; }

}  // namespace

void normalize_dim_code(const MATRIX* m, int64_t* dc) {
  auto level = static_cast<int32_t>(dc[0]);
  for (int d = 0; d < m->p.dim; ++d) dc[d + 1] = mx_origin(dc[d + 1], mx_shift(m, level, d));
}

int _cmp_dim_code(const MATRIX* m, const int64_t* a, const int64_t* b) {
  if (!a || !b) return !a && !b ? 0 : !a ? -1 : 1;
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  for (int d = 0; d < m->p.dim; ++d) {
    int s = mx_shift(m, a[0], d);
    int64_t oa = mx_origin(a[d + 1], s), ob = mx_origin(b[d + 1], s);
    if (oa != ob) return oa < ob ? -1 : 1;
  }
  return 0;
}

int cmp_dim_code(const MATRIX* m, const int64_t* a, const int64_t* b) { return _cmp_dim_code(m, a, b); }

MxDimCode xx_copy_dim_code(const MATRIX* m, const int64_t* dc, const char* file, int line) {
  if (!dc) return nullptr;
  size_t bytes = sizeof(int64_t) * (m->p.dim + 1);
  MxDimCode r(static_cast<int64_t*>(xx_d_alloc(bytes, file, line)));
  std::memcpy(r.get(), dc, bytes);
  return r;
}

int _get_node_hash(const MATRIX* m, const int64_t* dc) {
  // The node's index along each dimension, mixed: origins are multiples of
  // the node size, and their plain sum left most buckets empty and the
  // nodes of a diagonal in one.
  auto h = static_cast<uint64_t>(dc[0]);
  for (int d = 0; d < m->p.dim; ++d) {
    int s = mx_shift(m, dc[0], d);
    uint64_t ix = s >= 64 ? 0 : static_cast<uint64_t>(dc[d + 1]) >> s;
    h = (h ^ ix) * 0x9E3779B97F4A7C15u;
    h ^= h >> 29;
  }
  return static_cast<int>(h % static_cast<uint64_t>(m->node_hash.buckets()));
}

int64_t _get_dim_code_index(const MATRIX_NODE* n, const int64_t* dc) {
  const MATRIX* m = n->matrix;
  int64_t child = n->dim_code[0] - 1;
  uint64_t ix = 0;
  for (int d = 0; d < m->p.dim; ++d) {
    int dd = m->dim_divide[d];
    uint64_t bits = static_cast<uint64_t>(shr(dc[d + 1], mx_shift(m, child, d))) & low_bits(dd);
    ix = shl(ix, dd) | bits;
  }
  return static_cast<int64_t>(ix);
}

MxDimCode get_dim_code_from_index(const MATRIX* m, const int64_t* dc, int64_t ix) {
  MxDimCode owned = copy_dim_code(m, dc);
  int64_t* r = owned.get();
  int64_t level = dc[0];
  r[0] = level - 1;
  for (int d = m->p.dim - 1; d >= 0; --d) {
    int dd = m->dim_divide[d];
    uint64_t part = static_cast<uint64_t>(ix) & low_bits(dd);
    uint64_t origin = static_cast<uint64_t>(mx_origin(r[d + 1], mx_shift(m, level, d)));
    r[d + 1] = static_cast<int64_t>(origin | shl(part, mx_shift(m, level - 1, d)));
    ix = shr(ix, dd);
  }
  return owned;
}

void _cal_nlist_dim_bit_field(MATRIX* m) {
  assert_matrix_held(m);
  int sum = 0;
  for (int d = 0; d < m->p.dim; ++d) {
    if (m->dim_divide[d] == 0) return;
    sum += m->dim_divide[d];
  }
  if (sum > 13) m->dim_bit_field = 0;
  else m->dim_bit_field = sum >= 3 ? 1 << (sum - 3) : 1;
}

int power_of(uint64_t a, uint64_t n) {
  if (a == 0 || n < 2) return -1;
  while (a % n == 0) a /= n;
  return a == 1 ? 0 : -1;
}

const char* pt_dc(const MATRIX* m, const int64_t* dc, int fmt) {
  if (fmt != 1 && fmt != 2) er_panic("pt_dc");
  return mx_dim_code_text(&m->geometry, dc);
}
