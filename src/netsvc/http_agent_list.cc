// The HTTP agent's registry of paths and the built-in through which the
// agent's script registers them, the access locks of its chains of remote
// entries, their connecting and invalidation, the tick that reconnects
// them, and the interpreter each request runs under.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "netsvc/http_agent_impl.h"
#include "netsvc/session.h"
#include "netsvc/trace_impl.h"
#include "runtime/interp.h"
#include "runtime/relay.h"
#include "runtime/remote.h"
#include "stream/stream.h"
#include "stream/url.h"
#include "text/codemethod.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "zu/printer.h"

SEM ha_lock = nullptr;

namespace {

HTTP_AGENT_LIST* ha_root = nullptr;

// ---- the tick
std::atomic<int> tick_seconds{10};
std::atomic<bool> tick_running{false};
std::atomic<bool> started{false};

void tick_task(TKEY) {
  tick_http_agent();
  tick_running.store(false);
}

// The timer thread only starts the round: connecting waits for peers.
void tick_fire(void*) {
  bool idle = false;
  if (tick_running.compare_exchange_strong(idle, true) && create_task(tick_task, nullptr, 1) < 0) {
    tick_running.store(false);
  }
}

HTTP_AGENT_LIST* root_of(HTTP_AGENT_LIST* a) { return a->alias_root ? a->alias_root : a; }

// The `_name` forms' statement that the calling task holds the access lock
// of a's root (checked builds).
#if QNMX_LOCK_CHECK
void assert_access_held(HTTP_AGENT_LIST* a, const char* file, int line) {
  HTTP_AGENT_LIST* root = root_of(a);
  lock_task(ha_lock);
  bool mine = root->access_tid == get_tid();
  unlock_task(ha_lock, "assert_access_held");
  if (mine) return;
  char msg[512];
  std::snprintf(msg, sizeof msg, "the access lock of %s is not held at %s:%d", root->path, file, line);
  er_panic(msg);
}
#define assert_ha_access_held(a) assert_access_held((a), __FILE__, __LINE__)
#else
#define assert_ha_access_held(a) ((void)(a))
#endif

// ---- talking to the remote agent

// Writes "label" and the error to the standard error.
void report(const char* label, ZU_SEXP* err) {
  ss_printf("%s", label);
  print_sexp(s_stderr, err, 0);
  ss_printf("\n");
}

// How often a request looks at its client while its agent evaluates it.
constexpr double kClientLookSeconds = 1;

// Sends form to interpreter iid in env and waits for its value. With the
// connection of the client it is asked for: nothing is sent for a client
// that has gone, and one that goes meanwhile takes its request back (its
// agent is told to cancel it when it is the evaluation under way); null
// then.
ZU_SEXP* ask(int iid, ZUISP_ENV* env, ZU_SEXP* form, STREAM* client = nullptr) {
  if (client && s_peer_gone(client)) return nullptr;
  ZU_SEXP* r = remote_query(iid, env, nullptr, form);
  while (client && !wait_remote_reply(r, kClientLookSeconds)) {
    if (!s_peer_gone(client)) continue;
    if (int server = drop_remote_query(r)) write_cancel(server);
    return nullptr;
  }
  get_type(r);
  return r;
}

// A local path's function runs on the request's thread while a task of its
// own looks at the client: a client that goes cancels the evaluation (the
// thread's interpreter), as a remote agent is told to cancel it.
struct ClientWatch {
  STREAM* client;
  int iid;
  std::mutex mu;  // a leaf: guards done and ended
  std::condition_variable cv;
  bool done = false;   // the evaluation has ended
  bool ended = false;  // the watch has let go of the record
};

void client_watch_task(TKEY data) {
  auto* w = static_cast<ClientWatch*>(data);
  bool told = false;
  std::unique_lock<std::mutex> g(w->mu);
  while (!w->done) {
    w->cv.wait_for(g, std::chrono::duration<double>(kClientLookSeconds));
    if (w->done || told) continue;
    g.unlock();
    if (s_peer_gone(w->client)) {
      send_cancel(w->iid);
      told = true;
    }
    g.lock();
  }
  w->ended = true;
  w->cv.notify_all();
}

ZU_SEXP* eval_for_client(ZUISP_ENV* env, ZU_SEXP* form, STREAM* client) {
  ClientWatch w{client, get_my_iid()};
  const bool watched = client && w.iid > 0 && create_task(client_watch_task, &w, 3) >= 0;
  ZU_SEXP* r = eval(env, form);
  if (watched) {
    BlockingRegion region;
    std::unique_lock<std::mutex> g(w.mu);
    w.done = true;
    w.cv.notify_all();
    w.cv.wait(g, [&w] { return w.ended; });
  }
  return r;
}

ZU_SEXP* define_path_form(const HTTP_AGENT_LIST* a) {
  return List(get_symbol_ascii("Define"), get_symbol_ascii("HttpAgent_path"), n_get_string(a->path), ZU_LIST_END);
}

// The error of a root whose agent cannot be reached. Error data reach
// traces and pages: the URL shows its password as "****", and one that
// does not parse is not shown at all (where its password lies cannot be
// told); the entry's path names it instead.
ZU_SEXP* unreachable(const HTTP_AGENT_LIST* root, const URL* u) {
  ZU_SEXP* data = u ? data_list("cannot access the remote agent", session_url_string(u))
                    : data_list("invalid remote agent URL", n_get_string(root->path));
  return error_at(nullptr, u ? ZU_ER_STREAM : ZU_ER_PARAM, "HttpAgent", data);
}

// A remote agent's URL parsed into *u: false for one without a server or
// port.
bool parsed_url(URL* u, const L_CHAR* text) { return get_url2(u, text) == 0 && u->server && u->port > 0; }

// A connect interpreter to the root's URL that has been told (SetAgent
// agent "user"): its iid, or -1 after "INIT ERR" (nothing is left open).
int connect_root(HTTP_AGENT_LIST* root) {
  ZuThreadScope scope("http agent connect");
  URL u{};
  ZU_SEXP* err = nullptr;
  if (!parsed_url(&u, root->remote_url)) err = unreachable(root, nullptr);
  int iid = -1;
  if (!err) {
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_CONNECT;
    z->hostname = ll_copy_str(u.server);
    z->port = u.port;
    z->env = root->env;
    iid = setup_i(z);
    if (iid < 0) err = unreachable(root, &u);
  }
  if (!err) {
    ZU_SEXP* r = ask(iid, root->env,
                     List(get_symbol_ascii("SetAgent"), get_string(u.agent), get_string_ascii("user"), ZU_LIST_END));
    if (get_type(r) == ZU_TYPE_ERROR) {
      close_interpreter(iid);
      iid = -1;
      err = r;
    }
  }
  free_url(&u);
  if (err) report("INIT ERR ", err);
  return err ? -1 : iid;
}

// Sends (Define HttpAgent_path path) and a's initialize forms to iid: 0,
// or -1 after "REMOTE ERR ".
int initialize_on(HTTP_AGENT_LIST* a, int iid) {
  ZuThreadScope scope("http agent initialize");
  ZU_SEXP* r = ask(iid, a->env, define_path_form(a));
  for (ZU_SEXP* f = a->initialize; get_type(r) != ZU_TYPE_ERROR && get_type(f) == ZU_TYPE_LIST; f = f->pair.cdr) {
    r = ask(iid, a->env, f->pair.car);
  }
  if (get_type(r) != ZU_TYPE_ERROR) return 0;
  report("REMOTE ERR ", r);
  return -1;
}

bool retired(const HTTP_AGENT_LIST* a) {
  lock_task(ha_lock);
  bool r = a->retired;
  unlock_task(ha_lock, "retired");
  return r;
}

// Whether a can be asked now: its root is connected and a was initialised
// on that connection.
bool connected(HTTP_AGENT_LIST* a) {
  int riid = root_of(a)->iid.load();
  return riid > 0 && a->iid.load() == riid;
}

// ---- the interpreter of a request's thread

// The interpreter this pooled thread made for requests (its iid; 0: none).
thread_local int thread_iid = 0;

}  // namespace

// ---- start-up and tick

void http_agent_start() {
  bool was = false;
  if (!started.compare_exchange_strong(was, true)) return;
  ha_lock = new_lock(LOCK_HTTP_AGENT);
  new_tick(tick_fire, tick_seconds.load(), nullptr);
}

void set_http_agent_tick(int seconds) {
  if (seconds < 1) return;
  tick_seconds.store(seconds);
  if (!started.load()) return;
  del_tick_with_data(tick_fire, nullptr);
  new_tick(tick_fire, seconds, nullptr);
}

void tick_http_agent() {
  if (!lock_up_test(ha_lock)) return;
  lock_task(ha_lock);
  HTTP_AGENT_LIST* a = ha_root;
  unlock_task(ha_lock, "tick_http_agent");
  // Entries are never removed, and a new one goes to the head: the list
  // from the head taken here stays walkable.
  bool asked = false;
  bool lent = false;
  for (; a; a = a->next) {
    if (!is_remote_entry(a) || lock_ha_access(a, 1) < 0) continue;
    int iid = a->iid.load();
    const bool gone = retired(a);
    if (gone) {
      // Closed here when a registration found its access lock taken.
      if (iid > 0 && !a->alias_root) _invalid_all(a);
    } else if (iid > 0 && !check_iid(iid)) {
      _invalid_all(a);
      iid = -1;
    }
    if (iid < 0 && !gone) {
      // Talking to agents needs an interpreter of this thread.
      if (!asked) lent = borrow_thread_interpreter();
      asked = true;
      __initialize_remote(a);
    }
    unlock_ha_access(a);
  }
  if (lent) return_thread_interpreter();
}

// ---- the registry

HTTP_AGENT_LIST* insert_http_agent_list(const char* path, ZUISP_ENV* env, const L_CHAR* remote_url,
                                        HTTP_AGENT_LIST* alias, ZU_SEXP* initialize) {
  if (!path || !lock_up_test(ha_lock)) return nullptr;
  auto* a = static_cast<HTTP_AGENT_LIST*>(d_calloc(sizeof(HTTP_AGENT_LIST), 1));
  new (&a->iid) std::atomic<int>(0);
  a->path = copy_str(path);
  a->env = env;
  a->initialize = initialize;
  lock_task(ha_lock);
  if (alias) {
    HTTP_AGENT_LIST* root = root_of(alias);
    a->alias_root = root;
    a->alias_list_next = root->alias_list;
    root->alias_list = a;
    a->iid.store(-1);
  } else if (remote_url) {
    a->remote_url = ll_copy_str(remote_url);
    a->iid.store(-1);
  }
  // The path registered again: the new entry serves it, the older ones
  // retire with their aliases.
  for (HTTP_AGENT_LIST* o = ha_root; o; o = o->next) {
    if (o->retired || std::strcmp(o->path, a->path) != 0) continue;
    o->retired = true;
    for (HTTP_AGENT_LIST* al = o->alias_list; al; al = al->alias_list_next) al->retired = true;
  }
  if (a->alias_root && a->alias_root->retired) a->retired = true;
  a->next = ha_root;
  ha_root = a;
  unlock_task(ha_lock, "insert_http_agent_list");
  // Their links are no longer anyone's. The list behind a does not change.
  for (HTTP_AGENT_LIST* o = a->next; o; o = o->next) {
    if (!o->remote_url || o->iid.load() <= 0 || !retired(o) || lock_ha_access(o, 1) < 0) continue;
    _invalid_all(o);
    unlock_ha_access(o);
  }
  return a;
}

HTTP_AGENT_LIST* search_http_agent_list(const char* path) {
  if (!path || !lock_up_test(ha_lock)) return nullptr;
  size_t n = std::strlen(path);
  lock_task(ha_lock);
  HTTP_AGENT_LIST* a = ha_root;
  for (; a; a = a->next) {
    size_t k = std::strlen(a->path);
    if (!a->retired && std::strncmp(a->path, path, k) == 0 && (k == n || path[k] == '?')) break;
  }
  if (a) ++a->users;
  unlock_task(ha_lock, "search_http_agent_list");
  return a;
}

void release_http_agent(HTTP_AGENT_LIST* a) {
  if (!a) return;
  lock_task(ha_lock);
  --a->users;
  unlock_task(ha_lock, "release_http_agent");
}

int lock_ha_access(HTTP_AGENT_LIST* a, int flag) {
  HTTP_AGENT_LIST* root = root_of(a);
  int me = get_tid();
  lock_task(ha_lock);
  while (root->access_tid != 0) {
    if (flag) {
      unlock_task(ha_lock, "lock_ha_access");
      return -1;
    }
    sleep_task(root, ha_lock);
    lock_task(ha_lock);
  }
  root->access_tid = me;
  unlock_task(ha_lock, "lock_ha_access");
  return 0;
}

void unlock_ha_access(HTTP_AGENT_LIST* a) {
  HTTP_AGENT_LIST* root = root_of(a);
  lock_task(ha_lock);
  if (root->access_tid == get_tid()) root->access_tid = 0;
  unlock_task(ha_lock, "unlock_ha_access");
  wakeup_task(root);
}

void gc_http_agent() {
  if (!lock_up_test(ha_lock)) return;
  lock_task(ha_lock);
  for (HTTP_AGENT_LIST* a = ha_root; a; a = a->next) {
    // A retired entry nothing serves, connects or links any more is let go:
    // it is never found again, so nothing reads these after this.
    if (a->retired && a->users == 0 && root_of(a)->access_tid == 0 && a->iid.load() <= 0) {
      a->env = nullptr;
      a->initialize = nullptr;
    }
    if (a->env) gc_mark(a->env, gc_qnlisp_env);
    gc_mark(a->initialize, gc_qn_sexp);
  }
  unlock_task(ha_lock, "gc_http_agent");
}

// ---- remote entries

void __initialize_remote(HTTP_AGENT_LIST* a) {
  assert_ha_access_held(a);
  // A retired entry no longer links (a request that found it before it
  // retired gets the unreachable agent's answer).
  if (!is_remote_entry(a) || connected(a) || retired(a)) return;
  HTTP_AGENT_LIST* root = root_of(a);
  if (root != a && root->iid.load() <= 0) __initialize_remote(root);
  int riid = root->iid.load();
  if (root == a && riid <= 0) {
    riid = connect_root(root);
    if (riid < 0) {
      _invalid_all(a);
      return;
    }
  }
  if (riid <= 0) return;  // an alias whose root could not be connected
  if (initialize_on(a, riid) < 0) {
    a->iid.store(-1);
    // A root that failed keeps no connection of its own.
    if (root == a) close_interpreter(riid);
    return;
  }
  a->iid.store(riid);
}

void _initialize_remote(HTTP_AGENT_LIST* a) {
  assert_ha_access_held(a);
  HTTP_AGENT_LIST* root = root_of(a);
  __initialize_remote(root);
  lock_task(ha_lock);
  HTTP_AGENT_LIST* alias = root->alias_list;
  unlock_task(ha_lock, "_initialize_remote");
  for (; alias; alias = alias->alias_list_next) __initialize_remote(alias);
}

void initialize_remote(HTTP_AGENT_LIST* a) {
  lock_ha_access(a, 0);
  _initialize_remote(a);
  unlock_ha_access(a);
}

void _invalid_all(HTTP_AGENT_LIST* a) {
  assert_ha_access_held(a);
  HTTP_AGENT_LIST* root = root_of(a);
  int old = root->iid.exchange(-1);
  lock_task(ha_lock);
  HTTP_AGENT_LIST* alias = root->alias_list;
  unlock_task(ha_lock, "_invalid_all");
  for (; alias; alias = alias->alias_list_next) alias->iid.store(-1);
  // The old connection is no longer anyone's.
  if (old > 0) close_interpreter_nowait(old);
}

void invalid_all(HTTP_AGENT_LIST* a) {
  lock_ha_access(a, 0);
  _invalid_all(a);
  unlock_ha_access(a);
}

// ---- evaluating a request

ZU_SEXP* http_agent_eval(HTTP_AGENT_LIST* a, ZU_SEXP* form, STREAM* client) {
  if (!is_remote_entry(a)) return eval_for_client(a->env, form, client);
  HTTP_AGENT_LIST* root = root_of(a);
  ZU_SEXP* query = List(get_symbol_ascii("HTTP"), define_path_form(a), form, ZU_LIST_END);
  if (!connected(a)) initialize_remote(a);
  for (int retries = 0;; ++retries) {
    int riid = root->iid.load();
    ZU_SEXP* r = nullptr;
    if (!connected(a)) {
      URL u{};
      bool ok = parsed_url(&u, root->remote_url);
      r = unreachable(root, ok ? &u : nullptr);
      free_url(&u);
    } else {
      r = ask(riid, a->env, query, client);
      if (get_type(r) != ZU_TYPE_ERROR || error_code(r) != ZU_ER_INVALID_IID) return r;
      if (retries < 2) {
        invalid_all(a);
        initialize_remote(a);
        continue;
      }
    }
    report("REMOTE ERR ", r);
    return nullptr;
  }
}

// ---- the interpreter of a request's thread

bool borrow_thread_interpreter() {
  int tid = get_tid();
  lock_task(zui_lock);
  if (_get_my_zui()) {
    unlock_task(zui_lock, "borrow_thread_interpreter");
    return false;
  }
  // The thread's interpreter outlives the task that made it while later
  // tasks of the thread take it over; the interpreters' tick closes it
  // once the last task it was lent to has ended and it is not lent again.
  ZU_INTERPRETER* z = thread_iid > 0 ? _search_zui_id(thread_iid) : nullptr;
  if (z && z->a_type == ZUI_SELF && z->mode == ZUI_MODE_OPEN) {
    z->front_thread = tid;
    z->flags &= ~(ZUI_F_BREAK | ZUI_F_CANCEL);
    _register_zui_thread(z, tid);
    unlock_task(zui_lock, "borrow_thread_interpreter");
    return true;
  }
  unlock_task(zui_lock, "borrow_thread_interpreter");
  int iid = open_self_interpreter();
  if (iid <= 0) return false;
  thread_iid = iid;
  return true;
}

void return_thread_interpreter() {
  lock_task(zui_lock);
  _delete_zui_thread(get_tid());
  unlock_task(zui_lock, "return_thread_interpreter");
}

// ---- registering paths from a script

namespace {

constexpr const char* kRegisterFunc = "SetHttpAgentPath";

// A path a request line can carry and this agent can serve: it begins with
// "/", holds printable ASCII only (a request's path is matched byte for
// byte), and is none of the ZUoHTTP protocol's own, which the agent always
// hands on.
const char* path_refusal(const std::string& path) {
  if (path.empty() || path.front() != '/') return "the path must begin with /";
  if (!std::all_of(path.begin(), path.end(), [](unsigned char c) { return c > ' ' && c < 0x7f; }))
    return "the path holds a blank, a control or a non-ASCII byte";
  if (is_zuohttp_path(path.c_str())) return "a path of the ZUoHTTP protocol";
  return nullptr;
}

}  // namespace

ZU_SEXP* zu_SetHttpAgentPath(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  ZU_SEXP* target = get_el(form, 2);
  const int kind = get_type(target);
  if (!is_string(path) || (kind != ZU_TYPE_ENV && kind != ZU_TYPE_STRING))
    return error_text_at(form, ZU_ER_TYPE, kRegisterFunc, "type missmatch");
  const std::string text = n_string(std_cm, str_text(path));
  if (const char* why = path_refusal(text)) return error_at(form, ZU_ER_PARAM, kRegisterFunc, data_list(why, path));
  ZUISP_ENV* env;
  const L_CHAR* url = nullptr;
  if (kind == ZU_TYPE_ENV) {
    // The handlers are the script's; the entry's own environment tells
    // them the path, as a remote agent is told by (Define HttpAgent_path
    // path).
    env = new_env(target->env);
    bind_agent(env, "HttpAgent_path", path);
  } else {
    url = str_text(target);
    URL u{};
    const bool ok = parsed_url(&u, url);
    free_url(&u);
    // Its text may hold a password: the path names the entry instead.
    if (!ok) return error_at(form, ZU_ER_PARAM, kRegisterFunc, data_list("invalid remote agent URL", path));
    // What the remote agent sends of its own accord is evaluated where no
    // power of the process is bound.
    env = new_env(qnlisp_top_env0);
  }
  if (!insert_http_agent_list(text.c_str(), env, url, nullptr, nullptr))
    return error_text_at(form, ZU_ER_OPEN, kRegisterFunc, "the HTTP agent has not started");
  return path;
}
