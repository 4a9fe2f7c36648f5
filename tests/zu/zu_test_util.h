#pragma once

#include "zu/value.h"

// Wide literal: U"..." as L_CHAR text.
inline const L_CHAR* W(const char32_t* s) { return reinterpret_cast<const L_CHAR*>(s); }

inline ZU_SEXP* I(int64_t v) { return get_integer(v, nullptr); }
inline ZU_SEXP* S(const char* name) { return get_symbol_ascii(name); }
inline ZU_SEXP* Str(const char* text) { return get_string_ascii(text); }
