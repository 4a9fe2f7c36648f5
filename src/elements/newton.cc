// The inverse lookup: Newton steps over the interpolated reads with slopes
// from the corners, a level schedule from coarse to fine, the affine model
// as fallback and a grid search when the steps at level 0 do not settle.
#include <algorithm>
#include <cmath>
#include <limits>

#include "elements/algebra.h"
#include "elements/algebra_impl.h"
#include "elements/interp_impl.h"
#include "elements/pool.h"
#include "stream/stream.h"

using namespace mxe;

namespace {

// Conversions that saturate instead of overflowing; NaN gives 0.
int32_t sat_i32(double v) {
  if (!(v == v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// A checked lookup request.
struct Lookup {
  MX_CACHE_PARAM* p;
  int dim;
  int32_t ref[kMxNewtonMaxDim];   // y position of the k-th wanted channel (cache order)
  uint8_t* x;                     // ret_buf's dim elements
  double target[kMxNewtonMaxDim];
  const uint8_t* avg;             // avg_mtx's (dim + 1)^2 elements
  int block0;                     // block_size[0] of the matrix
  int levels;
};

// A double matrix with the given extents; its elements, or null.
uint8_t* matrix_elems(const void* v, int32_t columns, int32_t rows) {
  AlgebraView a;
  if (!algebra_view(&mx_type_double_v, v, &a) || a.dim != 2 || a.ix[0] != columns || a.ix[1] != rows) return nullptr;
  return a.elems;
}

bool all_finite(const uint8_t* e, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (!std::isfinite(load<double>(e + 8 * i))) return false;
  return true;
}

int check_lookup(MX_CACHE_PARAM* p, Lookup* l) {
  IpRequest r;
  if (ip_begin(r, p, kIpDouble) != 0 || r.dim > kMxNewtonMaxDim || r.count != r.dim) return -1;
  l->p = p;
  l->dim = r.dim;
  bool seen[kMxNewtonMaxDim] = {};
  for (int k = 0; k < r.count; ++k) {
    const int x = p->data_ix[r.u->want[k]].x;
    if (x >= r.dim || seen[x]) return -1;
    seen[x] = true;
    l->ref[k] = x;
  }
  const uint8_t* target = matrix_elems(p->inp_buf, 1, r.dim);
  l->x = matrix_elems(p->ret_buf, 1, r.dim);
  l->avg = matrix_elems(p->avg_mtx, r.dim + 1, r.dim + 1);
  if (!target || !l->x || !l->avg || !all_finite(target, r.dim) || !all_finite(l->x, r.dim)) return -1;
  if (!(std::isfinite(p->tolerance) && p->tolerance > 0.0) || !std::isfinite(p->y_tolerance)) return -1;
  if (!std::isfinite(p->try_avg) || p->try_max < 0) return -1;
  if (p->inp_level < 0 || p->inp_level >= r.g->total_levels) return -1;
  for (int d = 0; d < r.dim; ++d) l->target[d] = load<double>(target + 8 * d);
  l->block0 = r.g->block_size[0];
  l->levels = r.g->total_levels;
  return 0;
}

double x_at(const Lookup& l, int d) { return load<double>(l.x + 8 * d); }

// The channels at xs on the request's level into y (by y position): 0 or -1.
int read_at(const Lookup& l, const double* xs, double* y) {
  MX_CACHE_PARAM q = *l.p;
  q.inp_buf = const_cast<double*>(xs);
  q.dc = nullptr;
  q.data_ptrs[0] = y;
  return read_mx_ip_double(&q);
}

// The slopes at xs (forward differences for detail 0, interpolated for 1);
// a double matrix (dim, dim) from the pool, or null.
void* slopes_at(const Lookup& l, const double* xs, int detail) {
  MX_CACHE_PARAM q = *l.p;
  q.inp_buf = const_cast<double*>(xs);
  q.dc = nullptr;
  return detail == 0 ? read_mx_ipdiff_double(&q) : read_mx_ipdiff_double2(&q);
}

// Solves the (n, n) system m against rhs (n values) into out: 0, or -1
// when it has no finite solution.
int solve(MX_CACHE* c, const void* m, const double* rhs, int n, double* out) {
  AlgebraResult v = double_matrix(1, n, c);
  if (!v.value) return -1;
  for (int i = 0; i < n; ++i) doubles_of(v)[i] = rhs[i];
  void* x = resolve_equation_double(m, v.value, c);
  mxc_free(c, v.value);
  if (!x) return -1;
  AlgebraView xv;
  algebra_view(&mx_type_double_v, x, &xv);
  for (int i = 0; i < n; ++i) out[i] = load<double>(xv.elems + 8 * i);
  mxc_free(c, x);
  return 0;
}

// The Newton step from the slopes j: x + dx where j dx = target - y, the
// equation of row k belonging to y position ref[k]; when j has no
// solution, once more with the linear part of the affine model in its
// place. 0, or -1.
int newton_step(const Lookup& l, void* j, const double* xs, const double* y, double* next) {
  MX_CACHE* c = l.p->c;
  const int n = l.dim;
  double rhs[kMxNewtonMaxDim] = {}, dx[kMxNewtonMaxDim] = {};
  for (int k = 0; k < n; ++k) rhs[k] = l.target[l.ref[k]] - y[l.ref[k]];
  int r = solve(c, j, rhs, n, dx);
  if (r != 0) {
    AlgebraView jv;
    algebra_view(&mx_type_double_v, j, &jv);
    for (int k = 0; k < n; ++k)
      for (int i = 0; i < n; ++i)
        store<double>(jv.elems + 8 * (i + n * k), load<double>(l.avg + 8 * (i + (n + 1) * l.ref[k])));
    r = solve(c, j, rhs, n, dx);
  }
  if (r != 0) return -1;
  for (int d = 0; d < n; ++d) next[d] = xs[d] + dx[d];
  return 0;
}

// The affine model's point for the target: the variables (x, 1) of
// avg_mtx against (target, 1). 0, or -1.
int affine_step(const Lookup& l, double* next) {
  double rhs[kMxNewtonMaxDim + 1] = {}, z[kMxNewtonMaxDim + 1] = {};
  for (int d = 0; d < l.dim; ++d) rhs[d] = l.target[d];
  rhs[l.dim] = 1.0;
  if (solve(l.p->c, l.p->avg_mtx, rhs, l.dim + 1, z) != 0) return -1;
  for (int d = 0; d < l.dim; ++d) next[d] = z[d];
  return 0;
}

// One step: its length, or -1.0 when no step could be made. *readable:
// the step started from a point whose channels could be read.
double step(const Lookup& l, int detail, bool* readable) {
  double xs[kMxNewtonMaxDim], y[kMxNewtonMaxDim], next[kMxNewtonMaxDim];
  for (int d = 0; d < l.dim; ++d) xs[d] = x_at(l, d);
  *readable = read_at(l, xs, y) == 0;
  bool moved = false;
  if (*readable && detail <= 1) {
    if (void* j = slopes_at(l, xs, detail)) {
      moved = newton_step(l, j, xs, y, next) == 0;
      mxc_free(l.p->c, j);
    }
  }
  if (!moved && affine_step(l, next) != 0) return -1.0;
  double s = 0.0;
  for (int d = 0; d < l.dim; ++d)
    if (!std::isfinite(next[d])) return -1.0;
  for (int d = 0; d < l.dim; ++d) {
    s += (xs[d] - next[d]) * (xs[d] - next[d]);
    store<double>(l.x + 8 * d, next[d]);
  }
  return std::sqrt(s);
}

// The grid search around ret_buf (see generate_rand).
void search(const Lookup& l, double tr) {
  MX_CACHE_PARAM* p = l.p;
  const int n = l.dim;
  double best = -1.0;
  for (int pass = 0;; ++pass) {
    const int64_t g = sat_i32(2.0 * (tr / 5.0));
    int o[kMxNewtonMaxDim], best_o[kMxNewtonMaxDim] = {};
    for (int d = 0; d < n; ++d) o[d] = -5;
    best = -1.0;
    for (bool more = true; more;) {
      double xs[kMxNewtonMaxDim], y[kMxNewtonMaxDim];
      for (int d = 0; d < n; ++d) xs[d] = x_at(l, d) + static_cast<double>(o[d] * g);
      if (read_at(l, xs, y) == 0) {
        double s = 0.0;
        for (int d = 0; d < n; ++d) s += (y[d] - l.target[d]) * (y[d] - l.target[d]);
        const double dist = std::sqrt(s);
        if (best < 0.0 || dist < best) {
          best = dist;
          for (int d = 0; d < n; ++d) best_o[d] = o[d];
        }
      }
      // The next offsets, the first dimension fastest.
      more = false;
      for (int d = 0; d < n && !more; ++d) {
        if (++o[d] < 6) more = true;
        else o[d] = -5;
      }
    }
    for (int d = 0; d < n; ++d) store<double>(l.x + 8 * d, x_at(l, d) + static_cast<double>(best_o[d] * g));
    if (!(p->tolerance <= tr) || pass == 64) break;
    tr /= 2.0;
  }
  p->result_y_tolerance = best;
}

}  // namespace

double matrix_newton_double_loop(MX_CACHE_PARAM* p, int detail, double) {
  Lookup l;
  if (check_lookup(p, &l) != 0) return -1.0;
  bool readable;
  return step(l, detail, &readable);
}

void generate_rand(MX_CACHE_PARAM* p, double tr) {
  Lookup l;
  if (check_lookup(p, &l) != 0) {
    if (p) p->result_y_tolerance = -1.0;
    return;
  }
  search(l, tr);
}

int matrix_newton_double(MX_CACHE_PARAM* p) {
  Lookup l;
  if (check_lookup(p, &l) != 0) {
    if (p) p->newton_status = 3;
    return -1;
  }
  p->newton_status = 0;
  p->result_y_tolerance = 0.0;
  int steps = 0, level0 = 0, searches = 0;
  double tr = -1.0;
  for (bool first = true;; first = false) {
    int level = p->inp_level;
    int detail = 0;
    if (level == 0 && level0 < 26) {
      if (level0 > 10 && level0 > 1.2 * p->try_avg) {
        p->newton_status = 1;
        detail = 1;
      }
    } else if (level == 0) {
      p->newton_status = 2;
      if (level0 % 10 == 0) {
        search(l, tr);
        // A search that read nothing (-1.0) never ends the lookup as found.
        if (p->y_tolerance != 0.0 && p->result_y_tolerance >= 0.0 && p->result_y_tolerance < p->y_tolerance) break;
        if (++searches == 2) {
          p->newton_status = 3;
          break;
        }
      }
      detail = 1;
    }
    bool readable;
    tr = step(l, detail, &readable);
    if (tr < 0.0) {
      p->newton_status = 3;
      break;
    }
    p->result_tolerance = tr;
    if (tr < p->tolerance && level == 0 && readable) break;
    if (p->try_max != 0 && steps >= p->try_max) {
      p->newton_status = 3;
      break;
    }
    ++steps;
    level0 = level == 0 ? level0 + 1 : 0;
    if (first)
      for (int32_t k = sat_i32(tr / p->tolerance) >> l.block0; k != 0; k >>= 1) ++level;
    p->inp_level = std::clamp(level - 1, 0, l.levels - 1);
  }
  p->try_avg = 0.9 * p->try_avg + 0.1 * steps;
  return 0;
}

void print_ret_buf(const char* str, MX_CACHE_PARAM* p) {
  ss_printf("%s\n", str);
  AlgebraView v;
  if (!p || !algebra_view(&mx_type_double_v, p->ret_buf, &v)) return;
  for (int64_t i = 0; i < v.count; ++i) ss_printf("\t%f\n", load<double>(v.elems + 8 * i));
}
