// The session switch: session ids and descriptors, routing of requests by
// the URL's protocol, and the cache of remote version records.
#include <climits>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "netsvc/session.h"
#include "netsvc/session_zup_impl.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"

const SESSION_SW session_sw_table[] = {
    {"zup", open_session_zup, close_session_zup, remote_session_zup, get_remote_version_zup},
    {"http", open_session_http, close_session_http, remote_session_http, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

namespace {

// All session_lock.
SESSION_DESCRIPTOR* sd_list = nullptr;
int session_sw_id = 0;
SESSION_REMOTE_VERSION* rem_version = nullptr;

SESSION_DESCRIPTOR* _find_descriptor(int id) {
  assert_lock_held(session_lock);
  SESSION_DESCRIPTOR* d = sd_list;
  while (d && d->id != id) d = d->next;
  return d;
}

const SESSION_SW* find_row(const L_CHAR* proto) {
  for (const SESSION_SW* row = session_sw_table; row->proto; ++row)
    if (zu_wcmp_ascii(proto, row->proto) == 0) return row;
  return nullptr;
}

ZU_SEXP* sw_error(ZU_FILE* file, int line, ZU_SEXP* data) {
  return get_error_ascii(file, line, ZU_ER_PARAM, "RemoteSession", data);
}

// The descriptor's protocol session for proto, opened when missing. Null
// with *err set: 1 no such protocol, 2 it cannot open.
SESSION_DESCRIPTOR_LIST* _protocol_session(SESSION_DESCRIPTOR* d, const L_CHAR* proto, int* err) {
  assert_lock_held(session_lock);
  for (SESSION_DESCRIPTOR_LIST* e = d->d_list; e; e = e->next)
    if (zu_wcmp_ascii(proto, e->proto->proto) == 0) return e;
  const SESSION_SW* row = find_row(proto);
  if (!row) {
    *err = 1;
    return nullptr;
  }
  int pid = row->open(d->open_opt, d->owner);
  if (pid < 0) {
    *err = 2;
    return nullptr;
  }
  auto* e = static_cast<SESSION_DESCRIPTOR_LIST*>(d_calloc(sizeof(SESSION_DESCRIPTOR_LIST), 1));
  e->proto = row;
  e->id = pid;
  e->next = d->d_list;
  d->d_list = e;
  return e;
}

// The cache entry of the agent u names.
SESSION_REMOTE_VERSION* _find_version_entry(const URL* u) {
  assert_lock_held(session_lock);
  for (SESSION_REMOTE_VERSION* e = rem_version; e; e = e->next)
    if (same_text(e->url.proto, u->proto) && same_text(e->url.server, u->server) &&
        same_text(e->url.agent, u->agent))
      return e;
  return nullptr;
}

VERSION* _find_layer(SESSION_REMOTE_VERSION* e, const char* layer) {
  assert_lock_held(session_lock);
  for (VERSION* v = e ? e->v : nullptr; v; v = v->next)
    if (v->layer && std::strcmp(v->layer, layer) == 0) return v;
  return nullptr;
}

}  // namespace

void init_session_sw() {
  init_session_zup();
  init_session_http();
}

void sw_set_last_session_id(int id) {
  lock_task(session_lock);
  session_sw_id = id;
  unlock_task(session_lock, "sw_set_last_session_id");
}

int sw_open_session(int open_opt) {
  auto* d = static_cast<SESSION_DESCRIPTOR*>(d_calloc(sizeof(SESSION_DESCRIPTOR), 1));
  d->owner = eval_origin_handed();
  lock_task(session_lock);
  // After the count wraps, ids of sessions still open are passed over.
  int id = session_sw_id;
  do {
    id = id < 0 || id == INT_MAX ? 1 : id + 1;
  } while (_find_descriptor(id));
  session_sw_id = id;
  d->id = id;
  d->open_opt = open_opt;
  d->next = sd_list;
  sd_list = d;
  unlock_task(session_lock, "open_session");
  return id;
}

bool sw_session_owner(int id, EVAL_ORIGIN* owner) {
  lock_task(session_lock);
  SESSION_DESCRIPTOR* d = _find_descriptor(id);
  if (d) *owner = d->owner;
  unlock_task(session_lock, "sw_session_owner");
  return d != nullptr;
}

void sw_close_session(int id) {
  lock_task(session_lock);
  SESSION_DESCRIPTOR** p = &sd_list;
  while (*p && (*p)->id != id) p = &(*p)->next;
  SESSION_DESCRIPTOR* d = *p;
  if (d) *p = d->next;
  unlock_task(session_lock, "close_session");
  if (!d) return;
  for (SESSION_DESCRIPTOR_LIST* e = d->d_list; e;) {
    SESSION_DESCRIPTOR_LIST* next = e->next;
    e->proto->close(e->id);
    d_f_ree(e);
    e = next;
  }
  d_f_ree(d);
}

ZU_SEXP* sw_remote_session(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                           const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line,
                           int session_lock_enable, REMOTE_SESSION_OPT* opt) {
  const char* missing = !u || !u->proto ? "undefined proto(session)"
                        : !u->server    ? "undefined server(session)"
                        : !u->port      ? "undefined port(session)"
                                        : nullptr;
  lock_task(session_lock);
  SESSION_DESCRIPTOR* d = _find_descriptor(id);
  const SESSION_SW* row = nullptr;
  int pid = 0, err = 0;
  if (d && !missing) {
    if (SESSION_DESCRIPTOR_LIST* e = _protocol_session(d, u->proto, &err)) {
      row = e->proto;
      pid = e->id;
    }
  }
  unlock_task(session_lock, "remote_session");
  if (!d) return sw_error(file, line, data_list("invalid session id(session)", id));
  if (missing) return sw_error(file, line, data_list(missing));
  if (!row) {
    const char* text = err == 1 ? "invalid session protocol" : "cannot connect the protocol";
    return sw_error(file, line, data_list(text, get_string(u->proto)));
  }
  // Through the native proxy, whatever the protocol: the proxy knows the
  // session by the descriptor's zup session.
  if (native_proxy_set()) {
    int zid = sw_protocol_session(id, "zup");
    if (zid < 0) return sw_error(file, line, data_list("cannot connect the protocol", get_string_ascii("zup")));
    int mode = 0;
    ZU_SEXP* r = native_proxy_send_session(&mode, env, zid, u, agent, login_mode, center_cmd, cmd, file, line,
                                           session_lock_enable, opt);
    if (mode == 2) return r;
  }
  return row->session(env, pid, u, agent, login_mode, center_cmd, cmd, file, line, session_lock_enable, opt);
}

int sw_protocol_session(int id, const char* proto) {
  const L_CHAR* name = l_string(std_cm, proto);
  lock_task(session_lock);
  SESSION_DESCRIPTOR* d = _find_descriptor(id);
  int err = 0;
  SESSION_DESCRIPTOR_LIST* e = d ? _protocol_session(d, name, &err) : nullptr;
  int pid = e ? e->id : -1;
  unlock_task(session_lock, "sw_protocol_session");
  return pid;
}

VERSION* get_remote_version(int id, URL* u, const char* layer) {
  if (!u || !u->proto || !layer) return nullptr;
  lock_task(session_lock);
  if (VERSION* hit = _find_layer(_find_version_entry(u), layer)) {
    unlock_task(session_lock, "get_remote_version");
    return hit;
  }
  SESSION_DESCRIPTOR* d = _find_descriptor(id);
  int err = 0;
  SESSION_DESCRIPTOR_LIST* e = d ? _protocol_session(d, u->proto, &err) : nullptr;
  const SESSION_SW* row = e ? e->proto : nullptr;
  int pid = e ? e->id : 0;
  unlock_task(session_lock, "get_remote_version");
  if (!row || !row->get_remote_version) return nullptr;
  VERSION* v = row->get_remote_version(pid, u, layer);
  if (!v) return nullptr;
  lock_task(session_lock);
  SESSION_REMOTE_VERSION* entry = _find_version_entry(u);
  if (!entry) {
    entry = static_cast<SESSION_REMOTE_VERSION*>(d_calloc(sizeof(SESSION_REMOTE_VERSION), 1));
    copy_url(&entry->url, u);
    entry->next = rem_version;
    rem_version = entry;
  }
  // Another thread may have fetched the same layer meanwhile.
  VERSION* kept = _find_layer(entry, layer);
  if (!kept) {
    v->next = entry->v;
    entry->v = v;
    kept = v;
    v = nullptr;
  }
  unlock_task(session_lock, "get_remote_version");
  free_version(v);
  return kept;
}

ZU_SEXP* session_url_string(const URL* u) {
  if (!u) return get_string(nullptr);
  std::basic_string<L_CHAR> text;
  if (const L_CHAR* whole = get_url_str2(u)) {
    text = whole;
    if (u->user || u->passwd) {
      // The composed text carries no credentials: the user goes back in,
      // the password never does.
      std::basic_string<L_CHAR> cred = u->user ? u->user : std::basic_string<L_CHAR>();
      if (u->passwd) cred += l_string(std_cm, ":****");
      cred += '@';
      size_t at = text.find(l_string(std_cm, "://"));
      if (at != text.npos) text.insert(at + 3, cred);
    }
  } else {
    L_CHAR* path = get_url_filepath(u);
    if (path) text = path;
    d_f_ree(path);
  }
  return get_string(text.c_str());
}
