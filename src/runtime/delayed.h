// Delayed values that another task fills (D_SEXP), the delayed-reply queue
// that answers relay-mode requests once their value is ready, the periodic
// interpreter tick (keep-alives, permission, silent and connection
// time-outs, dead streams and owners) and a small queue that forces values in
// the background.
#pragma once

#include "base/task.h"
#include "runtime/interp.h"

struct D_SEXP {
  DELAY_FUNC h;
  int flags;  // 1: ready
  ZU_SEXP* ret;
};

ZU_SEXP* new_d_sexp(D_SEXP** out);
void set_d_sexp(D_SEXP* d, ZU_SEXP* value);
ZU_SEXP* d_sexp_func(ZU_SEXP* delay);
int check_d_sexp(void* d, int key);
void gc_d_sexp(void* d);
D_SEXP* search_d_sexp(ZU_SEXP* value);

// Queues the reply of request seq on zui until value is ready.
void insert_delay_que(ZU_INTERPRETER* zui, int seq, ZU_SEXP* value);
// Takes every queued reply of zui out unreplied and refuses further ones
// (its relay thread ends).
void drop_delay_que(ZU_INTERPRETER* zui);
void delay_thread(TKEY data);
// Tells the delay thread that a queued value may have become ready
// (zui_lock held).
void wake_delay_thread();

void zui_tick_task(TKEY data);
void zui_tick();
// Starts the delay thread and the tick task (once, at start-up).
void start_interpreter_tasks();

// Marks the values of the delayed-reply and reconnect queues (world stopped).
void gc_delay_que();

void sexp_reconnect(ZU_SEXP* value);

// The length of one interpreter tick in milliseconds (5000), settable for
// tests.
void set_zui_tick_ms(int ms);
int get_zui_tick_ms();
