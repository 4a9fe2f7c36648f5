// The heuristic layering block: per object id, clicks (votes to show or
// hide it) at node-relative positions and resolutions, and the sum of the
// votes near a query weighted by the inverse of their distance
// (struct_block.h).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <set>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "elements/compressed_code.h"
#include "matrix/node.h"
#include "matrix/struct_block.h"
#include "store/recordlist.h"

MX_STRUCT_BLOCK_TBL blk_h_layering_tbl = {hl_new_sb,       hl_free_sb,      hl_copy_sb,
                                          hl_block2struct, hl_struct2block, hl_operation};

namespace {

HL_STRUCT_BLOCK* hl(MX_STRUCT_BLOCK* b) { return reinterpret_cast<HL_STRUCT_BLOCK*>(b); }

int dim_of(const HL_STRUCT_BLOCK* b) { return b->h.n.m->p.dim; }

long long* copy_ix(const long long* ix, int dim) {
  auto* r = static_cast<long long*>(d_alloc(sizeof(long long) * static_cast<size_t>(dim)));
  std::memcpy(r, ix, sizeof(long long) * static_cast<size_t>(dim));
  return r;
}

void free_clicks(HL_CLICK* c) {
  while (c) {
    HL_CLICK* next = c->next;
    d_f_ree(c->ix);
    d_f_ree(c);
    c = next;
  }
}

}  // namespace

// The lists' ids by number and their clicks ordered by id, index and
// resolution, so that recording a click costs a logarithm of the clicks
// held, not a walk of them. Each click carries a stamp that grows with
// every click added: of the clicks that match a query, the one with the
// largest stamp is the one a walk from the list's head would meet first.
struct HlIndex {
  struct Key {
    int64_t id;
    const long long* ix;
    double reso;
  };
  struct Entry {
    Key key;  // ix points into the click's own index array
    HL_CLICK* c;
    uint64_t stamp;
  };
  struct Order {
    using is_transparent = void;
    int dim;
    static const Key& key(const Entry& e) { return e.key; }
    static const Key& key(const Key& k) { return k; }
    template <class A, class B>
    bool operator()(const A& x, const B& y) const {
      const Key &a = key(x), &b = key(y);
      if (a.id != b.id) return a.id < b.id;
      for (int d = 0; d < dim; ++d)
        if (a.ix[d] != b.ix[d]) return a.ix[d] < b.ix[d];
      return a.reso < b.reso;
    }
  };
  explicit HlIndex(int dim) : clicks(Order{dim}), dim(dim) {}

  void add(int64_t id, HL_CLICK* c) { clicks.insert(Entry{{id, c->ix, c->reso}, c, ++stamp}); }

  // The click of id at ix whose resolution is within the tolerance of reso
  // (the ratio strictly between 1/tol and tol), or null. Candidates come
  // from a slightly wider range than the tolerance; the ratio decides.
  HL_CLICK* find(int64_t id, const long long* ix, double reso, double tol) const {
    double a = reso / tol, b = reso * tol;
    double lo = std::min(a, b), hi = std::max(a, b);
    if (std::isfinite(lo)) lo = std::nextafter(lo - std::fabs(lo) * 0x1p-30, -HUGE_VAL);
    if (std::isfinite(hi)) hi = std::nextafter(hi + std::fabs(hi) * 0x1p-30, HUGE_VAL);
    const Entry* best = nullptr;
    for (auto it = clicks.lower_bound(Key{id, ix, lo}); it != clicks.end(); ++it) {
      const Key& k = it->key;
      if (k.id != id || std::memcmp(k.ix, ix, sizeof(long long) * static_cast<size_t>(dim)) != 0 || k.reso > hi) break;
      double ratio = k.reso / reso;
      if (ratio > 1.0 / tol && ratio < tol && (!best || it->stamp > best->stamp)) best = &*it;
    }
    return best ? best->c : nullptr;
  }

  std::unordered_map<int64_t, HL_ID_LIST*> ids;
  std::multiset<Entry, Order> clicks;
  uint64_t stamp = 0;
  int dim;
};

namespace {

// b's index, made from its lists when it has none: the head of a list
// gets the largest stamp, as if the clicks had been added tail first.
HlIndex& index_of(HL_STRUCT_BLOCK* b) {
  if (b->index) return *b->index;
  auto* x = new HlIndex(dim_of(b));
  uint64_t held = 0;
  for (HL_ID_LIST* id = b->id_list; id; id = id->next)
    for (HL_CLICK* c = id->clk; c; c = c->next) ++held;
  for (HL_ID_LIST* id = b->id_list; id; id = id->next) {
    x->ids.emplace(id->id, id);  // a walk from the head finds the first
    for (HL_CLICK* c = id->clk; c; c = c->next) x->clicks.insert({{id->id, c->ix, c->reso}, c, held--});
  }
  x->stamp = x->clicks.size();
  b->index = x;
  return *x;
}

// The node's level shift along d (0 without a node).
int level_shift(const MX_STRUCT_BLOCK* b, int d) {
  const MATRIX_NODE* n = b->n.n;
  return n ? static_cast<int>(n->dim_code[0] * b->n.m->dim_divide[d]) : 0;
}

int64_t node_coord(const MX_STRUCT_BLOCK* b, int d) { return b->n.n ? b->n.n->dim_code[d + 1] : 0; }

// ---- the byte form

struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool code(int64_t* v) {
    p = p ? get_uncompressed_code64_bounded(v, p, end) : nullptr;
    return p != nullptr;
  }
  bool real(double* v) {
    if (!p || end - p < 8) return false;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = bits << 8 | p[i];
    *v = std::bit_cast<double>(bits);
    p += 8;
    return true;
  }
};

uint8_t* put_real(uint8_t* p, double v) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  for (int i = 7; i >= 0; --i) *p++ = static_cast<uint8_t>(bits >> (8 * i));
  return p;
}

// One id record as a tagged piece.
void add_id_record(RECORD_LIST64* rl, const HL_ID_LIST* id, int dim) {
  int64_t count = 0;
  for (const HL_CLICK* c = id->clk; c; c = c->next) ++count;
  size_t room = 2 * kCompressedCodeMax + static_cast<size_t>(count) * (8 + kCompressedCodeMax * static_cast<size_t>(dim + 2));
  auto* buf = static_cast<uint8_t*>(d_alloc(room));
  uint8_t* p = get_compressed_code64(buf, id->id);
  p = get_compressed_code64(p, count);
  for (const HL_CLICK* c = id->clk; c; c = c->next) {
    p = put_real(p, c->reso);
    for (int d = 0; d < dim; ++d) p = get_compressed_code64(p, c->ix[d]);
    p = get_compressed_code64(p, c->show);
    p = get_compressed_code64(p, c->hide);
  }
  set_recordlist_chain64(rl, buf, p - buf, 1);
}

}  // namespace

MX_STRUCT_BLOCK* hl_new_sb(MX_SB_NEW* n, void*) {
  auto* b = static_cast<HL_STRUCT_BLOCK*>(d_calloc(sizeof(HL_STRUCT_BLOCK), 1));
  if (mx_sb_place(&b->h, n, &blk_h_layering_tbl)) return &b->h;
  d_f_ree(b);
  return nullptr;
}

void hl_free_sb(MX_STRUCT_BLOCK* blk) {
  if (!blk) return;
  mx_sb_forget(blk);
  delete hl(blk)->index;
  for (HL_ID_LIST* id = hl(blk)->id_list; id;) {
    HL_ID_LIST* next = id->next;
    free_clicks(id->clk);
    d_f_ree(id);
    id = next;
  }
  d_f_ree(blk);
}

MX_STRUCT_BLOCK* hl_copy_sb(MX_STRUCT_BLOCK* blk) {
  MX_STRUCT_BLOCK* r = hl_new_sb(&blk->n, nullptr);
  if (!r) return nullptr;
  const int dim = dim_of(hl(blk));
  // Taken over one by one onto the fronts of the lists: the copy holds
  // the ids and each id's clicks in reverse order.
  for (const HL_ID_LIST* id = hl(blk)->id_list; id; id = id->next) {
    auto* nid = static_cast<HL_ID_LIST*>(d_calloc(sizeof(HL_ID_LIST), 1));
    nid->id = id->id;
    for (const HL_CLICK* c = id->clk; c; c = c->next) {
      auto* nc = static_cast<HL_CLICK*>(d_alloc(sizeof(HL_CLICK)));
      *nc = HL_CLICK{nid->clk, c->reso, copy_ix(c->ix, dim), c->show, c->hide};
      nid->clk = nc;
    }
    nid->next = hl(r)->id_list;
    hl(r)->id_list = nid;
  }
  return r;
}

HL_ID_LIST* hl_search(HL_STRUCT_BLOCK* b, int64_t id) {
  const HlIndex& x = index_of(b);
  auto it = x.ids.find(id);
  return it == x.ids.end() ? nullptr : it->second;
}

long long* calc_ix(const MATRIX_NODE* n, const long long* ix) {
  const MATRIX* m = n->matrix;
  auto* r = static_cast<long long*>(d_alloc(sizeof(long long) * static_cast<size_t>(m->p.dim)));
  for (int d = 0; d < m->p.dim; ++d) {
    // Wrapping difference, then an arithmetic shift: defined for any input.
    auto diff = static_cast<int64_t>(static_cast<uint64_t>(ix[d]) - static_cast<uint64_t>(n->dim_code[d + 1]));
    r[d] = diff >> (n->dim_code[0] * m->dim_divide[d]);
  }
  return r;
}

int hl_insert_point(HL_STRUCT_BLOCK* b, int64_t id, const long long* ix, double reso, int64_t show, int64_t hide,
                    int f) {
  if (reso == 0.0 || !std::isfinite(reso)) return -1;
  const int dim = dim_of(b);
  HlIndex& x = index_of(b);
  HL_ID_LIST* rec = hl_search(b, id);
  if (!rec) {
    rec = static_cast<HL_ID_LIST*>(d_calloc(sizeof(HL_ID_LIST), 1));
    *rec = HL_ID_LIST{b->id_list, id, nullptr};
    b->id_list = rec;
    x.ids.emplace(id, rec);
  }
  const double tol = 1.0 + 0.6 / std::ldexp(1.0, b->h.n.m->block_size[0]);
  HL_CLICK* c = x.find(id, ix, reso, tol);
  const bool fresh = !c;
  if (fresh) {
    c = static_cast<HL_CLICK*>(d_alloc(sizeof(HL_CLICK)));
    *c = HL_CLICK{rec->clk, reso, copy_ix(ix, dim), 0, 0};
    rec->clk = c;
    x.add(id, c);
  }
  if (f == 0) {
    // Counting: wraps rather than overflows after 2^63 votes.
    c->show = static_cast<int64_t>(static_cast<uint64_t>(c->show) + (show != 0));
    c->hide = static_cast<int64_t>(static_cast<uint64_t>(c->hide) + (hide != 0));
    return 1;
  }
  if (c->show == show && c->hide == hide) return fresh ? 1 : 0;
  c->show = show;
  c->hide = hide;
  return 1;
}

int hl_calc(HL_STRUCT_BLOCK* b, HL_OP* op) {
  HL_ID_LIST* rec = hl_search(b, op->id);
  if (!rec) return -1;
  const int dim = dim_of(b);
  op->show = op->hide = 0.0;
  for (const HL_CLICK* c = rec->clk; c; c = c->next) {
    double x = (c->reso - op->reso) * (c->reso - op->reso);
    for (int d = 0; d < dim; ++d) {
      // Back to finest-level coordinates, in wrapping 64-bit arithmetic.
      uint64_t a = (static_cast<uint64_t>(c->ix[d]) << level_shift(&b->h, d)) + static_cast<uint64_t>(node_coord(&b->h, d));
      auto diff = static_cast<double>(static_cast<int64_t>(a - static_cast<uint64_t>(op->ix[d])));
      x += diff * diff;
    }
    double weight = 1.0 / (std::sqrt(x) + 0.1);
    if (c->show) op->show += static_cast<double>(c->show) * weight;
    if (c->hide) op->hide += static_cast<double>(c->hide) * weight;
  }
  return 0;
}

int hl_operation(int cmd, MX_STRUCT_BLOCK* blk, void* param) {
  auto* op = static_cast<HL_OP*>(param);
  if (!op) return -1;
  if (cmd == kSbCalc) return hl_calc(hl(blk), op);
  if (cmd != kSbInsert) return -1;
  long long* ix = blk->n.n ? calc_ix(blk->n.n, op->ix) : copy_ix(op->ix, dim_of(hl(blk)));
  int r = hl_insert_point(hl(blk), op->id, ix, op->reso, op->show != 0, op->hide != 0, 0);
  d_f_ree(ix);
  if (r == 1) set_dirty_file_sb(blk);
  return r < 0 ? -1 : 0;
}

int hl_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* p) {
  if (!p || p->size < 0 || (p->size > 0 && !p->block)) return -1;
  const int dim = dim_of(hl(blk));
  const auto* bytes = static_cast<const uint8_t*>(p->block);
  Reader in{bytes, bytes + p->size};
  const int64_t least_click = 8 + 2 * (dim + 2);
  std::vector<long long> ix(static_cast<size_t>(dim));
  while (in.p < in.end) {
    int64_t id = 0, count = 0;
    if (!in.code(&id) || in.p >= in.end || !in.code(&count) || in.p >= in.end) return -1;
    if (count < 0 || count > (in.end - in.p) / least_click) return -1;
    for (int64_t i = 0; i < count; ++i) {
      double reso = 0;
      int64_t show = 0, hide = 0;
      bool ok = in.real(&reso);
      for (int d = 0; ok && d < dim; ++d) {
        int64_t v = 0;
        ok = in.code(&v);
        ix[static_cast<size_t>(d)] = v;
      }
      if (!ok || !in.code(&show) || !in.code(&hide)) return -1;
      hl_insert_point(hl(blk), id, ix.data(), reso, show, hide, 1);
    }
  }
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* hl_struct2block(MX_STRUCT_BLOCK* blk) {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  if (!rl) return nullptr;
  for (const HL_ID_LIST* id = hl(blk)->id_list; id; id = id->next) add_id_record(rl, id, dim_of(hl(blk)));
  int64_t size = setup_recordlist64(rl);
  MATRIX_ALLOC_BLOCK_PARAM* r = size >= 0 ? mx_sb_new_block(rl->data, size) : nullptr;
  free_recordlist64(rl);
  return r;
}
