// Relay mode of interpreters that talk to another program or agent: a front
// thread parses everything that arrives and answers control forms at once
// (permission answers, results of remote queries, cancel, break, encoding
// headers), and a relay thread evaluates the other forms one after another
// from a queue, so a link stays responsive while a long evaluation runs.
#pragma once

#include "base/task.h"
#include "runtime/interp.h"

struct ZU_FIFO {
  ZU_FIFO* next;
  ZU_SEXP* cmd;
  int64_t bytes;   // source bytes of the form, for the queue's bound
  int64_t charge;  // its share of the link memory budget (link_budget.h)
};

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

// The FIFO (fifo_lock). Bounded: a full queue makes put_zu_fifo wait for
// room. Once the relay has ended (close_fifo) forms are refused (-1).
void put_zu_fifo(ZU_INTERPRETER* zui, ZU_SEXP* form);
// bytes: the form's source size; charge: what reading it cost, moved to the
// link's queue share while it waits (let go if it is refused).
int put_zu_fifo_n(ZU_INTERPRETER* zui, ZU_SEXP* form, int64_t bytes, int64_t charge = 0);
// The input ended: the relay takes what is queued, then its loop ends.
void end_fifo_input(ZU_INTERPRETER* zui);
// 1 while the queue is full (its front thread waits for room).
int fifo_full_now(ZU_INTERPRETER* zui);
ZU_SEXP* get_zu_fifo(ZU_INTERPRETER* zui, int no_wait);
int check_fifo(ZU_INTERPRETER* zui);
void interrupt_fifo(ZU_INTERPRETER* zui);
void close_fifo(ZU_INTERPRETER* zui);
void gc_zu_fifo(ZU_FIFO* head);

// GetUserInfo: -1 when the form is not handled here (it is then evaluated).
int _get_user_info(ZU_INTERPRETER* zui, ZUISP_ENV* env, int seq, ZU_SEXP* form);
ZU_SEXP* get_user_ip(ZUISP_ENV* env);

// Lock-function rendezvous between the front thread and an output writer.
void set_lock_function(const L_CHAR* name);
void inp_lock_function(ZU_INTERPRETER* zui, const L_CHAR* head);
void out_lock_function(int flag);
void timeout_lock_function();  // zui_lock held
