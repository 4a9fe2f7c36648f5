// The agent's Exit, which replaces the library's in the second top
// environment.
#include "agent/agent.h"
#include "zu/core_init.h"
#include "zu/eval.h"

ZU_SEXP* genExit(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_error_ascii(form->h.file, form->h.line, ZU_ER_EXIT, "Exit", nullptr);
}

void init_genExit(ZUISP_ENV* env) {
  static const QN_PRIM_DEF kExit[] = {{"Exit", genExit, 1, 1, 1, ZU_FUNC_FORM_TRANSIENT}, {}};
  ZuThreadScope scope("init_genExit");
  bind_prims(env, kExit);
}
