// Remote queries from scripts (Remote) and the agent's own name
// (SetThisAgentName).
#include <algorithm>
#include <climits>
#include <cstdint>

#include "netsvc/net_impl.h"
#include "runtime/agent_name.h"
#include "runtime/remote.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

// (Remote iid form...): each form is sent unevaluated and its reply waited
// for before the next is sent; the first error ends the call.
ZU_SEXP* zu_Remote(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* id = eval(env, get_el(form, 1));
  if (get_type(id) == ZU_TYPE_ERROR) return id;
  if (!is_integer(id)) return error_text_at(form, ZU_ER_TYPE, "Remote", "type missmatch");
  int iid = static_cast<int>(std::clamp<int64_t>(id->integer.num, INT_MIN, INT_MAX));
  if (!may_act_on_zui(iid)) return peer_not_own(form, "Remote");
  ZU_SEXP* last = nullptr;
  ZU_SEXP* rest = cdr(form->pair.cdr);
  for (; get_type(rest) == ZU_TYPE_LIST; rest = rest->pair.cdr) {
    last = remote_query(iid, env, nullptr, rest->pair.car);
    if (get_type(last) == ZU_TYPE_ERROR) return last;
  }
  // The rest of a form that could not be read.
  if (get_type(rest) == ZU_TYPE_ERROR) return rest;
  return last;
}

ZU_SEXP* zu_SetThisAgentName(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* name = get_el(form, 1);
  if (!is_string(name)) return error_text_at(form, ZU_ER_TYPE, "SetThisAgentName", "type missmatch");
  set_agent_name(str_text(name));
  return name;
}

const QN_PRIM_DEF kRemote[] = {{"Remote", zu_Remote, 0, 3, -1, 0}, {}};
const QN_PRIM_DEF kSetThisAgentName[] = {{"SetThisAgentName", zu_SetThisAgentName, 1, 2, 2, 0}, {}};

}  // namespace

void init_Remote(ZUISP_ENV* env) { bind_prims(env, kRemote); }
void init_SetThisAgentName(ZUISP_ENV* env) { bind_prims(env, kSetThisAgentName); }
