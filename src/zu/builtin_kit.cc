// The built-ins' kit (builtin_kit.h).
#include "zu/builtin_kit.h"

#include <cstdint>
#include <limits>

#include "zu/peer.h"

ZU_SEXP* error_at(ZU_SEXP* at, uint32_t code, const char* func, ZU_SEXP* data) {
  return get_error_ascii(at ? at->h.file : nullptr, at ? at->h.line : 0, code, func, data);
}

ZU_SEXP* error_text_at(ZU_SEXP* at, uint32_t code, const char* func, const char* text) {
  return error_at(at, code, func, text ? get_string_ascii(text) : nullptr);
}

ZU_SEXP* error_list_at(ZU_SEXP* at, uint32_t code, const char* func, const char* text) {
  return error_at(at, code, func, list(get_string_ascii(text)));
}

ZU_SEXP* peer_power_refused(ZU_SEXP* at, const char* func) {
  return error_list_at(at, ZU_ER_DENIED, func, kPeerPowerRefused);
}

ZU_SEXP* peer_not_own(ZU_SEXP* at, const char* func) {
  return error_list_at(at, ZU_ER_DENIED, func, "not this peer's own, refused");
}

// Compared code by code against the 7-bit name, so no option lookup
// depends on the standard encoding or interns a name.
const L_CHAR* head_option(ZU_SYM_FIELD* sf, const char* name) {
  for (; sf; sf = sf->next)
    if (sf->name && zu_wcmp_ascii(sf->name, name) == 0) return sf->value;
  return nullptr;
}

bool option_is(const L_CHAR* text, const char* word) { return text && zu_wcmp_ascii(text, word) == 0; }

int64_t option_int64(const L_CHAR* text) {
  if (!text) return 0;
  const L_CHAR* s = text;
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') ++s;
  const bool neg = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  // Accumulated as a magnitude up to 2^63, the most negative value's.
  constexpr uint64_t kLimit = uint64_t{1} << 63;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    const uint64_t d = *s - '0';
    v = v > (kLimit - d) / 10 ? kLimit : v * 10 + d;
  }
  if (neg) return v == kLimit ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(v);
  return v >= kLimit ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(v);
}

int option_int(const L_CHAR* text) {
  const int64_t v = option_int64(text);
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(v);
}

bool is_symbol_named(ZU_SEXP* s, const char* name) {
  return get_type(s) == ZU_TYPE_SYMBOL && zu_wcmp_ascii(sym_name(s), name) == 0;
}
