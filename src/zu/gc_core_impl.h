// Links between the collector and the other modules of the language core.
#pragma once

// Marks the two top environments (env.cc).
void gc_qnlisp();
// Drops unreferenced reader states (file.cc): they are kept through this
// collection and closed once the world runs again.
void sp_gc_qnlisp();
// Marks the reader states that wait to be closed (file.cc); always run.
void gc_core_pending_files();
// Calls the close functions of the reader states dropped by the last
// collection (file.cc); run after the world has resumed.
void gc_core_run_pending_closes();
// Forgets interned names that nothing marked (symbol.cc); run after all
// marking and before the sweep.
void gc_core_purge_atoms();

struct ZU_SEXP;
// Marks what a delayed value's work refers to (delay.cc).
void mark_delay_work(ZU_SEXP* s);
