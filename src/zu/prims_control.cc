// Control primitives of the core: quoting, conditionals, loops, sequencing,
// logic and assignment.
#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/eval.h"

namespace {

inline const L_CHAR* W(const char32_t* s) { return reinterpret_cast<const L_CHAR*>(s); }

ZU_SEXP* truth_value(bool b) { return get_integer(b ? 1 : 0, nullptr); }

// (quote form) gives form as written; with type="..." the form goes through
// the template step of that mode.
ZU_SEXP* qn_quote(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  const L_CHAR* mode = get_sf_attribute(sf, W(U"type"));
  if (!mode) return x;
  return qn_quote_trace(env, x, mode);
}

// The member after list cell p (its rest forced), or null past the end;
// *p moves on to that member's cell.
inline ZU_SEXP* next_arg(ZU_SEXP** p) {
  ZU_SEXP* rest = get_type(*p) == ZU_TYPE_LIST ? (*p)->pair.cdr : nullptr;
  *p = rest;
  return get_type(rest) == ZU_TYPE_LIST ? rest->pair.car : nullptr;
}

// (if condition then [else])
ZU_SEXP* qn_if(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* p = form;
  ZU_SEXP* err;
  bool c = zu_true(eval(env, next_arg(&p)), &err);
  if (err) return err;
  ZU_SEXP* then_form = next_arg(&p);
  if (c) return eval(env, then_form);
  return eval(env, next_arg(&p));
}

// (while condition body...): the condition is tested before each pass. The
// result is the last body value (nil when the body never ran); a break
// signal ends the loop with its data, a continue signal ends the pass.
ZU_SEXP* qn_while(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* cond = get_el(form, 1);
  ZU_SEXP* body = form->pair.cdr->pair.cdr;
  ZU_SEXP* last = cons(nullptr, nullptr);  // pinned here; holds the result
  for (;;) {
    // A loop that evaluates no call form must still answer the break check
    // and let collections run.
    if (ZU_SEXP* b = do_break_check(form)) return b;
    gc_safepoint();
    GcFrame pass("while");
    ZU_SEXP* err;
    bool go = zu_true(eval(env, cond), &err);
    if (err) return err;
    if (!go) break;
    ZU_SEXP* v = eval_body(env, body);
    switch (error_code(v)) {
      case 0:
        last->pair.car = v;
        break;
      case ZU_ER_BREAK:
        return v->error->data;
      case ZU_ER_CONTINUE:
        last->pair.car = nullptr;
        break;
      default:
        return v;
    }
  }
  return last->pair.car;
}

ZU_SEXP* qn_progn(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return eval_body(env, form->pair.cdr);
}

// (and x...): the first false value, else the last value (1 with none).
ZU_SEXP* qn_and(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* v = get_integer(1, nullptr);
  for (ZU_SEXP* p = form->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    v = eval(env, p->pair.car);
    ZU_SEXP* err;
    bool t = zu_true(v, &err);
    if (err) return err;
    if (!t) return v;
  }
  return v;
}

// (or x...): the first true value, else nil.
ZU_SEXP* qn_or(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  for (ZU_SEXP* p = form->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* v = eval(env, p->pair.car);
    ZU_SEXP* err;
    bool t = zu_true(v, &err);
    if (err) return err;
    if (t) return v;
  }
  return nullptr;
}

ZU_SEXP* qn_not(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* err;
  return truth_value(!zu_true(get_el(form, 1), &err));
}

// (set symbol value): assigns the nearest binding; the value is the result.
ZU_SEXP* qn_set(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_SYMBOL) return form_error(form, ZU_ER_TYPE, "set", "type missmatch");
  ZU_SEXP* v = eval(env, get_el(form, 2));
  if (get_type(v) == ZU_TYPE_ERROR) return v;
  int r = set_op(env, s, v);
  if (r == kEnvRefused) return peer_refused(form, "set");
  if (r < 0)
    return get_error_ascii(s->h.file, s->h.line, ZU_ER_UNBOUND, "set", list(get_string(sym_name(s))));
  return v;
}

// None of them keeps the environment it is called in (they only evaluate
// and bind in it).
constexpr uint8_t E = ZU_FUNC_ENV_TRANSIENT;
const QN_PRIM_DEF kControl[] = {
    {"quote", qn_quote, 0, 2, 2, E},
    {"if", qn_if, 0, 3, 4, E},
    {"while", qn_while, 0, 2, -1, E},
    {"progn", qn_progn, 0, 1, -1, E},
    {"and", qn_and, 0, 1, -1, E},
    {"or", qn_or, 0, 1, -1, E},
    {"not", qn_not, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT | E},
    {"set", qn_set, 0, 3, 3, E},
    {"define", qn_define, 0, 3, 5, E},
    {"lambda", qn_lambda, 0, 3, 4, E},
    {"define-default", qn_define_default, 0, 2, 4, E},
    {nullptr, nullptr, 0, 0, 0, 0},
};

}  // namespace

void init_qn_control(ZUISP_ENV* env) { bind_prims(env, kControl); }
