// Process entry and exit.
#pragma once

using MAIN_BODY = int (*)(int argc, char** argv);

// Starts the runtime base (byte order, signals), takes a first argument that
// begins with "+" off the command line (see get_inherited_streams_arg), runs
// body(argc, argv) and ends the process with its result as exit status.
//
// The body runs in a thread of its own while the process's first thread
// waits, so that u_exit from any thread ends the process the same way: the
// first thread flushes the standard C streams and calls exit(), which runs
// the atexit handlers (the place for other layers to flush their own
// buffers). Never returns.
[[noreturn]] void call_main(int argc, char** argv, MAIN_BODY body);

// The inherited-streams argument that call_main took off the command line
// ("+..." as given), or null when there was none.
const char* get_inherited_streams_arg();

// Records `status` as the exit status and ends the process with it. Under
// call_main, a thread other than the first wakes the first thread, which
// exits, and waits for the end; outside call_main the caller exits itself.
// When several threads call it, the first status wins, and 1 after
// u_exit_failed. Never returns.
[[noreturn]] void u_exit(int status);

// Marks the run failed: the exit that comes (an interrupt's, or the body's
// own end that the interrupt hurried) has status 1, whoever asks for it,
// also when it is already under way: the status is read for good only by
// the last exit handler, after every other has run.
void u_exit_failed();
// Whether that last read has happened: from then on the process is as
// good as gone, and a failure can only end it at once (signals.cc).
bool u_exit_sealed();
