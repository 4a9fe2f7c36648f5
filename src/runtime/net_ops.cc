// The table of network operations, its defaults and the functions through
// which the runtime calls it.
#include "runtime/net_ops.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "base/alloc.h"
#include "runtime/docpath.h"
#include "stream/stream.h"
#include "text/convert.h"

namespace {

// ---- defaults: nothing of the network layer is there

void nothing() {}
void nothing_env(ZUISP_ENV*) {}
AUTH_CONNECTION_SET* no_auth_set(ZU_INTERPRETER*) { return nullptr; }
void no_free_auth_set(AUTH_CONNECTION_SET*) {}

// Whether the document directory dir (ending in "/") has an access file in
// its document or system tree.
bool has_access_file(const std::basic_string<L_CHAR>& dir) {
  std::basic_string<L_CHAR> name = dir;
  for (const char* c = kAccessFileName; *c; ++c) name.push_back(static_cast<unsigned char>(*c));
  for (L_CHAR* (*tree)(const L_CHAR*) : {get_zudocs, get_zusys}) {
    L_CHAR* f = tree(name.c_str());
    if (!f) continue;
    struct stat st;
    bool found = lstat(n_string(std_cm, f), &st) == 0;
    d_f_ree(f);
    if (found) return true;
  }
  return false;
}

// A document path is denied below any directory that has an access file:
// the root, each directory on the path, and the path itself.
ZU_SEXP* access_files_only(ZU_SEXP* path, const char*) {
  ZU_SEXP* denied = get_error_ascii(nullptr, 0, ZU_ER_DENIED, "authentification (DENIED)", nullptr);
  if (get_type(path) != ZU_TYPE_STRING) return denied;
  L_CHAR* norm = normalize_doc_path(str_text(path));
  if (!norm) return denied;
  std::basic_string<L_CHAR> p = norm;
  d_f_ree(norm);
  if (p.back() != '/') p.push_back('/');
  for (size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1))
    if (has_access_file(p.substr(0, at + 1))) return denied;
  return nullptr;
}

void always_direct(PROXY_INFO* out, const char*) { *out = PROXY_INFO{PROXY_NONE, nullptr, 0, nullptr}; }

int record_nothing(SERVER_INFO*, int, int) { return 0; }

STREAM* no_zuohttp(int* err, const char*, int, int, const char*, int, int, int) {
  if (err) *err = EPROTONOSUPPORT;
  return nullptr;
}

// The HTTP service owns the connection it is handed: without one it is
// refused and closed here.
int decline_http(STREAM** line_stream, STREAM* conn, ZU_INTERPRETER*, PERMISSION_LIST*, FirstLineSlot*) {
  if (line_stream) *line_stream = nullptr;
  d_s_close(conn);
  return -1;
}

void no_tick(void*) {}

int no_session(int) { return 0; }
void no_close_session(int) {}

int keep_alive_on() { return 32; }

ZU_SEXP* no_remote_session(ZUISP_ENV*, int, URL*, const L_CHAR*, const L_CHAR*, const L_CHAR*, ZU_SEXP*,
                           ZU_FILE*, int, int, REMOTE_SESSION_OPT*) {
  return get_error_ascii(nullptr, 0, ZU_ER_NOT_AVAILABLE, "remote_session",
                         list(get_string_ascii("remote sessions are not available")));
}

ZU_NET_OPS ops = {
    nothing,          nothing,           nothing,     nothing,         nothing,      nothing_env,
    no_auth_set,      no_free_auth_set,  access_files_only, nothing,   nothing,      always_direct,
    record_nothing,   no_zuohttp,        decline_http, no_tick,        no_session,   no_remote_session,
    keep_alive_on,
    no_close_session, nothing,
};

template <class F>
void take(F* slot, F from) {
  if (from) *slot = from;
}

}  // namespace

void set_net_ops(const ZU_NET_OPS* o) {
  take(&ops.init_proxy, o->init_proxy);
  take(&ops.init_ZUoHTTP_server, o->init_ZUoHTTP_server);
  take(&ops.init_serverinfo, o->init_serverinfo);
  take(&ops.init_session, o->init_session);
  take(&ops.init_http_agent, o->init_http_agent);
  take(&ops.init_authentificaition, o->init_authentificaition);
  take(&ops.new_auth_connection_set, o->new_auth_connection_set);
  take(&ops.free_auth_connection_set, o->free_auth_connection_set);
  take(&ops.auth_filepath_passive, o->auth_filepath_passive);
  take(&ops.wait_rs_queue, o->wait_rs_queue);
  take(&ops._wait_rs_queue, o->_wait_rs_queue);
  take(&ops.check_proxy, o->check_proxy);
  take(&ops.set_serverinfo, o->set_serverinfo);
  take(&ops.s_connect_ZUoHTTP_2, o->s_connect_ZUoHTTP_2);
  take(&ops.new_accept, o->new_accept);
  take(&ops.remote_session_tick, o->remote_session_tick);
  take(&ops.open_session, o->open_session);
  take(&ops.remote_session, o->remote_session);
  take(&ops.zuohttp_keep_alive, o->zuohttp_keep_alive);
  take(&ops.close_session, o->close_session);
  take(&ops.gc_net, o->gc_net);
}

void clear_proxy_info(PROXY_INFO* p) {
  d_f_ree(p->proxy_server);
  p->proxy_server = nullptr;
}

// ---- the runtime's calls

void init_proxy() { ops.init_proxy(); }
void init_ZUoHTTP_server() { ops.init_ZUoHTTP_server(); }
void init_serverinfo() { ops.init_serverinfo(); }
void init_session() { ops.init_session(); }
void init_http_agent() { ops.init_http_agent(); }
void init_authentificaition(ZUISP_ENV* env) { ops.init_authentificaition(env); }
AUTH_CONNECTION_SET* new_auth_connection_set(ZU_INTERPRETER* zui) { return ops.new_auth_connection_set(zui); }
void free_auth_connection_set(AUTH_CONNECTION_SET* set) { ops.free_auth_connection_set(set); }
ZU_SEXP* auth_filepath_passive(ZU_SEXP* path, const char* operation) {
  return ops.auth_filepath_passive(path, operation);
}
void wait_rs_queue() { ops.wait_rs_queue(); }
// zui_lock held: the network layer's operation states it (this table sits
// below the interpreters' and does not name their lock).
void _wait_rs_queue() { ops._wait_rs_queue(); }
void check_proxy(PROXY_INFO* out, const char* host) { ops.check_proxy(out, host); }
int set_serverinfo(SERVER_INFO* info, int cmd, int set_if) { return ops.set_serverinfo(info, cmd, set_if); }
STREAM* s_connect_ZUoHTTP_2(int* err, const char* host, int ip, int port, const char* proxy_host, int proxy_ip,
                            int proxy_port, int flags) {
  return ops.s_connect_ZUoHTTP_2(err, host, ip, port, proxy_host, proxy_ip, proxy_port, flags);
}
int zuohttp_keep_alive() { return ops.zuohttp_keep_alive(); }
int new_accept(STREAM** line_stream, STREAM* conn, ZU_INTERPRETER* listener, PERMISSION_LIST* entry,
               FirstLineSlot* waiting) {
  return ops.new_accept(line_stream, conn, listener, entry, waiting);
}
void remote_session_tick(void* session) { ops.remote_session_tick(session); }
int open_session(int option) { return ops.open_session(option); }
ZU_SEXP* remote_session(ZUISP_ENV* env, int sid, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                        const L_CHAR* command, ZU_SEXP* value, ZU_FILE* file, int line, int lock_switch,
                        REMOTE_SESSION_OPT* opt) {
  return ops.remote_session(env, sid, u, agent, login_mode, command, value, file, line, lock_switch, opt);
}
void close_session(int sid) { ops.close_session(sid); }
void gc_net_services() { ops.gc_net(); }
