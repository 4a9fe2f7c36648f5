// Strings made in place and the texts of values, shared by the library's
// built-ins (lib_impl.h).
#include <cinttypes>
#include <cstdio>

#include "zulib/lib_impl.h"

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
