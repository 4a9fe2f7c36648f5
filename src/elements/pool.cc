#include "elements/pool.h"

namespace {
const MX_CACHE_POOL_OPS* pool_ops = nullptr;
}

void set_mx_cache_pool_ops(const MX_CACHE_POOL_OPS* ops) { pool_ops = ops; }

void* xx_mxc_alloc(MX_CACHE* c, size_t size, const char* file, int line) {
  return c && pool_ops ? pool_ops->alloc(c, size, file, line) : nullptr;
}

void xx_mxc_free(MX_CACHE* c, void* ptr, const char* file, int line) {
  if (ptr && c && pool_ops) pool_ops->free(c, ptr, file, line);
}
