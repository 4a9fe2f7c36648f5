// Lambda function values and the definition primitives.
#include "zu/env.h"
#include "zu/eval.h"
#include "zu/peer.h"

namespace {

inline const L_CHAR* W(const char32_t* s) { return reinterpret_cast<const L_CHAR*>(s); }

constexpr int kOrderMissing = -1;
constexpr int kOrderNotFirst = -2;  // the first attribute is not Order
constexpr int kOrderBadValue = -3;

// Longest parameter list: its length becomes the call form's minimum and
// maximum, which are 8-bit signed fields.
constexpr int kMaxParams = 126;

// The order the head's first attribute asks for: 0 "Normal", 1
// "Applicative", 2 "ApplicativeElement".
int read_order(ZU_SYM_FIELD* sf) {
  if (!sf) return kOrderMissing;
  if (!sf->name || zu_wcmp_ascii(sf->name, "Order") != 0) return kOrderNotFirst;
  if (!sf->value) return kOrderBadValue;
  if (zu_wcmp_ascii(sf->value, "Normal") == 0) return 0;
  if (zu_wcmp_ascii(sf->value, "Applicative") == 0) return 1;
  if (zu_wcmp_ascii(sf->value, "ApplicativeElement") == 0) return 2;
  return kOrderBadValue;
}

// Checks a parameter list: 1 usable, 0 a format fault, -1 an error value
// inside it (stored in *err). Under the normal order every member must be a
// symbol; otherwise the head place is not examined.
int check_params(ZU_SEXP* params, bool normal, ZU_SEXP** err) {
  switch (get_type(params)) {
    case ZU_TYPE_NULL:
    case ZU_TYPE_SYMBOL:
      return 1;
    case ZU_TYPE_ERROR:
      *err = params;
      return -1;
    case ZU_TYPE_LIST:
      break;
    default:
      return 0;
  }
  int n = list_length(params);
  if (n < 0 || n > kMaxParams) return 0;
  int i = 0;
  for (ZU_SEXP* p = params; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr, ++i) {
    int t = get_type(p->pair.car);
    if (t == ZU_TYPE_ERROR) {
      *err = p->pair.car;
      return -1;
    }
    if (t != ZU_TYPE_SYMBOL && (normal || i > 0)) return 0;
  }
  return 1;
}

// The members of a list from position n on.
ZU_SEXP* tail_from(ZU_SEXP* s, int n) {
  for (; n > 0 && get_type(s) == ZU_TYPE_LIST; --n) s = s->pair.cdr;
  return n == 0 ? s : nullptr;
}

ZU_SEXP* lambda_format_error(ZU_SEXP* form) {
  return get_error_ascii(form->h.file, form->h.line, ZU_ER_FORMAT, "lambda",
                         List(get_string_ascii("format error in lambda argment"), get_integer(ZU_TYPE_LIST, nullptr),
                              form, ZU_LIST_END));
}

ZU_SEXP* define_format_error(ZU_SEXP* form) {
  return form_error(form, ZU_ER_FORMAT, "Define", "format error in Define argment");
}

}  // namespace

ZU_SEXP* new_lambda(int order, ZUISP_ENV* args_env, ZU_SEXP* params, ZU_SEXP* body) {
  int min = 0;
  int max = 0;
  switch (get_type(params)) {
    case ZU_TYPE_NULL:
      break;  // a call form is never empty: such a function cannot be called
    case ZU_TYPE_SYMBOL:
      min = 1;
      max = -1;
      if (order == 2) order = 1;
      break;
    case ZU_TYPE_LIST: {
      int n = list_length(params);
      if (n < 0 || n > kMaxParams) return nullptr;
      min = max = n;
      break;
    }
    default:
      return nullptr;
  }
  ZU_SEXP* f = get_func_prim(nullptr, order, args_env, min, max);
  f->func->type = ZU_FUNC_LAMBDA;
  f->func->peer_made = env_peer_writing() ? 1 : 0;
  f->func->l_params = params;
  f->func->l_body = body;
  return f;
}

namespace {

// The parts of a lambda form (head first): with order 0 the parameters come
// second; otherwise the second place takes nil or an environment value as
// written (the keyword environment) and the parameters come third.
struct LambdaParts {
  ZUISP_ENV* kw;
  ZU_SEXP* params;
  ZU_SEXP* body;
};

// 0, or -1 when the keyword place holds something else.
int split_lambda(ZU_SEXP* form, int order, LambdaParts* out) {
  out->kw = nullptr;
  if (order == 0) {
    out->params = get_el(form, 1);
    out->body = tail_from(form, 2);
    return 0;
  }
  ZU_SEXP* e = get_el(form, 1);
  int t = get_type(e);
  if (t == ZU_TYPE_ENV) out->kw = e->env;
  else if (t != ZU_TYPE_NULL) return -1;
  out->params = get_el(form, 2);
  out->body = tail_from(form, 3);
  return 0;
}

}  // namespace

ZU_SEXP* qn_lambda(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  int order = read_order(sf);
  if (order == kOrderMissing) order = 1;
  if (order < 0) return lambda_format_error(form);
  LambdaParts lp;
  if (split_lambda(form, order, &lp) < 0) return lambda_format_error(form);
  ZU_SEXP* err = nullptr;
  int ok = check_params(lp.params, order == 0, &err);
  if (ok < 0) return err;
  if (ok == 0) return lambda_format_error(form);
  return new_lambda(order, lp.kw, lp.params, lp.body);
}

ZU_SEXP* qn_define(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  int n = list_length(form);
  ZU_SEXP* name = get_el(form, 1);
  if (n == 3) {
    if (get_type(name) != ZU_TYPE_SYMBOL) return define_format_error(form);
    ZU_SEXP* v = eval(env, get_el(form, 2));
    // ignore.delay: a pending delayed value is bound without waiting for it.
    bool keep_delay = get_sf_attribute(sf, W(U"ignore.delay")) != nullptr;
    int t = keep_delay ? sexp_type(v) : get_type(v);
    if (t == ZU_TYPE_ERROR) return v;
    gc_set_nl(v, gc_qn_sexp);
    if (set_env_atom(env, name->symbol.atom, v) == kEnvRefused) return peer_refused(form, "Define");
    return name;
  }
  int order = read_order(sf);
  if (order == kOrderMissing) order = 1;
  if (order < 0 || get_type(name) != ZU_TYPE_SYMBOL) return define_format_error(form);
  ZUISP_ENV* kw = nullptr;
  ZU_SEXP* params;
  ZU_SEXP* body;
  if (order == 0) {
    params = get_el(form, 2);
    body = tail_from(form, 3);
  } else {
    ZU_SEXP* e = eval(env, get_el(form, 2));
    int t = get_type(e);
    if (t == ZU_TYPE_ERROR) return e;
    if (t == ZU_TYPE_ENV) kw = e->env;
    else if (t != ZU_TYPE_NULL) return define_format_error(form);
    gc_set_nl(e, gc_qn_sexp);
    params = get_el(form, 3);
    ZU_SEXP* b = tail_from(form, 4);
    body = get_type(b) == ZU_TYPE_LIST ? list(b->pair.car) : nullptr;
  }
  ZU_SEXP* err = nullptr;
  int ok = check_params(params, order == 0, &err);
  if (ok < 0) return err;
  if (ok == 0) return define_format_error(form);
  ZU_SEXP* f = new_lambda(order, kw, params, body);
  if (set_env_atom(env, name->symbol.atom, f) == kEnvRefused) return peer_refused(form, "Define");
  return name;
}

ZU_SEXP* qn_define_default(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  int order = read_order(sf);
  if (order == kOrderMissing) order = 2;
  if (order == kOrderNotFirst) return form_error(form, ZU_ER_FORMAT, "DefineDefault", "format error: Order is required");
  if (order == kOrderBadValue) return form_error(form, ZU_ER_FORMAT, "DefineDefault", "format error: Order value");
  LambdaParts lp;
  if (split_lambda(form, order, &lp) < 0)
    return form_error(form, ZU_ER_TYPE, "DefineDefault", "type missmatch");
  ZUISP_ENV* kw = lp.kw;
  ZU_SEXP* params = lp.params;
  ZU_SEXP* body = lp.body;
  ZU_SEXP* err = nullptr;
  int ok = check_params(params, order == 0, &err);
  if (ok < 0) return err;
  if (ok == 0) return nullptr;  // nothing is set
  if (set_default_env(env, new_lambda(order, kw, params, body)) == kEnvRefused)
    return peer_refused(form, "DefineDefault");
  return nullptr;
}
