#include "zulib/library.h"

#include "zulib/args.h"

#include <cstring>

void zulib_bound_elsewhere(ZUISP_ENV*) {}
void zulib_bound_above(ZUISP_ENV*) {}

namespace {

// The registrations handed in from above, by row; written in the start-up
// thread only.
constexpr int kMaxNames = 256;
ZULIB_BINDER above[kMaxNames];

int row_of(const char* name) {
  for (int i = 0; i < kMaxNames && zulib_names[i].name; ++i)
    if (zulib_names[i].bind == zulib_bound_above && std::strcmp(zulib_names[i].name, name) == 0) return i;
  return -1;
}

}  // namespace

int zulib_set_binder(const char* name, ZULIB_BINDER bind) {
  int i = row_of(name);
  if (i < 0) return -1;
  above[i] = bind;
  return 0;
}

ZULIB_BINDER zulib_binder_above(const char* name) {
  int i = row_of(name);
  return i < 0 ? nullptr : above[i];
}

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
  for (int i = 0; zulib_names[i].name; ++i) {
    const ZULIB_NAME* row = &zulib_names[i];
    ZULIB_BINDER bind = row->bind == zulib_bound_above ? above[i] : row->bind;
    if (!bind || bind == zulib_bound_elsewhere) continue;
    bind(row->env ? env1 : env0);
  }
}
