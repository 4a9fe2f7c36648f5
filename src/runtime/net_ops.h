// The network operations that the interpreter runtime calls but that belong
// to the network layer above it (proxies, server information, ZUoHTTP, the
// HTTP agent, sessions, peer authentication).
//
// The runtime calls each through one table whose defaults answer as "not
// available here" (a direct connection, nothing recorded, no session, no
// HTTP). The network layer fills the entries it builds with set_net_ops at
// start-up, before init_zu and before any other thread runs; the table is
// only read afterwards, so it takes no lock. The runtime never includes the
// network layer, and links and runs alone with the defaults.
#pragma once

#include "zu/env.h"
#include "zu/value.h"

struct ZU_INTERPRETER;
struct AUTH_CONNECTION_SET;
struct PERMISSION_LIST;
struct REMOTE_SESSION_OPT;
struct STREAM;
struct URL;
class FirstLineSlot;
struct SERVER_LIST;  // a per-host exception of the proxy setting

// Proxy types.
constexpr char PROXY_NONE = 1;       // a plain interpreter link
constexpr char PROXY_ZUOHTTP = 2;    // ZUoHTTP to the agent itself
constexpr char PROXY_HTTP = 4;       // ZUoHTTP through an HTTP proxy
constexpr char PROXY_UNDECIDED = 64;  // an interpreter's own: ask check_proxy

// How a host is reached. check_proxy hands out its own copy of the server
// name (tagged allocation), which clear_proxy_info frees.
struct PROXY_INFO {
  char proxy_type;
  char* proxy_server;  // the HTTP proxy's host name, or null
  int proxy_port;
  SERVER_LIST* da_servers;  // the direct-access list (empty in check_proxy's answers)
};
void clear_proxy_info(PROXY_INFO* p);

// What is known of a remote server. active_flags tells which fields are
// valid.
constexpr int SI_STATUS = 1;
constexpr int SI_IP = 2;
constexpr int SI_NAME = 4;
constexpr int SI_THPUT = 8;
constexpr int SI_DATA = 16;
struct SERVER_INFO {
  int active_flags;
  int status;
  const L_CHAR* name;
  unsigned ip;
  int thput;  // bytes per second
  int data;
};

struct ZU_NET_OPS {
  void (*init_proxy)();
  void (*init_ZUoHTTP_server)();
  void (*init_serverinfo)();
  void (*init_session)();
  void (*init_http_agent)();
  void (*init_authentificaition)(ZUISP_ENV* env);
  AUTH_CONNECTION_SET* (*new_auth_connection_set)(ZU_INTERPRETER* zui);
  void (*free_auth_connection_set)(AUTH_CONNECTION_SET* set);
  ZU_SEXP* (*auth_filepath_passive)(ZU_SEXP* path, const char* operation);
  void (*wait_rs_queue)();
  void (*_wait_rs_queue)();
  void (*check_proxy)(PROXY_INFO* out, const char* host);
  int (*set_serverinfo)(SERVER_INFO* info, int cmd, int set_if);
  STREAM* (*s_connect_ZUoHTTP_2)(int* err, const char* host, int ip, int port, const char* proxy_host,
                                 int proxy_ip, int proxy_port, int flags);
  int (*new_accept)(STREAM** line_stream, STREAM* conn, ZU_INTERPRETER* listener, PERMISSION_LIST* entry,
                    FirstLineSlot* waiting);
  void (*remote_session_tick)(void* session);
  int (*open_session)(int option);
  ZU_SEXP* (*remote_session)(ZUISP_ENV* env, int sid, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                             const L_CHAR* command, ZU_SEXP* value, ZU_FILE* file, int line, int lock_switch,
                             REMOTE_SESSION_OPT* opt);
  // The keep-alive flag handed to s_connect_ZUoHTTP_2 (32 on, 0 off).
  int (*zuohttp_keep_alive)();
  void (*close_session)(int sid);
  // Marks the network layer's own roots; called by the library's marking
  // with the world stopped (it may take only leaf locks).
  void (*gc_net)();
};

// Takes every non-null entry of ops into the table.
void set_net_ops(const ZU_NET_OPS* ops);

// ---------------------------------------------------------------------------
// The runtime's calls, each made through the table.

void init_proxy();
void init_ZUoHTTP_server();
void init_serverinfo();
void init_session();
void init_http_agent();
void init_authentificaition(ZUISP_ENV* env);
AUTH_CONNECTION_SET* new_auth_connection_set(ZU_INTERPRETER* zui);
void free_auth_connection_set(AUTH_CONNECTION_SET* set);
// The server side's check of a peer's access to a document path (a string
// value) for an operation: null when allowed, else an error 0x80040d10 from
// "authentification (DENIED)", or the error the peer answered with. The
// network layer authenticates the peer; without it the default denies a
// path that is not a string and a path below any directory whose ".zuaccess"
// file exists in the document or system tree (the document root, each
// directory on the path, and the path itself), and allows the rest.
ZU_SEXP* auth_filepath_passive(ZU_SEXP* path, const char* operation);
// Waits until none of the agent's own remote-session requests is in
// flight, at most kEndRequestWaitSeconds (interp.h); a peer's are not
// waited for (the underscore form with zui_lock held).
void wait_rs_queue();
void _wait_rs_queue();

// Fills *out with how host is reached (the caller frees it with
// clear_proxy_info); by default always directly.
void check_proxy(PROXY_INFO* out, const char* host);
// Records what is known of a server: 0, or -1 / -2 as the table refuses
// (by default nothing is recorded).
int set_serverinfo(SERVER_INFO* info, int cmd, int set_if);
// A ZUoHTTP client stream to host/ip:port, through the HTTP proxy
// proxy_host:proxy_port (or proxy_ip) when one is given; flags carries the
// keep-alive flag (by default: null with *err = EPROTONOSUPPORT).
STREAM* s_connect_ZUoHTTP_2(int* err, const char* host, int ip, int port, const char* proxy_host, int proxy_ip,
                            int proxy_port, int flags);
// The process's keep-alive flag of ZUoHTTP links: 32 (on, the default) or 0.
int zuohttp_keep_alive();
// Serves an accepted connection whose first byte is not a line end (HTTP);
// the connection is the service's from then on. -1 failure (it has been
// closed), 0 taken, anything else: *line_stream is a stream for a line
// link (a session's), whose front and relay tasks (kLinkTasks,
// peer_tasks.h) count against the peer's address already, and with
// kAcceptHeldLink a place among the line links too (a session that holds
// its connection as long as it lives): the caller hands them to
// launch_accept_thread or gives them back. `waiting` is the connection's
// slot among those waiting for their first line, let go once its header is
// in. By default it is refused and closed.
int new_accept(STREAM** line_stream, STREAM* conn, ZU_INTERPRETER* listener, PERMISSION_LIST* entry,
               FirstLineSlot* waiting);
inline constexpr int kAcceptHeldLink = 2;
// Tick action of a remote session whose pending result was dropped.
void remote_session_tick(void* session);
// A new session id (by default 0: no session can be opened).
int open_session(int option);
// Runs one request on session sid to u: the peer's result (often a delayed
// value) or an error value positioned at file and line (by default the
// error "remote sessions are not available").
ZU_SEXP* remote_session(ZUISP_ENV* env, int sid, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                        const L_CHAR* command, ZU_SEXP* value, ZU_FILE* file, int line, int lock_switch,
                        REMOTE_SESSION_OPT* opt);
// Closes session sid and every protocol session it opened (an unknown id:
// nothing).
void close_session(int sid);
// Marks the network layer's collector roots: open sessions, the HTTP agent's
// registry (world stopped; by default nothing).
void gc_net_services();
