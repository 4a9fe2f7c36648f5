// The agent's end: one ordered list of steps, run once by one thread.
//
// What asks for the end only asks: the close of the main interpreter (the
// end of the script, its (Exit), the close of a serving agent's listener),
// an interrupt or SIGTERM (the signal thread), a failure that ends the
// program (ErrHandler with stderr). Asking begins the stop (interp.h,
// begin_agent_end) and wakes the runner, the program body's thread, which
// then runs the steps below, each once, in this order:
//
//   stop          peers' tasks and every evaluation a stop reaches: the
//                 agent's scripts and their threads, the node scripts and
//                 questions they caused (interp.h, EVAL_ORIGIN's cause);
//                 waits for nothing
//   requests      the agent's own session requests in flight are waited
//                 for, at most kEndRequestWaitSeconds
//   matrices      the matrices still being opened are waited for, at
//                 most the agent's kOpeningWaitSeconds (agent/mx_entry.h);
//                 then every open matrix is closed and saved, all at once
//                 (the agent's hook), while the links the closes need (the
//                 lock service's) are still open; a close that needs a
//                 named lock waits for it once, at most
//                 named_lock_wait_seconds
//   locks         the named locks given back are told to the service, at
//                 most kLockGiveBackSeconds in all (call_lock.h)
//   interpreters  every interpreter is closed and waited for, at most
//                 kEndStopWaitSeconds
//   files         the files the script opened for printing are closed
//                 (the agent's hook), then the output files by their close
//                 task
//
// and the process exits. The status is decided once, by what asked: the
// script's (0, or 1 when it could not start), 1 when a close could not
// save every change, 1 when output the script asked for could not be
// written (base/lost_output.h), and 1 for an interrupt at any moment
// (base/entry.h).
//
// Bounds: apart from the time the closes spend writing, the end takes at
// most kEndRequestWaitSeconds + kOpeningWaitSeconds +
// kNamedLockWaitSeconds + kLockGiveBackSeconds + kEndStopWaitSeconds
// (60 + 5 + 60 + 2 + 10 = 137 s) in all, and the watchdog
// (base/signals.h) ends it once nothing has progressed for
// kEndStallSeconds (75 s): a close that waits on something outside that
// its own bound does not end (a script that ignores its stop) is given
// up, its file as its last write-back left it, and the standard error
// names it.
#pragma once

// The agent's close of its matrices, the matrices step: the number of
// nodes whose changes could not be saved. Set once at start-up.
using END_CLOSE_MATRICES = int (*)();
void set_end_close_matrices(END_CLOSE_MATRICES close);
// The agent's close of the files its scripts opened for printing, first in
// the files step. Set once at start-up.
using END_CLOSE_FILES = void (*)();
void set_end_close_files(END_CLOSE_FILES close);

// Asks for the end with the run failed (status 1), from any thread: true
// when the runner will run it (the caller then lets its evaluation end at
// its next check), false when there is no runner (the caller ends the
// process itself).
bool ask_end_failed();

// The runner: waits until the end has been asked, then runs the steps.
// The exit status: status, or 1 when a close could not save every change
// or output was lost.
// Runs once; a later call only answers the status.
int run_agent_end(int status);

// The interrupt hook of the agent (base/signals.h): says "Interrupted",
// marks the run failed and asks for the end (0), or answers -1 before
// there is a runner.
int zu_end_int_handler(int sig);
