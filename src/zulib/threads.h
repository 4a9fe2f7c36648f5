// Script threads and sleeping.
//
// (Thread form...) runs its forms on a task of their own, in the caller's
// environment, and hands the caller a delayed value at once; the forms'
// result fills it in later. (DelayAppend list) lets those forms deliver a
// list piece by piece: the current link of the result stream receives the
// list's members followed by a fresh delayed tail, which becomes the
// current link; the end of the thread closes the list with nil (or with
// its error). (KillThread [value]) sends a cancel request to the thread
// whose current link the value is, or to every thread the caller started;
// the thread's next break check then ends its forms. (Sleep duration)
// waits whole seconds, running the break check every second.
//
// Each thread task has an internal interpreter of its own (break checks
// and cancel requests reach it by its id) and closes it when it ends.
// The records of running threads are chained in sthread_list, guarded with
// every field of theirs by sthread_lock, which is always taken before the
// interpreter lock.
#pragma once

#include "zu/env.h"

// Thread, with DelayAppend and KillThread (root environment); makes
// sthread_lock once.
void init_Thread(ZUISP_ENV* env);
// Sleep (root environment).
void init_Sleep(ZUISP_ENV* env);
// Running Thread tasks (for tests and statistics).
int running_script_threads();
