// Inside the plot family: the geometry a plot operation reads from its
// matrix, shifts of 16-bit cells and 64-bit coordinates that stay defined
// for any shift count, the maker of the points of a long list, and the
// point order as one integer per point.
#pragma once

#include <cstdint>
#include <vector>

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

// Makes the points of one list in a run: tagged one by one (each freed on
// its own), or from a bump allocator, where points and field arrays are
// carved out of large blocks taken from it (freed with it) rather than
// each taking room in its small blocks.
class PointMaker {
 public:
  PointMaker(int dim, SIMPLE_ALLOC_T* sat, const char* file, int line)
      : dim_(dim), sat_(sat), file_(file), line_(line) {}
  PointMaker(const PointMaker&) = delete;
  PointMaker& operator=(const PointMaker&) = delete;
  SIMPLE_ALLOC_T* sat() const { return sat_; }
  // A zeroed point with its own cells, as new_internal_plot makes it.
  INTERNAL_PLOT* point();
  // A zeroed field array of n elements (room for one at least), len unset.
  IP_FIELD* fields(unsigned n);
  // Any other zeroed piece of a point (bases, field values).
  void* take(size_t bytes);
  // With a bump allocator: the pieces taken next, of `bytes` together (each
  // rounded), lie in one run of memory.
  void reserve(size_t bytes);
  static size_t rounded(size_t bytes) { return (bytes + 7) & ~size_t{7}; }
  static size_t point_bytes(int dim) { return rounded(sizeof(INTERNAL_PLOT) + sizeof(uint16_t) * static_cast<size_t>(dim)); }
  static size_t fields_bytes(unsigned n) { return rounded(sizeof(IP_FIELD) * (n ? n : 1)); }

 private:
  int dim_;
  SIMPLE_ALLOC_T* sat_;
  const char* file_;
  int line_;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  size_t next_block_ = 4096;
};

// Reads the record at p of plot code already checked into a new point of
// mk (in *out); the position after the record.
uint8_t* plot_read_point(PointMaker& mk, INTERNAL_PLOT** out, uint8_t* p, int dim);

// What the points read from one piece of plot code may take. Compressed
// code of a few kilobytes inflates to millions of records, each of which
// costs some twenty times its bytes as a point: the structures made from
// one plot block get the inflate ceiling (256 MiB; QNMX_PLOT_STRUCT_CAP
// sets a lower one in bytes, for tests), and code that needs more is
// refused as damaged before its first point is made. A reader counts each
// checked record, and what it holds beside the points per record.
class PlotRoom {
 public:
  // tagged: the points are allocated one piece at a time (each with the
  // allocator's header), else carved from a bump allocator's blocks.
  PlotRoom(bool tagged, size_t per_record);
  // Counts the point of the checked record at p: false once past the
  // ceiling.
  bool add(const uint8_t* p, int dim);

 private:
  size_t left_;
  size_t per_record_;
  bool tagged_;
};

// The interleaved bits of a point's cells as one integer, whose order is
// cmp_plot's, when every dimension's cell bits fit 64 together: a byte of a
// cell spreads through a table.
class ZKeys {
 public:
  explicit ZKeys(const PlotGeom& g);
  bool usable() const { return bits_ <= 64; }
  int bits() const { return bits_; }
  uint64_t key(const uint16_t* c) const {
    uint64_t k = 0;
    for (int d = 0; d < dim_; ++d) {
      const uint64_t* t = &spread_[static_cast<size_t>(d) * 512];
      k |= t[c[d] & 0xFF] | t[256 + (c[d] >> 8)];
    }
    return k;
  }

 private:
  int dim_;
  int bits_ = 0;
  std::vector<uint64_t> spread_;  // [d][byte][value]
};
