// Inside the "zup" session protocol: sessions, the servers and agents they
// reach, and the connection code shared by its files.
//
// A server is a host and port that accepts interpreter links; on it run
// agents, named interpreters that serve commands for file suffixes
// (prefixes). Connections to servers and agents are made on demand, shared
// by every session, trimmed by the tick and retried when they break.
//
// What stays true:
// - Every list and counter here, the sessions' and agents' lock fields
//   included, changes only under session_lock (shared with the switch).
//   session_lock is never held across a remote query or a connection
//   attempt; it sits below zui_lock in the lock order.
// - A session's `lock` lets one request at a time build and send its forms.
//   A session that a request holds, or that has pending delayed replies
//   (access_cnt > 0), is not freed: its close is only recorded, and the
//   request as it lets go, or the last reply, closes it. Nothing waits for
//   a session to close.
// - An agent's `lock` is a read/write lock: readers send forms on its
//   connection, a writer (connect_agent) replaces the connection. A server
//   is removed only while no session is attached to it and none of its
//   agents is locked, so a task that holds an agent locked, or whose
//   session is attached, may use the agent and server after releasing
//   session_lock.
// - List changes do not reach a collector safe point half done, so the
//   collector's mark walk may read the sessions with the world stopped.
#pragma once

#include "base/lock.h"
#include "base/task.h"
#include "netsvc/session.h"
#include "text/lchar.h"

struct CON_SERVER;
struct CON_AGENT;

extern SEM session_lock;

struct CON_SESSION {
  CON_SESSION* next;
  int type;  // 1: servers shared with every session of type 1
  int id;
  L_CHAR* login_mode;    // "user" at first
  L_CHAR* working_path;  // null until the first request
  CON_SERVER* server;    // attached to, or null
  CON_SESSION* sl_next;  // in that server's session list
  int lock;              // 1 while a request builds and sends its forms
  const char* lock_file;
  int lock_line;
  int lock_task;
  int flags;       // kSesCloseRequested, kSesProxySetUp
  int access_cnt;  // requests whose delayed reply is pending
  EVAL_ORIGIN origin;  // whom it was opened for (set-up)
  // Set-up forms sent before the session's first request on a connection:
  // pre_func gives them (session_lock held; it must not take it), pre_proxy
  // the form that sets the session up at a native proxy, pre_gc marks
  // pre_work (world stopped), pre_free frees it.
  ZU_SEXP* (*pre_func)(CON_SESSION* s, CON_AGENT* a, int proxy_ses);
  ZU_SEXP* (*pre_proxy)(CON_SESSION* s);
  void (*pre_gc)(void* work);
  void (*pre_free)(void* work);
  void* pre_work;
};
constexpr int kSesCloseRequested = 1;
constexpr int kSesProxySetUp = 2;

// The agent serves command `cmd` for files whose suffix is `name`.
struct CON_PREFIX {
  CON_PREFIX* next;
  L_CHAR* name;  // with its leading dot
  L_CHAR* cmd;
};

// A session whose set-up forms went out on the agent's current connection.
struct CON_AGENT_INITIAL {
  CON_AGENT_INITIAL* next;
  int ses;
};

// Connection time-out states of an agent (timeout; else the seconds set).
constexpr int kAgentNeverConnected = -4;
constexpr int kAgentConnecting = -3;
constexpr int kAgentTimeoutUnasked = -2;

struct CON_AGENT {
  CON_AGENT* next;
  L_CHAR* name;
  int iid;      // the link to the agent, 0 when none
  int timeout;  // kAgent* or the connection time-out in seconds (-1: none)
  CON_SERVER* server;
  CON_PREFIX* prefix;
  int lock;  // 0 free, n > 0 readers, -1 a writer
  CON_AGENT_INITIAL* initial_list;
};

struct CON_SERVER {
  CON_SERVER* next;
  CON_AGENT* agent;      // newest first
  URL url;               // tagged copy
  CON_SESSION* session;  // attached sessions, newest first
  int ac;                // attach count: 10 at first, +1 per attachment, decayed by the tick
  int iid;               // a spare link not yet given to an agent, 0 when none
  int direct_session_id;  // 0: shared by sessions of type 1
  // Whom its links are for: a server reached for a peer is shared with no
  // session of the agent's or of another peer, so that a link a peer made
  // the agent open never serves the agent's own questions.
  EVAL_ORIGIN origin;
  unsigned setup_i_time;  // when a connection attempt began, 0 when none runs
};

// ---- sessions, servers and agents (session_zup.cc), session_lock held
extern CON_SESSION* session_list;  // newest first
extern CON_SERVER* server_list;    // newest first
CON_SESSION* _find_con_session(int id);
// The server of u (protocol, server name and port) shared by sessions of
// type 1 opened for owner, or owned by session direct_id; made when
// missing.
CON_SERVER* _get_server(const URL* u, int direct_id, const EVAL_ORIGIN& owner);
void _attach_server(CON_SESSION* s, CON_SERVER* sv);
// The agent of that name on the server, made (never connected) when
// missing.
CON_AGENT* _get_agent(CON_SERVER* sv, const L_CHAR* name);
// The first agent of the server that serves cmd for prefix, or null.
CON_AGENT* _agent_by_prefix(CON_SERVER* sv, const L_CHAR* prefix, const L_CHAR* cmd);
// Adds (prefix, cmd) to the agent unless it is listed.
void _add_prefix(CON_AGENT* a, const L_CHAR* prefix, const L_CHAR* cmd);
// The agent link is known to be broken: forgotten (and closed) when it is
// still the agent's.
void _forget_agent_link(CON_AGENT* a, int iid);
void _read_lock_agent(CON_AGENT* a);
void _read_unlock_agent(CON_AGENT* a);
void _write_lock_agent(CON_AGENT* a);
void _write_unlock_agent(CON_AGENT* a);
void read_lock_agent(CON_AGENT* a);
void read_unlock_agent(CON_AGENT* a);
void write_lock_agent(CON_AGENT* a);
void write_unlock_agent(CON_AGENT* a);
// One request at a time per session: waits (releasing session_lock) until
// no request holds session id, then holds it. The session, or null when it
// is gone; one whose close was requested is returned unheld, unless
// closing_too (the retries of its pending replies).
CON_SESSION* _lock_con_session(int id, bool closing_too, const char* file, int line);
// Lets the session go; one whose close was recorded and that has no pending
// reply is closed (the caller must not use it afterwards).
void _unlock_con_session(CON_SESSION* s);
// The last pending reply of a session whose close was requested is done.
void _session_reply_done(CON_SESSION* s);
// Tells agent_timeout_task that an agent waits for its time-out.
void _wake_agent_timeout_task();
// True while the link has a query waiting for its reply.
bool link_has_pending_query(int iid);

// ---- background work (session_zup.cc)
// Every tick (10 seconds unless QNMX_SESSION_TICK sets another count of
// seconds): surplus servers without sessions go, attach counts decay, and
// agent links of a server whose connection attempt hangs are closed.
void session_tick(void*);
void agent_timeout_task(TKEY data);
// The connection time-out in seconds that an agent's reply to
// (GetZUIinfo 0) gives: three times its own (clamped to INT_MAX / 5), -1
// for none, 120 when the reply tells nothing.
int agent_timeout_seconds(ZU_SEXP* reply);

// ---- connecting and routing (session_connect.cc)
// Codes of a broken link, which the requests retry.
bool broken_link(ZU_SEXP* v);
// A link to the server (up to 3 tries, 2 seconds apart; a busy or denied
// answer is not retried): its iid or a negative set-up result.
int connect_server(CON_SERVER* sv, const URL* u);
// Asks link iid which agents serve prefix and records them on the server:
// 0, or -1 when the query failed.
int get_prefix_mode(CON_SERVER* sv, int iid, ZUISP_ENV* env, const L_CHAR* prefix);
// Records what a GetPrefixMode reply lists (at most kPrefixEntries entries,
// ill-shaped ones skipped); the number of (prefix, command) pairs read.
constexpr int kPrefixEntries = 10000;
int read_prefix_reply(CON_SERVER* sv, ZU_SEXP* reply);
// The agent that serves cmd for the suffix of u's resource: *out, or an
// error value; both null when the server's answer could not be had.
ZU_SEXP* get_agent(CON_AGENT** out, ZUISP_ENV* env, CON_SERVER* sv, const URL* u, const L_CHAR* cmd,
                   ZU_FILE* file, int line);
// Makes sure the agent has a link on which it has been told who asks:
// null, or an error value.
ZU_SEXP* connect_agent(ZUISP_ENV* env, CON_AGENT* a, const L_CHAR* login_mode, ZU_FILE* file, int line);
// Forces a value on the calling task (its interpreter answers the peer's
// requests meanwhile).
ZU_SEXP* forced(ZU_SEXP* v);

// Whether two texts are equal, either of them possibly null (two nulls are).
inline bool same_text(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !b) return a == b;
  return l_strcmp(a, b) == 0;
}

// ---- the native proxy (session_proxy.cc), session_lock held
// The forms that set session `id` up at the native proxy, once until its
// set-up changes or the proxy's link is new: null when done already, a
// one-member list of the error for an unknown session.
ZU_SEXP* _setup_session_proxy(int id, ZU_FILE* file, int line);
// A zup request that carries a request of session proxy_ses to the native
// proxy (0: an ordinary request).
ZU_SEXP* remote_session_zup_for(ZUISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                                const L_CHAR* center_cmd, ZU_SEXP* cmd, ZU_FILE* file, int line,
                                int session_lock_enable, REMOTE_SESSION_OPT* opt, int proxy_ses);

// ---- tests
// The ports of the servers known, newest first.
int session_zup_server_ports(int* ports, int max);
