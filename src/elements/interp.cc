// Interpolated reads and slope estimates through an element-access cache:
// the checked request, the corner memory on the cache's user header, the
// multilinear fold, and the double, float and batch reads built on them.
#include "elements/interp.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "base/alloc.h"
#include "elements/algebra_impl.h"
#include "elements/geometry.h"
#include "elements/interp_impl.h"
#include "elements/pool.h"
#include "stream/stream.h"

int _mx_deb_flag = 0;

namespace {

const MX_CACHE_ACCESS_OPS* access_ops = nullptr;

// Coordinates are refused from 2^62 on: every shift of the geometry stays
// below 63 bits and a coordinate plus a cell width cannot overflow.
constexpr double kMaxCoordinate = 4611686018427387904.0;
constexpr int64_t kMaxCoordinateInt = int64_t{1} << 62;

size_t align8(size_t n) { return (n + 7) & ~size_t{7}; }

// The cache's MX_USER, or null when its user header holds no such record.
MX_USER* user_of(const MX_CACHE_ACCESS_OPS* ops, MX_CACHE* c) {
  mx_user_header* h = *ops->user_header(c);
  return h && h->free_func == free_user_cache_double ? reinterpret_cast<MX_USER*>(h) : nullptr;
}

void print_corner(const char* tag, const double* v, int n) {
  ss_printf("%s", tag);
  for (int i = 0; i < n && i < 3; ++i) ss_printf(" %f", v[i]);
  ss_printf("\n");
}

}  // namespace

void set_mx_cache_access_ops(const MX_CACHE_ACCESS_OPS* ops) { access_ops = ops; }

// ---------------------------------------------------------------------------
// The record

MX_USER* new_user_cache_double(MX_CACHE* c) {
  const MX_CACHE_ACCESS_OPS* ops = access_ops;
  if (!ops || !c) return nullptr;
  const MATRIX_GEOMETRY* g = ops->geometry(c);
  const int ds_len = ops->channels(c);
  if (!g || g->dim < 1 || g->dim > kMxIpMaxDim || ds_len < 1 || ds_len >= kMxcNoSlot) return nullptr;
  const int dim = g->dim;
  const size_t corners = size_t{1} << dim, n = static_cast<size_t>(ds_len);
  if (static_cast<int64_t>(corners * n) > kMxIpMaxValues) return nullptr;
  if (MX_USER* u = user_of(ops, c); u && u->dim == dim && u->ds_len == ds_len) return u;
  mx_user_header** slot = ops->user_header(c);
  if (mx_user_header* old = *slot) {
    if (old->free_func) old->free_func(c);
    *slot = nullptr;
  }
  // One allocation: the record, then each array 8-aligned.
  const size_t sizes[] = {
      sizeof(int64_t) * (dim + 1),    sizeof(int64_t) * (dim + 1), sizeof(MX_IP_WORK) * corners,
      sizeof(double) * corners * n,   sizeof(double) * 2 * corners, sizeof(float) * corners * n,
      sizeof(float) * 2 * n,          sizeof(int32_t) * n,          sizeof(MX_CACHE_PARAM_IX) * n,
      n,                              n,
  };
  size_t total = align8(sizeof(MX_USER)), at[std::size(sizes)];
  for (size_t i = 0; i < std::size(sizes); ++i) {
    at[i] = total;
    total += align8(sizes[i]);
  }
  auto* base = static_cast<uint8_t*>(d_calloc(total, 1));
  auto* u = reinterpret_cast<MX_USER*>(base);
  u->h.free_func = free_user_cache_double;
  u->point = reinterpret_cast<int64_t*>(base + at[0]);
  u->width = reinterpret_cast<int64_t*>(base + at[1]);
  u->data = reinterpret_cast<MX_IP_WORK*>(base + at[2]);
  u->_data = reinterpret_cast<double*>(base + at[3]);
  u->fold = reinterpret_cast<double*>(base + at[4]);
  u->fdata = reinterpret_cast<float*>(base + at[5]);
  u->fout = reinterpret_cast<float*>(base + at[6]);
  u->want = reinterpret_cast<int32_t*>(base + at[7]);
  u->read_ix = reinterpret_cast<MX_CACHE_PARAM_IX*>(base + at[8]);
  u->have = base + at[9];
  u->kind = base + at[10];
  u->dim = dim;
  u->ds_len = ds_len;
  for (size_t r = 0; r < corners; ++r) u->data[r].data = u->_data + r * n;
  for (int j = 0; j < ds_len; ++j) {
    const MATRIX_DATA_TYPE* tp = ops->channel_type(c, j);
    int code = tp ? mx_scalar_code(tp->type) : 0;
    u->kind[j] = code == MX_TYPE_DOUBLE ? mxe::kIpDouble : code == MX_TYPE_FLOAT ? mxe::kIpFloat : 0;
  }
  *slot = &u->h;
  return u;
}

void free_user_cache_double(MX_CACHE* c) {
  if (!access_ops || !c) return;
  if (MX_USER* u = user_of(access_ops, c)) {
    *access_ops->user_header(c) = nullptr;
    d_f_ree(u);
  }
}

void mx_ip_print_values(const char* str, const double* d, int len) {
  ss_printf("%s ", str);
  for (int i = 0; i < len; ++i) ss_printf("%f ", d[i]);
  ss_printf("\n");
}

// ---------------------------------------------------------------------------
// The checked request

namespace mxe {

int ip_begin(IpRequest& r, MX_CACHE_PARAM* p, int kind) {
  r.ops = access_ops;
  if (!r.ops || !p || !p->c || !p->data_ix) return -1;
  r.p = p;
  r.c = p->c;
  r.u = new_user_cache_double(r.c);
  if (!r.u) return -1;
  r.g = r.ops->geometry(r.c);
  r.dim = r.u->dim;
  r.ds_len = r.u->ds_len;
  r.corners = 1 << r.dim;
  r.count = 0;
  for (int j = 0; j < r.ds_len; ++j) {
    const MX_CACHE_PARAM_IX ix = p->data_ix[j];
    if (ix.x == kMxcNoSlot) continue;
    if (ix.p != 0 || ix.x >= r.ds_len || r.u->kind[j] != kind) return -1;
    r.u->want[r.count++] = j;
  }
  return 0;
}

int ip_check_point(const IpRequest& r, const double* xs, const int64_t* ts, int64_t level) {
  if (level < 0 || level >= r.g->total_levels) return -1;
  for (int d = 0; d < r.dim; ++d) {
    int64_t t;
    if (ts) {
      t = ts[d];
      if (t < 0 || t >= kMaxCoordinateInt) return -1;
    } else {
      // Negated test: NaN fails it too.
      if (!(xs[d] >= 0.0 && xs[d] < kMaxCoordinate)) return -1;
      t = static_cast<int64_t>(xs[d]);
    }
    if ((t >> (level * r.g->dim_divide[d])) >= r.g->pixel_size_list[level][d]) return -1;
  }
  return 0;
}

int ip_set_point(IpRequest& r, const double* xs, const int64_t* ts, int64_t level) {
  if (ip_check_point(r, xs, ts, level) != 0) return -1;
  r.level = level;
  for (int d = 0; d < r.dim; ++d) {
    r.t[d] = ts ? ts[d] : static_cast<int64_t>(xs[d]);
    r.x[d] = ts ? static_cast<double>(ts[d]) : xs[d];
    r.w[d] = int64_t{1} << (level * r.g->dim_divide[d]);
    r.lo[d] = r.t[d] & -r.w[d];
  }
  return 0;
}

int ip_point_from(IpRequest& r, bool floats, bool level_from_request) {
  const MX_CACHE_PARAM* p = r.p;
  double xs[kMxIpMaxDim];
  if (p->inp_buf) {
    for (int d = 0; d < r.dim; ++d)
      xs[d] = floats ? static_cast<double>(load<float>(static_cast<const float*>(p->inp_buf) + d))
                     : load<double>(static_cast<const double*>(p->inp_buf) + d);
    return ip_set_point(r, xs, nullptr, p->inp_level);
  }
  if (!p->dc) return -1;
  return ip_set_point(r, nullptr, p->dc + 1, level_from_request ? p->inp_level : p->dc[0]);
}

namespace {

bool same_cell(const IpRequest& r) {
  const MX_USER* u = r.u;
  if (!u->valid || u->generation != r.ops->generation(r.c) || u->point[0] != r.level) return false;
  for (int d = 0; d < r.dim; ++d)
    if (r.t[d] < u->point[d + 1] || r.t[d] >= u->point[d + 1] + u->width[d + 1]) return false;
  for (int k = 0; k < r.count; ++k)
    if (!u->have[r.u->want[k]]) return false;
  return true;
}

// Corner reads of r's cell put wanted channel j at slot j of buffer 0.
void corner_request(const IpRequest& r, MX_CACHE_PARAM* q, int64_t* dc, int* ofs) {
  MX_USER* u = r.u;
  for (int j = 0; j < r.ds_len; ++j) u->read_ix[j] = {kMxcNoSlot, kMxcNoSlot};
  for (int k = 0; k < r.count; ++k) u->read_ix[u->want[k]] = {0, static_cast<uint16_t>(u->want[k])};
  dc[0] = r.level;
  for (int d = 0; d < r.dim; ++d) dc[d + 1] = r.t[d];
  *q = *r.p;
  q->dc = dc;
  q->ofs = ofs;
  q->data_ix = u->read_ix;
}

void set_offsets(int* ofs, int dim, int corner) {
  for (int d = 0; d < dim; ++d) ofs[d] = (corner >> d) & 1;
}

}  // namespace

int ip_fill_corners(IpRequest& r, bool lenient) {
  MX_USER* u = r.u;
  u->valid = 0;
  int64_t dc[1 + kMxIpMaxDim];
  int ofs[kMxIpMaxDim];
  MX_CACHE_PARAM q;
  corner_request(r, &q, dc, ofs);
  bool failed = false;
  for (int c = 0; c < r.corners; ++c) {
    set_offsets(ofs, r.dim, c);
    double* v = u->data[c].data;
    q.data_ptrs[0] = v;
    if (r.ops->read(&q) != 0) {
      if (!lenient) return -1;
      for (int k = 0; k < r.count; ++k) v[u->want[k]] = 0.0;
      failed = true;
      continue;
    }
    if (_mx_deb_flag) print_corner("-", v, r.ds_len);
  }
  for (int j = 0; j < r.ds_len; ++j) u->have[j] = 0;
  for (int k = 0; k < r.count; ++k) u->have[u->want[k]] = 1;
  if (failed) return 0;  // good for this batch only, never remembered
  u->valid = 1;
  u->generation = r.ops->generation(r.c);
  u->point[0] = r.level;
  for (int d = 0; d < r.dim; ++d) {
    u->point[d + 1] = r.lo[d];
    u->width[d + 1] = r.w[d];
  }
  return 0;
}

int ip_corners(IpRequest& r, bool lenient) {
  if (same_cell(r)) {
    if (_mx_deb_flag)
      for (int c = 0; c < r.corners; ++c) print_corner("-1+", r.u->data[c].data, r.ds_len);
    return 0;
  }
  return ip_fill_corners(r, lenient);
}

int ip_fill_float_corners(IpRequest& r) {
  int64_t dc[1 + kMxIpMaxDim];
  int ofs[kMxIpMaxDim];
  MX_CACHE_PARAM q;
  corner_request(r, &q, dc, ofs);
  for (int c = 0; c < r.corners; ++c) {
    set_offsets(ofs, r.dim, c);
    q.data_ptrs[0] = r.u->fdata + static_cast<size_t>(c) * r.ds_len;
    if (r.ops->read(&q) != 0) return -1;
  }
  return 0;
}

double ip_gather(const IpRequest& r, int j, double* v) {
  for (int c = 0; c < r.corners; ++c) v[c] = r.u->data[c].data[j];
  return ip_fold(r, v);
}

}  // namespace mxe

using namespace mxe;

// ---------------------------------------------------------------------------
// Double reads

int read_mx_ip_double(MX_CACHE_PARAM* p) {
  IpRequest r;
  if (ip_begin(r, p, kIpDouble) != 0 || (r.count > 0 && !p->data_ptrs[0])) return -1;
  if (ip_point_from(r, false, false) != 0 || ip_corners(r, false) != 0) return -1;
  auto* out = static_cast<double*>(p->data_ptrs[0]);
  for (int k = 0; k < r.count; ++k) {
    const int j = r.u->want[k];
    store<double>(out + p->data_ix[j].x, ip_gather(r, j, r.u->fold));
  }
  return 0;
}

namespace {

// The slope matrix (dim, count) of r's cell, element (i, k) from slope(i, j)
// for the k-th wanted channel j.
template <class Slope>
void* slope_matrix(IpRequest& r, Slope slope) {
  AlgebraResult m = double_matrix(r.dim, r.count, r.c);
  if (!m.value) return nullptr;
  double* e = doubles_of(m);
  for (int k = 0; k < r.count; ++k)
    for (int i = 0; i < r.dim; ++i) e[i + r.dim * k] = slope(i, r.u->want[k]);
  return m.value;
}

}  // namespace

void* read_mx_ipdiff_double(MX_CACHE_PARAM* p) {
  IpRequest r;
  if (ip_begin(r, p, kIpDouble) != 0 || ip_point_from(r, false, true) != 0 || ip_corners(r, false) != 0)
    return nullptr;
  // Corner 2^i is the element one step along i from the origin, corner 0.
  return slope_matrix(r, [&r](int i, int j) {
    return (r.u->data[1 << i].data[j] - r.u->data[0].data[j]) / static_cast<double>(r.w[i]);
  });
}

void* read_mx_ipdiff_double2(MX_CACHE_PARAM* p) {
  IpRequest r;
  if (ip_begin(r, p, kIpDouble) != 0 || ip_point_from(r, false, true) != 0 || ip_corners(r, false) != 0)
    return nullptr;
  double* edge = r.u->fold + r.corners;
  return slope_matrix(r, [&r, edge](int i, int j) {
    // Both corners of an edge along i carry that edge's slope; the slopes
    // are then folded at the point like values.
    const int bit = 1 << i;
    const double w = static_cast<double>(r.w[i]);
    for (int c = 0; c < r.corners; ++c) edge[c] = (r.u->data[c | bit].data[j] - r.u->data[c & ~bit].data[j]) / w;
    return ip_fold(r, edge);
  });
}

// ---------------------------------------------------------------------------
// Float reads

namespace {

// The float value of wanted channel j at r's point from the float corners.
float float_value(const IpRequest& r, int j) {
  double* v = r.u->fold;
  for (int c = 0; c < r.corners; ++c) v[c] = r.u->fdata[static_cast<size_t>(c) * r.ds_len + j];
  return static_cast<float>(ip_fold_float(r, v));
}

}  // namespace

int read_mx_ip_float(MX_CACHE_PARAM* p) {
  IpRequest r;
  if (ip_begin(r, p, kIpFloat) != 0 || (r.count > 0 && !p->data_ptrs[0])) return -1;
  if (ip_point_from(r, true, false) != 0 || ip_fill_float_corners(r) != 0) return -1;
  auto* out = static_cast<float*>(p->data_ptrs[0]);
  for (int k = 0; k < r.count; ++k) {
    const int j = r.u->want[k];
    store<float>(out + p->data_ix[j].x, float_value(r, j));
  }
  return 0;
}

void* read_mx_ipdiff_float(MX_CACHE_PARAM* p) {
  IpRequest r;
  if (ip_begin(r, p, kIpFloat) != 0 || ip_point_from(r, true, true) != 0) return nullptr;
  const IpRequest at = r;
  const int32_t ix[2] = {r.dim, r.count};
  AlgebraResult m = algebra_result(&mx_type_float_v, 2, ix, r.c, false);
  if (!m.value) return nullptr;
  float* first = r.u->fout;
  float* second = r.u->fout + r.ds_len;
  for (int i = 0; i < r.dim; ++i) {
    double xs[kMxIpMaxDim];
    for (int side = 0; side < 2; ++side) {
      for (int d = 0; d < r.dim; ++d) xs[d] = at.x[d];
      xs[i] = static_cast<double>(at.lo[i] + side * at.w[i]);
      if (ip_set_point(r, xs, nullptr, at.level) != 0 || ip_fill_float_corners(r) != 0) {
        mxc_free(r.c, m.value);
        return nullptr;
      }
      for (int k = 0; k < r.count; ++k) (side ? second : first)[r.u->want[k]] = float_value(r, r.u->want[k]);
    }
    for (int k = 0; k < r.count; ++k) {
      const int j = r.u->want[k];
      const float slope = (second[j] - first[j]) / static_cast<float>(at.w[i]);
      store<float>(m.elems + sizeof(float) * (i + static_cast<size_t>(r.dim) * k), slope);
    }
  }
  return m.value;
}

// ---------------------------------------------------------------------------
// Batch reads

namespace {

struct Batch {
  const MX_IP_V* in;
  int n;
  int positions;  // L: output arrays
};

// The coordinates and level of point k.
int64_t batch_point(const IpRequest& r, const Batch& b, int k, double* xs) {
  for (int d = 0; d < r.dim; ++d) xs[d] = b.in->data[d][k];
  return b.in->levels ? b.in->levels[k] : r.p->inp_level;
}

int check_batch(IpRequest& r, Batch& b) {
  const auto* in = static_cast<const MX_IP_V*>(r.p->inp_buf);
  if (!in || in->len < 0 || (in->len > 0 && !in->data)) return -1;
  b.in = in;
  b.n = in->len;
  if (b.n > 0)
    for (int d = 0; d < r.dim; ++d)
      if (!in->data[d]) return -1;
  b.positions = 1;
  for (int k = 0; k < r.count; ++k) b.positions = std::max(b.positions, r.p->data_ix[r.u->want[k]].x + 1);
  double xs[kMxIpMaxDim];
  for (int k = 0; k < b.n; ++k) {
    int64_t level = batch_point(r, b, k, xs);
    if (ip_check_point(r, xs, nullptr, level) != 0) return -1;
  }
  return 0;
}

// The output record: the caller's, or a new one in one block of the pool.
MX_IP_V* batch_output(const IpRequest& r, const Batch& b) {
  if (auto* out = static_cast<MX_IP_V*>(r.p->ret_buf)) {
    if (out->len < b.n || !out->data) return nullptr;
    for (int q = 0; q < b.positions; ++q)
      if (!out->data[q]) return nullptr;
    return out;
  }
  const size_t head = align8(sizeof(MX_IP_V) + sizeof(double*) * b.positions);
  const size_t bytes = head + sizeof(double) * static_cast<size_t>(b.n) * b.positions;
  if (bytes > static_cast<size_t>(INT32_MAX)) return nullptr;
  auto* block = static_cast<uint8_t*>(mxc_alloc(r.c, bytes));
  if (!block) return nullptr;
  auto* out = reinterpret_cast<MX_IP_V*>(block);
  out->len = b.n;
  out->levels = nullptr;
  out->data = reinterpret_cast<double**>(block + sizeof(MX_IP_V));
  for (int q = 0; q < b.positions; ++q) out->data[q] = reinterpret_cast<double*>(block + head) + static_cast<size_t>(q) * b.n;
  return out;
}

// Why point k's cell is not the previous point's: 1 another level, 2 a
// coordinate below it, 3 at or past its end; 0 when it is the same.
int batch_reason(const IpRequest& r, const double* xs, int64_t level) {
  if (level != r.level) return 1;
  for (int d = 0; d < r.dim; ++d) {
    if (xs[d] < static_cast<double>(r.lo[d])) return 2;
    if (xs[d] >= static_cast<double>(r.lo[d] + r.w[d])) return 3;
  }
  return 0;
}

}  // namespace

int read_mx_ip_double_v(MX_CACHE_PARAM* cp) {
  IpRequest r;
  Batch b;
  if (ip_begin(r, cp, kIpDouble) != 0 || check_batch(r, b) != 0) return -1;
  MX_IP_V* out = batch_output(r, b);
  if (!out) return -1;
  ss_printf("vec-1\n");
  int counts[4] = {0, 0, 0, 0};
  double xs[kMxIpMaxDim];
  for (int k = 0; k < b.n; ++k) {
    const int64_t level = batch_point(r, b, k, xs);
    const int reason = k == 0 ? 0 : batch_reason(r, xs, level);
    if (k == 0 || reason != 0) {
      ++counts[reason];
      ip_set_point(r, xs, nullptr, level);  // checked with the batch
      ip_corners(r, true);
    } else {
      for (int d = 0; d < r.dim; ++d) r.x[d] = xs[d];
    }
    for (int q = 0; q < b.positions; ++q) out->data[q][k] = 0.0;
    for (int i = 0; i < r.count; ++i) {
      const int j = r.u->want[i];
      out->data[cp->data_ix[j].x][k] = ip_gather(r, j, r.u->fold);
    }
  }
  ss_printf("vec-2 %i :: %i %i %i %i\n", b.n, counts[0], counts[1], counts[2], counts[3]);
  ss_printf("vec-3\n");
  if (!cp->ret_buf) cp->ret_buf = out;
  return 0;
}
