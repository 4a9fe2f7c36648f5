// Helpers shared by the library's built-ins.
#pragma once

#include "zu/value.h"

// An error value positioned at the call form, from function `func`, whose
// data is the string `text` (nil when text is null).
ZU_SEXP* lib_error(ZU_SEXP* form, uint32_t code, const char* func, const char* text);
// The same with any data value.
ZU_SEXP* lib_error_data(ZU_SEXP* form, uint32_t code, const char* func, ZU_SEXP* data);
// True for a list whose first member is a symbol: an element.
inline bool is_element(ZU_SEXP* s) {
  return get_type(s) == ZU_TYPE_LIST && get_type(s->pair.car) == ZU_TYPE_SYMBOL;
}
// True for an element whose tag is the atom `tag`.
inline bool is_element_of(ZU_SEXP* s, const ZU_ATOM* tag) {
  return is_element(s) && s->pair.car->symbol.atom == tag;
}
