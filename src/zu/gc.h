// The collector: a precise mark-and-sweep heap for ZU values and every other
// record that hangs off them.
//
// Threads and safe points. A thread works with collected values only while
// it holds the memory lock (lock_mem, recursive for its holder; the RAII
// helpers ZuThreadScope and MemLock take it). Several threads hold it at the
// same time; a collection takes it exclusively, so it runs only while every
// holder is at a safe point: inside an allocation, inside a blocking wait of
// the base layer (every SEM wait and sleep releases it through the blocking
// hooks that minit installs), inside a BlockingRegion, or in gc_safepoint().
// A thread that blocks in a way the base layer does not see must wrap the
// call in a BlockingRegion.
//
// Pinning. Every block a thread allocates is a root of the thread's top
// collector frame until that frame is popped (gc_push/gc_pop, or GcFrame).
// A value that a thread only found (in an environment, in another thread's
// list) is safe while the thread runs without reaching a safe point; to keep
// it across an allocation or a blocking call, pin it with gc_set.
//
// Marking. A mark function receives a block and marks what it references;
// for a collected block it first calls gc_mark_block and returns at once
// when that says the block was already marked. Children are handed on with
// gc_mark (deferred on an explicit stack, so long lists never recurse).
// A mark function runs while the world is stopped: it must not allocate,
// block or take locks.
#pragma once

#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

using GC_MARK_FUNC = void (*)(void* block);

// Start-up of the collected-memory allocator (idempotent): installs the
// blocking hooks of the base layer.
void minit();

// A zeroed block of `size` bytes whose marking function is `mark` (null: a
// block without pointers), rooted in the caller's top collector frame. The
// caller must hold the memory lock. Blocks are 8-byte aligned.
void* xx_mmalloc(size_t size, GC_MARK_FUNC mark, const char* file, int line);
inline void* gc_alloc(size_t size, GC_MARK_FUNC mark, const char* file, int line);
#define mmalloc(size, mark) gc_alloc((size), (mark), __FILE__, __LINE__)

// Hands a block the calling thread made back to its free cells at once:
// the caller knows that nothing refers to the block and that no frame pins
// it any more (blocks of more than 1 KiB are left to the collector). The
// caller must hold the memory lock.
void gc_release_block(void* block);

// Frames of the calling thread. gc_push opens a frame and pins `block` in it
// (null: nothing). gc_pop closes the top frame and keeps `block` (null:
// nothing) as a root of the frame below. Popping without a frame is fatal.
void gc_push(void* block, GC_MARK_FUNC mark, const char* label);
void gc_pop(void* block, GC_MARK_FUNC mark);
// The calling thread's roots, a stack that frames cut; kept here so that
// the helpers below run in line on the evaluator's hot path. Null until the
// thread first does ZU work.
struct GcRoot {
  void* p;
  GC_MARK_FUNC f;
};
struct GcRootStack {
  GcRoot* base = nullptr;
  GcRoot* top = nullptr;
  GcRoot* cap = nullptr;
  int zone = 0;  // refusal zones open (base/alloc.h): the evaluator's call forms
};
extern constinit thread_local GcRootStack* gc_tl_roots;
// Out-of-line parts: a root pushed when the stack is full or missing, and
// the fault of a mark that lies above the stack.
void gc_root_push_slow(void* block, GC_MARK_FUNC f);
[[noreturn]] void gc_root_fault();

// ---- small blocks in line
// Every collected block is preceded by this header.
struct GcHdr {
  uint32_t size;  // bytes asked for (saturated for huge blocks)
  uint8_t flags;
  uint8_t cls;    // size class of its cell
  uint16_t site;  // index of the marking site
};
static_assert(sizeof(GcHdr) == 8);
constexpr uint8_t kGcAlloc = 1;  // header flag of a block in use
constexpr uint8_t kGcMark = 2;   // header flag of a block marked in this collection
// Cell sizes of the size classes (header included); larger blocks come from
// malloc.
inline constexpr uint32_t kGcClassSize[] = {16,  24,  32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                            192, 224, 256, 320, 384, 448, 512, 640, 768, 896, 1024};
constexpr int kGcClasses = sizeof(kGcClassSize) / sizeof(kGcClassSize[0]);
constexpr size_t kGcMaxCell = 1024;
// The class of a cell of n bytes (header included), by n / 8 rounded up.
struct GcClassOf {
  uint8_t cls[kGcMaxCell / 8 + 1];
  constexpr GcClassOf() : cls() {
    int c = 0;
    for (size_t i = 0; i <= kGcMaxCell / 8; ++i) {
      while (kGcClassSize[c] < i * 8) ++c;
      cls[i] = static_cast<uint8_t>(c);
    }
  }
};
inline constexpr GcClassOf kGcClassOf;
// The calling thread's allocation state: free cells of each size class
// (emptied by every collection, while the thread is stopped) and whether
// the thread takes part in ZU work right now (holds the memory lock outside
// any blocking wait).
struct GcThreadFast {
  void* cache[kGcClasses];
  bool running;
};
// Null until the thread first does ZU work (as gc_tl_roots).
extern constinit thread_local GcThreadFast* gc_tl_fast;
// Non-zero while every allocation must pass the collector's safe point: a
// collection waits for the running threads, or the stress switch is on.
extern std::atomic<uint32_t> gc_alloc_slow;

// Registers a block or record as a root of the top frame; gc_set takes the
// memory lock itself, gc_set_nl expects the caller to hold it.
void gc_set(void* block, GC_MARK_FUNC mark);
inline void gc_set_nl(void* block, GC_MARK_FUNC mark) {
  if (!block) return;
  GcRootStack* r = gc_tl_roots;
  if (r && r->top != r->cap) [[likely]] {
    *r->top++ = GcRoot{block, mark};
    return;
  }
  gc_root_push_slow(block, mark);
}

// A frame without a label for hot paths: gc_root_mark answers how many
// roots the calling thread holds; gc_root_release drops every root
// registered since that answer and then keeps `block` (null: nothing), as
// gc_pop does. Frames pushed in between must have been popped.
inline size_t gc_root_mark() {
  GcRootStack* r = gc_tl_roots;
  return r ? static_cast<size_t>(r->top - r->base) : 0;
}
inline void gc_root_release(size_t mark, void* block, GC_MARK_FUNC f) {
  GcRootStack* r = gc_tl_roots;
  if (!r || mark > static_cast<size_t>(r->top - r->base)) [[unlikely]] {
    if (mark == 0 && !r) {  // nothing was ever pinned on this thread
      gc_set_nl(block, f);
      return;
    }
    gc_root_fault();
  }
  r->top = r->base + mark;
  gc_set_nl(block, f);
}
// Number of frames the calling thread has open.
int gc_frame_depth();
// Refusal zones the calling thread is in (GcRootStack::zone).
inline int gc_zone_depth() {
  GcRootStack* r = gc_tl_roots;
  return r ? r->zone : 0;
}
// RAII: nothing in the scope is refused by a throw (code that must finish,
// such as the building of the error that reports a refusal).
class NoRefusal {
 public:
  NoRefusal();
  ~NoRefusal();
  NoRefusal(const NoRefusal&) = delete;
  NoRefusal& operator=(const NoRefusal&) = delete;

 private:
  int saved_;
};
// After an exception: closes the calling thread's frames that were opened
// after its root count was `mark` (a gc_root_mark taken before the throw;
// a root was pinned after it before any such frame opened, so that theirs
// begin above it), dropping their roots: what they pinned is garbage.
void gc_unwind_frames(size_t mark);
// Stops the process when the calling thread has frames open beyond those of
// its ZuThreadScopes (a frame leaked by a task).
void gc_check_no_frames(const char* label);

// The memory lock (shared among working threads, exclusive for the
// collector; recursive for its holder).
void lock_mem();
void unlock_mem();
// Non-zero when the calling thread holds the memory lock.
int mem_locked_by_me();
// Lets a pending collection run (a safe point for long loops that do not
// allocate). The caller must hold the memory lock.
void gc_safepoint();

// Marking protocol (for mark functions).
// Marks a collected block; returns 1 when it was already marked in this
// collection, 0 when this call marked it.
inline int gc_mark_block(void* block);
// Hands `block` to `mark` later in this collection (null block or null
// function: nothing).
void gc_mark(void* block, GC_MARK_FUNC mark);
// Non-zero when a collected block is marked in the running collection.
inline int gc_is_marked(const void* block);
// Size asked for when the block was allocated.
size_t gc_block_size(const void* block);
// The collector's current site: root functions set these before marking;
// each block marked records them (gc_block_site reads them back).
extern const char* gc_file;
extern int gc_line;
// Makes the line it stands on the collector's current site.
#define GC_SITE() (gc_file = __FILE__, gc_line = __LINE__)
void gc_block_site(const void* block, const char** file, int* line);
// A collection counter; a mark function of a record that is not a collected
// block keeps the last counter it saw to know whether it was visited.
extern std::atomic<uint64_t> gc_epoch_counter;
inline uint64_t gc_epoch() { return gc_epoch_counter.load(); }

// Mark function of a block without pointers.
void gc_text(void* block);
// Marks every thread's frames.
void gc_gc_stack();

// Application hooks, called in one collection as: gc_lock, (world stopped)
// gc, sp_gc, sweep, after_gc, (world resumed) gc_unlock. Null members do
// nothing. gc_set_hooks(null) restores the default set, whose gc marks the
// core's roots (gc_qnlisp, gc_gc_stack) and whose sp_gc drops unreferenced
// reader states (sp_gc_qnlisp).
struct GC_HOOKS {
  void (*gc_lock)();
  void (*gc)();
  void (*sp_gc)();
  void (*after_gc)();
  void (*gc_unlock)();
};
void gc_set_hooks(const GC_HOOKS* hooks);
// The default gc and sp_gc hooks (for applications that extend them).
void gc_default_mark();
void gc_default_sp();

// Runs one collection now on the calling thread (which may hold the memory
// lock; it is released while the collection runs). Returns 0.
int gc_tick_notin_tick(int unused);
int gc_collect_now();

// The collector task: collects when the bytes allocated since the last
// collection pass its budget, and once a minute when anything was
// allocated. The budget is max(trigger, live bytes after the last
// collection), or max(trigger, twice the live bytes) when that collection
// freed under a quarter of what was allocated before it (the heap grows
// with what it keeps). Between collections, while the heap takes new
// pages, the task keeps the memory of a few pages faulted in ahead of the
// allocating threads (the system's first touch of fresh memory would stop
// them), at most 2 MiB, let go by a collection that finds no new page
// taken since the last. stop_gc_task ends it (also at exit).
void init_gc_task();
void stop_gc_task();
// Least number of allocated bytes between two triggered collections
// (default 8 MiB).
void gc_set_trigger_bytes(size_t bytes);

// Testing aid: with n > 0, every n-th allocation (over all threads) first
// runs a whole collection on the allocating thread, so that a value left
// unpinned across an allocation is freed at once; 0 turns it off.
void gc_set_collect_every(uint32_t n);

// Returning memory to the system: once more than `bytes` have been freed
// since the last trim (by sweeps, and as gc_note_released reports), the
// collection that passes it ends with malloc_trim. 64 MiB unless set.
// Blocks of 4 MiB and more are mapped from the system one by one, so they
// go back to it when freed.
void gc_set_trim_bytes(uint64_t bytes);
// Reports memory let go outside the collected heap, or values the caller no
// longer holds (a link's input or reply that it has finished with): counted
// towards the trim above; when the count passes the trim threshold, the
// collector task is asked for a collection.
void gc_note_released(uint64_t bytes);
// Collected bytes the calling thread has allocated so far, counted as the
// allocator hands it cells (about 4 KiB at a time) and large blocks; it
// only grows.
uint64_t gc_thread_allocated();
// Collections completed so far (never waits for a running one).
uint64_t gc_collections_done();
// Asks the collector task for a collection soon.
void gc_request_collection();
// Attaches a meter to the calling thread: the collected bytes it allocates
// from now on (counted as above) are added to *meter, which other threads
// may read. Null detaches; the meter attached before is returned.
std::atomic<int64_t>* gc_attach_meter(std::atomic<int64_t>* meter);

// ---- the heap budget
// What the collected heap may hold at once: the blocks live after the last
// collection, those handed out since (refills of threads' free cells, about
// 4 KiB each, and large blocks) and the threads' root stacks. Before the
// heap takes more, the sum is checked against the budget; past it, a
// collection runs first on the allocating thread when enough may have
// become garbage since the last one, and what still does not fit is refused
// (base/alloc.h: AllocRefused thrown inside a refusal zone with no task
// lock held; elsewhere the heap goes over its budget, as far as the system
// lets it). A request larger than the budget is refused before anything is
// taken. A thread attached to a share (below) is also refused when what
// the share holds would pass a quarter of the budget.
//
// What one holder takes of a budget alone (a peer's link, the threads or
// the input of one peer address, one thread's root stack) is at most the
// budget divided by kBudgetParts, a quarter: no one of them fills it for
// the others. The link budget (runtime/link_budget.h) is shared out the
// same way.
inline constexpr int64_t kBudgetParts = 4;
// What every peer's bindings keep together is at most the budget divided
// by kPeersBudgetParts, half of it: the agent's own work always has the
// other half, however many addresses bind.
inline constexpr int64_t kPeersBudgetParts = 2;
// Nothing a binding keeps can be taken back to make room for another
// peer's: the last part of the peers' half, the budget divided by
// kPeersReserveParts, is kept for addresses that hold almost nothing (at
// most that part divided by kReserveShares once they have bound), so that
// a peer from a fresh address binds after others have filled the rest.
inline constexpr int64_t kPeersReserveParts = 16;
inline constexpr int64_t kReserveShares = 64;
// A refused charge collects first only once a sixteenth of a share has
// been charged since the last collection: a peer at its share does not
// make the agent collect at every try.
inline constexpr int64_t kCollectFor = 16;
// The default: QNMX_HEAP_BUDGET_MIB when set, else a quarter of the least
// of the machine's memory and the process's address-space and data limits
// (64 MiB at least). 0 sets the default again.
void gc_set_heap_budget(uint64_t bytes);
uint64_t gc_heap_budget();
// The sum the budget is checked against.
uint64_t gc_heap_in_use();

// A share of the heap: what the threads attached to it (the evaluations of
// one peer's link) hold at once, counted as the bytes reachable from their
// roots alone at the last collection (marked after every other root) and
// the bytes they have taken since. The collector writes held and resets
// since while the world is stopped; attached threads add to since.
struct GC_SHARE {
  std::atomic<int64_t> held{0};
  std::atomic<int64_t> since{0};
  std::atomic<int> threads{0};  // attached now; none: it holds nothing
  int64_t held_new = 0;         // the collector's own, world stopped
};
// Attaches the calling thread to share (null: to none) and answers the share
// it was attached to. The caller holds the memory lock (the collector reads
// a thread's share while the world is stopped) and keeps share alive until
// it detaches.
GC_SHARE* gc_attach_share(GC_SHARE* share);
// What a peer's bindings keep, in any environment (the agent's, its own,
// another peer's), is held by the address of the peer that wrote them, at
// most a quarter of the budget, apart from what its evaluations hold; all
// peers' together at most half (kPeersBudgetParts), its last part kept for
// addresses holding almost nothing (kPeersReserveParts). The collector
// counts it: a bound value is marked after every root of the agent's
// (gc_mark_bound, called by the environments' mark functions), so what the
// agent reaches as well is not the peer's, and the count of each address
// goes to its account (zu/peer_account.h); the bytes bound since the last
// collection are charged as each binding is made (gc_charge_bound: false
// when the address's share, or all peers' half, would be passed even after
// a collection; the binding is then refused). A charge of 0 bytes asks
// whether the address is past its share already.
void gc_mark_bound(void* block, GC_MARK_FUNC mark, uint32_t ip);
bool gc_charge_bound(uint32_t ip, uint64_t bytes);
// A refusal was caught and what the refused work made is garbage once the
// work has unwound: the next check past the budget collects first.
void gc_note_refusal();
// Refusals the calling thread has caught so far: whoever ends a piece of
// work compares it with the count at its start, and asks for a collection
// when it grew (gc_request_collection), so that the memory falls back.
uint64_t gc_thread_refusals();
// Bytes of the blocks marked so far in the running collection (for the
// shares; counted by gc_mark_block).
extern uint64_t gc_marked_bytes;

struct GC_STATS {
  uint64_t collections;       // collections run so far
  uint64_t live_bytes;        // bytes in live blocks after the last sweep
  uint64_t live_blocks;       // live blocks after the last sweep
  uint64_t freed_blocks;      // blocks freed by the last sweep
  uint64_t freed_bytes;       // bytes of those blocks
  uint64_t allocated_bytes;   // bytes handed out since the last collection
  double last_pause_ms;       // world-stopped time of the last collection
  uint64_t budget;            // bytes to hand out before the next triggered one
  uint64_t stock_pages;       // pages of memory faulted in ahead, held now
  uint64_t stock_served;      // pages taken from them so far
};
void gc_get_stats(GC_STATS* out);

// RAII: the calling thread takes part in ZU work for the scope's lifetime
// (holds the memory lock and has a frame labelled `label`). Nested scopes
// are allowed; values allocated directly in a scope stay pinned until it
// ends.
class ZuThreadScope {
 public:
  explicit ZuThreadScope(const char* label = "thread");
  ~ZuThreadScope();
  ZuThreadScope(const ZuThreadScope&) = delete;
  ZuThreadScope& operator=(const ZuThreadScope&) = delete;

 private:
  int depth_;
};

// RAII memory lock.
class MemLock {
 public:
  MemLock() { lock_mem(); }
  ~MemLock() { unlock_mem(); }
  MemLock(const MemLock&) = delete;
  MemLock& operator=(const MemLock&) = delete;
};

// RAII collector frame: values allocated while it is open are released when
// it closes, except the one handed to keep() (pinned in the frame below).
class GcFrame {
 public:
  explicit GcFrame(const char* label) { gc_push(nullptr, nullptr, label); }
  ~GcFrame() {
    if (open_) gc_pop(nullptr, nullptr);
  }
  template <class T>
  T* keep(T* block, GC_MARK_FUNC mark) {
    gc_pop(block, mark);
    open_ = false;
    return block;
  }
  GcFrame(const GcFrame&) = delete;
  GcFrame& operator=(const GcFrame&) = delete;

 private:
  bool open_ = true;
};

// The common allocation in line: a small block from the thread's own free
// cells, with the same checks and the same safe point as xx_mmalloc (which
// takes every other case).
inline void* gc_alloc(size_t size, GC_MARK_FUNC mark, const char* file, int line) {
  GcThreadFast* tf = gc_tl_fast;
  GcRootStack* roots = gc_tl_roots;
  if (size + sizeof(GcHdr) > kGcMaxCell || !tf || !tf->running || gc_alloc_slow.load(std::memory_order_relaxed) ||
      !roots || roots->top == roots->cap) [[unlikely]]
    return xx_mmalloc(size, mark, file, line);
  const int cls = kGcClassOf.cls[(size + sizeof(GcHdr) + 7) / 8];
  void* c = tf->cache[cls];
  if (!c) [[unlikely]]
    return xx_mmalloc(size, mark, file, line);
  char* user = static_cast<char*>(c);
  const size_t cell = kGcClassSize[cls];
  ASAN_UNPOISON_MEMORY_REGION(user, cell - sizeof(GcHdr));
  std::memcpy(&tf->cache[cls], user, sizeof(void*));
  std::memset(user, 0, cell - sizeof(GcHdr));
  GcHdr h{static_cast<uint32_t>(size), kGcAlloc, static_cast<uint8_t>(cls), 0};
  std::memcpy(user - sizeof(GcHdr), &h, sizeof h);
  *roots->top++ = GcRoot{user, mark ? mark : gc_text};
  return user;
}

// ---- marking in line
// Every value of a large structure passes here once a collection, so the
// common case (a block in use and not yet marked, at the site the last
// mark recorded) takes no call.
// The site whose index gc_mark_block records, and that index; kept by the
// out-of-line part, read only while the world is stopped.
struct GcSiteCache {
  const char* file;
  int line;
  uint16_t index;
};
extern GcSiteCache gc_site_cache;
// The cases not in line: a block already marked (1), one not in use
// (fatal), or a site not seen last.
int gc_mark_block_slow(void* block);

inline int gc_is_marked(const void* block) {
  return (static_cast<const GcHdr*>(block)[-1].flags & kGcMark) != 0;
}

inline int gc_mark_block(void* block) {
  GcHdr* h = static_cast<GcHdr*>(block) - 1;
  if ((h->flags & (kGcAlloc | kGcMark)) != kGcAlloc || gc_file != gc_site_cache.file ||
      gc_line != gc_site_cache.line) [[unlikely]]
    return gc_mark_block_slow(block);
  h->flags |= kGcMark;
  h->site = gc_site_cache.index;
  gc_marked_bytes += h->size;
  return 0;
}
