// The long-lived tasks of the server side: the stock of kept-alive
// connections (a poll task that waits for their next request to begin, and
// reader tasks that serve it, one per request being read, so that a peer
// that sends slowly delays no one else; at most three wait idle), the
// empty-reply task with its session check, and the start-up.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "netsvc/http_chunk.h"
#include "netsvc/zuohttp_client.h"
#include "netsvc/zuohttp_impl.h"
#include "runtime/accept.h"
#include "runtime/first_line.h"
#include "runtime/net_ops.h"
#include "runtime/peer_tasks.h"
#include "stream/sbuf.h"

namespace {

constexpr int kFirstPollInterval = 150;

// Guarded by the ZoH lock.
STREAM_STOCK* ss_list = nullptr;
int ss_run_tasks = 0;
int ss_wait_tasks = 0;
// Session check: its interval (from the descriptors in use) and times.
int poll_interval = kFirstPollInterval;
uint32_t last_poll_check = 0;
uint32_t last_interval = 0;

int ss_wake_fd = -1;  // wakes the poll task when the stock grows

void wake_poller() {
  uint64_t one = 1;
  if (write(ss_wake_fd, &one, sizeof one) < 0) {
    // Already signalled: the counter only grows.
  }
}

// The stock's clock: milliseconds, so that a connection counts as idle for
// the whole idle time (whole seconds would let one put back just before a
// second ends be closed at once, while its peer sends the next request).
int64_t stock_clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Bytes of the next request already taken into the stream's buffer: no
// poll would see them.
bool buffered(STREAM* s) { return s->h.rwin < s->h.rwin_end || s->h.push_c >= 0; }

void free_stock(STREAM_STOCK* it, bool close) {
  if (close) d_s_close(it->key.s);
  d_f_ree(it);
}

// A connection whose request has begun, taken off the stock (lock held).
STREAM_STOCK* _take_ready() {
  assert_lock_held(zoh_lock);
  for (STREAM_STOCK** p = &ss_list; *p; p = &(*p)->next) {
    if ((*p)->ready) {
      STREAM_STOCK* it = *p;
      *p = it->next;
      return it;
    }
  }
  return nullptr;
}

// Starts a connected interpreter on a new session's pipe end, with the
// tasks (and the link's place, `links`) the session counted for it: the
// session asked for descriptors and threads as it opened.
void launch_line(STREAM* line, int ip, ZU_INTERPRETER* zui, PERMISSION_LIST* pl, int links) {
  if (!zui) {
    d_s_close(line);
    give_address_tasks(ip, kLinkTasks);
    give_address_links(ip, links);
    return;
  }
  launch_accept_thread(line, ip, zui, pl, kLinkTasks, links);
}

void serve_stock(STREAM_STOCK* it) {
  ZU_INTERPRETER* zui = it->zui_id ? search_zui_id(it->zui_id) : nullptr;
  if (it->zui_id && !zui) {  // the listener has closed
    free_stock(it, true);
    return;
  }
  // A kept connection's next request waits for its header as a new one
  // does, in a slot of its own; one that gives way is closed under it.
  STREAM* con = it->key.s;
  s_hold(con);
  FirstLineSlot waiting(con, it->key.ip);
  STREAM* line = nullptr;
  if (!waiting.taken()) {
    d_s_close(con);
  } else if (int r = zoh_new_accept(&line, con, zui, it->pl, &waiting); r > 0 && line) {
    launch_line(line, it->key.ip, zui, it->pl, r == kAcceptHeldLink ? 1 : 0);
  }
  waiting.release();
  s_drop(con);
  free_stock(it, false);
}

void ss_task(TKEY);

// Another reader task (lock held).
void _start_ss_task() {
  assert_lock_held(zoh_lock);
  ++ss_run_tasks;
  if (create_task(ss_task, nullptr, 1) < 0) --ss_run_tasks;
}

void ss_task(TKEY) {
  lock_task(zoh_lock);
  for (;;) {
    if (STREAM_STOCK* it = _take_ready()) {
      // A request that arrives slowly holds this task until its header
      // guard: one waiting task is always left for everyone else's.
      if (ss_wait_tasks == 0) _start_ss_task();
      unlock_task(zoh_lock, "ss_task");
      serve_stock(it);
      lock_task(zoh_lock);
      continue;
    }
    if (ss_wait_tasks > 2) break;
    ++ss_wait_tasks;
    sleep_task(&ss_list, zoh_lock);
    lock_task(zoh_lock);
    --ss_wait_tasks;
  }
  --ss_run_tasks;
  unlock_task(zoh_lock, "ss_task");
}

// Waits until kept connections become readable (the next request begins,
// or the peer leaves) and closes those idle for too long.
void ss_poll_task(TKEY) {
  std::vector<pollfd> fds;
  std::vector<STREAM*> who;
  std::vector<STREAM*> idle;
  for (;;) {
    fds.assign(1, pollfd{ss_wake_fd, POLLIN, 0});
    who.assign(1, nullptr);
    idle.clear();
    bool woke = false;
    lock_task(zoh_lock);
    int64_t now = stock_clock_ms();
    int64_t limit = int64_t{zoh_times().stock_idle} * 1000;
    for (STREAM_STOCK** p = &ss_list; *p;) {
      STREAM_STOCK* it = *p;
      int fd = it->ready ? -1 : s_get_fd(it->key.s);
      if (!it->ready && now - it->since_ms >= limit) {
        *p = it->next;
        idle.push_back(it->key.s);
        d_f_ree(it);
        continue;
      }
      if (!it->ready && fd < 0) it->ready = woke = true;
      if (!it->ready) {
        fds.push_back(pollfd{fd, POLLIN, 0});
        who.push_back(it->key.s);
      }
      p = &it->next;
    }
    if (woke) wakeup_task(&ss_list);
    unlock_task(zoh_lock, "ss_poll_task");
    for (STREAM* s : idle) d_s_close(s);
    {
      BlockingRegion region;
      poll(fds.data(), fds.size(), 1000);
    }
    uint64_t count;
    if (fds[0].revents && read(ss_wake_fd, &count, sizeof count) < 0) count = 0;
    lock_task(zoh_lock);
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      for (STREAM_STOCK* it = ss_list; it; it = it->next) {
        if (it->key.s == who[i]) it->ready = woke = true;
      }
    }
    if (woke) wakeup_task(&ss_list);
    unlock_task(zoh_lock, "ss_poll_task");
  }
}

// The session check: sessions without a request for the idle time (all
// of them with `all`) are closed; their pipes are added to `pipes` (lock
// held).
void _polling(uint32_t now, bool all, std::vector<STREAM*>* pipes) {
  assert_lock_held(zoh_lock);
  uint32_t idle = static_cast<uint32_t>(zoh_times().session_idle);
  for (ZoH_ENTRY* chain : ZoH_hash) {
    for (ZoH_ENTRY* e = chain; e; e = e->next) {
      if (e->flags & (ZOH_E_CLOSING | ZOH_E_STARTING)) continue;
      if (all || zoh_idle_over(now, e->last_polling, idle)) pipes->push_back(_zoh_close_entry(e));
    }
  }
}

// A session that has never carried a request lives a short idle time,
// checked every pass: peers cannot hold many for long (lock held).
void _end_unused(ZoH_ENTRY* e, uint32_t now, uint32_t idle, std::vector<STREAM*>* pipes) {
  assert_lock_held(zoh_lock);
  if (e->flags & (ZOH_E_USED | ZOH_E_CLOSING | ZOH_E_STARTING)) return;
  if (zoh_idle_over(now, e->last_polling, idle)) pipes->push_back(_zoh_close_entry(e));
}

struct EMPTY {
  ZoH_LIST* item;
  uint32_t cockie[2];
  bool keep;
};

// One pass of the empty-reply task: requests answered empty, the session
// check when due, and the stock's closed connections dropped. The number
// of sessions.
int empty_reply_pass(bool check_all) {
  int limit = 0;
  int used = s_check_resource2(&limit);
  std::vector<EMPTY> empty;
  std::vector<STREAM*> pipes;
  int sessions = 0;
  lock_task(zoh_lock);
  uint32_t now = get_zutime();
  ZOH_TIMES t = zoh_times();
  auto unused = static_cast<uint32_t>(std::min(zoh_limits().unused_idle, t.session_idle));
  for (ZoH_ENTRY* chain : ZoH_hash) {
    for (ZoH_ENTRY* e = chain; e; e = e->next, ++sessions) {
      ZoH_LIST* item;
      while (_empty_reply(e, now, static_cast<uint32_t>(t.empty_reply), &item)) {
        empty.push_back(EMPTY{item, {e->cockie[0], e->cockie[1]}, (e->flags & ZOH_E_KEEP_ALIVE) != 0});
      }
      _end_unused(e, now, unused, &pipes);
      _zoh_start_due(e);  // a task no thread could be had for before
    }
  }
  if (now - last_interval > 4 && limit > 0) {
    last_interval = now;
    poll_interval = std::max(1, (limit - used) * 150 / limit);
  }
  int interval = t.poll_interval > 0 ? t.poll_interval : poll_interval;
  if (check_all || now - last_poll_check >= static_cast<uint32_t>(interval)) {
    last_poll_check = now;
    _polling(now, check_all, &pipes);
  }
  std::vector<STREAM*> v2_conns, v2_pipes;
  sessions += _zoh_v2_check(now, unused, check_all, &v2_conns, &v2_pipes);
  sslist_scan();
  unlock_task(zoh_lock, "empty_reply_task");
  for (EMPTY& r : empty) zoh_empty_reply(r.item, r.cockie, r.keep);
  for (STREAM* p : pipes) d_s_close(p);
  zoh_v2_close_streams(v2_conns, v2_pipes);
  return sessions;
}

void empty_reply_task(TKEY) {
  for (;;) {
    sleep_sec(1);
    empty_reply_pass(false);
  }
}

}  // namespace

void _insert_ss(STREAM* s, int ip, int zui_id, PERMISSION_LIST* pl) {
  assert_lock_held(zoh_lock);
  auto* it = static_cast<STREAM_STOCK*>(d_alloc(sizeof(STREAM_STOCK)));
  *it = STREAM_STOCK{ss_list, ACCESS_KEY{s, ip, nullptr}, zui_id, pl, stock_clock_ms(), buffered(s)};
  ss_list = it;
  if (it->ready) wakeup_task(&ss_list);
  else wake_poller();
}

void insert_ss(STREAM* s, int ip, int zui_id, PERMISSION_LIST* pl) {
  lock_task(zoh_lock);
  _insert_ss(s, ip, zui_id, pl);
  unlock_task(zoh_lock, "insert_ss");
}

void sslist_scan() {
  for (STREAM_STOCK** p = &ss_list; *p;) {
    STREAM_STOCK* it = *p;
    if (s_exist(it->key.s)) {
      p = &it->next;
      continue;
    }
    *p = it->next;
    free_stock(it, false);
  }
}

void zoh_start_stock() {
  ss_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  create_task(ss_poll_task, nullptr, 1);
  lock_task(zoh_lock);
  _start_ss_task();
  unlock_task(zoh_lock, "zoh_start_stock");
}

void zoh_init_server() {
  static std::once_flag once;
  std::call_once(once, [] {
    zoh_lock = new_lock(LOCK_ZOH);
    lock_task(zoh_lock);
    last_poll_check = last_interval = get_zutime();
    unlock_task(zoh_lock, "zoh_init_server");
    create_task(empty_reply_task, nullptr, 1);
    zoh_start_stock();
  });
}

int zoh_check_sessions(bool all) { return empty_reply_pass(all); }

void init_zuohttp_ops() {
  ZU_NET_OPS ops{};
  ops.init_ZUoHTTP_server = zoh_init_server;
  ops.new_accept = zoh_new_accept;
  ops.s_connect_ZUoHTTP_2 = zoh_connect_ZUoHTTP_2;
  set_net_ops(&ops);
  set_sbuf_chunk_reader(s_chunk_read);
  s_add_init_hook(init_ZUoHTTP_stream);
}
