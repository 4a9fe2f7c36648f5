// Pieces the printing, loading and saving built-ins share (io_impl.h): their
// error values, ":"-separated option words read against a table, integer
// options, and the calling task's interpreter.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zulib/io_impl.h"

ZU_SEXP* io_error(ZU_SEXP* form, uint32_t code, const char* func, const char* text, ZU_SEXP* more) {
  if (!more) return error_list_at(form, code, func, text);
  return error_at(form, code, func, data_list(text, more));
}

ZU_SEXP* io_file_error(ZU_SEXP* form, const char* func, const char* text, ZU_SEXP* name, int err) {
  return error_at(form, ZU_ER_OPEN, func, data_list(text, name, std::strerror(err)));
}

bool read_words(const L_CHAR* text, const IO_WORD* tbl, int* flags) {
  int bits = 0;
  static const L_CHAR kEmpty[1] = {0};
  const L_CHAR* p = text ? text : kEmpty;
  for (;;) {
    const L_CHAR* e = p;
    while (*e && *e != ':') ++e;
    size_t len = static_cast<size_t>(e - p);
    const IO_WORD* w = tbl;
    for (; w->name; ++w) {
      if (std::strlen(w->name) != len) continue;
      size_t k = 0;
      while (k < len && p[k] == static_cast<unsigned char>(w->name[k])) ++k;
      if (k == len) break;
    }
    if (len == 0 || !w->name) return false;
    bits |= w->bits;
    if (!*e) break;
    p = e + 1;
  }
  *flags |= bits;
  return true;
}

bool read_int(const L_CHAR* text, int base, int* out) {
  if (!text) return false;
  const char* n = n_string(std_cm, text);
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(n, &end, base);
  if (end == n || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

ZU_INTERPRETER* my_interpreter() { return lock_up_test(zui_lock) ? get_my_zui() : nullptr; }
