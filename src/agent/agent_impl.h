// Helpers shared by the matrix commands: head attributes, the decimal
// reading of numeric attributes, and error values positioned at a form.
#pragma once

#include <cstdint>

#include "zu/value.h"

// The text of the head attribute `name`, or null.
const L_CHAR* qmx_attr(ZU_SYM_FIELD* sf, const char* name);
// True when the attribute text equals the word.
bool qmx_is(const L_CHAR* text, const char* word);
// A numeric attribute: leading blanks, an optional sign, then the decimal
// digits up to the first other character ("0x10" reads 0, text without
// digits 0); a value beyond the int range is held at its end.
int qmx_atoi(const L_CHAR* text);
// A stored mode named by text: "direct" 0, "server" 1, "client" 2; -1 for
// any other text.
int qmx_mode_number(const L_CHAR* text);

// An error value at the position of `at` from function `func`.
ZU_SEXP* qmx_error(ZU_SEXP* at, uint32_t code, const char* func, ZU_SEXP* data);
// The same whose data is the string `text` (no data when null).
ZU_SEXP* qmx_error_text(ZU_SEXP* at, uint32_t code, const char* func, const char* text);
// A refusal of the matrix store: code 0x80041015 with the store's result.
ZU_SEXP* qmx_store_error(ZU_SEXP* at, const char* func, int result);
// Error data: a list of the texts and numbers given, in order.
ZU_SEXP* qmx_data(const char* a, const char* b);
ZU_SEXP* qmx_data(const char* a, int64_t n);
ZU_SEXP* qmx_data(const char* a, const char* b, int64_t n);

// Non-zero when QNMX_TRACE is set: per-call debug lines go to standard
// error only then.
bool qmx_trace();
