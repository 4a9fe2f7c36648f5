// The free-space index: a treap of chain elements by offset, with the
// largest disk size of each subtree.
#include <algorithm>
#include <vector>

#include "store/free_index_impl.h"

namespace {

uint64_t sub_max(const FREELIST64* t) { return t ? t->max_disk : 0; }

void pull(FREELIST64* t) {
  t->max_disk = std::max({freelist_disk_size(t), sub_max(t->left), sub_max(t->right)});
}

// Splits t into the elements below `key` and those at or above it.
void split(FREELIST64* t, uint64_t key, FREELIST64** lo, FREELIST64** hi) {
  if (!t) {
    *lo = *hi = nullptr;
    return;
  }
  if (t->fofs < key) {
    split(t->right, key, &t->right, hi);
    *lo = t;
  } else {
    split(t->left, key, lo, &t->left);
    *hi = t;
  }
  pull(t);
}

// Joins two treaps whose keys are all below (a) and all above (b).
FREELIST64* join(FREELIST64* a, FREELIST64* b) {
  if (!a) return b;
  if (!b) return a;
  if (a->prio >= b->prio) {
    a->right = join(a->right, b);
    pull(a);
    return a;
  }
  b->left = join(a, b->left);
  pull(b);
  return b;
}

// The highest element below `bound` whose disk size is at least `want`.
FREELIST64* highest_with(FREELIST64* t, uint64_t want, uint64_t bound) {
  while (t && t->max_disk >= want) {
    if (t->fofs >= bound) {
      t = t->left;
      continue;
    }
    if (FREELIST64* r = highest_with(t->right, want, bound)) return r;
    if (freelist_disk_size(t) >= want) return t;
    t = t->left;
  }
  return nullptr;
}

}  // namespace

void FreeIndex::insert(FREELIST64* e) {
  seed ^= seed << 13;
  seed ^= seed >> 7;
  seed ^= seed << 17;
  e->prio = static_cast<uint32_t>(seed >> 32);
  e->left = e->right = nullptr;
  pull(e);
  FREELIST64 *lo, *hi;
  split(root, e->fofs, &lo, &hi);
  root = join(join(lo, e), hi);
  by_size[freelist_disk_size(e)].insert(e->fofs);
  ++count;
}

FREELIST64* FreeIndex::erase(uint64_t fofs) {
  FREELIST64 *lo, *mid, *hi;
  split(root, fofs, &lo, &mid);
  split(mid, fofs + 1, &mid, &hi);
  root = join(lo, hi);
  if (mid) {
    auto it = by_size.find(freelist_disk_size(mid));
    if (it != by_size.end()) {
      it->second.erase(fofs);
      if (it->second.empty()) by_size.erase(it);
    }
    mid->left = mid->right = nullptr;
    --count;
  }
  return mid;
}

void FreeIndex::move(FREELIST64* e, uint64_t fofs, uint64_t mem_size) {
  erase(e->fofs);
  e->fofs = fofs;
  e->f.h.size = mem_size;
  insert(e);
}

FREELIST64* FreeIndex::find(uint64_t fofs) const {
  FREELIST64* t = root;
  while (t && t->fofs != fofs) t = fofs < t->fofs ? t->left : t->right;
  return t;
}

FREELIST64* FreeIndex::lowest_at_or_above(uint64_t fofs) const {
  FREELIST64* best = nullptr;
  for (FREELIST64* t = root; t;) {
    if (t->fofs >= fofs) {
      best = t;
      t = t->left;
    } else {
      t = t->right;
    }
  }
  return best;
}

FREELIST64* FreeIndex::lowest_above(uint64_t fofs) const {
  return fofs == UINT64_MAX ? nullptr : lowest_at_or_above(fofs + 1);
}

FREELIST64* FreeIndex::highest_below(uint64_t fofs) const {
  FREELIST64* best = nullptr;
  for (FREELIST64* t = root; t;) {
    if (t->fofs < fofs) {
      best = t;
      t = t->right;
    } else {
      t = t->left;
    }
  }
  return best;
}

FREELIST64* FreeIndex::fit(uint64_t hd) const {
  // The highest segment that splits: larger by more than 12 bytes, with a
  // remainder of a size some record has (almost always the first found).
  FREELIST64* split_fit = nullptr;
  for (uint64_t bound = UINT64_MAX;;) {
    FREELIST64* c = highest_with(root, hd + 13, bound);
    if (!c || pn64_disk_size_ok(freelist_disk_size(c) - hd)) {
      split_fit = c;
      break;
    }
    bound = c->fofs;
  }
  FREELIST64* exact = nullptr;
  auto it = by_size.find(hd);
  if (it != by_size.end() && !it->second.empty()) exact = find(*it->second.rbegin());
  if (!exact) return split_fit;
  if (!split_fit) return exact;
  return exact->fofs > split_fit->fofs ? exact : split_fit;
}

void FreeIndex::build_descending(FREELIST64* first) {
  // The Cartesian tree of the elements in offset order, built with a stack
  // of the right spine: each element is met once.
  std::vector<FREELIST64*> order;
  for (FREELIST64* f = first; f; f = f->next) order.push_back(f);
  std::vector<FREELIST64*> spine;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    FREELIST64* e = *it;
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    e->prio = static_cast<uint32_t>(seed >> 32);
    e->left = e->right = nullptr;
    FREELIST64* last = nullptr;
    while (!spine.empty() && spine.back()->prio < e->prio) {
      last = spine.back();
      spine.pop_back();
    }
    e->left = last;
    if (!spine.empty()) spine.back()->right = e;
    spine.push_back(e);
    by_size[freelist_disk_size(e)].insert(by_size[freelist_disk_size(e)].end(), e->fofs);
  }
  root = spine.empty() ? nullptr : spine.front();
  count = order.size();
  // Sizes from the leaves up: children come before their parents in a
  // post-order walk.
  std::vector<std::pair<FREELIST64*, bool>> stack;
  if (root) stack.emplace_back(root, false);
  while (!stack.empty()) {
    auto [t, done] = stack.back();
    stack.pop_back();
    if (done) {
      pull(t);
      continue;
    }
    stack.emplace_back(t, true);
    if (t->left) stack.emplace_back(t->left, false);
    if (t->right) stack.emplace_back(t->right, false);
  }
}
