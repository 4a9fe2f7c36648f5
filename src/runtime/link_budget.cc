#include "runtime/link_budget.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "base/leaf_mutex.h"
#include "base/lock.h"
#include "base/paths.h"
#include "stream/stream.h"
#include "text/lchar.h"
#include "zu/gc.h"
#include "zu/peer_account.h"
#include "zu/reader.h"

struct LINK_METER {
  LINK_METER* prev;
  LINK_METER* next;
  uint64_t id;
  // The shares (budget mutex).
  int64_t reading;  // the form its reader is reading, and the reader's buffer
  int64_t queued;   // forms waiting for the relay
  int64_t reply;    // replies being written
  // The reader's thread only: its collected allocations when the form
  // being read began.
  uint64_t form_alloc;
  // Evaluations of its relay in progress (budget mutex, but eval_bytes,
  // which the collector adds to while it is attached): what they allocated,
  // the part of it from before the last collection anyone looked at
  // (eval_base, as of eval_epoch), and when the outermost began.
  std::atomic<int64_t> eval_bytes;
  int64_t eval_first;  // eval_bytes when the outermost began
  int64_t eval_base;
  uint64_t eval_epoch;
  int evaluating;
  std::chrono::steady_clock::time_point eval_start;
  // Its peer's evaluations in the collected heap (attached threads).
  GC_SHARE share;
  int64_t held() const { return reading + queued + reply; }
};

namespace {

using Clock = std::chrono::steady_clock;

// Waiters look again this often: for room that a finished collection made,
// and for a stream or link that has ended.
constexpr auto kRecheck = std::chrono::milliseconds(100);
// How long a new evaluation counts with a reservation at least, and the
// reservation: the budget divided by kFreshEvalParts.
constexpr auto kFreshEval = std::chrono::milliseconds(500);
constexpr int64_t kFreshEvalParts = 16;
// A burst that left the budget divided by this unswept asks for a
// collection as it ends.
constexpr int64_t kBurstGarbageParts = 16;

struct Budget {
  LeafMutex mu;
  // A share went down: every waiting reader looks again, but only one
  // waiting relay, so that evaluations started together cannot all pass on
  // room that only one of them will find.
  std::condition_variable_any room_read;
  std::condition_variable_any room_eval;
  LINK_METER* links = nullptr;
  uint64_t next_id = 0;
  int64_t total = 0;    // every meter's shares, and input charged outside the links
  int64_t replies = 0;  // the reply shares
  // Shares let go whose memory may not be free yet: let go while
  // lingering_done collections had completed, they are freed by the next
  // collection to complete. `unswept` counts the same way what finished
  // evaluations allocated as well (mostly garbage once they are done).
  int64_t lingering = 0;
  int64_t unswept = 0;
  uint64_t lingering_done = 0;
  int evaluations = 0;  // in progress, over every link
  bool pressed = false;  // someone waited for room since the last burst ended
  // Set once at start-up and read on every charge: read without mu.
  std::atomic<int64_t> limit{int64_t{256} << 20};
};

// Never destroyed: links may still be served while the process exits.
Budget& B() {
  static Budget* b = new Budget;
  return *b;
}

// A positive number of MiB from the environment variable `name`, or 0.
int64_t env_mib(const char* name) { return u_getenv_count(name, 0, (int64_t{1} << 40) - 1) << 20; }

// ---- the sums (budget mutex held)

// Forgets what a collection completed since has freed.
void _swept() {
  assert_leaf_held(B().mu);
  Budget& b = B();
  uint64_t done = gc_collections_done();
  if (done != b.lingering_done) {
    b.lingering = b.unswept = 0;
    b.lingering_done = done;
  }
}

int64_t _lingering() {
  assert_leaf_held(B().mu);
  _swept();
  return B().lingering;
}

void _let_go(int64_t bytes) {
  assert_leaf_held(B().mu);
  _swept();
  B().lingering += bytes;
  B().unswept += bytes;
}

// Changes one share of m by delta; a share that goes down lets go.
void _adjust(LINK_METER* m, int64_t LINK_METER::*share, int64_t delta) {
  assert_leaf_held(B().mu);
  Budget& b = B();
  m->*share += delta;
  b.total += delta;
  if (share == &LINK_METER::reply) b.replies += delta;
  if (delta < 0) _let_go(-delta);
}

// Whether m holds the most unfinished input of all links (ties go to the
// older link).
bool _leads(const LINK_METER* m) {
  assert_leaf_held(B().mu);
  for (const LINK_METER* o = B().links; o; o = o->next) {
    if (o == m) continue;
    if (o->reading > m->reading || (o->reading == m->reading && o->id < m->id)) return false;
  }
  return true;
}

// What the evaluations in progress on every link have allocated since the
// last collection, each counted up to a quarter of the budget and, while
// fresh, at least a sixteenth (see the header; the result an evaluation
// returns is charged as a reply).
int64_t _in_flight() {
  assert_leaf_held(B().mu);
  Budget& b = B();
  uint64_t epoch = gc_epoch();
  auto now = Clock::now();
  const int64_t limit = link_budget_bytes();
  int64_t sum = 0;
  for (LINK_METER* m = b.links; m; m = m->next) {
    if (!m->evaluating) continue;
    int64_t bytes = m->eval_bytes.load(std::memory_order_relaxed);
    if (m->eval_epoch != epoch) {
      m->eval_base = bytes;
      m->eval_epoch = epoch;
    }
    int64_t counted = bytes - m->eval_base;
    if (now - m->eval_start < kFreshEval) counted = std::max(counted, limit / kFreshEvalParts);
    sum += std::min(counted, limit / kBudgetParts);
  }
  return sum;
}

bool _reader_may_go(const LINK_METER* m) {
  assert_leaf_held(B().mu);
  Budget& b = B();
  return b.total + _lingering() <= link_budget_bytes() || _leads(m);
}

bool _relay_may_go() {
  assert_leaf_held(B().mu);
  Budget& b = B();
  return b.replies + _in_flight() + _lingering() <= link_budget_bytes();
}

// A burst (links waited for room) is over once nothing is charged and no
// evaluation runs: when it left a sixteenth of the budget unswept, its
// garbage is not left for the collector's own time, a collection is asked
// for (budget mutex NOT held). Without a burst the collector keeps its own
// pace.
void collect_after_burst() {
  Budget& b = B();
  bool over;
  {
    std::lock_guard<LeafMutex> l(b.mu);
    _swept();
    over = b.pressed && b.total == 0 && b.evaluations == 0 && b.unswept >= link_budget_bytes() / kBurstGarbageParts;
    if (over) b.pressed = false;
  }
  if (over) gc_request_collection();
}

// After a share went down (budget mutex NOT held): waiters look again and
// the collector is told.
void released(int64_t bytes) {
  if (bytes <= 0) return;
  Budget& b = B();
  b.room_read.notify_all();
  b.room_eval.notify_one();
  gc_note_released(static_cast<uint64_t>(bytes));
  collect_after_burst();
}

// Waits on `room` until may_go() (checked with the budget mutex held; true
// when it said so, and then go() has run under the same hold, so that the
// room found is taken before anyone else looks) or gone() (checked without
// it; false). Called with the memory lock held: it is released while
// waiting and taken back only after the budget mutex is let go, so that no
// one holds that mutex while waiting for the collector. Garbage of shares
// let go counts until a collection has freed it: one is asked for.
template <class MayGo, class Go, class Gone>
bool wait_for_room(std::condition_variable_any& room, MayGo may_go, Go go, Gone gone) {
  Budget& b = B();
  for (;;) {
    bool ask;
    {
      BlockingRegion outside;
      std::unique_lock<LeafMutex> l(b.mu);
      if (!may_go()) {
        b.pressed = true;
        room.wait_for(l, kRecheck);
      }
      if (may_go()) {
        go();
        return true;
      }
      ask = b.lingering > 0;
    }
    if (ask) gc_request_collection();
    if (gone()) return false;
  }
}

// What the form being read costs so far: everything the reader allocated
// for it (its values, and its token text, member stack and byte buffer as
// they grew, the blocks they left behind included).
int64_t form_charge(const LINK_METER* m) {
  return static_cast<int64_t>(gc_thread_allocated() - m->form_alloc);
}

int64_t buffer_charge(ZU_FILE* f) {
  int cap = 0;
  zu_file_buffered(f, &cap);
  return cap;
}

// Takes a whole share of m off (budget mutex NOT held).
void drop_share(LINK_METER* m, int64_t LINK_METER::*share, int64_t bytes) {
  if (!m || bytes <= 0) return;
  {
    std::lock_guard<LeafMutex> l(B().mu);
    _adjust(m, share, -bytes);
  }
  released(bytes);
}

// Whether live charges hold the room that `held` asks about (budget mutex
// NOT held).
template <class Held>
bool held_now(Held held) {
  std::lock_guard<LeafMutex> l(B().mu);
  return held();
}

}  // namespace

void init_link_budget() {
  if (int64_t v = env_mib("QNMX_LINK_BUDGET_MIB")) B().limit.store(v, std::memory_order_relaxed);
  if (int64_t v = env_mib("QNMX_GC_TRIM_MIB")) gc_set_trim_bytes(static_cast<uint64_t>(v));
}

int64_t link_budget_bytes() { return B().limit.load(std::memory_order_relaxed); }

LINK_METER* new_link_meter() {
  auto* m = new LINK_METER{};
  Budget& b = B();
  std::lock_guard<LeafMutex> l(b.mu);
  m->id = ++b.next_id;
  m->next = b.links;
  if (b.links) b.links->prev = m;
  b.links = m;
  return m;
}

void free_link_meter(LINK_METER* m) {
  if (!m) return;
  Budget& b = B();
  int64_t held;
  {
    std::lock_guard<LeafMutex> l(b.mu);
    held = m->held();
    _adjust(m, &LINK_METER::reading, -m->reading);
    _adjust(m, &LINK_METER::queued, -m->queued);
    _adjust(m, &LINK_METER::reply, -m->reply);
    if (m->prev) m->prev->next = m->next;
    else b.links = m->next;
    if (m->next) m->next->prev = m->prev;
  }
  delete m;
  released(held);
}

void link_input_begin(LINK_METER* m) { m->form_alloc = gc_thread_allocated(); }

int link_admit_input(LINK_METER* m, ZU_FILE* f) {
  if (!m) return 0;
  Budget& b = B();
  int64_t want = buffer_charge(f) + form_charge(m);
  int64_t down;
  bool over, go;
  {
    std::lock_guard<LeafMutex> l(b.mu);
    down = m->reading - want;
    _adjust(m, &LINK_METER::reading, want - m->reading);
    over = m->held() > link_budget_bytes() / kBudgetParts;
    go = !over && _reader_may_go(m);
  }
  // A share that went down wakes the waiters even when this link is refused.
  released(down);
  if (over) return -1;
  if (go) return 0;
  // A stream closed under the wait lets the read see the end of input.
  wait_for_room(
      b.room_read, [m] { return _reader_may_go(m); }, [] {}, [f] { return !s_exist(f->st); });
  return 0;
}

int64_t link_form_read(LINK_METER* m, ZU_FILE* f, ZU_SEXP* form) {
  if (!m) return 0;
  // What the form holds moves on with it; the rest of what reading it cost
  // (token text, grown stacks) is garbage from here on.
  int64_t held = value_footprint(form, link_budget_bytes() / kBudgetParts);
  int64_t garbage = form_charge(m) - held;
  int64_t buffer = buffer_charge(f);
  {
    std::lock_guard<LeafMutex> l(B().mu);
    B().total += buffer - m->reading;
    m->reading = buffer;
    if (garbage > 0) _let_go(garbage);
  }
  if (garbage > 0) released(garbage);
  link_input_begin(m);
  return held;
}

void link_input_end(LINK_METER* m) {
  if (!m) return;
  int64_t gone;
  {
    std::lock_guard<LeafMutex> l(B().mu);
    gone = m->reading;
  }
  drop_share(m, &LINK_METER::reading, gone);
}

void link_queue(LINK_METER* m, int64_t charge) {
  if (!m || charge <= 0) return;
  std::lock_guard<LeafMutex> l(B().mu);
  _adjust(m, &LINK_METER::queued, charge);
}

void link_unqueue(LINK_METER* m, int64_t charge) { drop_share(m, &LINK_METER::queued, charge); }

void link_release(LINK_METER* m, int64_t charge) {
  if (!m || charge <= 0) return;
  {
    std::lock_guard<LeafMutex> l(B().mu);
    _let_go(charge);
  }
  released(charge);
}

bool link_eval_begin(LINK_METER* m, bool wait, bool for_peer, bool (*gone)(void* arg), void* arg,
                     LINK_EVAL_SAVE* before) {
  if (!m) {
    before->meter = gc_attach_meter(nullptr);
    before->share = nullptr;
    before->shared = false;
    before->refusals = gc_thread_refusals();
    return true;
  }
  Budget& b = B();
  auto begin = [m] {
    ++B().evaluations;
    if (m->evaluating++ == 0) {
      m->eval_first = m->eval_base = m->eval_bytes.load(std::memory_order_relaxed);
      m->eval_epoch = gc_epoch();
      m->eval_start = Clock::now();
    }
  };
  bool begun = false;
  {
    std::lock_guard<LeafMutex> l(b.mu);
    if (!wait || _relay_may_go()) {
      begin();
      begun = true;
    }
  }
  if (!begun && !wait_for_room(b.room_eval, _relay_may_go, begin, [gone, arg] { return gone(arg); })) return false;
  before->meter = gc_attach_meter(&m->eval_bytes);
  before->share = for_peer ? gc_attach_share(&m->share) : nullptr;
  before->shared = for_peer;
  before->refusals = gc_thread_refusals();
  return true;
}

void link_eval_end(LINK_METER* m, const LINK_EVAL_SAVE& before) {
  gc_attach_meter(before.meter);
  if (before.shared) gc_attach_share(before.share);
  if (gc_thread_refusals() != before.refusals) gc_request_collection();
  if (!m) return;
  {
    std::lock_guard<LeafMutex> l(B().mu);
    --B().evaluations;
    if (--m->evaluating == 0) {
      _swept();
      B().unswept += m->eval_bytes.load(std::memory_order_relaxed) - m->eval_first;
    }
  }
  B().room_eval.notify_one();
  collect_after_burst();
}

bool link_reply_begin(LINK_METER* m, ZU_SEXP* value, int64_t* charge) {
  *charge = 0;
  if (!m) return true;
  int64_t quarter = link_budget_bytes() / kBudgetParts;
  int64_t bytes = value_footprint(value, quarter);
  std::lock_guard<LeafMutex> l(B().mu);
  if (m->held() + bytes > quarter) return false;
  _adjust(m, &LINK_METER::reply, bytes);
  *charge = bytes;
  return true;
}

void link_reply_end(LINK_METER* m, int64_t charge) { drop_share(m, &LINK_METER::reply, charge); }

bool link_budget_charge(int64_t bytes, int peer) {
  if (bytes <= 0) return true;
  Budget& b = B();
  // The peer's part is taken from its account first, and given back when
  // the process has no room: what one address holds is checked there, with
  // whatever else it holds.
  const int64_t limit = link_budget_bytes();
  if (!account_take(peer, PEER_HOLD::kInput, bytes, limit / kBudgetParts)) return false;
  // Room that live charges hold is not waited for: a request keeps its
  // charge until it ends, however slowly its peer sends.
  auto held = [bytes, limit] { return B().total + bytes > limit; };
  auto may_go = [bytes, held, limit] { return !held() && B().total + _lingering() + bytes <= limit; };
  auto take = [bytes] { B().total += bytes; };
  bool refused = false, taken = false;
  {
    std::lock_guard<LeafMutex> l(b.mu);
    refused = held();
    if (!refused && may_go()) {
      take();
      taken = true;
    }
  }
  if (!refused && !taken) taken = wait_for_room(b.room_read, may_go, take, [held] { return held_now(held); });
  if (!taken) account_give(peer, PEER_HOLD::kInput, bytes);
  return taken;
}

void link_budget_release(int64_t bytes, int peer) {
  if (bytes <= 0) return;
  {
    std::lock_guard<LeafMutex> l(B().mu);
    B().total -= bytes;
    _let_go(bytes);
  }
  account_give(peer, PEER_HOLD::kInput, bytes);
  released(bytes);
}
