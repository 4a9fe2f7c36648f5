// Server sessions: the table by cookie, the queue of requests, and the two
// tasks of every session. The receive task feeds request bodies into the
// pipe in sequence order; the send task answers the requests, in order,
// with what the interpreter has flushed into the pipe. Each runs only while
// it has work (a body to read, a request to answer, the session's end to
// see to), so that an idle session holds no thread of its own; a side
// finishes for good once nothing more can come its way, and whichever side
// finishes second destroys the session.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "netsvc/trace_impl.h"
#include "netsvc/zuohttp_impl.h"
#include "runtime/first_line.h"
#include "runtime/interp.h"
#include "stream/sbuf.h"
#include "zu/peer_account.h"

SEM zoh_lock = nullptr;
ZoH_ENTRY* ZoH_hash[kZoHChains] = {};

namespace {

unsigned chain_of(const uint32_t cockie[2]) { return (cockie[0] * 3u + cockie[1]) % kZoHChains; }

// The request whose body is read next, if it has arrived.
ZoH_LIST* find_seq(ZoH_ENTRY* e, int16_t seq) {
  for (ZoH_LIST* i = e->list; i; i = i->next) {
    if (i->h.seq == seq) return i;
  }
  return nullptr;
}

// The head request when it is the next to answer and its body is read.
ZoH_LIST* ready_head(ZoH_ENTRY* e) {
  ZoH_LIST* h = e->list;
  return h && h->h.seq == e->send_seq && zoh_seq_before(h->h.seq, e->recv_seq) ? h : nullptr;
}

ZoH_LIST* take_head(ZoH_ENTRY* e) {
  ZoH_LIST* h = e->list;
  e->list = h->next;
  h->next = nullptr;
  --e->pending;
  ++e->send_seq;
  return h;
}

// Takes a session whose tasks have both ended out of the table (lock held);
// free_ZoH_entry finishes it once the lock is released.
void _destroy_ZoH_entry(ZoH_ENTRY* e) {
  assert_lock_held(zoh_lock);
  for (ZoH_ENTRY** p = &ZoH_hash[chain_of(e->cockie)]; *p; p = &(*p)->next) {
    if (*p == e) {
      *p = e->next;
      return;
    }
  }
}

// Every request still queued is refused, the pipe closed and the entry
// freed.
void free_ZoH_entry(ZoH_ENTRY* e) {
  while (ZoH_LIST* item = e->list) {
    e->list = item->next;
    if (net_trace_on()) ss_printf("ZoH FREE CONNECTION\n");
    zoh_reply(item->con, ZOH_REFUSED, item->h.seq, e->cockie, 0, false);
    zoh_end_connection(item);
    zoh_free_request(item, true);
  }
  if (e->pipe) d_s_close(e->pipe);
  zoh_uncount_session(e->ip, &e->counted);
  d_f_ree(e);
}

void recv_task(TKEY key);
void send_task(TKEY key);

// Starts a task of the session, marked running by `flag`; without a thread
// the session check tries again (lock held).
void _start(ZoH_ENTRY* e, int flag, TASK_FUNC task) {
  assert_lock_held(zoh_lock);
  e->flags |= flag;
  if (create_task(task, e, 3) < 0) e->flags &= ~flag;
}

}  // namespace

void _zoh_start_due(ZoH_ENTRY* e) {
  assert_lock_held(zoh_lock);
  if (e->flags & ZOH_E_STARTING) return;
  constexpr int kNoRecv = ZOH_E_RECV_RUNNING | ZOH_E_RECV_DONE | ZOH_E_SEND_DONE | ZOH_E_CLOSING;
  if (!(e->flags & kNoRecv) && find_seq(e, e->recv_seq)) _start(e, ZOH_E_RECV_RUNNING, recv_task);
  bool send_work = ready_head(e) || (e->flags & (ZOH_E_CLOSING | ZOH_E_RECV_DONE));
  if (!(e->flags & (ZOH_E_SEND_RUNNING | ZOH_E_SEND_DONE)) && send_work) _start(e, ZOH_E_SEND_RUNNING, send_task);
}

namespace {

// A task leaves (its running flag), finished for good with `done` or idle
// (0); the entry is destroyed once both sides have finished. A receive side
// that is not running has nothing to finish once no one answers. Takes and
// releases the lock.
void task_ends(ZoH_ENTRY* e, int running, int done, STREAM* close_pipe) {
  lock_task(zoh_lock);
  e->flags = (e->flags & ~running) | done;
  if ((e->flags & ZOH_E_SEND_DONE) && !(e->flags & ZOH_E_RECV_RUNNING)) e->flags |= ZOH_E_RECV_DONE;
  bool last = (e->flags & ZOH_E_SEND_DONE) && (e->flags & ZOH_E_RECV_DONE);
  if (last) _destroy_ZoH_entry(e);
  else _zoh_start_due(e);
  unlock_task(zoh_lock, "zoh task");
  if (close_pipe) d_s_close(close_pipe);
  if (last) free_ZoH_entry(e);
}

// Takes the pipe away from the entry so that the caller closes it once the
// lock is released (lock held).
STREAM* _take_pipe(ZoH_ENTRY* e) {
  assert_lock_held(zoh_lock);
  STREAM* p = e->pipe;
  e->pipe = nullptr;
  return p;
}

// ---- receive task

constexpr int kBodyDone = 0;
constexpr int kPipeFailed = -2;
constexpr int kBodyTooLarge = -3;

// Copies a request body (len bytes, -1 up to the end of the connection)
// into the pipe under the body guard.
int copy_body(STREAM* con, STREAM* pipe, long long len) {
  if (len == 0) return kBodyDone;
  new_tick(timeout_stream, -zoh_times().body_guard, con);
  long long copied = 0;
  int r = s_copy_to_stream(&copied, con, pipe, len < 0 ? kZoHMaxBody + 1 : len);
  del_tick_with_data(timeout_stream, con);
  if (r == -2) return kPipeFailed;
  if (len < 0 && r == 0) return kBodyTooLarge;
  // A body that ends early is not an error.
  return copied > 0 && s_flush(pipe) < 0 ? kPipeFailed : kBodyDone;
}

void recv_task(TKEY key) {
  auto* e = static_cast<ZoH_ENTRY*>(key);
  STREAM* close_pipe = nullptr;
  int done = 0;
  lock_task(zoh_lock);
  for (;;) {
    // Nothing more is read once no one answers (the send task has ended).
    if (e->flags & (ZOH_E_CLOSING | ZOH_E_SEND_DONE)) done = ZOH_E_RECV_DONE;
    ZoH_LIST* item = done ? nullptr : find_seq(e, e->recv_seq);
    if (!item) break;  // done, or idle until the next request
    e->recv_target = item->con;
    STREAM* con = item->con;
    STREAM* pipe = e->pipe;
    uint8_t type = item->h.type;
    long long len = item->info.content_length < 0 ? -1 : item->info.content_length - kZoHHeaderSize;
    s_hold(pipe);
    unlock_task(zoh_lock, "recv_task");
    int r = pipe ? copy_body(con, pipe, len) : kPipeFailed;
    if (r == kBodyTooLarge) zoh_cut_connection(con);
    // A close ends the interpreter's input after what came before it; the
    // pipe stays open for its answers to those, which go out before the
    // close is answered.
    if (r != kPipeFailed && type == ZOH_CLOSE && s_end_fpipe_output(pipe) < 0) r = kPipeFailed;
    s_drop(pipe);
    lock_task(zoh_lock);
    e->recv_target = nullptr;
    // Read, even when cut short: the send task answers it (with type 3
    // when the interpreter has gone).
    ++e->recv_seq;
    _zoh_start_due(e);
    if (r == kPipeFailed) close_pipe = _take_pipe(e);
    if (r == kPipeFailed || type == ZOH_CLOSE) {
      done = ZOH_E_RECV_DONE;
      break;
    }
    if (e->flags & ZOH_E_KEEP_ALIVE) {
      // The stock owns the connection now; the request keeps the record
      // alive until its reply is written.
      item->in_stock = 1;
      s_hold(con);
      _insert_ss(con, e->ip, e->zui_id, e->pl);
    }
  }
  unlock_task(zoh_lock, "recv_task");
  task_ends(e, ZOH_E_RECV_RUNNING, done, close_pipe);
}

// ---- send task

// Moves n bytes from the pipe to the connection; bytes that cannot be
// written are still taken from the pipe, so they never answer a later
// request. False when fewer than n went out: the reply is short of its
// length, and the connection cannot carry another.
bool copy_output(STREAM* pipe, STREAM* con, int n) {
  unsigned char buf[16384];
  bool writing = true;
  while (n > 0) {
    int r = s_read(pipe, buf, std::min<int>(n, sizeof buf));
    if (r <= 0) break;
    if (writing && s_write(con, buf, r) != r) writing = false;
    n -= r;
  }
  return writing && s_flush(con) == 0 && n == 0;
}

// The bytes that answer the request due: what the pipe holds; once the
// interpreter's side has ended, what it left, and then -1 (the session's
// end).
int output_for(STREAM* pipe, int flushed) {
  int held = pipe ? s_get_fpipe_data_size(pipe) : -1;
  if (flushed < 0 && held <= 0) return -1;
  return std::max(held, 0);
}

// The output that answers the head request, once the interpreter has
// flushed it: the bytes (0 for a flush whose bytes went out with an earlier
// reply), -1 when its side has ended, or -2 when the request was answered
// empty meanwhile (lock held at entry and return; *item the request).
int _output_due(ZoH_ENTRY* e, STREAM* pipe, ZoH_LIST** item) {
  assert_lock_held(zoh_lock);
  // A flush mark taken while no request was due still stands for its bytes.
  bool marked = e->flags & ZOH_E_OUTPUT;
  e->flags &= ~ZOH_E_OUTPUT;
  int flushed = 0;
  if (!marked) {
    unlock_task(zoh_lock, "send_task");
    flushed = pipe ? s_wait_flush_fpipe(pipe) : -1;
    lock_task(zoh_lock);
  }
  *item = ready_head(e);
  if (!*item && flushed >= 0) e->flags |= ZOH_E_OUTPUT;
  if (!*item || flushed == -2) return -2;
  return output_for(pipe, flushed);
}

void send_task(TKEY key) {
  auto* e = static_cast<ZoH_ENTRY*>(key);
  int done = 0;
  lock_task(zoh_lock);
  for (;;) {
    if (!ready_head(e)) {
      // Idle until a request is due, unless none will come.
      if (e->flags & (ZOH_E_CLOSING | ZOH_E_RECV_DONE)) done = ZOH_E_SEND_DONE;
      break;
    }
    STREAM* pipe = e->pipe;
    s_hold(pipe);
    ZoH_LIST* item;
    int n = _output_due(e, pipe, &item);
    if (n == 0 || n == -2) {
      s_drop(pipe);
      continue;
    }
    take_head(e);
    uint32_t cockie[2] = {e->cockie[0], e->cockie[1]};
    unlock_task(zoh_lock, "send_task");
    bool ends = n < 0 || item->h.type == ZOH_CLOSE;
    bool whole = true;
    if (n < 0) {
      zoh_reply(item->con, ZOH_CLOSE, item->h.seq, cockie, 0, false);
    } else {
      uint8_t type = item->h.type == ZOH_CLOSE ? ZOH_CLOSE : ZOH_DATA;
      zoh_reply(item->con, type, item->h.seq, cockie, n, item->in_stock && !ends);
      whole = copy_output(pipe, item->con, n);
    }
    s_drop(pipe);
    if (ends || !item->in_stock || !whole) zoh_end_connection(item);
    zoh_free_request(item, true);
    lock_task(zoh_lock);
    if (ends) {
      done = ZOH_E_SEND_DONE;
      break;
    }
  }
  unlock_task(zoh_lock, "send_task");
  task_ends(e, ZOH_E_SEND_RUNNING, done, nullptr);
}

}  // namespace

namespace {

// The sessions of both versions that are not ending (lock held).
std::vector<ZOH_HELD> _held_sessions(uint32_t now) {
  assert_lock_held(zoh_lock);
  std::vector<ZOH_HELD> held;
  for (ZoH_ENTRY* chain : ZoH_hash) {
    for (ZoH_ENTRY* e = chain; e; e = e->next) {
      if (e->flags & ZOH_E_CLOSING) continue;
      bool idle = !(e->flags & ZOH_E_STARTING) && !e->list && !e->recv_target;
      held.push_back(ZOH_HELD{e->ip, idle, (e->flags & ZOH_E_USED) != 0, e->last_polling, e, nullptr});
    }
  }
  _zoh_v2_held(now, &held);
  return held;
}

}  // namespace

bool _zoh_room_for(int ip, std::vector<STREAM*>* conns, std::vector<STREAM*>* pipes) {
  assert_lock_held(zoh_lock);
  ZOH_LIMITS limits = zoh_limits();
  if (account_held(ip, PEER_HOLD::kSessions) >= limits.peer_sessions) return false;
  if (account_total(PEER_HOLD::kSessions) < limits.sessions) return true;
  // Sessions left idle by a few addresses would otherwise keep everyone
  // else out until they time out.
  int top = account_gives_way(PEER_HOLD::kSessions, ip, limits.peer_sessions);
  if (!top) return false;
  // Any address holding as many as the one named gives way: one whose
  // sessions are all busy leaves it to another tied with it.
  const int64_t most = account_held(top, PEER_HOLD::kSessions);
  auto before = [](const ZOH_HELD& a, const ZOH_HELD& b) {
    return a.used != b.used ? !a.used : static_cast<int32_t>(a.since - b.since) < 0;
  };
  std::vector<ZOH_HELD> held = _held_sessions(get_zutime());
  // What each address holds is asked of the ledger once, not once a session.
  std::unordered_map<int, bool> holds_most{{top, true}};
  auto gives_way = [&holds_most, most](int at) {
    auto [it, fresh] = holds_most.try_emplace(at, false);
    if (fresh) it->second = account_held(at, PEER_HOLD::kSessions) == most;
    return it->second;
  };
  const ZOH_HELD* victim = nullptr;
  for (const ZOH_HELD& h : held) {
    if (h.idle && (!victim || before(h, *victim)) && gives_way(h.ip)) victim = &h;
  }
  if (!victim) return false;
  if (victim->v1) pipes->push_back(_zoh_close_entry(victim->v1));
  else _zoh_v2_end(victim->v2, conns, pipes);
  return true;
}

void _zoh_count_session(int ip, bool* counted) {
  assert_lock_held(zoh_lock);
  account_take(ip, PEER_HOLD::kSessions, 1, kNoCap);
  *counted = true;
}

void zoh_uncount_session(int ip, bool* counted) {
  if (!*counted) return;
  *counted = false;
  account_give(ip, PEER_HOLD::kSessions, 1);
}

ZoH_ENTRY* _zoh_search(const uint32_t cockie[2]) {
  assert_lock_held(zoh_lock);
  for (ZoH_ENTRY* e = ZoH_hash[chain_of(cockie)]; e; e = e->next) {
    if (e->cockie[0] == cockie[0] && e->cockie[1] == cockie[1]) return e;
  }
  return nullptr;
}

ZoH_ENTRY* zoh_new_entry(uint32_t cockie[2], int ip, ZU_INTERPRETER* zui, PERMISSION_LIST* pl, bool keep) {
  auto* e = static_cast<ZoH_ENTRY*>(d_calloc(sizeof(ZoH_ENTRY), 1));
  e->recv_seq = e->send_seq = 1;
  e->ip = ip;
  e->zui_id = zui ? static_cast<int>(zui->id) : 0;
  e->pl = pl;
  // The tasks wait until both are known to run.
  e->flags = ZOH_E_STARTING | (keep ? ZOH_E_KEEP_ALIVE : 0);
  e->last_polling = get_zutime();
  std::vector<STREAM*> gone_conns, gone_pipes;
  lock_task(zoh_lock);
  bool room = _zoh_room_for(ip, &gone_conns, &gone_pipes);
  if (room) {
    _new_cockie(e->cockie);
    _zoh_count_session(ip, &e->counted);
    ZoH_ENTRY** chain = &ZoH_hash[chain_of(e->cockie)];
    e->next = *chain;
    *chain = e;
  }
  unlock_task(zoh_lock, "new_accept");
  zoh_v2_close_streams(gone_conns, gone_pipes);
  if (!room) {
    d_f_ree(e);
    return nullptr;
  }
  cockie[0] = e->cockie[0];
  cockie[1] = e->cockie[1];
  return e;
}

int zoh_start_entry(ZoH_ENTRY* e, STREAM* pipe) {
  lock_task(zoh_lock);
  e->pipe = pipe;
  e->flags &= ~ZOH_E_STARTING;
  if (!pipe) _destroy_ZoH_entry(e);
  unlock_task(zoh_lock, "new_accept");
  if (pipe) return 0;
  free_ZoH_entry(e);
  return -1;
}

namespace {

// The request of ip's that waits furthest ahead of its session's next body,
// taken out of its queue and no longer counted, for the caller to refuse
// once the lock is released; null when ip has none queued ahead. One ahead
// of the body due is touched by no task yet (lock held).
ZoH_LIST* _take_furthest(int ip) {
  assert_lock_held(zoh_lock);
  ZoH_ENTRY* from = nullptr;
  ZoH_LIST** at = nullptr;
  int furthest = 0;
  for (ZoH_ENTRY* chain : ZoH_hash) {
    for (ZoH_ENTRY* e = chain; e; e = e->next) {
      if (e->ip != ip || !e->list) continue;
      ZoH_LIST** last = &e->list;
      while ((*last)->next) last = &(*last)->next;
      const int ahead = static_cast<uint16_t>((*last)->h.seq - e->recv_seq);
      if (zoh_seq_before(e->recv_seq, (*last)->h.seq) && ahead > furthest) from = e, at = last, furthest = ahead;
    }
  }
  if (!from) return nullptr;
  ZoH_LIST* item = *at;
  *at = nullptr;
  --from->pending;
  account_give(item->queued_ip, PEER_HOLD::kQueued, 1);
  item->queued = false;
  return item;
}

}  // namespace

int _insert_list(ZoH_ENTRY* e, ZoH_LIST* item, ZoH_LIST** gave_way) {
  assert_lock_held(zoh_lock);
  // A number before the next body due was read already (and is queued or
  // answered): taking it would put a request at the head that the send
  // task never reaches.
  if (zoh_seq_before(item->h.seq, e->recv_seq)) return -1;
  const auto window_end = static_cast<int16_t>(static_cast<uint16_t>(e->recv_seq) + kZoHSeqWindow);
  if (!zoh_seq_before(item->h.seq, window_end)) return -1;
  if (e->pending >= kZoHMaxPending) return -2;
  ZoH_LIST** at = &e->list;
  for (; *at; at = &(*at)->next) {
    if ((*at)->h.seq == item->h.seq) return -1;
    if (zoh_seq_before(item->h.seq, (*at)->h.seq)) break;
  }
  const int share = zoh_queued_share();
  auto give_way = [gave_way](int top) {
    ZoH_LIST* g = _take_furthest(top);
    if (g) g->next = *gave_way, *gave_way = g;
    return g != nullptr;
  };
  if (!account_take_or_give_way(e->ip, PEER_HOLD::kQueued, 1, {share, zoh_queued_all(), share}, give_way)) return -2;
  item->queued_ip = e->ip;
  item->queued = true;
  item->next = *at;
  *at = item;
  ++e->pending;
  e->flags |= ZOH_E_USED;
  e->last_polling = get_zutime();
  _zoh_start_due(e);
  return 0;
}

int zoh_queued_share() { return first_line_slots() / static_cast<int>(kAddressShareParts); }

int zoh_queued_all() { return first_line_slots() / 2; }

void zoh_free_request(ZoH_LIST* item, bool keep_con) {
  if (item->queued) account_give(item->queued_ip, PEER_HOLD::kQueued, 1);
  if (item->in_stock) s_drop(item->con);
  else if (!keep_con) d_s_close(item->con);
  free_HTTP_info(&item->info);
  d_f_ree(item);
}

void zoh_end_connection(ZoH_LIST* item) {
  if (item->in_stock) zoh_cut_connection(item->con);
  else d_s_close(item->con);
}

STREAM* _zoh_close_entry(ZoH_ENTRY* e) {
  assert_lock_held(zoh_lock);
  e->flags |= ZOH_E_CLOSING;
  // An ending session no longer counts against its address.
  zoh_uncount_session(e->ip, &e->counted);
  if (e->recv_target) timeout_stream(e->recv_target);
  _zoh_start_due(e);
  return _take_pipe(e);
}

int _empty_reply(ZoH_ENTRY* e, uint32_t now, uint32_t delay, ZoH_LIST** taken) {
  assert_lock_held(zoh_lock);
  // Only the request due may be answered; a close waits for the
  // interpreter's end, so that its reply carries what was left.
  ZoH_LIST* h = ready_head(e);
  if (!h || h->h.type == ZOH_CLOSE || now - h->tim < delay) return 0;
  *taken = take_head(e);
  if (net_trace_on()) ss_printf("EMPTY REPLY %x - %i\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(e)),
                                static_cast<int>((*taken)->h.seq));
  // The send task waiting for this request's output leaves, or answers the
  // next one.
  if ((e->flags & ZOH_E_SEND_RUNNING) && e->pipe) s_wake_fpipe_flush(e->pipe);
  return 1;
}

void zoh_empty_reply(ZoH_LIST* item, const uint32_t cockie[2], bool keep) {
  zoh_reply(item->con, ZOH_DATA, item->h.seq, cockie, 0, keep && item->in_stock);
  if (!item->in_stock) zoh_end_connection(item);
  zoh_free_request(item, true);
}
