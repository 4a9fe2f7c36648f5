#include "zulib/library.h"

#include "base/panic.h"
#include "zulib/args.h"

#include <span>
#include <string>
#include <vector>

void zulib_bound_elsewhere(ZUISP_ENV*) {}
void zulib_bound_above(ZUISP_ENV*) {}

namespace {

std::span<const ZU_FAMILY> rows() {
  static const size_t n = [] {
    size_t i = 0;
    while (zulib_names[i].name) ++i;
    return i;
  }();
  return {zulib_names, n};
}

// The registrations handed in from above, by row; written in the start-up
// thread only.
std::vector<ZU_BINDER>& above() {
  static std::vector<ZU_BINDER> v(rows().size());
  return v;
}

}  // namespace

int zulib_set_binder(const ZU_FAMILY& family) {
  int i = family_row(rows(), family, zulib_bound_above);
  if (i < 0) return -1;
  above()[i] = family.bind;
  return 0;
}

ZU_BINDER zulib_binder_above(const ZU_FAMILY& row) {
  int i = family_row(rows(), row, zulib_bound_above);
  return i < 0 ? nullptr : above()[i];
}

void zulib_alias(ZUISP_ENV* env, const char* alias, const char* name) {
  GcFrame frame("zulib_alias");
  ZU_SEXP* f = nullptr;
  ZU_SEXP* sym = get_symbol_ascii(name);
  if (!lookup_env_atom(env, sym->symbol.atom, 0, &f)) return;
  gc_set_nl(f, gc_qn_sexp);
  bind_agent(env, alias, f);
}

void init_symbols(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  GcFrame frame("init_symbols");
  bind_agent(env0, "Env0", get_env(env0));
  bind_agent(env1, "Env1", get_env(env1));
}

void init_function(ZUISP_ENV* env0, ZUISP_ENV* env1, int argc, char** argv) {
  ZuThreadScope scope("init_function");
  init_sh_arg(argc, argv);
  init_symbols(env0, env1);
  std::span<const ZU_FAMILY> table = rows();
  for (size_t i = 0; i < table.size(); ++i) {
    // Every family is built: a row without a call is a slip of the table.
    // A family of the layer above may be missing (a program or test built
    // without that layer); its row is then skipped.
    if (!table[i].bind && kFamilySlipStops) {
      std::string label = std::string("init_function: no registration for \"") + table[i].name + "\"";
      er_panic(label.c_str());
    }
    ZU_BINDER bind = table[i].bind == zulib_bound_above ? above()[i] : table[i].bind;
    if (!bind || bind == zulib_bound_elsewhere) continue;
    bind(table[i].env ? env1 : env0);
  }
}
