// Level difference, splice, rebuild and hand-down of plot lists.
#include "matrix_ops/plot_level.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "matrix_ops/plot_field_impl.h"
#include "matrix_ops/plot_impl.h"
#include "stream/stream.h"

namespace {

int refuse(int* errp) {
  if (errp) *errp = -1;
  return -1;
}

void ok(int* errp) {
  if (errp) *errp = 0;
}

// ---- child position inside the parent

struct ChildPos {
  uint16_t pos[64];
  uint16_t mask[64];
};

bool child_pos(const PlotGeom& g, const int64_t* dc, ChildPos* cp) {
  if (!dc || dc[0] < 0 || dc[0] >= 64) return false;
  for (int d = 0; d < g.dim; ++d) {
    int dd = g.dd[d], bs = g.bs[d];
    cp->mask[d] = dd <= bs ? static_cast<uint16_t>(cell_mask(dd) << (bs - dd)) : cell_mask(bs);
    uint64_t cells = shr64(static_cast<uint64_t>(dc[1 + d]), (dc[0] + 1) * dd);
    cp->pos[d] = static_cast<uint16_t>(cells & cp->mask[d]);
  }
  return true;
}

bool in_child(const PlotGeom& g, const ChildPos& cp, const INTERNAL_PLOT* u) {
  for (int d = 0; d < g.dim; ++d) {
    if ((u->c[d] & cp.mask[d]) != cp.pos[d]) return false;
  }
  return true;
}

// ---- diff_pp

// Where diff_pp puts what it makes: the coarse points, the differences
// (each tagged when null), and the fields of a group merged so far.
struct DiffAlloc {
  DiffAlloc(const PlotGeom& g, SIMPLE_ALLOC_T* up_sat, SIMPLE_ALLOC_T* diff_sat)
      : up(g.dim, up_sat, __FILE__, __LINE__), diff(g.dim, diff_sat, __FILE__, __LINE__) {}
  ~DiffAlloc() { free_smp(&scratch); }
  PointMaker up;
  PointMaker diff;
  SIMPLE_ALLOC_T scratch{};
};

// A copy of x without its fields, cells and flags as given.
INTERNAL_PLOT* point_like(const PlotGeom& g, const INTERNAL_PLOT* x, bool keep_base, PointMaker& mk) {
  INTERNAL_PLOT* q = mk.point();
  uint16_t* c = q->c;
  *q = *x;
  q->next = nullptr;
  q->c = c;
  q->fields = nullptr;
  q->base = nullptr;
  if (keep_base && x->base) {
    q->base = static_cast<int64_t*>(mk.take(sizeof(int64_t) * g.dim));
    std::memcpy(q->base, x->base, sizeof(int64_t) * g.dim);
  } else if (!keep_base) {
    q->flags &= static_cast<uint8_t>(~kPpBase);
  }
  return q;
}

bool same_cells(const PlotGeom& g, const uint16_t* a, const INTERNAL_PLOT* x) {
  for (int d = 0; d < g.dim; ++d) {
    if (cell_shr(x->c[d], g.dd[d]) != a[d]) return false;
  }
  return true;
}

void free_if_tagged(INTERNAL_PLOT* ip, SIMPLE_ALLOC_T* sat) {
  if (!sat) free_internal_plot_list(ip);
}

// The fields of the coarse point of the group [x, end), merged in order; the
// steps before the last go to the scratch allocator. 0x08 into *acc when
// two arrays were merged.
IP_FIELD* group_fields(INTERNAL_PLOT* x, INTERNAL_PLOT* end, DiffAlloc& a, unsigned char* acc, int* err) {
  if (x->next == end) return copy_fields(x->fields, a.up.sat());
  IP_FIELD* f = x->fields;
  for (INTERNAL_PLOT* q = x->next; q != end && !*err; q = q->next)
    f = fd_merge_fields(acc, f, q->fields, q->next == end ? a.up.sat() : &a.scratch, err);
  return f;
}

// One group: the run of down's points from x whose coarse cells equal x's.
// Appends its coarse point to *ut and its differences to *dt; the point
// after the run, or x itself when the group is refused.
INTERNAL_PLOT* diff_group(const PlotGeom& g, INTERNAL_PLOT* x, DiffAlloc& a, INTERNAL_PLOT*** ut,
                          INTERNAL_PLOT*** dt, bool* bad) {
  INTERNAL_PLOT* coarse = point_like(g, x, false, a.up);
  for (int d = 0; d < g.dim; ++d) coarse->c[d] = cell_shr(x->c[d], g.dd[d]);
  INTERNAL_PLOT* end = x->next;
  while (end && same_cells(g, coarse->c, end)) end = end->next;
  unsigned char acc = 0;
  int err = 0;
  IP_FIELD* f = group_fields(x, end, a, &acc, &err);
  coarse->fields = f;
  coarse->flags |= acc;
  INTERNAL_PLOT* dhead = nullptr;
  INTERNAL_PLOT** dtail = &dhead;
  for (INTERNAL_PLOT* q = x; q != end && !err; q = q->next) {
    INTERNAL_PLOT* e = point_like(g, q, true, a.diff);
    for (int d = 0; d < g.dim; ++d) e->c[d] = q->c[d] & cell_mask(g.dd[d]);
    if (q == x) e->flags |= kPpGroup;
    if (q != x && q->id == x->id && q->id != 0) e->id = 1;
    e->fields = fd_diff_fields(q->fields, f, a.diff.sat(), &err);
    *dtail = e;
    dtail = &e->next;
  }
  if (err) {
    free_if_tagged(coarse, a.up.sat());
    free_if_tagged(dhead, a.diff.sat());
    *bad = true;
    return x;
  }
  **ut = coarse;
  *ut = &coarse->next;
  **dt = dhead;
  *dt = dtail;
  return end;
}

// ---- add_diff

IP_FIELD* add_fields(IP_FIELD* u, IP_FIELD* e, SIMPLE_ALLOC_T* sat, int* err) {
  if (!e) return nullptr;
  if (!u) return copy_fields(e, sat);
  unsigned nu = u[0].len, ne = e[0].len;
  size_t bytes = sizeof(IP_FIELD) * (ne ? ne : 1);
  auto* r = static_cast<IP_FIELD*>(fd_alloc(bytes, sat));
  std::memset(r, 0, bytes);
  for (unsigned i = 0; i < ne; ++i) {
    IP_FIELD* ei = &e[i];
    IP_FIELD* ui = i < nu ? &u[i] : nullptr;
    const FIELD_TYPE* row = fd_row(ei->type);
    if (row && (!ui || (ei->type & 0xF0) == kFdNone)) {
      row->copy(&r[i], ei, sat);
    } else if (!row || (ui->type & 0xF0) != (ei->type & 0xF0) || row->add(&r[i], ui, ei, sat) != 0) {
      fd_trace_refused(ui ? ui->type : 0, ei->type);
      if (!sat) {
        r[0].len = i;
        free_fields(r);
      }
      *err = -1;
      return nullptr;
    }
  }
  r[0].len = ne;
  return r;
}

// The point of e rebuilt under u; a point that is to get a new object id
// goes to *new_ids (with id 0).
INTERNAL_PLOT* rebuilt_point(const PlotGeom& g, const INTERNAL_PLOT* u, const INTERNAL_PLOT* e, PointMaker& mk,
                             std::vector<INTERNAL_PLOT*>* new_ids, int* err) {
  IP_FIELD* fields = add_fields(u->fields, e->fields, mk.sat(), err);
  if (*err) return nullptr;
  INTERNAL_PLOT* p = mk.point();
  uint16_t* c = p->c;
  *p = *u;
  p->c = c;
  p->flags = e->flags;
  p->next = nullptr;
  p->fields = fields;
  for (int d = 0; d < g.dim; ++d) {
    p->c[d] = static_cast<uint16_t>((cell_shl(u->c[d], g.dd[d]) | e->c[d]) & cell_mask(g.bs[d]));
  }
  p->base = nullptr;
  if ((e->flags & kPpBase) && e->base) {
    p->base = static_cast<int64_t*>(mk.take(sizeof(int64_t) * g.dim));
    std::memcpy(p->base, e->base, sizeof(int64_t) * g.dim);
  }
  bool first = e->flags & kPpGroup;
  bool alone = !e->next || (e->next->flags & kPpGroup);
  if (e->id == 1) {
    p->id = u->id;
  } else if (e->id != 0) {
    p->id = e->id;
  } else if (first && alone) {
    p->id = u->id;
  } else {
    p->id = 0;
    new_ids->push_back(p);
  }
  return p;
}

// New object ids in list order, under one hold of the store's lock.
void give_new_ids(MATRIX* m, const std::vector<INTERNAL_PLOT*>& points) {
  if (points.empty()) return;
  lock_task(matrix_lock);
  for (INTERNAL_PLOT* p : points) p->id = _get_matrix_obj_id(m);
  unlock_task(matrix_lock, "add_diff");
}

}  // namespace

INTERNAL_PLOT* diff_pp(MATRIX* m, INTERNAL_PLOT** diff, INTERNAL_PLOT* down, int* errp) {
  return diff_pp(m, diff, down, nullptr, nullptr, errp);
}

INTERNAL_PLOT* diff_pp(MATRIX* m, INTERNAL_PLOT** diff, INTERNAL_PLOT* down, SIMPLE_ALLOC_T* up_sat,
                       SIMPLE_ALLOC_T* diff_sat, int* errp) {
  ss_printf("diff-1\n");
  *diff = nullptr;
  PlotGeom g;
  if (!plot_geom(m, &g)) return refuse(errp), nullptr;
  ss_printf("diff-2\n");
  DiffAlloc a(g, up_sat, diff_sat);
  INTERNAL_PLOT *u = nullptr, *d = nullptr;
  INTERNAL_PLOT **ut = &u, **dt = &d;
  bool bad = false;
  for (INTERNAL_PLOT* x = down; x && !bad;) x = diff_group(g, x, a, &ut, &dt, &bad);
  if (bad) {
    free_if_tagged(u, up_sat);
    free_if_tagged(d, diff_sat);
    return refuse(errp), nullptr;
  }
  ok(errp);
  *diff = d;
  return u;
}

INTERNAL_PLOT* shift_insert_plot(MATRIX* m, INTERNAL_PLOT* target, INTERNAL_PLOT* ip, const int64_t* dim_code,
                                 int* errp) {
  PlotGeom g;
  ChildPos cp;
  if (!plot_geom(m, &g) || !child_pos(g, dim_code, &cp)) return refuse(errp), target;
  ok(errp);
  if (!ip) return target;
  INTERNAL_PLOT* last = ip;
  while (last->next) last = last->next;
  uint16_t first_c[64], last_c[64];
  for (int d = 0; d < g.dim; ++d) {
    first_c[d] = ip->c[d] | cp.pos[d];
    last_c[d] = last->c[d] | cp.pos[d];
  }
  INTERNAL_PLOT* before = nullptr;
  INTERNAL_PLOT* at = target;
  while (at && cmp_plot(m, at->c, first_c) < 0) {
    before = at;
    at = at->next;
  }
  if (at && cmp_plot(m, at->c, last_c) < 0) return refuse(errp), target;
  for (INTERNAL_PLOT* p = ip; p; p = p->next) {
    for (int d = 0; d < g.dim; ++d) p->c[d] |= cp.pos[d];
  }
  last->next = at;
  if (!before) return ip;
  before->next = ip;
  return target;
}

INTERNAL_PLOT* add_diff(MATRIX* m, INTERNAL_PLOT* up, INTERNAL_PLOT* diff, const int64_t* down_code,
                        SIMPLE_ALLOC_T* sat, int* errp) {
  PlotGeom g;
  ChildPos cp;
  if (!plot_geom(m, &g) || !child_pos(g, down_code, &cp)) return refuse(errp), nullptr;
  INTERNAL_PLOT* u = up;
  while (u && !in_child(g, cp, u)) u = u->next;
  INTERNAL_PLOT* head = nullptr;
  INTERNAL_PLOT** tail = &head;
  INTERNAL_PLOT* e = diff;
  int err = 0;
  std::vector<INTERNAL_PLOT*> new_ids;
  PointMaker mk(g.dim, sat, __FILE__, __LINE__);
  for (; u && e && in_child(g, cp, u); u = u->next) {
    do {
      INTERNAL_PLOT* p = rebuilt_point(g, u, e, mk, &new_ids, &err);
      if (err) {
        if (!sat) free_internal_plot_list(head);
        return refuse(errp), nullptr;
      }
      *tail = p;
      tail = &p->next;
      e = e->next;
    } while (e && !(e->flags & kPpGroup));
  }
  give_new_ids(m, new_ids);
  ok(errp);
  return head;
}

int child_run(MATRIX* m, const uint8_t* code, int n, const int64_t* down_code, int* from, int* to, int* points) {
  PlotGeom g;
  ChildPos cp;
  if (!plot_geom(m, &g) || !child_pos(g, down_code, &cp) || !code || n <= 0) return -1;
  *from = *to = -1;
  *points = 0;
  for (size_t pos = 0;; ++*points) {
    int64_t r = pos < static_cast<size_t>(n) ? plot_record_bytes(code + pos, static_cast<size_t>(n) - pos, g.dim) : -1;
    if (r < 0) return -1;
    if (r == 0) break;
    bool inside = true;
    for (int d = 0; d < g.dim && inside; ++d)
      inside = (load_be16(code + pos + 2 + 2 * static_cast<size_t>(d)) & cp.mask[d]) == cp.pos[d];
    if (inside && *from < 0) *from = static_cast<int>(pos);
    if (!inside && *from >= 0 && *to < 0) *to = static_cast<int>(pos);
    pos += static_cast<size_t>(r);
    if (*from >= 0 && *to < 0 && pos < static_cast<size_t>(n) && code[pos] == 0) *to = static_cast<int>(pos);
  }
  if (*from < 0) *from = *to = 0;
  return 0;
}

INTERNAL_PLOT* shift_under_plot(MATRIX* m, INTERNAL_PLOT* ip, int64_t level, const int64_t* dc, int* errp) {
  PlotGeom g;
  if (!plot_geom(m, &g) || !dc || dc[0] < 0 || level < dc[0] || level >= 64) return refuse(errp), nullptr;
  ok(errp);
  int64_t lc = dc[0];
  INTERNAL_PLOT* head = nullptr;
  INTERNAL_PLOT** tail = &head;
  uint64_t abs[64];
  PointMaker mk(g.dim, nullptr, __FILE__, __LINE__);
  for (INTERNAL_PLOT* p = ip; p; p = p->next) {
    bool inside = true;
    for (int d = 0; d < g.dim && inside; ++d) {
      int64_t dd = g.dd[d], bs = g.bs[d];
      abs[d] = (p->base ? static_cast<uint64_t>(p->base[d]) : 0) + shl64(p->c[d], dd * level);
      uint64_t mask = bit64(dd * level + bs) - bit64(dd * lc + bs);
      inside = (abs[d] & mask) == (static_cast<uint64_t>(dc[1 + d]) & mask);
    }
    if (!inside) continue;
    INTERNAL_PLOT* q = point_like(g, p, true, mk);
    q->fields = copy_fields(p->fields, nullptr);
    bool any_base = false;
    for (int d = 0; d < g.dim; ++d) {
      q->c[d] = static_cast<uint16_t>(shr64(abs[d], g.dd[d] * lc) & cell_mask(g.bs[d]));
      if (q->base) {
        q->base[d] = static_cast<int64_t>(abs[d] & (bit64(g.dd[d] * lc) - 1));
        any_base |= q->base[d] != 0;
      }
    }
    if (q->base && !any_base) {
      d_f_ree(q->base);
      q->base = nullptr;
      q->flags &= static_cast<uint8_t>(~kPpBase);
    }
    *tail = q;
    tail = &q->next;
  }
  return head;
}
