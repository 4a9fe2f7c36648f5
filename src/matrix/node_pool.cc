// The node pool: blocks of node data kept, by size, when their node leaves
// the cache, and handed to the next node of that size (node.h, "Node
// memory").
//
// Lock: pool_mu, a leaf that guards every field of the pool. It is taken
// under matrix_lock or without it, and nothing that sleeps, blocks or
// allocates ZU values runs under it; the tagged allocator (whose own leaf
// lock a block's statistics need) is called only outside it.
#include <mutex>

#include "base/alloc.h"
#include "elements/pool.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"

namespace {

// A kept block's first bytes link it to the next of its size.
struct Kept {
  Kept* next;
};

// One size of node data. Matrices of the same kind share a size, so a few
// classes serve every open matrix; a size past them is not kept.
struct SizeClass {
  size_t size = 0;
  Kept* head = nullptr;
  int64_t count = 0;
};
constexpr int kSizeClasses = 8;

std::mutex pool_mu;
SizeClass classes[kSizeClasses];  // pool_mu
int64_t kept_bytes = 0;           // pool_mu

// The bytes the pool may keep: as much as the cache may hold in nodes of
// data. What is kept, with the nodes in use, never exceeds the most the
// nodes in use ever held, since a block is kept only when a node lets it go
// and a new one is made only when none is kept.
int64_t pool_limit() {
  const int64_t cache = node_cache_bytes;
  return cache > 0 ? cache : int64_t{64} << 20;
}

SizeClass* class_of(size_t size, bool make) {
  SizeClass* empty = nullptr;
  for (SizeClass& c : classes) {
    if (c.size == size) return &c;
    if (!empty && c.count == 0) empty = &c;
  }
  if (!make || !empty) return nullptr;
  empty->size = size;
  return empty;
}

void* take(size_t size, const char* file, int line) {
  Kept* k = nullptr;
  {
    std::lock_guard<std::mutex> g(pool_mu);
    SizeClass* c = class_of(size, false);
    if (!c || !c->head) return nullptr;
    k = c->head;
    c->head = k->next;
    --c->count;
    kept_bytes -= static_cast<int64_t>(size);
  }
  xx_change_statistics(k, file, line);
  return k;
}

}  // namespace

void install_mx_node_pool() { set_mx_node_block_source(take); }

void mx_node_pool_give(MATRIX_DATA_TYPE* tp, void* d) {
  if (!d) return;
  // The bound is read under the store's lock; a node freed without it (one
  // that no table held, made and freed on its own) lets its data go at once.
  const int64_t limit = lock_held_by_me(matrix_lock) ? pool_limit() : 0;
  // Plain vectors are one tagged block; string vectors own their texts.
  const bool plain = tp && mx_is_vector_code(tp->type) && tp->type != MX_TYPE_STRING_V;
  const size_t size = plain ? d_alloc_size(d) : 0;
  if (size >= kMxNodeBlockMin && limit > 0) {
    change_statistics(d);  // kept blocks are the pool's
    std::lock_guard<std::mutex> g(pool_mu);
    SizeClass* c = kept_bytes + static_cast<int64_t>(size) <= limit ? class_of(size, true) : nullptr;
    if (c) {
      c->head = new (d) Kept{c->head};
      ++c->count;
      kept_bytes += static_cast<int64_t>(size);
      return;
    }
  }
  tp->free_data(tp, d);
}

void mx_node_pool_drain() {
  Kept* all = nullptr;
  {
    std::lock_guard<std::mutex> g(pool_mu);
    for (SizeClass& c : classes) {
      while (Kept* k = c.head) {
        c.head = k->next;
        k->next = all;
        all = k;
      }
      c = SizeClass{};
    }
    kept_bytes = 0;
  }
  while (Kept* k = all) {
    all = k->next;
    d_f_ree(k);
  }
}

int64_t mx_node_pool_bytes() {
  std::lock_guard<std::mutex> g(pool_mu);
  return kept_bytes;
}
