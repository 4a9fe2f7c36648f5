// Fuzz target: the byte forms of the heuristic layering block and the
// structured array block. Byte 0 picks the dimensions (1 + b % 3), the
// next one per dimension its block size (1 + b % 10); the rest is read by
// both plug-ins. Reading must never read past the bytes, crash, stop the
// process or leak; what the layering block accepts must write bytes that
// read back, and an array of primitive members must write what it read.
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "elements/value.h"
#include "matrix/struct_block.h"
#include "zu/core_init.h"
#include "zu/gc.h"

namespace {

MATRIX* matrix_of(const std::vector<int>& bs) {
  static std::map<std::vector<int>, MATRIX*> made;
  MATRIX*& m = made[bs];
  if (m) return m;
  m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = static_cast<int>(bs.size());
  p.channel_nos = 1;
  set_matrix_param(m, &p);
  for (int d = 0; d < p.dim; ++d) {
    set_matrix_block_size(m, d, bs[static_cast<size_t>(d)]);
    set_matrix_dim_divide(m, d, 1);
    set_matrix_pixel_size(m, d, 1 << 12);
  }
  return m;
}

MATRIX_ALLOC_BLOCK_PARAM view(const uint8_t* data, size_t size) {
  MATRIX_ALLOC_BLOCK_PARAM p{};
  p.size = static_cast<int32_t>(size);
  p.block = const_cast<uint8_t*>(data);
  return p;
}

void free_block(MATRIX_ALLOC_BLOCK_PARAM* b) { mx_type_block.free_data(&mx_type_block, b); }

bool same(const MATRIX_ALLOC_BLOCK_PARAM* a, const MATRIX_ALLOC_BLOCK_PARAM* b) {
  return a && b && a->size == b->size && (a->size == 0 || std::memcmp(a->block, b->block, a->size) == 0);
}

// Reads the bytes with a fresh block of tbl; when they parse, writes them
// again and reads that back into another fresh block.
void check(MX_STRUCT_BLOCK* (*fresh)(MX_SB_NEW*), MX_SB_NEW* where, MATRIX_ALLOC_BLOCK_PARAM* in, bool exact) {
  MX_STRUCT_BLOCK* b = fresh(where);
  if (b->tbl->block2struct(b, in) == 0) {
    MATRIX_ALLOC_BLOCK_PARAM* once = b->tbl->struct2block(b);
    MX_STRUCT_BLOCK* again = fresh(where);
    if (!once || again->tbl->block2struct(again, once) != 0) __builtin_trap();
    MATRIX_ALLOC_BLOCK_PARAM* twice = again->tbl->struct2block(again);
    if (exact && !same(once, twice)) __builtin_trap();
    free_block(twice);
    free_block(once);
    again->tbl->free_sb(again);
  }
  b->tbl->free_sb(b);
}

MX_STRUCT_BLOCK* new_layering(MX_SB_NEW* where) { return hl_new_sb(where, nullptr); }

MX_STRUCT_BLOCK* new_array(MX_SB_NEW* where) {
  SA_NEW init{pr_new_sb(where, nullptr)};
  return sa_new_sb(where, &init);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = false;
  if (!started) {
    started = true;
    init_qnlisp();
    init_matrix();
  }
  if (size < 1) return 0;
  ZuThreadScope scope("fuzz");
  std::vector<int> bs(1 + data[0] % 3);
  if (size < 1 + bs.size()) return 0;
  for (size_t d = 0; d < bs.size(); ++d) bs[d] = 1 + data[1 + d] % 10;
  MX_SB_NEW where{matrix_of(bs), nullptr, 0};
  MATRIX_ALLOC_BLOCK_PARAM in = view(data + 1 + bs.size(), size - 1 - bs.size());
  check(new_layering, &where, &in, false);
  check(new_array, &where, &in, true);
  return 0;
}
