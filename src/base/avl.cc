#include "base/avl.h"

#include <algorithm>

#include "base/panic.h"

namespace {

int height(const AVT_NODE* n) { return n ? n->level : 0; }

void fix_level(AVT_NODE* n) { n->level = std::max(height(n->small), height(n->large)) + 1; }

int checked_cmp(AVT_CMP cmp, void* node_data, void* data, const char* label) {
  int r = cmp(node_data, data);
  if (r != 1 && r != 0 && r != -1) er_panic(label);
  return r;
}

AVT_NODE* rotate_to_large(AVT_NODE* n) {  // the small child becomes the root
  AVT_NODE* s = n->small;
  n->small = s->large;
  s->large = n;
  fix_level(n);
  fix_level(s);
  return s;
}

AVT_NODE* rotate_to_small(AVT_NODE* n) {  // the large child becomes the root
  AVT_NODE* l = n->large;
  n->large = l->small;
  l->small = n;
  fix_level(n);
  fix_level(l);
  return l;
}

// Restores the balance of n, whose subtrees are balanced and differ in
// height by at most 2; returns the new root of the subtree.
AVT_NODE* rebalance(AVT_NODE* n) {
  fix_level(n);
  int diff = height(n->small) - height(n->large);
  if (diff > 1) {
    if (height(n->small->small) < height(n->small->large)) n->small = rotate_to_small(n->small);
    return rotate_to_large(n);
  }
  if (diff < -1) {
    if (height(n->large->large) < height(n->large->small)) n->large = rotate_to_large(n->large);
    return rotate_to_small(n);
  }
  return n;
}

AVT_NODE* insert_at(AVT_NODE* n, AVT_NODE* a, AVT_CMP cmp, AVT_NODE** found) {
  if (!n) return a;
  int r = checked_cmp(cmp, n->data, a->data, "avt_insert(2)");
  if (r == 0) {
    *found = n;
    return n;
  }
  if (r > 0)
    n->small = insert_at(n->small, a, cmp, found);
  else
    n->large = insert_at(n->large, a, cmp, found);
  return *found ? n : rebalance(n);
}

// Unlinks the smallest node of the subtree n into *min; returns the new root.
AVT_NODE* unlink_min(AVT_NODE* n, AVT_NODE** min) {
  if (!n->small) {
    *min = n;
    return n->large;
  }
  n->small = unlink_min(n->small, min);
  return rebalance(n);
}

AVT_NODE* delete_at(AVT_NODE* n, void* data, AVT_CMP cmp, AVT_NODE** removed) {
  if (!n) return nullptr;
  int r = checked_cmp(cmp, n->data, data, "avt_delete(1)");
  if (r > 0) {
    n->small = delete_at(n->small, data, cmp, removed);
  } else if (r < 0) {
    n->large = delete_at(n->large, data, cmp, removed);
  } else {
    *removed = n;
    AVT_NODE* replacement;
    if (!n->small) {
      replacement = n->large;
    } else if (!n->large) {
      replacement = n->small;
    } else {
      // The successor node itself takes n's place: nodes belong to the
      // caller, so data is never moved between them.
      AVT_NODE* rest = unlink_min(n->large, &replacement);
      replacement->large = rest;
      replacement->small = n->small;
    }
    n->small = n->large = nullptr;
    n->level = 1;
    return replacement ? rebalance(replacement) : nullptr;
  }
  return *removed ? rebalance(n) : n;
}

int trace(AVT_NODE* n, AVT_FUNC func, void* work, bool ascending) {
  if (!n) return 0;
  AVT_NODE* first = ascending ? n->small : n->large;
  AVT_NODE* second = ascending ? n->large : n->small;
  if (int r = trace(first, func, work, ascending)) return r;
  if (int r = func(n, work)) return r;
  return trace(second, func, work, ascending);
}

}  // namespace

AVT_NODE* avt_insert(AVT_NODE** avtp, AVT_NODE* a, AVT_CMP cmp) {
  if (!a || !a->data) er_panic("avt_insert(1)");
  a->small = a->large = nullptr;
  a->level = 1;
  AVT_NODE* found = nullptr;
  *avtp = insert_at(*avtp, a, cmp, &found);
  return found ? found : a;
}

AVT_NODE* avt_search(AVT_NODE* a, void* data, AVT_CMP cmp) {
  while (a) {
    int r = checked_cmp(cmp, a->data, data, "avt_search(1)");
    if (r == 0) return a;
    a = r > 0 ? a->small : a->large;
  }
  return nullptr;
}

AVT_NODE* avt_delete(AVT_NODE** avtp, void* data, AVT_CMP cmp) {
  AVT_NODE* removed = nullptr;
  *avtp = delete_at(*avtp, data, cmp, &removed);
  return removed;
}

int avt_trace_from_small(AVT_NODE* a, AVT_FUNC func, void* work) { return trace(a, func, work, true); }

int avt_trace_from_large(AVT_NODE* a, AVT_FUNC func, void* work) { return trace(a, func, work, false); }
