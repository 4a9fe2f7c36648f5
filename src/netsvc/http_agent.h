// The HTTP agent: plain HTTP requests on the accepting port are offered to
// it before ZUoHTTP sees them. A registered request path is bound to an
// environment (the request is evaluated here) or to a remote agent (it is
// evaluated there, over an interpreter link); the request becomes the form
// (METHOD raw?) and the form's result becomes the reply: HTML, XML, JPEG,
// GIF, or an error page. Unregistered paths get the 404 page; the paths of
// the ZUoHTTP protocol are declined. Only HTTP's own methods are evaluated,
// at a local entry only when its environment binds them (else 501): the
// method names the function called. Request bodies are charged to the
// budget for peer input that the links share (runtime/link_budget.h) as
// their bytes arrive, by the client's address.
//
// Paths are registered through insert_http_agent_list; the program's
// scripts do so with the built-in SetHttpAgentPath, a power of the agent
// that no peer has.
//
// One lock, ha_lock (a leaf), guards the list of paths, every entry's
// access lock and the queue of the evaluation task. An entry's access lock
// (held by one task at a time) serialises the connecting and invalidating
// of its chain of remote entries; nothing is evaluated or sent under it
// except the connecting itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/task.h"
#include "netsvc/http_header.h"
#include "text/lchar.h"
#include "zu/env.h"
#include "zu/value.h"

// A request body larger than this is refused (status 500) unread.
constexpr int kHttpAgentMaxBody = 64 << 20;

// One registered path. Entries are never removed; one whose path is
// registered again retires.
struct HTTP_AGENT_LIST {
  HTTP_AGENT_LIST* next;             // the list, newest first
  char* path;                        // the request path served (owned)
  HTTP_AGENT_LIST* alias_root;       // an alias: the root of its chain, else null
  HTTP_AGENT_LIST* alias_list;       // a root: its aliases, newest first
  HTTP_AGENT_LIST* alias_list_next;  // an alias: the next alias of its root
  // 0 local evaluation; -1 not (or no longer) connected; > 0 the connected
  // remote agent's interpreter (an alias: the one it was initialised on).
  std::atomic<int> iid;
  ZUISP_ENV* env;                    // where forms are evaluated, or named for the peer
  L_CHAR* remote_url;                // the remote agent's URL (owned), or null
  ZU_SEXP* initialize;               // forms sent to the remote agent after connecting
  int access_tid;                    // the task holding the access lock, 0 when free
  // Its path was registered again (or, an alias, its root's was): it is
  // neither found nor reconnected, and its link is closed (ha_lock).
  bool retired;
  // Requests serving it now (ha_lock): a retired entry is let go (its
  // environment and forms no longer kept) once none is and it is unlinked.
  int users;
};

// ---- start-up and tick
// Creates ha_lock and starts the tick (every 10 seconds). Once; installed
// as the runtime's init_http_agent, which the interpreter start-up calls.
void http_agent_start();
// The tick's interval in seconds (for tests; the tick restarts with it).
void set_http_agent_tick(int seconds);
// One round of the tick, on the calling thread: every remote entry whose
// access lock is free and which is not connected, or whose interpreter has
// gone, is (re)connected; a retired entry's link still open is closed.
void tick_http_agent();

// ---- the registry
// Registers path. With alias the entry joins the chain of alias's root
// (at the head of the root's aliases, not connected); else with remote_url
// it is a remote entry (not connected); else a local one evaluated in env.
// An earlier entry of the same path retires with its aliases, and its link
// to a remote agent is closed (here when its access lock is free, else by
// the tick).
// The caller keeps env and initialize pinned until this returns.
HTTP_AGENT_LIST* insert_http_agent_list(const char* path, ZUISP_ENV* env, const L_CHAR* remote_url,
                                        HTTP_AGENT_LIST* alias, ZU_SEXP* initialize);
// (SetHttpAgentPath "/path" target): registers the path to an environment
// (a local entry, evaluated in a new child of it that binds HttpAgent_path
// to the path) or to a remote agent's URL (a string). A later registration
// of the same path takes its place. Answers the path; a path that is not a
// request path, or a URL without a server and port, is refused.
ZU_SEXP* zu_SetHttpAgentPath(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*);
// The first entry whose path equals path, or is path's beginning followed
// directly by "?"; null for none. The entry found keeps its environment
// and forms until release_http_agent, also should it retire meanwhile.
HTTP_AGENT_LIST* search_http_agent_list(const char* path);
void release_http_agent(HTTP_AGENT_LIST* a);
// The access lock of a's root: 0 once held; with flag 1 a lock held by
// another task gives -1 at once, with 0 the caller waits for it.
int lock_ha_access(HTTP_AGENT_LIST* a, int flag);
void unlock_ha_access(HTTP_AGENT_LIST* a);
// Marks the environment and initialize forms of every entry but the
// retired ones let go (collector).
void gc_http_agent();

// ---- requests
// exec_url's results.
constexpr int kExecUrlAnswered = 0;   // the reply is written and the connection closed
constexpr int kExecUrlDeclined = 2;   // a ZUoHTTP path: the caller serves it
constexpr int kExecUrlNoTarget = -1;  // a request without a target: the connection is the caller's
// Offers a request (its parsed header and its connection) to the agent:
// kExecUrlDeclined, kExecUrlAnswered or kExecUrlNoTarget. The calling task
// gets an internal interpreter for the evaluation when it works for none:
// one per pooled thread, made once and kept for the thread's later
// requests.
int exec_url(HTTP_INFO* info, STREAM* st);
// 1 when path (origin form) is one of the ZUoHTTP protocol's own.
bool is_zuohttp_path(const char* path);
// Writes the reply for a result list: its first member must be a symbol
// naming the content type (else a 500 page "symbol required"), without
// blanks or control characters (else a 500 page "invalid content type"); its
// Cache-Control="private" asks for the no-cache lines. text/html writes a
// string second member unchanged or prints it as HTML; text/xml likewise
// as XML, after settling the encoding (the first member's encoding
// attribute, on a new symbol, set to the connection's when absent, else
// switching the connection to it); image/jpeg and image/gif need raw bytes
// (else a 500 page "ZUT_RAW is required"); other types send the header
// alone. The caller closes the connection. 0, or -1 when writing failed.
int return_code(STREAM* st, HTTP_INFO* info, ZU_SEXP* result);
// The agent's reply lines: the status line (info's err2, else its err with
// "OK"), the fixed Date and Server lines, Connection, the content type
// (text/html when info has none), Content-Length when not negative, and the
// three no-cache lines with HTTP_F_NO_CACHE.
int output_server_header_by_info(STREAM* s, const HTTP_INFO* info);
// The agent's error page for status, with message and the printed code
// (null: none); both HTML-escaped.
int output_error_print(STREAM* s, const HTTP_ERR* status, const char* message, ZU_SEXP* code);

// ---- remote entries (the access lock of the entry's root held, for the
// underscore forms)
// Connects a: nothing when it is connected. An unconnected root first gets
// a connect interpreter to its URL's server and port and (SetAgent agent
// "user"); a failure there closes that interpreter, writes "INIT ERR" and
// leaves the chain unconnected. Then (Define HttpAgent_path path) and each
// of a's initialize forms are sent in a's environment; a failure writes
// "REMOTE ERR " and leaves a unconnected.
void __initialize_remote(HTTP_AGENT_LIST* a);
// The root of a's chain, then every alias of it.
void _initialize_remote(HTTP_AGENT_LIST* a);
void initialize_remote(HTTP_AGENT_LIST* a);
// Marks the root of a's chain and every alias as not connected.
void _invalid_all(HTTP_AGENT_LIST* a);
void invalid_all(HTTP_AGENT_LIST* a);

// ---- a dedicated evaluation task (nothing starts it or queues to it)
// A queued request: ret is kEuPending until the task has served it.
constexpr int kEuPending = INT32_MIN;
struct EU_LIST {
  EU_LIST* next;
  int ret;
  STREAM* st;
  HTTP_INFO* info;
};
// Serves queued requests one by one with exec_url until it takes a request
// without a connection, which ends it.
void exec_url_task(TKEY data);
// Queues the request for the task and waits until it has been served: its
// exec_url result (0 for the request that ends the task; -1 before the
// agent has started).
int insert_eu_list(HTTP_INFO* info, STREAM* st);

// ---- percent coding of URL parts
// Every byte other than an ASCII letter or digit as "%" and two upper-case
// hexadecimal digits.
std::string url_percent_encode(std::string_view bytes);
// "%" and two hexadecimal digits as that byte, "%u" and four as the code
// point written out in UTF-8 (a surrogate pair as one code point); with
// `only` given, just the codes it lists are decoded. Anything else stays
// as it is.
std::string url_percent_decode(std::string_view text, std::span<const uint32_t> only = {});
