#include "runtime/accept_impl.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/alloc.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "runtime/first_line.h"
#include "runtime/later_services.h"
#include "runtime/peer_tasks.h"
#include "text/convert.h"
#include "zu/gc.h"

namespace {

void refuse(STREAM* s, const char* text) {
  s_printf(s, "%s", text);
  s_flush(s);
  d_s_close(s);
}

// After a give-way, the tasks of what gave way end and their threads go
// back to the pool: ready() is asked again for a short while, a wait for
// those tasks alone, never for a peer.
template <class Ready>
bool ready_after_give_way(Ready ready) {
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ready()) return true;
  }
  return false;
}

// The threads of a link about to start for a peer of ip: when the process
// has none left, what the address holding most has gives way.
bool link_threads(int ip) {
  auto ready = [] { return !task_pool_short(kLinkTasks); };
  return ready() || (threads_give_way(ip) && ready_after_give_way(ready));
}

// Past this share of the descriptor limit, in 64ths, no connection becomes
// a link.
constexpr int kLinkDescriptorGate = 40;

// The thread leaves the listener (zui_lock held, and let go); the last one
// out performs its final close.
void _leave_listener(ZU_INTERPRETER* listener) {
  assert_lock_held(zui_lock);
  if (--listener->accept_threads == 0) {
    unlock_task(zui_lock, "_accept_thread");
    if (agent_close_zui) agent_close_zui(listener);
    lock_task(zui_lock);
    _close_zu_interpreter(listener);
  }
  unlock_task(zui_lock, "_accept_thread");
}

// Admits or refuses one accepted connection and dispatches it.
void admit_connection(ZU_INTERPRETER* listener, STREAM* s, int ip) {
  int limit = 0;
  int used = s_descriptors_in_use(&limit);
  if (used >= limit * 50 / 64) {
    refuse(s, "<Permission>Busy</Permission>\n");
    return;
  }
  // Every connection passes here: the listener's fields are read in one
  // visit to zui_lock, which all of the process's links want.
  lock_task(zui_lock);
  PERMISSION_LIST* entry = _check_permission_list(listener, ip);
  uint32_t interval = listener->accept_interval;
  uint32_t last_dec = listener->accept_last_dec;
  unlock_task(zui_lock, "_accept_thread");
  if (!entry) {
    refuse(s, "<Permission>Denied</Permission>\n");
    return;
  }
  FirstLineSlot waiting(s, ip);
  if (!waiting.taken()) {
    refuse(s, "<Permission>Busy</Permission>\n");
    return;
  }

  // The first byte tells a line link from HTTP; a peer that sends nothing
  // in time is dropped and the wait grows for the next one, never past the
  // idle time of a first line.
  int64_t t0 = s_now_us();
  new_tick(accept_thread_tick, -std::min(static_cast<int>(interval), first_line_idle()), s);
  unsigned char c = 0;
  int n = s_read(s, &c, 1);
  del_tick_with_data(accept_thread_tick, s);
  double elapsed = static_cast<double>(s_now_us() - t0) / 1e6;
  uint32_t now = get_zutime();
  // Mostly the wait stays as it is (a peer that sends at once, the wait at
  // its floor): judged on the values read above, the lock is taken only
  // for a change, which it judges again.
  bool change = n != 1 || (2 * elapsed < interval && now - last_dec > 119 && interval > 10) ||
                1.5 * elapsed > interval;
  if (change) {
    lock_task(zui_lock);
    if (n != 1) {
      listener->accept_interval = std::min<uint32_t>(listener->accept_interval * 2, 120);
      listener->accept_last_dec = now;
    } else if (2 * elapsed < listener->accept_interval && now - listener->accept_last_dec > 119) {
      if (listener->accept_interval > 10) listener->accept_interval--;
    } else if (1.5 * elapsed > listener->accept_interval) {
      listener->accept_interval = std::min<uint32_t>(listener->accept_interval * 2, 120);
      listener->accept_last_dec = now;
    }
    unlock_task(zui_lock, "_accept_thread");
  }
  if (n != 1 || s_push(s, c) < 0) {
    d_s_close(s);
    return;
  }
  // A session's interpreter comes with its tasks counted against ip (and a
  // version-2 session's with a link's place, for its download connection);
  // a line link counts among ip's links from its opening line end. Each
  // asks whether it would be admitted before anyone gives way for it.
  int tasks = 0, links = 0;
  if (c != '\n' && c != '\r') {
    STREAM* line = nullptr;
    // The network services own the connection from here: on failure they
    // have closed it already.
    int r = new_accept(&line, s, listener, entry, &waiting);
    if (r == -1 || r == 0 || !line) return;
    s = line;
    tasks = kLinkTasks;
    links = r == kAcceptHeldLink ? 1 : 0;
  } else if (link_may_start(ip, 0, true) && take_address_link(ip)) {
    links = 1;
  } else {
    refuse(s, "<Permission>Busy</Permission>\n");
    return;
  }
  // Descriptors and threads were asked for just before (link_may_start,
  // also by the session services), and a session is answered already.
  waiting.release();
  launch_accept_thread(s, ip, listener, entry, tasks, links);
}

}  // namespace

void accept_thread_tick(void* stream) { s_close_queue(static_cast<STREAM*>(stream)); }

bool link_descriptors_left() {
  int limit = 0;
  const int used = s_descriptors_in_use(&limit);
  return used < limit * kLinkDescriptorGate / 64;
}

bool link_may_start(int ip, int tasks, bool link) {
  return link_descriptors_left() && may_take_address_tasks(ip, tasks) && (!link || may_take_address_link(ip)) &&
         link_threads(ip);
}

int launch_accept_thread(STREAM* s, int ip, ZU_INTERPRETER* listener, PERMISSION_LIST* entry, int tasks, int links) {
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->peer_tasks = tasks;
  z->peer_tasks_ip = ip;
  z->peer_links = links;
  lock_task(zui_lock);
  // Only what a connection inherits from its listener; nothing it owns.
  z->env = listener->env;
  z->environment = listener->environment;
  z->ps_flags = listener->ps_flags;
  z->result_flag = listener->result_flag;
  z->port = listener->port;
  z->max_connection = listener->max_connection;
  z->connection_timeout = listener->connection_timeout;
  z->silent_timeout = listener->silent_timeout;
  z->desc_type = listener->desc_type;
  unlock_task(zui_lock, "launch_accept_thread");
  z->pl_accept = entry;
  z->inp = z->out = s;
  z->err = nullptr;
  z->msg = nl_copy_str(std_cm, "connect");
  z->connect_ip = ip;
  z->a_type = ZUI_CONNECT;
  z->accepted = 1;
  z->thread_mode = 2;
  // The link's own front thread admits the peer once the line end is out,
  // so no reply can overtake the admission.
  z->flags |= ZUI_F_ADMIT;
  int iid;
  {
    ZuThreadScope scope("accept in zu");
    if (z->environment) z->env = new_env(z->env);
    iid = setup_zu_interpreter(z);
  }
  // Only a set-up refused before registering hands the record back. One
  // whose threads could not start has been closed already (its stream with
  // it, so the peer sees the connection end), or is left to the relay
  // thread that did start: both are gone from here.
  if (iid == ZUI_ERR_SHUTDOWN) {
    d_s_close(s);
    free_zu_interpreter(z);
  }
  return iid;
}

void send_admission(ZU_INTERPRETER* zui) {
  lock_zui_out(zui);
  lock_task(zui_lock);
  STREAM* s = _zui_stream(&ZU_INTERPRETER::out, zui);
  unlock_task(zui_lock, "send_admission");
  // The line end that every line link opens with, then the admission.
  if (CODE_METHOD* cm = s ? s_get_cm(s) : nullptr) {
    s_printf(s, "\n&cx%x;\n<Permission>Allow</Permission>\n", static_cast<unsigned>(cm->lccode));
  } else if (s) {
    s_printf(s, "\n<Permission>Allow</Permission>\n");
  }
  if (s) s_flush(s);
  s_drop(s);
  lock_task(zui_lock);
  zui->flags &= ~(ZUI_F_CODE_SYNC | ZUI_F_ADMIT);
  unlock_task(zui_lock, "send_admission");
  unlock_zui_out(zui);
}

namespace {

// A connection on its way to the task that serves it.
struct ACCEPTED {
  ZU_INTERPRETER* listener;
  STREAM* s;
  int ip;
};

// Admits or refuses a connection and dispatches it, then leaves the
// listener (whose accept threads it counted in).
void serve_accepted(ZU_INTERPRETER* listener, STREAM* s, int ip) {
  // The first-byte tick may close the stream: keep the record meanwhile.
  s_hold(s);
  admit_connection(listener, s, ip);
  s_drop(s);
  lock_task(zui_lock);
  _leave_listener(listener);
}

void accepted_task(TKEY data) {
  ACCEPTED a = *static_cast<ACCEPTED*>(data);
  d_f_ree(data);
  serve_accepted(a.listener, a.s, a.ip);
}

// When the process has no thread left for a newcomer, slow first lines of
// the address holding most give way (first_line_give_way), as many as the
// newcomer may need (the task that reads its first line and the two of the
// link it may become), and their tasks, once they have seen their
// connections end, serve it; without any, a link or a session's
// interpreter of the address holding most ends (threads_give_way). The
// wait is for those tasks alone, a short one, never for a peer.
constexpr int kNewcomerTasks = 3;

bool task_after_give_way(ACCEPTED* a) {
  int freed = 0;
  while (freed < kNewcomerTasks && first_line_give_way(a->ip)) ++freed;
  if (!freed && !threads_give_way(a->ip)) return false;
  return ready_after_give_way([a] { return create_task(accepted_task, a, 1) >= 0; });
}

}  // namespace

void _accept_thread(TKEY data) {
  auto* listener = static_cast<ZU_INTERPRETER*>(data);
  lock_task(zui_lock);
  if (listener->accept_lock) {
    // Another thread accepts for the listener: this one is done.
    _leave_listener(listener);
    return;
  }
  listener->accept_lock = 1;
  int failures = 0;
  // zui_lock is held at the top of every round.
  for (;;) {
    STREAM* ls = listener->inp;
    if ((listener->flags & ZUI_F_BREAK) || !ls) break;
    unlock_task(zui_lock, "_accept_thread");
    ACCESS_KEY* key = accept_connection(ls);
    STREAM* s = key ? key->s : nullptr;
    int ip = key ? key->ip : 0;
    d_f_ree(key);
    lock_task(zui_lock);
    if (!s) {
      if ((listener->flags & ZUI_F_BREAK) || ++failures >= 3) break;
      continue;
    }
    failures = 0;
    listener->accept_threads++;
    unlock_task(zui_lock, "_accept_thread");
    s_set_write_abort(s, 1, 10);
    // A task of its own serves the connection while this thread accepts the
    // next: the next accept waits for no other thread to be woken.
    auto* a = static_cast<ACCEPTED*>(d_alloc(sizeof(ACCEPTED)));
    *a = ACCEPTED{listener, s, ip};
    if (create_task(accepted_task, a, 1) < 0 && !task_after_give_way(a)) {
      // No task to be had: refused at once, since this thread waiting for
      // one peer's first byte would leave every other peer unaccepted.
      d_f_ree(a);
      refuse(s, "<Permission>Busy</Permission>\n");
      lock_task(zui_lock);
      --listener->accept_threads;
      continue;
    }
    lock_task(zui_lock);
  }
  listener->accept_lock = 0;
  _leave_listener(listener);
}
