// The session built-ins: RemoteSession, which queues a request and answers
// at once with a delayed value, OpenSession and CloseSession; and the two
// keyed queues whose tasks run the requests.
//
// Requests are keyed by their server. For each key one task of the first
// queue sends the requests in call order (through the session switch) and
// hands each pending reply to the second queue, whose task of the same key
// waits for the replies in turn and fills the delayed values. Each task runs
// its own internal interpreter. A sending task's interpreter is the asker
// of the replies it leaves pending, so it stays until the second task has
// taken every one of them (`pending`). A task whose queue has nothing for
// its key waits a little for more before it gives the key back, so that a
// script that waits for each reply in turn keeps its two tasks.
//
// The count of the agent's own requests in flight (a peer's are not waited
// for: the agent's end stops them with the links they use), the sending
// tasks' pending counts and the counts of items put into each queue are
// guarded by zui_lock; a change of the first wakes the waiters of
// wait_rs_queue, the others the tasks that wait on them.
#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>

#include "base/alloc.h"
#include "base/queue.h"
#include "netsvc/net_impl.h"
#include "netsvc/session.h"
#include "runtime/delayed.h"
#include "runtime/interp.h"
#include "runtime/later_services.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"
#include "zu/gc.h"
#include "zu/reader.h"

namespace {

// The state of one sending task (zui_lock).
struct RS_SENDER {
  int pending;  // replies handed on and not yet taken by the second task
};

// One RemoteSession request, keyed by its server.
struct RS_REQUEST {
  Q_HEADER h;
  ZUISP_ENV* env;
  int sid;
  URL url;  // tagged texts
  L_CHAR* agent;       // tagged, or null
  L_CHAR* login_mode;  // tagged, or null
  L_CHAR* command;     // tagged
  ZU_SEXP* body;
  ZU_FILE* file;
  int line;
  ZU_SEXP* result;
  D_SEXP* d;
  RS_SENDER* sender;
  EVAL_ORIGIN origin;  // of the task that asked: the request is sent on its behalf
};

SYS_QUEUE rs_que1;
SYS_QUEUE rs_que2;
int rs_own_in_flight = 0;             // zui_lock
int rs_arrivals1 = 0, rs_arrivals2 = 0;  // zui_lock: items put into each queue

// How long a task waits for more of its key before it ends.
constexpr double kLingerSeconds = 1.0;

void gc_rs_request(Q_HEADER* item) {
  auto* q = reinterpret_cast<RS_REQUEST*>(item);
  gc_mark(q->env, gc_qnlisp_env);
  gc_mark(q->body, gc_qn_sexp);
  gc_mark(q->result, gc_qn_sexp);
  gc_mark(q->d, gc_d_sexp);
  gc_mark(q->file, gc_qn_file);
}

void pin_rs_request(Q_HEADER* item) {
  auto* q = reinterpret_cast<RS_REQUEST*>(item);
  gc_set_nl(q->env, gc_qnlisp_env);
  gc_set_nl(q->body, gc_qn_sexp);
  gc_set_nl(q->result, gc_qn_sexp);
  gc_set_nl(q->d, gc_d_sexp);
  gc_set_nl(q->file, gc_qn_file);
}

void free_rs_request(RS_REQUEST* q) {
  free_url(&q->url);
  d_f_ree(q->agent);
  d_f_ree(q->login_mode);
  d_f_ree(q->command);
  d_f_ree(q->h.key);
  d_f_ree(q);
}

int arrivals(const int* counter) {
  lock_task(zui_lock);
  int n = *counter;
  unlock_task(zui_lock, "RemoteSession");
  return n;
}

void put(SYS_QUEUE* q, int* counter, RS_REQUEST* r) {
  insert_queue(q, &r->h, 1);
  lock_task(zui_lock);
  ++*counter;
  wakeup_task(counter);
  unlock_task(zui_lock, "RemoteSession");
}

// Waits until something was put into the queue since `seen`: true; false
// once nothing came for the linger time while nothing is pending.
bool wait_for_more(const int* counter, int seen, const RS_SENDER* me) {
  lock_task(zui_lock);
  auto end = std::chrono::steady_clock::time_point::max();
  while (*counter == seen) {
    if (me && me->pending > 0) {
      end = std::chrono::steady_clock::time_point::max();
      sleep_task(counter, zui_lock);
    } else {
      auto now = std::chrono::steady_clock::now();
      if (end == std::chrono::steady_clock::time_point::max())
        end = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(kLingerSeconds));
      if (now >= end) {
        unlock_task(zui_lock, "RemoteSession");
        return false;
      }
      _i_sleep_task_timeout(counter, zui_lock, std::chrono::duration<double>(end - now).count(), __FILE__, __LINE__);
    }
    lock_task(zui_lock);
  }
  unlock_task(zui_lock, "RemoteSession");
  return true;
}

void rs_task1(TKEY) {
  L_CHAR* key = touch_qkey(&rs_que1);
  if (!key) return;
  open_self_interpreter();
  RS_SENDER me{};
  {
    ZuThreadScope scope("rs_task1");
    for (;;) {
      GcFrame frame("rs_task1");
      int seen = arrivals(&rs_arrivals1);
      auto* q = reinterpret_cast<RS_REQUEST*>(delete_queue(&rs_que1, sq_key_cond, key, 0));
      if (!q) {
        if (!wait_for_more(&rs_arrivals1, seen, &me)) break;
        continue;
      }
      {
        EvalOriginScope origin(q->origin);
        q->result = remote_session(q->env, q->sid, &q->url, q->agent, q->login_mode, q->command, q->body, q->file,
                                   q->line, 0, nullptr);
      }
      q->sender = &me;
      lock_task(zui_lock);
      me.pending++;
      unlock_task(zui_lock, "rs_task1");
      put(&rs_que2, &rs_arrivals2, q);
    }
  }
  release_qkey(&rs_que1, key);
  d_f_ree(key);
  close_self_interpreter();
}

// The request is answered: the counts fall, and a sending task that waits
// for its last reply is woken.
void finish_rs_request(RS_REQUEST* q) {
  lock_task(zui_lock);
  if (--q->sender->pending == 0) wakeup_task(&rs_arrivals1);
  if (!q->origin.for_peer && --rs_own_in_flight == 0) wakeup_task(&rs_own_in_flight);
  unlock_task(zui_lock, "rs_task2");
  free_rs_request(q);
}

void rs_task2(TKEY) {
  L_CHAR* key = touch_qkey(&rs_que2);
  if (!key) return;
  open_self_interpreter();
  {
    ZuThreadScope scope("rs_task2");
    for (;;) {
      GcFrame frame("rs_task2");
      int seen = arrivals(&rs_arrivals2);
      auto* q = reinterpret_cast<RS_REQUEST*>(delete_queue(&rs_que2, sq_key_cond, key, 0));
      if (!q) {
        if (!wait_for_more(&rs_arrivals2, seen, nullptr)) break;
        continue;
      }
      // The whole reply: every delayed part of its top level is waited for.
      ZU_SEXP* v = q->result;
      for (ZU_SEXP* p = v; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) get_type(p->pair.car);
      set_d_sexp(q->d, v);
      finish_rs_request(q);
    }
  }
  release_qkey(&rs_que2, key);
  d_f_ree(key);
  close_self_interpreter();
}

void setup_rs_queues() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::pair<SYS_QUEUE*, TASK_FUNC> queues[] = {{&rs_que1, rs_task1}, {&rs_que2, rs_task2}};
    for (auto [q, task] : queues) {
      q->flags = 1;
      q->pri = 2;
      q->gc_func = gc_rs_request;
      q->gc_get = pin_rs_request;
      q->key_func = task;
      setup_queue(q);
    }
  });
}

// ---- built-ins

constexpr const char* kOptions[] = {"URL", "Agent", "LoginMode", "Command"};
enum { kUrl, kAgent, kLoginMode, kCommand, kOptionCount };

int option_of(ZU_SEXP* f) {
  if (!is_element(f)) return -1;
  for (int i = 0; i < kOptionCount; ++i)
    if (is_symbol_named(f->pair.car, kOptions[i])) return i;
  return -1;
}

L_CHAR* copy_or_null(ZU_SEXP* s) { return s ? ll_copy_str(str_text(s)) : nullptr; }

// A delayed value that already holds v.
ZU_SEXP* delayed_holding(ZU_SEXP* v) {
  D_SEXP* d = nullptr;
  ZU_SEXP* delay = new_d_sexp(&d);
  set_d_sexp(d, v);
  return delay;
}

// Whether the calling task may use session sid: a peer only its own. An
// unknown id is left to what uses it, which refuses it. *owner (when
// given) gets whom it was opened for, the agent for an unknown id.
bool may_use_session(int sid, EVAL_ORIGIN* owner = nullptr) {
  EVAL_ORIGIN o = kAgentOrigin;
  bool known = sw_session_owner(sid, &o);
  if (owner) *owner = o;
  return !known || may_act_for(o);
}

ZU_SEXP* zu_RemoteSession(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* id = eval(env, get_el(form, 1));
  if (get_type(id) == ZU_TYPE_ERROR) return id;
  if (!is_integer(id)) return error_text_at(form, ZU_ER_TYPE, "RemoteSession", "type missmatch");
  int sid = static_cast<int>(std::clamp<int64_t>(id->integer.num, INT_MIN, INT_MAX));
  EVAL_ORIGIN owner;
  if (!may_use_session(sid, &owner)) return peer_not_own(form, "RemoteSession");
  ZU_SEXP* option[kOptionCount] = {};
  ZU_SEXP* body = cdr(form->pair.cdr);
  for (; get_type(body) == ZU_TYPE_LIST; body = body->pair.cdr) {
    ZU_SEXP* f = body->pair.car;
    int k = option_of(f);
    if (k < 0) break;
    if (list_length(f) != 2) return error_text_at(form, ZU_ER_LENGTH, "RemoteSession", "invalid parameter length");
    ZU_SEXP* v = eval(env, get_el(f, 1));
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    if (!is_string(v)) return error_text_at(form, ZU_ER_TYPE, "RemoteSession", "type missmatch");
    option[k] = v;
  }
  // A template mode that does not exist sends nothing: the error is the
  // reply.
  if (const L_CHAR* mode = head_option(sf, "type")) {
    body = qn_quote_trace(env, body, mode);
    if (get_type(body) == ZU_TYPE_ERROR) return delayed_holding(body);
  }
  // A URL that could carry lines of its own into a request sends nothing.
  if (option[kUrl] && url_has_refused_char(str_text(option[kUrl])))
    return delayed_holding(error_at(form, ZU_ER_METHOD, "RemoteSession", data_list("method error", "invalid URL")));
  auto* q = reinterpret_cast<RS_REQUEST*>(new_queue_node(sizeof(RS_REQUEST)));
  if (option[kUrl]) get_url2(&q->url, str_text(option[kUrl]));
  q->h.key = get_server_key(&q->url, nullptr);
  q->env = env;
  q->sid = sid;
  q->agent = copy_or_null(option[kAgent]);
  q->login_mode = copy_or_null(option[kLoginMode]);
  q->command = option[kCommand] ? copy_or_null(option[kCommand]) : nl_copy_str(std_cm, "Get");
  q->body = body;
  q->file = sexp_file(form);
  q->line = form->h.line;
  // A peer's session asks for that peer, whoever sends on it.
  q->origin = owner.for_peer ? owner : eval_origin_handed();
  ZU_SEXP* delay = new_d_sexp(&q->d);
  if (!q->origin.for_peer) {
    lock_task(zui_lock);
    rs_own_in_flight++;
    unlock_task(zui_lock, "RemoteSession");
  }
  put(&rs_que1, &rs_arrivals1, q);
  return delay;
}

ZU_SEXP* zu_OpenSession(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  // Every session is of the one type that reaches servers, whatever
  // type= asks.
  return get_integer(open_session(1), nullptr);
}

ZU_SEXP* zu_CloseSession(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* id = get_el(form, 1);
  if (!is_integer(id)) return error_text_at(form, ZU_ER_TYPE, "CloseSession", "id type missmatch");
  if (id->integer.num < INT_MIN || id->integer.num > INT_MAX) return nullptr;
  int sid = static_cast<int>(id->integer.num);
  if (!may_use_session(sid)) return peer_not_own(form, "CloseSession");
  close_session(sid);
  return nullptr;
}

// The set-up form that the session sends first on every new agent
// connection (and to a native proxy): kept by the session's zup side.
ZU_SEXP* zu_SessionEnvironment(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* id = get_el(form, 1);
  // Its errors carry this name, spelt so, as peers and scripts expect it.
  if (!is_integer(id)) return error_text_at(form, ZU_ER_TYPE, "SetAessionEnv", "type missmatch");
  int r = -1;
  if (id->integer.num > 0 && id->integer.num <= INT_MAX) {
    if (!may_use_session(static_cast<int>(id->integer.num))) return peer_not_own(form, "SetAessionEnv");
    int zid = sw_protocol_session(static_cast<int>(id->integer.num), "zup");
    if (zid > 0) r = set_initial_sexp(zid, env, get_el(form, 2));
  }
  if (r < 0) return error_at(form, ZU_ER_SESSION_ENV, "SetAessionEnv", get_integer(r, nullptr));
  return nullptr;
}

const QN_PRIM_DEF kRemoteSession[] = {{"RemoteSession", zu_RemoteSession, 0, 2, -1, 0}, {}};
const QN_PRIM_DEF kOpenSession[] = {{"OpenSession", zu_OpenSession, 1, 1, 1, 0}, {}};
const QN_PRIM_DEF kCloseSession[] = {{"CloseSession", zu_CloseSession, 1, 2, 2, 0}, {}};
const QN_PRIM_DEF kSessionEnvironment[] = {{"SessionEnvironment", zu_SessionEnvironment, 1, 3, 3, 0}, {}};

}  // namespace

void _rs_wait_queue() {
  assert_lock_held(zui_lock);
  _sleep_task_while(&rs_own_in_flight, zui_lock, kEndRequestWaitSeconds, [] { return rs_own_in_flight > 0; });
}

void rs_wait_queue() {
  lock_task(zui_lock);
  _rs_wait_queue();
  unlock_task(zui_lock, "wait_rs_queue");
}

void init_RemoteSession(ZUISP_ENV* env) {
  setup_rs_queues();
  bind_prims(env, kRemoteSession);
}
void init_OpenSession(ZUISP_ENV* env) { bind_prims(env, kOpenSession); }
void init_CloseSession(ZUISP_ENV* env) { bind_prims(env, kCloseSession); }
void init_SessionEnvironment(ZUISP_ENV* env) { bind_prims(env, kSessionEnvironment); }

void init_session_ops() {
  ZU_NET_OPS ops{};
  ops.init_session = init_session_sw;
  ops.open_session = sw_open_session;
  ops.close_session = sw_close_session;
  ops.remote_session = sw_remote_session;
  ops.remote_session_tick = remote_session_tick_zup;
  ops.wait_rs_queue = rs_wait_queue;
  ops._wait_rs_queue = _rs_wait_queue;
  set_net_ops(&ops);
}
