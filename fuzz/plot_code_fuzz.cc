// Fuzz target: the plot-code reader. The first byte picks the geometry
// (dimension count and block sizes, some above what plots accept); the
// rest is the code, read into the tagged allocator and into a bump
// allocator. Nothing may read past the bytes, crash, stop the process or
// leak; both reads agree, and accepted code writes back to bytes that read
// back to themselves, in any order of the points.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "matrix/matrix.h"
#include "matrix_ops/plot_level.h"

namespace {

std::vector<uint8_t> written(MATRIX* m, INTERNAL_PLOT* ip) {
  int size = 0;
  auto* code = reinterpret_cast<uint8_t*>(internal2code(&size, m, ip));
  if (!code) __builtin_trap();
  std::vector<uint8_t> out(code, code + size);
  d_f_ree(code);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1 << 20)) return 0;
  uint8_t bs[3], dd[3] = {1, 2, 3};
  for (int d = 0; d < 3; ++d) bs[d] = static_cast<uint8_t>(1 + (data[0] >> (2 * d)) % 17);
  MATRIX m{};
  m.p.dim = 1 + data[0] % 3;
  m.block_size = bs;
  m.dim_divide = dd;
  std::vector<uint8_t> code(data + 1, data + size);
  int err = 0, err_sat = 0;
  INTERNAL_PLOT* ip = code2internal(&m, reinterpret_cast<PRIMITIVE_PLOT*>(code.data()), static_cast<int>(code.size()), nullptr, &err);
  SIMPLE_ALLOC_T sat{};
  INTERNAL_PLOT* sp = code2internal(&m, reinterpret_cast<PRIMITIVE_PLOT*>(code.data()), static_cast<int>(code.size()), &sat, &err_sat);
  if (err != err_sat || (err && (ip || sp))) __builtin_trap();
  if (!err) {
    std::vector<uint8_t> once = written(&m, ip);
    if (written(&m, sp) != once) __builtin_trap();
    INTERNAL_PLOT* again = code2internal(&m, reinterpret_cast<PRIMITIVE_PLOT*>(once.data()), static_cast<int>(once.size()), nullptr, &err);
    if (err || written(&m, again) != once) __builtin_trap();
    free_internal_plot_list(sort_plot(&m, again));
  }
  free_internal_plot_list(ip);
  free_smp(&sat);
  return 0;
}
