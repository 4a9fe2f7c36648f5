// Lambda, Define, DefineDefault, DefineEval (DE), DeleteDefine,
// DeleteDefaultDefine and MoveDefine.
#include "base/alloc.h"
#include "stream/stream.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/definitions.h"
#include "zulib/library.h"

namespace {

// (DefineEval env symbol form). With env nil the form is stored under the
// name, unevaluated. Otherwise what the name holds in env is evaluated in
// the caller's environment; when the name is unbound there, the form is.
ZU_SEXP* zu_DefineEval(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* written = get_el(form, 1);
  ZU_SEXP* src = eval(env, written);
  switch (get_type(src)) {
    case ZU_TYPE_ERROR:
      return src;
    case ZU_TYPE_NULL:
    case ZU_TYPE_ENV:
      break;
    default:
      return error_at(form, ZU_ER_TYPE, "DefineEval", written);
  }
  gc_set_nl(src, gc_qn_sexp);
  ZU_SEXP* name = get_el(form, 2);
  int t = get_type(name);
  if (t == ZU_TYPE_ERROR) return name;
  if (t != ZU_TYPE_SYMBOL) return error_at(form, ZU_ER_TYPE, "DefineEval", name);
  ZU_SEXP* alt = get_el(form, 3);
  if (get_type(alt) == ZU_TYPE_ERROR) return alt;
  if (!src) {
    if (set_env_atom(env, name->symbol.atom, alt) == kEnvRefused) return peer_refused(form, "DefineEval");
    return nullptr;
  }
  ZU_SEXP* stored = eval(src->env, name);
  if (get_type(stored) == ZU_TYPE_ERROR) return eval(env, alt);
  gc_set_nl(stored, gc_qn_sexp);
  return eval(env, stored);
}

ZU_SEXP* zu_DeleteDefine(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_SYMBOL) return error_text_at(form, ZU_ER_TYPE, "DeleteDefine", nullptr);
  if (del_env_atom(env, s->symbol.atom) == kEnvRefused) return peer_refused(form, "DeleteDefine");
  return s;
}

// Its two lines are traces, so they go to the standard error.
ZU_SEXP* zu_DeleteDefaultDefine(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ss_printf("DeleteDefaultDefine\n");
  int r = del_default_env(env);
  ss_printf("DeleteDefaultDefine end\n");
  return r == kEnvRefused ? peer_refused(form, "DeleteDefaultDefine") : nullptr;
}

// (MoveDefine symbol from to): the nearest binding in `from` goes to the
// hash environment `to`. Nothing moves on any failure.
ZU_SEXP* zu_MoveDefine(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) == ZU_TYPE_ERROR) return s;
  if (get_type(s) != ZU_TYPE_SYMBOL) return error_text_at(form, ZU_ER_TYPE, "MoveDefine", nullptr);
  ZU_SEXP* from = eval(env, get_el(form, 2));
  if (get_type(from) == ZU_TYPE_ERROR) return from;
  gc_set_nl(from, gc_qn_sexp);
  ZU_SEXP* to = eval(env, get_el(form, 3));
  if (get_type(to) == ZU_TYPE_ERROR) return to;
  gc_set_nl(to, gc_qn_sexp);
  if (get_type(from) != ZU_TYPE_ENV || get_type(to) != ZU_TYPE_ENV)
    return error_text_at(form, ZU_ER_TYPE, "MoveDefine", nullptr);
  if (get_env_kind(to->env) != ZU_ENV_HASH)
    return error_text_at(form, ZU_ER_PARAM, "MoveDefine", "invalid environment");
  ZU_SEXP* v = eval(from->env, s);
  if (get_type(v) == ZU_TYPE_ERROR) return v;
  gc_set_nl(v, gc_qn_sexp);  // unbound below before it is bound again
  if (del_env_atom(from->env, s->symbol.atom) == kEnvRefused) return peer_refused(form, "MoveDefine");
  // On a refusal the binding goes back where it was: a peer's own binding,
  // which that peer may make, and which it held already (not refused
  // again for memory).
  auto put_back = [&] {
    NoRefusal quiet;
    (void)set_env_atom(from->env, s->symbol.atom, v);
  };
  int r = 0;
  try {
    r = set_env_atom(to->env, s->symbol.atom, v);
  } catch (const AllocRefused&) {
    put_back();
    throw;
  }
  if (r == kEnvRefused) {
    put_back();
    return peer_refused(form, "MoveDefine");
  }
  return s;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kLambda[] = {{"Lambda", qn_lambda, 0, 3, 4, 0}, {}};
const QN_PRIM_DEF kDefine[] = {{"Define", qn_define, 0, 3, 5, 0}, {}};
const QN_PRIM_DEF kDefineDefault[] = {{"DefineDefault", qn_define_default, 0, 2, 4, 0}, {}};
const QN_PRIM_DEF kDefineEval[] = {{"DefineEval", zu_DefineEval, 0, 4, 4, 0}, {}};
const QN_PRIM_DEF kDeleteDefine[] = {{"DeleteDefine", zu_DeleteDefine, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kDeleteDefaultDefine[] = {{"DeleteDefaultDefine", zu_DeleteDefaultDefine, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kMoveDefine[] = {{"MoveDefine", zu_MoveDefine, 0, 4, 4, 0}, {}};

}  // namespace

void init_Lambda(ZUISP_ENV* env) { bind_prims(env, kLambda); }
void init_Define(ZUISP_ENV* env) { bind_prims(env, kDefine); }
void init_DefineDefault(ZUISP_ENV* env) { bind_prims(env, kDefineDefault); }
void init_DefineEval(ZUISP_ENV* env) {
  bind_prims(env, kDefineEval);
  zulib_alias(env, "DE", "DefineEval");
}
void init_DeleteDefine(ZUISP_ENV* env) { bind_prims(env, kDeleteDefine); }
void init_DeleteDefaultDefine(ZUISP_ENV* env) { bind_prims(env, kDeleteDefaultDefine); }
void init_MoveDefine(ZUISP_ENV* env) { bind_prims(env, kMoveDefine); }
