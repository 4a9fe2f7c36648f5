// Sessions: the frame in which scripts send requests to remote agents.
//
// The session switch hands out session ids, keeps one descriptor per id and
// routes each request to the session protocol named by the protocol of its
// URL. A descriptor opens a protocol's own session lazily, at the first
// request of that protocol, and closes every protocol session it opened
// when it is closed. The switch also caches version records fetched from
// remote agents. The runtime reaches open_session, remote_session and
// close_session through its table of network operations (runtime/
// later_services.h); init_netsvc installs this layer's.
//
// One lock, session_lock, guards the switch's descriptors, counter and
// version cache and every list of the protocols (session_zup_impl.h). It is
// never held while a protocol's request, close or version operation runs,
// so those may take it; a protocol's open runs under it and must not.
#pragma once

#include "base/version.h"
#include "runtime/remote.h"
#include "stream/url.h"
#include "zu/env.h"
#include "zu/value.h"

struct STREAM;

// One session protocol: a row of session_sw_table.
struct SESSION_SW {
  const char* proto;  // the URL protocol name; null ends the table
  // A protocol session for a descriptor opened with open_opt for owner
  // (whom the links it opens are for): its id, or a negative number when
  // none can be had. Runs under session_lock.
  int (*open)(int open_opt, const EVAL_ORIGIN& owner);
  void (*close)(int id);
  // The request operation: remote_session's arguments with the protocol
  // session id in place of the descriptor id.
  ZU_SEXP* (*session)(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                      const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line, int session_lock_enable,
                      REMOTE_SESSION_OPT* opt);
  // The version record of a layer at the agent u names, or null; may be
  // absent.
  VERSION* (*get_remote_version)(int id, URL* u, const char* layer);
};
// The protocols, searched in order.
extern const SESSION_SW session_sw_table[];

// One protocol session opened under a descriptor.
struct SESSION_DESCRIPTOR_LIST {
  SESSION_DESCRIPTOR_LIST* next;
  const SESSION_SW* proto;
  int id;  // what the protocol's open gave
};

// One open session (session_lock).
struct SESSION_DESCRIPTOR {
  SESSION_DESCRIPTOR* next;
  int id;
  int open_opt;
  // Whom it was opened for: a peer's session is that peer's alone, and what
  // it opens is asked for that peer.
  EVAL_ORIGIN owner;
  SESSION_DESCRIPTOR_LIST* d_list;  // newest first
};

// One agent's cached version records (session_lock).
struct SESSION_REMOTE_VERSION {
  SESSION_REMOTE_VERSION* next;
  URL url;     // tagged copy of the URL that fetched them
  VERSION* v;  // one record per layer, chained through their next
};

// ---- the switch
// Starts the protocols; once, at the library's start-up.
void init_session_sw();
// A new session id (the first is 1; after the largest int the count starts
// again at 1, passing over ids still open), owned by whom the calling task
// evaluates for. No protocol session is opened.
int sw_open_session(int open_opt);
// Whom session id was opened for, in *owner: false for an unknown id.
bool sw_session_owner(int id, EVAL_ORIGIN* owner);
// Closes the descriptor; the protocol sessions it opened are closed
// outside the lock, the last opened first. An unknown id does nothing.
void sw_close_session(int id);
// Runs one request: the protocol's result, or an error of "RemoteSession"
// (code 0x80040503) for an unknown id, a URL without protocol, server or
// port, a protocol without a row, or a protocol session that cannot open.
ZU_SEXP* sw_remote_session(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                           const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line,
                           int session_lock_enable, REMOTE_SESSION_OPT* opt);
// The version record of `layer` at the agent u names (protocol, server and
// agent; the port is not part of the key), fetched once through session id
// and cached for the rest of the run; null on any failure. The record is
// the cache's: the caller must not free it.
VERSION* get_remote_version(int id, URL* u, const char* layer);
// Sets the last id handed out (tests of the wrap-around).
void sw_set_last_session_id(int id);

// ---- the "zup" protocol (session_zup*.cc)
void init_session_zup();
int open_session_zup(int type, const EVAL_ORIGIN& owner);
void close_session_zup(int id);
ZU_SEXP* remote_session_zup(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                            const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line,
                            int session_lock_enable, REMOTE_SESSION_OPT* opt);
VERSION* get_remote_version_zup(int id, URL* u, const char* layer);
// The collector found a session request's reply unreferenced: the session
// counts it as done (runs on the immediate timer thread).
void remote_session_tick_zup(void* session);
// Marks the set-up records of the zup sessions (world stopped).
void gc_session_zup();
// Aborts a pending session request given its delayed value: its link is
// closed and the request is not retried. The abort's result (0 a query,
// 1 a stream read, -1 nothing to abort).
int aboat_session(ZU_SEXP* delayed);

// ---- the "http" protocol (session_http.cc)
void init_session_http();
int open_session_http(int open_opt, const EVAL_ORIGIN& owner);
void close_session_http(int id);
ZU_SEXP* remote_session_http(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                             const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line,
                             int session_lock_enable, REMOTE_SESSION_OPT* opt);
// Sends one request form to the server of u: with wait, its reply; else a
// delayed value that a reply task fills. Errors name "RemoteSession" at
// file and line.
ZU_SEXP* one_session(URL* u, ZU_SEXP* form, const REMOTE_SESSION_OPT* opt, ZU_FILE* file, int line, bool wait);
// Reads one reply from st and makes it a value: (T L) for XML and HTML (L
// the reader's lazy list, alone with return_format 2), (T raw) for any
// other type, or an error. The stream is the reply's from then on.
ZU_SEXP* read_reply(STREAM* st, const REMOTE_SESSION_OPT* opt, ZU_FILE* file, int line);
// The method word of a head symbol's name: a to z in upper case (a new
// string the caller frees).
L_CHAR* get_method(const L_CHAR* name);
// The most body bytes a reply may carry (256 MiB unless QNMX_HTTP_REPLY_CAP
// or set_http_reply_cap says otherwise; 0 restores the default).
size_t http_reply_cap();
void set_http_reply_cap(size_t bytes);
// The last reply key handed out, 1 to 5 (0 before the first).
int session_http_last_key();

// ---- set-up forms and the native proxy (session_proxy.cc)
// Gives the zup session `id` the form it sends first on every new agent
// connection (null: none), with the environment it came from. 0, or -1 for
// an unknown session.
int set_initial_sexp(int id, ZUISP_ENV* env, ZU_SEXP* form);
// The native proxy: an agent reached over a zup session of its own (u with
// a server), or none (null, or u without a server).
void set_native_proxy(const URL* u);
// A host reached without the native proxy: 0, or -1 when it is listed.
int set_native_proxy_direct_access(const char* host);
// (proxyinfo "NativeProxy" server port (server "NoProxy" host)...), or
// (proxyinfo "NoProxy").
ZU_SEXP* get_native_proxyinfo();
// Hands a request of the zup session `id` to the native proxy: *mode 1 when
// the request must go direct (null result), 2 when the proxy ran it (its
// result). 0 and null when no proxy is set.
ZU_SEXP* native_proxy_send_session(int* mode, ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent,
                                   const L_CHAR* login_mode, const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file,
                                   int line, int session_lock_enable, REMOTE_SESSION_OPT* opt);
// Whether a native proxy is set.
bool native_proxy_set();
// The id of the descriptor's protocol session of that protocol, opened when
// missing: -1 for an unknown descriptor or protocol.
int sw_protocol_session(int id, const char* proto);

// ---- the request built-ins (session_builtins.cc)
// Waits until none of the agent's own RemoteSession requests is in flight,
// at most kEndRequestWaitSeconds (the underscore form with zui_lock held;
// it is released while waiting).
void rs_wait_queue();
void _rs_wait_queue();

// A URL as text for error data: its password, when it has one, shows as
// "****"; a URL without protocol gives its path. A string value.
ZU_SEXP* session_url_string(const URL* u);
