// Pieces shared by the printing, loading and saving built-ins.
#pragma once

#include <cstdint>

#include "runtime/interp.h"
#include "text/convert.h"
#include "zu/value.h"

// True when wide text t (may be null) is the ASCII text a.
inline bool text_is(const L_CHAR* t, const char* a) { return t && zu_wcmp_ascii(t, a) == 0; }
// True when attribute f is named `name`.
inline bool attr_is(const ZU_SYM_FIELD* f, const char* name) { return text_is(f->name, name); }

// An error at the call form whose data is a list of the string `text`,
// followed by `more` when it is given.
ZU_SEXP* io_error(ZU_SEXP* form, uint32_t code, const char* func, const char* text, ZU_SEXP* more = nullptr);
// The error of a file that could not be opened or written (0x80040a06):
// its data the list of `text`, the file's name as given and the system's
// reason for err ("No space left on device").
ZU_SEXP* io_file_error(ZU_SEXP* form, const char* func, const char* text, ZU_SEXP* name, int err);

// One word of a ":"-separated option value and the bits it adds.
struct IO_WORD {
  const char* name;  // null ends a table
  int bits;
};
// ORs the bits of each word of text, in any order; false (and *flags left
// as it was) when a word is empty or in no row of the table.
bool read_words(const L_CHAR* text, const IO_WORD* tbl, int* flags);
// The number at the start of text as strtoll reads it in `base` (0: "0x"
// hexadecimal, a leading 0 octal); false when text does not begin with one
// or it does not fit in 32 bits.
bool read_int(const L_CHAR* text, int base, int* out);

// The calling thread's interpreter; null also while the interpreters have
// not been started (the language core alone).
ZU_INTERPRETER* my_interpreter();
