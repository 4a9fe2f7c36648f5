// Fuzz target: any bytes as a zlib block. Nothing may crash or leak; an
// accepted stream must say a length inside the ceiling.
#include <climits>
#include <cstdint>

#include "base/alloc.h"
#include "codec/limits.h"
#include "codec/zlib_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  int32_t len = -1;
  void* out = zlib_uncompress(&len, data, static_cast<int32_t>(size));
  if (out) {
    if (len < 0 || static_cast<size_t>(len) > kCodecMaxInflate) __builtin_trap();
    d_f_ree(out);
  }
  return 0;
}
