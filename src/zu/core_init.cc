#include "zu/core_init.h"

#include <mutex>

#include "zu/env.h"

void bind_prims(ZUISP_ENV* env, const QN_PRIM_DEF* defs) {
  GcFrame frame("bind_prims");
  for (const QN_PRIM_DEF* d = defs; d->name; ++d) {
    ZU_SEXP* name = get_symbol_ascii(d->name);
    ZU_SEXP* f = get_func_prim(d->prim, d->order, nullptr, d->min, d->max);
    f->h.flags = d->flags;
    set_env_atom(env, name->symbol.atom, f);
  }
}

void init_qnlisp() {
  static std::once_flag once;
  std::call_once(once, [] {
    minit();
    init_qnlisp_envs();
    ZuThreadScope scope("init_qnlisp");
    ZUISP_ENV* root = qnlisp_top_env0;
    // Outside any lambda `__args_env` reads as nil.
    set_env_atom(root, get_symbol_ascii("__args_env")->symbol.atom, nullptr);
    init_qn_control(root);
    init_qn_list(root);
    init_qn_arith(root);
  });
}
