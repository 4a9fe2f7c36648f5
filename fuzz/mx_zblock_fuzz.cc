// Fuzz target: any bytes as a zlib block of a matrix script. Nothing may
// read past the bytes, crash, stop the process or leak; a value that was
// read packs into a block that reads back equal, and a refusal names its
// reason.
#include <cstdint>

#include "base/alloc.h"
#include "matrix_ops/block_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (init_element_types(), true);
  (void)ready;
  if (size > (1u << 24)) return 0;
  const MATRIX_DATA_TYPE* tp = nullptr;
  const char* why = nullptr;
  void* v = mx_zblock_decode(&tp, data, static_cast<int32_t>(size), MX_ATYPE::tagged, &why);
  if (!v) {
    if (!why) __builtin_trap();
    return 0;
  }
  int32_t n = 0;
  uint8_t* z = mx_zblock_encode(&n, tp, v, 1, &why);
  if (!z) __builtin_trap();
  const MATRIX_DATA_TYPE* again_tp = nullptr;
  void* again = mx_zblock_decode(&again_tp, z, n, MX_ATYPE::tagged, &why);
  if (!again || again_tp != tp || tp->cmp(tp, v, again) != 0) __builtin_trap();
  tp->free_data(tp, again);
  tp->free_data(tp, v);
  d_f_ree(z);
  return 0;
}
