#include "zulib/library.h"

#include "zulib/args.h"

void zulib_bound_elsewhere(ZUISP_ENV*) {}

void zulib_alias(ZUISP_ENV* env, const char* alias, const char* name) {
  GcFrame frame("zulib_alias");
  ZU_SEXP* f = nullptr;
  ZU_SEXP* sym = get_symbol_ascii(name);
  if (!lookup_env_atom(env, sym->symbol.atom, 0, &f)) return;
  gc_set_nl(f, gc_qn_sexp);
  set_env_atom(env, get_symbol_ascii(alias)->symbol.atom, f);
}

void init_symbols(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  GcFrame frame("init_symbols");
  set_env_atom(env0, get_symbol_ascii("Env0")->symbol.atom, get_env(env0));
  set_env_atom(env1, get_symbol_ascii("Env1")->symbol.atom, get_env(env1));
}

void init_function(ZUISP_ENV* env0, ZUISP_ENV* env1, int argc, char** argv) {
  ZuThreadScope scope("init_function");
  init_sh_arg(argc, argv);
  init_symbols(env0, env1);
  for (const ZULIB_NAME* row = zulib_names; row->name; ++row) {
    if (!row->bind || row->bind == zulib_bound_elsewhere) continue;
    row->bind(row->env ? env1 : env0);
  }
}
