// Fuzz target: any bytes as a PNM file (a scratch file). The header is
// read, then a few pixels through the row cache and the write buffer.
// Nothing may crash or leak; an accepted header lies inside the bytes read.
#include <cstdint>

#include "base/file.h"
#include "codec/pnm.h"
#include "fuzz_file_impl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = fuzz_scratch_path("pnm_fuzz");
  if (!fuzz_put_file(path, data, size)) return 0;
  PPM_INFO p{};
  p.pi_fd = u_open64(path.c_str(), O_RDWR, 0);
  if (p.pi_fd < 0) return 0;
  if (read_header(&p) == 0) {
    if (p.pi_offset <= 0 || static_cast<size_t>(p.pi_offset) > size || p.pi_offset > kPnmHeaderMax) __builtin_trap();
    uint8_t c[3];
    if (p.pi_width <= 4096) {
      for (uint32_t i = 0; i < 12; ++i) read_pixel(&p, i * 3 % (p.pi_width + 1), i, c);
      for (uint32_t i = 0; i < 3; ++i) write_pixel(&p, i, i * 5, c);
    }
  }
  close_ppm(&p);
  u_unlink(path.c_str());
  return 0;
}
