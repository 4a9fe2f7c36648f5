// The structured array block: a sparse array of member blocks, one per
// occupied index of the node's block, every member made from one prototype
// (struct_block.h). Each dimension is one level of arrays that grow at
// either end to cover the indices in use; an array whose slots all empty
// is freed.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "elements/compressed_code.h"
#include "matrix/node.h"
#include "matrix/struct_block.h"
#include "store/recordlist.h"

MX_STRUCT_BLOCK_TBL blk_s_array_tbl = {sa_new_sb,       sa_free_sb,      sa_copy_sb,
                                       sa_block2struct, sa_struct2block, sa_operation};

namespace {

using Index = std::vector<int>;

SA_STRUCT_BLOCK* sa(MX_STRUCT_BLOCK* b) { return reinterpret_cast<SA_STRUCT_BLOCK*>(b); }

int dim_of(const SA_STRUCT_BLOCK* b) { return b->h.n.m->p.dim; }

// The largest index along d: the node block's last element.
int index_limit(const SA_STRUCT_BLOCK* b, int d) { return (1 << b->h.n.m->block_size[d]) - 1; }

// Zeroed slots, null when they cannot be had.
void** new_slots(int64_t n) { return static_cast<void**>(d_re_alloc(nullptr, sizeof(void*) * static_cast<size_t>(n))); }

SA_ARRAY* new_array(int ix) {
  void** p = new_slots(1);
  if (!p) return nullptr;
  auto* a = static_cast<SA_ARRAY*>(d_alloc(sizeof(SA_ARRAY)));
  *a = SA_ARRAY{ix, ix + 1, p};
  return a;
}

// Makes a cover ix, keeping its slots at their indices.
bool cover(SA_ARRAY* a, int ix) {
  if (ix >= a->start && ix < a->end) return true;
  const int start = std::min(ix, a->start), end = std::max(ix + 1, a->end);
  void** p = new_slots(end - start);
  if (!p) return false;
  std::memcpy(p + (a->start - start), a->p, sizeof(void*) * static_cast<size_t>(a->end - a->start));
  d_f_ree(a->p);
  *a = SA_ARRAY{start, end, p};
  return true;
}

void free_array(SA_ARRAY* a, int d, int dim) {
  if (!a) return;
  for (int i = 0; i < a->end - a->start; ++i) {
    if (!a->p[i]) continue;
    if (d + 1 < dim) free_array(static_cast<SA_ARRAY*>(a->p[i]), d + 1, dim);
    else static_cast<MX_STRUCT_BLOCK*>(a->p[i])->tbl->free_sb(static_cast<MX_STRUCT_BLOCK*>(a->p[i]));
  }
  d_f_ree(a->p);
  d_f_ree(a);
}

bool all_empty(const SA_ARRAY* a) {
  return std::all_of(a->p, a->p + (a->end - a->start), [](void* s) { return s == nullptr; });
}

int delete_at(void** slot, int d, int dim, const int* ix, int del_flag) {
  auto* a = static_cast<SA_ARRAY*>(*slot);
  if (!a || ix[d] < a->start || ix[d] >= a->end) return -1;
  void** s = &a->p[ix[d] - a->start];
  if (d + 1 < dim) {
    if (delete_at(s, d + 1, dim, ix, del_flag) < 0) return -1;
  } else {
    auto* member = static_cast<MX_STRUCT_BLOCK*>(*s);
    if (!member) return -1;
    if (del_flag) member->tbl->free_sb(member);
    *s = nullptr;
  }
  if (all_empty(a)) {
    d_f_ree(a->p);
    d_f_ree(a);
    *slot = nullptr;
  }
  return 0;
}

// Calls f(index, member) for every member in [lo, hi) (hi null: lo alone)
// in increasing order, dimension 0 outermost.
template <class F>
void walk(const SA_ARRAY* a, int d, int dim, const int* lo, const int* hi, Index& cur, F&& f) {
  if (!a) return;
  const int64_t from = std::max<int64_t>(lo ? lo[d] : a->start, a->start);
  const int64_t to = std::min<int64_t>(hi ? hi[d] : lo ? int64_t{lo[d]} + 1 : a->end, a->end);
  for (int64_t i = from; i < to; ++i) {
    void* s = a->p[i - a->start];
    if (!s) continue;
    cur[static_cast<size_t>(d)] = static_cast<int>(i);
    if (d + 1 < dim) walk(static_cast<const SA_ARRAY*>(s), d + 1, dim, lo, hi, cur, f);
    else f(cur, static_cast<MX_STRUCT_BLOCK*>(s));
  }
}

template <class F>
void walk_all(SA_STRUCT_BLOCK* b, F&& f) {
  Index cur(static_cast<size_t>(dim_of(b)));
  walk(b->index, 0, dim_of(b), nullptr, nullptr, cur, f);
}

struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool code(int64_t* v) {
    p = p ? get_uncompressed_code64_bounded(v, p, end) : nullptr;
    return p != nullptr;
  }
  bool byte(int64_t* v) {
    if (!p || p >= end) return false;
    *v = *p++;
    return true;
  }
};

// The slots that inserting at ix would add to b's arrays.
int64_t growth(const SA_STRUCT_BLOCK* b, const int* ix) {
  const int dim = dim_of(b);
  const SA_ARRAY* a = b->index;
  for (int d = 0; d < dim; ++d) {
    if (!a) return dim - d;  // one new array of one slot a level
    if (ix[d] < a->start || ix[d] >= a->end) {
      int64_t wider = std::max<int64_t>(ix[d] + 1, a->end) - std::min(ix[d], a->start) - (a->end - a->start);
      return wider + (dim - d - 1);
    }
    a = d + 1 < dim ? static_cast<const SA_ARRAY*>(a->p[ix[d] - a->start]) : nullptr;
  }
  return 0;
}

// What one reading of bytes may add to the arrays: members far apart make
// arrays mostly empty, so a few bytes could ask for gigabytes. A reading
// gets a fixed allowance (every array of a 256 x 256 node block filled)
// and one slot more for each byte it reads; a member past that is refused.
// Members that are arrays themselves read inside the outermost reading
// and draw on its budget.
struct SlotBudget {
  int64_t left;
};
thread_local SlotBudget* reading = nullptr;

// The budget of the reading in progress, or a new one for bytes bytes
// that lasts as long as the holder.
class BudgetScope {
 public:
  explicit BudgetScope(int64_t bytes) : own_{(int64_t{1} << 17) + bytes}, outer_(reading == nullptr) {
    if (outer_) reading = &own_;
  }
  ~BudgetScope() {
    if (outer_) reading = nullptr;
  }
  BudgetScope(const BudgetScope&) = delete;
  BudgetScope& operator=(const BudgetScope&) = delete;
  SlotBudget& budget() { return *reading; }

 private:
  SlotBudget own_;
  bool outer_;
};

// One member read from the bytes: its index and a prototype copy loaded
// from its bytes, inserted. False for bytes that do not hold one, or a
// member whose slots the budget cannot pay.
bool read_member(SA_STRUCT_BLOCK* b, Reader& in, Index& ix, SlotBudget& budget) {
  const int dim = dim_of(b);
  for (int d = 0; d < dim; ++d) {
    int64_t v = 0;
    bool ok = b->h.n.m->block_size[d] <= 8 ? in.byte(&v) : in.code(&v);
    if (!ok || v < 0 || v > index_limit(b, d)) return false;
    ix[static_cast<size_t>(d)] = static_cast<int>(v);
  }
  int64_t len = 0;
  if (!in.code(&len) || len < 0 || len > in.end - in.p) return false;
  int64_t slots = growth(b, ix.data());
  if (slots > budget.left) return false;
  budget.left -= slots;
  MX_STRUCT_BLOCK* m = b->member->tbl->copy_sb(b->member);
  if (!m) return false;
  MATRIX_ALLOC_BLOCK_PARAM bytes{};
  bytes.size = static_cast<int32_t>(len);
  bytes.block = const_cast<uint8_t*>(in.p);
  if (m->tbl->block2struct(m, &bytes) != 0 || sa_insert_blk(b, ix.data(), m) != 0) {
    m->tbl->free_sb(m);
    return false;
  }
  in.p += len;
  return true;
}

}  // namespace

MX_STRUCT_BLOCK* sa_new_sb(MX_SB_NEW* n, void* param) {
  const auto* init = static_cast<const SA_NEW*>(param);
  if (!init || !init->member) return nullptr;
  auto* b = static_cast<SA_STRUCT_BLOCK*>(d_calloc(sizeof(SA_STRUCT_BLOCK), 1));
  if (!mx_sb_place(&b->h, n, &blk_s_array_tbl)) {
    d_f_ree(b);
    return nullptr;
  }
  b->member = init->member;
  return &b->h;
}

void sa_free_sb(MX_STRUCT_BLOCK* blk) {
  if (!blk) return;
  mx_sb_forget(blk);
  SA_STRUCT_BLOCK* b = sa(blk);
  free_array(b->index, 0, dim_of(b));
  b->member->tbl->free_sb(b->member);
  d_f_ree(b);
}

MX_STRUCT_BLOCK* sa_copy_sb(MX_STRUCT_BLOCK* blk) {
  SA_STRUCT_BLOCK* b = sa(blk);
  SA_NEW init{b->member->tbl->copy_sb(b->member)};
  MX_STRUCT_BLOCK* r = sa_new_sb(&blk->n, &init);
  if (!r) {
    if (init.member) init.member->tbl->free_sb(init.member);
    return nullptr;
  }
  walk_all(b, [r](const Index& ix, MX_STRUCT_BLOCK* m) {
    MX_STRUCT_BLOCK* c = m->tbl->copy_sb(m);
    if (c && sa_insert_blk(sa(r), ix.data(), c) != 0) c->tbl->free_sb(c);
  });
  return r;
}

int sa_insert_blk(SA_STRUCT_BLOCK* rt, const int* ix, MX_STRUCT_BLOCK* b) {
  const int dim = dim_of(rt);
  for (int d = 0; d < dim; ++d)
    if (ix[d] < 0 || ix[d] > index_limit(rt, d)) return -1;
  void** slot = reinterpret_cast<void**>(&rt->index);
  for (int d = 0; d < dim; ++d) {
    auto* a = static_cast<SA_ARRAY*>(*slot);
    if (!a) {
      if (!(a = new_array(ix[d]))) return -1;
      *slot = a;
    } else if (!cover(a, ix[d])) {
      return -1;
    }
    slot = &a->p[ix[d] - a->start];
  }
  if (*slot) return -1;
  *slot = b;
  return 0;
}

int sa_delete_blk(SA_STRUCT_BLOCK* rt, const int* ix, int del_flag) {
  return delete_at(reinterpret_cast<void**>(&rt->index), 0, dim_of(rt), ix, del_flag);
}

MX_SB_LIST* sa_search_blk(SA_STRUCT_BLOCK* blk, const int* ix_start, const int* ix_end) {
  MX_SB_LIST* head = nullptr;
  Index cur(static_cast<size_t>(dim_of(blk)));
  walk(blk->index, 0, dim_of(blk), ix_start, ix_end, cur, [&head](const Index& ix, MX_STRUCT_BLOCK* m) {
    auto* e = static_cast<MX_SB_LIST*>(d_alloc(sizeof(MX_SB_LIST)));
    e->work = static_cast<int*>(d_alloc(sizeof(int) * ix.size()));
    std::copy(ix.begin(), ix.end(), e->work);
    e->blk = m;
    e->next = head;
    head = e;
  });
  return head;
}

void free_mx_sb_list(MX_SB_LIST* lst) {
  while (lst) {
    MX_SB_LIST* next = lst->next;
    d_f_ree(lst->work);
    d_f_ree(lst);
    lst = next;
  }
}

int sa_operation(int cmd, MX_STRUCT_BLOCK* blk, void* param) {
  SA_STRUCT_BLOCK* b = sa(blk);
  auto* op = static_cast<SA_OP*>(param);
  if (!op || !op->index1) return -1;
  int r = -1;
  switch (cmd) {
    case kSbInsert:
      if (!op->member) {
        MX_STRUCT_BLOCK* m = b->member->tbl->copy_sb(b->member);
        r = m ? sa_insert_blk(b, op->index1, m) : -1;
        if (r == 0) op->member = m;
        else if (m) m->tbl->free_sb(m);
      } else if (op->member->tbl == b->member->tbl) {
        r = sa_insert_blk(b, op->index1, op->member);
      }
      break;
    case kSbDelete:
      r = sa_delete_blk(b, op->index1, op->del_flag);
      break;
    case kSbSearch:
      op->member_list = sa_search_blk(b, op->index1, op->index2);
      return 0;
    default:
      return -1;
  }
  if (r == 0) set_dirty_file_sb(blk);
  return r;
}

int sa_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* p) {
  if (!p || p->size < 0 || (p->size > 0 && !p->block)) return -1;
  const auto* bytes = static_cast<const uint8_t*>(p->block);
  Reader in{bytes, bytes + p->size};
  Index ix(static_cast<size_t>(dim_of(sa(blk))));
  BudgetScope scope(p->size);
  while (in.p < in.end)
    if (!read_member(sa(blk), in, ix, scope.budget())) return -1;
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* sa_struct2block(MX_STRUCT_BLOCK* blk) {
  SA_STRUCT_BLOCK* b = sa(blk);
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  if (!rl) return nullptr;
  // The members' bytes are borrowed by the list until it is joined.
  std::vector<MATRIX_ALLOC_BLOCK_PARAM*> parts;
  const int dim = dim_of(b);
  walk_all(b, [&](const Index& ix, MX_STRUCT_BLOCK* m) {
    MATRIX_ALLOC_BLOCK_PARAM* mb = m->tbl->struct2block(m);
    const int32_t len = mb ? mb->size : 0;
    auto* head = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(dim + 1) * kCompressedCodeMax));
    uint8_t* p = head;
    for (int d = 0; d < dim; ++d)
      p = b->h.n.m->block_size[d] <= 8 ? (*p = static_cast<uint8_t>(ix[static_cast<size_t>(d)]), p + 1)
                                       : get_compressed_code64(p, ix[static_cast<size_t>(d)]);
    p = get_compressed_code64(p, len);
    set_recordlist_chain64(rl, head, p - head, 1);
    if (len > 0) set_recordlist_chain64(rl, mb->block, len, 0);
    parts.push_back(mb);
  });
  int64_t size = setup_recordlist64(rl);
  MATRIX_ALLOC_BLOCK_PARAM* r = size >= 0 ? mx_sb_new_block(rl->data, size) : nullptr;
  free_recordlist64(rl);
  for (MATRIX_ALLOC_BLOCK_PARAM* mb : parts)
    if (mb) mx_type_block.free_data(&mx_type_block, mb);
  return r;
}
