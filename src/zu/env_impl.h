// Inside the environments: their layout, the look-up caches, and the
// look-ups and bindings of the evaluator's hot path in line (env.cc holds
// the rest; env.h says what each function promises).
#pragma once

#include <atomic>
#include <cstdint>

#include "zu/env.h"
#include "zu/value.h"

namespace zu_env {

// Who made a binding: the agent (peer false), or a peer: the link it came
// by (its EVAL_ORIGIN::peer_id, which alone may change the binding) and
// the address whose share what the binding keeps counts in.
struct BINDER {
  bool peer;
  uint32_t id;
  uint32_t ip;
};
inline bool same_binder(const BINDER& a, const BINDER& b) {
  return a.peer == b.peer && (!a.peer || (a.id == b.id && a.ip == b.ip));
}

struct ENV_ENTRY {
  std::atomic<ENV_ENTRY*> next;
  ZU_ATOM* name;
  std::atomic<ZU_SEXP*> value;
  // Who made it; written with the binding under the environment lock, read
  // there and by the collector.
  uint32_t ip;
  uint32_t peer_id;
  uint8_t peer;
};

// Buckets follow the header; their number is a power of two.
struct ENV_TABLE {
  uint32_t n;
  uint32_t pad;
  std::atomic<ENV_ENTRY*>* b() { return reinterpret_cast<std::atomic<ENV_ENTRY*>*>(this + 1); }
};

// The first bindings of an environment live in the environment itself: a
// call environment holds a handful of names, and a short scan of pointers
// beats a table. A slot is handed out once and never reused, so a reader
// that matched a name reads that name's value; a removed name leaves a dead
// slot behind. A slot holds only a binding of the environment's maker
// (maker_binder); any other writer's binding lives in the table, with its
// binder.
struct ENV_SLOT {
  std::atomic<ZU_ATOM*> name;
  std::atomic<ZU_SEXP*> value;
};
constexpr int kSlots = 4;

using CELL = std::atomic<ZU_SEXP*>;

// Look-ups hand out value cells. A cell of a table entry carries tag bit 0:
// a table that grows copies its entries, so a store into such a cell must
// hold the environment lock; a slot's cell never moves.
inline CELL* untag(CELL* c) { return reinterpret_cast<CELL*>(reinterpret_cast<uintptr_t>(c) & ~uintptr_t{1}); }
inline bool in_table(CELL* c) { return (reinterpret_cast<uintptr_t>(c) & 1) != 0; }
inline CELL* tag_table(CELL* c) { return reinterpret_cast<CELL*>(reinterpret_cast<uintptr_t>(c) | 1); }

}  // namespace zu_env

struct ZUISP_ENV {
  uint8_t kind;
  // Set once the environment lies on some other environment's search path
  // (it became a parent or a pair member); from then on changes to its
  // bindings invalidate the look-up caches.
  std::atomic<uint8_t> watched;
  std::atomic<uint8_t> used;       // slots handed out
  // Made while the code that made it ran for a peer (env_peer_writing);
  // fixed at birth. The agent's environments, at any depth, keep what the
  // agent bound in them from every peer (env.h).
  uint8_t peer_made;
  std::atomic<uint32_t> flags;
  // One bit (chosen by the atom's hash) per name ever bound here: a clear
  // bit proves the name is not bound here.
  std::atomic<uint64_t> mask;
  std::atomic<ZUISP_ENV*> parent;  // hash: parent; pair: unused
  std::atomic<ZUISP_ENV*> first;   // pair members
  std::atomic<ZUISP_ENV*> second;
  std::atomic<ZU_SEXP*> deflt;     // default binding
  std::atomic<UNIT_ENV*> uenv;
  std::atomic<void*> work;
  std::atomic<zu_env::ENV_TABLE*> table;   // bindings beyond the slots; null until needed
  uint32_t count;                  // bindings in the table (under the lock)
  // One bit (chosen by the atom's hash) per name some thread has cached a
  // search result under this environment for: a clear bit proves the cache
  // holds nothing for the pair, so the probe (a likely miss for a fresh call
  // environment) is skipped. Racing writers may drop a bit; that only costs
  // a later search its shortcut.
  std::atomic<uint32_t> cached;
  // Which incarnation of this address the environment is: look-up results
  // cached under an environment count only while its stamp is the one they
  // were cached with, since a call environment handed back at the end of
  // its call leaves its address to the next one.
  uint64_t stamp;
  // Made by new_call_env: handed back when its call returns, unless kept.
  uint8_t call;
  // Set once something other than the evaluator may refer to it (env_keep).
  std::atomic<uint8_t> kept;
  // A built-in's own environment after start-up (seal_env): nothing writes
  // it any more, and its bindings all lie in the table.
  std::atomic<uint8_t> sealed;
  // The peer that made it when peer_made: its EVAL_ORIGIN::peer_id and
  // address, the binder of its slots.
  uint32_t maker_peer;
  uint32_t maker_ip;
  zu_env::ENV_SLOT slot[zu_env::kSlots];
};

namespace zu_env {

inline uint64_t mask_bit(const ZU_ATOM* a) { return uint64_t{1} << (a->hash >> 26); }
inline uint32_t cached_bit(const ZU_ATOM* a) { return uint32_t{1} << (a->hash >> 27); }

// ---- look-up caches
//
// Each thread keeps a direct-mapped cache of look-up results keyed by
// (environment, name). For a hash environment the entry holds what the
// search finds *above* it (its parent's chain), for a pair what the whole
// search finds; the environment's own bindings are always read live. A
// result is the binding's value cell, or null for "bound nowhere".
//
// Every environment that such a result depends on is marked watched before
// any result through it can be computed (a parent, a pair member), and any
// change of the shape of the search through a watched environment — a
// binding added or removed, a table regrown, a parent or pair member
// replaced — advances g_version, as does each collection (which may free an
// environment and hand its address to a new one). An entry counts only
// while its version is the current one. Replacing the value of an existing
// binding changes no shape: the cell is read at each use.
//
// A binding added concurrently with an environment becoming watched is
// settled by a fence on both sides: either the binder sees the mark and
// advances the version, or the watcher's later searches see the binding.
extern std::atomic<uint64_t> g_version;

struct CacheSlot {
  const ZUISP_ENV* env;
  const ZU_ATOM* atom;
  CELL* cell;
  uint64_t version;  // 0: empty
  uint64_t stamp;    // the environment's incarnation
};
constexpr int kCacheBits = 10;
extern constinit thread_local CacheSlot tl_cache[1 << kCacheBits];

inline CacheSlot& cache_slot(const ZUISP_ENV* e, const ZU_ATOM* a) {
  uint64_t k = (reinterpret_cast<uintptr_t>(e) >> 4) ^ (static_cast<uint64_t>(a->hash) << 28);
  return tl_cache[(k * 0x9E3779B97F4A7C15ull) >> (64 - kCacheBits)];
}

// The cached result for (e, a) of the current version, if any.
inline bool cache_hit(const ZUISP_ENV* e, const ZU_ATOM* a, uint64_t version, CELL** cell) {
  if (!(e->cached.load(std::memory_order_relaxed) & cached_bit(a))) return false;
  const CacheSlot& c = cache_slot(e, a);
  if (c.env != e || c.atom != a || c.version != version || c.stamp != e->stamp) return false;
  *cell = c.cell;
  return true;
}

inline void cache_put(ZUISP_ENV* e, const ZU_ATOM* a, CELL* cell, uint64_t version) {
  cache_slot(e, a) = CacheSlot{e, a, cell, version, e->stamp};
  uint32_t bits = e->cached.load(std::memory_order_relaxed);
  if (!(bits & cached_bit(a))) e->cached.store(bits | cached_bit(a), std::memory_order_relaxed);
}

inline ENV_ENTRY* find_entry(ZUISP_ENV* e, const ZU_ATOM* a) {
  ENV_TABLE* t = e->table.load(std::memory_order_acquire);
  if (!t) return nullptr;
  for (ENV_ENTRY* x = t->b()[a->hash & (t->n - 1)].load(std::memory_order_acquire); x;
       x = x->next.load(std::memory_order_acquire)) {
    if (x->name == a) return x;
  }
  return nullptr;
}

// The (tagged) value cell of a's binding in hash environment e itself, or
// null.
inline CELL* find_cell(ZUISP_ENV* e, const ZU_ATOM* a, uint64_t bit) {
  if (!(e->mask.load(std::memory_order_acquire) & bit)) return nullptr;
  int n = e->used.load(std::memory_order_acquire);
  for (int i = 0; i < n; ++i) {
    if (e->slot[i].name.load(std::memory_order_relaxed) == a) return &e->slot[i].value;
  }
  ENV_ENTRY* x = find_entry(e, a);
  return x ? tag_table(&x->value) : nullptr;
}

// The nearest binding of a from e (no depth limit), or null: e's own
// bindings, then what the cache holds for e, then e's parent the same way
// in line; any longer search out of line (lookup_cell_far).
CELL* lookup_cell_far(ZUISP_ENV* e, const ZU_ATOM* a, uint64_t version);
inline CELL* lookup_cell(ZUISP_ENV* e, const ZU_ATOM* a) {
  const uint64_t bit = mask_bit(a);
  if (e && e->kind == ZU_ENV_HASH) {
    if (CELL* x = find_cell(e, a, bit)) return x;
    const uint64_t version = g_version.load(std::memory_order_acquire);
    CELL* found = nullptr;
    if (cache_hit(e, a, version, &found)) return found;
    // One level up answers most searches from a fresh call environment.
    ZUISP_ENV* p = e->parent.load(std::memory_order_acquire);
    if (p && p->kind == ZU_ENV_HASH) {
      found = find_cell(p, a, bit);
      if (!found && !cache_hit(p, a, version, &found)) return lookup_cell_far(e, a, version);
      cache_put(e, a, found, version);
      return found;
    }
    return lookup_cell_far(e, a, version);
  }
  return lookup_cell_far(e, a, g_version.load(std::memory_order_acquire));
}

// As lookup_env_atom with no depth limit.
inline bool lookup_value(ZUISP_ENV* e, const ZU_ATOM* a, ZU_SEXP** value) {
  CELL* c = lookup_cell(e, a);
  if (!c) return false;
  *value = untag(c)->load(std::memory_order_acquire);
  return true;
}

// Adds a binding that h does not have yet (env.cc).
void insert_binding(ZUISP_ENV* h, ZU_ATOM* a, ZU_SEXP* value, BINDER by);

// Who the bindings in an environment's slots are by: its maker.
inline BINDER maker_binder(const ZUISP_ENV* h) {
  return h->peer_made ? BINDER{true, h->maker_peer, h->maker_ip} : BINDER{false, 0, 0};
}

// As bind_private_env: a fresh call environment's first bindings in line
// (a slot of its own, as insert_binding fills one).
inline void bind_private(ZUISP_ENV* env, ZU_ATOM* name, ZU_SEXP* value) {
  if (env && name && env->kind == ZU_ENV_HASH && !env->watched.load(std::memory_order_relaxed)) {
    const uint64_t bit = mask_bit(name);
    const uint64_t mask = env->mask.load(std::memory_order_relaxed);
    const int u = env->used.load(std::memory_order_relaxed);
    if (!(mask & bit) && u < kSlots) {
      env->slot[u].value.store(value, std::memory_order_relaxed);
      env->slot[u].name.store(name, std::memory_order_relaxed);
      env->mask.store(mask | bit, std::memory_order_release);
      env->used.store(static_cast<uint8_t>(u + 1), std::memory_order_release);
      return;
    }
  }
  bind_private_env(env, name, value);
}

}  // namespace zu_env
