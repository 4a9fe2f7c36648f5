// The queue between a link's front thread and its relay thread.
//
// What stays true: the queue is bounded. Above 4096 forms or 8 MiB of
// source the front thread waits (and so stops reading the link, which
// pushes back on the peer) until the relay has taken some. fifo_eof (the
// input ended) lets the relay drain what is queued and then end;
// fifo_closed (the relay ended) refuses every later form. A queued form's
// charge stays on the link's meter (link_budget.h) until the relay takes it
// or the queue is closed.
//
// fifo_lock guards the queue and its counts (the record's F fields); it is
// taken after zui_lock.
#pragma once

#include <cstdint>

#include "runtime/interp.h"

struct ZU_FIFO {
  ZU_FIFO* next;
  ZU_SEXP* cmd;
  int64_t bytes;   // source bytes of the form, for the queue's bound
  int64_t charge;  // its share of the link memory budget (link_budget.h)
};

// Queues a form, waiting for room while the queue is full; once the relay
// has ended (close_fifo) the form is refused (-1). bytes: the form's source
// size; charge: what reading it cost, moved to the link's queue share while
// it waits (let go if it is refused).
void put_zu_fifo(ZU_INTERPRETER* zui, ZU_SEXP* form);
int put_zu_fifo_n(ZU_INTERPRETER* zui, ZU_SEXP* form, int64_t bytes, int64_t charge = 0);
// The next queued form; *got is false when there is none (queue closed,
// input ended and drained, or empty with no_wait). The form may be null.
ZU_SEXP* take_zu_fifo(ZU_INTERPRETER* zui, int no_wait, bool* got);
ZU_SEXP* get_zu_fifo(ZU_INTERPRETER* zui, int no_wait);
// The input ended: the relay takes what is queued, then its loop ends.
void end_fifo_input(ZU_INTERPRETER* zui);
// 1 while the queue holds a form / is full (its front thread waits for room).
int check_fifo(ZU_INTERPRETER* zui);
int fifo_full_now(ZU_INTERPRETER* zui);
// Wakes a relay waiting on the queue.
void interrupt_fifo(ZU_INTERPRETER* zui);
// The relay has ended: what is queued is dropped and every later form
// refused.
void close_fifo(ZU_INTERPRETER* zui);
// Marks the queued forms (world stopped).
void gc_zu_fifo(ZU_FIFO* head);
