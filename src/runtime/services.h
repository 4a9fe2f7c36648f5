// Small services of the ZU library: its collector hooks, the encoding a
// value's text needs, commands parsed from narrow text, the server port of
// the configuration and opening a file interpreter.
#pragma once

#include "runtime/interp.h"
#include "text/codemethod.h"
#include "zu/value.h"

// Answer of get_proper_code for a text that needs no particular encoding.
constexpr L_CHAR ZU_CODE_NONE = 0xDFFF0001;

// Collector hooks of the library (the agent's hooks call these).
void gc_zu_lock();
void gc_zu_unlock();
void gc_lib();
void sp_gc_lib();
void after_gc_lib();
// Installs the library's hooks as the collector's application hooks.
void set_zu_gc_hooks();
// The library's loader lives above this layer: its lock, which gc_zu_lock
// takes after the parser lock and gc_zu_unlock releases last, and its part
// of the special phase, which sp_gc_lib runs after the interpreters'. Set
// once at start-up (the library's Load family does); null members do
// nothing.
struct ZU_LOADER_HOOKS {
  void (*lock)();
  void (*unlock)();
  void (*sp_gc)();
};
void set_loader_hooks(const ZU_LOADER_HOOKS* hooks);

// The identifier of the encoding that the value's text needs: the encoding
// named by a leading (?zu encoding="...") or (?xml encoding="..."), else the
// one that covers the code set most of its characters above 255 belong to;
// ZU_CODE_NONE when no character needs one. str_max bounds the characters
// surveyed (-2: no bound, and delayed values are forced).
L_CHAR get_proper_code(ZU_SEXP* s, int str_max);
// Whether a stream in encoding cm can carry the value's text without a
// switch: cm is a Unicode encoding (UTF-8, UTF-16, EXTUCS-4, internal),
// whose character references carry even the codes it lacks, or it can
// express every character above 255 of the text.
bool cm_carries(CODE_METHOD* cm, ZU_SEXP* s);
// The encoding that a reply of the value on a stream in encoding cur
// switches to, or null when the stream carries its text as it is (or cur
// is null): the encoding the text needs (get_proper_code(s, -1)) when
// that is not cur and cur cannot carry the text (cm_carries). One walk
// over the whole value at most (delayed values passed over), none for a
// Unicode stream.
CODE_METHOD* reply_switch(ZU_SEXP* s, CODE_METHOD* cur);

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

// The agent's server port: the value of ServerPort in the second top
// environment, read once. 0 when reading it was broken off, -1 when it is
// unbound or gives another error, -2 when it is not an integer.
int get_my_port();
// Forgets the cached port (tests, and a configuration that changed).
void reset_my_port();

// Turns a prepared record into a file interpreter reading filename: 0, or
// -1 when the file cannot be opened (the record's mode becomes 5) or the
// interpreter cannot be registered.
int new_file_interpreter(ZU_INTERPRETER* zui, const L_CHAR* filename);
