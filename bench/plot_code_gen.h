// Plot code of random points for the plot benchmarks.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "base/endian.h"
#include "matrix_ops/plot_field.h"

// Plot code of n points in random order, each (flags 1, x, y, a 0x31 value),
// cells of cell_bits bits, drawn from seed; the cells and values also go to
// xy and vals when given.
inline std::vector<uint8_t> plot_code_of(size_t n, int cell_bits, uint64_t seed, std::vector<uint16_t>* xy,
                                         std::vector<int64_t>* vals) {
  std::mt19937_64 rng(seed);
  const uint64_t mask = (uint64_t{1} << cell_bits) - 1;
  std::vector<uint8_t> code(n * 16 + 1);
  uint8_t* p = code.data();
  for (size_t i = 0; i < n; ++i, p += 16) {
    uint64_t r = rng();
    auto x = static_cast<uint16_t>(r & mask), y = static_cast<uint16_t>((r >> 16) & mask);
    auto v = static_cast<int64_t>(r >> 40);
    p[0] = 1;
    p[1] = 0;
    store_be16(p + 2, x);
    store_be16(p + 4, y);
    p[6] = kFdIntAdd;
    store_be64(p + 7, static_cast<uint64_t>(v));
    p[15] = 0;
    if (xy) xy->insert(xy->end(), {x, y});
    if (vals) vals->push_back(v);
  }
  *p = 0;
  return code;
}
