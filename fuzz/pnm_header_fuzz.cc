// Fuzz target: any bytes as a PNM file. The header is read, then a few
// pixels through the row cache and the write buffer of a copy. Nothing may
// crash or leak; an accepted header lies inside the bytes read.
#include <cstdint>

#include "codec/pnm.h"
#include "codec_fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFile file(data, size);
  if (file.fd < 0) return 0;
  PPM_INFO p{};
  p.pi_fd = dup(file.fd);
  if (read_header(&p) == 0) {
    if (p.pi_offset <= 0 || static_cast<size_t>(p.pi_offset) > size || p.pi_offset > kPnmHeaderMax) __builtin_trap();
    uint8_t c[3];
    if (p.pi_width <= 4096) {
      for (uint32_t i = 0; i < 12; ++i) read_pixel(&p, i * 3 % (p.pi_width + 1), i, c);
      for (uint32_t i = 0; i < 3; ++i) write_pixel(&p, i, i * 5, c);
    }
  }
  close_ppm(&p);
  return 0;
}
