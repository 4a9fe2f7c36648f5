#include "zu/env.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "zu/env_impl.h"
#include "zu/gc_core_impl.h"
#include "zu/peer.h"
#include "zu/peer_account.h"

using namespace zu_env;

namespace zu_env {
std::atomic<uint64_t> g_version{1};
constinit thread_local CacheSlot tl_cache[1 << kCacheBits] = {};
}  // namespace zu_env

ZUISP_ENV* qnlisp_top_env0 = nullptr;
ZUISP_ENV* qnlisp_top_env1 = nullptr;

namespace {

// Bounds on a search, so that environments wired into a cycle by a script
// end a look-up instead of hanging it.
constexpr int kMaxSteps = 1 << 16;
constexpr int kMaxNest = 256;

// ---- the environment lock, watching and shape versions

SEM env_lock_sem() {
  static SEM s = new_lock(LOCK_ENV);
  return s;
}

struct EnvLock {
  EnvLock() { lock_task(env_lock_sem()); }
  ~EnvLock() { unlock_task(env_lock_sem(), "env"); }
};

std::atomic<GC_MARK_FUNC> uenv_mark{nullptr};

// The name of a removed slot (never a real atom's address).
ZU_ATOM dead_atom_rec{};
ZU_ATOM* const kDead = &dead_atom_rec;


inline void watch(ZUISP_ENV* e) {
  if (e && !e->watched.load(std::memory_order_relaxed)) {
    e->watched.store(1, std::memory_order_relaxed);
    // A call environment nothing else can reach has no binder on another
    // thread to settle with; once it is kept, whoever reaches it got it
    // through a hand-over that publishes the mark.
    if (!e->call || e->kept.load(std::memory_order_relaxed)) std::atomic_thread_fence(std::memory_order_seq_cst);
  }
}

// After a change of the bindings of h.
inline void shape_changed(ZUISP_ENV* h) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (h->watched.load(std::memory_order_relaxed)) g_version.fetch_add(1, std::memory_order_acq_rel);
}

// ---- entries, tables and environments as collected blocks

void gc_env_entry(void* p) {
  for (auto* x = static_cast<ENV_ENTRY*>(p); x; x = x->next.load(std::memory_order_relaxed)) {
    if (gc_mark_block(x)) return;
    if (x->name && !gc_is_marked(x->name)) gc_mark_block(x->name);
    // What a peer bound is its address's, wherever it lies.
    if (x->peer) gc_mark_bound(x->value.load(std::memory_order_relaxed), gc_qn_sexp, x->ip);
    else gc_mark(x->value.load(std::memory_order_relaxed), gc_qn_sexp);
  }
}

void gc_env_table(void* p) {
  if (gc_mark_block(p)) return;
  auto* t = static_cast<ENV_TABLE*>(p);
  for (uint32_t i = 0; i < t->n; ++i) gc_mark(t->b()[i].load(std::memory_order_relaxed), gc_env_entry);
}

ENV_TABLE* new_table(uint32_t n) {
  auto* t = static_cast<ENV_TABLE*>(
      mmalloc(sizeof(ENV_TABLE) + n * sizeof(std::atomic<ENV_ENTRY*>), gc_env_table));
  t->n = n;
  for (uint32_t i = 0; i < n; ++i) new (&t->b()[i]) std::atomic<ENV_ENTRY*>(nullptr);
  return t;
}

ENV_ENTRY* new_entry(ZU_ATOM* name, ZU_SEXP* value) {
  auto* x = static_cast<ENV_ENTRY*>(mmalloc(sizeof(ENV_ENTRY), gc_env_entry));
  new (x) ENV_ENTRY{};
  x->name = name;
  x->value.store(value, std::memory_order_relaxed);
  return x;
}

void set_entry_binder(ENV_ENTRY* x, BINDER by) {
  x->peer = by.peer ? 1 : 0;
  x->peer_id = by.id;
  x->ip = by.ip;
}

// Stamps of the environments this thread makes. Only the thread that made
// an environment caches results under it before it is kept, and a kept
// one is freed by the collector alone (which outdates every cached result),
// so a counter of the thread's own tells its incarnations apart.
constinit thread_local uint64_t tl_env_stamp = 0;

ZUISP_ENV* alloc_env(uint8_t kind, bool peer_made) {
  // mmalloc hands out zeroed memory, which is every member's empty state
  // (null pointers, zero counts and flags): no second clearing.
  auto* e = static_cast<ZUISP_ENV*>(mmalloc(sizeof(ZUISP_ENV), gc_qnlisp_env));
  e->kind = kind;
  e->stamp = ++tl_env_stamp;
  if (peer_made) {
    EVAL_ORIGIN o = eval_origin();
    e->peer_made = 1;
    e->maker_peer = o.peer_id;
    e->maker_ip = static_cast<uint32_t>(o.peer_ip);
  }
  return e;
}

// ---- look-ups: the search through hash environments and pairs

struct Search {
  const ZU_ATOM* a;
  uint64_t bit;
  uint64_t version;
  int steps = kMaxSteps;
  bool aborted = false;
};

// The binding the whole search from e finds (null: none), through and into
// the caches. A search cut short by the bounds reports aborted and caches
// nothing of the part it cut. `checked`: e is a hash environment whose own
// bindings and cache entry the caller has already tried.
CELL* resolve(ZUISP_ENV* e, Search& s, int nest, bool checked = false) {
  constexpr int kPath = 16;
  ZUISP_ENV* path[kPath];
  int np = 0;
  CELL* found = nullptr;
  for (; e; e = e->parent.load(std::memory_order_acquire)) {
    if (--s.steps < 0) {
      s.aborted = true;
      return nullptr;
    }
    if (checked) {
      checked = false;
      path[np++] = e;
      continue;
    }
    if (e->kind == ZU_ENV_PAIR) {
      if (!cache_hit(e, s.a, s.version, &found)) {
        if (nest >= kMaxNest) {
          s.aborted = true;
          return nullptr;
        }
        found = resolve(e->first.load(std::memory_order_acquire), s, nest + 1);
        if (!found && !s.aborted) found = resolve(e->second.load(std::memory_order_acquire), s, nest + 1);
        if (s.aborted) return nullptr;
        cache_put(e, s.a, found, s.version);
      }
      break;  // a pair ends its chain
    }
    if (CELL* x = find_cell(e, s.a, s.bit)) {
      found = x;
      break;
    }
    if (cache_hit(e, s.a, s.version, &found)) break;
    if (np < kPath) path[np++] = e;
  }
  // Each environment passed on the way found nothing of its own, so what
  // lies above it is what the search found.
  for (int i = 0; i < np; ++i) cache_put(path[i], s.a, found, s.version);
  return found;
}

// Calls f on each hash environment in search order within `depth` levels;
// stops (returning true) when f returns true.
template <class F>
bool walk(ZUISP_ENV* e, int depth, int level, int nest, int& steps, F& f) {
  for (; e; e = e->parent.load(std::memory_order_acquire), ++level) {
    if (depth >= 0 && level > depth) return false;
    if (--steps < 0) return false;
    if (e->kind == ZU_ENV_PAIR) {
      if (nest >= kMaxNest) return false;
      if (walk(e->first.load(std::memory_order_acquire), depth, level + 1, nest + 1, steps, f)) return true;
      return walk(e->second.load(std::memory_order_acquire), depth, level + 1, nest + 1, steps, f);
    }
    if (f(e)) return true;
  }
  return false;
}

template <class F>
bool walk(ZUISP_ENV* e, int depth, F f) {
  int steps = kMaxSteps;
  return walk(e, depth, 0, 0, steps, f);
}

// ---- writes under the environment lock

// The hash environment that a write into `e` lands in.
ZUISP_ENV* write_target(ZUISP_ENV* e) {
  for (int i = 0; e && e->kind == ZU_ENV_PAIR && i < kMaxSteps; ++i) {
    ZUISP_ENV* s = e->second.load(std::memory_order_acquire);
    e = s ? s : e->first.load(std::memory_order_acquire);
  }
  return e && e->kind == ZU_ENV_HASH ? e : nullptr;
}

void grow_locked(ZUISP_ENV* h) {
  ENV_TABLE* old = h->table.load(std::memory_order_relaxed);
  GcFrame frame("env grow");
  ENV_TABLE* t = new_table(old->n * 4);
  // Entries are copied, not moved: a reader still walking an old chain must
  // keep finding that chain's names.
  for (uint32_t i = 0; i < old->n; ++i) {
    for (ENV_ENTRY* x = old->b()[i].load(std::memory_order_relaxed); x; x = x->next.load(std::memory_order_relaxed)) {
      ENV_ENTRY* c = new_entry(x->name, x->value.load(std::memory_order_relaxed));
      set_entry_binder(c, {x->peer != 0, x->peer_id, x->ip});
      auto& head = t->b()[x->name->hash & (t->n - 1)];
      c->next.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
      head.store(c, std::memory_order_relaxed);
    }
  }
  h->table.store(t, std::memory_order_release);
}

// The binding of a in h itself (lock held, or h not yet shared): where it
// lies and who made it. False when h has none.
struct BINDING {
  CELL* cell;
  int slot;         // its slot, or -1
  ENV_ENTRY* entry; // its table entry, or null
  BINDER by;
};
bool find_binding(ZUISP_ENV* h, const ZU_ATOM* a, BINDING* b) {
  if (!(h->mask.load(std::memory_order_acquire) & mask_bit(a))) return false;
  int n = h->used.load(std::memory_order_acquire);
  for (int i = 0; i < n; ++i) {
    if (h->slot[i].name.load(std::memory_order_relaxed) == a) {
      *b = {&h->slot[i].value, i, nullptr, maker_binder(h)};
      return true;
    }
  }
  ENV_ENTRY* x = find_entry(h, a);
  if (!x) return false;
  *b = {&x->value, -1, x, {x->peer != 0, x->peer_id, x->ip}};
  return true;
}

void insert_entry(ZUISP_ENV* h, ZU_ATOM* a, ZU_SEXP* value, BINDER by);

// The binding b of a in h is now by's (lock held). A slot keeps only the
// maker's bindings: another binder's moves to the table (its entry is in
// place before the slot dies, so a reader always finds one of them).
void set_binder(ZUISP_ENV* h, ZU_ATOM* a, const BINDING& b, BINDER by) {
  if (b.entry) {
    set_entry_binder(b.entry, by);
    return;
  }
  if (same_binder(by, maker_binder(h))) return;
  insert_entry(h, a, b.cell->load(std::memory_order_relaxed), by);
  h->slot[b.slot].name.store(kDead, std::memory_order_release);
  shape_changed(h);
}

void bind_locked(ZUISP_ENV* h, ZU_ATOM* a, ZU_SEXP* value, BINDER by) {
  if (BINDING b; find_binding(h, a, &b)) {
    b.cell->store(value, std::memory_order_release);
    set_binder(h, a, b, by);
    return;
  }
  insert_binding(h, a, value, by);
  shape_changed(h);
}

bool unlink_locked(ZUISP_ENV* h, const ZU_ATOM* a) {
  int n = h->used.load(std::memory_order_relaxed);
  for (int i = 0; i < n; ++i) {
    if (h->slot[i].name.load(std::memory_order_relaxed) == a) {
      h->slot[i].name.store(kDead, std::memory_order_release);
      shape_changed(h);
      return true;
    }
  }
  ENV_TABLE* t = h->table.load(std::memory_order_relaxed);
  if (!t) return false;
  std::atomic<ENV_ENTRY*>* link = &t->b()[a->hash & (t->n - 1)];
  for (ENV_ENTRY* x = link->load(std::memory_order_relaxed); x; x = link->load(std::memory_order_relaxed)) {
    if (x->name == a) {
      // The entry keeps its own next link, so a reader standing on it goes on.
      link->store(x->next.load(std::memory_order_relaxed), std::memory_order_release);
      --h->count;
      shape_changed(h);
      return true;
    }
    link = &x->next;
  }
  return false;
}

// Adds a binding to h's table whatever its slots hold (lock held).
void insert_entry(ZUISP_ENV* h, ZU_ATOM* a, ZU_SEXP* value, BINDER by) {
  if (!h->table.load(std::memory_order_relaxed)) h->table.store(new_table(8), std::memory_order_release);
  ENV_ENTRY* x = new_entry(a, value);
  set_entry_binder(x, by);
  ENV_TABLE* t = h->table.load(std::memory_order_relaxed);
  auto& head = t->b()[a->hash & (t->n - 1)];
  x->next.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
  h->mask.store(h->mask.load(std::memory_order_relaxed) | mask_bit(a), std::memory_order_release);
  head.store(x, std::memory_order_release);
  if (++h->count > t->n * 2) grow_locked(h);
}

// ---- who may write what
//
// Every write is made by a writer: the agent, or a peer (env_peer_writing,
// zu/peer.h), known by the link it came by. A peer writes freely only in
// an environment it made itself, and there changes no binding another
// peer made. In any other (the agent's at any depth, or another peer's) it
// binds new names that hide no binding of the agent's on the way up,
// changes and removes only bindings its own link made, and changes no
// default binding, unit system or parent. A sealed environment nobody
// writes. A refusal says which of these it was (env_refusal_why).

struct WRITER {
  bool peer;
  uint32_t id;  // EVAL_ORIGIN::peer_id
  uint32_t ip;
};

WRITER current_writer() {
  if (!env_peer_writing()) return {false, 0, 0};
  EVAL_ORIGIN o = eval_origin();
  return {true, o.peer_id, static_cast<uint32_t>(o.peer_ip)};
}

BINDER binder_of(const WRITER& w) { return {w.peer, w.id, w.ip}; }

constexpr char kRefusedAgent[] = "a binding of this agent, refused to a peer";
constexpr char kRefusedPeer[] = "a binding of another peer, refused to this one";
constexpr char kRefusedSealed[] = "a built-in's own environment, which nothing writes";
constexpr char kRefusedMemory[] = "memory";

// Why the calling thread's last write was refused.
constinit thread_local const char* tl_refusal = nullptr;

int refuse(const char* why) {
  tl_refusal = why;
  return kEnvRefused;
}

// Whether w may write h as its own: the agent, or the peer that made it.
bool writes_as_owner(const ZUISP_ENV* h, const WRITER& w) {
  return !w.peer || (h->peer_made && w.id != 0 && h->maker_peer == w.id);
}

// Why w may not change h's default binding, unit system or parent; null
// when it may.
const char* no_rewire(const ZUISP_ENV* h, const WRITER& w) {
  if (h->sealed.load(std::memory_order_relaxed)) return kRefusedSealed;
  if (writes_as_owner(h, w)) return nullptr;
  return h->peer_made ? kRefusedPeer : kRefusedAgent;
}

// Why w may not change or remove the binding b, which lies in h; null when
// it may. A peer's binding is its link's alone while that link is open;
// the agent's, only the peer whose own environment holds it.
const char* no_change(const ZUISP_ENV* h, const BINDING& b, const WRITER& w) {
  if (h->sealed.load(std::memory_order_relaxed)) return kRefusedSealed;
  if (!w.peer) return nullptr;
  if (b.by.peer) return (w.id != 0 && b.by.id == w.id) || peer_link_closed(b.by.id) ? nullptr : kRefusedPeer;
  return writes_as_owner(h, w) ? nullptr : kRefusedAgent;
}

// Whether some environment on the search path from e binds a as the agent
// did (environment lock held).
bool _agent_binds(ZUISP_ENV* e, const ZU_ATOM* a) {
  return walk(e, -1, [a](ZUISP_ENV* x) {
    BINDING b;
    return find_binding(x, a, &b) && !b.by.peer;
  });
}

// Why w may not bind a in h; null when it may (environment lock held). A
// name bound there already is changed (no_change); a peer's new name must
// hide nothing of the agent's from the searches that pass through h; the
// second top environment is searched before the first, so a name the agent
// bound there is not bound again in the first either.
const char* _no_bind(ZUISP_ENV* h, const ZU_ATOM* a, const WRITER& w) {
  assert_lock_held(env_lock_sem());
  if (h->sealed.load(std::memory_order_relaxed)) return kRefusedSealed;
  if (BINDING b; find_binding(h, a, &b)) return no_change(h, b, w);
  if (writes_as_owner(h, w)) return nullptr;
  if (_agent_binds(h->parent.load(std::memory_order_acquire), a)) return kRefusedAgent;
  if (h == qnlisp_top_env0 && qnlisp_top_env1) {
    BINDING b;
    if (find_binding(qnlisp_top_env1, a, &b) && !b.by.peer) return kRefusedAgent;
  }
  return nullptr;
}

// The hash environment holding the nearest binding of a from env, and the
// binding; null when none.
ZUISP_ENV* holder_of(ZUISP_ENV* env, const ZU_ATOM* a, BINDING* b) {
  ZUISP_ENV* holder = nullptr;
  walk(env, -1, [a, b, &holder](ZUISP_ENV* e) {
    if (!find_binding(e, a, b)) return false;
    holder = e;
    return true;
  });
  return holder;
}

// The environment holding the nearest binding of a from env, found as a
// lookup finds it (no lock held, no binder read); null when none.
ZUISP_ENV* cell_holder(ZUISP_ENV* env, const ZU_ATOM* a) {
  ZUISP_ENV* holder = nullptr;
  const uint64_t bit = mask_bit(a);
  walk(env, -1, [a, bit, &holder](ZUISP_ENV* e) {
    if (!find_cell(e, a, bit)) return false;
    holder = e;
    return true;
  });
  return holder;
}

// Clears the default bindings of the environments w may rewire; *why is
// set to the reason the first one that stays with a default was kept.
void del_default_rec(ZUISP_ENV* e, int nest, const WRITER& w, const char** why) {
  if (!e || nest > kMaxNest) return;
  if (e->kind == ZU_ENV_PAIR) {
    del_default_rec(e->first.load(), nest + 1, w, why);
    del_default_rec(e->second.load(), nest + 1, w, why);
    return;
  }
  if (const char* no = no_rewire(e, w)) {
    if (!*why && e->deflt.load(std::memory_order_relaxed)) *why = no;
    return;
  }
  e->deflt.store(nullptr, std::memory_order_release);
}

// ---- what a peer's binding costs its address

// What a peer's binding was charged (charge_bound).
struct BIND_CHARGE {
  bool room;      // false: its address had no room for it, nothing charged
  int64_t bytes;  // what it was charged
  uint64_t seen;  // collections done once it was charged
};

// Charges a peer's binding of value in h to the writer's address before
// it is made, wherever it lands (the agent's environment or another
// peer's). The count is what the value holds as far as the room its
// address has left (past it the charge is refused, unless a collection
// makes room: the count then goes on to the address's share); the
// collector counts what it keeps exactly (gc_mark_bound) at the next
// collection. A binding in an environment of the writer's own link costs
// nothing here (what it holds is its evaluation's, counted in its link's
// share, and the collector's once a binding elsewhere keeps the
// environment), but is refused as well once the address holds its share.
BIND_CHARGE charge_bound(const WRITER& w, const ZUISP_ENV* h, ZU_SEXP* value) {
  if (writes_as_owner(h, w)) return {gc_charge_bound(w.ip, 0), 0, 0};
  const int ip = static_cast<int>(w.ip);
  const int64_t share = static_cast<int64_t>(gc_heap_budget()) / kBudgetParts;
  const int64_t room = std::max<int64_t>(0, share - account_held(ip, PEER_HOLD::kBound));
  const int64_t bytes = value_footprint(value, room);
  if (!gc_charge_bound(w.ip, static_cast<uint64_t>(bytes))) return {false, 0, 0};
  const uint64_t seen = gc_collections_done();
  if (bytes <= room) return {true, bytes, seen};
  const int64_t rest = std::max<int64_t>(0, value_footprint(value, share) - bytes);
  if (gc_charge_bound(w.ip, static_cast<uint64_t>(rest))) return {true, bytes + rest, seen};
  if (gc_collections_done() == seen) account_give(ip, PEER_HOLD::kBound, bytes);
  return {false, 0, 0};
}

// Gives back the charge of a binding refused after all, unless a collection
// has counted its address afresh since (the binding was never made, so the
// count has none of it).
void give_back(const WRITER& w, const BIND_CHARGE& c) {
  if (c.room && c.bytes > 0 && gc_collections_done() == c.seen)
    account_give(static_cast<int>(w.ip), PEER_HOLD::kBound, c.bytes);
}

// A peer's binding its address has no room for: kEnvRefused where the
// refusal cannot be thrown (AllocRefused: the evaluation answers "memory").
int refuse_memory() {
  if (alloc_refusable()) throw AllocRefused();
  return refuse(kRefusedMemory);
}

// ---- reading the list forms of environments

ZU_SEXP* sym(const char* name) { return get_symbol_ascii(name); }

bool is_headed(ZU_SEXP* m, const char* name) {
  return get_type(m) == ZU_TYPE_LIST && get_type(m->pair.car) == ZU_TYPE_SYMBOL &&
         zu_wcmp_ascii(sym_name(m->pair.car), name) == 0;
}

ZU_SEXP* find_entry_form(ZU_SEXP* form, const char* name) {
  for (ZU_SEXP* p = form; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (is_headed(p->pair.car, name)) return p->pair.car;
  }
  return nullptr;
}

}  // namespace

namespace zu_env {

// ---- bindings the evaluator reaches in line (env_impl.h)

// Adds a binding that h does not have yet; the caller holds the lock (or
// owns h alone) and has pinned a and value. Writers are serialised that way,
// so the mask is updated without a locked read-modify-write.
void insert_binding(ZUISP_ENV* h, ZU_ATOM* a, ZU_SEXP* value, BINDER by) {
  int u = h->used.load(std::memory_order_relaxed);
  if (u >= kSlots || !same_binder(by, maker_binder(h))) {
    insert_entry(h, a, value, by);
    return;
  }
  h->slot[u].value.store(value, std::memory_order_relaxed);
  h->slot[u].name.store(a, std::memory_order_relaxed);
  h->mask.store(h->mask.load(std::memory_order_relaxed) | mask_bit(a), std::memory_order_release);
  h->used.store(static_cast<uint8_t>(u + 1), std::memory_order_release);
}

CELL* lookup_cell_far(ZUISP_ENV* e, const ZU_ATOM* a, uint64_t version) {
  Search s{a, mask_bit(a), version};
  // A hash environment's own bindings, its cache entry and its parent's
  // (when a hash environment too) have been tried in line: the search goes
  // on from its parent, which it tries again.
  if (e && e->kind == ZU_ENV_HASH) return resolve(e, s, 0, true);
  return resolve(e, s, 0);
}

}  // namespace zu_env

// ---- making environments, call environments

namespace {

ZUISP_ENV* make_env(ZUISP_ENV* parent, bool peer_made) {
  ZUISP_ENV* e = alloc_env(ZU_ENV_HASH, peer_made);
  watch(parent);
  e->parent.store(parent, std::memory_order_relaxed);
  return e;
}

}  // namespace

ZUISP_ENV* new_env(ZUISP_ENV* parent) { return make_env(parent, env_peer_writing()); }

ZUISP_ENV* new_call_env(ZUISP_ENV* parent, bool peer_made) {
  ZUISP_ENV* e = make_env(parent, peer_made);
  e->call = 1;
  return e;
}

void env_keep(ZUISP_ENV* env) {
  // Up the chain of call environments not kept yet: whoever holds env can
  // reach each of them through the parents.
  for (ZUISP_ENV* e = env; e && e->call && !e->kept.load(std::memory_order_relaxed);
       e = e->parent.load(std::memory_order_relaxed))
    e->kept.store(1, std::memory_order_relaxed);
}

bool release_call_env(ZUISP_ENV* env) {
  if (!env || !env->call || env->kept.load(std::memory_order_relaxed)) return false;
  gc_release_block(env);
  return true;
}

ZUISP_ENV* new_env_pair(ZUISP_ENV* first, ZUISP_ENV* second) {
  ZUISP_ENV* e = alloc_env(ZU_ENV_PAIR, env_peer_writing());
  watch(first);
  watch(second);
  e->first.store(first, std::memory_order_relaxed);
  e->second.store(second, std::memory_order_relaxed);
  return e;
}

void seal_env(ZUISP_ENV* env) {
  if (!env || env->kind != ZU_ENV_HASH) return;
  EnvLock l;
  // Into the table, where every store takes the lock that checks the seal
  // (a slot's cell is stored into without it).
  for (int i = 0; i < kSlots; ++i) {
    ZU_ATOM* a = i < env->used.load(std::memory_order_relaxed) ? env->slot[i].name.load() : kDead;
    if (a != kDead) insert_entry(env, a, env->slot[i].value.load(), maker_binder(env));
    env->slot[i].name.store(kDead, std::memory_order_release);
  }
  env->used.store(kSlots, std::memory_order_release);
  env->sealed.store(1, std::memory_order_release);
  shape_changed(env);
}

const char* env_refusal_why() { return tl_refusal ? tl_refusal : kRefusedAgent; }

// ---- binding, changing and removing names

int set_env_atom(ZUISP_ENV* env, ZU_ATOM* name, ZU_SEXP* value) {
  ZUISP_ENV* h = write_target(env);
  if (!h || !name) return -1;
  WRITER w = current_writer();
  // The name may be an atom that nothing refers to yet (the intern table is
  // weak) and the value one the caller only found: both are pinned before
  // the charge, the wait for the lock and the allocations of the binding,
  // any of which may let a collection run.
  GcFrame frame("set_env");
  gc_set_nl(name, gc_text);
  gc_set_nl(value, gc_qn_sexp);
  if (h->sealed.load(std::memory_order_relaxed)) return refuse(kRefusedSealed);
  if (w.peer) {
    // Charged before the lock (a charge may wait for a collection); a
    // binding refused then gives its charge back, and the rule that refuses
    // it is told before a lack of memory.
    const BIND_CHARGE c = charge_bound(w, h, value);
    const char* why = nullptr;
    {
      EnvLock l;
      why = _no_bind(h, name, w);
      if (!why && c.room) {
        bind_locked(h, name, value, binder_of(w));
        return 0;
      }
    }
    give_back(w, c);
    return why ? refuse(why) : refuse_memory();
  }
  // The agent writes wherever nothing is sealed (checked above; sealing is
  // done at start-up): only a peer's write needs the lookups of _no_bind.
  EnvLock l;
  bind_locked(h, name, value, binder_of(w));
  return 0;
}

void bind_agent_atom(ZUISP_ENV* env, ZU_ATOM* name, ZU_SEXP* value) {
  EnvWriterScope as_agent(false);
  if (set_env_atom(env, name, value) != 0) er_panic("bind_agent: no environment to bind into");
}

void bind_agent(ZUISP_ENV* env, const char* name, ZU_SEXP* value) {
  GcFrame frame("bind_agent");
  gc_set_nl(value, gc_qn_sexp);
  bind_agent_atom(env, get_symbol_ascii(name)->symbol.atom, value);
}

void bind_private_env(ZUISP_ENV* env, ZU_ATOM* name, ZU_SEXP* value) {
  if (!env || !name) return;
  if (env->kind != ZU_ENV_HASH || env->watched.load(std::memory_order_relaxed)) {
    // Others may reach it: under the lock, but still as whoever made the
    // environment, as in line below (a peer's is never the agent's).
    ZUISP_ENV* h = write_target(env);
    if (!h || h->sealed.load(std::memory_order_relaxed)) er_panic("bind_private_env: no environment to bind into");
    GcFrame frame("bind_private_env");
    gc_set_nl(name, gc_text);
    gc_set_nl(value, gc_qn_sexp);
    EnvLock l;
    bind_locked(h, name, value, maker_binder(h));
    return;
  }
  if (CELL* c = find_cell(env, name, mask_bit(name))) {
    untag(c)->store(value, std::memory_order_release);
    return;
  }
  if (env->used.load(std::memory_order_relaxed) < kSlots) {
    insert_binding(env, name, value, maker_binder(env));  // allocates nothing
    return;
  }
  GcFrame frame("bind_private_env");
  gc_set_nl(name, gc_text);
  gc_set_nl(value, gc_qn_sexp);
  insert_binding(env, name, value, maker_binder(env));
}

int set_env(ZUISP_ENV* env, const L_CHAR* name, ZU_SEXP* value) {
  if (!name) return -1;
  return set_env_atom(env, intern_atom(name, l_strlen(name)), value);
}

namespace {

// set_op's change of a binding that is not a slot the agent stores into
// directly: kept out of line, so that the common case stays as cheap as a
// store.
[[gnu::noinline]] int set_op_locked(ZUISP_ENV* env, const ZU_ATOM* a, ZU_SEXP* value, const WRITER& w) {
  // The value may be one the caller only found: pinned across the charge
  // and the wait for the lock, where a collection may run.
  GcFrame frame("set_op");
  gc_set_nl(value, gc_qn_sexp);
  BINDING b;
  if (!w.peer) {
    EnvLock l;
    ZUISP_ENV* holder = holder_of(env, a, &b);
    if (!holder) return -1;
    if (const char* why = no_change(holder, b, w)) return refuse(why);
    b.cell->store(value, std::memory_order_release);
    return 0;
  }
  // A peer's change is charged before the lock (a charge may wait for a
  // collection) to the environment then found holding the name (what it
  // costs depends on whose that is, not on who bound the name: binders are
  // read under the lock only). Under the lock the binding is found again:
  // refused, gone or moved to another environment meanwhile, the charge is
  // given back; moved, the change is tried again against where it lies now
  // (each turn means another writer changed the binding). The rule that
  // refuses it is told before a lack of memory.
  for (;;) {
    ZUISP_ENV* charged = cell_holder(env, a);
    if (!charged) return -1;
    const BIND_CHARGE c = charge_bound(w, charged, value);
    ZUISP_ENV* holder = nullptr;
    const char* why = nullptr;
    {
      EnvLock l;
      holder = holder_of(env, a, &b);
      if (holder) why = no_change(holder, b, w);
      if (holder == charged && !why && c.room) {
        b.cell->store(value, std::memory_order_release);
        set_binder(holder, const_cast<ZU_ATOM*>(a), b, binder_of(w));
        return 0;
      }
    }
    give_back(w, c);
    if (!holder) return -1;
    if (why) return refuse(why);
    if (holder == charged) return refuse_memory();
  }
}

}  // namespace

int set_op(ZUISP_ENV* env, ZU_SEXP* symbol, ZU_SEXP* value) {
  if (get_type(symbol) != ZU_TYPE_SYMBOL) return -1;
  const ZU_ATOM* a = symbol->symbol.atom;
  WRITER w = current_writer();
  if (!w.peer) {
    // A slot's cell is stored into directly (sealed environments keep none);
    // a table entry's only under the lock, where no table is regrown (and
    // its entries copied) meanwhile and the seal is checked.
    CELL* c = lookup_cell(env, a);
    if (!c) return -1;
    if (!in_table(c)) {
      c->store(value, std::memory_order_release);
      return 0;
    }
  }
  return set_op_locked(env, a, value, w);
}

int del_env_atom(ZUISP_ENV* env, ZU_ATOM* name) {
  if (!name) return 0;
  WRITER w = current_writer();
  // Pinned across the wait for the lock: were the atom freed meanwhile, a
  // new atom of another name could take its address and lose its binding.
  GcFrame frame("del_env");
  gc_set_nl(name, gc_text);
  EnvLock l;
  BINDING b;
  ZUISP_ENV* holder = holder_of(env, name, &b);
  if (!holder) return 0;
  if (const char* why = no_change(holder, b, w)) return refuse(why);
  unlink_locked(holder, name);
  return 0;
}

int del_env(ZUISP_ENV* env, const L_CHAR* name) { return del_env_atom(env, find_atom(name)); }

// ---- looking names up, the agent's settings

int lookup_env_atom(ZUISP_ENV* env, const ZU_ATOM* name, int depth, ZU_SEXP** value) {
  if (!name) return 0;
  if (depth < 0) {
    CELL* c = lookup_cell(env, name);
    if (!c) return 0;
    if (value) *value = untag(c)->load(std::memory_order_acquire);
    return 1;
  }
  ZU_SEXP* v = nullptr;
  uint64_t bit = mask_bit(name);
  bool found = walk(env, depth, [name, bit, &v](ZUISP_ENV* e) {
    CELL* c = find_cell(e, name, bit);
    if (!c) return false;
    v = untag(c)->load(std::memory_order_acquire);
    return true;
  });
  if (found && value) *value = v;
  return found ? 1 : 0;
}

ZU_SEXP* agent_setting(ZUISP_ENV* env, const char* name) {
  ZU_ATOM* a = get_symbol_ascii(name)->symbol.atom;
  ZU_SEXP* v = nullptr;
  EnvLock l;  // who made each binding; the walk itself takes nothing and makes nothing
  walk(env, -1, [a, &v](ZUISP_ENV* e) {
    BINDING b;
    if (!find_binding(e, a, &b) || b.by.peer) return false;
    v = b.cell->load(std::memory_order_acquire);
    return true;
  });
  return v;
}

ZU_SEXP* get_env_symbol(ZUISP_ENV* env, const L_CHAR* name, int depth) {
  ZU_SEXP* v = nullptr;
  lookup_env_atom(env, find_atom(name), depth, &v);
  return v;
}

// ---- default bindings, work pointers, unit systems, shape

int set_default_env(ZUISP_ENV* env, ZU_SEXP* func) {
  ZUISP_ENV* h = write_target(env);
  if (!h) return -1;
  if (const char* why = no_rewire(h, current_writer())) return refuse(why);
  GcFrame frame("set_default_env");
  gc_set_nl(func, gc_qn_sexp);
  EnvLock l;
  h->deflt.store(func, std::memory_order_release);
  return 0;
}

int del_default_env(ZUISP_ENV* env) {
  WRITER w = current_writer();
  const char* why = nullptr;
  EnvLock l;
  del_default_rec(env, 0, w, &why);
  return why ? refuse(why) : 0;
}

ZU_SEXP* get_default_env(ZUISP_ENV* env) {
  ZU_SEXP* f = nullptr;
  walk(env, -1, [&f](ZUISP_ENV* e) { return (f = e->deflt.load(std::memory_order_acquire)) != nullptr; });
  return f;
}

void* get_env_work(ZUISP_ENV* env) {
  void* w = nullptr;
  walk(env, -1, [&w](ZUISP_ENV* e) { return (w = e->work.load(std::memory_order_acquire)) != nullptr; });
  return w;
}

void set_env_work(ZUISP_ENV* env, void* work) {
  if (ZUISP_ENV* h = write_target(env)) h->work.store(work, std::memory_order_release);
}

UNIT_ENV* get_uenv(ZUISP_ENV* env) {
  UNIT_ENV* u = nullptr;
  walk(env, -1, [&u](ZUISP_ENV* e) { return (u = e->uenv.load(std::memory_order_acquire)) != nullptr; });
  return u;
}

int set_uenv(ZUISP_ENV* env, UNIT_ENV* uenv) {
  ZUISP_ENV* h = write_target(env);
  if (!h) return -1;
  // The agent's own conversions go through the system of the environments
  // it made.
  if (const char* why = no_rewire(h, current_writer())) return refuse(why);
  EnvLock l;
  h->uenv.store(uenv, std::memory_order_release);
  return 0;
}

void set_uenv_mark_func(GC_MARK_FUNC mark) { uenv_mark.store(mark); }

int get_env_kind(const ZUISP_ENV* env) { return env ? env->kind : 0; }

ZUISP_ENV* get_parent_env(ZUISP_ENV* env) {
  if (!env) return nullptr;
  return env->kind == ZU_ENV_PAIR ? env->first.load() : env->parent.load();
}

int set_parent_env(ZUISP_ENV* env, ZUISP_ENV* parent) {
  if (!env) return 0;
  if (const char* why = no_rewire(env, current_writer())) return refuse(why);
  watch(parent);
  if (env->kind == ZU_ENV_PAIR) env->first.store(parent, std::memory_order_release);
  else env->parent.store(parent, std::memory_order_release);
  // Every search through env may now end elsewhere.
  g_version.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

void get_env_pair(ZUISP_ENV* env, ZUISP_ENV** first, ZUISP_ENV** second) {
  bool pair = env && env->kind == ZU_ENV_PAIR;
  if (first) *first = pair ? env->first.load() : nullptr;
  if (second) *second = pair ? env->second.load() : nullptr;
}

uint32_t get_env_flags(ZUISP_ENV* env) { return env ? env->flags.load() : 0; }
void set_env_flags(ZUISP_ENV* env, uint32_t flags) {
  if (env) env->flags.store(flags);
}

// ---- list forms of environments

ZU_SEXP* get_listbase_env(ZUISP_ENV* env) {
  if (!env) return nullptr;
  auto env_value = [](ZUISP_ENV* e) { return e ? get_env(e) : nullptr; };
  GcFrame frame("get_listbase_env");
  if (env->kind == ZU_ENV_PAIR) {
    ZU_SEXP* r = List(sym("zuisp-env"), List(sym("type"), get_string_ascii("pair"), ZU_LIST_END),
                      env_value(env->first.load()), env_value(env->second.load()), ZU_LIST_END);
    return frame.keep(r, gc_qn_sexp);
  }
  // Under the lock, so no binding is dropped (and freed) while the list
  // is being built.
  EnvLock l;
  ZU_SEXP* hash = nullptr;
  for (int i = env->used.load(); i-- > 0;) {
    ZU_ATOM* a = env->slot[i].name.load();
    if (a == kDead) continue;
    hash = cons(List(get_string_len(a->name, a->len), env->slot[i].value.load(), ZU_LIST_END), hash);
  }
  if (ENV_TABLE* t = env->table.load()) {
    for (uint32_t i = t->n; i-- > 0;) {
      for (ENV_ENTRY* x = t->b()[i].load(); x; x = x->next.load()) {
        ZU_SEXP* name = get_string_len(x->name->name, x->name->len);
        hash = cons(List(name, x->value.load(), ZU_LIST_END), hash);
      }
    }
  }
  hash = cons(sym("hash"), hash);
  ZU_SEXP* tail = nullptr;
  if (ZU_SEXP* d = env->deflt.load()) tail = cons(List(sym("default-sym"), d, ZU_LIST_END), tail);
  if (UNIT_ENV* u = env->uenv.load()) tail = cons(List(sym("uenv"), get_ptr(u, uenv_mark.load()), ZU_LIST_END), tail);
  ZU_SEXP* r = List(
      sym("zuisp-env"), List(sym("type"), get_string_ascii("env"), ZU_LIST_END),
      List(sym("parent"), env_value(env->parent.load()), ZU_LIST_END),
      List(sym("work"), get_integer(static_cast<int64_t>(reinterpret_cast<intptr_t>(env->work.load())), nullptr),
           ZU_LIST_END),
      List(sym("flags"), get_integer(env->flags.load(), nullptr), ZU_LIST_END), hash, ZU_LIST_END);
  ZU_SEXP* last = r;
  while (last->pair.cdr) last = last->pair.cdr;
  last->pair.cdr = tail;
  return frame.keep(r, gc_qn_sexp);
}

ZUISP_ENV* set_listbase_env(ZU_SEXP* form, ZUISP_ENV* target, bool* refused) {
  bool ignored;
  if (!refused) refused = &ignored;
  *refused = false;
  ZU_SEXP* type = find_entry_form(form, "type");
  ZU_SEXP* tv = get_el(type, 1);
  if (get_type(tv) != ZU_TYPE_STRING) return nullptr;
  GcFrame frame("set_listbase_env");
  if (zu_wcmp_ascii(str_text(tv), "pair") == 0) {
    ZUISP_ENV* m[2] = {};
    int n = 0;
    for (ZU_SEXP* p = form; n < 2 && get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
      if (get_type(p->pair.car) == ZU_TYPE_ENV) m[n++] = p->pair.car->env;
    }
    if (n < 2) return nullptr;
    return frame.keep(new_env_pair(m[0], m[1]), gc_qnlisp_env);
  }
  if (zu_wcmp_ascii(str_text(tv), "env") != 0) return nullptr;
  ZU_SEXP* parent = find_entry_form(form, "parent");
  ZU_SEXP* hash = find_entry_form(form, "hash");
  if (!parent || !hash) return nullptr;
  ZUISP_ENV* e = target;
  if (!e) {
    ZU_SEXP* pv = get_el(parent, 1);
    e = new_env(get_type(pv) == ZU_TYPE_ENV ? pv->env : nullptr);
  }
  for (ZU_SEXP* p = hash->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* b = p->pair.car;
    if (get_type(b) != ZU_TYPE_LIST || get_type(b->pair.car) != ZU_TYPE_STRING) continue;
    *refused = set_env(e, str_text(b->pair.car), get_el(b, 1)) == kEnvRefused;
    if (*refused) return nullptr;
  }
  if (ZU_SEXP* u = get_el(find_entry_form(form, "uenv"), 1); get_type(u) == ZU_TYPE_POINTER) {
    *refused = set_uenv(e, static_cast<UNIT_ENV*>(u->ptr.ptr)) == kEnvRefused;
    if (*refused) return nullptr;
  }
  if (ZU_SEXP* d = get_el(find_entry_form(form, "default-sym"), 1); get_type(d) == ZU_TYPE_FUNCTION) {
    *refused = set_default_env(e, d) == kEnvRefused;
    if (*refused) return nullptr;
  }
  return frame.keep(e, gc_qnlisp_env);
}

// ---- the top environments and the collector

void init_qnlisp_envs() {
  static std::once_flag once;
  std::call_once(once, [] {
    minit();
    env_lock_sem();
    MemLock l;
    GcFrame frame("init_qnlisp");
    qnlisp_top_env0 = new_env(nullptr);
    qnlisp_top_env1 = new_env(qnlisp_top_env0);
  });
}

void gc_qnlisp_env(void* p) {
  auto* e = static_cast<ZUISP_ENV*>(p);
  while (e) {
    if (gc_mark_block(e)) return;
    gc_mark(e->first.load(std::memory_order_relaxed), gc_qnlisp_env);
    gc_mark(e->second.load(std::memory_order_relaxed), gc_qnlisp_env);
    gc_mark(e->deflt.load(std::memory_order_relaxed), gc_qn_sexp);
    gc_mark(e->table.load(std::memory_order_relaxed), gc_env_table);
    for (int i = e->used.load(std::memory_order_relaxed); i-- > 0;) {
      ZU_ATOM* a = e->slot[i].name.load(std::memory_order_relaxed);
      if (a == kDead) continue;
      if (!gc_is_marked(a)) gc_mark_block(a);
      ZU_SEXP* v = e->slot[i].value.load(std::memory_order_relaxed);
      // A slot's binding is the maker's: a peer's is its address's.
      if (e->peer_made) gc_mark_bound(v, gc_qn_sexp, e->maker_ip);
      else gc_mark(v, gc_qn_sexp);
    }
    if (GC_MARK_FUNC um = uenv_mark.load(std::memory_order_relaxed))
      gc_mark(e->uenv.load(std::memory_order_relaxed), um);
    e = e->parent.load(std::memory_order_relaxed);  // parent chains are walked here
  }
}

void env_note_collection() { g_version.fetch_add(1, std::memory_order_acq_rel); }

void gc_qnlisp() {
  gc_mark(qnlisp_top_env0, gc_qnlisp_env);
  gc_mark(qnlisp_top_env1, gc_qnlisp_env);
}
