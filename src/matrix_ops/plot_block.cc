// The plot block plug-in: the block form, making, releasing, copying,
// reading and writing the structure, and the table of its commands.
#include "matrix_ops/plot_block.h"

#include <climits>
#include <cstring>

#include "base/alloc.h"
#include "codec/zlib_block.h"
#include "matrix/struct_block.h"
#include "matrix_ops/plot_block_impl.h"
#include "matrix_ops/plot_level.h"

MX_STRUCT_BLOCK_TBL blk_pp_tbl = {pp_new_sb, pp_free_sb, pp_copy_sb, pp_block2struct, pp_struct2block, pp_operation};

// ---- the block form

bool plot_block_code(const void* bytes, int size, bool compressed, void** inflated, const uint8_t** code,
                     int* code_size) {
  static const uint8_t kEmptyPlot[1] = {0};
  *inflated = nullptr;
  *code = static_cast<const uint8_t*>(bytes);
  *code_size = size;
  if (!compressed) {
    if (size == 0) {
      *code = kEmptyPlot;
      *code_size = 1;
    }
    return true;
  }
  int32_t len = 0;
  void* z = size > 0 && bytes ? zlib_uncompress(&len, bytes, size) : nullptr;
  if (!z || len < 2) {
    d_f_ree(z);
    return false;
  }
  // The type byte says nothing the structure does not know already.
  *inflated = z;
  *code = static_cast<const uint8_t*>(z) + 1;
  *code_size = len - 1;
  return true;
}

int read_plot_block(INTERNAL_PLOT** out, MATRIX* m, const void* bytes, int size, bool compressed,
                    SIMPLE_ALLOC_T* sat) {
  *out = nullptr;
  void* inflated = nullptr;
  const uint8_t* code = nullptr;
  int n = 0;
  if (!plot_block_code(bytes, size, compressed, &inflated, &code, &n)) return -1;
  int err = 0;
  *out = code2internal(m, reinterpret_cast<PRIMITIVE_PLOT*>(const_cast<uint8_t*>(code)), n, sat, &err);
  d_f_ree(inflated);
  return err ? -2 : 0;
}

void* pack_plot_code(void* code, int size, bool compress, int* out_size) {
  *out_size = 0;
  if (!code || size < 0) return nullptr;
  if (!compress) {
    *out_size = size;
    return code;
  }
  void* z = nullptr;
  int32_t len = 0;
  if (size < INT_MAX) {
    auto* typed = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(size) + 1));
    typed[0] = kPpBlockType;
    std::memcpy(typed + 1, code, static_cast<size_t>(size));
    z = zlib_compress(&len, typed, size + 1, kPpZlibLevel);
    d_f_ree(typed);
  }
  d_f_ree(code);
  if (!z) return nullptr;
  *out_size = len;
  return z;
}

void* pack_plot(MATRIX* m, INTERNAL_PLOT* ip, bool compress, int* out_size) {
  int size = 0;
  PRIMITIVE_PLOT* code = internal2code(&size, m, ip);
  *out_size = 0;
  return code ? pack_plot_code(code, size, compress, out_size) : nullptr;
}

// ---- the list and what points into it

PP_STRUCT_BLOCK* pp(MX_STRUCT_BLOCK* b) { return reinterpret_cast<PP_STRUCT_BLOCK*>(b); }

bool pp_list_in_sat(const PP_STRUCT_BLOCK* b) { return b->plot ? b->plot_in_sat : (b->flags & kPpInSat) != 0; }

void pp_drop_counts(PP_STRUCT_BLOCK* b) {
  d_f_ree(b->child_cnt);
  b->child_cnt = nullptr;
  b->child_cnt_max = 0;
}

void pp_release_list(PP_STRUCT_BLOCK* b) {
  if (b->plot_in_sat) free_smp(&b->sat);
  else free_internal_plot_list(b->plot);
  b->plot = nullptr;
  b->plot_in_sat = false;
  b->min = -1;
  if (b->ary) std::memset(b->ary, 0, sizeof(INTERNAL_PLOT*) * static_cast<size_t>(b->ary_cells));
  pp_drop_counts(b);
}

namespace {

// Replaces the list by the one the block holds: 0, or -1 with the list kept.
int read_into(PP_STRUCT_BLOCK* b, const void* bytes, int size) {
  bool in_sat = (b->flags & kPpInSat) != 0;
  SIMPLE_ALLOC_T fresh{};
  INTERNAL_PLOT* ip = nullptr;
  if (read_plot_block(&ip, b->h.n.m, bytes, size, (b->flags & kPpCompressed) != 0, in_sat ? &fresh : nullptr) != 0) {
    free_smp(&fresh);
    return -1;
  }
  pp_release_list(b);
  b->sat = fresh;
  b->plot = ip;
  b->plot_in_sat = in_sat;
  return 0;
}

// A block record owning the tagged bytes.
MATRIX_ALLOC_BLOCK_PARAM* own_block(void* bytes, int size) {
  MATRIX_ALLOC_BLOCK_PARAM src{};
  src.size = size;
  src.block = bytes;
  auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(mx_type_block.alloc_data(
      &mx_type_block, MX_ATYPE::tagged | MX_ATYPE_ADOPT, &src, nullptr, __FILE__, __LINE__));
  r->data_kind = static_cast<int32_t>(MX_ATYPE::tagged);
  return r;
}

}  // namespace

// ---- the hooks

MX_STRUCT_BLOCK* pp_new_sb(MX_SB_NEW* n, void* param) {
  const auto* p = static_cast<const PP_SB_NEW*>(param);
  auto* b = static_cast<PP_STRUCT_BLOCK*>(d_calloc(sizeof(PP_STRUCT_BLOCK), 1));
  b->flags = p ? p->flags : 0;
  b->min = -1;
  if (!mx_sb_place(&b->h, n, &blk_pp_tbl) || plot_geometry_check(b->h.n.m) != 0 ||
      (p && p->data && read_into(b, p->data, p->size) != 0)) {
    d_f_ree(b);
    return nullptr;
  }
  return &b->h;
}

void pp_free_sb(MX_STRUCT_BLOCK* blk) {
  if (!blk) return;
  mx_sb_forget(blk);
  PP_STRUCT_BLOCK* b = pp(blk);
  pp_release_list(b);
  free_smp(&b->sat);
  d_f_ree(b->ary_size);
  d_f_ree(b->ary);
  d_f_ree(b);
}

MX_STRUCT_BLOCK* pp_copy_sb(MX_STRUCT_BLOCK* blk) {
  PP_STRUCT_BLOCK* s = pp(blk);
  auto* b = static_cast<PP_STRUCT_BLOCK*>(d_calloc(sizeof(PP_STRUCT_BLOCK), 1));
  b->h = s->h;
  b->flags = s->flags;
  b->min = -1;
  b->plot = copy_internal_plot(s->h.n.m, s->plot);
  return &b->h;
}

int pp_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* p) {
  PP_STRUCT_BLOCK* b = pp(blk);
  if (!p || read_into(b, p->block, p->size) != 0) return -1;
  set_pp_density(b);
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* pp_struct2block(MX_STRUCT_BLOCK* blk) {
  PP_STRUCT_BLOCK* b = pp(blk);
  int size = 0;
  void* bytes = pack_plot(b->h.n.m, b->plot, (b->flags & kPpCompressed) != 0, &size);
  return bytes ? own_block(bytes, size) : nullptr;
}

int pp_operation(int cmd, MX_STRUCT_BLOCK* blk, void* param) {
  using Command = int (*)(PP_STRUCT_BLOCK*, void*);
  static constexpr Command kCommands[] = {nullptr,      pp_cmd_insert,  pp_cmd_none, pp_cmd_sort,
                                          pp_cmd_divide, pp_cmd_take,   pp_cmd_get,  pp_cmd_replace,
                                          pp_cmd_density, pp_cmd_array, pp_cmd_free_array};
  if (!blk || cmd < 1 || cmd >= static_cast<int>(std::size(kCommands))) return -2;
  return kCommands[cmd](pp(blk), param);
}
