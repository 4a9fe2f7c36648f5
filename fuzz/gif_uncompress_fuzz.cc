// Fuzz target: any bytes as a GIF stream. Nothing may crash or leak; a
// decoded image agrees with the sizes it reports.
#include <cstdint>
#include <cstring>

#include "base/alloc.h"
#include "codec/gif.h"
#include "codec/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 24)) return 0;
  int32_t w = -1, h = -1;
  GIF_ENV ge;
  std::memset(&ge, 0, sizeof ge);
  uint8_t* img = gif_uncompress(&w, &h, &ge, data, static_cast<int32_t>(size));
  if (!img) return 0;
  if (w <= 0 || h <= 0 || w != ge.width || h != ge.height ||
      static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > kCodecMaxPixels)
    __builtin_trap();
  if (d_alloc_size(img) != static_cast<size_t>(w) * static_cast<size_t>(h) * 4) __builtin_trap();
  d_f_ree(img);
  return 0;
}
