// The template step: copies a form, putting values in for ($ expr) parts
// and ^-names.
#include "zu/env.h"
#include "zu/eval.h"

namespace {

bool is_dollar_form(ZU_SEXP* s) {
  ZU_SEXP* h = s->pair.car;
  if (get_type(h) != ZU_TYPE_SYMBOL) return false;
  const L_CHAR* n = sym_name(h);
  return n[0] == '$' && n[1] == 0 && list_length(s) == 2;
}

struct Trace {
  ZUISP_ENV* env;
  ZU_SEXP* err = nullptr;  // the first error met while evaluating

  ZU_SEXP* atom(ZU_SEXP* s) {
    if (get_type(s) != ZU_TYPE_SYMBOL) return s;
    const L_CHAR* n = sym_name(s);
    if (n[0] != '^' || n[1] == 0) return s;
    ZU_SEXP* v = nullptr;
    if (lookup_env_atom(env, find_atom(n + 1), -1, &v)) return v;
    err = get_error_ascii(s->h.file, s->h.line, ZU_ER_UNBOUND, "eval", list(get_string(n + 1)));
    return nullptr;
  }

  ZU_SEXP* walk(ZU_SEXP* s) {
    if (get_type(s) != ZU_TYPE_LIST) return atom(s);
    if (is_dollar_form(s)) {
      ZU_SEXP* v = eval(env, s->pair.cdr->pair.car);
      if (get_type(v) == ZU_TYPE_ERROR) err = v;
      return v;
    }
    if (zu_stack_low()) {
      err = get_error_ascii(s->h.file, s->h.line, ZU_ER_EVAL_DEPTH, "quote",
                            list(get_string_ascii("form nested too deeply")));
      return nullptr;
    }
    ZU_SEXP* head = nullptr;
    ZU_SEXP* tail = nullptr;
    ZU_SEXP* p = s;
    for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
      ZU_SEXP* c = cons(nullptr, nullptr);
      set_sexp_pos(c, p->h.file, p->h.line);
      if (tail) tail->pair.cdr = c;
      else head = c;
      tail = c;
      c->pair.car = walk(p->pair.car);
      if (err) return nullptr;
    }
    if (p) tail->pair.cdr = atom(p);  // improper tail
    return head;
  }
};

}  // namespace

ZU_SEXP* qn_quote_trace(ZUISP_ENV* env, ZU_SEXP* form, const L_CHAR* mode) {
  if (mode && zu_wcmp_ascii(mode, "direct") == 0) return form;
  if (mode && zu_wcmp_ascii(mode, "normal") != 0) {
    return get_error_ascii(form ? form->h.file : nullptr, form ? form->h.line : 0, ZU_ER_PARAM, "quote",
                           list(get_string_ascii("invalid type attribute")));
  }
  GcFrame frame("qn_quote_trace");
  Trace t{env};
  ZU_SEXP* r = t.walk(form);
  return frame.keep(t.err ? t.err : r, gc_qn_sexp);
}
