// The node memory of an element-access cache, as allocation kind 4 sees it.
//
// The cache itself belongs to the matrix store, which installs its pool
// operations once at start-up (set_mx_cache_pool_ops); until then, and for a
// null cache, kind-4 requests are refused. Elements never look inside an
// MX_CACHE. The operations are called without any lock of this layer; the
// pool guards itself.
#pragma once

#include <cstddef>

struct MX_CACHE;

struct MX_CACHE_POOL_OPS {
  // size bytes from c's pools (contents undefined); null on failure.
  void* (*alloc)(MX_CACHE* c, size_t size, const char* file, int line);
  // Gives a block from alloc back to c.
  void (*free)(MX_CACHE* c, void* ptr, const char* file, int line);
};

// Installs the pool operations (null: none). Not synchronised: done at
// start-up, before any kind-4 allocation.
void set_mx_cache_pool_ops(const MX_CACHE_POOL_OPS* ops);
// size bytes from c; null for a null cache or when no pool is installed.
void* xx_mxc_alloc(MX_CACHE* c, size_t size, const char* file, int line);
// Null ptr is ignored.
void xx_mxc_free(MX_CACHE* c, void* ptr, const char* file, int line);
#define mxc_alloc(c, size) xx_mxc_alloc((c), (size), __FILE__, __LINE__)
#define mxc_free(c, ptr) xx_mxc_free((c), (ptr), __FILE__, __LINE__)
