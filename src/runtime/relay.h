// Relay mode of interpreters that talk to another program or agent: a front
// thread parses everything that arrives and answers control forms at once
// (permission answers, results of remote queries, cancel, break, encoding
// headers), and a relay thread evaluates the other forms one after another
// from a queue (relay_fifo.h), so a link stays responsive while a long
// evaluation runs.
#pragma once

#include "base/task.h"
#include "runtime/interp.h"

// The underscore of the thread entries, of the control forms (_permission,
// _cancel, _break) and of _get_user_info names no lock the caller holds:
// each runs without zui_lock and takes it itself.
void _front_thread_2(ZU_INTERPRETER* zui);
void _relay_thread(TKEY data);
// Evaluates queued forms and replies; with no_wait it returns as soon as
// the queue is empty (a task waiting for a remote result serves requests
// this way).
void relay_loop(ZU_INTERPRETER* zui, int no_wait);

// Longest line (or token, or look-ahead) a link's reader accepts, in
// bytes; past it the reader answers an error and the link ends. 0 restores
// the default (4 MiB).
void set_link_line_cap(uint64_t bytes);

int _permission(ZU_INTERPRETER* zui, ZU_SEXP* form);
// Cancels the running evaluation of zui and of the servers of its pending
// queries (zui_lock NOT held).
void _cancel(ZU_INTERPRETER* zui);
void send_cancel(int iid);
void _break(ZU_INTERPRETER* zui);
// Writes "<Cancel/>" to the output of interpreter iid under its output
// lock (zui_lock NOT held); a failed write closes that output.
void write_cancel(int iid);

// GetUserInfo: -1 when the form is not handled here (it is then evaluated).
int _get_user_info(ZU_INTERPRETER* zui, ZUISP_ENV* env, int seq, ZU_SEXP* form);
ZU_SEXP* get_user_ip(ZUISP_ENV* env);
