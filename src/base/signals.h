// Signal handling of the process.
//
// One dedicated signal thread takes the interrupt, termination, child and
// alarm signals with sigwait (SIGTERM is taken as an interrupt), so that
// hooks run in an ordinary thread and never inside an asynchronous
// handler. An interrupt that comes once the exit status has been handed to
// the system's exit (entry.h) ends the process with status 1 at once:
// everything is written by then. Broken pipes and file-size limits are
// ignored (a write to a closed socket or pipe, or past the limit, returns an
// error instead of killing the process). SIGUSR1 has a handler
// that does nothing and does not restart calls, so
// pthread_kill(thread, SIGUSR1) breaks that thread out of a blocking call
// with EINTR.
#pragma once

#include <atomic>

// Interrupt hook, called in the signal thread with the signal number. A
// result of 0 or more means the hook has asked for the end, whose runner
// ends the process (the hook records the status; see entry.h); a negative
// result, or no hook, writes "Interrupted\n" to the standard output and
// ends the process with status 1 through its exit handlers, which the
// end's watchdog bounds.
using INT_HANDLER = int (*)(int sig);
extern std::atomic<INT_HANDLER> int_handler;

// Writes "Interrupted" to the standard output, once in the process's life
// however many interrupts come.
void say_interrupted();

// The end's watchdog. Whatever completes a piece of the end's work (a node
// written, a matrix closed, a step of the end done) notes its progress;
// once the end has begun and nothing has progressed for kEndStallSeconds,
// end_stall_hook (when set) says on the standard error what was not
// saved, and the process ends with status 1. So an end that is still
// writing is never cut, and one that waits on something outside (a
// script, a service) that its own bounds do not end is. The hook runs on
// the watchdog's thread while other threads may hold any lock: it takes
// none that they may hold.
inline constexpr unsigned kEndStallSeconds = 75;
void note_end_progress();
// Starts the watchdog, once; later calls do nothing.
void start_end_watchdog();
using END_STALL = void (*)();
extern std::atomic<END_STALL> end_stall_hook;

// From now on an interrupt or SIGTERM ends the process at once with
// status 1, taken by the calling thread too (the last exit handler calls
// it once the status is read for good: other threads may be stopped for
// the rest of the exit).
void end_at_signal_here();

// Sets up the above. Runs at start-up before other threads are made (they
// inherit the blocked signals); a second call in the same process does
// nothing. Signals that reach another thread anyway are forwarded to the
// signal thread.
void init_signals();
