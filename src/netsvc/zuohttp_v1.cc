// The version-1 ZUoHTTP client stream (type 'x'): what the interpreter
// writes is sent as one data message per flush, each a POST answered by one
// reply; what the replies carry is kept for reads. The stream's task reads
// the replies in the order of their requests and polls with empty messages
// while none is outstanding (0, 1, 2, 4, 8, then every 15 seconds), so that
// output the remote interpreter makes on its own is fetched.
//
// With keep-alive every message goes over one kept connection (replies
// come back in order on it); without, each message has a connection of its
// own. The task owns the info record and every connection: it closes them
// and frees the record once the stream has been closed.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "netsvc/trace_impl.h"
#include "netsvc/zuohttp_client_impl.h"
#include "stream/stream.h"

namespace {

constexpr int kPollMax = 15;
// Received and not yet read: while this much waits, the task polls no more.
constexpr size_t kRecvHold = 16u << 20;
// The payload of one message at most (a flush of more sends several).
constexpr size_t kMaxMessage = 16u << 20;
constexpr int kReadWindow = 64 * 1024;

// The server answered with a status other than 200, or a caller asked for
// no keep-alive: the next connect asks for none. While off_keep_alive_mode
// is 0 (it is never set) this lasts for one connect.
std::atomic<int> dont_keep_alive_mode{0};
std::atomic<int> off_keep_alive_mode{0};

// One request sent and not yet answered.
struct ZoH_REQUEST {
  ZoH_REQUEST* next;
  STREAM* con;  // the connection it went out on (a reference is held)
  int16_t seq;
  bool poll;    // an empty message of the task
};

// Guarded by zuohttp_lock, except the fields set before the stream is
// registered and never changed (target_*, proxy_*, cockie).
struct S_ZUoHTTP_INFO {
  STREAM* st;  // the stream, null once it is closed
  ZoH_REQUEST* con_head;
  ZoH_REQUEST* con_tail;
  STREAM* keep_con;  // the kept connection (the info's own), or null
  int flags;         // ZOH_F_*
  char* target_server;  // the name (or the dotted address) in the request lines
  int target_ip;
  uint16_t target_port;
  char* proxy_server;  // the endpoint connected to: the proxy, else the target
  int proxy_ip;        // its address
  uint16_t proxy_port;
  int16_t send_seq;
  int16_t recv_seq;
  uint32_t cockie[2];
  STREAM_BUF send;  // written, not yet sent
  STREAM_BUF recv;  // received, not yet read
  uint32_t last_polling_time;
  int polling_interval;
  STREAM* target_con;  // the connection whose reply is being read
  int tick_armed;      // a wake-up tick is pending, due at tick_due
  uint32_t tick_due;
};

struct S_ZUoHTTP : STREAM {
  S_ZUoHTTP_INFO* info = nullptr;  // null once closed
  unsigned char window[kReadWindow];
};

S_ZUoHTTP* rec(STREAM* s) { return static_cast<S_ZUoHTTP*>(s); }

constexpr int kEnds = ZOH_F_SERVER_CLOSED | ZOH_F_ERROR | ZOH_F_CLOSE;

// ---- sending

// Sends one message of type `type` with what is waiting in `send` (at most
// kMaxMessage of it; nothing when zero_check and nothing waits). 0, 1 when
// bytes are left for another message, -1 when it could not be sent (the
// stream is then broken). It takes zuohttp_lock itself.
int __s_flush_ZUoHTTP(S_ZUoHTTP_INFO* info, int type, int zero_check, bool poll = false) {
  lock_task(zuohttp_lock);
  if (zero_check && info->send.size == 0) {
    unlock_task(zuohttp_lock, "flush");
    return 0;
  }
  while ((info->flags & ZOH_F_FLUSHING) && !(info->flags & ZOH_F_ERROR)) {
    sleep_task(info, zuohttp_lock);
    lock_task(zuohttp_lock);
  }
  if (info->flags & ZOH_F_ERROR) {
    unlock_task(zuohttp_lock, "flush");
    return -1;
  }
  info->flags |= ZOH_F_FLUSHING;
  std::vector<unsigned char> payload(std::min(info->send.size, kMaxMessage));
  copy_out_sbuf(&info->send, payload.data(), payload.size(), nullptr);
  bool more = info->send.size > 0;
  int16_t seq = info->send_seq;
  info->send_seq = static_cast<int16_t>(static_cast<uint16_t>(seq) + 1);
  int flags = info->flags;
  STREAM* con = flags & ZOH_F_KEEP_ALIVE ? info->keep_con : nullptr;
  s_hold(con);  // the request's
  unlock_task(zuohttp_lock, "flush");
  if (!con) {
    int cerr = 0;
    con = zoh_connect(&cerr, nullptr, info->proxy_ip, info->proxy_port);
    s_hold(con);
  }
  int n = static_cast<int>(payload.size());
  bool ok = con && output_client_header(con, flags, info->target_server, info->target_port, n) == 0 &&
            zoh_write_header(con, static_cast<uint8_t>(type), seq, info->cockie, false) == 0 &&
            (n == 0 || s_write(con, payload.data(), n) == n) && s_flush(con) == 0;
  auto* req = ok ? static_cast<ZoH_REQUEST*>(d_alloc(sizeof(ZoH_REQUEST))) : nullptr;
  lock_task(zuohttp_lock);
  info->flags &= ~ZOH_F_FLUSHING;
  if (ok) {
    *req = ZoH_REQUEST{nullptr, con, seq, poll};
    (info->con_tail ? info->con_tail->next : info->con_head) = req;
    info->con_tail = req;
  } else {
    info->flags |= ZOH_F_ERROR;
  }
  bool kept = con && con == info->keep_con;
  wakeup_task(info);
  unlock_task(zuohttp_lock, "flush");
  if (!ok && con) {
    if (!kept) s_safe_close(con);  // the kept one is closed with the info
    s_drop(con);
  }
  return ok ? (more ? 1 : 0) : -1;
}

// ---- the reply to one request

struct OUTCOME {
  int err;      // the ERR number to report, 0 for none
  long long r;  // the payload read's result (ERR 5)
  int sys;      // its system error number
};

// Reads the reply to req into the info (flags, payload). The ERR to report.
OUTCOME read_reply(S_ZUoHTTP_INFO* info, ZoH_REQUEST* req) {
  ZOH_REPLY r;
  OUTCOME o{0, 0, 0};
  int head = zoh_read_reply_head(req->con, &r, true);
  if (head == ZOH_R_STATUS) dont_keep_alive_mode.store(1);
  if (head == ZOH_R_HTTP || head == ZOH_R_STATUS) o.err = 1;
  else if (head == ZOH_R_SHORT) o.err = 2;
  else if (head == ZOH_R_SUM) o.err = 3;
  else if (r.h.seq != req->seq) o.err = 4;
  if (o.err == 0 && (r.chunked || r.info.content_length != kZoHHeaderSize)) {
    errno = 0;
    o.r = zoh_read_reply_payload(req->con, &r, &info->recv, zuohttp_lock);
    o.sys = errno;
    if (o.r < 0) o.err = 5;
  }
  zoh_reply_done(req->con, &r);
  lock_task(zuohttp_lock);
  if (o.err) {
    info->flags |= ZOH_F_SERVER_CLOSED | ZOH_F_ERROR;
  } else if (r.h.type == ZOH_CLOSE) {
    info->flags |= ZOH_F_SERVER_CLOSED;
  } else if (r.h.type == ZOH_REFUSED) {
    info->flags |= ZOH_F_ERROR;
    o.err = 6;
  }
  if (r.chunked) info->flags |= ZOH_F_CHUNKED;
  // A kept connection that the server (or a proxy) closes after this reply
  // carries nothing more: later messages get connections of their own, and
  // this one is closed with its request.
  if (!o.err && !r.keep && req->con == info->keep_con) {
    info->flags &= ~ZOH_F_KEEP_ALIVE;
    info->keep_con = nullptr;
  }
  unlock_task(zuohttp_lock, "ZUoHTTP_task");
  return o;
}

void report(const OUTCOME& o) {
  if (o.err == 0) return;
  int tid = get_tid();
  if (o.err == 5) {
    ss_printf("ERR (%i) 5 %i %i\n", tid, static_cast<int>(o.r), o.sys);
    ss_printf("EEE: %s\n", std::strerror(o.sys));
  } else {
    ss_printf("ERR (%i) %i\n", tid, o.err);
  }
}

// Lets go of an answered request: its connection is closed unless it is
// the kept one.
void finish_request(S_ZUoHTTP_INFO* info, ZoH_REQUEST* req) {
  lock_task(zuohttp_lock);
  bool kept = req->con == info->keep_con;
  unlock_task(zuohttp_lock, "ZUoHTTP_task");
  if (!kept) d_s_close(req->con);
  s_drop(req->con);
  d_f_ree(req);
}

ZoH_REQUEST* _take_request(S_ZUoHTTP_INFO* info) {
  assert_lock_held(zuohttp_lock);
  ZoH_REQUEST* req = info->con_head;
  if (req) {
    info->con_head = req->next;
    if (!info->con_head) info->con_tail = nullptr;
    req->next = nullptr;
  }
  return req;
}

// ---- the task

void ZUoHTTP_tick_func(void* data) {
  auto* info = static_cast<S_ZUoHTTP_INFO*>(data);
  lock_task(zuohttp_lock);
  info->tick_armed = 0;
  wakeup_task(info);
  unlock_task(zuohttp_lock, "ZUoHTTP_tick_func");
}

// Waits until a request is outstanding, the next poll is due (and what was
// received has been read down), or the stream ends. 0 to go on, 1 when the
// caller must cancel a tick (due later than needed) with the lock released.
int _wait_for_work(S_ZUoHTTP_INFO* info) {
  assert_lock_held(zuohttp_lock);
  while (!info->con_head && !(info->flags & kEnds)) {
    bool room = info->recv.size < kRecvHold;
    uint32_t now = get_zutime();
    uint32_t due = info->last_polling_time + static_cast<uint32_t>(info->polling_interval);
    if (room && static_cast<int32_t>(now - due) >= 0) break;
    if (room && info->tick_armed && static_cast<int32_t>(info->tick_due - due) > 0) return 1;
    if (room && !info->tick_armed) {
      info->tick_armed = 1;
      info->tick_due = due;
      new_tick(ZUoHTTP_tick_func, -static_cast<int>(due - now), info);
    }
    sleep_task(info, zuohttp_lock);
    lock_task(zuohttp_lock);
  }
  return 0;
}

void cancel_tick(S_ZUoHTTP_INFO* info) {
  del_tick_with_data(ZUoHTTP_tick_func, info);
  lock_task(zuohttp_lock);
  info->tick_armed = 0;
  unlock_task(zuohttp_lock, "ZUoHTTP_task");
}

// The exchanges of a live stream, until it ends (lock held on entry and
// exit).
void _exchange(S_ZUoHTTP_INFO* info) {
  assert_lock_held(zuohttp_lock);
  bool last_was_poll = false;
  for (;;) {
    if (info->flags & kEnds) return;
    if (!last_was_poll && !info->con_head) {
      info->last_polling_time = get_zutime();
      info->polling_interval = 0;
    }
    if (_wait_for_work(info)) {
      unlock_task(zuohttp_lock, "ZUoHTTP_task");
      cancel_tick(info);
      lock_task(zuohttp_lock);
      continue;
    }
    if (info->flags & kEnds) return;
    if (!info->con_head) {
      unlock_task(zuohttp_lock, "ZUoHTTP_task");
      int r = __s_flush_ZUoHTTP(info, ZOH_DATA, 0, true);
      lock_task(zuohttp_lock);
      if (r == 0) {
        info->last_polling_time = get_zutime();
        info->polling_interval = std::min(kPollMax, info->polling_interval ? info->polling_interval * 2 : 1);
      }
      continue;
    }
    ZoH_REQUEST* req = _take_request(info);
    info->target_con = req->con;
    unlock_task(zuohttp_lock, "ZUoHTTP_task");
    report(read_reply(info, req));
    lock_task(zuohttp_lock);
    info->target_con = nullptr;
    last_was_poll = req->poll;
    wakeup_task(info);  // readers
    unlock_task(zuohttp_lock, "ZUoHTTP_task");
    finish_request(info, req);
    lock_task(zuohttp_lock);
  }
}

// After a close: what was written last, then the close message, whose
// reply (and those still due) are read so that the server answers them.
void say_goodbye(S_ZUoHTTP_INFO* info) {
  while (__s_flush_ZUoHTTP(info, ZOH_DATA, 1) > 0) {
  }
  __s_flush_ZUoHTTP(info, ZOH_CLOSE, 0);
  STREAM_BUF scrap;
  init_sbuf(&scrap, nullptr);
  for (;;) {
    lock_task(zuohttp_lock);
    ZoH_REQUEST* req = _take_request(info);
    unlock_task(zuohttp_lock, "ZUoHTTP_task");
    if (!req) break;
    ZOH_REPLY r;
    if (zoh_read_reply_head(req->con, &r, true) == 0) zoh_read_reply_payload(req->con, &r, &scrap, nullptr);
    free_sbuf(&scrap, nullptr);
    finish_request(info, req);
  }
}

void free_info(S_ZUoHTTP_INFO* info) {
  del_tick_with_data(ZUoHTTP_tick_func, info);
  while (ZoH_REQUEST* req = info->con_head) {
    info->con_head = req->next;
    if (req->con != info->keep_con) d_s_close(req->con);
    s_drop(req->con);
    d_f_ree(req);
  }
  if (info->keep_con) d_s_close(info->keep_con);
  free_sbuf(&info->send, nullptr);
  free_sbuf(&info->recv, nullptr);
  d_f_ree(info->target_server);
  d_f_ree(info->proxy_server);
  d_f_ree(info);
  zoh_client_freed();
}

void ZUoHTTP_task(TKEY key) {
  auto* info = static_cast<S_ZUoHTTP_INFO*>(key);
  lock_task(zuohttp_lock);
  _exchange(info);
  bool closing = info->flags & ZOH_F_CLOSE;
  bool good = !(info->flags & (ZOH_F_SERVER_CLOSED | ZOH_F_ERROR));
  unlock_task(zuohttp_lock, "ZUoHTTP_task");
  if (closing && net_trace_on()) {
    ss_printf("close ZUoHTTP %x keep %x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(info)),
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(info->keep_con)));
  }
  if (closing && good) say_goodbye(info);
  // Readers see the end; the record lives until the stream is closed.
  lock_task(zuohttp_lock);
  wakeup_task(info);
  while (!(info->flags & ZOH_F_CLOSE)) {
    sleep_task(info, zuohttp_lock);
    lock_task(zuohttp_lock);
  }
  info->flags |= ZOH_F_TASK_DONE;
  unlock_task(zuohttp_lock, "ZUoHTTP_task");
  free_info(info);
}

// ---- stream operations

int s_read_ZUoHTTP(STREAM* s, void* data, int len) {
  S_ZUoHTTP* x = rec(s);
  S_HEADER& h = x->h;
  if (h.rwin >= h.rwin_end) {
    S_ZUoHTTP_INFO* info = x->info;
    if (!info) return -1;
    lock_task(zuohttp_lock);
    while (info->recv.size == 0 && !(info->flags & (ZOH_F_SERVER_CLOSED | ZOH_F_ERROR)) &&
           h.state.load() == S_STATE_LIVE) {
      sleep_task(info, zuohttp_lock);
      lock_task(zuohttp_lock);
    }
    size_t n = copy_out_sbuf(&info->recv, x->window, sizeof x->window, nullptr);
    int flags = info->flags;
    if (n > 0) wakeup_task(info);  // the task may wait for room
    unlock_task(zuohttp_lock, "s_read_ZUoHTTP");
    if (n == 0) return (flags & ZOH_F_ERROR) || h.state.load() != S_STATE_LIVE ? -1 : 0;
    h.rwin = x->window;
    h.rwin_end = x->window + n;
  }
  return zoh_take_window(&h, data, len);
}

int s_write_ZUoHTTP(STREAM* s, const void* data, int len) {
  S_ZUoHTTP_INFO* info = rec(s)->info;
  if (!info) return -1;
  lock_task(zuohttp_lock);
  bool refused = info->flags & (ZOH_F_ERROR | ZOH_F_CLOSE);
  if (!refused) copy_in_sbuf(&info->send, data, static_cast<size_t>(len), nullptr);
  unlock_task(zuohttp_lock, "s_write_ZUoHTTP");
  return refused ? -1 : len;
}

int s_flush_ZUoHTTP(STREAM* s) {
  S_ZUoHTTP_INFO* info = rec(s)->info;
  if (!info) return -1;
  // Within the stream layer's close no other stream may be used: the task
  // sends what is left before its close message.
  if (s->h.state.load() != S_STATE_LIVE) return 0;
  int r;
  while ((r = __s_flush_ZUoHTTP(info, ZOH_DATA, 1)) > 0) {
  }
  return r;
}

int s_get_socketip_ZUoHTTP(STREAM* s) {
  S_ZUoHTTP_INFO* info = rec(s)->info;
  return info ? info->proxy_ip : -1;
}

// A close asks the task to end (it sends the close message and frees the
// info); readers blocked in the stream have been woken by the interrupt.
int s_close_ZUoHTTP(STREAM* s) {
  S_ZUoHTTP* x = rec(s);
  S_ZUoHTTP_INFO* info = x->info;
  if (!info) return 0;
  lock_task(zuohttp_lock);
  info->flags |= ZOH_F_CLOSE;
  info->st = nullptr;
  x->info = nullptr;
  wakeup_task(info);
  unlock_task(zuohttp_lock, "s_close_ZUoHTTP");
  return 0;
}

void s_interrupt_ZUoHTTP(STREAM* s, int) {
  if (S_ZUoHTTP_INFO* info = rec(s)->info) {
    lock_task(zuohttp_lock);
    wakeup_task(info);
    unlock_task(zuohttp_lock, "s_close_ZUoHTTP");
  }
}

const S_TABLE s_ZUoHTTP_table = {'x',     s_close_ZUoHTTP, s_write_ZUoHTTP, s_read_ZUoHTTP, s_flush_ZUoHTTP,
                                 s_get_socketip_ZUoHTTP, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr,         s_interrupt_ZUoHTTP};

// ---- connect

// The open exchange on con: 0 with the reply read (payload excepted), or
// the error number for *cerr (con is then closed).
int open_exchange(STREAM* con, int flags, const char* host, int port, ZOH_REPLY* r) {
  if (output_client_header(con, flags, host, port, 0) < 0 || zoh_write_header(con, ZOH_OPEN, 0, nullptr, true) < 0) {
    d_s_close(con);
    return ECONNREFUSED;
  }
  int res = zoh_read_reply_head(con, r, true);
  if (res == ZOH_R_STATUS) dont_keep_alive_mode.store(1);
  // An open is answered by a session (with keep-alive or without) or by
  // one that has ended at once; a refusal opens nothing.
  if (res == 0 && r->h.type != ZOH_DATA && r->h.type != ZOH_OPEN_KEEP && r->h.type != ZOH_CLOSE) {
    zoh_reply_done(con, r);
    res = ZOH_R_SHORT;
  }
  if (res == 0) return 0;
  d_s_close(con);
  return res == ZOH_R_HTTP ? ETIMEDOUT : ECONNREFUSED;
}

S_ZUoHTTP_INFO* new_info(int flags, const std::string& host, int target_ip, int target_port,
                         const char* proxy_server, int peer, int proxy_port, const ZOH_REPLY& r) {
  auto* info = static_cast<S_ZUoHTTP_INFO*>(d_calloc(sizeof(S_ZUoHTTP_INFO), 1));
  info->flags = flags;
  info->target_server = copy_str(host.c_str());
  info->target_ip = target_ip;
  info->target_port = static_cast<uint16_t>(target_port);
  bool proxy = flags & ZOH_F_PROXY;
  info->proxy_server = copy_str(proxy && proxy_server ? proxy_server : host.c_str());
  info->proxy_ip = peer;
  info->proxy_port = static_cast<uint16_t>(proxy ? proxy_port : target_port);
  info->send_seq = 1;
  info->recv_seq = r.h.seq;
  info->cockie[0] = r.h.cockie[0];
  info->cockie[1] = r.h.cockie[1];
  init_sbuf(&info->send, nullptr);
  init_sbuf(&info->recv, nullptr);
  info->last_polling_time = get_zutime();
  info->polling_interval = kPollMax;
  zoh_client_made();
  return info;
}

}  // namespace

void init_ZUoHTTP_stream() {
  static std::once_flag once;
  std::call_once(once, [] {
    zuohttp_lock = new_lock(LOCK_ZUOHTTP);
    insert_s_table(&s_ZUoHTTP_table);
  });
}

STREAM* s_connect_ZUoHTTP(int* cerr, const char* target_server, int target_ip, int target_port,
                          const char* proxy_server, int proxy_ip, int proxy_port, int flags) {
  int unused = 0;
  if (!cerr) cerr = &unused;
  *cerr = 0;
  init_stream();
  init_ZUoHTTP_stream();
  if (!(flags & ZOH_F_KEEP_ALIVE)) dont_keep_alive_mode.store(1);
  if (dont_keep_alive_mode.load()) {
    flags &= ~ZOH_F_KEEP_ALIVE;
    if (!off_keep_alive_mode.load()) dont_keep_alive_mode.store(0);
  }
  flags &= ZOH_F_KEEP_ALIVE;
  if ((proxy_server && *proxy_server) || proxy_ip) flags |= ZOH_F_PROXY;
  STREAM* con = proxy_new_connection(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip, proxy_port);
  if (!con) {
    if (!*cerr) *cerr = ECONNREFUSED;
    return nullptr;
  }
  int peer = s_get_socketip(con);
  std::string host = zoh_host_text(target_server, target_ip);
  ZOH_REPLY r;
  if ((*cerr = open_exchange(con, flags, host.c_str(), target_port, &r)) != 0) return nullptr;
  if (r.h.type == ZOH_DATA) flags &= ~ZOH_F_KEEP_ALIVE;  // the server keeps no connection
  if (r.chunked) flags |= ZOH_F_CHUNKED;
  S_ZUoHTTP_INFO* info = new_info(flags, host, target_ip, target_port, proxy_server, peer, proxy_port, r);
  if (r.chunked || r.info.content_length != kZoHHeaderSize) {
    if (zoh_read_reply_payload(con, &r, &info->recv, nullptr) < 0) info->flags |= ZOH_F_ERROR;
  }
  zoh_reply_done(con, &r);
  if (r.h.type == ZOH_CLOSE) info->flags |= ZOH_F_SERVER_CLOSED;
  if (!r.keep || (info->flags & ZOH_F_ERROR)) info->flags &= ~ZOH_F_KEEP_ALIVE;
  if (info->flags & ZOH_F_KEEP_ALIVE) info->keep_con = con;
  else d_s_close(con);
  auto* x = s_new_record<S_ZUoHTTP>(__FILE__, __LINE__);
  x->h.tbl = &s_ZUoHTTP_table;
  x->h.rwin_direct = 1;
  x->h.layered = 1;
  x->info = info;
  info->st = x;
  if (create_task(ZUoHTTP_task, info, 3) < 0) {
    info->flags |= ZOH_F_CLOSE;
    free_info(info);
    s_discard_record(x);
    *cerr = EAGAIN;
    return nullptr;
  }
  s_register(x, S_MODE_RW, S_CAT_NETWORK);
  return x;
}
