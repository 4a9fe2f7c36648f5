// If, IfDef, Switch, Sequence, Next, IgnoreDelay and Test.
#include <cmath>

#include "stream/stream.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/control.h"

namespace {

// (If condition clause [clause]) with (Then form...) and (Else form...) in
// either order. A clause is checked only when reached: the first one that
// applies is evaluated at once and ends the scan.
ZU_SEXP* zu_If(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* c = eval(env, get_el(form, 1));
  bool yes;
  switch (get_type(c)) {
    case ZU_TYPE_ERROR:
      return c;
    case ZU_TYPE_INTEGER:
      yes = c->integer.num != 0;
      break;
    case ZU_TYPE_FLOATING:
      yes = c->floating.num != 0.0;
      break;
    default:
      return error_text_at(form, ZU_ER_TYPE, "If", "type missmatch");
  }
  bool seen_then = false;
  bool seen_else = false;
  for (ZU_SEXP* p = form->pair.cdr->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* clause = p->pair.car;
    ZU_SEXP* head = get_type(clause) == ZU_TYPE_LIST ? clause->pair.car : nullptr;
    bool is_then = is_symbol_named(head, "Then");
    bool is_else = !is_then && is_symbol_named(head, "Else");
    if ((!is_then && !is_else) || (is_then && seen_then) || (is_else && seen_else))
      return error_text_at(form, ZU_ER_PARAM, "If", "then else parameter error");
    if (is_then ? yes : !yes) return eval_body(env, clause->pair.cdr);
    (is_then ? seen_then : seen_else) = true;
  }
  return nullptr;
}

// (IfDef symbol fallback), depth="n": the symbol's value, or the
// fallback's when the symbol is unbound (within n levels).
ZU_SEXP* zu_IfDef(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_SYMBOL) {
    s = eval(env, s);
    int t = get_type(s);
    if (t == ZU_TYPE_ERROR) return s;
    if (t != ZU_TYPE_SYMBOL) return error_text_at(form, ZU_ER_TYPE, "IfDef", nullptr);
  }
  ZU_SEXP* fallback = get_el(form, 2);
  if (const L_CHAR* d = head_option(sf, "depth")) {
    int64_t depth = option_int64(d);
    int limit = depth > INT32_MAX ? INT32_MAX : depth < 0 ? -1 : static_cast<int>(depth);
    if (!lookup_env_atom(env, s->symbol.atom, limit, nullptr)) return eval(env, fallback);
  }
  ZU_SEXP* v = eval(env, s);
  if (get_type(v) == ZU_TYPE_ERROR) return eval(env, fallback);
  return v;
}

// Whether a Case value takes its clause: an integer by its low 32 bits, a
// floating value by its truncation toward zero (NaN and |x| < 1 give 0).
bool case_taken(ZU_SEXP* v) {
  if (get_type(v) == ZU_TYPE_INTEGER) return static_cast<uint32_t>(v->integer.num) != 0;
  double x = v->floating.num;
  return !std::isnan(x) && std::fabs(x) >= 1.0;
}

// (Switch (Case value form...)...): the first clause whose value counts as
// non-zero.
ZU_SEXP* zu_Switch(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  for (ZU_SEXP* p = form->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* clause = p->pair.car;
    if (get_type(clause) != ZU_TYPE_LIST || !is_symbol_named(clause->pair.car, "Case") ||
        list_length(clause) < 3)
      return error_text_at(form, ZU_ER_PARAM, "Switch", "then else parameter error");
    ZU_SEXP* v = eval(env, get_el(clause, 1));
    int t = get_type(v);
    if (t == ZU_TYPE_ERROR) return v;
    if (t != ZU_TYPE_INTEGER && t != ZU_TYPE_FLOATING)
      return error_at(form, ZU_ER_TYPE, "Switch", data_list("type missmatch", v));
    if (case_taken(v)) return eval_body(env, clause->pair.cdr->pair.cdr);
  }
  return nullptr;
}

// (Sequence environment form...): the forms in that environment (nil: the
// caller's).
ZU_SEXP* zu_Sequence(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* e = eval(env, get_el(form, 1));
  switch (get_type(e)) {
    case ZU_TYPE_ERROR:
      return e;
    case ZU_TYPE_NULL:
      break;
    case ZU_TYPE_ENV:
      gc_set_nl(e, gc_qn_sexp);  // the forms may rebind where it came from
      env = e->env;
      break;
    default:
      return error_text_at(form, ZU_ER_TYPE, "Sequence", "type missmatch");
  }
  return eval_body(env, form->pair.cdr->pair.cdr);
}

ZU_SEXP* zu_Next(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* l = get_el(form, 1);
  if (get_type(l) != ZU_TYPE_LIST) return error_text_at(form, ZU_ER_TYPE, "Next", "type missmatch");
  return l->pair.cdr;
}

// (IgnoreDelay form [form2]): looks at a value without waiting for it when
// it is still being computed.
ZU_SEXP* zu_IgnoreDelay(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* a = eval(env, get_el(form, 1));
  int t = sexp_type(a);  // the header's type: a pending value is not waited for
  if (t == ZU_TYPE_ERROR) return a;
  if (list_length(form) == 2 || t == ZU_TYPE_NULL) return nullptr;
  gc_set_nl(a, gc_qn_sexp);
  ZU_SEXP* b = eval(env, get_el(form, 2));
  if (get_type(b) == ZU_TYPE_ERROR) return b;
  return cons(a, b);
}

ZU_SEXP* zu_Test(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  s_printf(s_stdout, "test for chained printing\n");
  s_flush(s_stdout);
  return nullptr;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kIf[] = {{"If", zu_If, 0, 3, 4, 0}, {}};
const QN_PRIM_DEF kIfDef[] = {{"IfDef", zu_IfDef, 0, 3, 3, 0}, {}};
const QN_PRIM_DEF kSwitch[] = {{"Switch", zu_Switch, 0, 2, -1, 0}, {}};
const QN_PRIM_DEF kSequence[] = {{"Sequence", zu_Sequence, 0, 2, -1, 0}, {}};
const QN_PRIM_DEF kNext[] = {{"Next", zu_Next, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kIgnoreDelay[] = {{"IgnoreDelay", zu_IgnoreDelay, 0, 2, 3, 0}, {}};
const QN_PRIM_DEF kTest[] = {{"Test", zu_Test, 1, 1, 1, T}, {}};

}  // namespace

void init_If(ZUISP_ENV* env) { bind_prims(env, kIf); }
void init_IfDef(ZUISP_ENV* env) { bind_prims(env, kIfDef); }
void init_Switch(ZUISP_ENV* env) { bind_prims(env, kSwitch); }
void init_Sequence(ZUISP_ENV* env) { bind_prims(env, kSequence); }
void init_Next(ZUISP_ENV* env) { bind_prims(env, kNext); }
void init_IgnoreDelay(ZUISP_ENV* env) { bind_prims(env, kIgnoreDelay); }
void init_Test(ZUISP_ENV* env) { bind_prims(env, kTest); }
