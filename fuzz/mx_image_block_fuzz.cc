// Fuzz target: any bytes as an image block of a matrix script. Nothing may
// read past the bytes, crash, stop the process or leak; an image that was
// read has sides inside the ceilings, and a raw block (of any side up to
// 255) writes back raw to the bytes it was read from.
#include <cstdint>
#include <cstring>

#include "base/alloc.h"
#include "codec/limits.h"
#include "matrix_ops/block_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (init_element_types(), true);
  (void)ready;
  if (size > (1u << 24)) return 0;
  const char* why = nullptr;
  void* v = mx_image_decode(data, static_cast<int32_t>(size), MX_ATYPE::tagged, &why);
  if (!v) {
    if (!why) __builtin_trap();
    return 0;
  }
  MATRIX_DH_SET dh;
  const MATRIX_DATA_TYPE* tp = get_matrix_dh_set(&dh, v);
  if (dh.hd->dim != 2 || (tp != &mx_type_uint8_v && tp != &mx_type_RGB_v)) __builtin_trap();
  if (static_cast<uint64_t>(dh.total_element) > kCodecMaxPixels) __builtin_trap();
  // A raw block of any side the reader takes is written back raw to the
  // bytes it was read from (the block's chooser writes sides of 20 and
  // more as JPEG, by design).
  if (data[1] == 'n') {
    int32_t n = 0;
    uint8_t* again = tp == &mx_type_uint8_v ? mx_glay_compress_1(&n, &dh, 80) : mx_jpeg_compress_1(&n, &dh, 80);
    if (!again || static_cast<size_t>(n) > size || std::memcmp(again, data, static_cast<size_t>(n)) != 0)
      __builtin_trap();
    d_f_ree(again);
  }
  tp->free_data(tp, v);
  return 0;
}
