// Links of the "zup" protocol: to a server, to the agent that serves a
// request (found by name, or by the suffix of the resource through the
// server's GetPrefixMode), and the announcement with which an agent link
// opens.
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/tick.h"
#include "base/zutime.h"
#include "netsvc/session_zup_impl.h"
#include "runtime/interp.h"
#include "runtime/later_services.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"
#include "zu/gc.h"

namespace {

using WStr = std::basic_string<L_CHAR>;

constexpr int kConnectTries = 3;
constexpr int kConnectPauseSeconds = 2;
constexpr int kAgentTries = 2;
constexpr int kFirstLinkTicks = 6;   // 30 seconds until the agent is told who asks
constexpr int kAgentLinkTicks = 24;  // 120 seconds until its own time-out is known

ZU_SEXP* error_of(ZU_FILE* file, int line, uint32_t code, ZU_SEXP* data) {
  return get_error_ascii(file, line, code, "RemoteSession", data);
}

// The suffix of the resource from its last dot, or empty.
WStr resource_prefix(const URL* u) {
  if (!u->resource) return WStr();
  WStr r(u->resource);
  size_t dot = r.rfind('.');
  return dot == WStr::npos ? WStr() : r.substr(dot);
}

bool link_open(int iid) { return iid > 0 && check_iid(iid) == 1; }

// (SetAgent A M), its head carrying client="<identification text>".
ZU_SEXP* set_agent_form(const L_CHAR* name, const L_CHAR* login_mode) {
  WStr agent = name ? WStr(name) : WStr();
  size_t hash = agent.find('#');
  if (hash != WStr::npos) agent.resize(hash);
  ZU_SEXP* head = get_symbol_ascii("SetAgent");
  const char* text = get_setagent_msg();
  if (text && *text) set_attribute(head, l_string(std_cm, "client"), l_string(std_cm, text));
  return List(head, get_string(agent.c_str()), get_string(login_mode), ZU_LIST_END);
}

// Makes link iid the server's spare one, closing a spare it no longer
// needs; a link that an agent took meanwhile stays the agent's.
void keep_spare(CON_SERVER* sv, int iid) {
  lock_task(session_lock);
  bool taken = false;
  for (CON_AGENT* a = sv->agent; a && !taken; a = a->next) taken = a->iid == iid;
  int old = taken ? 0 : sv->iid;
  if (!taken) sv->iid = iid;
  unlock_task(session_lock, "get_agent");
  if (old && old != iid) close_interpreter_nowait(old);
}

// The last step of the search: the spare link (or a new one) asked for the
// prefix.
ZU_SEXP* agent_from_new_link(CON_AGENT** out, ZUISP_ENV* env, CON_SERVER* sv, const URL* u, const WStr& prefix,
                             const L_CHAR* cmd, ZU_FILE* file, int line) {
  lock_task(session_lock);
  int iid = sv->iid;
  unlock_task(session_lock, "get_agent");
  if (!link_open(iid)) {
    iid = connect_server(sv, &sv->url);
    if (iid < 1)
      return error_of(file, line, ZU_ER_OPEN,
                      data_list("GET AGENT: cannot connect the server", session_url_string(u), iid));
  }
  int asked = get_prefix_mode(sv, iid, env, prefix.c_str());
  keep_spare(sv, iid);
  if (asked < 0) return nullptr;
  lock_task(session_lock);
  *out = _agent_by_prefix(sv, prefix.c_str(), cmd);
  unlock_task(session_lock, "get_agent");
  if (*out) return nullptr;
  return error_of(file, line, ZU_ER_OPEN, data_list("GET AGENT: invalid prefix", session_url_string(u)));
}

// A page feed after the announcement. The peer's reader counts its line
// end like any other, so the sequence numbers of both sides stay in step
// without restarting the count.
void page_feed(int iid) {
  lock_task(zui_lock);
  ZU_INTERPRETER* z = _search_zui_id(iid);
  STREAM* out = z && z->out ? _zui_stream(&ZU_INTERPRETER::out, z) : nullptr;
  unlock_task(zui_lock, "connect_agent");
  if (!out) return;
  s_printf(out, "\f\n");
  s_flush(out);
  s_drop(out);
}

// One announcement on a fresh link: null, or the error that ended it.
ZU_SEXP* announce(ZUISP_ENV* env, CON_AGENT* a, int iid, const L_CHAR* login_mode) {
  lock_zui_out_iid(iid);
  ZU_SEXP* v = forced(remote_query(iid, env, nullptr, set_agent_form(a->name, login_mode)));
  // Null: the link is not one that answers.
  if (!v) v = error_of(nullptr, 0, ZU_ER_INVALID_IID, data_list("invalid iid", iid));
  bool ok = get_type(v) != ZU_TYPE_ERROR;
  if (ok) page_feed(iid);
  unlock_zui_out_iid(iid);
  if (!ok) return v;
  set_c_timeout(iid, kAgentLinkTicks);
  lock_task(session_lock);
  while (CON_AGENT_INITIAL* i = a->initial_list) {
    a->initial_list = i->next;
    d_f_ree(i);
  }
  unlock_task(session_lock, "connect_agent");
  send_code_sync(iid);
  return nullptr;
}

}  // namespace

ZU_SEXP* forced(ZU_SEXP* v) {
  get_type(v);
  return v;
}

bool broken_link(ZU_SEXP* v) {
  if (sexp_type(v) != ZU_TYPE_ERROR) return false;
  uint32_t code = error_code(v);
  return code == ZU_ER_INVALID_IID || code == ZU_ER_STREAM;
}

int connect_server(CON_SERVER* sv, const URL* u) {
  int r = 0;
  for (int attempt = 1;; ++attempt) {
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_CONNECT;
    // What the server sends of its own accord runs in a child of the first
    // top environment, never in the asker's, and for a peer (link_origin);
    // questions on the link are asked for whom the server was reached.
    z->env = qnlisp_top_env0;
    z->origin = sv->origin;
    z->port = u->port;
    z->hostname = ll_copy_str(u->server);
    z->environment = 1;
    z->connection_timeout = kFirstLinkTicks;
    lock_task(session_lock);
    sv->setup_i_time = get_zutime();
    unlock_task(session_lock, "connect_server");
    r = setup_i(z);
    lock_task(session_lock);
    sv->setup_i_time = 0;
    unlock_task(session_lock, "connect_server");
    if (r == ZUI_ERR_SHUTDOWN) {
      // A link refused at the program's end is left to the caller.
      if (z->inp) d_s_close(z->inp);
      free_zu_interpreter(z);
    }
    if (r > 0 || r == ZUI_ERR_BUSY || r == ZUI_ERR_DENIED || r == ZUI_ERR_SHUTDOWN || r == ZUI_ERR_PEER_LIMIT ||
        attempt >= kConnectTries)
      return r;
    sleep_sec(kConnectPauseSeconds);
  }
}

int read_prefix_reply(CON_SERVER* sv, ZU_SEXP* reply) {
  struct Rule {
    WStr prefix, agent, cmd;
  };
  std::vector<Rule> rules;
  int entries = 0;
  for (ZU_SEXP* p = reply; get_type(p) == ZU_TYPE_LIST && entries < kPrefixEntries; p = p->pair.cdr) {
    ZU_SEXP* e = p->pair.car;
    if (get_type(e) != ZU_TYPE_LIST) continue;
    ZU_SEXP* prefix = get_el(e, 0);
    ZU_SEXP* agent = get_el(e, 1);
    if (!is_string(prefix) || !is_string(agent)) continue;
    for (ZU_SEXP* c = get_el(e, 4); get_type(c) == ZU_TYPE_LIST && entries < kPrefixEntries; c = c->pair.cdr) {
      if (!is_string(c->pair.car)) continue;
      rules.push_back({str_text(prefix), str_text(agent), str_text(c->pair.car)});
      ++entries;
    }
  }
  lock_task(session_lock);
  for (const Rule& r : rules) _add_prefix(_get_agent(sv, r.agent.c_str()), r.prefix.c_str(), r.cmd.c_str());
  unlock_task(session_lock, "get_prefix_mode");
  return entries;
}

int get_prefix_mode(CON_SERVER* sv, int iid, ZUISP_ENV* env, const L_CHAR* prefix) {
  GcFrame frame("get_prefix_mode");
  ZU_SEXP* ask = List(get_symbol_ascii("GetPrefixMode"), get_string(prefix), ZU_LIST_END);
  ZU_SEXP* reply = remote_query(iid, env, nullptr, ask);
  if (!reply || get_type(forced(reply)) == ZU_TYPE_ERROR) return -1;
  read_prefix_reply(sv, reply);
  return 0;
}

ZU_SEXP* get_agent(CON_AGENT** out, ZUISP_ENV* env, CON_SERVER* sv, const URL* u, const L_CHAR* cmd,
                   ZU_FILE* file, int line) {
  *out = nullptr;
  WStr prefix = resource_prefix(u);
  if (prefix.empty())
    return error_of(file, line, ZU_ER_OPEN,
                    data_list("GET AGENT: invalid prefix (there is no prifix) ", session_url_string(u)));
  for (int pass = 0; pass < 2; ++pass) {
    lock_task(session_lock);
    if ((*out = _agent_by_prefix(sv, prefix.c_str(), cmd))) {
      unlock_task(session_lock, "get_agent");
      return nullptr;
    }
    CON_AGENT* idle = nullptr;
    if (pass == 0 && !sv->iid)
      for (CON_AGENT* a = sv->agent; a && !idle; a = a->next)
        if (a->iid && a->lock == 0) idle = a;
    if (!idle) {
      unlock_task(session_lock, "get_agent");
      break;
    }
    _read_lock_agent(idle);
    int iid = idle->iid;
    unlock_task(session_lock, "get_agent");
    bool open = link_open(iid);
    int asked = open ? get_prefix_mode(sv, iid, env, prefix.c_str()) : -1;
    lock_task(session_lock);
    _read_unlock_agent(idle);
    if (!open && idle->iid == iid) idle->iid = 0;
    unlock_task(session_lock, "get_agent");
    if (asked < 0) break;
  }
  return agent_from_new_link(out, env, sv, u, prefix, cmd, file, line);
}

ZU_SEXP* connect_agent(ZUISP_ENV* env, CON_AGENT* a, const L_CHAR* login_mode, ZU_FILE* file, int line) {
  lock_task(session_lock);
  bool open = link_open(a->iid);
  if (!open) {
    _write_lock_agent(a);
    open = link_open(a->iid);
    if (open) _write_unlock_agent(a);
  }
  if (open) {
    unlock_task(session_lock, "connect_agent");
    return nullptr;
  }
  CON_SERVER* sv = a->server;
  int spare = link_open(sv->iid) ? sv->iid : 0;
  sv->iid = 0;
  unlock_task(session_lock, "connect_agent");
  ZU_SEXP* err = nullptr;
  for (int attempt = 0; attempt < kAgentTries; ++attempt) {
    lock_task(session_lock);
    a->timeout = kAgentConnecting;
    unlock_task(session_lock, "connect_agent");
    int iid = spare ? spare : connect_server(sv, &sv->url);
    spare = 0;
    if (iid < 1) {
      err = error_of(file, line, ZU_ER_STREAM,
                     data_list("cannot access the server", session_url_string(&sv->url), iid));
      break;
    }
    lock_task(session_lock);
    a->iid = iid;
    unlock_task(session_lock, "connect_agent");
    err = announce(env, a, iid, login_mode);
    if (!err) break;
    lock_task(session_lock);
    if (a->iid == iid) a->iid = 0;
    unlock_task(session_lock, "connect_agent");
    close_interpreter_nowait(iid);
    if (!broken_link(err)) break;
  }
  lock_task(session_lock);
  _write_unlock_agent(a);
  a->timeout = kAgentTimeoutUnasked;
  _wake_agent_timeout_task();
  unlock_task(session_lock, "connect_agent");
  return err;
}
