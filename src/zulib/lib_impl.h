// Helpers shared by the library's built-ins beyond the kit of every
// folder that writes built-ins (zu/builtin_kit.h): strings made in place and
// the texts that values give as names and attribute values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "text/convert.h"
#include "zu/value.h"

// A new string value with room for `len` codes (all 0, terminator
// included), which the caller fills through *text.
ZU_SEXP* new_string_room(size_t len, L_CHAR** text);
// A new string value of a wide text held in a std::u32string.
inline ZU_SEXP* get_string_u32(const std::u32string& s) {
  return get_string_len(reinterpret_cast<const L_CHAR*>(s.data()), s.size());
}

// The text of a number as names and attribute values show it: an integer
// in decimal, a floating value in "%f" form, either followed directly by
// its unit. False (and *out untouched) for any other value.
bool number_text(ZU_SEXP* n, std::u32string* out);
// The text a value gives as a name or attribute value: a string's text, a
// symbol's name, a number's text. False for any other value.
bool value_text(ZU_SEXP* v, std::u32string* out);
