// Searching, inserting and deleting in file-backed balanced trees.
//
// Every node that an operation holds across a call that may load a record
// is pinned, since any load may evict records. Heights are recomputed on
// the way back up from a change, and only as far as they change.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "store/favt64.h"

namespace {

void set_err(int* errp, int e) {
  if (errp) *errp = e;
}

// A node becoming unlinked keeps its root in memory until it is linked
// again or freed.
void set_parent(FAVT64_NODE* n, FAVT64_PTR* ref) {
  if (!n->parent && ref) {
    --n->root->loose;
    favt64_unlock(&n->root->h);
  } else if (n->parent && !ref) {
    ++n->root->loose;
    favt64_lock(&n->root->h);
  }
  n->parent = ref;
}

// Points ref at the cached node n.
void link(FAVT64_PTR* ref, FAVT64_NODE* n) {
  ref->fofs = n->h.fofs;
  ref->type = kPn64AvtNodeType;
  ref->ptr = n;
  ref->flags |= kFavtDirty;
  set_parent(n, ref);
}

// dst takes over what src refers to (src is left as it is; the caller
// clears or overwrites it).
void move_ref(FAVT64_PTR* dst, const FAVT64_PTR& src) {
  dst->fofs = src.fofs;
  dst->type = kPn64AvtNodeType;
  dst->ptr = src.ptr;
  dst->flags |= kFavtDirty;
  if (dst->ptr) dst->ptr->parent = dst;
}

// The height of the subtree at ref (0 when empty) into *out; 0 or negative.
int child_level(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ref, int* out) {
  if (!ref->fofs) {
    *out = 0;
    return 0;
  }
  int e = kFavtUnreadable;
  FAVT64_NODE* c = g_ptr64(&e, rt, ref);
  if (!c) {
    set_err(errp, e);
    return -1;
  }
  *out = c->level;
  return 0;
}

// The node at ref, pinned; null (with *errp) when it cannot be loaded.
FAVT64_NODE* take(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ref) {
  int e = kFavtUnreadable;
  FAVT64_NODE* n = g_ptr64(&e, rt, ref);
  if (!n) {
    set_err(errp, e);
    return nullptr;
  }
  favt64_lock(&n->h);
  return n;
}

// Rotation at ref towards the small side: the large child Q takes the
// place of P, P becomes Q's small child and takes Q's old small subtree.
// `to_small` false is the mirror.
int rotate(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ref, bool to_small) {
  FAVT64_NODE* p = take(errp, rt, ref);
  if (!p) return -1;
  FAVT64_PTR* up = to_small ? &p->large : &p->small;
  FAVT64_NODE* q = take(errp, rt, up);
  if (!q) {
    favt64_unlock(&p->h);
    return -1;
  }
  FAVT64_PTR* down = to_small ? &q->small : &q->large;
  FAVT64_PTR inner = *down;
  ref->fofs = q->h.fofs;
  ref->ptr = q;
  ref->flags |= kFavtDirty;
  q->parent = ref;
  move_ref(up, inner);
  favt64_clear_ptr(down);
  link(down, p);
  int rc = fset_level64(errp, rt, p) < 0 || fset_level64(errp, rt, q) < 0 ? -1 : 0;
  favt64_unlock(&q->h);
  favt64_unlock(&p->h);
  return rc;
}

// After the subtree at ref changed below its node n (pinned, whose height
// was `before`): recompute n's height, rebalance, and tell whether the
// height of the subtree at ref changed. 0 or negative.
int fix_up(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ref, FAVT64_NODE* n, int before, bool* changed) {
  *changed = false;
  if (fset_level64(errp, rt, n) < 0 || favt64_valance(errp, rt, ref) < 0) return -1;
  int now = 0;
  if (child_level(errp, rt, ref, &now) < 0) return -1;
  *changed = now != before;
  return 0;
}

bool valid_cmp(int c) { return c == 1 || c == 0 || c == -1; }

FAVT64_NODE* insert_at(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* favtp, FAVT64_NODE* a, FAVT64_CMP cmp, void* w,
                       int depth, bool* grew) {
  *grew = false;
  if (depth > kFavtMaxDepth) {
    set_err(errp, kFavtCorrupt);
    return nullptr;
  }
  if (!favtp->fofs) {
    favt64_clear_ptr(&a->small);
    favt64_clear_ptr(&a->large);
    a->level = 1;
    a->h.flags |= kFavtDirty;
    link(favtp, a);
    *grew = true;
    return a;
  }
  FAVT64_NODE* n = take(errp, rt, favtp);
  if (!n) return nullptr;
  int c = cmp(n->data, a->data, w);
  FAVT64_NODE* r = nullptr;
  if (c == 0) {
    r = n;
  } else if (c == 1 || c == -1) {
    int before = n->level;
    r = insert_at(errp, rt, c == 1 ? &n->small : &n->large, a, cmp, w, depth + 1, grew);
    // The key is in; a failed rebalance is reported but does not undo it.
    if (r == a && *grew && fix_up(errp, rt, favtp, n, before, grew) < 0) *grew = false;
  } else {
    set_err(errp, kFavtBadCompare);
  }
  favt64_unlock(&n->h);
  return r;
}

// Unlinks the smallest (to_small) or largest node of the subtree at ref.
FAVT64_NODE* unlink_end(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ref, bool to_small, int depth, bool* shrunk) {
  *shrunk = false;
  if (depth > kFavtMaxDepth) {
    set_err(errp, kFavtCorrupt);
    return nullptr;
  }
  FAVT64_NODE* n = take(errp, rt, ref);
  if (!n) return nullptr;
  FAVT64_PTR* further = to_small ? &n->small : &n->large;
  FAVT64_NODE* r;
  if (further->fofs) {
    int before = n->level;
    r = unlink_end(errp, rt, further, to_small, depth + 1, shrunk);
    if (r && *shrunk && fix_up(errp, rt, ref, n, before, shrunk) < 0) *shrunk = false;
  } else {
    FAVT64_PTR* rest = to_small ? &n->large : &n->small;
    move_ref(ref, *rest);
    favt64_clear_ptr(rest);
    set_parent(n, nullptr);
    *shrunk = true;
    r = n;
  }
  favt64_unlock(&n->h);
  return r;
}

FAVT64_NODE* delete_at(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* favtp, void* data, FAVT64_CMP cmp, void* w,
                       int depth, bool* shrunk) {
  *shrunk = false;
  if (depth > kFavtMaxDepth) {
    set_err(errp, kFavtCorrupt);
    return nullptr;
  }
  if (!favtp->fofs) {
    set_err(errp, kFavtNotFound);
    return nullptr;
  }
  FAVT64_NODE* n = take(errp, rt, favtp);
  if (!n) return nullptr;
  int c = cmp(n->data, data, w);
  int before = n->level;
  if (c == 1 || c == -1) {
    FAVT64_NODE* r = delete_at(errp, rt, c == 1 ? &n->small : &n->large, data, cmp, w, depth + 1, shrunk);
    if (r && *shrunk && fix_up(errp, rt, favtp, n, before, shrunk) < 0) *shrunk = false;
    favt64_unlock(&n->h);
    return r;
  }
  if (c != 0) {
    set_err(errp, kFavtBadCompare);
    favt64_unlock(&n->h);
    return nullptr;
  }
  FAVT64_NODE* rep = nullptr;
  if (!n->large.fofs) {
    move_ref(favtp, n->small);
  } else if (!n->small.fofs) {
    move_ref(favtp, n->large);
  } else {
    int sl = 0, ll = 0;
    bool dummy;
    if (child_level(errp, rt, &n->small, &sl) < 0 || child_level(errp, rt, &n->large, &ll) < 0 ||
        !(rep = sl < ll ? unlink_end(errp, rt, &n->large, true, depth + 1, &dummy)
                        : unlink_end(errp, rt, &n->small, false, depth + 1, &dummy))) {
      favt64_unlock(&n->h);
      return nullptr;
    }
    favt64_lock(&rep->h);
    favt64_clear_ptr(&rep->small);
    favt64_clear_ptr(&rep->large);
    move_ref(&rep->small, n->small);
    move_ref(&rep->large, n->large);
    rep->h.flags |= kFavtDirty;
    favtp->flags |= kFavtDirty;
    link(favtp, rep);
  }
  favt64_clear_ptr(&n->small);
  favt64_clear_ptr(&n->large);
  set_parent(n, nullptr);
  if (rep) {
    if (fix_up(errp, rt, favtp, rep, before, shrunk) < 0) *shrunk = false;
    favt64_unlock(&rep->h);
  } else {
    int now = 0;
    if (child_level(errp, rt, favtp, &now) == 0) *shrunk = now != before;
  }
  favt64_unlock(&n->h);
  return n;
}

int trace(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n, FAVT64_TRACE_FUNC func, void* work, bool ascending,
          int depth) {
  if (depth > kFavtMaxDepth) {
    set_err(errp, kFavtCorrupt);
    return kFavtCorrupt;
  }
  favt64_lock(&n->h);
  int r = 0;
  for (int side = 0; side < 3 && r == 0; ++side) {
    if (side == 1) {
      r = func(n, work);
      continue;
    }
    FAVT64_PTR* ref = (side == 0) == ascending ? &n->small : &n->large;
    if (!ref->fofs) continue;
    int e = kFavtUnreadable;
    FAVT64_NODE* c = g_ptr64(&e, rt, ref);
    if (!c) {
      set_err(errp, e);
      r = e;
    } else {
      r = trace(errp, rt, c, func, work, ascending, depth + 1);
    }
  }
  favt64_unlock(&n->h);
  return r;
}

// Adds a copy of n's key to the result; false when the limit is reached.
bool add_bound(int* errp, BOUND64_SEARCH_WORK* bw, FAVT64_NODE* n) {
  if (bw->limit >= 0 && bw->count >= bw->limit) {
    set_err(errp, kFavtLimit);
    return false;
  }
  auto* b = static_cast<BOUND64_LIST*>(d_alloc(sizeof(BOUND64_LIST) + static_cast<size_t>(n->data_len)));
  b->next = nullptr;
  b->data = b + 1;
  b->data_len = n->data_len;
  std::memcpy(b->data, n->data, static_cast<size_t>(n->data_len));
  if (bw->tail)
    bw->tail->next = b;
  else
    bw->head = b;
  bw->tail = b;
  ++bw->count;
  return true;
}

// 0 to go on, non-zero when the whole search ends.
int bound(int* errp, BOUND64_SEARCH_WORK* bw, FAVT64_NODE* n, int depth) {
  if (depth > kFavtMaxDepth) {
    set_err(errp, kFavtCorrupt);
    return 1;
  }
  favt64_lock(&n->h);
  int cmax = bw->cmp(n->data, bw->data_max, bw->cmp_work);
  int cmin = bw->cmp(n->data, bw->data_min, bw->cmp_work);
  int r = 0;
  if (!valid_cmp(cmax) || !valid_cmp(cmin)) {
    set_err(errp, kFavtBadCompare);
    r = 1;
  }
  // Smaller keys only when the lower bound is below the node, larger ones
  // only when the upper bound is above it.
  auto descend = [&](FAVT64_PTR* ref) {
    if (r || !ref->fofs) return;
    int e = kFavtUnreadable;
    FAVT64_NODE* c = g_ptr64(&e, bw->p, ref);
    if (!c) {
      set_err(errp, e);
      r = 1;
    } else {
      r = bound(errp, bw, c, depth + 1);
    }
  };
  if (cmin > 0) descend(&n->small);
  if (!r && cmax <= 0 && cmin >= 0 && !add_bound(errp, bw, n)) r = 1;
  if (cmax < 0) descend(&n->large);
  favt64_unlock(&n->h);
  return r;
}

struct TestState {
  FAVT64_CMP cmp;
  void* w;
  std::vector<uint8_t> prev;
  bool has_prev = false;
  int64_t count = 0;
};

// Height of the subtree of n, or negative.
int test_rec(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n, int depth, TestState* st) {
  if (depth > kFavtMaxDepth) {
    set_err(errp, kFavtCorrupt);
    return kFavtCorrupt;
  }
  favt64_lock(&n->h);
  int h[2] = {0, 0};
  int rc = 0;
  for (int side = 0; side < 2 && rc == 0; ++side) {
    if (side == 1) {
      if (st->has_prev && st->cmp(st->prev.data(), n->data, st->w) != -1) rc = kFavtCorrupt;
      const auto* d = static_cast<const uint8_t*>(n->data);
      st->prev.assign(d, d + n->data_len);
      st->has_prev = true;
      ++st->count;
    }
    FAVT64_PTR* ref = side == 0 ? &n->small : &n->large;
    if (rc || !ref->fofs) continue;
    int e = kFavtUnreadable;
    FAVT64_NODE* c = g_ptr64(&e, rt, ref);
    rc = c ? test_rec(errp, rt, c, depth + 1, st) : e;
    if (rc > 0) {
      h[side] = rc;
      rc = 0;
    }
  }
  if (rc == 0 && (n->level != 1 + std::max(h[0], h[1]) || h[0] > h[1] + 1 || h[1] > h[0] + 1)) rc = kFavtCorrupt;
  favt64_unlock(&n->h);
  if (rc < 0) {
    set_err(errp, rc);
    return rc;
  }
  return n->level;
}

}  // namespace

int fset_level64(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n) {
  favt64_lock(&n->h);
  int s = 0, l = 0;
  int rc = child_level(errp, rt, &n->small, &s) < 0 || child_level(errp, rt, &n->large, &l) < 0 ? -1 : 0;
  if (rc == 0) {
    int lv = 1 + std::max(s, l);
    if (lv != n->level) {
      n->level = lv;
      n->h.flags |= kFavtDirty;
    }
  }
  favt64_unlock(&n->h);
  return rc;
}

int favt64_valance(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ptr) {
  if (!ptr->fofs) return 0;
  FAVT64_NODE* p = take(errp, rt, ptr);
  if (!p) return -1;
  int s = 0, l = 0, rc = 0;
  if (child_level(errp, rt, &p->small, &s) < 0 || child_level(errp, rt, &p->large, &l) < 0) {
    rc = -1;
  } else if (s + 1 < l || l + 1 < s) {
    // Heavy on one side: when the heavy child leans the other way, turn it
    // first (a double rotation), so that one rotation at ptr settles it.
    bool to_small = s + 1 < l;
    FAVT64_PTR* heavy = to_small ? &p->large : &p->small;
    FAVT64_NODE* q = take(errp, rt, heavy);
    int qs = 0, ql = 0;
    if (!q || child_level(errp, rt, &q->small, &qs) < 0 || child_level(errp, rt, &q->large, &ql) < 0) rc = -1;
    if (q) favt64_unlock(&q->h);
    if (rc == 0 && (to_small ? qs > ql : ql > qs)) rc = rotate(errp, rt, heavy, !to_small);
    if (rc == 0) rc = rotate(errp, rt, ptr, to_small);
  }
  favt64_unlock(&p->h);
  return rc;
}

FAVT64_NODE* favt64_insert(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* favtp, FAVT64_NODE* a, FAVT64_CMP cmp, void* w) {
  if (!rt || !favtp || !a || !cmp || a->parent || a->root != rt || (a->h.flags & kFavtDead)) {
    set_err(errp, kFavtBadArgument);
    return nullptr;
  }
  favt64_lock(&rt->h);
  favt64_lock(&a->h);
  bool grew;
  FAVT64_NODE* r = insert_at(errp, rt, favtp, a, cmp, w, 0, &grew);
  favt64_unlock(&a->h);
  favt64_unlock(&rt->h);
  return r;
}

FAVT64_NODE* favt64_search(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, void* data, FAVT64_CMP cmp, void* w) {
  if (!cmp) {
    set_err(errp, kFavtBadArgument);
    return nullptr;
  }
  for (int depth = 0; a; ++depth) {
    if (depth > kFavtMaxDepth) {
      set_err(errp, kFavtCorrupt);
      return nullptr;
    }
    int c = cmp(a->data, data, w);
    if (c == 0) return a;
    if (c != 1 && c != -1) {
      set_err(errp, kFavtBadCompare);
      return nullptr;
    }
    FAVT64_PTR* ref = c == 1 ? &a->small : &a->large;
    if (!ref->fofs) break;
    favt64_lock(&a->h);
    int e = kFavtUnreadable;
    FAVT64_NODE* next = g_ptr64(&e, rt, ref);
    favt64_unlock(&a->h);
    if (!next) {
      set_err(errp, e);
      return nullptr;
    }
    a = next;
  }
  set_err(errp, kFavtNotFound);
  return nullptr;
}

FAVT64_NODE* favt64_delete(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* favtp, void* data, FAVT64_CMP cmp, void* w) {
  if (!rt || !favtp || !cmp) {
    set_err(errp, kFavtBadArgument);
    return nullptr;
  }
  favt64_lock(&rt->h);
  bool shrunk;
  FAVT64_NODE* r = delete_at(errp, rt, favtp, data, cmp, w, 0, &shrunk);
  favt64_unlock(&rt->h);
  return r;
}

int favt64_trace_from_small(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work) {
  return a && func ? trace(errp, rt, a, func, work, true, 0) : 0;
}

int favt64_trace_from_large(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work) {
  return a && func ? trace(errp, rt, a, func, work, false, 0) : 0;
}

BOUND64_LIST* favt64_bound_search(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, void* data_min, void* data_max,
                                  int limit, FAVT64_CMP cmp, void* cw) {
  if (!a || !cmp) return nullptr;
  BOUND64_SEARCH_WORK bw{rt, data_min, data_max, cmp, nullptr, nullptr, cw, limit, 0};
  bound(errp, &bw, a, 0);
  return bw.head;
}

void free_bound_list64(BOUND64_LIST* b) {
  while (b) {
    BOUND64_LIST* nx = b->next;
    d_f_ree(b);
    b = nx;
  }
}

int64_t favt64_test(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, FAVT64_CMP cmp, void* w) {
  if (!a) return 0;
  TestState st{cmp, w, {}, false, 0};
  int rc = test_rec(errp, rt, a, 0, &st);
  return rc < 0 ? rc : st.count;
}
