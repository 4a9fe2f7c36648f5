// Helpers shared by the library's built-ins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "text/convert.h"
#include "zu/value.h"

// An error value positioned at the call form, from function `func`, whose
// data is the string `text` (nil when text is null).
ZU_SEXP* lib_error(ZU_SEXP* form, uint32_t code, const char* func, const char* text);
// The same with any data value.
ZU_SEXP* lib_error_data(ZU_SEXP* form, uint32_t code, const char* func, ZU_SEXP* data);
// The same with data a one-member list holding the string `text`.
ZU_SEXP* lib_error_list(ZU_SEXP* form, uint32_t code, const char* func, const char* text);
// An integer option: leading blanks, an optional sign, the digits up to the
// first other character; no digits read as 0.
int64_t option_integer(const L_CHAR* text);
// True for a symbol whose name is the 7-bit text `name`.
bool is_symbol_named(ZU_SEXP* s, const char* name);
// True for a list whose first member is a symbol: an element.
inline bool is_element(ZU_SEXP* s) {
  return get_type(s) == ZU_TYPE_LIST && get_type(s->pair.car) == ZU_TYPE_SYMBOL;
}
// True for an element whose tag is the atom `tag`.
inline bool is_element_of(ZU_SEXP* s, const ZU_ATOM* tag) {
  return is_element(s) && s->pair.car->symbol.atom == tag;
}

// The text of the head symbol's attribute `name` (a literal), or null.
template <size_t N>
inline const L_CHAR* lib_option(ZU_SYM_FIELD* sf, const char (&name)[N]) {
  return sf ? get_sf_attribute(sf, l_string(std_cm, name)) : nullptr;
}

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

// Appends one member to a list being built.
struct ListBuilder {
  ZU_SEXP* head = nullptr;
  ZU_SEXP* last = nullptr;
  void add(ZU_SEXP* v) {
    ZU_SEXP* c = cons(v, nullptr);
    if (last) last->pair.cdr = c;
    else head = c;
    last = c;
  }
};
