// The kit every folder that writes built-ins uses: error values positioned
// at the call form, head-symbol options, numeric options, element tests and
// list building. Error codes and their texts stay with the folders that
// raise them; this header only shapes the values.
//
// Everything here makes or reads ZU values: the caller holds the memory
// lock (it runs inside a built-in), and what is made is pinned in the
// caller's top collector frame, as for any constructor of zu/value.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "zu/value.h"

// ---- error values
// An error value at the source position of `at` (none when null), raised by
// the function named `func`, with any data value.
ZU_SEXP* error_at(ZU_SEXP* at, uint32_t code, const char* func, ZU_SEXP* data);
// The same whose data is the string `text` (no data when text is null).
ZU_SEXP* error_text_at(ZU_SEXP* at, uint32_t code, const char* func, const char* text);
// The same whose data is a one-member list holding the string `text`.
ZU_SEXP* error_list_at(ZU_SEXP* at, uint32_t code, const char* func, const char* text);
// A built-in's refusal of a peer (0x80040d10, zu/peer.h): a power no peer
// has, and one a peer has only over what is its own.
ZU_SEXP* peer_power_refused(ZU_SEXP* at, const char* func);
ZU_SEXP* peer_not_own(ZU_SEXP* at, const char* func);

// Error data: a list of the members given, in order. A `const char*` member
// becomes a string (7-bit text), an integer member an integer, a ZU_SEXP*
// member is taken as it is.
namespace builtin_kit_detail {
inline ZU_SEXP* member(ZU_SEXP* v) { return v; }
inline ZU_SEXP* member(const char* text) { return get_string_ascii(text); }
template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
inline ZU_SEXP* member(I n) {
  return get_integer(static_cast<int64_t>(n), nullptr);
}
}  // namespace builtin_kit_detail
template <class... A>
ZU_SEXP* data_list(A... members) {
  return List(builtin_kit_detail::member(members)..., ZU_LIST_END);
}

// ---- options: name="value" attributes of the call form's head symbol
// The text of attribute `name` (7-bit), or null when absent. The first of
// equal names wins.
const L_CHAR* head_option(ZU_SYM_FIELD* sf, const char* name);
// True when `text` is present and equals the 7-bit word.
bool option_is(const L_CHAR* text, const char* word);
// An integer option: leading white space, an optional sign, then the
// decimal digits up to the first other character ("0x10" reads 0, text
// without digits 0, null 0); a value past the 64-bit range is held at its
// end.
int64_t option_int64(const L_CHAR* text);
// The same held to the int range.
int option_int(const L_CHAR* text);

// ---- value tests
inline bool is_string(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_STRING; }
inline bool is_integer(ZU_SEXP* s) { return get_type(s) == ZU_TYPE_INTEGER; }
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

// ---- list building
// Appends members to a list in order. The head is what the caller keeps
// (and pins); the builder only remembers the last cell.
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
