// The element-access cache: single elements, and runs along the first
// dimension, read and written at any dim code through one held node.
//
// A cache holds at most one node, with one node lock and one channel lock
// per access channel. A request inside the held node is served at once (a
// hit: one dim-code comparison, no lock); any other releases the held node
// and fetches and awaits the node holding the code (a miss). One task at a
// time uses a cache; its users take the scratch of their requests from the
// cache's own size-class pool (allocation kind 4 of the element types).
//
// Buffers: for the point forms the element of access channel i lies at
// data_ptrs[p] + x * el_sizes[i]; for the vector forms data_ptrs[p] is an
// array of buffers and the run of channel i lies in data_ptrs[p][x] (x =
// 65535 leaves the channel out). Bit channels are addressed by bit: one
// byte 0 or 1 per element in the caller's buffers.
//
// A cache is its owner's alone: only the owner fills or flushes it, and
// its hits take no lock. The store never lets go of a node for it, so a
// matrix whose node a cache holds waits in close_matrix until the owner
// flushes (the agent's entries are closed before their matrices).
#pragma once

#include <cstdint>

#include "elements/cache_access.h"
#include "elements/value.h"
#include "matrix/matrix.h"

struct MX_CACHE;

// The header in front of every pool block.
struct MBLK {
  MBLK* next;               // next block of the same free list
  uint16_t size;            // size class, 65535 for a direct block
  uint16_t cnt;             // times handed out (held at 65534)
  const char* alloc_file;   // the request that made the block
  int alloc_line;
  const char* free_file;    // where it was given back; null while in use
  int free_line;
};
constexpr uint16_t kMblkDirect = 65535;

struct MX_CACHE {
  MATRIX* m;
  MATRIX_NODE* n;               // the held node, or null
  MATRIX_DH_SET* ds;            // one view per access channel (first fill on)
  int* access_ch;               // the owner's channel numbers
  int* el_sizes;                // element bytes per access channel (first fill on)
  int ds_len;
  int dirty;                    // set by writes into the held node, always with a step of
                                // generation; the flags of its channel unlocks, cleared
                                // when it is released. Only the cache's own functions change it.
  MBLK** mblk_hash;             // free lists by size class
  int mblk_hashsize;            // default 16
  int mblk_logsize;             // default 9 (512-byte granules)
  int gn_tree_node;             // lookup type of the first fetch
  int gn_create;                // its access code
  int gn_wait;                  // the access code awaited
  int64_t miss_hit_cnt;
  int64_t hit_cnt;
  mx_user_header* user_header;
  uint64_t generation;          // raised by every fill, write and release of the held node
};

// Makes the pool ready (0 sizes take the defaults 9 and 16); clears the
// user header. The owner has set m, access_ch, ds_len and the gn_ fields.
void mxc_setup(MX_CACHE* c);
// The pool operations (elements/pool.h's kind-4 interface calls these):
// requests up to (mblk_hashsize - 1) granules come from the size classes,
// larger ones from the tagged allocator. A block given back twice stops
// the process.
void* mxc_pool_alloc(MX_CACHE* c, size_t size, const char* file, int line);
void mxc_pool_free(MX_CACHE* c, void* ptr, const char* file, int line);
// Installs them as the kind-4 pool, and the cache's operations for the
// interpolated reads (elements/cache_access.h) (init_matrix).
void install_mx_cache_pool();
// Debug builds: every block direct.
extern int mxc_debug_direct;

// Makes c hold the node containing dc: 0; -1 when there is no such node
// or it failed; kMxcNotReady when it did not become ready (the wait for it
// ended, or no script makes it ready); the load fault (node.h,
// mx_is_load_fault) of a node the file stores but that could not be read.
// No node is held after a failure.
constexpr int kMxcNotReady = -2;
int get_mx_cache(MX_CACHE* c, const int64_t* dc);
// One element per access channel at p->dc: 0 or -1; a read answers the
// load fault (node.h) of a node the file stores but that could not be read.
int read_mx_cache(MX_CACHE_PARAM* p);
int write_mx_cache(MX_CACHE_PARAM* p);
// p->vector_len elements along the first dimension from p->dc, across
// nodes: the count passed over, or -1 (kMxcNotReady when a node on the way
// did not become ready, a load fault when a read met a node that could not
// be read; a read passes over nodes that are not there). *p is left
// unchanged.
int read_mx_cache_vector(MX_CACHE_PARAM* p);
int write_mx_cache_vector(MX_CACHE_PARAM* p);
// 0 when ix lies inside every held vector channel, else -1.
int mx_cache_boundary(MX_CACHE* c, const int64_t* ix);
// Records that the owner changed the held node other than through the
// element forms (a structure on a block channel): the node is marked
// changed when the cache lets it go, and the generation count moves, as
// after any write. Nothing happens while no node is held.
void mx_cache_changed(MX_CACHE* c);

// ---------------------------------------------------------------------------
// Rectangles of pixel words
//
// A rectangle of a two-dimensional matrix at one level, its pixels the
// 4-byte elements of one access channel. Pixel (w, h) lies at the
// finest-level position (x + w * 2^sx, y + h * 2^sy), sx and sy the
// level's shifts. A pixel whose position does not fit 64 bits or lies
// outside the matrix is nowhere: a read leaves its word as it was, a write
// passes over it. The caller's buffer holds the rows [first, first + rows)
// of the rectangle, width words each.
//
// Rows are taken in bands that end at the border of a node row, and each
// band node column by node column, so that a band fetches each node it
// crosses once.
struct MX_PIXEL_RECT {
  int slot;               // the access channel
  int64_t level;
  int64_t x, y;           // finest-level position of pixel (0, 0)
  int64_t width, height;  // pixels of the level
};
// Rows of the band that starts at row h: up to the border of the node row
// that row h lies in, the end of the rectangle and cap (at least 1); rows
// outside the matrix make bands of their own. 0 when h is not a row of r.
int64_t mx_rect_band(const MX_CACHE* c, const MX_PIXEL_RECT& r, int64_t h, int64_t cap);
// Reads rows [first, first + rows) of r into words; pixels in nodes that
// are not there are left as they are. 0; -1 when a node's channel held no
// vector of 4-byte elements (its pixels are left); kMxcNotReady when a
// node did not become ready, or the load fault of a node that is stored but
// could not be read: what came before it is read, and at (1 + 2 values)
// names the position fetched.
int read_mx_cache_rect(MX_CACHE* c, const MX_PIXEL_RECT& r, int64_t first, int64_t rows, uint32_t* words,
                       int64_t* at);
// Writes rows [first, first + rows) of r from words, only where valid is
// non-zero when valid is given (one byte per word). 0; -1 when a node
// could not be had or its channel held no vector of 4-byte elements (its
// pixels are passed over, the others written; at names the first such
// node), or the load fault of that first node when the file holds it but
// could not give it (-128 busy elsewhere, ...); kMxcNotReady as the read.
// Every node whose elements the write changed is marked changed when the
// cache lets it go; one written with what it held already is not.
int write_mx_cache_rect(MX_CACHE* c, const MX_PIXEL_RECT& r, int64_t first, int64_t rows, const uint32_t* words,
                        const uint8_t* valid, int64_t* at);
// The held node's pixel words of access channel slot, read in place: its
// two-dimensional vector of 4-byte elements (host order, not necessarily
// aligned), element (x, y) at byte (y * *w + x) * 4, with *w and *h the
// vector's extents (index_hem's extra row and column included). Null when
// no node is held or the channel holds no such vector. Valid until the
// cache lets the node go or writes into it; only reads may go through it.
const uint8_t* mx_cache_node_words(const MX_CACHE* c, int slot, int64_t* w, int64_t* h);
// Releases the held node; f also drops the user header (always) and
// returns the pooled blocks (only when a node was held).
void flush_mx_cache(MX_CACHE* c, int f);
// Frees what the cache made for itself (views, sizes, pool lists); for its
// owner when the cache goes, after flush_mx_cache(c, 1).
void mxc_release(MX_CACHE* c);
// Diagnostic: "EQU\n" or "NOT EQUAL\n" on the standard output.
void check_memcpy(const void* a, const void* b, size_t size);
