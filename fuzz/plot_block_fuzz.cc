// Fuzz target: the plot block plug-in reading blocks, plain and compressed.
// The first byte picks the geometry (dimension count and block sizes, some
// above what plots accept) and the structure's flags: bit 6 compressed,
// bit 7 the rest is wrapped in a zlib stream behind the type byte first (so
// that mutations reach the code inside), bit 5 the bump allocator. The rest
// is the block. pp_new_sb and pp_block2struct must agree; an accepted block
// writes back to bytes that read back to themselves; the commands on the
// list neither crash nor leak; a refused block leaves the list as it was.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "codec/zlib_block.h"
#include "elements/element_type.h"
#include "matrix/matrix.h"
#include "matrix_ops/plot_block.h"

namespace {

std::vector<uint8_t> written(MX_STRUCT_BLOCK* sb) {
  MATRIX_ALLOC_BLOCK_PARAM* b = pp_struct2block(sb);
  if (!b) __builtin_trap();
  const auto* p = static_cast<const uint8_t*>(b->block);
  std::vector<uint8_t> out(p, p + b->size);
  mx_type_block.free_data(&mx_type_block, b);
  return out;
}

MATRIX_ALLOC_BLOCK_PARAM block(std::vector<uint8_t>& bytes) {
  MATRIX_ALLOC_BLOCK_PARAM p{};
  p.size = static_cast<int32_t>(bytes.size());
  p.block = bytes.data();
  return p;
}

// The commands that need no node, on whatever the structure holds.
void exercise(MX_STRUCT_BLOCK* sb, MATRIX* m) {
  int64_t crd[4] = {0, 5, 300, 70000};
  PPC_INSERT_T in{1, crd, nullptr};
  pp_operation(PPC_INSERT, sb, &in);
  pp_operation(PPC_SORT, sb, nullptr);
  pp_operation(PPC_DENSITY, sb, nullptr);
  if (pp_operation(PPC_ARRAY, sb, nullptr) != -1 || pp_operation(PPC_DIVIDE_CHECK, sb, nullptr) != -1)
    __builtin_trap();  // both need the structure's node
  INTERNAL_PLOT* taken = nullptr;
  pp_operation(PPC_TAKE, sb, &taken);
  pp_operation(PPC_REPLACE, sb, copy_internal_plot(m, taken));
  free_internal_plot_list(taken);
  MX_STRUCT_BLOCK* copy = pp_copy_sb(sb);
  if (written(copy) != written(sb)) __builtin_trap();
  pp_free_sb(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1 << 20)) return 0;
  static const bool types_ready = (init_element_types(), true);  // block records
  (void)types_ready;
  uint8_t bs[3], dd[3] = {1, 2, 1};
  for (int d = 0; d < 3; ++d) bs[d] = static_cast<uint8_t>(1 + (data[0] >> (2 * d)) % 17);
  MATRIX m{};
  m.p.dim = 1 + data[0] % 3;
  m.block_size = bs;
  m.dim_divide = dd;
  int flags = (data[0] & 0x40 ? kPpCompressed : 0) | (data[0] & 0x20 ? kPpInSat : 0);
  std::vector<uint8_t> bytes(data + 1, data + size);
  if (data[0] & 0x80) {
    std::vector<uint8_t> typed{kPpBlockType};
    typed.insert(typed.end(), bytes.begin(), bytes.end());
    int32_t n = 0;
    void* z = zlib_compress(&n, typed.data(), static_cast<int32_t>(typed.size()), kPpZlibLevel);
    if (!z) __builtin_trap();
    bytes.assign(static_cast<uint8_t*>(z), static_cast<uint8_t*>(z) + n);
    d_f_ree(z);
    flags |= kPpCompressed;
  }
  MX_SB_NEW place{&m, nullptr, 0};
  PP_SB_NEW init{bytes.data(), static_cast<int>(bytes.size()), flags};
  if (bytes.empty()) init.data = &m;  // bytes there, none to read
  MX_STRUCT_BLOCK* made = pp_new_sb(&place, &init);
  PP_SB_NEW empty{nullptr, 0, flags};
  MX_STRUCT_BLOCK* sb = pp_new_sb(&place, &empty);
  if (!sb) {  // a geometry plots refuse
    if (made) __builtin_trap();
    return 0;
  }
  std::vector<uint8_t> before = written(sb);
  MATRIX_ALLOC_BLOCK_PARAM p = block(bytes);
  int r = pp_block2struct(sb, &p);
  if ((r == 0) != (made != nullptr)) __builtin_trap();
  if (r == 0) {
    std::vector<uint8_t> once = written(sb);
    if (written(made) != once) __builtin_trap();
    MATRIX_ALLOC_BLOCK_PARAM again = block(once);
    if (pp_block2struct(made, &again) != 0 || written(made) != once) __builtin_trap();
    exercise(sb, &m);
  } else if (written(sb) != before) {
    __builtin_trap();
  }
  pp_free_sb(made);
  pp_free_sb(sb);
  return 0;
}
