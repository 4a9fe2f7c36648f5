// Loading and saving files.
//
// Load finds a file on the script search path and reads it as ZU source
// (forms unevaluated, or evaluated one after another), as HTML, as raw
// bytes, as text cut into pieces at a terminator, or as iCalendar data.
// Except in the evaluating mode the content is a lazy list that reads the
// file only as far as it is walked. A raw or text load is a pending load
// (DELAY_LOAD_T) on the process-wide list df_list: the collector's special
// phase closes the file of one whose list nobody reaches any more.
//
// Save writes a value as ZU text, the bytes of a list of raw values, or a
// CSV table made from a list of records.
#pragma once

#include "base/lock.h"
#include "runtime/call_lock.h"
#include "text/regex.h"
#include "zu/env.h"
#include "zu/file.h"

// Load modes.
constexpr int LOAD_RAW = 0;
constexpr int LOAD_ZU = 1;
constexpr int LOAD_EXEC = 2;
constexpr int LOAD_TEXT = 3;
constexpr int LOAD_HTML = 4;
constexpr int LOAD_TEXT_ESCAPE = 5;
constexpr int LOAD_ICALENDAR = 6;

// Registrations (second top environment). init_Load also makes df_lock and
// joins the pending loads to the collector hooks of the library.
void init_Load(ZUISP_ENV* env);
void init_Save(ZUISP_ENV* env);

// Loads file `filename`, found by the script search from the source of form
// s (null: no calling script; errors then carry no position), in mode
// `type`. encode names the encoding (null: the source's own header, or the
// stream's default); term_a is the terminator of the text modes, which the
// pending load takes over (freed here in every other case); flags are
// ZU_FILE flags added to the reader in modes 1, 2 and 4. func is called
// with work as the load closes (code 1) and while the collector marks it
// (code 2); on an error result it has not been called and work is still the
// caller's, while a refusal for memory (a throw) has closed it (code 1).
// The caller holds the memory lock.
ZU_SEXP* load_file(ZUISP_ENV* env, ZU_SEXP* s, int type, const L_CHAR* filename, const L_CHAR* encode,
                   AUTOMATON* term_a, uint32_t flags, ZU_CLOSE_FUNC func, void* work);

// The lock of df_list; the collector's lock hook takes it.
extern SEM df_lock;
// The pending loads' part of the collector's special phase: closes and
// unlinks every pending load that was not marked.
void sp_gc_load();

// The named write lock that the path rule of document `path` asks for:
// rule flag 4 alone locks the path itself, flag 8 alone its first local
// file, anything else nothing (d is then invalid). Null, or the error of a
// refused lock or of an unknown path.
ZU_SEXP* lock_file(CALL_LOCK_DESCRIPTER* d, const L_CHAR* path, ZU_SEXP* s);
// Gives back what lock_file took: 0, or -1 when d holds nothing.
int unlock_file(CALL_LOCK_DESCRIPTER d);
