// One element request through an element-access cache, and the operations
// of the cache that the interpolated reads need.
//
// The cache itself belongs to the matrix store (matrix/element_cache.h), which
// sits above this layer: it installs its operations once at start-up
// (set_mx_cache_access_ops, next to the kind-4 pool of elements/pool.h).
// Until then every interpolated read is refused. Elements never look
// inside an MX_CACHE; the request record below is shared by both layers.
//
// One task at a time uses a cache and the requests made on it; nothing
// here takes a lock.
#pragma once

#include <cstdint>

struct MX_CACHE;
struct MATRIX_DATA_TYPE;
struct MATRIX_GEOMETRY;

// The owner's record hung on a cache (its user header): whatever record a
// user hangs there begins with this; free_func runs when the cache drops
// the record (a complete flush), and releases it.
struct mx_user_header {
  void (*free_func)(MX_CACHE* c);
};
using MX_USER_HEADER = mx_user_header;

struct MX_CACHE_PARAM_IX {
  uint16_t p;  // which of data_ptrs
  uint16_t x;  // slot in it; 65535: not transferred
};
constexpr uint16_t kMxcNoSlot = 65535;

struct MX_CACHE_PARAM {
  int64_t* dc;                  // level, then coordinates (finest units)
  int* ofs;                     // null, or offsets added to the position in the node
  void* data_ptrs[4];
  MX_CACHE_PARAM_IX* data_ix;   // one per access channel
  MX_CACHE* c;
  MX_CACHE* c2;                 // for the element types' interpolation
  int flags;                    // bit 0: no extent check on reads
  // Interpolated reads and the inverse lookup (elements/interp.h).
  void* ret_buf;
  void* inp_buf;
  int inp_level;
  int status;
  double tolerance;
  double y_tolerance;
  int try_max;
  double try_avg;
  double result_tolerance;
  double result_y_tolerance;
  void* avg_mtx;
  int newton_status;
  int vector_len;               // run length of the vector forms
  unsigned char* vector_valid;  // null, or a byte per element: write only where non-zero
};

struct MX_CACHE_ACCESS_OPS {
  // read_mx_cache: one element per access channel at p->dc; 0 or -1.
  int (*read)(MX_CACHE_PARAM* p);
  // The geometry of the cache's matrix; null when it has none.
  const MATRIX_GEOMETRY* (*geometry)(MX_CACHE* c);
  // The number of access channels (ds_len).
  int (*channels)(MX_CACHE* c);
  // The element type of access channel j; null for a channel without one.
  const MATRIX_DATA_TYPE* (*channel_type)(MX_CACHE* c, int j);
  // Where the cache keeps its user header.
  mx_user_header** (*user_header)(MX_CACHE* c);
  // Raised by every fill, write and release of the held node: data read
  // through the cache are still what the node holds while it is unchanged.
  uint64_t (*generation)(MX_CACHE* c);
};

// Installs the operations (null: none). Not synchronised: done at
// start-up, before any interpolated read.
void set_mx_cache_access_ops(const MX_CACHE_ACCESS_OPS* ops);
