// Environments as values: CurrentEnvironment, NewEnvironment, NewEnvPair,
// GetParentEnvironment, SetParentEnvironment, GetSymbolCore,
// GetListbaseEnv and SetListbaseEnv.
#include <unordered_set>
#include <vector>

#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/definitions.h"

namespace {

// The environment of an environment value, else null.
ZUISP_ENV* env_of(ZU_SEXP* v) { return get_type(v) == ZU_TYPE_ENV ? v->env : nullptr; }

ZU_SEXP* env_value(ZUISP_ENV* e) { return e ? get_env(e) : nullptr; }

ZU_SEXP* zu_CurrentEnvironment(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_env(env);
}

ZU_SEXP* zu_NewEnvironment(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* p = get_el(form, 1);
  if (!is_nil(p) && !env_of(p)) return error_list_at(form, ZU_ER_TYPE, "NewEnvironment", "NewEnvironment argument");
  return get_env(new_env(env_of(p)));
}

ZU_SEXP* zu_NewEnvPair(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZUISP_ENV* a = env_of(get_el(form, 1));
  ZUISP_ENV* b = env_of(get_el(form, 2));
  if (!a || !b) return error_text_at(form, ZU_ER_TYPE, "NewEnvPair", nullptr);
  return get_env(new_env_pair(a, b));
}

// The parent of the argument's environment (a pair's first member).
ZU_SEXP* zu_GetParentEnvironment(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZUISP_ENV* e = env_of(get_el(form, 1));
  if (!e) return error_text_at(form, ZU_ER_TYPE, "GetParentEnvironment", nullptr);
  return env_value(get_parent_env(e));
}

// True when e is reachable from `from` along the search path (parents and
// both members of pairs), or the walk is too long to tell.
bool on_search_path(ZUISP_ENV* from, ZUISP_ENV* e) {
  constexpr size_t kMaxVisited = 1 << 16;
  std::vector<ZUISP_ENV*> todo{from};
  std::unordered_set<ZUISP_ENV*> seen;
  while (!todo.empty()) {
    ZUISP_ENV* x = todo.back();
    todo.pop_back();
    if (!x || !seen.insert(x).second) continue;
    if (x == e || seen.size() > kMaxVisited) return true;
    ZUISP_ENV* first = nullptr;
    ZUISP_ENV* second = nullptr;
    get_env_pair(x, &first, &second);
    if (get_env_kind(x) == ZU_ENV_PAIR) {
      todo.push_back(first);
      todo.push_back(second);
    } else {
      todo.push_back(get_parent_env(x));
    }
  }
  return false;
}

// A hash environment gets a new parent, a pair a new first member; nil
// detaches. A change that would make the environment its own ancestor is
// refused and changes nothing.
ZU_SEXP* zu_SetParentEnvironment(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZUISP_ENV* e = env_of(get_el(form, 1));
  ZU_SEXP* p = get_el(form, 2);
  ZUISP_ENV* parent = env_of(p);
  if (!e || (!parent && !is_nil(p)) || (parent && on_search_path(parent, e)))
    return error_list_at(form, ZU_ER_TYPE, "SetParentEnvironment", "SetParentEnvironment argument");
  if (set_parent_env(e, parent) == kEnvRefused) return peer_refused(form, "SetParentEnvironment");
  return nullptr;
}

ZU_SEXP* zu_GetSymbolCore(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_SYMBOL) return error_text_at(form, ZU_ER_TYPE, "GetSymbolCore", "type missmatch");
  return get_symbol_atom(s->symbol.atom);
}

ZU_SEXP* zu_GetListbaseEnv(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZUISP_ENV* e = env_of(get_el(form, 1));
  if (!e) return error_text_at(form, ZU_ER_TYPE, "GetListbaseEnv", nullptr);
  return get_listbase_env(e);
}

ZU_SEXP* zu_SetListbaseEnv(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* l = get_el(form, 1);
  ZU_SEXP* target = get_el(form, 2);
  if (get_type(l) != ZU_TYPE_LIST || (list_length(form) == 3 && !env_of(target)))
    return error_text_at(form, ZU_ER_TYPE, "SetListbaseEnv", nullptr);
  bool refused = false;
  ZUISP_ENV* e = set_listbase_env(l, env_of(target), &refused);
  if (refused) return peer_refused(form, "SetListbaseEnv");
  if (!e) return error_text_at(form, ZU_ER_FORMAT, "SetListbaseEnv", "invalid format of param 1");
  return get_env(e);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kCurrentEnvironment[] = {{"CurrentEnvironment", zu_CurrentEnvironment, 1, 1, 1, T}, {}};
const QN_PRIM_DEF kNewEnvironment[] = {{"NewEnvironment", zu_NewEnvironment, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kNewEnvPair[] = {{"NewEnvPair", zu_NewEnvPair, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kGetParentEnvironment[] = {{"GetParentEnvironment", zu_GetParentEnvironment, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kSetParentEnvironment[] = {{"SetParentEnvironment", zu_SetParentEnvironment, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kGetSymbolCore[] = {{"GetSymbolCore", zu_GetSymbolCore, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kGetListbaseEnv[] = {{"GetListbaseEnv", zu_GetListbaseEnv, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kSetListbaseEnv[] = {{"SetListbaseEnv", zu_SetListbaseEnv, 1, 2, 3, T}, {}};

}  // namespace

void init_CurrentEnvironment(ZUISP_ENV* env) { bind_prims(env, kCurrentEnvironment); }
void init_NewEnvironment(ZUISP_ENV* env) { bind_prims(env, kNewEnvironment); }
void init_NewEnvPair(ZUISP_ENV* env) { bind_prims(env, kNewEnvPair); }
void init_GetParentEnvironment(ZUISP_ENV* env) { bind_prims(env, kGetParentEnvironment); }
void init_SetParentEnvironment(ZUISP_ENV* env) { bind_prims(env, kSetParentEnvironment); }
void init_GetSymbolCore(ZUISP_ENV* env) { bind_prims(env, kGetSymbolCore); }
void init_GetListbaseEnv(ZUISP_ENV* env) { bind_prims(env, kGetListbaseEnv); }
void init_SetListbaseEnv(ZUISP_ENV* env) { bind_prims(env, kSetListbaseEnv); }
