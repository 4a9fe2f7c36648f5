// The agent for the point-vector tests: it starts as qnmx starts, adds a
// way to make chosen nodes refuse their plot block, and runs the script as
// qnmx runs it (same command line).
//
// Matrix scripts:
//   (TestPlotAllowed)        1, or 0 for a node named by TestRefusePlot
// Scripts:
//   (TestRefusePlot (level x y) ...)  the nodes named (by any dim code
//       inside them) get no plot block when they are fetched from now on;
//       with no argument none is refused any more; nil
#include <mutex>
#include <vector>

#include "agent/agent.h"
#include "base/entry.h"
#include "matrix/dim_code.h"
#include "matrix/matrix.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/errcodes.h"
#include "zu/eval.h"

namespace {

std::mutex refused_mu;
std::vector<std::vector<int64_t>> refused;  // dim codes (refused_mu)

MATRIX_NODE* running_node(ZUISP_ENV* env) {
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  return t ? t->process_node : nullptr;
}

ZU_SEXP* plot_allowed(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  MATRIX_NODE* n = running_node(env);
  std::lock_guard<std::mutex> g(refused_mu);
  for (const auto& dc : refused)
    if (n && cmp_dim_code(n->matrix, n->dim_code, dc.data()) == 0) return get_integer(0, nullptr);
  return get_integer(1, nullptr);
}

ZU_SEXP* refuse_plot(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  std::vector<std::vector<int64_t>> codes;
  for (ZU_SEXP* p = form->pair.cdr; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    std::vector<int64_t> dc;
    for (ZU_SEXP* v = p->pair.car; get_type(v) == ZU_TYPE_LIST; v = v->pair.cdr) {
      if (!is_integer(v->pair.car)) return error_at(form, ZU_ER_TYPE, "TestRefusePlot", nullptr);
      dc.push_back(v->pair.car->integer.num);
    }
    codes.push_back(dc);
  }
  std::lock_guard<std::mutex> g(refused_mu);
  refused = std::move(codes);
  return nullptr;
}

int body(int argc, char** argv) {
  start_agent(argc, argv);
  {
    ZuThreadScope scope("plot_agent");
    static const QN_PRIM_DEF node_prims[] = {{"TestPlotAllowed", plot_allowed, 1, 1, 1, 0}, {}};
    bind_prims(matrix_zu_env, node_prims);
    static const QN_PRIM_DEF script_prims[] = {{"TestRefusePlot", refuse_plot, 1, 1, -1, 0}, {}};
    bind_prims(qnlisp_top_env1, script_prims);
  }
  return run_agent(argc, argv);
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, body); }
