// Fuzz target: any bytes as a JPEG stream. Nothing may crash, leak or
// stop the process; a decoded image has sides inside the ceilings and a
// zero fourth byte in every pixel.
#include <cstdint>
#include <cstdlib>

#include "codec/jpeg.h"
#include "codec/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 24)) return 0;
  int32_t w = 0, h = 0;
  uint8_t* img = jpeg_uncompress(&w, &h, data, static_cast<int32_t>(size));
  if (!img) return 0;
  if (w <= 0 || h <= 0 || static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > kCodecMaxPixels) __builtin_trap();
  for (size_t i = 3; i < static_cast<size_t>(w) * static_cast<size_t>(h) * 4; i += 4)
    if (img[i] != 0) __builtin_trap();
  std::free(img);
  return 0;
}
