// Helpers shared by the matrix commands (agent_impl.h).
#include <climits>
#include <cstdlib>

#include "agent/agent_impl.h"
#include "text/convert.h"

const L_CHAR* qmx_attr(ZU_SYM_FIELD* sf, const char* name) {
  for (ZU_SYM_FIELD* f = sf; f; f = f->next)
    if (f->name && zu_wcmp_ascii(f->name, name) == 0) return f->value;
  return nullptr;
}

bool qmx_is(const L_CHAR* text, const char* word) { return text && zu_wcmp_ascii(text, word) == 0; }

int qmx_atoi(const L_CHAR* text) {
  if (!text) return 0;
  const L_CHAR* s = text;
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') ++s;
  bool neg = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > int64_t{INT_MAX} + 1) v = int64_t{INT_MAX} + 1;  // held: the store refuses it
  }
  if (neg) v = -v;
  return static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
}

int qmx_mode_number(const L_CHAR* text) {
  static const char* const kModes[] = {"direct", "server", "client"};
  for (int i = 0; i < 3; ++i)
    if (qmx_is(text, kModes[i])) return i;
  return -1;
}

ZU_SEXP* qmx_error(ZU_SEXP* at, uint32_t code, const char* func, ZU_SEXP* data) {
  return get_error_ascii(at ? at->h.file : nullptr, at ? at->h.line : 0, code, func, data);
}

ZU_SEXP* qmx_error_text(ZU_SEXP* at, uint32_t code, const char* func, const char* text) {
  return qmx_error(at, code, func, text ? get_string_ascii(text) : nullptr);
}

ZU_SEXP* qmx_store_error(ZU_SEXP* at, const char* func, int result) {
  return qmx_error(at, ZU_ER_STORE, func, get_integer(result, nullptr));
}

ZU_SEXP* qmx_data(const char* a, const char* b) {
  return List(get_string_ascii(a), get_string_ascii(b), ZU_LIST_END);
}

ZU_SEXP* qmx_data(const char* a, int64_t n) {
  return List(get_string_ascii(a), get_integer(n, nullptr), ZU_LIST_END);
}

ZU_SEXP* qmx_data(const char* a, const char* b, int64_t n) {
  return List(get_string_ascii(a), get_string_ascii(b), get_integer(n, nullptr), ZU_LIST_END);
}

bool qmx_trace() {
  static const bool on = std::getenv("QNMX_TRACE") != nullptr;
  return on;
}
