#include "elements/pool.h"

#include <atomic>

namespace {
const MX_CACHE_POOL_OPS* pool_ops = nullptr;
std::atomic<MX_NODE_BLOCK_TAKE> node_block_take{nullptr};
}  // namespace

void set_mx_cache_pool_ops(const MX_CACHE_POOL_OPS* ops) { pool_ops = ops; }

void* xx_mxc_alloc(MX_CACHE* c, size_t size, const char* file, int line) {
  return c && pool_ops ? pool_ops->alloc(c, size, file, line) : nullptr;
}

void xx_mxc_free(MX_CACHE* c, void* ptr, const char* file, int line) {
  if (ptr && c && pool_ops) pool_ops->free(c, ptr, file, line);
}

void set_mx_node_block_source(MX_NODE_BLOCK_TAKE take) { node_block_take.store(take, std::memory_order_release); }

void* xx_mx_node_block_take(size_t size, const char* file, int line) {
  if (size < kMxNodeBlockMin) return nullptr;
  MX_NODE_BLOCK_TAKE take = node_block_take.load(std::memory_order_acquire);
  return take ? take(size, file, line) : nullptr;
}
