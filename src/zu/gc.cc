#include "zu/gc.h"
#include "zu/env.h"
#include "zu/unit.h"

#include <malloc.h>
#include <sanitizer/asan_interface.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/paths.h"
#include "zu/gc_core_impl.h"
#include "zu/peer_account.h"

// ---- the state gc.h's inline fast paths read

const char* gc_file = nullptr;
GcSiteCache gc_site_cache{nullptr, 0, 0};
constinit thread_local GcRootStack* gc_tl_roots = nullptr;
constinit thread_local GcThreadFast* gc_tl_fast = nullptr;
namespace {
constinit thread_local GcThreadFast tl_fast_state{};
}  // namespace
std::atomic<uint32_t> gc_alloc_slow{0};
std::atomic<uint64_t> gc_epoch_counter{0};
int gc_line = 0;
uint64_t gc_marked_bytes = 0;

namespace {

// ---- pages and classes

constexpr uint8_t kAlloc = kGcAlloc;
constexpr uint8_t kMark = kGcMark;
constexpr uint8_t kLarge = 4;

inline GcHdr* hdr_of(const void* p) {
  return reinterpret_cast<GcHdr*>(const_cast<char*>(static_cast<const char*>(p)) - sizeof(GcHdr));
}

// Small blocks live in 64 KiB pages of equal cells (header included): the
// classes of gc.h.
constexpr const uint32_t* kClassSize = kGcClassSize;
constexpr int kClasses = kGcClasses;
constexpr size_t kMaxCell = kGcMaxCell;
constexpr size_t kPageBytes = 64 * 1024;
// Empty pages kept after a sweep: a few per class, and beyond those as many
// as the allocation volume between two collections needs, so that a busy
// program does not hand its pages back only to fault them in again.
constexpr size_t kSparePages = 4;
// Allocations from this size on are mapped from the system one by one.
constexpr int kSystemBlockBytes = 4 << 20;
// Page memory the collector task keeps faulted in ahead (see PageStock): as
// many pages as were taken new since the last sweep, at most kStockPages,
// once kStockFrom of them were.
constexpr size_t kStockPages = 32;
constexpr size_t kStockFrom = 8;

// Bits of gc_alloc_slow.
constexpr uint32_t kSlowRequested = 1;
constexpr uint32_t kSlowStress = 2;

struct FreeCell {
  FreeCell* next;
};

void poison_cell(char* user, uint32_t cell) {
  if (cell > 16) ASAN_POISON_MEMORY_REGION(user + 8, cell - 16);
  (void)user;
  (void)cell;
}
void unpoison_cell(char* user, uint32_t cell) {
  ASAN_UNPOISON_MEMORY_REGION(user, cell - 8);
  (void)user;
  (void)cell;
}

struct Page {
  char* mem;
  uint32_t cls;
  uint32_t cell;
  uint32_t ncells;
  uint32_t nfree;
  FreeCell* free;
};

struct ClassHeap {
  std::mutex m;
  std::vector<Page*> pages;
  std::vector<Page*> avail;  // pages with free cells no thread's cache holds
};

// Blocks above kMaxCell come from malloc, chained for the sweep.
struct LargeHdr {
  LargeHdr* prev;
  LargeHdr* next;
  uint64_t size;
  uint64_t pad;
  GcHdr h;
};
static_assert(sizeof(LargeHdr) == 40);

LargeHdr* large_of(GcHdr* h) {
  return reinterpret_cast<LargeHdr*>(reinterpret_cast<char*>(h) - offsetof(LargeHdr, h));
}

// ---- a thread's state, the heap and the page stock's record

using Root = GcRoot;
struct Frame {
  size_t start;
  const char* label;
};

struct GcThread {
  GcThread() = default;
  GcThread(const GcThread&) = delete;
  GcThread& operator=(const GcThread&) = delete;
  ~GcThread() { resize_roots(0); }
  size_t nroots() const { return static_cast<size_t>(roots.top - roots.base); }
  size_t root_cap() const { return static_cast<size_t>(roots.cap - roots.base); }
  void push_root(void* p, GC_MARK_FUNC f) {
    if (roots.top == roots.cap) grow_roots();
    *roots.top++ = Root{p, f};
  }
  // The root stack counts in the heap budget: a frame that pins every
  // cell of a long list holds 16 bytes per cell here.
  void grow_roots();
  // A root stack that once held many roots is given back when few remain.
  void shrink_roots();
  void resize_roots(size_t cap);
  GcRootStack roots;
  std::vector<Frame> frames;
  int mem_depth = 0;
  int blocked = 0;
  int scopes = 0;
  bool running = false;  // mirrored in fast->running for gc_alloc
  bool registered = false;
  // The heap share the thread's allocations count in (gc_attach_share);
  // set by the thread itself, read by the collector while it is stopped.
  GC_SHARE* share = nullptr;
  // The owning thread's free cells and running flag (thread-local storage
  // of that thread, read by the collector only while the thread is stopped).
  GcThreadFast* fast = &tl_fast_state;
  FreeCell** cache() { return reinterpret_cast<FreeCell**>(fast->cache); }
};

struct Gc {
  ClassHeap heaps[kClasses];
  std::mutex large_m;
  LargeHdr* large_head = nullptr;

  // Safe-point protocol. sp_m is the collector's own: mutators wait on its
  // conditions (which release it) to enter, the collector to stop them; it
  // is held for a few instructions, and nothing else is taken under it.
  std::mutex sp_m;
  std::condition_variable sp_cv;  // mutators wait here for a collection to end
  std::condition_variable gc_cv;  // the collector waits here for mutators to stop
  int running = 0;
  std::atomic<bool> requested{false};
  std::vector<GcThread*> threads;

  // One collection at a time. Not a leaf: held through a whole collection,
  // the hooks' locks included, so it is always waited for at a safe point.
  std::mutex collect_m;
  GC_HOOKS hooks{nullptr, gc_default_mark, gc_default_sp, nullptr, nullptr};
  std::vector<Root> mark_stack;

  // Trigger and statistics.
  std::atomic<uint64_t> allocated{0};
  std::atomic<uint64_t> threshold{8u << 20};
  std::atomic<uint64_t> trigger_min{8u << 20};
  std::atomic<bool> trigger_sent{false};
  std::atomic<uint32_t> collect_every{0};
  std::atomic<uint32_t> collect_countdown{0};
  GC_STATS stats{};
  // Returning memory: once more than trim_bytes have been freed since the
  // last trim (by sweeps, or let go as gc_note_released reports), the
  // collection that passes it ends with malloc_trim.
  std::atomic<uint64_t> trim_bytes{uint64_t{64} << 20};
  std::atomic<uint64_t> since_trim{0};
  std::atomic<uint64_t> done{0};  // stats.collections, readable without collect_m

  // The heap budget (gc.h) and what is measured against it: stats.live_bytes
  // readable without collect_m, every thread's root stack, and whether a
  // refused work left garbage since the last collection.
  std::atomic<uint64_t> heap_budget{uint64_t{1} << 30};
  std::atomic<uint64_t> live_after{0};
  std::atomic<uint64_t> root_bytes{0};
  std::atomic<bool> refused{false};

  // What peers' bindings hold is counted by address in their accounts
  // (zu/peer_account.h; gc_charge_bound). `deferred` holds the bound values
  // met while the agent's roots are marked (deferring), marked after them;
  // the collector's own.
  struct Bound {
    void* p;
    GC_MARK_FUNC f;
    uint32_t ip;
  };
  std::vector<Bound> deferred;
  bool deferring = false;

  // Marking sites (the current one in gc_site_cache).
  std::vector<std::pair<const char*, int>> sites{{nullptr, 0}};

  // Collector task. task_m guards the fields below; the task waits on
  // task_cv (which releases it) and never holds it while collecting.
  std::mutex task_m;
  std::condition_variable task_cv;
  std::thread task;
  bool task_running = false;
  bool task_stop = false;
  bool task_trigger = false;
  bool task_pages = false;  // the page stock asked for more
  std::chrono::steady_clock::time_point last_collection = std::chrono::steady_clock::now();
};

// Page memory faulted in ahead. The first touch of fresh memory faults it
// in (the system finds, zeroes and maps each 4 KiB), which costs a thread
// that builds a large structure about as much as building it does. While
// the heap takes new pages, the collector task, idle between collections,
// keeps a few pages' memory faulted in; the allocating thread takes them
// and lays their cells out itself. m is a leaf that guards the fields.
struct PageStock {
  std::mutex m;
  std::vector<char*> mem;
  size_t taken = 0;    // pages taken new since the last sweep
  uint64_t served = 0; // pages taken from the stock so far
  bool asked = false;  // the task was asked for more and has not answered
};
PageStock& stock() {
  static PageStock* s = new PageStock;  // never destroyed, as the heap
  return *s;
}

// Never destroyed: pooled threads may still touch it while the process ends.
// The allocator reads it through g_heap: a thread that may allocate has
// taken the memory lock, which made it (minit).
constinit Gc* g_heap = nullptr;
Gc& G() {
  static Gc* g = g_heap = new Gc;
  return *g;
}

// ---- the heap budget

uint64_t in_use(const Gc& g) {
  return g.live_after.load(std::memory_order_relaxed) + g.allocated.load(std::memory_order_relaxed) +
         g.root_bytes.load(std::memory_order_relaxed);
}

bool fits(const Gc& g, const GcThread* t, uint64_t bytes) {
  uint64_t budget = g.heap_budget.load(std::memory_order_relaxed);
  if (bytes > budget || in_use(g) + bytes > budget) return false;
  const GC_SHARE* s = t->share;
  if (!s) return true;
  int64_t held = s->held.load(std::memory_order_relaxed) + s->since.load(std::memory_order_relaxed);
  return static_cast<uint64_t>(std::max<int64_t>(held, 0)) + bytes <= budget / kBudgetParts;
}

// Whether a collection may make room: a refused work left garbage, or
// enough has been taken since the last one (by anyone, or by the share).
// The thresholds (the budget divided by these) keep a heap that is full of
// live values from collecting at every refill.
constexpr uint64_t kCollectAfterAllParts = 64;
constexpr uint64_t kCollectAfterShareParts = 128;

bool worth_collecting(const Gc& g, const GcThread* t) {
  uint64_t budget = g.heap_budget.load(std::memory_order_relaxed);
  if (g.refused.load(std::memory_order_relaxed)) return true;
  if (g.allocated.load(std::memory_order_relaxed) >= budget / kCollectAfterAllParts) return true;
  return t->share &&
         t->share->since.load(std::memory_order_relaxed) >= static_cast<int64_t>(budget / kCollectAfterShareParts);
}

int collect(uint64_t seen);
constexpr uint64_t kAnyCollection = ~uint64_t{0};

// The calling thread's collection for room: unless another completed since
// `seen`. Nothing in it is refused (its hooks and close functions finish).
void collect_for_room(uint64_t seen) {
  NoRefusal quiet;
  collect(seen);
}

// Past the budget: a collection when it may help, else the refusal. Where
// a throw cannot be caught the heap goes over; the next allocation that can
// be refused will be.
[[gnu::noinline]] void heap_over(GcThread* t, uint64_t bytes, bool may_collect) {
  if (!alloc_refusable()) return;
  Gc& g = G();
  uint64_t budget = g.heap_budget.load(std::memory_order_relaxed);
  bool alone_too_big = bytes > (t->share ? budget / kBudgetParts : budget);
  if (!alone_too_big && may_collect && worth_collecting(g, t)) {
    collect_for_room(g.done.load());
    if (fits(g, t, bytes)) return;
  }
  throw AllocRefused();
}

// Before the heap takes `bytes` more for the calling thread. may_collect:
// the caller is at an allocation's safe point with nothing unpinned.
inline void heap_admit(GcThread* t, uint64_t bytes, bool may_collect) {
  if (fits(*g_heap, t, bytes)) [[likely]] return;
  heap_over(t, bytes, may_collect);
}

// What the budget is when nothing sets it (gc.h): the least room the
// machine and the process's limits leave, divided by this, 64 MiB at least.
constexpr uint64_t kDefaultBudgetParts = 4;
constexpr uint64_t kLeastDefaultBudget = uint64_t{64} << 20;

uint64_t default_heap_budget() {
  if (int64_t mib = u_getenv_count("QNMX_HEAP_BUDGET_MIB", 0, (int64_t{1} << 40) - 1))
    return static_cast<uint64_t>(mib) << 20;
  uint64_t room = UINT64_MAX;
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page > 0) room = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit lim{};
    if (getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) room = std::min<uint64_t>(room, lim.rlim_cur);
  }
  return std::max<uint64_t>(room / kDefaultBudgetParts, kLeastDefaultBudget);
}

// ---- root stacks

// The stack grows with the blocks it pins, each of which the budget has
// admitted (collecting first when that may help); a collection here would
// free the block being pinned, so the stack is refused only when it alone
// would pass a quarter of the budget.
void GcThread::grow_roots() {
  size_t n = root_cap();
  size_t cap = n ? n * 2 : 256;
  uint64_t more = (cap - n) * sizeof(Root);
  if (cap * sizeof(Root) > g_heap->heap_budget.load(std::memory_order_relaxed) / kBudgetParts && alloc_refusable())
    throw AllocRefused();
  resize_roots(cap);
  if (share) share->since.fetch_add(static_cast<int64_t>(more), std::memory_order_relaxed);
}

constexpr size_t kKeptRoots = size_t{1} << 16;

void GcThread::shrink_roots() {
  size_t cap = root_cap();
  if (cap <= kKeptRoots || nroots() > cap / 8) return;
  resize_roots(std::max(kKeptRoots, nroots() * 2));
}

void GcThread::resize_roots(size_t cap) {
  size_t old = root_cap();
  size_t n = std::min(nroots(), cap);
  Root* b = nullptr;
  if (cap > 0) {
    b = static_cast<Root*>(std::realloc(roots.base, cap * sizeof(Root)));
    if (!b && cap < old) return;  // a smaller one could not be had: keep this one
    if (!b) alloc_fail(cap * sizeof(Root), "gc roots");
  } else {
    std::free(roots.base);
  }
  roots.base = b;
  roots.top = b + n;
  roots.cap = b + cap;
  G().root_bytes.fetch_add((cap - old) * sizeof(Root), std::memory_order_relaxed);
}

// ---- per-thread state and safe points

void release_thread(GcThread* t);

// The calling thread's state. The pointer itself is trivially destructible,
// so it stays readable in every phase of thread and process exit; the holder
// below releases the state when the thread ends and clears the pointer, so
// code running later in the exit (atexit handlers such as stop_gc_task, or
// destructors of static objects) sees a thread without state instead of
// freed memory.
constinit thread_local GcThread* tl_state = nullptr;
constinit thread_local bool tl_holder_gone = false;

struct ThreadHolder {
  ~ThreadHolder() {
    tl_holder_gone = true;
    if (GcThread* t = tl_state) {
      tl_state = nullptr;
      gc_tl_roots = nullptr;
      gc_tl_fast = nullptr;
      release_thread(t);
    }
  }
};
thread_local ThreadHolder holder;

GcThread* me() { return tl_state; }
GcThread* me_or_new() {
  if (GcThread* t = tl_state) return t;
  // A state made after the holder ran (ZU work inside an exit handler) is
  // not released; it stays registered, reachable, until the process ends.
  if (!tl_holder_gone) (void)&holder;  // registers the holder's destructor
  tl_state = new GcThread;
  gc_tl_roots = &tl_state->roots;
  gc_tl_fast = tl_state->fast;
  return tl_state;
}

void do_enter(GcThread* t) {
  Gc& g = G();
  std::unique_lock<std::mutex> l(g.sp_m);
  g.sp_cv.wait(l, [&g] { return !g.requested.load(); });
  if (!t->registered) {
    g.threads.push_back(t);
    t->registered = true;
  }
  ++g.running;
  t->running = true;
  t->fast->running = true;
}

void do_leave(GcThread* t) {
  Gc& g = G();
  std::lock_guard<std::mutex> l(g.sp_m);
  t->running = false;
  t->fast->running = false;
  if (--g.running == 0 && g.requested.load()) g.gc_cv.notify_all();
}

// Drops the roots of a thread that is outside (it let the memory lock go
// inside a blocking wait): only while no collection runs, which otherwise
// reads them; roots left in place are dropped at the thread's next release.
void drop_roots_outside(GcThread* t) {
  Gc& g = G();
  std::lock_guard<std::mutex> l(g.sp_m);
  if (!g.requested.load()) t->roots.top = t->roots.base;
}

// Moves t from its share to `share`; a share left without threads holds
// nothing any more.
void switch_share(GcThread* t, GC_SHARE* share) {
  GC_SHARE* old = t->share;
  if (old == share) return;
  if (share && share->threads.fetch_add(1) == 0) {
    share->held.store(0);
    share->since.store(0);
  }
  if (old && old->threads.fetch_sub(1) == 1) {
    old->held.store(0);
    old->since.store(0);
  }
  t->share = share;
}

void release_thread(GcThread* t) {
  Gc& g = G();
  if (t->running) do_leave(t);
  {
    std::unique_lock<std::mutex> l(g.sp_m);
    g.sp_cv.wait(l, [&g] { return !g.requested.load(); });
    if (t->registered) std::erase(g.threads, t);
  }
  delete t;
}

void hook_leave() {
  GcThread* t = me();
  if (!t) return;
  ++t->blocked;
  if (t->running) do_leave(t);
}

void hook_enter() {
  GcThread* t = me();
  if (!t || t->blocked == 0) return;
  if (--t->blocked == 0 && t->mem_depth > 0 && !t->running) do_enter(t);
}

// ---- triggers

void notify_task() {
  Gc& g = G();
  std::lock_guard<std::mutex> l(g.task_m);
  if (!g.task_running) return;
  g.task_trigger = true;
  g.task_cv.notify_one();
}

// Collected bytes the calling thread has taken (pages of cells and large
// blocks), for gc_thread_allocated.
constinit thread_local uint64_t tl_allocated = 0;
// Refusals the calling thread caught (gc_note_refusal).
constinit thread_local uint64_t tl_refusals = 0;
// The meter attached to the calling thread (gc_attach_meter), or null.
constinit thread_local std::atomic<int64_t>* tl_meter = nullptr;

void account(uint64_t bytes) {
  tl_allocated += bytes;
  if (tl_meter) tl_meter->fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
  if (GcThread* t = tl_state; t && t->share)
    t->share->since.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
  Gc& g = G();
  uint64_t now = g.allocated.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  if (now >= g.threshold.load(std::memory_order_relaxed) && !g.trigger_sent.exchange(true)) notify_task();
}

// ---- page stock

// Asks the collector task to fill the page stock; false when no task runs.
bool ask_for_pages() {
  Gc& g = G();
  std::lock_guard<std::mutex> l(g.task_m);
  if (!g.task_running) return false;
  g.task_pages = true;
  g.task_cv.notify_one();
  return true;
}

size_t stock_target(const PageStock& ps) { return std::min(ps.taken, kStockPages); }

// Memory for a new page: from the stock when it has some.
char* page_memory() {
  PageStock& ps = stock();
  char* mem = nullptr;
  bool ask;
  {
    std::lock_guard<std::mutex> l(ps.m);
    if (!ps.mem.empty()) {
      mem = ps.mem.back();
      ps.mem.pop_back();
      ++ps.served;
    }
    ++ps.taken;
    ask = !ps.asked && ps.taken >= kStockFrom && ps.mem.size() < stock_target(ps) * 3 / 4;
    ps.asked = ps.asked || ask;
  }
  if (ask && !ask_for_pages()) {
    std::lock_guard<std::mutex> l(ps.m);
    ps.asked = false;
  }
  if (!mem) mem = static_cast<char*>(std::malloc(kPageBytes));
  if (!mem) alloc_fail(kPageBytes, "xx_mmalloc(3)");
  return mem;
}

// The collector task's part: the stock filled up to its target, each page
// faulted in by a write to every 4 KiB of it. The target is looked at again
// before each page goes in: a sweep may have let the stock go meanwhile.
void fill_page_stock() {
  PageStock& ps = stock();
  char* spare = nullptr;
  for (;;) {
    {
      std::lock_guard<std::mutex> l(ps.m);
      if (ps.mem.size() >= stock_target(ps)) {
        ps.asked = false;
        break;
      }
    }
    auto* mem = static_cast<char*>(std::malloc(kPageBytes));
    if (mem)
      for (size_t at = 0; at < kPageBytes; at += 4096) mem[at] = 0;
    std::lock_guard<std::mutex> l(ps.m);
    if (mem && ps.mem.size() < stock_target(ps)) {
      ps.mem.push_back(mem);
      continue;
    }
    ps.asked = false;
    spare = mem;
    break;
  }
  std::free(spare);
}

// At the end of a sweep: a heap that took no new page since the last one
// does not need the stock.
void settle_page_stock() {
  PageStock& ps = stock();
  std::vector<char*> drop;
  {
    std::lock_guard<std::mutex> l(ps.m);
    if (ps.taken == 0) drop.swap(ps.mem);
    ps.taken = 0;
  }
  for (char* mem : drop) std::free(mem);
}

// ---- new pages, per-thread caches and large blocks

// A refusal leaves nothing behind: the page's memory comes first, and its
// record is had without a throw of its own.
Page* new_page(int cls) {
  char* mem = page_memory();
  auto* pg = new (std::nothrow) Page;
  if (!pg) {
    std::free(mem);
    alloc_fail(sizeof(Page), "xx_mmalloc(4)");
  }
  pg->cls = cls;
  pg->cell = kClassSize[cls];
  pg->ncells = kPageBytes / pg->cell;
  pg->mem = mem;
  FreeCell* fl = nullptr;
  for (uint32_t i = pg->ncells; i-- > 0;) {
    char* c = pg->mem + static_cast<size_t>(i) * pg->cell;
    auto* h = reinterpret_cast<GcHdr*>(c);
    *h = GcHdr{0, 0, static_cast<uint8_t>(cls), 0};
    char* user = c + sizeof(GcHdr);
    reinterpret_cast<FreeCell*>(user)->next = fl;
    fl = reinterpret_cast<FreeCell*>(user);
    poison_cell(user, pg->cell);
  }
  pg->free = fl;
  pg->nfree = pg->ncells;
  return pg;
}

// Cells a refill hands a thread's cache: about 4 KiB of them, never fewer
// than 8. Every collection empties all caches, and what a refill hands out
// counts toward the next collection at once: were it a whole page (64 KiB),
// a few dozen threads that each allocate a little after a collection would
// take a page for every size they use, reach the trigger by themselves, and
// start the next collection, and the next.
constexpr uint32_t kRefillBytes = 4096;
constexpr uint32_t kRefillCells = 8;

FreeCell* refill(int cls) {
  ClassHeap& h = G().heaps[cls];
  uint64_t bytes;
  FreeCell* fl;
  {
    std::lock_guard<std::mutex> l(h.m);
    Page* pg;
    if (!h.avail.empty()) {
      pg = h.avail.back();
    } else {
      // Room in both lists before the page exists, so that no step after
      // it can throw.
      h.pages.reserve(h.pages.size() + 1);
      h.avail.reserve(h.avail.size() + 1);
      pg = new_page(cls);
      h.pages.push_back(pg);
      h.avail.push_back(pg);
    }
    uint32_t want = std::max(kRefillCells, kRefillBytes / pg->cell);
    fl = pg->free;
    FreeCell* last = fl;
    uint32_t n = 1;
    for (; n < want && last->next; ++n) last = last->next;
    pg->free = last->next;
    last->next = nullptr;
    pg->nfree -= n;
    if (!pg->free) h.avail.pop_back();
    bytes = static_cast<uint64_t>(n) * pg->cell;
  }
  account(bytes);
  return fl;
}

void* alloc_large(size_t size) {
  Gc& g = G();
  if (size > (SIZE_MAX >> 1)) alloc_fail(size, "xx_mmalloc(2)");
  auto* L = static_cast<LargeHdr*>(std::calloc(1, sizeof(LargeHdr) + size));
  if (!L) alloc_fail(size, "xx_mmalloc(2)");
  L->size = size;
  L->h.size = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
  L->h.flags = kAlloc | kLarge;
  {
    std::lock_guard<std::mutex> l(g.large_m);
    L->next = g.large_head;
    if (g.large_head) g.large_head->prev = L;
    g.large_head = L;
  }
  account(size);
  return reinterpret_cast<char*>(L) + sizeof(LargeHdr);
}

// ---- mark: sites and the mark stack

uint16_t current_site() {
  Gc& g = G();
  GcSiteCache& c = gc_site_cache;
  if (gc_file == c.file && gc_line == c.line) return c.index;
  c.file = gc_file;
  c.line = gc_line;
  for (size_t i = 0; i < g.sites.size(); ++i) {
    if (g.sites[i].first == gc_file && g.sites[i].second == gc_line) {
      c.index = static_cast<uint16_t>(i);
      return c.index;
    }
  }
  if (g.sites.size() < 0xFFFF) {
    g.sites.emplace_back(gc_file, gc_line);
    c.index = static_cast<uint16_t>(g.sites.size() - 1);
  } else {
    c.index = 0;
  }
  return c.index;
}

void drain() {
  Gc& g = G();
  while (!g.mark_stack.empty()) {
    Root r = g.mark_stack.back();
    g.mark_stack.pop_back();
    r.f(r.p);
  }
}

// ---- sweep

void sweep() {
  Gc& g = G();
  uint64_t live = 0, live_bytes = 0, freed = 0, freed_bytes = 0;
  uint64_t spare_budget = g.trigger_min.load(std::memory_order_relaxed);
  for (int cls = 0; cls < kClasses; ++cls) {
    ClassHeap& h = g.heaps[cls];
    std::lock_guard<std::mutex> l(h.m);
    h.avail.clear();
    std::vector<Page*> kept;
    kept.reserve(h.pages.size());
    size_t spare = 0;
    for (Page* pg : h.pages) {
      FreeCell* fl = nullptr;
      uint32_t nfree = 0;
      for (uint32_t i = pg->ncells; i-- > 0;) {
        char* c = pg->mem + static_cast<size_t>(i) * pg->cell;
        auto* hh = reinterpret_cast<GcHdr*>(c);
        char* user = c + sizeof(GcHdr);
        if (hh->flags & kAlloc) {
          if (hh->flags & kMark) {
            hh->flags &= static_cast<uint8_t>(~kMark);
            ++live;
            live_bytes += pg->cell;
            continue;
          }
          hh->flags = 0;
          ++freed;
          freed_bytes += pg->cell;
          poison_cell(user, pg->cell);
        }
        reinterpret_cast<FreeCell*>(user)->next = fl;
        fl = reinterpret_cast<FreeCell*>(user);
        ++nfree;
      }
      pg->free = fl;
      pg->nfree = nfree;
      if (nfree == pg->ncells && spare >= kSparePages && spare_budget < kPageBytes) {
        ASAN_UNPOISON_MEMORY_REGION(pg->mem, kPageBytes);
        std::free(pg->mem);
        delete pg;
        continue;
      }
      if (nfree == pg->ncells) {
        if (spare >= kSparePages) spare_budget -= kPageBytes;
        ++spare;
      }
      kept.push_back(pg);
      if (nfree > 0) h.avail.push_back(pg);
    }
    h.pages.swap(kept);
  }
  {
    std::lock_guard<std::mutex> l(g.large_m);
    for (LargeHdr* L = g.large_head; L;) {
      LargeHdr* next = L->next;
      if (L->h.flags & kMark) {
        L->h.flags &= static_cast<uint8_t>(~kMark);
        ++live;
        live_bytes += L->size;
      } else {
        if (L->prev) L->prev->next = L->next;
        else g.large_head = L->next;
        if (L->next) L->next->prev = L->prev;
        freed_bytes += L->size;
        std::free(L);
        ++freed;
      }
      L = next;
    }
  }
  settle_page_stock();
  g.stats.live_blocks = live;
  g.stats.live_bytes = live_bytes;
  g.stats.freed_blocks = freed;
  g.stats.freed_bytes = freed_bytes;
}

// ---- collection

// Bytes to allocate before the next triggered collection, after one that
// left `st`. As many as are live, so that the heap at most doubles between
// two collections; twice as many while the heap grows with what it keeps
// (this collection freed under a quarter of what was allocated since the
// last): the heap then triples between two, and a structure being built is
// marked over fewer times in all, at the cost of one larger step when its
// growth stops.
constexpr uint64_t kGrowingFreedParts = 4;

uint64_t next_budget(const GC_STATS& st, uint64_t least) {
  bool growing = st.freed_bytes < st.allocated_bytes / kGrowingFreedParts;
  return std::max(least, growing ? 2 * st.live_bytes : st.live_bytes);
}

// Marks the values peers bound, in whichever environment, after every
// root of the agent's: what each reaches first its address holds.
void mark_bound() {
  Gc& g = G();
  std::unordered_map<uint32_t, uint64_t> held;
  while (!g.deferred.empty()) {
    Gc::Bound d = g.deferred.back();
    g.deferred.pop_back();
    if (gc_is_marked(d.p)) continue;
    uint64_t before = gc_marked_bytes;
    gc_mark(d.p, d.f);
    drain();  // may defer more, each with its own address
    held[d.ip] += gc_marked_bytes - before;
  }
  g.deferring = false;
  std::vector<std::pair<int, int64_t>> found;
  found.reserve(held.size());
  for (const auto& [ip, bytes] : held) found.emplace_back(static_cast<int>(ip), static_cast<int64_t>(bytes));
  account_bound_found(found);
}

// Marks the roots of the threads attached to shares, after every other
// root: what their marking reaches first is held by their share alone.
void mark_shares() {
  Gc& g = G();
  for (GcThread* t : g.threads)
    if (t->share) t->share->held_new = 0;
  GC_SITE();
  for (GcThread* t : g.threads) {
    if (!t->share) continue;
    uint64_t before = gc_marked_bytes;
    for (const Root* r = t->roots.base; r != t->roots.top; ++r) gc_mark(r->p, r->f);
    drain();
    t->share->held_new += static_cast<int64_t>(gc_marked_bytes - before);
  }
  for (GcThread* t : g.threads) {
    if (GC_SHARE* sh = t->share) {
      sh->held.store(sh->held_new);
      sh->since.store(0);
    }
  }
}

// One collection; with `seen` (a count of collections done), none when
// another has completed since then.
int collect(uint64_t seen = kAnyCollection) {
  Gc& g = G();
  minit();
  {
    BlockingRegion outside;  // the caller's own frames stay visible as roots
    std::lock_guard<std::mutex> cl(g.collect_m);
    if (seen != kAnyCollection && g.done.load() != seen) return 0;
    GC_HOOKS hooks = g.hooks;
    if (hooks.gc_lock) hooks.gc_lock();
    auto t0 = std::chrono::steady_clock::now();
    {
      std::unique_lock<std::mutex> l(g.sp_m);
      g.requested.store(true);
      gc_alloc_slow.fetch_or(kSlowRequested);
      g.gc_cv.wait(l, [&g] { return g.running == 0; });
    }
    gc_epoch_counter.fetch_add(1);
    g.refused.store(false);
    for (GcThread* t : g.threads) std::memset(t->fast->cache, 0, sizeof t->fast->cache);
    g.stats.allocated_bytes = g.allocated.load();
    g.mark_stack.clear();
    GC_SITE();
    g.deferring = true;
    if (hooks.gc) hooks.gc();
    drain();
    mark_bound();
    mark_shares();
    GC_SITE();
    gc_core_pending_files();
    drain();
    if (hooks.sp_gc) hooks.sp_gc();
    drain();
    gc_core_purge_atoms();
    // A long structure leaves a long mark stack (a member waits there for
    // each cell of a list walked): it goes back with the rest.
    if (g.mark_stack.capacity() > kKeptRoots) std::vector<Root>().swap(g.mark_stack);
    sweep();
    env_note_collection();  // freed environments' addresses may be reused
    if (hooks.after_gc) hooks.after_gc();
    g.allocated.store(0);
    g.live_after.store(g.stats.live_bytes);
    g.stats.budget = next_budget(g.stats, g.trigger_min.load());
    g.threshold.store(g.stats.budget);
    g.trigger_sent.store(false);
    ++g.stats.collections;
    g.done.store(g.stats.collections);
    g.last_collection = std::chrono::steady_clock::now();
    g.stats.last_pause_ms = std::chrono::duration<double, std::milli>(g.last_collection - t0).count();
    {
      std::lock_guard<std::mutex> l(g.sp_m);
      g.requested.store(false);
      gc_alloc_slow.fetch_and(~kSlowRequested);
    }
    g.sp_cv.notify_all();
    if (hooks.gc_unlock) hooks.gc_unlock();
    // A burst that has passed leaves its memory in the allocator's free
    // lists; hand it back, with the world running again.
    uint64_t freed = g.since_trim.fetch_add(g.stats.freed_bytes) + g.stats.freed_bytes;
    if (freed > g.trim_bytes.load()) {
      g.since_trim.store(0);
      malloc_trim(0);
    }
  }
  gc_core_run_pending_closes();
  return 0;
}

// ---- task

void task_main() {
  Gc& g = G();
  std::unique_lock<std::mutex> l(g.task_m);
  while (!g.task_stop) {
    g.task_cv.wait_for(l, std::chrono::seconds(1),
                       [&g] { return g.task_stop || g.task_trigger || g.task_pages; });
    if (g.task_stop) break;
    bool run = g.task_trigger;
    g.task_trigger = false;
    if (!run && g.allocated.load() > 0 &&
        std::chrono::steady_clock::now() - g.last_collection > std::chrono::seconds(60))
      run = true;
    if (run) {
      l.unlock();
      collect();
      l.lock();
    }
    if (g.task_pages) {
      g.task_pages = false;
      l.unlock();
      fill_page_stock();
      l.lock();
    }
  }
}

}  // namespace

// ---- start-up and allocation

void minit() {
  static std::once_flag once;
  std::call_once(once, [] {
    G().heap_budget.store(default_heap_budget());
    set_blocking_hooks(hook_leave, hook_enter);
    set_alloc_zone_hook([] { return gc_zone_depth() > 0; });
    // Large blocks (a long reply, a link's token text) come straight from
    // the system and go back to it when freed. Without a fixed threshold
    // the allocator raises its own after the first such free, and each
    // thread's heap then keeps tens of MiB that malloc_trim cannot reach.
    mallopt(M_MMAP_THRESHOLD, kSystemBlockBytes);
  });
}

namespace {

// The testing aid of gc_set_collect_every; collections started this way do
// not nest (a close function run after one may allocate).
void stress_collect() {
  Gc& g = G();
  constinit thread_local bool inside = false;
  uint32_t every = g.collect_every.load(std::memory_order_relaxed);
  if (every == 0 || inside) return;
  if (g.collect_countdown.fetch_add(1, std::memory_order_relaxed) % every != 0) return;
  inside = true;
  collect();
  inside = false;
}

}  // namespace

namespace {

// The safe point of an allocation: the stress switch, and a collection
// that waits for this thread.
[[gnu::noinline]] void alloc_safe_point(GcThread* t) {
  Gc& g = G();
  if (g.collect_every.load(std::memory_order_relaxed)) stress_collect();
  if (g.requested.load(std::memory_order_relaxed)) {
    do_leave(t);
    do_enter(t);
  }
}

}  // namespace

void* xx_mmalloc(size_t size, GC_MARK_FUNC mark, const char* file, int line) {
  (void)file;
  (void)line;
  GcThread* t = me();
  if (!t || !t->running) [[unlikely]] er_panic("xx_mmalloc(1)");
  Gc& g = *g_heap;
  // Both flags in one test: the common case passes with one branch.
  if (g.collect_every.load(std::memory_order_relaxed) | g.requested.load(std::memory_order_relaxed)) [[unlikely]]
    alloc_safe_point(t);
  void* p;
  size_t need = size + sizeof(GcHdr);
  if (need <= kMaxCell) [[likely]] {
    int cls = kGcClassOf.cls[(need + 7) / 8];
    FreeCell* c = t->cache()[cls];
    if (!c) [[unlikely]] {
      heap_admit(t, kRefillBytes, true);
      c = refill(cls);
    }
    t->cache()[cls] = c->next;
    char* user = reinterpret_cast<char*>(c);
    unpoison_cell(user, kClassSize[cls]);
    // A cell holds the size rounded up to 8 bytes: small blocks, the
    // common values among them, are cleared with stores of a fixed width.
    if (size <= 8) std::memset(user, 0, 8);
    else if (size <= 16) std::memset(user, 0, 16);
    else if (size <= 24) std::memset(user, 0, 24);
    else if (size <= 32) std::memset(user, 0, 32);
    else std::memset(user, 0, size);
    *hdr_of(user) = GcHdr{static_cast<uint32_t>(size), kAlloc, static_cast<uint8_t>(cls), 0};
    p = user;
  } else {
    heap_admit(t, size + sizeof(LargeHdr), true);
    p = alloc_large(size);
  }
  t->push_root(p, mark ? mark : gc_text);
  return p;
}

void gc_release_block(void* block) {
  GcThread* t = me();
  if (!t || !t->running) er_panic("gc_release_block(1)");
  GcHdr* h = hdr_of(block);
  if (!(h->flags & kAlloc)) er_panic("gc_release_block(2)");
  if (h->flags & kLarge) return;
  h->flags = 0;
  auto* c = static_cast<FreeCell*>(block);
  c->next = t->cache()[h->cls];
  poison_cell(static_cast<char*>(block), kClassSize[h->cls]);
  t->cache()[h->cls] = c;
}

// ---- roots and frames

void gc_push(void* block, GC_MARK_FUNC mark, const char* label) {
  GcThread* t = me_or_new();
  t->frames.push_back(Frame{t->nroots(), label});
  if (block) t->push_root(block, mark);
}

void gc_pop(void* block, GC_MARK_FUNC mark) {
  GcThread* t = me();
  if (!t || t->frames.empty()) er_panic("gc_pop(1)");
  size_t start = t->frames.back().start;
  if (start > t->nroots()) er_panic("gc_pop(2)");  // roots released below the frame
  t->roots.top = t->roots.base + start;
  t->frames.pop_back();
  if (t->running) t->shrink_roots();  // a collection may be reading the roots of a thread outside
  if (block) t->push_root(block, mark);
}

namespace {

// Closes t's frames beyond the first `depth`.
void unwind_to_depth(GcThread* t, size_t depth) {
  while (t->frames.size() > depth) {
    size_t start = t->frames.back().start;
    if (start <= t->nroots()) t->roots.top = t->roots.base + start;
    t->frames.pop_back();
  }
}

}  // namespace

void gc_unwind_frames(size_t mark) {
  GcThread* t = me();
  if (!t) return;
  size_t depth = t->frames.size();
  while (depth > 0 && t->frames[depth - 1].start > mark) --depth;
  unwind_to_depth(t, depth);
}

NoRefusal::NoRefusal() {
  GcThread* t = me_or_new();
  saved_ = t->roots.zone;
  t->roots.zone = 0;
}

NoRefusal::~NoRefusal() { me_or_new()->roots.zone = saved_; }

void gc_mark_bound(void* block, GC_MARK_FUNC mark, uint32_t ip) {
  if (!block) return;
  Gc& g = G();
  if (g.deferring) g.deferred.push_back({block, mark, ip});
  else gc_mark(block, mark);
}

bool gc_charge_bound(uint32_t ip, uint64_t bytes) {
  Gc& g = G();
  const uint64_t budget = g.heap_budget.load(std::memory_order_relaxed);
  const auto quarter = static_cast<int64_t>(budget / kBudgetParts);
  const auto peers = static_cast<int64_t>(budget / kPeersBudgetParts);
  const auto reserve = static_cast<int64_t>(budget / kPeersReserveParts);
  const auto n = static_cast<int64_t>(std::min<uint64_t>(bytes, INT64_MAX / 2));
  const int who = static_cast<int>(ip);
  // Only a refusal the caller can answer is made; and a collection is asked
  // for only when enough was charged since the last to change the answer,
  // so that a peer at its share does not make the agent collect per try.
  if (!alloc_refusable()) return account_take(who, PEER_HOLD::kBound, n, kNoCap);
  uint64_t seen = g.done.load();
  for (bool collected = false;; collected = true) {
    if (account_take_reserved(who, PEER_HOLD::kBound, n, quarter, n ? peers : kNoCap, n ? reserve : 0,
                              reserve / kReserveShares))
      return true;
    const int64_t enough = quarter / kCollectFor;
    if (collected || (account_bound_since(who) < enough && account_bound_since_all() < enough)) return false;
    collect_for_room(seen);
  }
}

GC_SHARE* gc_attach_share(GC_SHARE* share) {
  GcThread* t = me_or_new();
  GC_SHARE* old = t->share;
  switch_share(t, share);
  return old;
}

void gc_note_refusal() {
  ++tl_refusals;
  G().refused.store(true);
}

uint64_t gc_thread_refusals() { return tl_refusals; }

void gc_set_heap_budget(uint64_t bytes) {
  minit();
  G().heap_budget.store(bytes ? bytes : default_heap_budget());
}

uint64_t gc_heap_budget() {
  minit();
  return G().heap_budget.load();
}

uint64_t gc_heap_in_use() { return in_use(G()); }

void gc_root_push_slow(void* block, GC_MARK_FUNC f) { me_or_new()->push_root(block, f); }

void gc_root_fault() { er_panic("gc_root_release(1)"); }

void gc_set(void* block, GC_MARK_FUNC mark) {
  lock_mem();
  gc_set_nl(block, mark);
  unlock_mem();
}

int gc_frame_depth() {
  GcThread* t = me();
  return t ? static_cast<int>(t->frames.size()) : 0;
}

void gc_check_no_frames(const char* label) {
  GcThread* t = me();
  if (t && static_cast<int>(t->frames.size()) > t->scopes) er_panic(label);
}

// ---- the memory lock and safe points

void lock_mem() {
  minit();
  GcThread* t = me_or_new();
  if (t->mem_depth++ == 0 && t->blocked == 0) do_enter(t);
}

void unlock_mem() {
  GcThread* t = me();
  if (!t || t->mem_depth <= 0) er_panic("unlock_mem(1)");
  if (--t->mem_depth > 0) return;
  // The roots are dropped while the thread still keeps collections out:
  // once it has left, a collection may be reading them.
  if (t->running) {
    if (t->frames.empty()) t->roots.top = t->roots.base;
    do_leave(t);
  } else if (t->frames.empty()) {
    drop_roots_outside(t);
  }
}

int mem_locked_by_me() {
  GcThread* t = me();
  return t && t->mem_depth > 0;
}

void gc_safepoint() {
  GcThread* t = me();
  if (t && t->running && G().requested.load(std::memory_order_relaxed)) {
    do_leave(t);
    do_enter(t);
  }
}

// ---- mark: blocks, the thread stacks and the default marking

int gc_mark_block_slow(void* block) {
  GcHdr* h = hdr_of(block);
  if (!(h->flags & kAlloc)) er_panic("gc_mark_block(1)");
  if (h->flags & kMark) return 1;
  h->flags |= kMark;
  h->site = current_site();
  gc_marked_bytes += h->size;
  return 0;
}

void gc_mark(void* block, GC_MARK_FUNC mark) {
  // Marking runs only in a collection, which minit's heap exists for.
  if (block && mark) g_heap->mark_stack.push_back(Root{block, mark});
}

size_t gc_block_size(const void* block) {
  GcHdr* h = hdr_of(block);
  if (h->flags & kLarge) return large_of(h)->size;
  return h->size;
}

void gc_block_site(const void* block, const char** file, int* line) {
  Gc& g = G();
  uint16_t i = hdr_of(block)->site;
  lock_at_safe_point(g.collect_m);  // a collection may be waiting for this thread
  std::lock_guard<std::mutex> l(g.collect_m, std::adopt_lock);
  if (i >= g.sites.size()) i = 0;
  if (file) *file = g.sites[i].first;
  if (line) *line = g.sites[i].second;
}


void gc_text(void* block) { gc_mark_block(block); }

void gc_gc_stack() {
  for (GcThread* t : G().threads) {
    if (t->share) continue;  // marked last, for its share (mark_shares)
    for (const Root* r = t->roots.base; r != t->roots.top; ++r) gc_mark(r->p, r->f);
  }
}

void gc_default_mark() {
  GC_SITE();
  gc_qnlisp();
  GC_SITE();
  gc_unit();
  GC_SITE();
  gc_gc_stack();
}

void gc_default_sp() { sp_gc_qnlisp(); }

// ---- hooks, collections on demand, the task

void gc_set_hooks(const GC_HOOKS* hooks) {
  Gc& g = G();
  lock_at_safe_point(g.collect_m);  // a collection may be waiting for this thread
  std::lock_guard<std::mutex> l(g.collect_m, std::adopt_lock);
  g.hooks = hooks ? *hooks : GC_HOOKS{nullptr, gc_default_mark, gc_default_sp, nullptr, nullptr};
}

int gc_tick_notin_tick(int) { return collect(); }
int gc_collect_now() { return collect(); }

void init_gc_task() {
  minit();
  Gc& g = G();
  std::lock_guard<std::mutex> l(g.task_m);
  if (g.task_running) return;
  g.task_stop = false;
  g.task_trigger = false;
  g.task_running = true;
  g.task = std::thread(task_main);
  static std::once_flag at_exit;
  std::call_once(at_exit, [] { std::atexit(stop_gc_task); });
}

void stop_gc_task() {
  Gc& g = G();
  std::thread t;
  {
    std::lock_guard<std::mutex> l(g.task_m);
    if (!g.task_running) return;
    g.task_stop = true;
    g.task_running = false;
    g.task_cv.notify_one();
    t = std::move(g.task);
  }
  BlockingRegion outside;
  t.join();
}

// ---- triggers and statistics

void gc_set_collect_every(uint32_t n) {
  Gc& g = G();
  g.collect_countdown.store(1);
  g.collect_every.store(n);
  if (n) gc_alloc_slow.fetch_or(kSlowStress);
  else gc_alloc_slow.fetch_and(~kSlowStress);
}

void gc_set_trigger_bytes(size_t bytes) {
  Gc& g = G();
  g.trigger_min.store(bytes);
  g.threshold.store(bytes);
}

void gc_set_trim_bytes(uint64_t bytes) { G().trim_bytes.store(bytes); }

void gc_note_released(uint64_t bytes) {
  Gc& g = G();
  uint64_t now = g.since_trim.fetch_add(bytes) + bytes;
  if (now > g.trim_bytes.load() && now - bytes <= g.trim_bytes.load()) notify_task();
}

uint64_t gc_thread_allocated() { return tl_allocated; }

uint64_t gc_collections_done() { return G().done.load(); }

void gc_request_collection() { notify_task(); }

std::atomic<int64_t>* gc_attach_meter(std::atomic<int64_t>* meter) {
  std::atomic<int64_t>* old = tl_meter;
  tl_meter = meter;
  return old;
}

void gc_get_stats(GC_STATS* out) {
  Gc& g = G();
  lock_at_safe_point(g.collect_m);  // a collection may be waiting for this thread
  std::lock_guard<std::mutex> l(g.collect_m, std::adopt_lock);
  *out = g.stats;
  out->allocated_bytes = g.allocated.load();
  PageStock& ps = stock();
  std::lock_guard<std::mutex> s(ps.m);
  out->stock_pages = ps.mem.size();
  out->stock_served = ps.served;
}

// ---- thread scopes

ZuThreadScope::ZuThreadScope(const char* label) {
  lock_mem();
  GcThread* t = me();
  gc_push(nullptr, nullptr, label);
  ++t->scopes;
  depth_ = static_cast<int>(t->frames.size());
}

ZuThreadScope::~ZuThreadScope() {
  GcThread* t = me();
  // A refusal unwinding through the scope may pass frames that code on the
  // way pushed without an object to pop them.
  if (static_cast<int>(t->frames.size()) > depth_ && std::uncaught_exceptions() > 0)
    unwind_to_depth(t, static_cast<size_t>(depth_));
  if (static_cast<int>(t->frames.size()) != depth_) er_panic("ZuThreadScope(1)");
  --t->scopes;
  gc_pop(nullptr, nullptr);
  unlock_mem();
}
