// The point order and the plot-code reader and writer.
#include <climits>
#include <cstring>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/paths.h"
#include "codec/limits.h"
#include "matrix_ops/plot_field_impl.h"
#include "matrix_ops/plot_impl.h"

bool plot_geom(const MATRIX* m, PlotGeom* g) {
  if (!m || m->p.dim < 1 || m->p.dim > 64 || !m->block_size || !m->dim_divide) return false;
  for (int d = 0; d < m->p.dim; ++d) {
    if (m->block_size[d] > kPlotMaxBlockSize) return false;
  }
  *g = PlotGeom{m->p.dim, m->dim_divide, m->block_size};
  return true;
}

int plot_geometry_check(const MATRIX* m) {
  PlotGeom g;
  return plot_geom(m, &g) ? 0 : -1;
}

// The highest differing bit level decides, and within it the lowest
// dimension.
int cmp_plot(const MATRIX* m, const uint16_t* c1, const uint16_t* c2) {
  int best_bit = -1, best_d = 0;
  for (int d = 0; d < m->p.dim; ++d) {
    unsigned x = static_cast<unsigned>(c1[d] ^ c2[d]) & cell_mask(m->block_size[d]);
    if (!x) continue;
    int top = 31 - __builtin_clz(x);
    if (top > best_bit) {
      best_bit = top;
      best_d = d;
    }
  }
  if (best_bit < 0) return 0;
  return (c1[best_d] >> best_bit) & 1 ? 1 : -1;
}

namespace {

// ---- reading

// Bytes of one stored field value after its type byte; -1 when the value
// runs past `left` bytes (the type byte is known to be stored).
int64_t field_bytes(const uint8_t* p, size_t left) {
  switch (*p) {
    case kFdStr: {
      const void* nul = std::memchr(p + 1, 0, left - 1);
      return nul ? static_cast<const uint8_t*>(nul) - p : -1;
    }
    case kFdIntAdd:
    case kFdIntMax:
    case kFdIntMin:
      return 8;
    case kFdIntAvg:
      return 16;
    case kFdRgba:
      return 12;
    default:
      return 0;
  }
}

size_t head_bytes(uint8_t flags, int dim) {
  return 2 + 2 * static_cast<size_t>(dim) + (flags & kPpBase ? 8 * static_cast<size_t>(dim) : 0) +
         (flags & kPpId ? 8 : 0);
}


// The bytes after the type byte of a field of code already checked.
size_t checked_field_bytes(const uint8_t* p) {
  return *p == kFdStr ? std::strlen(reinterpret_cast<const char*>(p + 1)) + 1 : static_cast<size_t>(field_bytes(p, 1));
}

// ---- writing

// Bytes of the record of ip, without the code's final 0; -1 when a field
// cannot be stored.
int64_t record_bytes(const INTERNAL_PLOT* ip, int dim) {
  auto n = static_cast<int64_t>(head_bytes(static_cast<uint8_t>((ip->flags & ~kPpId) | (ip->id ? kPpId : 0)), dim));
  unsigned count = ip->fields ? ip->fields[0].len : 0;
  for (unsigned i = 0; i < count; ++i) {
    IP_FIELD* f = &ip->fields[i];
    if (!fd_stored_type(static_cast<uint8_t>(f->type))) return -1;
    n += 1 + fd_row(f->type)->size(f);
  }
  return n + 1;
}

uint8_t* write_record(uint8_t* p, const INTERNAL_PLOT* ip, int dim) {
  auto flags = static_cast<uint8_t>((ip->flags & ~kPpId) | (ip->id ? kPpId : 0));
  p[0] = flags ? flags : kPpInserted;  // a 0 would end the code
  p[1] = 0;
  p += 2;
  for (int d = 0; d < dim; ++d, p += 2) store_be16(p, ip->c[d]);
  if (flags & kPpBase) {
    for (int d = 0; d < dim; ++d, p += 8) store_be64(p, static_cast<uint64_t>(ip->base[d]));
  }
  if (ip->id) {
    store_be64(p, static_cast<uint64_t>(ip->id));
    p += 8;
  }
  unsigned count = ip->fields ? ip->fields[0].len : 0;
  for (unsigned i = 0; i < count; ++i) {
    IP_FIELD* f = &ip->fields[i];
    *p++ = static_cast<uint8_t>(f->type);
    p = fd_row(f->type)->to_external(f, p);
  }
  *p++ = 0;
  return p;
}

// ---- the room of points

// The pieces of the point of the checked record at p: how many, their
// bytes together (each rounded), its field count.
struct PointPieces {
  size_t count;
  size_t bytes;
  unsigned fields;
};

PointPieces point_pieces(const uint8_t* p, int dim) {
  PointPieces r{2, PointMaker::point_bytes(dim), 0};  // the point, its field array
  if (p[0] & kPpBase) {
    ++r.count;
    r.bytes += PointMaker::rounded(sizeof(int64_t) * static_cast<size_t>(dim));
  }
  for (const uint8_t* f = p + head_bytes(p[0], dim); *f; ++r.fields) {
    size_t room = fd_arith_tbl[*f >> 4].room(f);
    r.count += room ? 1 : 0;
    r.bytes += PointMaker::rounded(room);
    f += 1 + checked_field_bytes(f);
  }
  r.bytes += PointMaker::fields_bytes(r.fields);
  return r;
}

// Each tagged piece carries the allocator's header and malloc's own.
constexpr size_t kTaggedPieceCost = 32;

// Read for each reading: one environment look-up beside a block's worth
// of work.
size_t plot_struct_cap() {
  constexpr auto kCap = static_cast<int64_t>(kCodecMaxInflate);
  return static_cast<size_t>(u_getenv_count("QNMX_PLOT_STRUCT_CAP", kCap, kCap));
}

}  // namespace

PlotRoom::PlotRoom(bool tagged, size_t per_record)
    : left_(plot_struct_cap()), per_record_(per_record), tagged_(tagged) {}

bool PlotRoom::add(const uint8_t* p, int dim) {
  const PointPieces pp = point_pieces(p, dim);
  const size_t cost = pp.bytes + per_record_ + (tagged_ ? pp.count * kTaggedPieceCost : 0);
  if (cost > left_) return false;
  left_ -= cost;
  return true;
}

uint8_t* plot_read_point(PointMaker& mk, INTERNAL_PLOT** out, uint8_t* p, int dim) {
  // The point, its cells and bases, its field array and the fields' values
  // lie in one run of a bump allocator.
  const PointPieces pieces = point_pieces(p, dim);
  const unsigned n = pieces.fields;
  mk.reserve(pieces.bytes);
  uint8_t* q = p + head_bytes(p[0], dim);
  INTERNAL_PLOT* ip = mk.point();
  ip->flags = p[0];
  q = p + 2;
  for (int d = 0; d < dim; ++d, q += 2) ip->c[d] = load_be16(q);
  if (ip->flags & kPpBase) {
    ip->base = static_cast<int64_t*>(mk.take(sizeof(int64_t) * dim));
    for (int d = 0; d < dim; ++d, q += 8) ip->base[d] = static_cast<int64_t>(load_be64(q));
  }
  if (ip->flags & kPpId) {
    ip->id = static_cast<int64_t>(load_be64(q));
    q += 8;
  }
  ip->fields = mk.fields(n);
  for (unsigned i = 0; i < n; ++i) {
    const FIELD_ARITH& kind = fd_arith_tbl[*q >> 4];
    size_t room = kind.room(q);
    ip->fields[i].type = *q;
    q = kind.place(&ip->fields[i], q, room ? mk.take(room) : nullptr);
  }
  ip->fields[0].len = n;
  *out = ip;
  return q + 1;
}

int64_t plot_record_bytes(const uint8_t* p, size_t left, int dim) {
  if (left == 0) return -1;
  if (p[0] == 0) return 0;
  size_t pos = head_bytes(p[0], dim);
  if (pos > left) return -1;
  for (unsigned fields = 0;; ++fields) {
    if (pos >= left || fields > 0xFFFFFF) return -1;
    if (p[pos] == 0) return static_cast<int64_t>(pos + 1);
    if (!fd_stored_type(p[pos])) return -1;
    int64_t v = field_bytes(p + pos, left - pos);
    if (v < 0 || static_cast<size_t>(v) >= left - pos) return -1;
    pos += 1 + static_cast<size_t>(v);
  }
}

namespace {

// Checks the whole code: 0 when every record and the final 0 lie inside
// the n bytes, every field is one that plot code stores and the points
// fit their room, else -1.
int check_code(const uint8_t* p, size_t n, int dim, PlotRoom& room) {
  for (size_t pos = 0;;) {
    int64_t r = pos < n ? plot_record_bytes(p + pos, n - pos, dim) : -1;
    if (r <= 0) return static_cast<int>(r);
    if (!room.add(p + pos, dim)) return -1;
    pos += static_cast<size_t>(r);
  }
}

}  // namespace

INTERNAL_PLOT* code2internal(MATRIX* m, PRIMITIVE_PLOT* ptr, int ptr_size, SIMPLE_ALLOC_T* sat, int* errp) {
  if (errp) *errp = 0;
  PlotGeom g;
  auto* p = reinterpret_cast<uint8_t*>(ptr);
  PlotRoom room(sat == nullptr, 0);
  if (!plot_geom(m, &g) || !p || ptr_size <= 0 || check_code(p, static_cast<size_t>(ptr_size), g.dim, room) != 0) {
    if (errp) *errp = -1;
    return nullptr;
  }
  if (sat) smp_init(sat);
  PointMaker mk(g.dim, sat, __FILE__, __LINE__);
  INTERNAL_PLOT* head = nullptr;
  INTERNAL_PLOT** tail = &head;
  while (*p) {
    p = plot_read_point(mk, tail, p, g.dim);
    tail = &(*tail)->next;
  }
  return head;
}

PRIMITIVE_PLOT* one_internal2code(int* size_p, MATRIX* m, INTERNAL_PLOT* ip) {
  PlotGeom g;
  int64_t n = plot_geom(m, &g) && ip ? record_bytes(ip, g.dim) : -1;
  if (n < 0 || n > INT_MAX) {
    *size_p = -1;
    return nullptr;
  }
  auto* buf = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(n)));
  write_record(buf, ip, g.dim);
  *size_p = static_cast<int>(n);
  return reinterpret_cast<PRIMITIVE_PLOT*>(buf);
}

PRIMITIVE_PLOT* internal2code(int* size_p, MATRIX* m, INTERNAL_PLOT* ip) {
  PlotGeom g;
  *size_p = -1;
  if (!plot_geom(m, &g)) return nullptr;
  int64_t total = 1;
  for (INTERNAL_PLOT* q = ip; q; q = q->next) {
    int64_t n = record_bytes(q, g.dim);
    if (n < 0) return nullptr;
    total += n;
    if (total > INT_MAX) return nullptr;
  }
  auto* buf = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(total)));
  uint8_t* p = buf;
  for (INTERNAL_PLOT* q = ip; q; q = q->next) p = write_record(p, q, g.dim);
  *p = 0;
  *size_p = static_cast<int>(total);
  return reinterpret_cast<PRIMITIVE_PLOT*>(buf);
}
