// Inside the HTTP agent: its lock and the interpreter a request runs under.
#pragma once

#include "base/lock.h"
#include "netsvc/http_agent.h"

// Guards the list of paths, the access locks and the evaluation task's
// queue. A leaf: nothing else is taken under it, and no value is made.
extern SEM ha_lock;

// Makes sure the calling task works for an interpreter for one request:
// its own when it has one, else the internal interpreter that this pooled
// thread made earlier (still open), else a new one kept for the thread.
// True when the task was lent the thread's interpreter (give it back with
// return_thread_interpreter before the task ends).
bool borrow_thread_interpreter();
void return_thread_interpreter();

// The request form: the method's symbol with the request's attributes, and
// the body as raw bytes when there is one. body may be null.
ZU_SEXP* http_request_form(const HTTP_INFO* info, const char* path, ZU_SEXP* body);
// Whether a is served by a remote agent (a remote entry or an alias).
inline bool is_remote_entry(const HTTP_AGENT_LIST* a) { return a->alias_root || a->remote_url; }
// Evaluates form for entry a: locally in its environment, or as (HTTP
// (Define HttpAgent_path path) form) at its remote agent, reconnecting and
// retrying at most twice when the agent's interpreter has gone. Null when
// the remote agent cannot be reached: the error, which shows the URL's
// password as "****", has then gone to the standard error after "REMOTE ERR ".
// Null too when client (the request's connection, or null) has gone: a
// request whose client has gone is not sent on, and one the remote agent
// evaluates is taken back when its client goes. A client that has shut its
// sending side counts as gone (s_peer_gone): that cannot be told apart from
// a full close without writing to it.
ZU_SEXP* http_agent_eval(HTTP_AGENT_LIST* a, ZU_SEXP* form, STREAM* client);
