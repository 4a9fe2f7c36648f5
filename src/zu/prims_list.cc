// List primitives of the core.
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

ZU_SEXP* truth_value(bool b) { return get_integer(b ? 1 : 0, nullptr); }

// Errors are positioned at the call form.
ZU_SEXP* qn_car(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  if (get_type(x) != ZU_TYPE_LIST) return form_error(form, ZU_ER_TYPE, "car", "type missmatch");
  return x->pair.car;
}

ZU_SEXP* qn_cdr(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  if (get_type(x) != ZU_TYPE_LIST) return form_error(form, ZU_ER_TYPE, "cdr", "type missmatch");
  return x->pair.cdr;
}

ZU_SEXP* qn_cons(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return cons(get_el(form, 1), get_el(form, 2));
}

// The evaluated form is a fresh list: its tail is the answer.
ZU_SEXP* qn_list(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) { return form->pair.cdr; }

ZU_SEXP* qn_null(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return truth_value(is_nil(get_el(form, 1)));
}

// Identity: the same value, symbols of one name, or integers of one value.
ZU_SEXP* qn_eq(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* a = get_el(form, 1);
  ZU_SEXP* b = get_el(form, 2);
  int ta = get_type(a);
  bool same = a == b || (ta == ZU_TYPE_NULL && is_nil(b));
  if (!same && ta == get_type(b)) {
    if (ta == ZU_TYPE_SYMBOL) same = a->symbol.atom == b->symbol.atom;
    else if (ta == ZU_TYPE_INTEGER) same = a->integer.num == b->integer.num;
  }
  return truth_value(same);
}

ZU_SEXP* qn_equal(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return truth_value(cmp_sexp(get_el(form, 1), get_el(form, 2)) == 0);
}

// None of them looks at the environment.
constexpr uint8_t E = ZU_FUNC_ENV_TRANSIENT;
constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT | E;
const QN_PRIM_DEF kList[] = {
    {"car", qn_car, 1, 2, 2, T},   {"cdr", qn_cdr, 1, 2, 2, T}, {"cons", qn_cons, 1, 3, 3, T},
    {"list", qn_list, 1, 1, -1, E}, {"null", qn_null, 1, 2, 2, T}, {"eq", qn_eq, 1, 3, 3, T},
    {"equal", qn_equal, 1, 3, 3, T}, {nullptr, nullptr, 0, 0, 0, 0},
};

}  // namespace

void init_qn_list(ZUISP_ENV* env) { bind_prims(env, kList); }
