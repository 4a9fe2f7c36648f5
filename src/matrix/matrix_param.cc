// Parameters of a matrix, its sizes and the level geometry derived from
// them, with the limits that keep every shift of the store defined.
#include <algorithm>
#include <cstring>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix/matrix.h"
#include "matrix/matrix_impl.h"

namespace {

// The conflicts of set_matrix_param in the order they are tested: a field
// given in both the matrix's parameters and the new ones.
struct Conflict {
  int code;
  bool (*both)(const MATRIX_PARAM& a, const MATRIX_PARAM& b);
};

template <class F>
bool both_set(F a, F b) {
  return a && b;
}

bool any_pri(const MATRIX_PARAM& a, const MATRIX_PARAM& b) {
  for (int i = 0; i < kMxScriptSlots; ++i)
    if (a.pri_area[i] && b.pri_area[i]) return true;
  return false;
}

bool any_hook(const MATRIX_PARAM& a, const MATRIX_PARAM& b) {
  return both_set(a.read_file, b.read_file) || both_set(a.write_file, b.write_file) ||
         both_set(a.read_net, b.read_net) || both_set(a.close_file, b.close_file) ||
         both_set(a.close_net, b.close_net);
}

const Conflict kConflicts[] = {
    {kMxChannelsSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.channel_nos, b.channel_nos); }},
    {kMxDimSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.dim, b.dim); }},
    {kMxPriSet, any_pri},
    {kMxOpenSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.open_method, b.open_method); }},
    {kMxHookSet, any_hook},
    {kMxNewTokenSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.new_token, b.new_token); }},
    {kMxFreeTokenSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.free_token, b.free_token); }},
    {kMxTriggerSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.trigger, b.trigger); }},
    {kMxFlagsSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.flags, b.flags); }},
    {kMxLevelsSet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.total_levels, b.total_levels); }},
    {kMxModifySet, [](const MATRIX_PARAM& a, const MATRIX_PARAM& b) { return both_set(a.modify_time, b.modify_time); }},
};

template <class F>
void take(F& dst, F src) {
  if (src) dst = src;
}

// Rows of the level geometry in one block: `levels` row pointers, then the
// rows of dim values.
int64_t** new_level_rows(int levels, int dim) {
  size_t bytes = sizeof(int64_t*) * levels + sizeof(int64_t) * static_cast<size_t>(levels) * dim;
  auto** rows = static_cast<int64_t**>(d_calloc(bytes, 1));
  auto* values = reinterpret_cast<int64_t*>(rows + levels);
  for (int l = 0; l < levels; ++l) rows[l] = values + static_cast<size_t>(l) * dim;
  return rows;
}

// The size setters share their checks: dim set, d in range, the limits
// with the new value in place.
int check_size_index(const MATRIX* m, int d) {
  if (!m->p.dim) return kMxDimSet;
  if (d < 0 || d >= m->p.dim) return kMxBadIndex;
  return 0;
}

}  // namespace

// ---- limits and levels

int64_t mx_div_up(int64_t x, int dd) {
  if (dd >= 63) return x > 0 ? 1 : 0;
  int64_t q = x >> dd;
  return (x & ((int64_t{1} << dd) - 1)) ? q + 1 : q;
}

int mx_level_count(int dim, const uint8_t* dim_divide, const int64_t* pixel_size, int forced_levels) {
  if (dim < 1 || !dim_divide || !pixel_size) return 0;
  for (int d = 0; d < dim; ++d)
    if (pixel_size[d] == 0 || dim_divide[d] == 0) return 0;
  if (forced_levels) return forced_levels;
  int levels = 0;
  for (int d = 0; d < dim; ++d) {
    int count = 0;
    for (int64_t x = pixel_size[d]; x > 1; x = mx_div_up(x, dim_divide[d])) ++count;
    levels = std::max(levels, count + 1);
  }
  return levels;
}

int mx_check_limits(int dim, const uint8_t* dim_divide, const uint8_t* block_size, const int64_t* pixel_size,
                    int forced_levels) {
  if (dim < 1 || dim > kMxMaxDim || forced_levels < 0 || forced_levels > kMxMaxLevels) return kMxBadIndex;
  for (int d = 0; d < dim; ++d) {
    if (block_size && block_size[d] > kMxMaxBlockBits) return kMxBadIndex;
    if (pixel_size && pixel_size[d] < 0) return kMxBadIndex;
  }
  int levels = mx_level_count(dim, dim_divide, pixel_size, forced_levels);
  if (levels < 1 || !dim_divide) return 0;
  for (int d = 0; d < dim; ++d) {
    int64_t top = static_cast<int64_t>(levels - 1) * dim_divide[d] + (block_size ? block_size[d] : 0);
    if (top > kMxMaxShift) return kMxBadIndex;
  }
  return 0;
}

void _sync_matrix_geometry(MATRIX* m) {
  assert_matrix_held(m);
  MATRIX_GEOMETRY& g = m->geometry;
  g.dim = m->p.dim;
  g.index_hem = (m->p.flags & kMxIndexHem) ? 1 : 0;
  g.dim_divide = m->dim_divide;
  g.block_size = m->block_size;
  g.pixel_size_list = m->pixel_size_list;
  g.total_levels = m->total_levels;
}

void _cal_matrix_total_levels(MATRIX* m) {
  assert_matrix_held(m);
  m->total_levels = 0;
  int levels = mx_level_count(m->p.dim, m->dim_divide, m->pixel_size, m->p.total_levels);
  if (levels > 0) {
    int dim = m->p.dim;
    int64_t** rows = new_level_rows(levels, dim);
    std::memcpy(rows[0], m->pixel_size, sizeof(int64_t) * dim);
    for (int l = 1; l < levels; ++l)
      for (int d = 0; d < dim; ++d) rows[l][d] = std::max<int64_t>(1, mx_div_up(rows[l - 1][d], m->dim_divide[d]));
    d_f_ree(m->pixel_size_list);
    m->pixel_size_list = rows;
    m->total_levels = levels;
  }
  _sync_matrix_geometry(m);
}

// ---- set_matrix_param

int _set_matrix_param(MATRIX* m, const MATRIX_PARAM* p) {
  assert_matrix_held(m);
  for (const Conflict& c : kConflicts)
    if (c.both(m->p, *p)) return c.code;
  if (p->channel_nos < 0 || p->channel_nos > kMxMaxChannels) return kMxBadIndex;
  if (p->dim && (p->dim < 1 || p->dim > kMxMaxDim)) return kMxBadIndex;
  int dim = p->dim ? p->dim : m->p.dim;
  int forced = p->total_levels ? p->total_levels : m->p.total_levels;
  if (p->total_levels < 0 || p->total_levels > kMxMaxLevels) return kMxBadIndex;
  for (int w : p->pri_area)
    if ((w & 0xFFFF) > 3) return kMxBadIndex;  // no such priority rule
  if (dim && mx_check_limits(dim, m->dim_divide, m->block_size, m->pixel_size, forced) != 0) return kMxBadIndex;

  MATRIX_PARAM& q = m->p;
  if (p->channel_nos) {
    q.channel_nos = p->channel_nos;
    m->channel_info = static_cast<MATRIX_CHANNEL_INFO*>(d_calloc(sizeof(MATRIX_CHANNEL_INFO), p->channel_nos));
  }
  if (p->dim) {
    q.dim = p->dim;
    m->dim_divide = static_cast<uint8_t*>(d_calloc(1, p->dim));
    m->block_size = static_cast<uint8_t*>(d_calloc(1, p->dim));
    m->pixel_size = static_cast<int64_t*>(d_calloc(sizeof(int64_t), p->dim));
  }
  for (int i = 0; i < kMxScriptSlots; ++i) take(q.pri_area[i], p->pri_area[i]);
  take(q.flags, p->flags);
  take(q.modify_time, p->modify_time);
  take(q.open_method, p->open_method);
  take(q.read_file, p->read_file);
  take(q.write_file, p->write_file);
  take(q.read_net, p->read_net);
  take(q.close_file, p->close_file);
  take(q.close_net, p->close_net);
  take(q.new_token, p->new_token);
  take(q.free_token, p->free_token);
  take(q.trigger, p->trigger);
  if (p->total_levels) {
    q.total_levels = p->total_levels;
    _cal_matrix_total_levels(m);
  }
  _sync_matrix_geometry(m);
  return 0;
}

int set_matrix_param(MATRIX* m, const MATRIX_PARAM* p) {
  lock_task(matrix_lock);
  int r = _set_matrix_param(m, p);
  unlock_task(matrix_lock, "set_matrix_param");
  return r;
}

// ---- channels

int _set_matrix_channel_info(MATRIX* m, int ch, const MATRIX_CHANNEL_INFO* inf) {
  assert_matrix_held(m);
  if (ch < 0 || ch >= m->p.channel_nos) return kMxBadIndex;
  MATRIX_CHANNEL_INFO& dst = m->channel_info[ch];
  if (dst.default_data && dst.data_type) {
    MATRIX_DATA_TYPE* old = dst.data_type->parent ? dst.data_type->parent : dst.data_type;
    old->free_data(old, dst.default_data);
  }
  dst = *inf;
  dst.default_data = nullptr;
  if (inf->default_data && inf->data_type) {
    MATRIX_DATA_TYPE* tp = inf->data_type->parent ? inf->data_type->parent : inf->data_type;
    dst.default_data = tp->alloc_copy(tp, inf->default_data, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  }
  return 0;
}

int set_matrix_channel_info(MATRIX* m, int ch, const MATRIX_CHANNEL_INFO* inf) {
  lock_task(matrix_lock);
  int r = _set_matrix_channel_info(m, ch, inf);
  unlock_task(matrix_lock, "set_matrix_channel_info");
  return r;
}

// ---- sizes

int _set_matrix_dim_divide(MATRIX* m, int d, int v) {
  assert_matrix_held(m);
  if (int r = check_size_index(m, d)) return r;
  if (v < 0 || v > 255) return kMxBadIndex;
  uint8_t dd[kMxMaxDim];
  std::memcpy(dd, m->dim_divide, m->p.dim);
  dd[d] = static_cast<uint8_t>(v);
  if (mx_check_limits(m->p.dim, dd, m->block_size, m->pixel_size, m->p.total_levels) != 0) return kMxBadIndex;
  m->dim_divide[d] = static_cast<uint8_t>(v);
  _cal_matrix_total_levels(m);
  _cal_nlist_dim_bit_field(m);
  return 0;
}

int _set_matrix_block_size(MATRIX* m, int d, int v) {
  assert_matrix_held(m);
  if (int r = check_size_index(m, d)) return r;
  if (v < 0 || v > 255) return kMxBadIndex;
  uint8_t bs[kMxMaxDim];
  std::memcpy(bs, m->block_size, m->p.dim);
  bs[d] = static_cast<uint8_t>(v);
  if (mx_check_limits(m->p.dim, m->dim_divide, bs, m->pixel_size, m->p.total_levels) != 0) return kMxBadIndex;
  m->block_size[d] = static_cast<uint8_t>(v);
  return 0;
}

int _set_matrix_pixel_size(MATRIX* m, int d, int64_t v) {
  assert_matrix_held(m);
  if (int r = check_size_index(m, d)) return r;
  int64_t ps[kMxMaxDim];
  std::memcpy(ps, m->pixel_size, sizeof(int64_t) * m->p.dim);
  ps[d] = v;
  if (mx_check_limits(m->p.dim, m->dim_divide, m->block_size, ps, m->p.total_levels) != 0) return kMxBadIndex;
  m->pixel_size[d] = v;
  _cal_matrix_total_levels(m);
  return 0;
}

int set_matrix_dim_divide(MATRIX* m, int d, int v) {
  lock_task(matrix_lock);
  int r = _set_matrix_dim_divide(m, d, v);
  unlock_task(matrix_lock, "set_matrix_dim_divide");
  return r;
}

int set_matrix_block_size(MATRIX* m, int d, int v) {
  lock_task(matrix_lock);
  int r = _set_matrix_block_size(m, d, v);
  unlock_task(matrix_lock, "set_matrix_block_size");
  return r;
}

int set_matrix_pixel_size(MATRIX* m, int d, int64_t v) {
  lock_task(matrix_lock);
  int r = _set_matrix_pixel_size(m, d, v);
  unlock_task(matrix_lock, "set_matrix_pixel_size");
  return r;
}
