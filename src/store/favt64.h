// Balanced search trees whose nodes are records of a record file.
//
// A tree is known by the file offset of its root record (type 0x0101: the
// key type and the offset of the top node). Each node record (type 0x0102)
// holds the offsets of its two children, the height of its subtree and an
// opaque key. Keys are ordered only by the comparison the caller passes to
// each operation; a tree's byte-order function turns keys between host and
// file order (applied twice it gives the key back).
//
// Roots and nodes are loaded on demand into one node cache shared by every
// tree of every open file, kept to at most kFavtCacheLimit records. A
// record leaves the cache only when nothing of it is in use: it holds no
// pins (favt64_lock) and none of its children is cached, so the cache
// always holds whole paths from the roots. Among the records that may leave,
// the least recently used goes first; they wait on a list of their own, so
// finding one costs the same however many records are in use. A changed
// record is written back when it leaves, and every changed record of a file
// when the file is flushed or closed.
//
// Nothing here is thread-safe: every call runs under the record-store lock
// (l_favt64.h). Pointers handed out by the functions of this file stay valid
// only until the next call that may load a record, unless the caller pins
// the record with favt64_lock; the l_ wrappers hand out pinned records.
//
// Stored records are never trusted: a record of the wrong type, a key that
// cannot be, or a path deeper than any balanced tree can have gives an error
// code, never a stop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/pdb64.h"

constexpr int kFavtCacheLimit = 10000;

// Error codes left in *errp.
constexpr int kFavtNotFound = -1;
constexpr int kFavtUnreadable = -2;   // a record could not be read or written
constexpr int kFavtBadCompare = -3;   // the comparison gave something other than 1, 0, -1
constexpr int kFavtLimit = -4;        // bounded search stopped at its limit
constexpr int kFavtCorrupt = -5;      // a record of the wrong type or shape
constexpr int kFavtBadArgument = -6;
constexpr int kFavtNoSpace = -7;      // file space could not be reserved

// Stored sizes (memory form: the 16-byte header counts).
constexpr uint64_t kFavtRootSize = 28;
constexpr uint64_t kFavtNodeFixed = 36;

// Header flags.
constexpr uint16_t kFavtDirty = 1;   // the record itself changed
constexpr uint16_t kFavtLocked = 2;  // pinned (pins > 0)
constexpr uint16_t kFavtDead = 4;    // freed while pinned; memory goes at the last unpin

struct FAVT64_NODE;
struct FAVT64_ROOT;

using FAVT64_ENDIAN_FUNC = void (*)(void* data, int64_t len);
// 1: `key` belongs on the node's small side, -1 on its large side, 0 equal.
using FAVT64_CMP = int (*)(void* node_data, void* key, void* w);
using FAVT64_TRACE_FUNC = int (*)(FAVT64_NODE* n, void* work);

// Head of every cached record.
struct FAVT64_HEADER {
  FAVT64_HEADER* next;  // node cache ring, most recently loaded first
  FAVT64_HEADER* prev;
  PDB64* p;
  uint64_t fofs;
  uint16_t type;        // 0x0101 or 0x0102
  uint16_t flags;
  int32_t pins;         // holds by favt64_lock
  // Eviction list, most recently used first: every record that may leave
  // is on it (others may be too, and are taken off when met). Null links
  // while not on it.
  FAVT64_HEADER* lru_next;
  FAVT64_HEADER* lru_prev;
  uint64_t used;        // use stamp: larger is more recent
};

// A reference to a node.
struct FAVT64_PTR {
  uint64_t fofs;        // 0: no node
  int type;             // 0x0102
  FAVT64_NODE* ptr;     // the cached node, null while not in memory
  uint16_t flags;       // kFavtDirty: changed since the owner was written
  FAVT64_HEADER* owner; // the record holding this reference (set once;
                        // favt64_clear_ptr keeps it)
};

// Makes a reference empty, keeping its owner.
inline void favt64_clear_ptr(FAVT64_PTR* ref) {
  ref->fofs = 0;
  ref->type = kPn64AvtNodeType;
  ref->ptr = nullptr;
  ref->flags = 0;
}

struct FAVT64_ROOT {
  FAVT64_HEADER h;
  int type;             // key type
  FAVT64_ENDIAN_FUNC endian_func;
  FAVT64_PTR node;      // the top node
  int loose;            // cached nodes of this tree linked nowhere
  int64_t key_len;      // the length every key must have, 0 for any (set
                        // by the owner of the tree before it loads nodes)
  // Set by an owner whose keys have a variable layout, before it loads
  // nodes: a key loaded for this tree that it does not accept (non-zero)
  // makes the node corrupt, so comparisons only ever see keys it accepts.
  int (*key_check)(const void* key, int64_t len, const void* w);
  const void* key_check_w;
};

struct FAVT64_NODE {
  FAVT64_HEADER h;
  FAVT64_PTR small;
  FAVT64_PTR large;
  FAVT64_PTR* parent;   // the reference leading here; null while unlinked
  FAVT64_ROOT* root;
  int level;            // height of the subtree (a leaf is 1)
  int64_t data_len;
  void* data;           // the key, host order (stored right after the node)
};

struct FAVT64_LOAD_WORK {
  FAVT64_HEADER* ret;
  uint64_t fofs;
  FAVT64_PTR* parent;
  int err;
};

// One key found by a bounded search.
struct BOUND64_LIST {
  BOUND64_LIST* next;
  void* data;           // a copy of the key (stored right after the element)
  int64_t data_len;
};

struct BOUND64_SEARCH_WORK {
  FAVT64_ROOT* p;
  void* data_min;
  void* data_max;
  FAVT64_CMP cmp;
  BOUND64_LIST* head;
  BOUND64_LIST* tail;
  void* cmp_work;
  int limit;
  int count;
};

struct FAVT64_TEST {
  FAVT64_ROOT* p;
  void* data;           // the previous key
  FAVT64_CMP cmp;
  void* w;
  int64_t count;
};

// Loaders and byte-order converters chosen by record type: the high byte
// picks the class (1: trees), the low byte the record.
using FAVT64_LOADER = int (*)(FAVT64_LOAD_WORK* lw, PN64_HEADER* rec, PDB64* p, FAVT64_ROOT* rt);
using FAVT64_CONVERTER = void (*)(PN64_HEADER* rec);
extern const FAVT64_LOADER* const func_table64[2];
extern const FAVT64_LOADER favt64_func_table[3];
extern const FAVT64_CONVERTER change_endian_favt64_table_to_host[3];

// The node cache ring (sentinel) and the number of records in it.
extern FAVT64_HEADER favt64_h;
extern int favt64_count;
// Records looked at by walks of the whole ring in search of records to
// evict (a statistic).
extern uint64_t favt64_walk_steps;

// Empties the cache, starts the page cache and installs the flush hooks of
// the record layer. Only while no tree record is cached.
void init_favt64();

// Byte order of the stored records, in place, both directions.
void change_endian_favt64_root(PN64_HEADER* rec);
void change_endian_favt64_node(PN64_HEADER* rec);

// A new empty tree with key type `type`; null when no space.
FAVT64_ROOT* favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN_FUNC func);
// The tree whose root record is at fofs (cached ones keep their function).
FAVT64_ROOT* get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN_FUNC func);
// get_root64 for an owner whose keys have one layout: the root must carry
// key type `type`, and every node loaded for it must hold a key of exactly
// key_len bytes (kFavtCorrupt otherwise).
FAVT64_ROOT* get_typed_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN_FUNC func, int type,
                              int64_t key_len);
FAVT64_NODE* root_node64(int* errp, FAVT64_ROOT* r);
FAVT64_NODE* small_node64(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n);
FAVT64_NODE* large_node64(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n);
FAVT64_NODE* g_ptr64(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ptr);
// A new unlinked node holding a copy of the key; null when no space. It
// stays in memory until inserted or freed.
FAVT64_NODE* favt64_alloc_node(FAVT64_ROOT* rt, const void* data, int64_t data_size);

// Links `a` into the subtree at favtp (&rt->node for the whole tree) and
// rebalances. `a`, the node already holding an equal key (a stays unlinked
// and the caller's), or null.
FAVT64_NODE* favt64_insert(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* favtp, FAVT64_NODE* a, FAVT64_CMP cmp, void* w);
FAVT64_NODE* favt64_search(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, void* data, FAVT64_CMP cmp, void* w);
// Unlinks the node with an equal key and rebalances; the caller frees the
// node it gets back with favt64_free_node.
FAVT64_NODE* favt64_delete(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* favtp, void* data, FAVT64_CMP cmp, void* w);
// func over the subtree of a in ascending (descending) order; the first
// non-zero result ends the walk and is returned. A record that cannot be
// read ends it with *errp and the result kFavtUnreadable.
int favt64_trace_from_small(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work);
int favt64_trace_from_large(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, FAVT64_TRACE_FUNC func, void* work);
// Copies of the keys between data_min and data_max inclusive, ascending, at
// most `limit` (negative: no limit; reaching it sets *errp = kFavtLimit).
BOUND64_LIST* favt64_bound_search(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, void* data_min, void* data_max,
                                  int limit, FAVT64_CMP cmp, void* cw);
void free_bound_list64(BOUND64_LIST* b);

// Frees an unlinked node: its file space at once, its memory once no pin
// is left. 0, or -1 for a node still in a tree.
int favt64_free_node(FAVT64_NODE* n);
// Frees the root of an empty tree the same way. 0, or -1.
int favt64_free_root(FAVT64_ROOT* r);

// Writes back every changed record of p and drops from memory every record
// that nobody pins or works below. 0, or negative when a write failed.
int flush_favt64_cache(PDB64* p);
// At close: flush_favt64_cache, then drops every record of p whatever its
// pins (the file is going away).
int drop_favt64_cache(PDB64* p);

// Pins and unpins a record; an unpinned dead record is freed.
void favt64_lock(FAVT64_HEADER* h);
void favt64_unlock(FAVT64_HEADER* h);
inline void favt64_lock(FAVT64_NODE* n) { favt64_lock(&n->h); }
inline void favt64_unlock(FAVT64_NODE* n) { favt64_unlock(&n->h); }
inline void favt64_lock(FAVT64_ROOT* r) { favt64_lock(&r->h); }
inline void favt64_unlock(FAVT64_ROOT* r) { favt64_unlock(&r->h); }

// Writes a cached record to its place; 0, or -1.
int favt64_write(FAVT64_HEADER* h);
// 1 when the record needs writing (clearing that flag when reset), else 0.
int check_dirty64(FAVT64_HEADER* h, int reset);
// Evicts until the ring is within its limit (as far as anything can go).
void clear_cache64();
// Loads the record at fofs (root or node); null with *errp on failure.
FAVT64_HEADER* favt64_load(int* errp, PDB64* p, FAVT64_ROOT* rt, uint64_t fofs, FAVT64_PTR* parent);
// n.level := 1 + the larger child level; 0, or negative.
int fset_level64(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* n);
// Restores balance at a reference; 0, or negative.
int favt64_valance(int* errp, FAVT64_ROOT* rt, FAVT64_PTR* ptr);

// Checks of the in-memory cache: 0 when consistent, else -1 with `str` and
// the fault printed to the standard error stream.
int check_cache64(const char* str);
int cc_root64(const char* str, FAVT64_ROOT* r);
int cc_node64(const char* str, FAVT64_NODE* n);
// Walks the tree checking key order and levels (loading what it must). The
// number of nodes, or negative (kFavtCorrupt for a broken tree).
int64_t favt64_test(int* errp, FAVT64_ROOT* rt, FAVT64_NODE* a, FAVT64_CMP cmp, void* w);

// Deepest path any search follows before calling a tree corrupt (a balanced
// tree of 2^64 nodes is less than 94 deep).
constexpr int kFavtMaxDepth = 128;
