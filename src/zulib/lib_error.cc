// Error values and texts shared by the library's built-ins.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "zulib/lib_impl.h"

ZU_SEXP* lib_error_data(ZU_SEXP* form, uint32_t code, const char* func, ZU_SEXP* data) {
  ZU_FILE* f = form ? form->h.file : nullptr;
  int line = form ? form->h.line : 0;
  return get_error_ascii(f, line, code, func, data);
}

ZU_SEXP* lib_error(ZU_SEXP* form, uint32_t code, const char* func, const char* text) {
  return lib_error_data(form, code, func, text ? get_string_ascii(text) : nullptr);
}

ZU_SEXP* lib_error_list(ZU_SEXP* form, uint32_t code, const char* func, const char* text) {
  return lib_error_data(form, code, func, list(get_string_ascii(text)));
}

ZU_SEXP* new_string_room(size_t len, L_CHAR** text) {
  ZU_SEXP* s = new_sexp(ZU_TYPE_STRING);
  s->string.str = static_cast<L_CHAR*>(mmalloc((len + 1) * sizeof(L_CHAR), gc_text));
  *text = s->string.str;
  return s;
}

namespace {

void append_unit(std::u32string* out, const L_CHAR* unit) {
  if (unit) out->append(reinterpret_cast<const char32_t*>(unit));
}

}  // namespace

bool number_text(ZU_SEXP* n, std::u32string* out) {
  char buf[64];
  switch (get_type(n)) {
    case ZU_TYPE_INTEGER:
      std::snprintf(buf, sizeof buf, "%" PRId64, n->integer.num);
      out->assign(buf, buf + std::char_traits<char>::length(buf));
      append_unit(out, n->integer.unit);
      return true;
    case ZU_TYPE_FLOATING: {
      // %f of a large value is long; size the buffer from the first try.
      int len = std::snprintf(buf, sizeof buf, "%f", n->floating.num);
      std::string text(static_cast<size_t>(len), '\0');
      std::snprintf(text.data(), text.size() + 1, "%f", n->floating.num);
      out->assign(text.begin(), text.end());
      append_unit(out, n->floating.unit);
      return true;
    }
    default:
      return false;
  }
}

bool value_text(ZU_SEXP* v, std::u32string* out) {
  switch (get_type(v)) {
    case ZU_TYPE_STRING:
      *out = reinterpret_cast<const char32_t*>(str_text(v));
      return true;
    case ZU_TYPE_SYMBOL:
      *out = reinterpret_cast<const char32_t*>(sym_name(v));
      return true;
    default:
      return number_text(v, out);
  }
}

int64_t option_integer(const L_CHAR* text) { return std::strtoll(n_string(std_cm, text), nullptr, 10); }

bool is_symbol_named(ZU_SEXP* s, const char* name) {
  return get_type(s) == ZU_TYPE_SYMBOL && zu_wcmp_ascii(sym_name(s), name) == 0;
}
