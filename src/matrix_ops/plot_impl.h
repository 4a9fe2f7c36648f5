// Inside the plot family: the geometry a plot operation reads from its
// matrix, and shifts of 16-bit cells and 64-bit coordinates that stay
// defined for any shift count.
#pragma once

#include <cstdint>

#include "matrix/matrix.h"
#include "matrix_ops/plot_code.h"

// The geometry of a matrix that plot_geometry_check accepted.
struct PlotGeom {
  int dim;
  const uint8_t* dd;  // dim_divide
  const uint8_t* bs;  // block_size, each at most 16
};

// False (and nothing set) for a geometry plots refuse.
bool plot_geom(const MATRIX* m, PlotGeom* g);

// The low `bits` bits of a 16-bit cell.
inline uint16_t cell_mask(int bits) { return bits >= 16 ? 0xFFFF : static_cast<uint16_t>((1u << bits) - 1); }
inline uint16_t cell_shr(uint16_t c, int s) { return s >= 16 ? 0 : static_cast<uint16_t>(c >> s); }
inline uint16_t cell_shl(uint16_t c, int s) { return s >= 16 ? 0 : static_cast<uint16_t>(c << s); }
// 64-bit shifts in two's complement arithmetic modulo 2^64.
inline uint64_t bit64(int64_t s) { return s < 0 || s >= 64 ? 0 : uint64_t{1} << s; }
inline uint64_t shl64(uint64_t v, int64_t s) { return s < 0 || s >= 64 ? 0 : v << s; }
inline uint64_t shr64(uint64_t v, int64_t s) { return s < 0 || s >= 64 ? 0 : v >> s; }
