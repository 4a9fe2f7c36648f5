// A request of the "zup" protocol: the session's working path and server,
// the agent, the forms sent over the agent's link with retries of a broken
// link, and the delayed reply that repeats the request when its link breaks
// before the reply arrives.
#include <string>

#include "base/alloc.h"
#include "netsvc/session_zup_impl.h"
#include "runtime/interp.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/convert.h"
#include "zu/errcodes.h"
#include "zu/gc.h"
#include "zulib/system.h"

namespace {

using WStr = std::basic_string<L_CHAR>;

constexpr int kDefaultRetries = 3;

// One request's arguments.
struct ZUP_REQUEST {
  ZUISP_ENV* env;
  int id;
  const URL* u;
  const L_CHAR* agent;
  const L_CHAR* login_mode;
  const L_CHAR* center_cmd;
  ZU_SEXP* cmd;
  ZU_FILE* file;
  int line;
  const REMOTE_SESSION_OPT* opt;
  bool retry;  // a delayed reply's repetition: a close request does not stop it
  // The session whose request this one carries to the native proxy (0:
  // none): its set-up at the proxy goes out first when not yet done.
  int proxy_ses;
};

ZU_SEXP* remote_session_delay(ZU_SEXP* s);
int check_remote_session_delay(void* rec, int key);

ZU_SEXP* param_error(const ZUP_REQUEST& q, ZU_SEXP* data) {
  return get_error_ascii(q.file, q.line, ZU_ER_PARAM, "RemoteSession", data);
}

bool has_text(const L_CHAR* t) { return t && *t; }

WStr text_or_empty(const L_CHAR* t) { return t ? WStr(t) : WStr(); }

// A database path resolved against the working path; an absolute one has
// its "." and ".." resolved too, so that no working path climbs above the
// root. Null when it would.
L_CHAR* resolve_path(const L_CHAR* working, const L_CHAR* db) {
  if (db[0] == '/') return compose_path(l_string(std_cm, "/"), db + 1);
  return compose_path(working, db);
}

// The session's link state for the request, session_lock held and the
// session held by the request: the URL completed from the session's server
// and its path resolved against the working path, the server attached.
// Null, or the error that refuses the request.
ZU_SEXP* _place_request(const ZUP_REQUEST& q, CON_SESSION* s, URL* u, CON_SERVER** server) {
  assert_lock_held(session_lock);
  if (s->server) {
    const URL& from = s->server->url;
    if (!u->proto) u->proto = ll_copy_str(from.proto);
    if (!u->server) u->server = ll_copy_str(from.server);
    if (!u->port) u->port = from.port;
  }
  if (!u->proto || !u->server || !u->port)
    return param_error(q, data_list("invalid URL path 1", session_url_string(q.u)));
  CON_SERVER* sv = _get_server(u, s->type == 1 ? 0 : s->id, s->origin);
  if (sv != s->server && (!u->db || u->db[0] != '/')) return param_error(q, data_list("invalid URL path 2"));
  L_CHAR* path = u->db ? resolve_path(s->working_path, u->db) : ll_copy_str(s->working_path);
  if (!path) return param_error(q, data_list("invalid URL path 3"));
  d_f_ree(s->working_path);
  s->working_path = path;
  // Kept resolved, so that repeating the request lands on the same path.
  d_f_ree(u->db);
  u->db = ll_copy_str(path);
  _attach_server(s, sv);
  *server = sv;
  return nullptr;
}

// Sends the session's set-up forms (once per link) and the request's forms
// on the agent's link; the result of the last form. *used gets the link.
ZU_SEXP* send_forms(const ZUP_REQUEST& q, CON_SESSION* s, CON_AGENT* a, int* used) {
  lock_task(session_lock);
  _read_lock_agent(a);
  int iid = a->iid;
  bool sent = false;
  for (CON_AGENT_INITIAL* i = a->initial_list; i && !sent; i = i->next) sent = i->ses == s->id;
  ZU_SEXP* pre = nullptr;
  if (!sent) {
    if (s->pre_func) pre = s->pre_func(s, a, q.proxy_ses);
    auto* i = static_cast<CON_AGENT_INITIAL*>(d_calloc(sizeof(CON_AGENT_INITIAL), 1));
    i->ses = s->id;
    i->next = a->initial_list;
    a->initial_list = i;
  } else if (q.proxy_ses) {
    pre = _setup_session_proxy(q.proxy_ses, q.file, q.line);
  }
  unlock_task(session_lock, "remote_session");
  *used = iid;
  ZU_SEXP* forms = get_type(pre) == ZU_TYPE_LIST ? append(pre, q.cmd) : q.cmd;
  ZU_SEXP* result = nullptr;
  ZU_SEXP* p = forms;
  for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* f = p->pair.car;
    if (get_type(f) == ZU_TYPE_ERROR) {
      result = f;
      break;
    }
    result = remote_query(iid, q.env, nullptr, f);
    if (!result)
      result = get_error_ascii(q.file, q.line, ZU_ER_INVALID_IID, "RemoteSession", data_list("invalid iid", iid));
    // Every reply but the last is waited for; the last stays pending.
    if (get_type(p->pair.cdr) == ZU_TYPE_LIST) forced(result);
    if (sexp_type(result) == ZU_TYPE_ERROR) break;
  }
  // The unreadable rest of a source.
  if (get_type(p) == ZU_TYPE_ERROR) result = p;
  lock_task(session_lock);
  _read_unlock_agent(a);
  unlock_task(session_lock, "remote_session");
  return result;
}

bool is_remote_delay(ZU_SEXP* v) {
  if (sexp_type(v) != ZU_TYPE_DELAY) return false;
  auto* df = static_cast<DELAY_FUNC*>(delay_record(v));
  return df && df->func == remote_delay_func;
}

// Turns the last form's pending reply into the request's delayed reply,
// which keeps what it needs to repeat the request.
void make_delayed_reply(const ZUP_REQUEST& q, CON_SESSION* s, const URL* u, ZU_SEXP* delayed) {
  auto* r = static_cast<ZU_RESULT*>(delay_record(delayed));
  r->s_env = q.env;
  r->s_url = mcopy_url(u);
  r->s_agent = ll_copy_mstr(q.agent);
  r->s_login_mode = ll_copy_mstr(q.login_mode);
  r->s_center_cmd = ll_copy_mstr(q.center_cmd);
  r->s_cmd = q.cmd;
  r->s_file = q.file;
  r->s_line = q.line;
  r->s_session = s;
  r->s_proxy_ses = q.proxy_ses;
  bool given = q.opt && q.opt->timeout_count >= 0;
  r->s_opt.timeout_count = given ? q.opt->timeout_count - 1 : kDefaultRetries - 1;
  r->s_opt.return_format = q.opt ? q.opt->return_format : 0;
  lock_task(zui_lock);
  r->aboat_flag = 0;
  r->h.func = remote_session_delay;
  r->h.check_func = check_remote_session_delay;
  r->s_id = q.id;
  unlock_task(zui_lock, "remote_session");
  lock_task(session_lock);
  s->access_cnt++;
  unlock_task(session_lock, "remote_session");
}

// Binds what the peer may ask back about the request, in the caller's
// environment and with the caller's rights: where a peer of this agent may
// not write them, they keep what the agent bound.
void bind_session_names(ZUISP_ENV* env, const L_CHAR* path, const URL* u) {
  if (!env) return;
  (void)set_env(env, l_string(std_cm, "SessionPath"), get_string(path));
  (void)set_env(env, l_string(std_cm, "SessionResource"), get_string(u->resource));
}

// The tries of one request, once the agent is known.
ZU_SEXP* try_agent(const ZUP_REQUEST& q, CON_SESSION* s, CON_AGENT* a, const L_CHAR* login_mode) {
  int count = q.opt && q.opt->timeout_count >= 0 ? q.opt->timeout_count : kDefaultRetries;
  for (;;) {
    if (ZU_SEXP* err = connect_agent(q.env, a, login_mode, q.file, q.line)) return err;
    int iid = 0;
    ZU_SEXP* result = send_forms(q, s, a, &iid);
    if (!broken_link(result) || --count < 0) return result;
    lock_task(session_lock);
    _forget_agent_link(a, iid);
    unlock_task(session_lock, "remote_session");
  }
}

// A request's hold on its session, and its copy of the URL.
struct RequestHold {
  CON_SESSION* s;
  URL u;
  ~RequestHold() {
    lock_task(session_lock);
    _unlock_con_session(s);
    unlock_task(session_lock, "remote_session");
    free_url(&u);
  }
};

ZU_SEXP* run_request(const ZUP_REQUEST& q) {
  GcFrame frame("remote_session");
  const L_CHAR* agent_name = q.u && has_text(q.u->agent) ? q.u->agent : q.agent;
  WStr agent = text_or_empty(agent_name);
  lock_task(session_lock);
  CON_SESSION* s = _find_con_session(q.id);
  if (s) s = _lock_con_session(q.id, q.retry, __FILE__, __LINE__);
  bool closed = s && !q.retry && (s->flags & kSesCloseRequested);
  if (!s || closed) {
    unlock_task(session_lock, "remote_session");
    return frame.keep(param_error(q, s ? data_list("invalid session id (closed)") : data_list("invalid session id", q.id)),
                      gc_qn_sexp);
  }
  if (q.login_mode) {
    d_f_ree(s->login_mode);
    s->login_mode = ll_copy_str(q.login_mode);
  }
  // Given back however the request ends, a refusal for memory included:
  // a session left locked would answer busy for good.
  RequestHold hold{s, {}};
  URL& u = hold.u;
  copy_url(&u, q.u);
  CON_SERVER* sv = nullptr;
  ZU_SEXP* result = _place_request(q, s, &u, &sv);
  WStr path = text_or_empty(s->working_path), login = text_or_empty(s->login_mode);
  CON_AGENT* a = !result && !agent.empty() ? _get_agent(sv, agent.c_str()) : nullptr;
  unlock_task(session_lock, "remote_session");
  if (!result && !a) {
    result = get_agent(&a, q.env, sv, &u, q.center_cmd, q.file, q.line);
    if (!a && !result)
      result = get_error_ascii(q.file, q.line, ZU_ER_NO_AGENT, "RemoteSession",
                               data_list("undefined agent or invalid prefix"));
  }
  if (!result) {
    bind_session_names(q.env, path.c_str(), &u);
    result = try_agent(q, s, a, login.c_str());
    if (is_remote_delay(result)) make_delayed_reply(q, s, &u, result);
  }
  return frame.keep(result, gc_qn_sexp);
}

ZU_SEXP* remote_session_delay(ZU_SEXP* d) {
  auto* r = static_cast<ZU_RESULT*>(d->delay.work);
  GcFrame frame("remote_session_delay");
  int pri = zui_push_pri();
  ZU_SEXP* v = remote_delay_value(r);
  // The record's flags and counts are read and changed under zui_lock, as
  // the runtime changes its neighbours there.
  lock_task(zui_lock);
  bool again = broken_link(v) && r->s_opt.timeout_count >= 1;
  if (again) r->s_opt.timeout_count--;
  bool aborted = r->aboat_flag;
  REMOTE_SESSION_OPT opt = r->s_opt;
  unlock_task(zui_lock, "remote_session_delay");
  if (again && aborted) {
    ss_printf("SESSION-1\n");
  } else if (again) {
    // The repetition's own delayed reply carries the retries left.
    ZUP_REQUEST q{r->s_env,  r->s_id,   r->s_url,  r->s_agent, r->s_login_mode, r->s_center_cmd,
                  r->s_cmd,  r->s_file, r->s_line, &opt,       true,            r->s_proxy_ses};
    v = forced(run_request(q));
  }
  lock_task(session_lock);
  if (auto* s = static_cast<CON_SESSION*>(r->s_session)) _session_reply_done(s);
  r->s_session = nullptr;
  unlock_task(session_lock, "remote_session_delay");
  zui_pop_pri(pri);
  over_write_delay(d, v);
  return d;
}

int check_remote_session_delay(void* rec, int key) {
  auto* r = static_cast<ZU_RESULT*>(rec);
  lock_task(zui_lock);
  int answer = _check_remote_delay(r, key);
  if (answer == 2 && (r->flags & ZU_RESULT_REPLIED) && r->s_opt.timeout_count >= 1 && !r->aboat_flag) {
    // A broken link's reply is repeated when forced: not ready yet.
    ZU_SEXP* rest = r->ret && sexp_type(r->ret) == ZU_TYPE_LIST ? r->ret->pair.cdr : nullptr;
    rest = rest && sexp_type(rest) == ZU_TYPE_LIST ? rest->pair.cdr : nullptr;
    ZU_SEXP* value = rest && sexp_type(rest) == ZU_TYPE_LIST ? rest->pair.car : nullptr;
    if ((r->stream_end && !r->ret) || broken_link(value)) answer = 0;
  }
  unlock_task(zui_lock, "check_remote_session_delay");
  return answer;
}

}  // namespace

ZU_SEXP* remote_session_zup(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                            const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line, int lock_enable,
                            REMOTE_SESSION_OPT* opt) {
  return remote_session_zup_for(env, id, u, agent, login_mode, center_cmd, cmd, file, line, lock_enable, opt, 0);
}

ZU_SEXP* remote_session_zup_for(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                                const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line, int,
                                REMOTE_SESSION_OPT* opt, int proxy_ses) {
  ZUP_REQUEST q{env, id, u, agent, login_mode, center_cmd, cmd, file, line, opt, false, proxy_ses};
  int pri = zui_push_pri();
  ZU_SEXP* r = run_request(q);
  zui_pop_pri(pri);
  return r;
}

int aboat_session(ZU_SEXP* delayed) {
  auto* df = static_cast<DELAY_FUNC*>(delay_record(delayed));
  if (!df || df->func != remote_session_delay) return aboat_remote_query(delayed);
  auto* r = reinterpret_cast<ZU_RESULT*>(df);
  lock_task(zui_lock);
  r->aboat_flag = 1;
  int iid = r->out_interpreter ? static_cast<int>(r->out_interpreter->id) : 0;
  unlock_task(zui_lock, "aboat_session");
  if (iid) close_interpreter_nowait(iid);
  return 0;
}

VERSION* get_remote_version_zup(int id, URL* u, const char* layer) {
  ZuThreadScope scope("get_remote_version");
  GcFrame frame("get_remote_version");
  ZU_SEXP* ask = get_symbol_ascii("GetVersion");
  set_attribute(ask, l_string(std_cm, "layer"), l_string(std_cm, layer));
  ZU_SEXP* v = forced(remote_session_zup(qnlisp_top_env1, id, u, u->agent, l_string(std_cm, "user"),
                                         l_string(std_cm, "Get"), list(list(ask)), nullptr, 0, 0, nullptr));
  if (get_type(v) != ZU_TYPE_LIST) return nullptr;
  // The answer lists the layer's record.
  return convert_to_version(get_type(v->pair.car) == ZU_TYPE_LIST ? v->pair.car : v);
}
