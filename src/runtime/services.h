// Small services of the ZU library: commands parsed from narrow text, the
// server port of the configuration and opening a file interpreter. The
// collector hooks are in zu_gc_hooks.h, the encoding survey in
// reply_code.h.
#pragma once

#include "runtime/interp.h"
#include "text/codemethod.h"
#include "zu/value.h"

// Installs the forwarder of chain streams (s_open_chain): their text
// reaches the interpreter's peer as (PrintChain type raw) calls
// (chain_forward.cc).
void init_chain_forward();

// Joins the narrow texts (the list ends with a null pointer), decodes them
// with cm and parses them: the list of forms, or the first error in it.
// The caller holds the memory lock.
ZU_SEXP* sexp_commands(CODE_METHOD* cm, const char* text, ...);
// str (resized, or a new text when null) with s1 appended; tagged memory.
char* sc_add_str(char* str, const char* s1);
// Numbers as text in a thread-temporary buffer.
char* sxc_int(long long d);
char* sxc_float(double d);

// The agent's server port: the value the agent bound to ServerPort in the
// second top environment (agent_setting), read once. -1 when it is
// unbound, -2 when it is not an integer.
int get_my_port();
// Forgets the cached port (tests, and a configuration that changed).
void reset_my_port();

// Turns a prepared record into a file interpreter reading filename: 0, or
// -1 when the file cannot be opened (the record's mode becomes 5) or the
// interpreter cannot be registered.
int new_file_interpreter(ZU_INTERPRETER* zui, const L_CHAR* filename);
