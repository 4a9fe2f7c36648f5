// Shared by the interpolated reads (interp.cc) and the inverse lookup
// (newton.cc): a checked request with the cell of its point, the corner
// reads and the multilinear fold.
#pragma once

#include <cstdint>

#include "elements/geometry.h"
#include "elements/interp.h"

namespace mxe {

// Element kinds of a cache's channels (MX_USER.kind).
constexpr uint8_t kIpDouble = 1;
constexpr uint8_t kIpFloat = 2;

struct IpRequest {
  MX_CACHE_PARAM* p;
  MX_CACHE* c;
  const MX_CACHE_ACCESS_OPS* ops;
  const MATRIX_GEOMETRY* g;
  MX_USER* u;                   // the cache's record: work areas and corner memory
  int dim, ds_len, corners;     // corners = 2^dim
  int count;                    // wanted channels, listed in u->want
  int64_t level;
  double x[kMxIpMaxDim];        // the point
  int64_t t[kMxIpMaxDim];       // truncated toward zero
  int64_t lo[kMxIpMaxDim];      // the cell's origin
  int64_t w[kMxIpMaxDim];       // its width
};

// Checks the cache and p's wanted channels for a read of channel kind
// `kind` and lists them in r.u->want: 0, or -1.
int ip_begin(IpRequest& r, MX_CACHE_PARAM* p, int kind);
// 0 when the point (real xs, or whole ts when given) at `level` can be
// read: a level of the matrix, coordinates finite in 0 .. 2^62 whose
// element lies inside the matrix on that level; else -1.
int ip_check_point(const IpRequest& r, const double* xs, const int64_t* ts, int64_t level);
// Checks the point and makes it r's, with its cell: 0, or -1.
int ip_set_point(IpRequest& r, const double* xs, const int64_t* ts, int64_t level);
// r's point from p->inp_buf (doubles, or floats) at inp_level, or from
// p->dc at its own level (at inp_level when level_from_request): 0 or -1.
int ip_point_from(IpRequest& r, bool floats, bool level_from_request);
// Makes r.u's double corners those of r's cell: remembered ones when they
// still hold it, else read (lenient: a corner that cannot be read holds
// 0.0, and the corners are not remembered). 0, or -1 when a corner could
// not be read (the corner memory is then dropped).
int ip_corners(IpRequest& r, bool lenient);
int ip_fill_corners(IpRequest& r, bool lenient);
// Reads the float corners of r's cell into r.u->fdata: 0 or -1.
int ip_fill_float_corners(IpRequest& r);
// Wanted channel j at r's point from the double corners, v as work.
double ip_gather(const IpRequest& r, int j, double* v);

// Folds the 2^dim corner values v (corner order) at r's point into v[0],
// highest dimension first; each step rounded to float with `to_float`.
template <bool to_float>
inline double ip_fold_as(const IpRequest& r, double* v) {
  for (int d = r.dim - 1; d >= 0; --d) {
    const double x = r.x[d], lo = static_cast<double>(r.lo[d]);
    if (x == lo) continue;
    const double hi = static_cast<double>(r.lo[d] + r.w[d]), w = static_cast<double>(r.w[d]);
    const int half = 1 << d;
    for (int k = 0; k < half; ++k) {
      const double f = (v[k] * (hi - x) + v[k + half] * (x - lo)) / w;
      v[k] = to_float ? static_cast<double>(static_cast<float>(f)) : f;
    }
  }
  return v[0];
}
inline double ip_fold(const IpRequest& r, double* v) { return ip_fold_as<false>(r, v); }
inline double ip_fold_float(const IpRequest& r, double* v) { return ip_fold_as<true>(r, v); }

}  // namespace mxe
