// Signal handling of the process.
//
// One dedicated signal thread takes the interrupt, termination, child and
// alarm signals with sigwait (SIGTERM is taken as an interrupt), so that
// hooks run in an ordinary thread and never inside an asynchronous
// handler. Broken pipes and file-size limits are ignored (a write to a
// closed socket or pipe, or past the limit, returns an error instead of
// killing the process). SIGUSR1 has a handler
// that does nothing and does not restart calls, so
// pthread_kill(thread, SIGUSR1) breaks that thread out of a blocking call
// with EINTR.
#pragma once

#include <atomic>

// Interrupt hook, called in the signal thread with the signal number. A
// result of 0 or more keeps the program running; a negative result, or no
// hook, writes "Interrupted\n" to the standard output and ends the process
// with status 1.
using INT_HANDLER = int (*)(int sig);
extern std::atomic<INT_HANDLER> int_handler;

// Whether the orderly exit is still saving (the close of the open matrices
// at the program's end). An interrupt's exit gets a few seconds; while this
// answers true it gets up to kInterruptSaveSeconds (and a few seconds more
// for what follows the saves), so that a close that waits for a slow script
// of its own still saves. Called from a plain thread with no lock held: it
// must take none.
using EXIT_SAVING = bool (*)();
extern std::atomic<EXIT_SAVING> exit_saving;
inline constexpr unsigned kInterruptSaveSeconds = 60;

// Sets up the above. Runs at start-up before other threads are made (they
// inherit the blocked signals); a second call in the same process does
// nothing. Signals that reach another thread anyway are forwarded to the
// signal thread.
void init_signals();
