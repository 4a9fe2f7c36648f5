#pragma once

#include "support/text/wide.h"
#include "zu/value.h"

inline ZU_SEXP* I(int64_t v) { return get_integer(v, nullptr); }
inline ZU_SEXP* S(const char* name) { return get_symbol_ascii(name); }
inline ZU_SEXP* Str(const char* text) { return get_string_ascii(text); }
