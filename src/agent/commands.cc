// The matrix commands' table: every command with the top environment it is
// bound in, its argument order and its form length (head included, -1
// open), in binding order. Every row names its implementation or, for a
// whole family, the family's registration; a row with neither is a slip
// of the program, which stops debug and sanitizer builds at start-up.
// The commands are bound after the library, so a name bound here replaces
// a library binding of the same name in the same environment.
#include <cstdio>
#include <iterator>

#include "agent/agent.h"
#include "agent/mx_entry.h"
#include "agent/qmx_create.h"
#include "agent/qmx_get.h"
#include "agent/qmx_plot.h"
#include "agent/qmx_pnm.h"
#include "agent/qmx_point.h"
#include "agent/qmx_scan.h"
#include "agent/qmx_status.h"
#include "agent/qmx_utm.h"
#include "base/panic.h"
#include "matrix/node.h"
#include "matrix_ops/plot_ops.h"
#include "zu/core_init.h"

namespace {

struct QMX_COMMAND {
  const char* name;
  uint8_t env;  // 0 the root environment (peers see it), 1 the second top one
  ZU_PRIM prim;
  int8_t order;
  int8_t min;
  int8_t max;
  // Makes the command's private keyword environment, or null.
  ZUISP_ENV* (*keywords)();
  // A row that binds a whole family instead of one command: its
  // registration (zu/core_init.h), called with the row's environment.
  ZU_BINDER bind;
};

// Rows 1 to 16; the implementation each row names comes with its command.
const QMX_COMMAND kQmxCommands[] = {
    {"qmxGetPoint", 0, qn_qmxGetPoint_n, 1, 3, 3, nullptr, nullptr},
    {"qmxGetPoint", 1, qn_qmxGetPoint_s, 1, 3, 3, nullptr, nullptr},
    {"qmxCreate", 1, qn_qmxCreate, 0, 1, -1, new_qmx_format_env, nullptr},
    {nullptr, 0, nullptr, 0, 0, 0, nullptr, init_qmxConstant},
    {"qmxClose", 0, qn_qmxClose, 1, 1, 1, nullptr, nullptr},
    {"qmxPNMStatus", 1, qn_qmxPNMStatus, 1, 2, 2, nullptr, nullptr},
    {"qmxImportPNM", 1, qn_qmxImportPNM, 1, 6, 6, nullptr, nullptr},
    {"qmxImportUTM", 1, qn_qmxImportUTM, 1, 11, 11, nullptr, nullptr},
    {"qmxExportPNM", 1, qn_qmxExportPNM, 1, 4, 8, nullptr, nullptr},
    {"qmxScan", 1, qn_qmxScan, 1, 3, 3, nullptr, nullptr},
    {"qmxStatus", 0, qn_qmxStatus_n, 1, 1, 2, nullptr, nullptr},
    {"qmxStatus", 1, qn_qmxStatus_s, 1, 1, 2, nullptr, nullptr},
    {"qmxCopy", 1, qn_qmxCopy, 1, 2, -1, nullptr, nullptr},
    {"qmxCache", 0, qn_qmxCache, 1, 1, 1, nullptr, nullptr},
    {nullptr, 1, nullptr, 0, 0, 0, nullptr, init_mxPgPlot},
    {"qmxPgPlotInsert", 1, qn_qmxPgPlotInsert, 0, 3, 3, nullptr, nullptr},
    {"qmxPgPlotField", 1, qn_qmxPgPlotField, 1, 1, -1, nullptr, nullptr},
    {"qmxPgDisplay", 0, qn_qmxPgDisplay, 1, 2, 2, nullptr, nullptr},
};

// The agent's replacement of the library's Get in the root environment
// (Exit is bound by init_genExit).
const QMX_COMMAND kReplacements[] = {
    {"Get", 0, qn_qmxGet, 1, 2, 3, nullptr, nullptr},
};

void bind_rows(ZUISP_ENV* env0, ZUISP_ENV* env1, const QMX_COMMAND* rows, size_t n) {
  for (const QMX_COMMAND* r = rows; r < rows + n; ++r) {
    ZUISP_ENV* env = r->env ? env1 : env0;
    if (r->bind) {
      r->bind(env);
      continue;
    }
    if (!r->prim) {
      if (kFamilySlipStops) er_panic("init_qmx_lib_function: a command row without an implementation");
      continue;
    }
    GcFrame frame("init_qmx_lib_function");
    ZUISP_ENV* keywords = r->keywords ? r->keywords() : nullptr;
    ZU_SEXP* f = get_func_prim(r->prim, r->order, keywords, r->min, r->max);
    set_env_atom(env, get_symbol_ascii(r->name)->symbol.atom, f);
  }
}

// Script-slot kinds and classes: MI_<kind>_<class> = kind * 3 + class.
constexpr const char* kSlotKinds[] = {"DEF", "FETCH_1", "FETCH_2", "EDIT_1", "EDIT_2", "VISU_1", "VISU_2", "SAVE"};
constexpr const char* kSlotClasses[] = {"TP", "MD", "BT"};

}  // namespace

void init_qmxConstant(ZUISP_ENV* env) {
  GcFrame frame("init_qmxConstant");
  int slot = 0;
  for (const char* kind : kSlotKinds) {
    for (const char* cls : kSlotClasses) {
      char name[32];
      std::snprintf(name, sizeof name, "MI_%s_%s", kind, cls);
      ZU_SEXP* value = get_integer(slot++, nullptr);
      set_env_atom(env, get_symbol_ascii(name)->symbol.atom, value);
    }
  }
}

void init_qmx_lib_function(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  init_mx_entry();
  set_mx_node_wait_check(qmx_node_wait_check);
  ZuThreadScope scope("init_qmx_lib_function");
  bind_rows(env0, env1, kQmxCommands, std::size(kQmxCommands));
}

void init_qmx_function(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  ZuThreadScope scope("init_qmx_function");
  init_qmx_lib_function(env0, env1);
  init_genExit(env1);
  bind_rows(env0, env1, kReplacements, std::size(kReplacements));
}
