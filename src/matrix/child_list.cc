// The child list of a node: a bit field (one bit per child, child ix in bit
// ix % 8 of byte ix / 8) when the matrix's dim_divides sum to at most 13,
// else a sorted array of the children's dim codes without duplicates.
// Everything here runs under matrix_lock.
#include <cstring>

#include "base/alloc.h"
#include "matrix/dim_code.h"

namespace {

bool has_bit_field(const MATRIX_NODE* n) { return n->nlist_dim_bit_field && n->nlist_dim_bit_field_len > 0; }

int child_bits(const MATRIX* m) {
  int sum = 0;
  for (int d = 0; d < m->p.dim; ++d) sum += m->dim_divide[d];
  return sum;
}

// The bit of child ix, or null when the field is too short for it.
uint8_t* bit_of(const MATRIX_NODE* n, int64_t ix, uint8_t* mask) {
  if (ix < 0 || ix / 8 >= n->nlist_dim_bit_field_len) return nullptr;
  *mask = static_cast<uint8_t>(1u << (ix % 8));
  return n->nlist_dim_bit_field + ix / 8;
}

// The position of the child holding dc in the sorted list: where it is
// (*found set) or where it belongs. child is dc at the child level.
int list_position(const MATRIX_NODE* n, const int64_t* child, bool* found) {
  int lo = 0, hi = n->nlist_dim_addr_len;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    int c = _cmp_dim_code(n->matrix, n->nlist_dim_addr[mid], child);
    if (c == 0) {
      *found = true;
      return mid;
    }
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  *found = false;
  return lo;
}

// dc at the child level of n, in buf (1 + dim values).
const int64_t* at_child_level(const MATRIX_NODE* n, const int64_t* dc, int64_t* buf) {
  std::memcpy(buf, dc, sizeof(int64_t) * (n->matrix->p.dim + 1));
  buf[0] = n->dim_code[0] - 1;
  return buf;
}

}  // namespace

int _check_children(const MATRIX_NODE* n) {
  assert_lock_held(matrix_lock);
  if (n->dim_code[0] == 0) return 0;
  if (has_bit_field(n)) {
    for (int i = 0; i < n->nlist_dim_bit_field_len; ++i)
      if (n->nlist_dim_bit_field[i]) return 1;
    return 0;
  }
  return n->nlist_dim_addr_len > 0 ? 1 : 0;
}

int check_children(MATRIX_NODE* n) {
  lock_task(matrix_lock);
  int r = _check_children(n);
  unlock_task(matrix_lock, "check_children");
  return r;
}

int _check_dim_code(const MATRIX_NODE* n, const int64_t* dc) {
  assert_lock_held(matrix_lock);
  if (n->dim_code[0] == 0) return 0;
  if (has_bit_field(n)) {
    uint8_t mask = 0;
    const uint8_t* b = bit_of(n, _get_dim_code_index(n, dc), &mask);
    return b && (*b & mask) ? 1 : 0;
  }
  int64_t buf[1 + kMxMaxDim];
  bool found = false;
  list_position(n, at_child_level(n, dc, buf), &found);
  return found ? 1 : 0;
}

namespace {

// A child entered with a change mark: a node whose fetch is under way
// compares it with the children it stores once it is read, since the file
// may hold it already; any other is changed now.
void mark_kids_changed(MATRIX_NODE* n) {
  if ((n->status == kMsNew || n->status == kMsLoading) && n->process_token) n->kids_entered = 1;
  else _set_dirty_file(n);
}

}  // namespace

void _insert_dim_code_index(MATRIX_NODE* n, const int64_t* dc, int dirty) {
  assert_lock_held(matrix_lock);
  if (n->dim_code[0] == 0) return;
  if (has_bit_field(n)) {
    uint8_t mask = 0;
    uint8_t* b = bit_of(n, _get_dim_code_index(n, dc), &mask);
    if (!b || (*b & mask)) return;
    *b |= mask;
    if (dirty) mark_kids_changed(n);
    return;
  }
  int64_t buf[1 + kMxMaxDim];
  const int64_t* child = at_child_level(n, dc, buf);
  bool found = false;
  int at = list_position(n, child, &found);
  if (found) return;
  size_t bytes = sizeof(int64_t*) * (n->nlist_dim_addr_len + 1);
  auto** grown = static_cast<int64_t**>(d_re_alloc(n->nlist_dim_addr, bytes));
  if (!grown) return;  // out of memory: the child stays unrecorded
  std::memmove(grown + at + 1, grown + at, sizeof(int64_t*) * (n->nlist_dim_addr_len - at));
  grown[at] = copy_dim_code(n->matrix, child).release();
  n->nlist_dim_addr = grown;
  ++n->nlist_dim_addr_len;
  if (dirty) mark_kids_changed(n);
}

void insert_dim_code_index(MATRIX_NODE* n, const int64_t* dc, int dirty) {
  lock_task(matrix_lock);
  _insert_dim_code_index(n, dc, dirty);
  unlock_task(matrix_lock, "insert_dim_code_index");
}

void _allset_dim_code_index(MATRIX_NODE* n, int dirty) {
  assert_lock_held(matrix_lock);
  if (!has_bit_field(n)) return;
  int bits = child_bits(n->matrix);
  if (bits >= 3) {
    int64_t bytes = int64_t{1} << (bits - 3);
    std::memset(n->nlist_dim_bit_field, 0xFF, bytes < n->nlist_dim_bit_field_len ? bytes : n->nlist_dim_bit_field_len);
  } else {
    n->nlist_dim_bit_field[0] |= static_cast<uint8_t>((1u << (1 << bits)) - 1);
  }
  if (dirty) _set_dirty_file(n);
}

void allset_dim_code_index(MATRIX_NODE* n, int dirty) {
  lock_task(matrix_lock);
  _allset_dim_code_index(n, dirty);
  unlock_task(matrix_lock, "allset_dim_code_index");
}

void _vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst, int dirty) {
  assert_lock_held(matrix_lock);
  if (!has_bit_field(n)) return;
  for (int i = 0; i < n->nlist_dim_bit_field_len; ++i) n->nlist_dim_bit_field[i] |= lst[i];
  if (dirty) _set_dirty_file(n);
}

void vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst, int dirty) {
  lock_task(matrix_lock);
  _vecset_dim_code_index(n, lst, dirty);
  unlock_task(matrix_lock, "vecset_dim_code_index");
}

void _free_nlist_dim_addr(int64_t** addr, int len) {
  if (!addr) return;
  for (int i = 0; i < len; ++i) d_f_ree(addr[i]);
  d_f_ree(addr);
}
