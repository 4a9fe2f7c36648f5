#include "runtime/delayed.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "runtime/front.h"
#include "runtime/lock_function.h"
#include "runtime/net_ops.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/reader.h"

namespace {

std::atomic<int> tick_ms{5000};

// The delayed-reply queue (zui_lock).
struct DELAY_ENTRY {
  DELAY_ENTRY* next;
  ZU_SEXP* ret;
  ZU_INTERPRETER* zui;
  int line;
};
DELAY_ENTRY* dq_head = nullptr;
DELAY_ENTRY* dq_tail = nullptr;
bool dq_searching = false;  // the delay thread is looking at the entries
int dq_serving = 0;         // delay threads serving the queue
unsigned dq_generation = 0; // advanced by every event that may ready a value

// The reconnect queue (zui_lock).
struct RECONNECT {
  RECONNECT* next;
  ZU_SEXP* value;
};
RECONNECT* rc_head = nullptr;
int rc_tasks = 0;

void wait_no_search() {
  while (dq_searching) {
    sleep_task(&dq_searching, zui_lock);
    lock_task(zui_lock);
  }
}

// What the tick does outside the lock for one interpreter.
struct TICK_ACTION {
  bool keepalive = false;
};

// A link whose input ended and which is still evaluating what it was sent
// writes a line end on every tick: once its peer has gone, the write fails,
// the output is closed and the evaluation is broken off.
bool probe_output(const ZU_INTERPRETER* z) {
  bool link = z->a_type == ZUI_CONNECT || z->a_type == ZUI_DESCRIPTER || z->a_type == ZUI_PIPE;
  bool ended = z->mode == ZUI_MODE_FRONT_ENDING || z->mode == ZUI_MODE_FRONT_ENDED;
  return link && ended && z->out && z->out != s_stdout && z->out != s_stderr;
}

TICK_ACTION _tick_check(ZU_INTERPRETER* z) {
  assert_lock_held(zui_lock);
  TICK_ACTION act;
  // A stream closed elsewhere (a watchdog, a failed write) is forgotten
  // before anything looks at it.
  if (z->inp && !s_exist(z->inp)) z->inp = nullptr;
  if (z->out && !s_exist(z->out)) z->out = nullptr;
  if (z->err && !s_exist(z->err)) z->err = nullptr;
  if (z->a_type == ZUI_CONNECT && z->connect_ip && z->inp) {
    // The link's throughput joins the running figure of its address.
    double bps = s_get_thput(z->inp);
    if (bps >= 0) {
      SERVER_INFO info{SI_IP | SI_THPUT, 0, nullptr, static_cast<unsigned>(z->connect_ip),
                       bps < 2147483647.0 ? static_cast<int>(bps) : 2147483647, 0};
      set_serverinfo(&info, 3, -1);
    }
  }
  if (z->a_type == ZUI_SELF) {
    if (thread_exist(z->front_thread) != 0) {
      int tid = z->front_thread;
      _close_zu_interpreter(z);
      _delete_zui_thread(tid);
    }
    return act;
  }
  // A set-up still waiting for the peer's answer timed out, whatever the
  // close of the input then says.
  auto time_out_permission = [z] {
    if (!(z->flags & ZUI_F_WAIT_PERMISSION)) return;
    if (!(z->flags & ZUI_F_ANSWER_MASK)) z->flags |= ZUI_F_ANSWER_OTHER;
    wakeup_task(&z->flags);
  };
  if ((z->flags & ZUI_F_WAIT_PERMISSION) && z->open_timeout && get_zutime() >= z->open_timeout) {
    time_out_permission();
    _close_input(z);
    return act;
  }
  z->connection_cnt++;
  if ((z->a_type == ZUI_CONNECT || z->a_type == ZUI_DESCRIPTER || z->a_type == ZUI_PIPE) &&
      z->connection_cnt % 30 == 0 && z->mode == ZUI_MODE_OPEN && z->out)
    act.keepalive = true;
  int silent = zui_silent(z);
  if (silent < 0 && probe_output(z)) act.keepalive = true;
  if (silent >= 0 && z->delay_que_cnt == 0) {
    if ((z->flags & ZUI_F_REPLYING) && z->connection_timeout >= 0 &&
        z->connection_cnt < z->connection_timeout + 3600)
      return act;
    silent++;
    if (z->acc_file) {
      // Time since the reader last received anything, in ticks.
      long long secs = static_cast<long long>(get_zutime()) - zu_file_input_time(z->acc_file);
      if (secs >= 0) {
        long long ticks = secs * 1000 / tick_ms.load();
        if (ticks < silent) silent = static_cast<int>(ticks);
      }
    }
    // The owner may have started on a form meanwhile (-1): that wins.
    int expected = zui_silent(z);
    if (expected >= 0) std::atomic_ref<int>(z->silent_cnt).compare_exchange_strong(expected, silent);
    if (z->a_type != ZUI_ACCEPT && z->mode == ZUI_MODE_OPEN &&
        ((z->silent_timeout >= 0 && silent >= z->silent_timeout) ||
         (z->connection_timeout >= 0 && z->connection_cnt >= z->connection_timeout))) {
      _stop_zui(z, ZUI_F_BREAK);
      time_out_permission();
      _close_input(z);
    }
  }
  return act;
}

void reconnect_task(TKEY) {
  open_self_interpreter();
  {
    ZuThreadScope scope("reconnect");
    lock_task(zui_lock);
    while (rc_head && rc_tasks <= 5) {
      RECONNECT* n = rc_head;
      rc_head = n->next;
      gc_set_nl(n->value, gc_qn_sexp);
      ZU_SEXP* v = n->value;
      unlock_task(zui_lock, "reconnect_task");
      d_f_ree(n);
      get_type(v);
      lock_task(zui_lock);
    }
    rc_tasks--;
    unlock_task(zui_lock, "reconnect_task");
  }
  close_self_interpreter();
}

}  // namespace

// ---- timing

void set_zui_tick_ms(int ms) { tick_ms.store(ms > 0 ? ms : 5000); }
int get_zui_tick_ms() { return tick_ms.load(); }

// ---- D_SEXP

namespace {
// A wait for a delayed value looks at the waiter's break check this often.
constexpr double kDelayStopCheckSeconds = 1.0;
}  // namespace

ZU_SEXP* new_d_sexp(D_SEXP** out) {
  auto* d = static_cast<D_SEXP*>(mmalloc(sizeof(D_SEXP), gc_d_sexp));
  d->h.func = d_sexp_func;
  d->h.gc_func = gc_d_sexp;
  d->h.check_func = check_d_sexp;
  if (out) *out = d;
  return init_delay_func(d);
}

void set_d_sexp(D_SEXP* d, ZU_SEXP* value) {
  lock_task(zui_lock);
  d->ret = value;
  d->flags |= 1;
  wakeup_task(d);
  wake_delay_thread();
  unlock_task(zui_lock, "set_d_sexp");
}

ZU_SEXP* d_sexp_func(ZU_SEXP* delay) {
  auto* d = static_cast<D_SEXP*>(delay->delay.work);
  gc_set(d, gc_d_sexp);
  lock_task(zui_lock);
  while (!(d->flags & 1)) {
    // A stop of the waiter (a cancel, a closed link, the end) ends the
    // wait: its error is the value the waiter gets.
    _i_sleep_task_timeout(d, zui_lock, kDelayStopCheckSeconds, __FILE__, __LINE__);
    if (get_my_zui()) {
      if (ZU_SEXP* stop = do_break_check_now(nullptr)) return stop;
    }
    lock_task(zui_lock);
  }
  ZU_SEXP* v = d->ret;
  unlock_task(zui_lock, "d_sexp_func");
  over_write_sexp(delay, v);
  return delay;
}

int check_d_sexp(void* d, int) {
  lock_task(zui_lock);
  int r = (static_cast<D_SEXP*>(d)->flags & 1) ? 2 : 1;
  unlock_task(zui_lock, "check_d_sexp");
  return r;
}

void gc_d_sexp(void* block) {
  auto* d = static_cast<D_SEXP*>(block);
  if (gc_mark_block(d)) return;
  gc_mark(d->ret, gc_qn_sexp);
}

namespace {
D_SEXP* search_d(ZU_SEXP* s, int depth) {
  for (; s && depth < 1000; s = s->pair.cdr) {
    if (s->h.type == ZU_TYPE_DELAY) {
      STREAM* st;
      void* rec = nullptr;
      if (get_delay_info(&st, &rec, s) == 2 && rec && static_cast<DELAY_FUNC*>(rec)->func == d_sexp_func)
        return static_cast<D_SEXP*>(rec);
      return nullptr;
    }
    if (s->h.type != ZU_TYPE_LIST) return nullptr;
    if (D_SEXP* d = search_d(s->pair.car, depth + 1)) return d;
  }
  return nullptr;
}
}  // namespace

D_SEXP* search_d_sexp(ZU_SEXP* value) {
  MemLock m;
  return search_d(value, 0);
}

// ---- delayed replies

void wake_delay_thread() {
  ++dq_generation;
  // Only a queued reply can become ready: without one nothing needs a look.
  if (dq_head) wakeup_task(&dq_head);
}

void insert_delay_que(ZU_INTERPRETER* zui, int seq, ZU_SEXP* value) {
  auto* e = static_cast<DELAY_ENTRY*>(d_calloc(sizeof(DELAY_ENTRY), 1));
  e->ret = value;
  e->zui = zui;
  e->line = seq;
  lock_task(zui_lock);
  wait_no_search();
  if (zui->flags & ZUI_F_DELAY_NO_MORE) {
    unlock_task(zui_lock, "insert_delay_que");
    d_f_ree(e);
    return;
  }
  zui->delay_que_cnt++;
  if (dq_tail)
    dq_tail->next = e;
  else
    dq_head = e;
  dq_tail = e;
  wake_delay_thread();
  unlock_task(zui_lock, "insert_delay_que");
}

void drop_delay_que(ZU_INTERPRETER* zui) {
  std::vector<DELAY_ENTRY*> dropped;
  lock_task(zui_lock);
  wait_no_search();
  zui->flags |= ZUI_F_DELAY_NO_MORE;
  DELAY_ENTRY* prev = nullptr;
  for (DELAY_ENTRY* e = dq_head; e;) {
    DELAY_ENTRY* next = e->next;
    if (e->zui == zui) {
      if (prev)
        prev->next = next;
      else
        dq_head = next;
      if (dq_tail == e) dq_tail = prev;
      zui->delay_que_cnt--;
      dropped.push_back(e);
    } else {
      prev = e;
    }
    e = next;
  }
  // A reply the delay thread is writing keeps the interpreter alive.
  while (zui->delay_que_cnt > 0) {
    sleep_task(&zui->delay_que_cnt, zui_lock);
    lock_task(zui_lock);
  }
  unlock_task(zui_lock, "drop_delay_que");
  for (DELAY_ENTRY* e : dropped) d_f_ree(e);
}

void delay_thread(TKEY) {
  open_self_interpreter();
  lock_task(zui_lock);
  if (dq_serving) {
    unlock_task(zui_lock, "delay_thread");
    close_self_interpreter();
    return;
  }
  dq_serving = 1;
  unlock_task(zui_lock, "delay_thread");
  {
    ZuThreadScope scope("delay");
    std::vector<DELAY_ENTRY*> seen;
    for (;;) {
      lock_task(zui_lock);
      wait_no_search();
      unsigned gen = dq_generation;
      seen.clear();
      for (DELAY_ENTRY* e = dq_head; e; e = e->next) seen.push_back(e);
      dq_searching = true;
      unlock_task(zui_lock, "delay_thread");
      DELAY_ENTRY* ready = nullptr;
      int answer = 1;
      for (DELAY_ENTRY* e : seen) {
        answer = check_delay(e->ret, 0);
        if (answer != 1) {
          ready = e;
          break;
        }
      }
      lock_task(zui_lock);
      dq_searching = false;
      wakeup_task(&dq_searching);
      if (!ready) {
        if (gen == dq_generation) {
          _i_sleep_task_timeout(&dq_head, zui_lock, 1.0, __FILE__, __LINE__);
        } else {
          unlock_task(zui_lock, "delay_thread");
        }
        continue;
      }
      DELAY_ENTRY* prev = nullptr;
      for (DELAY_ENTRY* e = dq_head; e != ready; e = e->next) prev = e;
      if (prev)
        prev->next = ready->next;
      else
        dq_head = ready->next;
      if (dq_tail == ready) dq_tail = prev;
      gc_push(ready->ret, gc_qn_sexp, "delay");
      if (answer == 0) dq_serving = 0;
      unlock_task(zui_lock, "delay_thread");
      // Forcing may block: another delay thread serves the queue meanwhile.
      if (answer == 0) create_task(delay_thread, nullptr, 4);
      ZU_SEXP* v = ready->ret;
      get_type(v);
      _reply(ready->zui, ready->line, v);
      gc_pop(nullptr, nullptr);
      lock_task(zui_lock);
      ready->zui->delay_que_cnt--;
      zui_set_silent(ready->zui, 0);
      wakeup_task(&ready->zui->delay_que_cnt);
      bool end = false;
      if (answer == 0) {
        if (dq_serving)
          end = true;
        else
          dq_serving = 1;
      }
      unlock_task(zui_lock, "delay_thread");
      d_f_ree(ready);
      if (end) break;
    }
  }
  close_self_interpreter();
}

// ---- tick

void zui_tick() {
  lock_task(zui_lock);
  timeout_lock_function();
  std::vector<int> ids;
  for (int iid = _get_next_iid(0); iid > 0; iid = _get_next_iid(iid)) ids.push_back(iid);
  unlock_task(zui_lock, "zui_tick");
  for (int iid : ids) {
    lock_task(zui_lock);
    ZU_INTERPRETER* z = _search_zui_id(iid);
    TICK_ACTION act;
    if (z) act = _tick_check(z);
    unlock_task(zui_lock, "zui_tick");
    if (act.keepalive && lock_zui_out_no_wait(iid) == 0) {
      lock_task(zui_lock);
      z = _search_zui_id(iid);
      bool live = z && (z->mode == ZUI_MODE_OPEN || probe_output(z));
      STREAM* out = live ? _zui_stream(&ZU_INTERPRETER::out, z) : nullptr;
      unlock_task(zui_lock, "zui_tick");
      if (out) {
        if (s_printf(out, "\n") < 0 || s_flush(out) < 0) {
          lock_task(zui_lock);
          z = _search_zui_id(iid);
          if (z && z->out == out) z->out = nullptr;
          if (z && z->err == out) z->err = nullptr;
          unlock_task(zui_lock, "zui_tick");
          s_close_queue(out);
        }
        s_drop(out);
      }
      unlock_zui_out_iid(iid);
    }
  }
}

void zui_tick_task(TKEY) {
  auto last = std::chrono::steady_clock::now();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20, tick_ms.load())));
    auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(tick_ms.load())) continue;
    last = now;
    zui_tick();
  }
}

void start_interpreter_tasks() {
  create_task(delay_thread, nullptr, 4);
  create_task(zui_tick_task, nullptr, 3);
}

// ---- collector hook

void gc_delay_que() {
  for (DELAY_ENTRY* e = dq_head; e; e = e->next) gc_mark(e->ret, gc_qn_sexp);
  for (RECONNECT* n = rc_head; n; n = n->next) gc_mark(n->value, gc_qn_sexp);
}

// ---- reconnect queue

void sexp_reconnect(ZU_SEXP* value) {
  auto* n = static_cast<RECONNECT*>(d_calloc(sizeof(RECONNECT), 1));
  n->value = value;
  lock_task(zui_lock);
  for (RECONNECT* q = rc_head; q; q = q->next) {
    if (q->value == value) {
      unlock_task(zui_lock, "sexp_reconnect");
      d_f_ree(n);
      return;
    }
  }
  RECONNECT** tail = &rc_head;
  while (*tail) tail = &(*tail)->next;
  *tail = n;
  bool start = rc_tasks < 5;
  if (start) rc_tasks++;
  unlock_task(zui_lock, "sexp_reconnect");
  if (start && create_task(reconnect_task, nullptr, 2) < 0) {
    lock_task(zui_lock);
    rc_tasks--;
    unlock_task(zui_lock, "sexp_reconnect");
  }
}
