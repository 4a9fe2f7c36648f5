// Start-up and interpreter services of the network layer, the log and the
// named locks, as the library start-up and the interpreters call them.
//
// The network services belong to a layer above this one. Each is called
// through the table of network operations (net_ops.h), whose defaults
// answer as "not available here"; the network layer fills the table at
// start-up, before init_zu.
#pragma once

#include "runtime/net_ops.h"
#include "zu/env.h"

// Network services (dispatched through the table).
void init_proxy();
void init_ZUoHTTP_server();
void init_serverinfo();
void init_session();
void init_http_agent();
void init_authentificaition(ZUISP_ENV* env);
// Keeps a copy of the agent identification text and returns it; the caller
// keeps its own text.
char* set_setagent_msg(const char* text);
// The text last handed to set_setagent_msg, or null.
const char* get_setagent_msg();
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
// Waits until no remote-session request task runs (the underscore form with
// zui_lock held).
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
// link. By default it is refused and closed.
int new_accept(STREAM** line_stream, STREAM* conn, ZU_INTERPRETER* listener, PERMISSION_LIST* entry);
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

// The log (given the two top environments) and the named locks.
void init_log(ZUISP_ENV* env0, ZUISP_ENV* env1);
void init_call_lock();
