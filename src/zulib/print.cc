// Print: the list-form text of a value as a string, made by a walk of its
// own (strings keep every character but line ends, which become "\n").
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/io_impl.h"
#include "zulib/lib_impl.h"
#include "zulib/library.h"
#include "zulib/printing.h"

namespace {

struct PrintText {
  std::vector<L_CHAR> out;
  ZU_SEXP* error = nullptr;  // the error value that stopped the walk

  void put(const char* s) {
    for (; *s; ++s) out.push_back(static_cast<unsigned char>(*s));
  }
  void put(const L_CHAR* s) {
    if (s)
      for (; *s; ++s) out.push_back(*s);
  }
  template <class... A>
  void format(const char* fmt, A... args) {
    char buf[400];
    int n = std::snprintf(buf, sizeof buf, fmt, args...);
    if (n < static_cast<int>(sizeof buf)) {
      put(buf);
      return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::snprintf(big.data(), big.size(), fmt, args...);
    put(big.data());
  }
  // Attribute names and values pass through the standard encoding, as
  // every attribute text that leaves the program does.
  void put_std(const L_CHAR* s) { put(l_string(std_cm, n_string(std_cm, s))); }

  void symbol(ZU_SEXP* s) {
    if (!sym_field(s)) {
      put(sym_name(s));
      return;
    }
    put("[");
    put(sym_name(s));
    for (ZU_SYM_FIELD* f = sym_field(s); f; f = f->next) {
      put(" ");
      put_std(f->name);
      put("=\"");
      put_std(f->value);
      put("\"");
    }
    put("]");
  }

  void string(const L_CHAR* t) {
    put("\"");
    for (; *t; ++t) {
      if (*t == '\n' || *t == '\r') {
        out.push_back('\\');
        out.push_back('n');
      } else {
        out.push_back(*t);
      }
    }
    put("\"");
  }

  // False when the walk stopped (an error value, or a value nested too
  // deeply or cyclic).
  bool value(ZU_SEXP* s) {
    switch (get_type(s)) {
      case ZU_TYPE_NULL:
        put("()");
        return true;
      case ZU_TYPE_LIST:
        return list(s);
      case ZU_TYPE_SYMBOL:
        symbol(s);
        return true;
      case ZU_TYPE_STRING:
        string(str_text(s));
        return true;
      case ZU_TYPE_INTEGER:
      case ZU_TYPE_FLOATING: {
        std::u32string t;
        number_text(s, &t);
        out.insert(out.end(), t.begin(), t.end());
        return true;
      }
      case ZU_TYPE_FUNCTION:
        if (s->func->type == ZU_FUNC_BUILTIN)
          format("[prim:0x%" PRIxPTR "]", reinterpret_cast<uintptr_t>(s->func->prim));
        else if (s->func->type == ZU_FUNC_LAMBDA)
          format("[lambda:0x%" PRIxPTR "]", reinterpret_cast<uintptr_t>(s->func->l_body));
        else
          format("[%i]", s->func->type);
        return true;
      case ZU_TYPE_RAW:
        format("#%x#]", s->raw.size);
        return true;
      case ZU_TYPE_POINTER:
        format("[ptr:0x%" PRIxPTR "]", reinterpret_cast<uintptr_t>(s->ptr.ptr));
        return true;
      case ZU_TYPE_ENV:
        format("[env:0x%" PRIxPTR "]", reinterpret_cast<uintptr_t>(s->env));
        return true;
      case ZU_TYPE_ERROR:
        error = s;
        return false;
      default:
        format("[%i]", get_type(s));
        return true;
    }
  }

  // Members are walked in a loop; only nesting recurses. A tail that meets
  // itself again (checked at half speed) is a cycle, which has no text.
  bool list(ZU_SEXP* s) {
    if (zu_stack_low()) return too_deep(s);
    put("(");
    ZU_SEXP* slow = s;
    for (bool step = false;; step = !step) {
      if (!value(s->pair.car)) return false;
      ZU_SEXP* rest = s->pair.cdr;
      int t = get_type(rest);
      if (t == ZU_TYPE_NULL) break;
      put(" ");
      if (t != ZU_TYPE_LIST) {
        put(".");
        if (!value(rest)) return false;
        break;
      }
      s = rest;
      if (step) slow = slow->pair.cdr;
      if (s == slow) return too_deep(s);
    }
    put(")");
    return true;
  }

  bool too_deep(ZU_SEXP* s) {
    error = get_error_ascii(s ? s->h.file : nullptr, s ? s->h.line : 0, ZU_ER_EVAL_DEPTH, "Print",
                            ::list(get_string_ascii("nested too deeply or cyclic")));
    return false;
  }
};

ZU_SEXP* zu_Print(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  PrintText p;
  if (!p.value(get_el(form, 1))) return p.error;
  return get_string_len(p.out.data(), p.out.size());
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kPrint[] = {{"Print", zu_Print, 1, 2, 2, T}, {}};

}  // namespace

void init_Print(ZUISP_ENV* env) { bind_prims(env, kPrint); }
