// The matrix commands' table: every command with the top environment it is
// bound in, its argument order and its form length (head included, -1
// open), in binding order, as family rows whose registration binds the
// command or, for a whole family, the family. A row without a registration
// is a slip of the program, which stops debug and sanitizer builds at
// start-up. The commands are bound after the library, so a name bound here
// replaces a library binding of the same name in the same environment.
#include <cstdio>
#include <span>

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

// One command's binding and its registration: the rows below are the
// family rows every table of built-ins uses (zu/core_init.h).
template <const QN_PRIM_DEF& kDef>
void bind_command(ZUISP_ENV* env) {
  const QN_PRIM_DEF defs[] = {kDef, {}};
  bind_prims(env, defs);
}

// qmxCreate's private keyword environment has no field in a binding: its
// own registration makes it.
void bind_qmxCreate(ZUISP_ENV* env) {
  GcFrame frame("bind_qmxCreate");
  ZU_SEXP* f = get_func_prim(qn_qmxCreate, 0, new_qmx_format_env(), 1, -1);
  bind_builtin(env, "qmxCreate", f);
}

constexpr QN_PRIM_DEF kGetPointN{"qmxGetPoint", qn_qmxGetPoint_n, 1, 3, 3, 0};
constexpr QN_PRIM_DEF kGetPointS{"qmxGetPoint", qn_qmxGetPoint_s, 1, 3, 3, 0};
constexpr QN_PRIM_DEF kClose{"qmxClose", qn_qmxClose, 1, 1, 1, 0};
constexpr QN_PRIM_DEF kPNMStatus{"qmxPNMStatus", qn_qmxPNMStatus, 1, 2, 2, 0};
constexpr QN_PRIM_DEF kImportPNM{"qmxImportPNM", qn_qmxImportPNM, 1, 6, 6, 0};
constexpr QN_PRIM_DEF kImportUTM{"qmxImportUTM", qn_qmxImportUTM, 1, 11, 11, 0};
constexpr QN_PRIM_DEF kExportPNM{"qmxExportPNM", qn_qmxExportPNM, 1, 4, 8, 0};
constexpr QN_PRIM_DEF kScan{"qmxScan", qn_qmxScan, 1, 3, 3, 0};
constexpr QN_PRIM_DEF kStatusN{"qmxStatus", qn_qmxStatus_n, 1, 1, 2, 0};
constexpr QN_PRIM_DEF kStatusS{"qmxStatus", qn_qmxStatus_s, 1, 1, 2, 0};
constexpr QN_PRIM_DEF kCopy{"qmxCopy", qn_qmxCopy, 1, 2, -1, 0};
constexpr QN_PRIM_DEF kCache{"qmxCache", qn_qmxCache, 1, 1, 1, 0};
constexpr QN_PRIM_DEF kPlotInsert{"qmxPgPlotInsert", qn_qmxPgPlotInsert, 0, 3, 3, 0};
constexpr QN_PRIM_DEF kPlotField{"qmxPgPlotField", qn_qmxPgPlotField, 1, 1, -1, 0};
constexpr QN_PRIM_DEF kPgDisplay{"qmxPgDisplay", qn_qmxPgDisplay, 1, 2, 2, 0};
constexpr QN_PRIM_DEF kGet{"Get", qn_qmxGet, 1, 2, 3, 0};

// Rows 1 to 16 (environment 0 the root, which peers see; 1 the second top
// one).
constexpr ZU_FAMILY kQmxCommands[] = {
    {"qmxGetPoint", 0, bind_command<kGetPointN>},
    {"qmxGetPoint", 1, bind_command<kGetPointS>},
    {"qmxCreate", 1, bind_qmxCreate},
    {"MI_*", 0, init_qmxConstant},
    {"qmxClose", 0, bind_command<kClose>},
    {"qmxPNMStatus", 1, bind_command<kPNMStatus>},
    {"qmxImportPNM", 1, bind_command<kImportPNM>},
    {"qmxImportUTM", 1, bind_command<kImportUTM>},
    {"qmxExportPNM", 1, bind_command<kExportPNM>},
    {"qmxScan", 1, bind_command<kScan>},
    {"qmxStatus", 0, bind_command<kStatusN>},
    {"qmxStatus", 1, bind_command<kStatusS>},
    {"qmxCopy", 1, bind_command<kCopy>},
    {"qmxCache", 0, bind_command<kCache>},
    {"mxPgPlot", 1, init_mxPgPlot},
    {"qmxPgPlotInsert", 1, bind_command<kPlotInsert>},
    {"qmxPgPlotField", 1, bind_command<kPlotField>},
    {"qmxPgDisplay", 0, bind_command<kPgDisplay>},
};

// The agent's replacement of the library's Get in the root environment
// (Exit is bound by init_genExit).
constexpr ZU_FAMILY kReplacements[] = {
    {"Get", 0, bind_command<kGet>},
};

void bind_rows(ZUISP_ENV* env0, ZUISP_ENV* env1, std::span<const ZU_FAMILY> rows) {
  for (const ZU_FAMILY& r : rows) {
    if (r.bind) r.bind(r.env ? env1 : env0);
    else if (kFamilySlipStops) er_panic("init_qmx_lib_function: a command row without a registration");
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
      bind_agent(env, name, value);
    }
  }
}

void init_qmx_lib_function(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  init_mx_entry();
  set_mx_node_wait_check(qmx_node_wait_check);
  ZuThreadScope scope("init_qmx_lib_function");
  bind_rows(env0, env1, kQmxCommands);
}

void init_qmx_function(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  ZuThreadScope scope("init_qmx_function");
  init_qmx_lib_function(env0, env1);
  init_genExit(env1);
  bind_rows(env0, env1, kReplacements);
}
