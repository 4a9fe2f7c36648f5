// The lock-function rendezvous of a link. Once a form head is named
// (set_lock_function), the front thread of a link that reads a form with
// that head, and the task that calls out_lock_function while it works for
// the link, wait for each other before either goes on. A side that has
// waited longer than the time-out is given up by the interpreter tick, and
// its link meets no more (ZUI_F_LOCKF_TIMEOUT).
//
// zui_lock guards the waiting sides and the name.
#pragma once

#include "runtime/interp.h"

// Names the form head that starts a rendezvous (null: none).
void set_lock_function(const L_CHAR* name);
// The front thread of zui has read a form with this head (zui_lock NOT
// held): meets the output side when the head is the named one or a
// rendezvous is pending.
void inp_lock_function(ZU_INTERPRETER* zui, const L_CHAR* head);
// The output side of the calling task's link; flag's ZUI_F_LOCKF_PENDING bit
// makes the link's next form meet again whatever its head.
void out_lock_function(int flag);
// Gives up every side that has waited longer than the time-out (zui_lock
// held; the interpreter tick calls it).
void timeout_lock_function();

// The time-out in seconds (600), settable for tests.
void set_lock_function_timeout(int seconds);
int get_lock_function_timeout();
