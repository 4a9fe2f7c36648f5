// Remote queries: a command sent over an interpreter link, answered later.
// The caller gets a delayed value at once; it is filled when the peer's
// reply (a Result form whose sequence number falls inside the lines the
// command took on the wire) arrives. While it waits, the asking link serves
// the requests its peer sends back (LocalEval).
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/interp.h"
#include "stream/url.h"
#include "zu/env.h"
#include "zu/peer.h"
#include "zu/value.h"

// Options of a request made through a remote session, passed unchanged from
// the caller through the session switch to the protocol (and kept in the
// pending query, so that the session layer may repeat it).
struct REMOTE_SESSION_OPT {
  int timeout_count;  // retries of a broken connection; -1: the protocol's default
  int return_format;  // 2: the parsed reply itself, without wrapping
};
inline void setup_remote_session_opt(REMOTE_SESSION_OPT* opt) {
  opt->timeout_count = -1;
  opt->return_format = 0;
}

constexpr int ZU_RESULT_REQUEST = 0x1;  // a request for the asker arrived
constexpr int ZU_RESULT_REPLIED = 0x2;  // the reply is in ret

struct ZU_RESULT {
  DELAY_FUNC h;
  ZU_RESULT* next;                // serving interpreter's result_head chain
  ZU_RESULT* my_zui_result_next;  // requesting interpreter's result_list chain
  int seq_from;
  int seq_to;
  int remote_seq;
  ZU_SEXP* ret;  // (Result r value) once arrived
  ZU_SEXP* cmd_sexp;
  L_CHAR* cmd_str;  // collected text
  int flags;
  ZUISP_ENV* cur_env;
  ZU_INTERPRETER* inp_interpreter;  // asker; null while unlinked
  ZU_INTERPRETER* out_interpreter;  // server; null once out of result_head
  ZU_FILE* file;
  int line;
  // Remote-session parameters (s_id nonzero marks such a query); the URL
  // record and the texts are collected copies.
  ZUISP_ENV* s_env;
  int s_id;
  URL* s_url;
  L_CHAR* s_agent;
  L_CHAR* s_login_mode;
  L_CHAR* s_center_cmd;
  ZU_SEXP* s_cmd;
  ZU_FILE* s_file;
  int s_line;
  void* s_session;
  int s_proxy_ses;
  REMOTE_SESSION_OPT s_opt;
  ZU_SEXP* send;
  int wup_key;
  unsigned aboat_flag : 1;
  // The command is still being written: its last line is not known yet, so
  // any reply from its first line on is its own.
  unsigned sending : 1;
  // The server's input ended first: the reply is the "stream error" built
  // from the fields below when the value is forced.
  unsigned stream_end : 1;
  // Whom it was asked for: the peer the asking task evaluates for, else
  // whom the link was opened for (ZU_INTERPRETER::origin: the peer that
  // opened it or had it opened, the agent for a link of its own), not
  // link_origin; a LocalEval answering it evaluates for the same. A task
  // that asks for a peer while it evaluates for nobody (a relayed
  // GetUserInfo, a chain's forwarder) opens that peer's scope first.
  EVAL_ORIGIN origin;
  int se_ip;
  L_CHAR* se_hostname;  // collected copies
  L_CHAR* se_input_file;
};

// Sends text (cmd_str) or a value to interpreter id; a delayed value, an
// error value, or null (no command, or the interpreter is not a link).
ZU_SEXP* remote_query(int id, ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp);
// The same for a known interpreter (zui_lock NOT held: the command is
// printed, which may force values).
ZU_SEXP* _remote_query(ZU_INTERPRETER* zui, ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp);
// Sends a command back to the interpreter whose request the calling thread
// serves, wrapped as a LocalEval of the current sequence number.
ZU_SEXP* local_query(ZUISP_ENV* env, const L_CHAR* cmd_str, ZU_SEXP* cmd_sexp);
// Evaluates a command that arrived as a local request for sequence seq.
ZU_SEXP* local_eval(int seq, ZU_SEXP* cmd);

// Delivers a Result form read from zui: 0 when a query took it, else -1.
int return_result(ZU_INTERPRETER* zui, ZU_SEXP* ret);
// Fails every query waiting for zui with "stream error" (zui_lock not held;
// the caller is zui's front thread, which keeps it alive).
void flush_result_queue(ZU_INTERPRETER* zui);
// Unlink from the server's result_head / the asker's result_list (lock held).
void delete_result_queue(ZU_INTERPRETER* zui, ZU_RESULT* r);
void delete_result_list(ZU_RESULT* r);
// Waits for the reply of r, zui_lock held on entry and on return (released
// while asleep); requests that reach the waiting link meanwhile are served
// in this task. Tells how the wait ended: ZU_WAIT_REPLY (r->ret holds the
// reply), ZU_WAIT_BREAK (the asker was broken or closed) or ZU_WAIT_CANCEL
// (the asker was cancelled); with the last two the query has left the
// server's list. Makes no value, so it may run under the lock.
constexpr int ZU_WAIT_REPLY = 0;
constexpr int ZU_WAIT_BREAK = 1;
constexpr int ZU_WAIT_CANCEL = 2;
int _wait_result_inp(ZU_RESULT* r);
// Delay operations.
ZU_SEXP* remote_delay_func(ZU_SEXP* s);
// What forcing r gives (waiting for the reply as remote_delay_func does),
// without turning any delayed value into it.
ZU_SEXP* remote_delay_value(ZU_RESULT* r);
int check_remote_delay(void* resp, int key);
int _check_remote_delay(ZU_RESULT* resp, int key);
void gc_remote_delay(void* p);
// The command as a value.
ZU_SEXP* get_cmd(ZU_RESULT* resp);
// Aborts the work behind a delayed value: 0 a query (its server is
// closed), 1 a stream read (the stream is closed), -1 nothing to abort.
int aboat_remote_query(ZU_SEXP* s);
// Waits at most `seconds` for the query behind a delayed value of
// remote_query without forcing it, serving nothing meanwhile: true once
// forcing it will not wait (its reply is in, or a request its server sent
// back for the asker to serve first; its link ended, its asker was stopped,
// or it is not such a value), false while it still would. Woken early by
// any of those. For the lock service's bounded waits as well.
bool wait_remote_reply(ZU_SEXP* delay, double seconds);
// The asker of the query behind delay no longer wants its reply (the
// client it was asked for has gone, or its wait was given up): the query leaves its server's list
// and its asker's, so that forcing it answers "break" at once and its reply
// is dropped when it comes. Answers the id of the server to tell to cancel
// (write_cancel) when the query was the only one pending there, the
// evaluation the server runs now, so that no other asker's is cancelled
// with it; else 0.
int drop_remote_query(ZU_SEXP* delay);
// Wrap-tolerant order of sequence numbers: -1, 0, 1.
int cmp_round(int a, int b);

// Wakes every query zui waits for, and the delay thread, which looks again
// at the values it waits for: the ids of the queries' servers other than
// zui, each once, in list order, for the caller to tell them to cancel
// (write_cancel, outside the lock). zui_lock held.
std::vector<int> _wake_result_list(ZU_INTERPRETER* zui);
// Final close of a link: every query still waiting for its reply is failed
// with a stream error (made when forced). zui_lock held.
void _abandon_result_queue(ZU_INTERPRETER* zui);
// Final close of an asker: every pending query is unlinked and its waiter
// woken (it then answers "break"). zui_lock held.
void _drop_result_list(ZU_INTERPRETER* zui);

// The collector's special phase (zui_lock held, world stopped): a query
// whose delayed value nobody holds any more leaves its server's list (a
// remote session's is told so through its tick), and the queries each
// interpreter waits for are marked.
void sp_gc_interpreter();
// Walks zui's pending queries under zui_lock and changes nothing.
void check_result_list(ZU_INTERPRETER* zui);
