// Start-up and interpreter services of the network layer, the log and the
// named locks, as the library start-up and the interpreters call them.
// Until those layers exist, later_services.cc gives each one a body that
// does nothing (and set_setagent_msg keeps its text); the layer that builds
// a service replaces its body there.
#pragma once

#include "zu/env.h"

struct ZU_INTERPRETER;
struct AUTH_CONNECTION_SET;
struct PERMISSION_LIST;
struct STREAM;

// Network services.
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
// The server side's check of a peer's access to a path (a string value)
// for an operation: null when allowed, else an error 0x80040d10 from
// "authentification (DENIED)". Until peers are authenticated it denies a
// path that is not a string and a path below any directory holding a
// ".zuaccess" file (the document root, each directory on the path, and the
// path itself), and allows the rest.
ZU_SEXP* auth_filepath_passive(ZU_SEXP* path, const char* operation);
// Waits until no remote-session request task runs (the underscore form with
// zui_lock held).
void wait_rs_queue();
void _wait_rs_queue();

// How a host is reached: type 1 direct, 2 ZUoHTTP version 2, 4 through a
// proxy at proxy_ip:proxy_port.
struct PROXY_INFO {
  int type;
  int proxy_ip;
  int proxy_port;
};
// Fills the proxy information for host (until the proxy table exists:
// always direct).
void check_proxy(PROXY_INFO* out, const char* host);
// A server's name, address, reachability and measured throughput.
struct SERVER_INFO {
  const L_CHAR* name;
  int ip;
  int reachable;
  double thput;  // bytes per second, negative when unknown
};
// Records what is known of a server (until the table exists: nothing).
void set_serverinfo(SERVER_INFO* info, int mode, int flag);
// A ZUoHTTP version-2 client stream (until that protocol exists: null with
// *err = EPROTONOSUPPORT).
STREAM* s_connect_ZUoHTTP_2(int* err, const char* host, int ip, int port, int proxy_ip, int zero,
                            int proxy_port);
// Serves an accepted connection whose first byte is not a line end (HTTP):
// -1 failure (the caller closes it), 0 taken, anything else: *line_stream
// is a stream for a line link. Until the HTTP services exist it declines.
int new_accept(STREAM** line_stream, STREAM* conn, ZU_INTERPRETER* listener, PERMISSION_LIST* entry);
// Tick action of a remote session whose pending result was dropped.
void remote_session_tick(void* session);

// The log (given the two top environments) and the named locks.
void init_log(ZUISP_ENV* env0, ZUISP_ENV* env1);
void init_call_lock();
