// Let: (Let clause... body...) with leading (Env e...) and (Sub (s v)...)
// clauses that build the body's scope. The body never defines into the
// caller's environment or into an Env environment: unless the last clause
// was a Sub (whose fresh environment takes them), it gets a fresh child.
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/control.h"

namespace {

// A format error at the offending value (at the call when the value was
// made by evaluation and has no position of its own).
ZU_SEXP* let_error(ZU_SEXP* form, const char* reason, ZU_SEXP* value) {
  ZU_SEXP* at = value && value->h.file ? value : form;
  return error_at(at, ZU_ER_FORMAT, "Let", data_list("format error", reason, value));
}

// (Env e...): each e, evaluated in the caller's environment, is searched
// after the scope so far.
ZU_SEXP* env_clause(ZUISP_ENV* env, ZU_SEXP* clause, ZU_SEXP* form, ZUISP_ENV** scope) {
  for (ZU_SEXP* p = clause->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* e = eval(env, p->pair.car);
    int t = get_type(e);
    if (t == ZU_TYPE_ERROR) return e;
    if (t != ZU_TYPE_ENV) return let_error(form, "environment type is required", e);
    *scope = new_env_pair(*scope, e->env);
  }
  return nullptr;
}

// (Sub (s v)...): a fresh child of the scope where each s is bound to v,
// evaluated there, so that later pairs see earlier ones.
ZU_SEXP* sub_clause(ZU_SEXP* clause, ZU_SEXP* form, ZUISP_ENV** scope) {
  ZUISP_ENV* child = new_env(*scope);
  *scope = child;
  for (ZU_SEXP* p = clause->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* pair = p->pair.car;
    int t = get_type(pair);
    if (t == ZU_TYPE_ERROR) return pair;
    if (t != ZU_TYPE_LIST) return let_error(form, "substitution pair is required", pair);
    ZU_SEXP* s = pair->pair.car;
    if (get_type(s) == ZU_TYPE_ERROR) return s;
    if (get_type(s) != ZU_TYPE_SYMBOL) return let_error(form, "symbol is required", s);
    ZU_SEXP* v = eval(child, get_el(pair, 1));
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    bind_agent_atom(child, s->symbol.atom, v);  // the Let's own environment
  }
  return nullptr;
}

ZU_SEXP* zu_Let(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZUISP_ENV* scope = env;
  bool last_sub = false;
  ZU_SEXP* p = form->pair.cdr;
  for (; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* c = p->pair.car;
    if (get_type(c) != ZU_TYPE_LIST) break;
    ZU_SEXP* head = c->pair.car;
    if (get_type(head) == ZU_TYPE_ERROR) return head;
    if (get_type(head) != ZU_TYPE_SYMBOL) return let_error(form, "symbol is required", head);
    ZU_SEXP* err;
    if (is_symbol_named(head, "Env")) {
      err = env_clause(env, c, form, &scope);
      last_sub = false;
    } else if (is_symbol_named(head, "Sub")) {
      err = sub_clause(c, form, &scope);
      last_sub = true;
    } else {
      break;
    }
    if (err) return err;
  }
  if (!last_sub) scope = new_env(scope);
  return eval_body(scope, p);
}

const QN_PRIM_DEF kLet[] = {{"Let", zu_Let, 0, 1, -1, 0}, {}};

}  // namespace

void init_Let(ZUISP_ENV* env) { bind_prims(env, kLet); }
