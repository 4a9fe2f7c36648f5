#include "runtime/interp.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "runtime/net_ops.h"
#include "runtime/peer_tasks.h"
#include "zu/errcodes.h"
#include "zu/gc.h"
#include "zu/reader.h"

SEM zui_lock = nullptr;
SEM fifo_lock = nullptr;

// A task waiting for a record's output lock. The lock is handed to the
// first waiter directly, and only that waiter is woken: many tasks asking
// over one link would otherwise all wake at every release.
struct OUT_WAITER {
  OUT_WAITER* next;
  int tid;
  bool granted;  // the lock is now this task's
  bool gone;     // the record was closed
};

void (*agent_open_zui)(ZU_INTERPRETER* zui) = nullptr;
void (*agent_close_zui)(ZU_INTERPRETER* zui) = nullptr;
std::atomic<void (*)(int iid)> zui_closed_hook{nullptr};

namespace {

constexpr int kBuckets = 20;

// Filled before init_interpreter, read only afterwards.
const ZUI_THREAD_OPS* thread_ops = nullptr;
std::atomic<int> permission_wait_seconds{120};

// Guarded by zui_lock.
ZU_INTERPRETER* zui_table[kBuckets];
ZU_THREAD* thread_table[kBuckets];
uint32_t iid_counter = 1;
uint32_t peer_counter = 0;  // the last ZU_INTERPRETER::peer_id given
ZU_INTERPRETER* main_interpreter = nullptr;
int main_state = 0;
bool end_begun = false;   // the agent's end has begun (interp.h)
bool end_runner = false;  // a runner ends the program in steps

// Sleepers on the table wait here.
const void* table_key() { return &zui_table; }

constexpr PRI_CTL kZuiCeiling{4};

int bucket(uint32_t id) { return static_cast<int>(id % kBuckets); }
int tbucket(int tid) { return ((tid % kBuckets) + kBuckets) % kBuckets; }

void lock_zui() { lock_task(zui_lock); }
void unlock_zui(const char* label) { unlock_task(zui_lock, label); }

void free_texts(ZU_INTERPRETER* zui) {
  d_f_ree(zui->msg);
  d_f_ree(zui->hostname);
  d_f_ree(zui->input_file_name);
  d_f_ree(zui->output_file_name);
  d_f_ree(zui->error_file_name);
  zui->msg = zui->hostname = nullptr;
  zui->input_file_name = zui->output_file_name = zui->error_file_name = nullptr;
}

void free_auth_tick(void* set) { free_auth_connection_set(static_cast<AUTH_CONNECTION_SET*>(set)); }

// Takes the output lock with zui_lock held; returns with it held (also when
// the record was closed meanwhile: iid then names no record, or `gone`).
void _lock_out(ZU_INTERPRETER* zui, int iid, int me) {
  assert_lock_held(zui_lock);
  if (zui->out_lock == 0 || zui->out_lock_task == me) {
    zui->out_lock++;
    zui->out_lock_task = me;
    return;
  }
  OUT_WAITER w{nullptr, me, false, false};
  OUT_WAITER** tail = &zui->out_waiters;
  while (*tail) tail = &(*tail)->next;
  *tail = &w;
  for (;;) {
    sleep_task(&w, zui_lock);
    lock_zui();
    if (w.granted || w.gone) return;
    // Spurious return: still queued.
    if (iid && _search_zui_id(iid) != zui) return;
  }
}

void _unlock_out(ZU_INTERPRETER* zui, int me) {
  assert_lock_held(zui_lock);
  if (zui->out_lock <= 0 || zui->out_lock_task != me) return;
  if (--zui->out_lock > 0) return;
  if (OUT_WAITER* w = zui->out_waiters) {
    zui->out_waiters = w->next;
    zui->out_lock = 1;
    zui->out_lock_task = w->tid;
    w->granted = true;
    wakeup_task(w);
  } else {
    zui->out_lock_task = 0;
  }
}

// The record is being freed: every waiter for its output lock gives up.
void _release_out_waiters(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  while (OUT_WAITER* w = zui->out_waiters) {
    zui->out_waiters = w->next;
    w->gone = true;
    wakeup_task(w);
  }
}

// Visits the interpreters in table order while visit(z) answers true:
// false when a visit stopped the walk.
template <class Visit>
bool _walk_table(Visit visit) {
  assert_lock_held(zui_lock);
  for (auto* head : zui_table)
    for (ZU_INTERPRETER* z = head; z; z = z->next)
      if (!visit(z)) return false;
  return true;
}

// Ids of every interpreter in table order.
std::vector<int> _all_iids() {
  std::vector<int> ids;
  _walk_table([&ids](const ZU_INTERPRETER* z) {
    ids.push_back(static_cast<int>(z->id));
    return true;
  });
  return ids;
}

// Writes text to the record's output under its output lock, outside the
// table lock; false when the write failed or there is no output.
bool write_out(ZU_INTERPRETER* zui, const char* text) {
  lock_zui_out(zui);
  lock_zui();
  STREAM* out = _zui_stream(&ZU_INTERPRETER::out, zui);
  unlock_zui("write_out");
  bool ok = out && s_printf(out, "%s", text) >= 0 && s_flush(out) >= 0;
  s_drop(out);
  unlock_zui_out(zui);
  return ok;
}

// An outgoing connection writes the line end that announces a line link
// and waits for the peer's permission answer. The iid or -5/-6/-7; with -5
// errno tells a peer that hung up first (ECONNRESET) from one that gave no
// valid answer in time (ETIMEDOUT). The record stays while
// ZUI_F_WAIT_PERMISSION is set: a final close waits for it to be cleared.
int permission_wait(ZU_INTERPRETER* zui, int iid) {
  write_out(zui, "\n");
  lock_zui();
  const int wait = zui->permission_wait > 0 ? zui->permission_wait : get_permission_wait();
  zui->open_timeout = get_zutime() + static_cast<uint32_t>(wait);
  while (!(zui->flags & ZUI_F_ANSWER_MASK)) {
    sleep_task(&zui->flags, zui_lock);
    lock_zui();
  }
  int answer = zui->flags & ZUI_F_ANSWER_MASK;
  int result = iid;
  if (answer != ZUI_F_ANSWER_ALLOW) {
    STREAM* inp = zui->inp;
    STREAM* out = zui->out;
    zui->inp = nullptr;
    zui->out = nullptr;
    if (zui->err == inp || zui->err == out) zui->err = nullptr;
    if (inp) s_close_queue(inp);
    if (out && out != inp) s_close_queue(out);
    result = answer == ZUI_F_ANSWER_DENIED ? ZUI_ERR_DENIED
             : answer == ZUI_F_ANSWER_BUSY ? ZUI_ERR_BUSY
                                           : ZUI_ERR_CONNECT;
  } else if (CODE_METHOD* cm = zui->out ? s_get_cm(zui->out) : nullptr) {
    char sync[32];
    std::snprintf(sync, sizeof sync, "&cx%x;\n", static_cast<unsigned>(cm->lccode));
    unlock_zui("permission_wait");
    write_out(zui, sync);
    lock_zui();
  }
  zui->flags &= ~ZUI_F_CODE_SYNC;
  zui->open_timeout = 0;
  // A final close may be waiting for this: the record is not touched after.
  zui->flags &= ~ZUI_F_WAIT_PERMISSION;
  wakeup_task(&zui->flags);
  unlock_zui("permission_wait");
  if (result == ZUI_ERR_CONNECT) errno = answer == ZUI_F_ANSWER_CLOSED ? ECONNRESET : ETIMEDOUT;
  return result;
}

// The streams the record is registered with each get one reference.
void _hold_streams(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  STREAM* all[3] = {zui->inp, zui->out, zui->err};
  int n = 0;
  for (STREAM* st : all) {
    bool seen = false;
    for (int i = 0; i < n; ++i) seen |= zui->held[i] == st;
    if (st && !seen) {
      s_hold(st);
      zui->held[n++] = st;
    }
  }
}

// Whether z is a link the agent opened for the peer that reaches it by the
// record numbered peer_id (zui_lock held).
bool _opened_for(const ZU_INTERPRETER* z, uint32_t peer_id) {
  assert_lock_held(zui_lock);
  return peer_id != 0 && z->a_type == ZUI_CONNECT && !z->accepted && z->origin.for_peer &&
         z->origin.peer_id == peer_id && z->peer_id != peer_id;
}

// Whether z is a peer's: a listener (where peers come in), a connection a
// peer opened, or what a peer had the agent open.
bool _peers(const ZU_INTERPRETER* z) { return z->a_type == ZUI_ACCEPT || z->accepted || z->origin.for_peer; }

// Ids of the interpreters, the internal ones aside, that `pick` picks: for
// visits that give the table lock up, as closing one does.
template <class Pick>
std::vector<int> _picked(Pick pick) {
  std::vector<int> ids;
  _walk_table([&ids, &pick](const ZU_INTERPRETER* z) {
    if (z->a_type != ZUI_SELF && pick(z)) ids.push_back(static_cast<int>(z->id));
    return true;
  });
  return ids;
}

// Stops at the first interpreter that is not internal: no list is made on
// the wake-ups of the waits for the end.
bool _only_internal() {
  return _walk_table([](const ZU_INTERPRETER* z) { return z->a_type == ZUI_SELF; });
}

// The end begins: peers' tasks stop at their next break check, and what
// they came or were served by stops reading; with scripts the agent's own
// script interpreters stop too (before their next form, their input left
// as it is), everything but its own links. Nothing here waits (an
// interrupt runs it on the signal thread): the queries of those stopped
// are woken, not cancelled at their servers, whose links close at the
// shut-down.
void _begin_end(bool scripts) {
  assert_lock_held(zui_lock);
  if (!end_begun) {
    end_begun = true;
    wakeup_task(table_key());
  }
  // Nothing in the visit gives the table lock up, so the table is walked
  // as it stands.
  _walk_table([scripts](ZU_INTERPRETER* z) {
    if (z->a_type == ZUI_SELF || !(_peers(z) || (scripts && !_own_link(z)))) return true;
    if (z->mode == ZUI_MODE_CLOSED || (z->flags & ZUI_F_BREAK)) return true;
    _stop_zui(z, ZUI_F_BREAK);
    thread_ops->_wake_queries(z);
    if (_peers(z)) _close_input(z);
    return true;
  });
}

// Only internal interpreters may open from here on; every other closes.
// Run right after _begin_end, which has marked the end begun.
void _shut_down() {
  assert_lock_held(zui_lock);
  main_state = 2;
  for (int iid : _picked([](const ZU_INTERPRETER*) { return true; })) _close_interpreter(iid);
}

// Whether the record numbered peer_id still reads its input (zui_lock held).
bool _input_open(uint32_t peer_id) {
  assert_lock_held(zui_lock);
  for (auto* head : zui_table)
    for (ZU_INTERPRETER* z = head; z; z = z->next)
      if (z->peer_id == peer_id) return z->mode == ZUI_MODE_OPEN;
  return false;
}

}  // namespace

bool _own_link(const ZU_INTERPRETER* z) { return z->a_type == ZUI_CONNECT && !_peers(z); }

int zui_push_pri() { return push_pri_pctl(&kZuiCeiling); }
void zui_pop_pri(int prev) { change_pri(0, prev); }

void set_zui_thread_ops(const ZUI_THREAD_OPS* ops) { thread_ops = ops; }
void serve_link_requests(ZU_INTERPRETER* zui) { thread_ops->serve_requests(zui); }

void set_permission_wait(int seconds) { permission_wait_seconds.store(seconds); }
int get_permission_wait() { return permission_wait_seconds.load(); }

void init_interpreter() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!thread_ops) er_panic("init_interpreter: no thread operations");
    zui_lock = new_lock(LOCK_ZUI);
    fifo_lock = new_lock(LOCK_FIFO);
    init_parse_lock();
    iid_counter = 1;
    thread_ops->start();
    init_http_agent();
    init_authentificaition(qnlisp_top_env0);
  });
}

ZU_INTERPRETER* xx_new_zu_interpreter(const char* file, int line) {
  auto* zui = static_cast<ZU_INTERPRETER*>(xx_d_calloc(sizeof(ZU_INTERPRETER), 1, file, line));
  zui->port = 9090;
  zui->port_limit = 1;
  zui->max_connection = 10;
  zui->accept_interval = 10;
  zui->proxy_type = 64;
  zui->result_flag = 1;
  zui->desc_type = 2;
  zui->connection_timeout = -1;
  zui->silent_timeout = -1;
  zui->inp_desc = zui->out_desc = zui->err_desc = -1;
  zui->origin = eval_origin_handed();
  zui->__file = file;
  zui->__line = line;
  return zui;
}

bool may_act_on_zui(int iid) {
  if (!evaluates_for_peer()) return true;
  uint32_t me = eval_origin().peer_id;
  lock_task(zui_lock);
  ZU_INTERPRETER* z = _search_zui_id(iid);
  bool ok = !z || may_act_for(z->origin) || (me != 0 && z->peer_id == me);
  unlock_task(zui_lock, "may_act_on_zui");
  return ok;
}

EVAL_ORIGIN link_origin(const ZU_INTERPRETER* zui) {
  if (zui->origin.for_peer) return zui->origin;
  return zui->a_type == ZUI_CONNECT ? peer_origin(zui->connect_ip, zui->peer_id) : kAgentOrigin;
}

EVAL_ORIGIN _form_origin(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  EVAL_ORIGIN o = link_origin(zui);
  o.cause_iid = zui->id;
  o.cause_form = ++zui->forms;
  return o;
}

void _stop_zui(ZU_INTERPRETER* zui, int flag) {
  assert_lock_held(zui_lock);
  zui->flags |= flag;
  if (flag & ZUI_F_CANCEL)
    zui->cancelled[zui->cancelled_next++ % std::size(zui->cancelled)] = zui->forms;
}

uint32_t _cause_stopped(const EVAL_ORIGIN& origin) {
  assert_lock_held(zui_lock);
  if (!origin.cause_iid) return 0;
  const ZU_INTERPRETER* z = _search_zui_id(static_cast<int>(origin.cause_iid));
  if (!z || z->mode == ZUI_MODE_CLOSED) return end_begun || origin.for_peer ? ZU_ER_EXIT : 0;
  if (z->flags & ZUI_F_BREAK) return ZU_ER_EXIT;
  const bool cancelled = std::find(std::begin(z->cancelled), std::end(z->cancelled), origin.cause_form) !=
                         std::end(z->cancelled);
  return cancelled && origin.cause_form ? ZU_ER_CANCEL : 0;
}

void free_zu_interpreter(ZU_INTERPRETER* zui) {
  if (!zui) return;
  give_address_tasks(zui->peer_tasks_ip, zui->peer_tasks);
  give_address_links(zui->peer_tasks_ip, zui->peer_links);
  free_texts(zui);
  free_permission_list(zui);
  if (zui->auth_c_set) free_auth_connection_set(zui->auth_c_set);
  d_f_ree(zui);
}

int setup_zu_interpreter(ZU_INTERPRETER* zui) {
  if (zui->a_type != ZUI_ACCEPT) {
    zui->fifo_head = zui->fifo_tail = nullptr;
    zui->result_head = nullptr;
    zui->mode = ZUI_MODE_OPEN;
    zui->front_thread = zui->relay_thread = 0;
    zui->silent_cnt = -1;
    zui->connection_cnt = 0;
    zui->fifo_cnt = 0;
    zui->fifo_bytes = 0;
    zui->fifo_eof = zui->fifo_closed = 0;
  }
  if (zui->connection_timeout == -1) zui->connection_timeout = zui->a_type == ZUI_CONNECT ? 7200 : -1;

  int pri = zui_push_pri();
  lock_zui();
  // Once the end has begun, no peer's link opens; the agent's own may
  // until the shut-down (the end closes the matrices over them).
  if (zui->a_type != ZUI_SELF && (main_state == 2 || (end_begun && _peers(zui)))) {
    unlock_zui("setup_zu_interpreter");
    zui_pop_pri(pri);
    return ZUI_ERR_SHUTDOWN;
  }
  // What a peer had the agent open closes with its own link (the close
  // finds only what is registered): a link whose set-up outlived it is
  // refused.
  if (_opened_for(zui, zui->origin.peer_id) && !_input_open(zui->origin.peer_id)) {
    unlock_zui("setup_zu_interpreter");
    zui_pop_pri(pri);
    return ZUI_ERR_PEER_LIMIT;
  }
  // The next free iid; the counter wraps to 1 when it turns negative.
  uint32_t id = iid_counter;
  for (;;) {
    if (static_cast<int32_t>(id) <= 0) id = 1;
    if (!_search_zui_id(static_cast<int>(id))) break;
    ++id;
  }
  iid_counter = id + 1;
  if (static_cast<int32_t>(iid_counter) <= 0) iid_counter = 1;
  zui->id = id;
  if (++peer_counter == 0) ++peer_counter;
  zui->peer_id = peer_counter;
  // A connection a peer opened to a listener is that peer's in all it
  // causes.
  if (zui->accepted) zui->origin = peer_origin(zui->connect_ip, zui->peer_id);
  zui->next = zui_table[bucket(id)];
  zui_table[bucket(id)] = zui;
  note_peer_link(zui->peer_id, true);

  if (zui->out) s_set_cr(zui->out, 1);
  if (zui->err && zui->err != zui->out) s_set_cr(zui->err, 1);
  zui->result_list = nullptr;
  zui->inp_interpreter = nullptr;
  zui->inp_line = 0;
  zui->accept_lock = 0;
  zui->accept_last_dec = get_zutime();
  zui->auth_c_set = new_auth_connection_set(zui);
  _hold_streams(zui);

  if (zui->a_type != ZUI_SELF && main_state == 0) {
    main_interpreter = zui;
    main_state = 1;
  }

  int iid = static_cast<int>(id);
  int result = iid;
  if (zui->a_type == ZUI_SELF) {
    zui->front_thread = get_tid();
    _register_zui_thread(zui, zui->front_thread);
  } else if (thread_ops->_start_threads(zui) < 0) {
    result = ZUI_ERR_STREAM;
  }
  if (result > 0 && agent_open_zui) agent_open_zui(zui);
  // An accepted link's front thread writes its line end and admission.
  bool wait = result > 0 && zui->a_type == ZUI_CONNECT && (zui->flags & ZUI_F_WAIT_PERMISSION);
  unlock_zui("setup_zu_interpreter");
  if (wait) result = permission_wait(zui, result);
  const int why = errno;
  zui_pop_pri(pri);
  errno = why;
  return result;
}

STREAM* _zui_stream(STREAM* ZU_INTERPRETER::*field, ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  STREAM* st = zui->*field;
  s_hold(st);
  return st;
}

// ---- look-ups

ZU_INTERPRETER* _search_zui_id(int iid) {
  assert_lock_held(zui_lock);
  if (iid <= 0) return nullptr;
  for (ZU_INTERPRETER* z = zui_table[bucket(static_cast<uint32_t>(iid))]; z; z = z->next)
    if (z->id == static_cast<uint32_t>(iid)) return z;
  return nullptr;
}

ZU_INTERPRETER* search_zui_id(int iid) {
  lock_zui();
  ZU_INTERPRETER* z = _search_zui_id(iid);
  unlock_zui("search_zui_id");
  return z;
}

int check_iid(int iid) {
  lock_zui();
  ZU_INTERPRETER* z = _search_zui_id(iid);
  int r = z && z->mode == ZUI_MODE_OPEN ? 1 : 0;
  unlock_zui("check_iid");
  return r;
}

ZU_THREAD* _search_zui_thread(int tid) {
  assert_lock_held(zui_lock);
  for (ZU_THREAD* t = thread_table[tbucket(tid)]; t; t = t->next)
    if (t->tid == tid) return t;
  return nullptr;
}

void _register_zui_thread(ZU_INTERPRETER* zui, int tid) {
  assert_lock_held(zui_lock);
  if (ZU_THREAD* t = _search_zui_thread(tid)) {
    t->zui = zui;
    return;
  }
  auto* t = static_cast<ZU_THREAD*>(d_alloc(sizeof(ZU_THREAD)));
  t->tid = tid;
  t->zui = zui;
  t->next = thread_table[tbucket(tid)];
  thread_table[tbucket(tid)] = t;
}

void _delete_zui_thread(int tid) {
  assert_lock_held(zui_lock);
  for (ZU_THREAD** p = &thread_table[tbucket(tid)]; *p; p = &(*p)->next) {
    if ((*p)->tid == tid) {
      ZU_THREAD* t = *p;
      *p = t->next;
      d_f_ree(t);
      return;
    }
  }
}

ZU_INTERPRETER* _get_my_zui() {
  assert_lock_held(zui_lock);
  ZU_THREAD* t = _search_zui_thread(get_tid());
  return t ? t->zui : nullptr;
}

ZU_INTERPRETER* get_my_zui() {
  lock_zui();
  ZU_INTERPRETER* z = _get_my_zui();
  unlock_zui("get_my_zui");
  return z;
}

int get_my_iid() {
  lock_zui();
  ZU_INTERPRETER* z = _get_my_zui();
  int iid = z ? static_cast<int>(z->id) : -1;
  unlock_zui("get_my_iid");
  return iid;
}

int get_main_interpreter() {
  lock_zui();
  int iid = main_interpreter ? static_cast<int>(main_interpreter->id) : -1;
  unlock_zui("get_main_interpreter");
  return iid;
}

int set_main_interpreter(int iid) {
  lock_zui();
  ZU_INTERPRETER* z = iid < 0 ? nullptr : _search_zui_id(iid);
  if (iid < 0 || z) main_interpreter = z;
  unlock_zui("set_main_interpreter");
  return iid < 0 || z ? 0 : -1;
}

int get_main_interpreter_state() {
  lock_zui();
  int s = main_state;
  unlock_zui("get_main_interpreter_state");
  return s;
}

int get_zui_info(ZU_INTERPRETER* buffer, int iid) {
  lock_zui();
  ZU_INTERPRETER* z = iid == 0 ? _get_my_zui() : _search_zui_id(iid);
  if (z) std::memcpy(buffer, z, sizeof *z);
  unlock_zui("get_zui_info");
  return z ? 0 : -1;
}

int get_c_timeout(int iid) {
  lock_zui();
  ZU_INTERPRETER* z = _search_zui_id(iid);
  int r = z ? z->connection_timeout : -1;
  unlock_zui("get_c_timeout");
  return r;
}

int set_c_timeout(int iid, int ticks) {
  lock_zui();
  ZU_INTERPRETER* z = _search_zui_id(iid);
  int r = -1;
  if (z) {
    r = z->connection_timeout;
    z->connection_timeout = ticks;
  }
  unlock_zui("set_c_timeout");
  return r;
}

void send_code_sync(int iid) {
  lock_zui();
  if (ZU_INTERPRETER* z = _search_zui_id(iid)) z->flags |= ZUI_F_CODE_SYNC;
  unlock_zui("send_code_sync");
}

int _get_next_iid(int iid) {
  assert_lock_held(zui_lock);
  std::vector<int> ids = _all_iids();
  if (ids.empty()) return 0;
  if (iid <= 0) return ids.front();
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i] == iid) return i + 1 < ids.size() ? ids[i + 1] : 0;
  return 0;
}

int get_next_iid(int iid) {
  lock_zui();
  int r = _get_next_iid(iid);
  unlock_zui("get_next_iid");
  return r;
}

int get_launch_interpreter_nos() {
  lock_zui();
  int n = 0;
  for (auto* head : zui_table)
    for (ZU_INTERPRETER* z = head; z; z = z->next)
      if (z->mode == ZUI_MODE_OPEN) ++n;
  unlock_zui("get_launch_interpreter_nos");
  return n;
}

void a_set_t_msg(const char* msg) { set_t_msg(msg); }

// ---- output lock
// Each take and give-back is noted as a hold of the calling thread
// (note_task_hold): a refused allocation never unwinds past the unlock.

void lock_zui_out(ZU_INTERPRETER* zui) {
  int pri = zui_push_pri();
  lock_zui();
  _lock_out(zui, 0, get_tid());
  unlock_zui("lock_zui_out");
  zui_pop_pri(pri);
  note_task_hold(1);
}

void unlock_zui_out(ZU_INTERPRETER* zui) {
  lock_zui();
  _unlock_out(zui, get_tid());
  unlock_zui("unlock_zui_out");
  note_task_hold(-1);
}

void _lock_zui_out(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  _lock_out(zui, 0, get_tid());
  note_task_hold(1);
}

void _unlock_zui_out(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  _unlock_out(zui, get_tid());
  note_task_hold(-1);
}

void lock_zui_out_iid(int iid) {
  int pri = zui_push_pri();
  lock_zui();
  if (ZU_INTERPRETER* z = _search_zui_id(iid)) _lock_out(z, iid, get_tid());
  unlock_zui("lock_zui_out_iid");
  zui_pop_pri(pri);
  note_task_hold(1);
}

void unlock_zui_out_iid(int iid) {
  lock_zui();
  if (ZU_INTERPRETER* z = _search_zui_id(iid)) _unlock_out(z, get_tid());
  unlock_zui("unlock_zui_out_iid");
  note_task_hold(-1);
}

int lock_zui_out_no_wait(int iid) {
  lock_zui();
  ZU_INTERPRETER* z = _search_zui_id(iid);
  int me = get_tid();
  int r = -1;
  if (z) {
    if (z->out_lock == 0 || z->out_lock_task == me) {
      z->out_lock++;
      z->out_lock_task = me;
      r = 0;
      note_task_hold(1);
    } else {
      r = -2;
    }
  }
  unlock_zui("lock_zui_out_no_wait");
  return r;
}

void zui_page_feed(int iid) {
  lock_zui_out_iid(iid);
  lock_zui();
  ZU_INTERPRETER* z = _search_zui_id(iid);
  STREAM* out = z ? _zui_stream(&ZU_INTERPRETER::out, z) : nullptr;
  unlock_zui("zui_page_feed");
  if (out) {
    s_printf(out, "\f\n");
    s_set_cr(out, 1);
    s_flush(out);
    s_drop(out);
  }
  unlock_zui_out_iid(iid);
}

// ---- closing

int _close_interpreter(int iid) {
  assert_lock_held(zui_lock);
  ZU_INTERPRETER* zui = _search_zui_id(iid);
  if (!zui || zui->mode == ZUI_MODE_CLOSED) return -1;
  if (zui->result_head) {
    // Let the collector drop the queries nobody waits for any more.
    unlock_zui("_close_interpreter");
    gc_tick_notin_tick(0);
    lock_zui();
    zui = _search_zui_id(iid);
    if (!zui || zui->mode == ZUI_MODE_CLOSED) return -1;
  }
  _stop_zui(zui, ZUI_F_BREAK);
  // The servers of the queries this interpreter waits for are told to stop;
  // the writes happen outside the lock, under each server's output lock.
  std::vector<int> servers = thread_ops->_wake_queries(zui);
  if (!servers.empty()) {
    unlock_zui("_close_interpreter");
    for (int sid : servers) thread_ops->write_cancel(sid);
    lock_zui();
    zui = _search_zui_id(iid);
    if (!zui || zui->mode == ZUI_MODE_CLOSED) return 0;
  }
  _close_input(zui);
  return 0;
}

int close_interpreter(int iid) {
  int pri = zui_push_pri();
  lock_zui();
  int r = _close_interpreter(iid);
  ZU_INTERPRETER* z = _search_zui_id(iid);
  // The caller's own interpreter cannot end while the caller waits in it.
  if (r == 0 && z && z != _get_my_zui()) {
    while ((z = _search_zui_id(iid)) && z->mode != ZUI_MODE_CLOSED) {
      sleep_task(z, zui_lock);
      lock_zui();
    }
  }
  unlock_zui("close_interpreter");
  zui_pop_pri(pri);
  return r;
}

int close_interpreter_nowait(int iid) {
  int pri = zui_push_pri();
  lock_zui();
  int r = _close_interpreter(iid);
  unlock_zui("close_interpreter_nowait");
  zui_pop_pri(pri);
  return r;
}

int open_self_interpreter(bool own_env) {
  ZU_INTERPRETER* z = new_zu_interpreter();
  z->a_type = ZUI_SELF;
  z->env = qnlisp_top_env1;
  z->environment = own_env ? 1 : 0;
  return setup_i(z);
}

void _close_input(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  STREAM* inp = zui->inp;
  if (zui->out == inp) zui->out = nullptr;
  if (zui->err == inp) zui->err = nullptr;
  zui->inp = nullptr;
  if (inp) s_close_queue(inp);
}

SelfInterpreterScope::SelfInterpreterScope() {
  if (!lock_up_test(zui_lock)) return;
  ready_ = get_my_zui() != nullptr;
  if (!ready_) ready_ = own_ = open_self_interpreter() > 0;
}

SelfInterpreterScope::~SelfInterpreterScope() {
  if (own_) close_self_interpreter();
}

void close_self_interpreter() {
  gc_check_no_frames("close_self_interpreter");
  int pri = zui_push_pri();
  lock_zui();
  int tid = get_tid();
  if (ZU_INTERPRETER* z = _get_my_zui()) _close_zu_interpreter(z);
  _delete_zui_thread(tid);
  unlock_zui("close_self_interpreter");
  zui_pop_pri(pri);
  close_thread_area();
}

void _close_all_interpreter() {
  assert_lock_held(zui_lock);
  _wait_rs_queue();
  ZU_INTERPRETER* me = _get_my_zui();
  for (int iid : _all_iids()) {
    ZU_INTERPRETER* z = _search_zui_id(iid);
    if (z && z->a_type != ZUI_SELF && z != me) _close_interpreter(iid);
  }
}

void close_all_interpreter() {
  int pri = zui_push_pri();
  lock_zui();
  _close_all_interpreter();
  if (ZU_INTERPRETER* me = _get_my_zui()) _close_interpreter(static_cast<int>(me->id));
  unlock_zui("close_all_interpreter");
  zui_pop_pri(pri);
}

void _close_zu_interpreter(ZU_INTERPRETER* zui) {
  assert_lock_held(zui_lock);
  // Without a runner, the main interpreter's end closes every link, among
  // them those that carry the session requests its script left in flight:
  // their replies come first (a runner waits for them itself).
  if (zui == main_interpreter && !end_runner) _wait_rs_queue();
  // A connecting set-up still waiting for the peer's answer is told that
  // the interpreter closed, and finishes before the record goes.
  while (zui->flags & ZUI_F_WAIT_PERMISSION) {
    int answer = zui->flags & ZUI_F_ANSWER_MASK;
    if (answer == 0 || answer == ZUI_F_ANSWER_ALLOW)
      zui->flags = (zui->flags & ~ZUI_F_ANSWER_MASK) | ZUI_F_ANSWER_CLOSED;
    wakeup_task(&zui->flags);
    sleep_task(&zui->flags, zui_lock);
    lock_zui();
  }
  // Forms a peer queued after the relay's last look, and queries that
  // still wait on this link, are given up here: what a peer sent never
  // stops the process.
  thread_ops->_release(zui);
  zui->mode = ZUI_MODE_CLOSED;

  STREAM* out = zui->out;
  STREAM* err = zui->err;
  zui->inp = zui->out = zui->err = nullptr;
  if (out) s_close_queue(out);
  if (err && err != out) s_close_queue(err);
  for (STREAM*& st : zui->held) {
    s_drop(st);
    st = nullptr;
  }
  _release_out_waiters(zui);
  wakeup_task(&zui->out);

  free_texts(zui);
  if (zui->auth_c_set) new_tick(free_auth_tick, -1, zui->auth_c_set);
  zui->auth_c_set = nullptr;

  ZU_INTERPRETER** p = &zui_table[bucket(zui->id)];
  while (*p && *p != zui) p = &(*p)->next;
  if (!*p) er_panic("_close_zu_interpreter(2)");
  *p = zui->next;
  note_peer_link(zui->peer_id, false);
  free_permission_list(zui);

  bool was_main = zui == main_interpreter;
  void* key = zui;
  int iid = static_cast<int>(zui->id);
  give_address_tasks(zui->peer_tasks_ip, zui->peer_tasks);
  give_address_links(zui->peer_tasks_ip, zui->peer_links);
  d_f_ree(zui);
  if (auto hook = zui_closed_hook.load()) hook(iid);

  if (was_main) {
    main_interpreter = nullptr;
    _begin_end(false);
    if (!end_runner) _shut_down();
  }
  wakeup_task(key);
  wakeup_task(table_key());
}

void close_links_opened_for(uint32_t peer_id) {
  int pri = zui_push_pri();
  lock_zui();
  for (int iid : _all_iids()) {
    ZU_INTERPRETER* z = _search_zui_id(iid);
    if (z && _opened_for(z, peer_id)) _close_interpreter(iid);
  }
  unlock_zui("close_links_opened_for");
  zui_pop_pri(pri);
}

bool give_way_interpreter(int ip, bool line_link) {
  int pri = zui_push_pri();
  lock_zui();
  // The longest open is the one registered first (peer ids grow). One
  // whose peer has sent its end still evaluates what it queued, on its
  // relay, and counts until that ends: it gives way as an open one does,
  // its evaluation stopped at its next check. One already stopped, or whose
  // relay has ended, is on its way out.
  ZU_INTERPRETER* victim = nullptr;
  _walk_table([&](ZU_INTERPRETER* z) {
    bool counts = z->peer_tasks_ip == ip && (line_link ? z->peer_links > 0 : z->peer_tasks > 0);
    bool running = z->mode == ZUI_MODE_OPEN || z->mode == ZUI_MODE_FRONT_ENDING || z->mode == ZUI_MODE_FRONT_ENDED;
    if (counts && running && !(z->flags & ZUI_F_BREAK) && (!victim || z->peer_id < victim->peer_id)) victim = z;
    return true;
  });
  if (victim) {
    give_address_tasks(ip, victim->peer_tasks);
    give_address_links(ip, victim->peer_links);
    victim->peer_tasks = victim->peer_links = 0;
    _close_interpreter(static_cast<int>(victim->id));
  }
  unlock_zui("give_way_interpreter");
  zui_pop_pri(pri);
  return victim != nullptr;
}

bool wait_stop_interpreter(int iid, double seconds) {
  lock_zui();
  const bool closed = _sleep_task_while(_search_zui_id(iid), zui_lock, seconds, [iid] {
    ZU_INTERPRETER* z = _search_zui_id(iid);
    return z && z->mode != ZUI_MODE_CLOSED;
  });
  unlock_zui("wait_stop_interpreter");
  return closed;
}

// ---- the agent's end

void set_end_runner() {
  lock_zui();
  end_runner = true;
  unlock_zui("set_end_runner");
}

bool end_runner_set() {
  lock_zui();
  const bool set = end_runner;
  unlock_zui("end_runner_set");
  return set;
}

bool _agent_ending() {
  assert_lock_held(zui_lock);
  return end_begun;
}

void begin_agent_end(bool scripts) {
  int pri = zui_push_pri();
  lock_zui();
  _begin_end(scripts);
  unlock_zui("begin_agent_end");
  zui_pop_pri(pri);
}

void wait_agent_end() {
  lock_zui();
  while (!end_begun && !_only_internal()) {
    sleep_task(table_key(), zui_lock);
    lock_zui();
  }
  unlock_zui("wait_agent_end");
}

void shut_down_interpreters() {
  int pri = zui_push_pri();
  lock_zui();
  _begin_end(false);
  _shut_down();
  _sleep_task_while(table_key(), zui_lock, kEndStopWaitSeconds, [] { return !_only_internal(); });
  unlock_zui("shut_down_interpreters");
  zui_pop_pri(pri);
}

void wait_stop_all() {
  for (;;) {
    wait_rs_queue();
    lock_zui();
    if (_only_internal()) {
      unlock_zui("wait_stop_all");
      return;
    }
    sleep_task(table_key(), zui_lock);
  }
}

// ---- permission lists

PERMISSION_LIST* new_permission_list(ZU_INTERPRETER* zui, ZU_SEXP* list) {
  auto* e = static_cast<PERMISSION_LIST*>(d_calloc(sizeof(PERMISSION_LIST), 1));
  init_access_permission(&e->ap);
  for (ZU_SEXP* p = list; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* s = p->pair.car;
    if (get_type(s) != ZU_TYPE_STRING) continue;
    auto* m = static_cast<PERMISSION_MODE*>(d_alloc(sizeof(PERMISSION_MODE)));
    m->str = ll_copy_str(str_text(s));
    m->next = e->mode;
    e->mode = m;
  }
  lock_zui();
  if (zui->pl_tail)
    zui->pl_tail->next = e;
  else
    zui->pl_head = e;
  zui->pl_tail = e;
  unlock_zui("new_permission_list");
  return e;
}

PERMISSION_LIST* _check_permission_list(ZU_INTERPRETER* zui, int ip) {
  assert_lock_held(zui_lock);
  PERMISSION_LIST* e = zui->pl_head;
  while (e && !check_permission(&e->ap, ip, 0)) e = e->next;
  return e;
}

PERMISSION_LIST* check_permission_list(ZU_INTERPRETER* zui, int ip) {
  lock_zui();
  PERMISSION_LIST* e = _check_permission_list(zui, ip);
  unlock_zui("check_permission_list");
  return e;
}

void free_permission_list(ZU_INTERPRETER* zui) {
  PERMISSION_LIST* e = zui->pl_head;
  zui->pl_head = zui->pl_tail = nullptr;
  while (e) {
    PERMISSION_LIST* next = e->next;
    free_access_list(&e->ap);
    for (PERMISSION_MODE* m = e->mode; m;) {
      PERMISSION_MODE* mn = m->next;
      d_f_ree(m->str);
      d_f_ree(m);
      m = mn;
    }
    d_f_ree(e);
    e = next;
  }
}

// ---- collector support

void gc_interpreter() {
  for (auto* head : zui_table) {
    for (ZU_INTERPRETER* z = head; z; z = z->next) {
      if (z->env) gc_mark(z->env, gc_qnlisp_env);
      if (z->acc_file) gc_mark(z->acc_file, gc_qn_file);
      thread_ops->gc_record(z);
    }
  }
}

void test_thread() {
  lock_zui();
  for (auto* head : thread_table)
    for (ZU_THREAD* t = head; t; t = t->next)
      ss_printf("thread %i %i %i - %i\n", t->tid, t->zui ? static_cast<int>(t->zui->id) : 0,
                t->zui ? t->zui->a_type : 0, t->zui ? t->zui->mode : 0);
  ss_printf(" \n");
  unlock_zui("test_thread");
}
