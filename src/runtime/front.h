// The front thread of an interpreter: reads the top-level forms of its
// input one at a time, evaluates each in the interpreter's environment and
// writes the result as a reply; and the pieces every reply path shares (the
// reply writer, the break check, the interrupt hook, the terminal prompt).
#pragma once

#include "base/task.h"
#include "runtime/interp.h"

// The underscore of _front_thread_1, _reply and _zui_break_check names no
// lock the caller holds: each runs without zui_lock and takes it itself
// where it must.
//
// The single-thread loop (thread_mode 1), run by the record's front thread
// (zui_threads.cc starts it; relay mode is relay.cc's _front_thread_2).
void _front_thread_1(ZU_INTERPRETER* zui);

// Writes one reply for a finished evaluation; seq is the request's sequence
// number or the form's line. An error value goes to the output and to a
// separate error stream, one of the exit class as nil to the output only.
// The record's fields are read in one hold of zui_lock (which takes the
// output lock too) and the value is surveyed once for its encoding. A
// write that fails closes that stream and takes it off the record.
void _reply(ZU_INTERPRETER* zui, int seq, ZU_SEXP* value);

// The evaluator's break-check hook: a "break" or "cancel" error value, or
// null to go on.
ZU_SEXP* _zui_break_check(ZU_SEXP* form);
// The interrupt hook: cancels the evaluation of the terminal interpreter
// (0), or answers -1 when there is none.
int zu_int_handler(int sig);

// The reader state of the terminal interpreter, null while none exists.
extern ZU_FILE* terminal_file;
// Prompt callback of the terminal stream, and the prompt after a reply.
void terminal_prompt(STREAM* s, int len);
void terminal_prompt_2(STREAM* s);
// Result hook of an interpreter's reader: wakes tasks waiting on its output.
void zui_lex_result(ZU_FILE* f);
// Take / release the interpreter's output lock around a read that the peer
// must not interleave with replies (a vertical tab marks it).
void zui_lex_lock(ZU_FILE* f);
void zui_lex_unlock(ZU_FILE* f);
