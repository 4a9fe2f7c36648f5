// Child processes.
//
// Every fork of the program is taken under one fork lock. A child closes
// every descriptor above 2 except those handed to it, gets the default
// signal dispositions and an empty signal mask, and then executes its
// program. Children nobody waits for are registered for reaping: the signal
// thread collects them when they end. Only registered children are reaped
// that way, so a child someone waits for with wait_proc is never taken away.
#pragma once

#include <sys/types.h>

struct STREAM;

// How streams are handed to a child. The stream layer installs this; the
// process layer itself knows nothing of streams.
struct STREAM_HANDOVER {
  // For n streams: returns the argument beginning with "+" that names them
  // in the child (a tagged text the launcher frees), and stores in fds the
  // descriptors the child keeps (at most max_fds; their count in *nfds).
  // Null on failure.
  char* (*prepare)(STREAM** streams, int n, int* fds, int max_fds, int* nfds);
  // Closes one stream in the parent once the child has started.
  void (*close_in_parent)(STREAM* s);
};
// Installs the hand-over (null removes it). The record must stay alive.
void set_stream_handover(const STREAM_HANDOVER* h);

// Starts `program` (looked up on PATH) with the null-terminated argument
// vector argv. With n > 0 streams (and the hand-over installed), the child
// gets them through an argument beginning with "+" placed right after
// argv[0], and a stream whose close_flags entry is 1 (close_flags may be
// null) is closed in the parent after the start. parent_text and child_text
// are labels for diagnostics only. The child is reaped automatically.
// Returns the child's process id, or minus the system error number when the
// start fails (a program that cannot be executed included).
int launch_proc(const char* program, char* const* argv, STREAM** streams, const int* close_flags,
                int n, const char* parent_text, const char* child_text);

// Runs `command` through /bin/sh -c.
// With the three out-pointers: the child's standard input, output and error
// are pipes whose parent ends (close-on-exec) are stored in *in_fd (write to
// the child), *out_fd and *err_fd (read from it); the stream layer wraps
// these descriptors in streams. Returns the child's process id; the caller
// closes the three descriptors and must collect the child with wait_proc.
// With all three null: the child keeps only descriptors 0-2 of the parent,
// is reaped automatically, and 0 is returned at once.
// Minus the system error number on failure; mixed null and non-null
// pointers are refused with -EINVAL.
int launch_proc_stdio(int* in_fd, int* out_fd, int* err_fd, const char* command);

// Waits for the end of a child started by launch_proc_stdio with pipes.
// Returns pid with the wait status in *status (may be null), or minus the
// system error number.
int wait_proc(pid_t pid, int* status);

// Shows a page in a web browser: "http://host:port/page" when host is given
// and port > 0, else page as it is. Runs $BROWSER (its first entry, split
// into words; no shell), else xdg-open when it is on PATH, else nothing.
// Returns the browser's process id, 0 when there is none, or a negative
// number when it could not be started.
int http_system(const char* host, int port, const char* page);

// Collects the registered children that have ended (the signal thread calls
// it on SIGCHLD).
void reap_registered_children();
