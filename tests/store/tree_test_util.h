// Helpers of the tree tests: 64-bit keys stored big-endian.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/endian.h"
#include "store/favt64.h"

inline void key64_endian(void* d, int64_t len) {
  if (len != 8) return;
  uint64_t v;
  std::memcpy(&v, d, 8);
  v = swap_if64(v);
  std::memcpy(d, &v, 8);
}

inline uint64_t key_of(const void* d) {
  uint64_t v;
  std::memcpy(&v, d, 8);
  return v;
}

inline int key64_cmp(void* node_data, void* key, void*) {
  uint64_t a = key_of(node_data), b = key_of(key);
  return b < a ? 1 : b > a ? -1 : 0;
}

inline int collect_key(FAVT64_NODE* n, void* w) {
  static_cast<std::vector<uint64_t>*>(w)->push_back(key_of(n->data));
  return 0;
}

// Largest height a balanced tree of n nodes can have.
inline int avl_height_bound(size_t n) {
  return static_cast<int>(std::floor(1.4405 * std::log2(static_cast<double>(n) + 2) - 0.3277));
}
