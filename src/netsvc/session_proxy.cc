// Session set-up forms and the native proxy.
//
// A zup session may carry a set-up form, sent before its first request on
// every new agent connection. A native proxy is another agent, reached
// over a zup session of its own, that runs every session request in a
// session of its own (bound there as rsN, N the client's zup session id);
// hosts on the direct-access list are reached without it. Each client
// session is set up at the proxy once, and again after its set-up form
// changes or the proxy's link is new.
//
// All state here is guarded by session_lock; the forwarding runs outside
// it, through an ordinary zup request on the proxy's session.
#include <strings.h>

#include <string>

#include "base/alloc.h"
#include "netsvc/session_zup_impl.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

namespace {

// A session's set-up form and the environment it was given in.
struct INIT_SEXP_WORK {
  ZU_SEXP* query;
  ZUISP_ENV* env;
};

struct NPROXY_DIRECT_SERVER {
  NPROXY_DIRECT_SERVER* next;
  L_CHAR* server;
};

// session_lock
int native_proxy_session = 0;
URL native_proxy_url{};
NPROXY_DIRECT_SERVER* np_server_list = nullptr;  // newest first

ZU_SEXP* init_pre_func(CON_SESSION* s, CON_AGENT*, int) {
  return list(static_cast<INIT_SEXP_WORK*>(s->pre_work)->query);
}

ZU_SEXP* init_pre_proxy(CON_SESSION* s) {
  ZU_SEXP* quoted = List(get_symbol_ascii("quote"), static_cast<INIT_SEXP_WORK*>(s->pre_work)->query, ZU_LIST_END);
  return List(get_symbol_ascii("SetSessionEnv"), quoted, ZU_LIST_END);
}

void init_pre_gc(void* work) {
  auto* w = static_cast<INIT_SEXP_WORK*>(work);
  gc_mark(w->query, gc_qn_sexp);
  gc_mark(w->env, gc_qnlisp_env);
}

void init_pre_free(void* work) { d_f_ree(work); }

// The proxy's link is new: every session is set up there again, the one
// whose request goes out first.
ZU_SEXP* pre_proxy_func(CON_SESSION*, CON_AGENT*, int proxy_ses) {
  for (CON_SESSION* s = session_list; s; s = s->next) s->flags &= ~kSesProxySetUp;
  return proxy_ses ? _setup_session_proxy(proxy_ses, nullptr, 0) : nullptr;
}

bool _direct_host(const L_CHAR* server) {
  assert_lock_held(session_lock);
  if (!server) return false;
  std::string host = n_string(std_cm, server);
  for (NPROXY_DIRECT_SERVER* d = np_server_list; d; d = d->next)
    if (strcasecmp(n_string(std_cm, d->server), host.c_str()) == 0) return true;
  return false;
}

ZU_SEXP* option_form(const char* name, const L_CHAR* value) {
  return List(get_symbol_ascii(name), get_string(value), ZU_LIST_END);
}

ZU_SEXP* session_symbol(int id) { return get_symbol_ascii(("rs" + std::to_string(id)).c_str()); }

}  // namespace

int set_initial_sexp(int id, ZUISP_ENV* env, ZU_SEXP* form) {
  INIT_SEXP_WORK* w = nullptr;
  if (form) {
    w = static_cast<INIT_SEXP_WORK*>(d_calloc(sizeof(INIT_SEXP_WORK), 1));
    w->query = form;
    w->env = env;
  }
  lock_task(session_lock);
  CON_SESSION* s = _find_con_session(id);
  if (!s) {
    unlock_task(session_lock, "set_initial_sexp");
    d_f_ree(w);
    return -1;
  }
  if (s->pre_free && s->pre_work) s->pre_free(s->pre_work);
  s->pre_work = w;
  s->pre_func = w ? init_pre_func : nullptr;
  s->pre_proxy = w ? init_pre_proxy : nullptr;
  s->pre_gc = w ? init_pre_gc : nullptr;
  s->pre_free = w ? init_pre_free : nullptr;
  s->flags &= ~kSesProxySetUp;
  // Every connection gets the new form before the session's next request.
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    for (CON_AGENT* a = sv->agent; a; a = a->next)
      for (CON_AGENT_INITIAL** p = &a->initial_list; *p;) {
        if ((*p)->ses == id) {
          CON_AGENT_INITIAL* gone = *p;
          *p = gone->next;
          d_f_ree(gone);
        } else {
          p = &(*p)->next;
        }
      }
  unlock_task(session_lock, "set_initial_sexp");
  return 0;
}

void set_native_proxy(const URL* u) {
  int close_id = 0;
  lock_task(session_lock);
  if (u && u->server && *u->server) {
    if (!native_proxy_session) native_proxy_session = open_session_zup(1, kAgentOrigin);
    free_url(&native_proxy_url);
    copy_url(&native_proxy_url, u);
    if (CON_SESSION* s = _find_con_session(native_proxy_session)) {
      if (s->pre_free && s->pre_work) s->pre_free(s->pre_work);
      s->pre_work = nullptr;
      s->pre_proxy = nullptr;
      s->pre_gc = nullptr;
      s->pre_free = nullptr;
      s->pre_func = pre_proxy_func;
    }
  } else {
    close_id = native_proxy_session;
    native_proxy_session = 0;
    free_url(&native_proxy_url);
  }
  unlock_task(session_lock, "set_native_proxy");
  if (close_id) close_session_zup(close_id);
}

int set_native_proxy_direct_access(const char* host) {
  L_CHAR* name = nl_copy_str(std_cm, host);
  lock_task(session_lock);
  if (_direct_host(name)) {
    unlock_task(session_lock, "set_native_proxy_direct_access");
    d_f_ree(name);
    return -1;
  }
  auto* d = static_cast<NPROXY_DIRECT_SERVER*>(d_calloc(sizeof(NPROXY_DIRECT_SERVER), 1));
  d->server = name;
  d->next = np_server_list;
  np_server_list = d;
  unlock_task(session_lock, "set_native_proxy_direct_access");
  return 0;
}

ZU_SEXP* get_native_proxyinfo() {
  lock_task(session_lock);
  ListBuilder b;
  b.add(get_symbol_ascii("proxyinfo"));
  if (!native_proxy_session) {
    b.add(get_string_ascii("NoProxy"));
  } else {
    b.add(get_string_ascii("NativeProxy"));
    b.add(get_string(native_proxy_url.server));
    b.add(get_integer(native_proxy_url.port, nullptr));
    // Listed in the order they were added.
    ZU_SEXP* hosts = nullptr;
    for (NPROXY_DIRECT_SERVER* d = np_server_list; d; d = d->next)
      hosts = cons(List(get_symbol_ascii("server"), get_string_ascii("NoProxy"), get_string(d->server), ZU_LIST_END),
                   hosts);
    for (; get_type(hosts) == ZU_TYPE_LIST; hosts = hosts->pair.cdr) b.add(hosts->pair.car);
  }
  unlock_task(session_lock, "get_native_proxyinfo");
  return b.head;
}

bool native_proxy_set() {
  lock_task(session_lock);
  bool set = native_proxy_session != 0;
  unlock_task(session_lock, "native_proxy_set");
  return set;
}

ZU_SEXP* _setup_session_proxy(int id, ZU_FILE* file, int line) {
  assert_lock_held(session_lock);
  CON_SESSION* s = _find_con_session(id);
  if (!s)
    return list(get_error_ascii(file, line, ZU_ER_PARAM, "RemoteSession", data_list("invalid session id", id)));
  if (s->flags & kSesProxySetUp) return nullptr;
  s->flags |= kSesProxySetUp;
  ZU_SEXP* open = get_symbol_ascii("OpenSession");
  set_attribute(open, l_string(std_cm, "type"), l_string(std_cm, "optimize"));
  ZU_SEXP* define = List(get_symbol_ascii("Define"), session_symbol(id), list(open), ZU_LIST_END);
  // An empty second form would be nothing to send.
  return s->pre_proxy ? List(define, s->pre_proxy(s), ZU_LIST_END) : list(define);
}

ZU_SEXP* native_proxy_send_session(int* mode, ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent,
                                   const L_CHAR* login_mode, const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file,
                                   int line, int, REMOTE_SESSION_OPT* opt) {
  *mode = 0;
  lock_task(session_lock);
  int proxy = native_proxy_session;
  if (!proxy || _direct_host(u ? u->server : nullptr)) {
    unlock_task(session_lock, "native_proxy_send_session");
    if (proxy) *mode = 1;
    return nullptr;
  }
  *mode = 2;
  // Refused before anything goes out.
  if (!_find_con_session(id)) {
    unlock_task(session_lock, "native_proxy_send_session");
    return get_error_ascii(file, line, ZU_ER_PARAM, "RemoteSession", data_list("invalid session id", id));
  }
  URL pu;
  copy_url(&pu, &native_proxy_url);
  Owned<URL, free_url> pu_texts(&pu);
  unlock_task(session_lock, "native_proxy_send_session");
  GcFrame frame("native_proxy_send_session");
  ListBuilder b;
  b.add(get_symbol_ascii("RemoteSession"));
  b.add(session_symbol(id));
  // The password stays here: the composed text carries none.
  if (const L_CHAR* text = u ? get_url_str2(u) : nullptr) b.add(option_form("URL", text));
  if (agent) b.add(option_form("Agent", agent));
  if (login_mode) b.add(option_form("LoginMode", login_mode));
  if (center_cmd) b.add(option_form("Command", center_cmd));
  ZU_SEXP* form = append(b.head, cmd);
  static const L_CHAR* const kAgent = l_string(std_cm, "zuproxy");
  static const L_CHAR* const kUser = l_string(std_cm, "user");
  return frame.keep(remote_session_zup_for(env, proxy, &pu, kAgent, kUser, nullptr, list(form), file, line, 0, opt, id),
                    gc_qn_sexp);
}
