#include "stream/stream.h"

#include <sched.h>
#include <signal.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tick.h"
#include "stream/stream_impl.h"

SEM stream_lock = nullptr;

namespace {

std::once_flag init_once;
std::atomic<bool> init_done{false};
std::mutex hook_mu;
std::vector<void (*)()> init_hooks;  // guarded by hook_mu

std::array<std::atomic<const S_TABLE*>, 128> tables{};

// Live streams, guarded by stream_lock.
std::unordered_set<STREAM*>& live_set() {
  static auto* set = new std::unordered_set<STREAM*>();
  return *set;
}

void nothing_handler(int) {}

// Interrupting blocked system calls relies on SIGUSR1 reaching a handler
// that does not restart them; the default action would end the process.
void ensure_sigusr1() {
  struct sigaction old {};
  if (sigaction(SIGUSR1, nullptr, &old) != 0) return;
  if (!(old.sa_flags & SA_SIGINFO) && old.sa_handler != SIG_DFL) return;
  if ((old.sa_flags & SA_SIGINFO) && old.sa_sigaction) return;
  struct sigaction sa {};
  sa.sa_handler = nothing_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGUSR1, &sa, nullptr);
}

// Set while this thread runs the start-up (which opens streams itself).
thread_local bool initialising = false;

void do_init() {
  initialising = true;
  init_longchar();
  stream_lock = new_lock(LOCK_STREAM);
  ensure_sigusr1();
  s_register_builtin_tables();
  s_open_std_streams();
  s_install_handover();
  if (const char* arg = s_inherited_arg()) s_recv_streams_from_arg(arg);
  init_done.store(true);
  initialising = false;
  std::vector<void (*)()> hooks;
  {
    std::lock_guard<std::mutex> g(hook_mu);
    hooks = init_hooks;
  }
  for (auto h : hooks) h();
}

void free_record(STREAM* s) {
  s->~STREAM();
  d_f_ree(s);
}


int close_now(STREAM* s, bool unlocked);

// Close task: streams handed over by s_close_queue.
std::mutex cq_mu;
// Never destroyed: a close task may still run while the process exits.
std::deque<STREAM*>& cq_items = *new std::deque<STREAM*>;  // guarded by cq_mu
int cq_running = 0;            // close tasks running, guarded by cq_mu
int cq_busy = 0;               // closes in progress, guarded by cq_mu

void close_task(TKEY) {
  for (;;) {
    STREAM* s;
    {
      std::lock_guard<std::mutex> g(cq_mu);
      if (cq_items.empty()) {
        --cq_running;
        break;
      }
      s = cq_items.front();
      cq_items.pop_front();
      ++cq_busy;
    }
    lock_stream();
    close_now(s, true);
    unlock_stream();
    std::lock_guard<std::mutex> g(cq_mu);
    --cq_busy;
  }
  wakeup_task(&cq_items);
}

}  // namespace

// Counting of line ends over bytes: CR, LF and CRLF count once each.
int s_count_line_ends(const unsigned char* p, int n, int* state) {
  int cnt = 0;
  int st = *state;
  for (int i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (c == '\n') {
      if (!st) ++cnt;
      st = 0;
    } else if (c == '\r') {
      ++cnt;
      st = 1;
    } else {
      st = 0;
    }
  }
  *state = st;
  return cnt;
}

// ---------------------------------------------------------------------------
// Start-up and registry

void init_stream() {
  if (init_done.load(std::memory_order_acquire) || initialising) return;
  std::call_once(init_once, do_init);
}

void s_add_init_hook(void (*hook)()) {
  if (!hook) return;
  {
    std::lock_guard<std::mutex> g(hook_mu);
    if (!init_done.load()) {
      init_hooks.push_back(hook);
      return;
    }
  }
  hook();
}

int insert_s_table(const S_TABLE* tbl) {
  if (!tbl || tbl->type <= 0 || tbl->type >= 128) return -1;
  const S_TABLE* expected = nullptr;
  if (tables[tbl->type].compare_exchange_strong(expected, tbl)) return 0;
  return expected == tbl ? 0 : -1;
}

const S_TABLE* search_s_table(int type) {
  init_stream();
  if (type <= 0 || type >= 128) return nullptr;
  return tables[type].load();
}

void lock_stream() {
  init_stream();
  lock_task(stream_lock);
}

void unlock_stream() { unlock_task(stream_lock, "unlock_stream"); }

// ---------------------------------------------------------------------------
// Opening

int _xx_s_open(STREAM* s, int mode, int stream_type, const char* file, int line) {
  assert_lock_held(stream_lock);
  if (!s || !s->h.tbl) return -1;
  S_HEADER& h = s->h;
  h.type = h.tbl->type;
  h.mode = mode;
  h.category = stream_type;
  h.file = file;
  h.line = line;
  if (!h.cm) h.cm = stream_cm;
  cm_work_init(&h.cmw, h.cm);
  h.push_c = -1;
  h.state.store(S_STATE_LIVE);
  live_set().insert(s);
  return 0;
}

int xx_s_register(STREAM* s, int mode, int stream_type, const char* file, int line) {
  lock_stream();
  int r = _xx_s_open(s, mode, stream_type, file, line);
  unlock_stream();
  return r;
}

void s_discard_record(STREAM* s) {
  if (s) free_record(s);
}

int s_exist(STREAM* s) {
  if (!s) return 0;
  lock_stream();
  int r = live_set().count(s) && s->h.state.load() == S_STATE_LIVE ? 1 : 0;
  unlock_stream();
  return r;
}

void s_hold(STREAM* s) {
  if (s) s->h.refs.fetch_add(1, std::memory_order_relaxed);
}

void s_drop(STREAM* s) {
  // The last reference of a closed record frees it: the opener's went with
  // the close, so reaching zero means nothing can name it any more.
  if (s && s->h.refs.fetch_sub(1, std::memory_order_acq_rel) == 1) free_record(s);
}

// ---------------------------------------------------------------------------
// Using a stream: an operation counts itself in `users` so that a close
// waits for it.

S_USE::S_USE(STREAM* s) : s(s) {
  if (!s || s->h.state.load(std::memory_order_acquire) != S_STATE_LIVE) {
    this->s = nullptr;
    return;
  }
  s->h.users.fetch_add(1, std::memory_order_acq_rel);
  if (s->h.state.load(std::memory_order_acquire) != S_STATE_LIVE) {
    release();
    this->s = nullptr;
  }
}

void S_USE::release() {
  // Nothing of the record is read after the count goes down: a close may
  // finish and free it then. A close that begins in between polls.
  bool closing = s->h.state.load() != S_STATE_LIVE;
  if (s->h.users.fetch_sub(1, std::memory_order_acq_rel) == 1 && closing) wakeup_task(s);
}

S_USE::~S_USE() {
  if (s) release();
}

int64_t s_now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// ---------------------------------------------------------------------------
// Reader and writer sides

S_SIDE::S_SIDE(std::mutex& m, int level) : m_(m) {
  lock_order_note(&m, level);
  lock_at_safe_point(m);
}

S_SIDE::~S_SIDE() {
  lock_order_drop(&m_);
  m_.unlock();
}

// ---------------------------------------------------------------------------
// Blocked system calls

S_BLOCKED::S_BLOCKED(STREAM* st, int dir) : s(st), slot(-1) {
  std::lock_guard<std::mutex> g(s->h.blk_mu);
  for (int i = 0; i < kMaxBlocked; ++i)
    if (s->h.blk_dir[i] == 0) {
      s->h.blk_dir[i] = dir;
      s->h.blk_thr[i] = pthread_self();
      slot = i;
      break;
    }
}

S_BLOCKED::~S_BLOCKED() {
  if (slot < 0) return;
  std::lock_guard<std::mutex> g(s->h.blk_mu);
  s->h.blk_dir[slot] = 0;
}

void s_kick_blocked(STREAM* s, int dir) {
  std::lock_guard<std::mutex> g(s->h.blk_mu);
  for (int i = 0; i < kMaxBlocked; ++i)
    if (s->h.blk_dir[i] & dir) pthread_kill(s->h.blk_thr[i], SIGUSR1);
}

// ---------------------------------------------------------------------------
// Closing

namespace {

// Keeps the first failure's reason (a failure without one is EIO).
void note_write_error(S_HEADER& h, int err) {
  int none = 0;
  h.werr.compare_exchange_strong(none, err > 0 ? err : EIO);
}

// Finishes a close whose state is already S_STATE_CLOSING; stream_lock held
// (let go while it waits for operations to leave, and with `unlocked` while
// the back-end closes: not for a caller that may hold locks ordered after
// it).
int close_now(STREAM* s, bool unlocked) {
  S_HEADER& h = s->h;
  live_set().erase(s);
  // Wake what is blocked in the stream and wait for every operation to
  // leave. Interrupts are repeated: one may arrive just before a thread
  // enters its system call.
  while (h.users.load() > 0 || h.rbusy.load() != 0) {
    if (h.tbl->interrupt) h.tbl->interrupt(s, h.abort_io.load());
    s_kick_blocked(s, h.abort_io.load() ? 3 : 1);
    wakeup_task(s);
    _i_sleep_task_timeout(s, stream_lock, 0.005, __FILE__, __LINE__);
    lock_task(stream_lock);
  }
  // Nothing reaches the record any more (it has left the list, its state
  // lets no operation begin, and every one has left): the last output and
  // the back-end's close can go without the lock, which every stream of the
  // process takes to open and close. A socket's close does the protocol's
  // work there, and a flush may wait for a slow peer.
  if (unlocked) unlock_task(stream_lock, "close_now");
  int r = 0;
  auto failed = [&h, &r] {
    note_write_error(h, errno);
    r = -1;
  };
  if (!h.abort_io.load() && h.mode != S_MODE_READ) {
    // The encoder's closing shift sequence, then the pending output.
    if (h.cm && h.cm->flush_external && h.tbl->write) {
      unsigned char tail[CM_MAX_BYTES];
      int n = h.cm->flush_external(&h.cmw, tail);
      if (n > 0 && h.tbl->write(s, tail, n) < 0) failed();
    }
    if (h.tbl->flush && h.tbl->flush(s) < 0) failed();
  }
  if (h.tbl->close && h.tbl->close(s) < 0) failed();
  if (unlocked) lock_task(stream_lock);
  h.state.store(S_STATE_CLOSED);
  s_std_closed(s);
  wakeup_task(s);
  s_drop(s);  // the opener's reference
  return r;
}

int close_live(STREAM* s, bool unlocked) {
  if (!s || !live_set().count(s)) return -1;
  S_HEADER& h = s->h;
  if (h.std_flag || h.state.load() != S_STATE_LIVE) return -1;
  h.state.store(S_STATE_CLOSING);
  return close_now(s, unlocked);
}

}  // namespace

int __d_s_close(STREAM* s, const char* file, int line) {
  assert_lock_held(stream_lock);
  (void)file;
  (void)line;
  return close_live(s, false);
}

int _d_s_close(STREAM* s, const char* file, int line) {
  (void)file;
  (void)line;
  lock_stream();
  int r = close_live(s, true);
  unlock_stream();
  return r;
}

int e_close(STREAM* s, int* err) {
  // The opener's reference goes with the close: this one keeps the record
  // readable until its reason is taken.
  lock_stream();
  bool live = s && live_set().count(s) && !s->h.std_flag && s->h.state.load() == S_STATE_LIVE;
  if (live) s_hold(s);
  unlock_stream();
  if (!live) {
    if (err) *err = EBADF;
    return -1;
  }
  d_s_close(s);
  int e = s->h.werr.load();
  s_drop(s);
  if (e && err) *err = e;
  return e ? -1 : 0;
}

int s_close_queue(STREAM* s) {
  lock_stream();
  if (!s || !live_set().count(s) || s->h.std_flag || s->h.state.load() != S_STATE_LIVE) {
    unlock_stream();
    return -1;
  }
  // Readers see the end of input from now on; the close itself (which may
  // wait for a writer) runs in the close task.
  s->h.state.store(S_STATE_CLOSING);
  if (s->h.tbl->interrupt) s->h.tbl->interrupt(s, s->h.abort_io.load());
  s_kick_blocked(s, s->h.abort_io.load() ? 3 : 1);
  wakeup_task(s);
  unlock_stream();
  {
    std::lock_guard<std::mutex> g(cq_mu);
    cq_items.push_back(s);
    if (cq_running > 0) return 0;
    ++cq_running;
  }
  if (create_task(close_task, nullptr, 1) < 0) {
    // No thread: close here.
    {
      std::lock_guard<std::mutex> g(cq_mu);
      --cq_running;
    }
    close_task(nullptr);
  }
  return 0;
}

void s_close_queue_drain() {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(cq_mu);
      if (cq_items.empty() && cq_busy == 0 && cq_running == 0) return;
    }
    _i_sleep_task_timeout(&cq_items, nullptr, 0.01, __FILE__, __LINE__);
  }
}

// ---------------------------------------------------------------------------
// Reading and writing

namespace {

// Takes rbusy. The other holders are either the fast path, which never
// blocks, or a thread that also holds rmu (which the caller holds), so the
// wait is short.
void claim_rbusy(S_HEADER& h) {
  for (int spins = 0;; ++spins) {
    int free_flag = 0;
    if (h.rbusy.compare_exchange_weak(free_flag, 1)) return;
    if (spins > 64) sched_yield();
  }
}

// The reader side of a stream: rmu (waited for at a safe point) and rbusy.
class ReaderSide {
 public:
  explicit ReaderSide(S_HEADER& h) : h_(h), side_(h.rmu, s_reader_level(h)) { claim_rbusy(h); }
  ~ReaderSide() { h_.rbusy.store(0, std::memory_order_release); }
  ReaderSide(const ReaderSide&) = delete;
  ReaderSide& operator=(const ReaderSide&) = delete;

 private:
  S_HEADER& h_;
  S_SIDE side_;
};

// Counts n bytes just read; `clock` also stamps the throughput clock.
void note_read(S_HEADER& h, const unsigned char* p, int n, bool clock = true) {
  if (n <= 0) return;
  // One writer (the reader side); relaxed atomics let anyone read them.
  int64_t bytes = h.tp_bytes.load(std::memory_order_relaxed);
  if (clock || bytes == 0) {
    int64_t now = s_now_us();
    if (bytes == 0) h.tp_first_us.store(now, std::memory_order_relaxed);
    h.tp_last_us.store(now, std::memory_order_relaxed);
  }
  h.tp_bytes.store(bytes + n, std::memory_order_relaxed);
  if (!h.cr_flag) return;
  // Only the last byte can be pushed back: remember how it counted.
  int head = n > 1 ? s_count_line_ends(p, n - 1, &h.cr_rstate) : 0;
  h.cr_last_prev = h.cr_rstate;
  int last = s_count_line_ends(p + n - 1, 1, &h.cr_rstate);
  h.cr_last_delta = last;
  h.cr_in += head + last;
  if (h.mode == S_MODE_READ) h.cr_cnt += head + last;
}

// s_read with the reader side held.
int read_locked(STREAM* s, unsigned char* out, int len) {
  S_HEADER& h = s->h;
  if (h.push_c >= 0) {
    // The pushed byte alone is a complete answer; do not block for more.
    out[0] = static_cast<unsigned char>(h.push_c);
    h.push_c = -1;
    note_read(h, out, 1);
    return 1;
  }
  int r = h.tbl->read(s, out, len);
  if (r < 0) return h.state.load() == S_STATE_LIVE ? -1 : 0;
  note_read(h, out, r);
  return r;
}

// Takes the first of the decoded codes waiting.
L_CHAR take_pending(S_HEADER& h) {
  L_CHAR c = h.dec_pending[0];
  for (int i = 1; i < h.dec_npending; ++i) h.dec_pending[i - 1] = h.dec_pending[i];
  --h.dec_npending;
  return c;
}

bool ascii_compatible(const CODE_METHOD* cm) {
  return cm == utf8_cm || cm == ascii_cm || cm == eucjp_cm;
}

// Decodes one character from the back-end's read-ahead window, the reader
// side held. 1 with *code, 0 when the slow path must go on (nothing
// buffered, a pushed byte, a character cut at the window's end).
int decode_window(S_HEADER& h, L_CHAR* code) {
  if (h.dec_npending > 0) {
    *code = take_pending(h);
    return 1;
  }
  if (!h.rwin_direct || h.push_c >= 0 || h.rwin == h.rwin_end) return 0;
  CODE_METHOD* cm = h.cm ? h.cm : stream_cm;
  if (h.cmw.cm != cm) return 0;
  const unsigned char* p = h.rwin;
  if (*p < 0x80 && h.cmw.dst == 0 && ascii_compatible(cm)) {
    h.rwin = p + 1;
    // The clock is read once per buffer: when its last byte is taken.
    note_read(h, p, 1, h.rwin == h.rwin_end);
    *code = *p;
    return 1;
  }
  const unsigned char* e = h.rwin_end;
  int n = 0;
  while (p < e && n <= 0) n = cm->to_internal(&h.cmw, *p++, h.dec_pending);
  note_read(h, h.rwin, static_cast<int>(p - h.rwin), p == e);
  h.rwin = p;
  if (n <= 0) return 0;
  h.dec_npending = n;
  *code = take_pending(h);
  return 1;
}

}  // namespace

int s_read(STREAM* s, void* data, int len) {
  S_USE use(s);
  if (!use.s || len < 0 || (!data && len > 0)) return -1;
  if (len == 0) return 0;
  S_HEADER& h = s->h;
  if (!h.tbl->read) return -1;
  ReaderSide side(h);
  return read_locked(s, static_cast<unsigned char*>(data), len);
}

int s_read_until(STREAM* s, void* data, int len, int delim) {
  S_USE use(s);
  if (!use.s || len < 0 || (!data && len > 0)) return -1;
  if (len == 0) return 0;
  S_HEADER& h = s->h;
  if (!h.tbl->read) return -1;
  ReaderSide side(h);
  auto* out = static_cast<unsigned char*>(data);
  if (h.push_c >= 0 || h.rwin >= h.rwin_end) return read_locked(s, out, 1);
  size_t n = std::min<size_t>(static_cast<size_t>(len), static_cast<size_t>(h.rwin_end - h.rwin));
  if (const void* hit = std::memchr(h.rwin, delim, n)) n = static_cast<size_t>(static_cast<const unsigned char*>(hit) - h.rwin) + 1;
  std::memcpy(out, h.rwin, n);
  h.rwin += n;
  note_read(h, out, static_cast<int>(n));
  return static_cast<int>(n);
}

int s_push(STREAM* s, int c) {
  S_USE use(s);
  if (!use.s || c < 0 || c > 255) return -1;
  S_HEADER& h = s->h;
  ReaderSide side(h);
  if (h.push_c >= 0) return -1;
  h.push_c = c;
  if (h.cr_flag) {
    h.cr_in -= h.cr_last_delta;
    if (h.mode == S_MODE_READ) h.cr_cnt -= h.cr_last_delta;
    h.cr_rstate = h.cr_last_prev;
    h.cr_last_delta = 0;
  }
  if (int64_t b = h.tp_bytes.load(std::memory_order_relaxed); b > 0)
    h.tp_bytes.store(b - 1, std::memory_order_relaxed);
  return 0;
}

int e_write(STREAM* s, int* err, const void* data, int len) {
  int e = 0;
  S_USE use(s);
  S_HEADER* h = use.s ? &s->h : nullptr;
  if (!h || len < 0 || (!data && len > 0) || !h->tbl->write || h->mode == S_MODE_READ) {
    e = EBADF;
  } else if (len > 0) {
    S_SIDE writer(h->wmu, s_writer_level(*h));
    e = h->werr.load();
    if (e == 0) {
      errno = 0;
      int r = h->tbl->write(s, data, len);
      if (r >= 0) {
        if (h->cr_flag) h->cr_cnt += s_count_line_ends(static_cast<const unsigned char*>(data), r, &h->cr_wstate);
        return r;
      }
      e = errno ? errno : EIO;
      note_write_error(*h, e);
    }
  } else {
    return 0;
  }
  if (err) *err = e;
  return -1;
}

int s_write(STREAM* s, const void* data, int len) { return e_write(s, nullptr, data, len); }

int e_flush(STREAM* s, int* err) {
  S_USE use(s);
  if (!use.s) {
    if (err) *err = EBADF;
    return -1;
  }
  S_HEADER& h = s->h;
  if (h.tbl->flush) {
    S_SIDE writer(h.wmu, s_writer_level(h));
    errno = 0;
    if (h.werr.load() == 0 && h.tbl->flush(s) < 0) note_write_error(h, errno);
  }
  int e = h.werr.load();
  if (e && err) *err = e;
  return e ? -1 : 0;
}

int s_flush(STREAM* s) { return e_flush(s, nullptr); }

int s_write_error(STREAM* s) { return s ? s->h.werr.load() : 0; }

int s_read_lchar(STREAM* s, L_CHAR* code) {
  if (!s || !code) return -1;
  S_HEADER& h = s->h;
  // Fast path: a character already buffered is decoded under rbusy alone.
  // Taking rbusy before looking at the state again pairs with a close,
  // which moves the state first and then waits for rbusy to be free.
  int free_flag = 0;
  if (h.state.load(std::memory_order_acquire) == S_STATE_LIVE &&
      h.rbusy.compare_exchange_strong(free_flag, 1)) {
    int r = h.state.load() == S_STATE_LIVE ? decode_window(h, code) : 0;
    h.rbusy.store(0, std::memory_order_release);
    if (r) return 1;
  }
  S_USE use(s);
  if (!use.s || !h.tbl->read) return -1;
  ReaderSide side(h);
  for (;;) {
    if (decode_window(h, code)) return 1;
    unsigned char c;
    int r = read_locked(s, &c, 1);
    CODE_METHOD* cm = h.cm ? h.cm : stream_cm;
    if (h.cmw.cm != cm) cm_work_init(&h.cmw, cm);
    if (r < 0) return -1;
    if (r == 0) {
      h.dec_npending = cm->end_internal(&h.cmw, h.dec_pending);
      if (h.dec_npending == 0) return 0;
      continue;
    }
    h.dec_npending = cm->to_internal(&h.cmw, c, h.dec_pending);
  }
}

int s_set_cr(STREAM* s, int flag) {
  S_USE use(s);
  if (!use.s) return -1;
  S_HEADER& h = s->h;
  S_SIDE reader(h.rmu, s_reader_level(h));
  S_SIDE writer(h.wmu, s_writer_level(h));
  claim_rbusy(h);
  h.cr_flag = flag ? 1 : 0;
  h.cr_cnt = flag ? 1 : 0;
  h.cr_in = flag ? 1 : 0;
  h.cr_wstate = h.cr_rstate = 0;
  h.cr_last_delta = 0;
  h.rbusy.store(0, std::memory_order_release);
  return 0;
}

int s_get_cr(STREAM* s) {
  S_USE use(s);
  return use.s ? s->h.cr_cnt : -1;
}

CODE_METHOD* s_get_cm(STREAM* s) {
  S_USE use(s);
  return use.s ? s->h.cm : nullptr;
}

int s_set_cm(STREAM* s, CODE_METHOD* cm) {
  S_USE use(s);
  if (!use.s || !cm) return -1;
  S_HEADER& h = s->h;
  S_SIDE writer(h.wmu, s_writer_level(h));
  int r = 0;
  if (h.cm && h.cm != cm && h.cm->flush_external && h.tbl->write && h.mode != S_MODE_READ) {
    unsigned char tail[CM_MAX_BYTES];
    int n = h.cm->flush_external(&h.cmw, tail);
    if (n > 0 && h.tbl->write(s, tail, n) < 0) r = -1;
  }
  // The decoder belongs to the reader side. A reader blocked for input
  // holds it; the switch then goes ahead as it always has rather than
  // wait for that input. A try never waits, so taking the reader side
  // after the writer side here is no break of the order.
  bool reader = h.rmu.try_lock();
  if (reader) claim_rbusy(h);
  h.cm = cm;
  cm_work_init(&h.cmw, cm);
  h.dec_npending = 0;
  if (reader) {
    h.rbusy.store(0, std::memory_order_release);
    h.rmu.unlock();
  }
  return r;
}

int s_set_write_abort(STREAM* s, int type, int sec) {
  S_USE use(s);
  if (!use.s || type < 0 || sec < 0) return -1;
  s->h.wa_type = type;
  s->h.wa_sec = type ? (sec > 0 ? sec : 1) : 0;
  return 0;
}

int s_set_read_guard(STREAM* s, int sec) {
  S_USE use(s);
  if (!use.s || sec < 0) return -1;
  s->h.ra_sec = sec;
  return 0;
}

double s_get_thput(STREAM* s) {
  S_USE use(s);
  if (!use.s) return -1;
  S_HEADER& h = s->h;
  int64_t bytes = h.tp_bytes.load(std::memory_order_relaxed);
  int64_t span = h.tp_last_us.load(std::memory_order_relaxed) - h.tp_first_us.load(std::memory_order_relaxed);
  if (bytes <= 0 || span <= 0) return -1;
  return static_cast<double>(bytes) * 1e6 / static_cast<double>(span);
}

int s_get_socketip(STREAM* s) {
  S_USE use(s);
  if (!use.s) return 0;
  if (!s->h.tbl->get_socketip) return -1;
  return s->h.tbl->get_socketip(s);
}

// ---------------------------------------------------------------------------
// Write watchdog support for back-ends

int s_write_abort_ms(STREAM* s) {
  if (!s->h.wa_type || s->h.wa_sec <= 0) return -1;
  return s->h.wa_sec * get_tick_unit_ms();
}

int s_read_guard_ms(STREAM* s) { return s->h.ra_sec > 0 ? s->h.ra_sec * get_tick_unit_ms() : -1; }

void s_write_aborted(STREAM* s) {
  s->h.abort_io.store(1);
  s_close_queue(s);
}
