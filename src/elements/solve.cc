// Linear systems of doubles: Gaussian elimination with partial pivoting on
// a working copy from the cache's pool, one pass for every right-hand side
// at once (the inverse solves n of them).
#include <cmath>

#include "elements/algebra.h"
#include "elements/algebra_impl.h"
#include "elements/pool.h"

using namespace mxe;

namespace {

// Solves M X = B in place: M is n x n and B n x m, both row after row; X
// replaces B and M is spent. 0, or -1 when a pivot is zero or not finite
// (the system is singular, or too large for doubles).
int eliminate(double* M, double* B, int64_t n, int64_t m) {
  for (int64_t k = 0; k < n; ++k) {
    // The largest magnitude in column k from row k on; the first on ties.
    int64_t p = k;
    double best = std::fabs(M[k * n + k]);
    for (int64_t i = k + 1; i < n; ++i)
      if (std::fabs(M[i * n + k]) > best) best = std::fabs(M[i * n + k]), p = i;
    if (best == 0.0 || !std::isfinite(best)) return -1;
    if (p != k) {
      for (int64_t j = k; j < n; ++j) std::swap(M[k * n + j], M[p * n + j]);
      for (int64_t j = 0; j < m; ++j) std::swap(B[k * m + j], B[p * m + j]);
    }
    const double pivot = M[k * n + k];
    for (int64_t i = k + 1; i < n; ++i) {
      const double f = M[i * n + k] / pivot;
      if (f == 0.0) continue;
      for (int64_t j = k + 1; j < n; ++j) M[i * n + j] -= f * M[k * n + j];
      for (int64_t j = 0; j < m; ++j) B[i * m + j] -= f * B[k * m + j];
    }
  }
  for (int64_t i = n - 1; i >= 0; --i)
    for (int64_t j = 0; j < m; ++j) {
      double s = B[i * m + j];
      for (int64_t q = i + 1; q < n; ++q) s -= M[i * n + q] * B[q * m + j];
      s /= M[i * n + i];
      if (!std::isfinite(s)) return -1;
      B[i * m + j] = s;
    }
  return 0;
}

// The coefficient matrix: a double matrix (n, n) of finite elements; n, or
// -1.
int32_t square_of(const void* a, AlgebraView* v) {
  if (!algebra_view(&mx_type_double_v, a, v) || v->dim != 2 || v->ix[0] != v->ix[1] || v->ix[0] < 1) return -1;
  for (int64_t i = 0; i < v->count; ++i)
    if (!std::isfinite(load<double>(v->elems + 8 * i))) return -1;
  return v->ix[0];
}

// Solves a against the m columns of B (n x m, row after row), working on a
// copy of a from c's pool: 0 or -1.
int solve_copy(const AlgebraView& a, double* B, int64_t m, MX_CACHE* c) {
  const int64_t n = a.ix[0];
  auto* M = static_cast<double*>(mxc_alloc(c, static_cast<size_t>(n * n) * sizeof(double)));
  if (!M) return -1;
  std::memcpy(M, a.elems, static_cast<size_t>(n * n) * sizeof(double));
  int r = eliminate(M, B, n, m);
  mxc_free(c, M);
  return r;
}

}  // namespace

void* resolve_equation_double(const void* a, const void* v, MX_CACHE* c) {
  AlgebraView av, vv;
  const int32_t n = square_of(a, &av);
  if (n < 1 || !algebra_view(&mx_type_double_v, v, &vv) || vv.count != n) return nullptr;
  const bool shaped = (vv.dim == 1) || (vv.dim == 2 && (vv.ix[0] == 1 || vv.ix[1] == 1));
  if (!shaped) return nullptr;
  for (int64_t i = 0; i < n; ++i)
    if (!std::isfinite(load<double>(vv.elems + 8 * i))) return nullptr;
  AlgebraResult x = double_matrix(1, n, c);
  if (!x.value) return nullptr;
  std::memcpy(x.elems, vv.elems, static_cast<size_t>(n) * sizeof(double));
  if (solve_copy(av, doubles_of(x), 1, c) != 0) {
    mxc_free(c, x.value);
    return nullptr;
  }
  return x.value;
}

void* mxt_reverse_double(const void* a, MX_CACHE* c) {
  AlgebraView av;
  const int32_t n = square_of(a, &av);
  if (n < 1) return nullptr;
  AlgebraResult r = double_matrix(n, n, c);
  if (!r.value) return nullptr;
  // Solving against the identity leaves the inverse itself: column i of
  // the result is the solution for unit vector i.
  double* inv = doubles_of(r);
  for (int64_t i = 0; i < int64_t{n} * n; ++i) inv[i] = 0.0;
  for (int64_t i = 0; i < n; ++i) inv[i * n + i] = 1.0;
  if (solve_copy(av, inv, n, c) != 0) {
    mxc_free(c, r.value);
    return nullptr;
  }
  return r.value;
}
