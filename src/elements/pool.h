// The node memory of an element-access cache, as allocation kind 4 sees it,
// and the source of node-sized blocks of the tagged kind.
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

// Vectors of the tagged kind as large as a node's data come first from the
// blocks that nodes gone from the matrix store's cache left behind: the
// store installs its pool here at start-up (a need that points up), so
// that a node made or loaded reuses memory that is already in place
// instead of fresh pages. take gives a tagged block of exactly `size`
// bytes (contents undefined, charged to file and line), or null when it
// keeps none of that size; it guards itself. Smaller requests never ask.
using MX_NODE_BLOCK_TAKE = void* (*)(size_t size, const char* file, int line);
constexpr size_t kMxNodeBlockMin = size_t{64} << 10;
void set_mx_node_block_source(MX_NODE_BLOCK_TAKE take);
// A block of `size` bytes from the installed source, or null (none
// installed, a smaller size, or none kept).
void* xx_mx_node_block_take(size_t size, const char* file, int line);
