#include "zu/core_init.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/panic.h"
#include "zu/env.h"
#include "zu/peer.h"

void bind_prims(ZUISP_ENV* env, const QN_PRIM_DEF* defs) {
  GcFrame frame("bind_prims");
  for (const QN_PRIM_DEF* d = defs; d->name; ++d) {
    ZU_SEXP* f = get_func_prim(d->prim, d->order, nullptr, d->min, d->max);
    f->h.flags = d->flags;
    bind_builtin(env, d->name, f);
  }
}

void bind_builtin(ZUISP_ENV* env, const char* name, ZU_SEXP* f) {
  GcFrame frame("bind_builtin");
  gc_set_nl(f, gc_qn_sexp);
  f->func->peer_rule = static_cast<uint8_t>(peer_rule_of(name));
  // The agent binds its own built-ins, also when a family is bound late,
  // inside an evaluation for a peer.
  bind_agent(env, name, f);
}

int family_row(std::span<const ZU_FAMILY> rows, const ZU_FAMILY& given, ZU_BINDER mark) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const ZU_FAMILY& r = rows[i];
    if (given.name && r.name && std::strcmp(r.name, given.name) == 0 && r.env == given.env && (!mark || r.bind == mark))
      return static_cast<int>(i);
  }
  if (kFamilySlipStops) {
    char label[160];
    std::snprintf(label, sizeof label, "family_row: no row \"%s\" in environment %d takes a registration",
                  given.name ? given.name : "(null)", given.env);
    er_panic(label);
  }
  return -1;
}

void init_qnlisp() {
  static std::once_flag once;
  std::call_once(once, [] {
    minit();
    init_qnlisp_envs();
    ZuThreadScope scope("init_qnlisp");
    ZUISP_ENV* root = qnlisp_top_env0;
    // Outside any lambda `__args_env` reads as nil.
    bind_agent(root, "__args_env", nullptr);
    init_qn_control(root);
    init_qn_list(root);
    init_qn_arith(root);
  });
}
