// The "zup" protocol's records: sessions, servers and agents, their locks,
// the tick that trims servers and the task that asks each agent link for
// its connection time-out.
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/paths.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "netsvc/session_zup_impl.h"
#include "runtime/interp.h"
#include "runtime/remote.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/gc.h"

SEM session_lock = nullptr;
CON_SESSION* session_list = nullptr;
CON_SERVER* server_list = nullptr;

namespace {

int session_id = 0;   // the next id to try (session_lock)
int timeout_key = 0;  // agent_timeout_task sleeps on its address

constexpr int kDefaultTick = 10;
constexpr int kHungConnectSeconds = 10;
constexpr int kTickSeconds = 5;  // an interpreter tick

void free_agent(CON_AGENT* a) {
  while (CON_PREFIX* p = a->prefix) {
    a->prefix = p->next;
    d_f_ree(p->name);
    d_f_ree(p->cmd);
    d_f_ree(p);
  }
  while (CON_AGENT_INITIAL* i = a->initial_list) {
    a->initial_list = i->next;
    d_f_ree(i);
  }
  d_f_ree(a->name);
  d_f_ree(a);
}

// Nobody can reach a forgotten link any more: it is closed with its
// server.
void _free_server(CON_SERVER* sv) {
  assert_lock_held(session_lock);
  if (sv->iid) close_interpreter_nowait(sv->iid);
  while (CON_AGENT* a = sv->agent) {
    sv->agent = a->next;
    if (a->iid) close_interpreter_nowait(a->iid);
    free_agent(a);
  }
  free_url(&sv->url);
  d_f_ree(sv);
}

bool _agents_locked(const CON_SERVER* sv) {
  assert_lock_held(session_lock);
  for (const CON_AGENT* a = sv->agent; a; a = a->next)
    if (a->lock != 0) return true;
  return false;
}

void _detach_server(CON_SESSION* s) {
  assert_lock_held(session_lock);
  if (!s->server) return;
  for (CON_SESSION** p = &s->server->session; *p; p = &(*p)->sl_next) {
    if (*p == s) {
      *p = s->sl_next;
      break;
    }
  }
  s->server = nullptr;
  s->sl_next = nullptr;
}

// Closes a session. One with pending delayed replies, or held by a
// request, only records the close: the last reply, or the request as it
// lets go, closes it.
void _close_con_session(int id) {
  assert_lock_held(session_lock);
  CON_SESSION* s = _find_con_session(id);
  if (!s) return;
  if (s->access_cnt != 0 || s->lock) {
    s->flags |= kSesCloseRequested;
    return;
  }
  if (s->pre_free && s->pre_work) s->pre_free(s->pre_work);
  _detach_server(s);
  for (CON_SESSION** p = &session_list; *p; p = &(*p)->next) {
    if (*p == s) {
      *p = s->next;
      break;
    }
  }
  // Requests waiting for the session find it gone.
  wakeup_task(s);
  d_f_ree(s->login_mode);
  d_f_ree(s->working_path);
  d_f_ree(s);
}

// ---- the tick

void _trim_servers() {
  assert_lock_held(session_lock);
  int servers = 0, sessions = 0;
  for (CON_SERVER* sv = server_list; sv; sv = sv->next) ++servers;
  for (CON_SESSION* s = session_list; s; s = s->next) ++sessions;
  for (int surplus = servers - 2 * sessions; surplus > 0; --surplus) {
    CON_SERVER** victim = nullptr;
    for (CON_SERVER** p = &server_list; *p; p = &(*p)->next) {
      CON_SERVER* sv = *p;
      if (sv->session || _agents_locked(sv)) continue;
      if (!victim || sv->ac < (*victim)->ac) victim = p;
    }
    if (!victim) return;
    CON_SERVER* gone = *victim;
    *victim = gone->next;
    _free_server(gone);
  }
}

void _close_hung_links() {
  assert_lock_held(session_lock);
  unsigned now = get_zutime();
  for (CON_SERVER* sv = server_list; sv; sv = sv->next) {
    if (!sv->setup_i_time || now - sv->setup_i_time < kHungConnectSeconds) continue;
    for (CON_AGENT* a = sv->agent; a; a = a->next) {
      if (!a->iid || link_has_pending_query(a->iid)) continue;
      close_interpreter_nowait(a->iid);
      a->iid = 0;
    }
  }
}

int tick_seconds() { return static_cast<int>(u_getenv_count("QNMX_SESSION_TICK", kDefaultTick, INT_MAX)); }

// An agent with a link whose time-out nobody has asked yet.
CON_AGENT* _agent_to_ask() {
  assert_lock_held(session_lock);
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    for (CON_AGENT* a = sv->agent; a; a = a->next)
      if (a->iid && a->timeout == kAgentTimeoutUnasked) return a;
  return nullptr;
}

}  // namespace

// ---- sessions, servers, agents

CON_SESSION* _find_con_session(int id) {
  assert_lock_held(session_lock);
  CON_SESSION* s = session_list;
  while (s && s->id != id) s = s->next;
  return s;
}

CON_SERVER* _get_server(const URL* u, int direct_id, const EVAL_ORIGIN& owner) {
  assert_lock_held(session_lock);
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    if (sv->direct_session_id == direct_id && same_text(sv->url.proto, u->proto) &&
        same_text(sv->url.server, u->server) && sv->url.port == u->port &&
        same_origin(sv->origin, owner))
      return sv;
  auto* sv = static_cast<CON_SERVER*>(d_calloc(sizeof(CON_SERVER), 1));
  copy_url(&sv->url, u);
  sv->origin = owner;
  sv->ac = 10;
  sv->direct_session_id = direct_id;
  sv->next = server_list;
  server_list = sv;
  return sv;
}

void _attach_server(CON_SESSION* s, CON_SERVER* sv) {
  assert_lock_held(session_lock);
  if (s->server == sv) return;
  _detach_server(s);
  s->server = sv;
  s->sl_next = sv->session;
  sv->session = s;
  sv->ac++;
}

CON_AGENT* _get_agent(CON_SERVER* sv, const L_CHAR* name) {
  assert_lock_held(session_lock);
  for (CON_AGENT* a = sv->agent; a; a = a->next)
    if (same_text(a->name, name)) return a;
  auto* a = static_cast<CON_AGENT*>(d_calloc(sizeof(CON_AGENT), 1));
  a->name = ll_copy_str(name);
  a->timeout = kAgentNeverConnected;
  a->server = sv;
  a->next = sv->agent;
  sv->agent = a;
  return a;
}

CON_AGENT* _agent_by_prefix(CON_SERVER* sv, const L_CHAR* prefix, const L_CHAR* cmd) {
  assert_lock_held(session_lock);
  for (CON_AGENT* a = sv->agent; a; a = a->next)
    for (CON_PREFIX* p = a->prefix; p; p = p->next)
      if (same_text(p->name, prefix) && same_text(p->cmd, cmd)) return a;
  return nullptr;
}

void _add_prefix(CON_AGENT* a, const L_CHAR* prefix, const L_CHAR* cmd) {
  assert_lock_held(session_lock);
  for (CON_PREFIX* p = a->prefix; p; p = p->next)
    if (same_text(p->name, prefix) && same_text(p->cmd, cmd)) return;
  auto* p = static_cast<CON_PREFIX*>(d_calloc(sizeof(CON_PREFIX), 1));
  p->name = ll_copy_str(prefix);
  p->cmd = ll_copy_str(cmd);
  p->next = a->prefix;
  a->prefix = p;
}

void _forget_agent_link(CON_AGENT* a, int iid) {
  assert_lock_held(session_lock);
  if (!iid || a->iid != iid) return;
  a->iid = 0;
  close_interpreter_nowait(iid);
}

void _read_lock_agent(CON_AGENT* a) {
  assert_lock_held(session_lock);
  while (a->lock < 0) {
    sleep_task(a, session_lock);
    lock_task(session_lock);
  }
  a->lock++;
}

void _read_unlock_agent(CON_AGENT* a) {
  assert_lock_held(session_lock);
  if (a->lock <= 0) er_panic("read_unlock_agent");
  if (--a->lock == 0) wakeup_task(a);
}

void _write_lock_agent(CON_AGENT* a) {
  assert_lock_held(session_lock);
  while (a->lock != 0) {
    sleep_task(a, session_lock);
    lock_task(session_lock);
  }
  a->lock = -1;
}

void _write_unlock_agent(CON_AGENT* a) {
  assert_lock_held(session_lock);
  if (a->lock != -1) er_panic("write_unlock_agent");
  a->lock = 0;
  wakeup_task(a);
}

void read_lock_agent(CON_AGENT* a) {
  lock_task(session_lock);
  _read_lock_agent(a);
  unlock_task(session_lock, "read_lock_agent");
}

void read_unlock_agent(CON_AGENT* a) {
  lock_task(session_lock);
  _read_unlock_agent(a);
  unlock_task(session_lock, "read_unlock_agent");
}

void write_lock_agent(CON_AGENT* a) {
  lock_task(session_lock);
  _write_lock_agent(a);
  unlock_task(session_lock, "write_lock_agent");
}

void write_unlock_agent(CON_AGENT* a) {
  lock_task(session_lock);
  _write_unlock_agent(a);
  unlock_task(session_lock, "write_unlock_agent");
}

CON_SESSION* _lock_con_session(int id, bool closing_too, const char* file, int line) {
  assert_lock_held(session_lock);
  CON_SESSION* s;
  while ((s = _find_con_session(id)) && s->lock && (closing_too || !(s->flags & kSesCloseRequested))) {
    sleep_task(s, session_lock);
    lock_task(session_lock);
  }
  if (!s || (!closing_too && (s->flags & kSesCloseRequested))) return s;
  s->lock = 1;
  s->lock_file = file;
  s->lock_line = line;
  s->lock_task = get_tid();
  return s;
}

void _unlock_con_session(CON_SESSION* s) {
  assert_lock_held(session_lock);
  s->lock = 0;
  s->lock_file = nullptr;
  s->lock_task = 0;
  wakeup_task(s);
  if ((s->flags & kSesCloseRequested) && s->access_cnt < 1) _close_con_session(s->id);
}

void _session_reply_done(CON_SESSION* s) {
  assert_lock_held(session_lock);
  s->access_cnt--;
  if ((s->flags & kSesCloseRequested) && s->access_cnt < 1) _close_con_session(s->id);
}

void _wake_agent_timeout_task() {
  assert_lock_held(session_lock);
  wakeup_task(&timeout_key);
}

bool link_has_pending_query(int iid) {
  lock_task(zui_lock);
  ZU_INTERPRETER* z = _search_zui_id(iid);
  bool pending = z && z->result_head;
  unlock_task(zui_lock, "link_has_pending_query");
  return pending;
}

// ---- the protocol's session operations

void init_session_zup() {
  session_lock = new_lock(LOCK_SESSION);
  new_tick(session_tick, tick_seconds(), nullptr);
  create_task(agent_timeout_task, nullptr, 1);
}

int open_session_zup(int type, const EVAL_ORIGIN& owner) {
  assert_lock_held(session_lock);
  int id = session_id < 1 ? 1 : session_id;
  while (_find_con_session(id)) id = id == INT_MAX ? 1 : id + 1;
  auto* s = static_cast<CON_SESSION*>(d_calloc(sizeof(CON_SESSION), 1));
  s->type = type;
  s->origin = owner;
  s->id = id;
  s->login_mode = nl_copy_str(std_cm, "user");
  s->next = session_list;
  session_list = s;
  session_id = id == INT_MAX ? 1 : id + 1;
  return id;
}

void close_session_zup(int id) {
  lock_task(session_lock);
  _close_con_session(id);
  unlock_task(session_lock, "close_session_zup");
}

void remote_session_tick_zup(void* session) {
  lock_task(session_lock);
  for (CON_SESSION* s = session_list; s; s = s->next) {
    if (s == session) {
      _session_reply_done(s);
      break;
    }
  }
  unlock_task(session_lock, "remote_session_tick");
}

void gc_session_zup() {
  for (CON_SESSION* s = session_list; s; s = s->next)
    if (s->pre_gc && s->pre_work) s->pre_gc(s->pre_work);
}

// ---- background work

void session_tick(void*) {
  lock_task(session_lock);
  _trim_servers();
  for (CON_SERVER* sv = server_list; sv; sv = sv->next) sv->ac = sv->ac * 2 / 3;
  _close_hung_links();
  unlock_task(session_lock, "session_tick");
}

int agent_timeout_seconds(ZU_SEXP* reply) {
  for (ZU_SEXP* p = reply; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* e = p->pair.car;
    if (!is_element(e) || !is_symbol_named(e->pair.car, "connection-timeout")) continue;
    ZU_SEXP* t = get_el(e, 1);
    if (!is_integer(t)) break;
    int64_t n = t->integer.num;
    if (n < 0) return -1;
    // Three times the peer's, in seconds whose tick count still fits.
    return static_cast<int>(std::min<int64_t>(std::min<int64_t>(n, INT_MAX) * 3, INT_MAX / 5));
  }
  return 120;
}

void agent_timeout_task(TKEY) {
  open_self_interpreter();
  ZuThreadScope scope("agent_timeout_task");
  static const L_CHAR* const kAsk = l_string(std_cm, "(GetZUIinfo 0)");
  for (;;) {
    GcFrame frame("agent_timeout_task");
    lock_task(session_lock);
    CON_AGENT* a;
    while (!(a = _agent_to_ask())) {
      sleep_task(&timeout_key, session_lock);
      lock_task(session_lock);
    }
    _read_lock_agent(a);
    int iid = a->iid;
    unlock_task(session_lock, "agent_timeout_task");
    int seconds = agent_timeout_seconds(forced(remote_query(iid, qnlisp_top_env1, kAsk, nullptr)));
    set_c_timeout(iid, seconds < 0 ? -1 : (seconds + kTickSeconds - 1) / kTickSeconds);
    lock_task(session_lock);
    _read_unlock_agent(a);
    if (a->iid == iid && a->timeout == kAgentTimeoutUnasked) a->timeout = seconds;
    unlock_task(session_lock, "agent_timeout_task");
  }
}

int session_zup_server_ports(int* ports, int max) {
  lock_task(session_lock);
  int n = 0;
  for (CON_SERVER* sv = server_list; sv && n < max; sv = sv->next) ports[n++] = sv->url.port;
  unlock_task(session_lock, "session_zup_server_ports");
  return n;
}
