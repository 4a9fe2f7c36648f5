// DivideString and ReplaceString, over a string or, member by member,
// over nested lists of strings.
#include <algorithm>
#include <string_view>

#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/lib_impl.h"
#include "zulib/strings.h"

namespace {

using Text = std::u32string_view;

Text text_of(ZU_SEXP* s) { return Text(reinterpret_cast<const char32_t*>(str_text(s))); }
const L_CHAR* codes(const char32_t* p) { return reinterpret_cast<const L_CHAR*>(p); }

ZU_SEXP* too_deep(ZU_SEXP* form, const char* func) {
  return error_list_at(form, ZU_ER_EVAL_DEPTH, func, "list nested too deeply");
}

// ---- DivideString

ZU_SEXP* divide_text(Text t, Text sep) {
  ListBuilder out;
  for (size_t from = 0;;) {
    size_t at = t.find(sep, from);
    if (at == Text::npos) {
      out.add(get_string_len(codes(t.data() + from), t.size() - from));
      return out.head;
    }
    out.add(get_string_len(codes(t.data() + from), at - from));
    from = at + sep.size();
  }
}

ZU_SEXP* divide(ZU_SEXP* x, Text sep, ZU_SEXP* form) {
  if (zu_stack_low()) return too_deep(form, "DivideString");
  switch (get_type(x)) {
    case ZU_TYPE_STRING:
      return divide_text(text_of(x), sep);
    case ZU_TYPE_NULL:
      return nullptr;
    case ZU_TYPE_LIST: {
      ListBuilder out;
      ZU_SEXP* p = x;
      for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
        ZU_SEXP* r = divide(p->pair.car, sep, form);
        if (get_type(r) == ZU_TYPE_ERROR) return r;
        out.add(r);
      }
      if (get_type(p) == ZU_TYPE_NULL) return out.head;
      x = p;  // an improper tail is refused like any other member
      break;
    }
    default:
      break;
  }
  // The error points at the value that is not text.
  return get_error_ascii(x->h.file, x->h.line, ZU_ER_TYPE, "DivideString",
                         get_string_ascii("type missmatch in the 1st list"));
}

ZU_SEXP* zu_DivideString(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* sep = get_el(form, 2);
  if (get_type(sep) != ZU_TYPE_STRING)
    return error_text_at(form, ZU_ER_TYPE, "DivideString", "type missmatch in the terminate string");
  // An empty separator would occur everywhere without ever moving on.
  if (str_text(sep)[0] == 0) return error_text_at(form, ZU_ER_PARAM, "DivideString", "parameter error");
  return divide(get_el(form, 1), text_of(sep), form);
}

// ---- ReplaceString

ZU_SEXP* replace_text(ZU_SEXP* x, Text from, Text to) {
  Text t = text_of(x);
  size_t count = 0;
  for (size_t at = t.find(from); at != Text::npos; at = t.find(from, at + from.size())) ++count;
  if (count == 0) return x;
  L_CHAR* room = nullptr;
  ZU_SEXP* r = new_string_room(t.size() - count * from.size() + count * to.size(), &room);
  auto* out = reinterpret_cast<char32_t*>(room);
  size_t done = 0;
  for (size_t at = t.find(from); at != Text::npos; at = t.find(from, done)) {
    out = std::copy(t.begin() + static_cast<std::ptrdiff_t>(done), t.begin() + static_cast<std::ptrdiff_t>(at), out);
    out = std::copy(to.begin(), to.end(), out);
    done = at + from.size();
  }
  std::copy(t.begin() + static_cast<std::ptrdiff_t>(done), t.end(), out);
  return r;
}

ZU_SEXP* replace(ZU_SEXP* x, Text from, Text to, ZU_SEXP* form) {
  if (zu_stack_low()) return too_deep(form, "ReplaceString");
  switch (get_type(x)) {
    case ZU_TYPE_STRING:
      return replace_text(x, from, to);
    case ZU_TYPE_LIST: {
      ListBuilder out;
      ZU_SEXP* p = x;
      for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
        ZU_SEXP* r = replace(p->pair.car, from, to, form);
        if (get_type(r) == ZU_TYPE_ERROR) return r;
        out.add(r);
      }
      out.last->pair.cdr = p;  // an improper tail stays as it is
      return out.head;
    }
    default:
      return x;  // numbers, symbols and the rest are not text
  }
}

ZU_SEXP* zu_ReplaceString(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* from = get_el(form, 2);
  ZU_SEXP* to = get_el(form, 3);
  if (get_type(from) != ZU_TYPE_STRING || get_type(to) != ZU_TYPE_STRING)
    return error_text_at(form, ZU_ER_TYPE, "ReplaceString", nullptr);
  if (str_text(from)[0] == 0) return error_text_at(form, ZU_ER_PARAM, "ReplaceString", "parameter error");
  return replace(get_el(form, 1), text_of(from), text_of(to), form);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kDivideString[] = {{"DivideString", zu_DivideString, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kReplaceString[] = {{"ReplaceString", zu_ReplaceString, 1, 4, 4, T}, {}};

}  // namespace

void init_DivideString(ZUISP_ENV* env) { bind_prims(env, kDivideString); }
void init_ReplaceString(ZUISP_ENV* env) { bind_prims(env, kReplaceString); }
