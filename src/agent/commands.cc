// The matrix commands' table: one row per command, with its name, the top
// environment it is bound in, its function, argument order and form length
// (head included, -1 open), in binding order. A row whose command needs
// more than a plain binding (qmxCreate's keyword environment, the slot
// constants, the plot family) names its registration instead of a
// function. The rows are checked when the program is compiled (a name twice
// in one environment or an impossible form length stops the build), and a
// row with neither a function nor a registration, or both, stops debug and
// sanitizer builds at start-up. The commands are bound after the library,
// so a name bound here replaces a library binding of the same name in the
// same environment.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

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
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix_ops/plot_ops.h"
#include "netsvc/http_agent.h"
#include "zu/core_init.h"

namespace {

// The top environment a command is bound in: the root, which peers'
// interpreters see, or the second top one.
enum class TopEnv : uint8_t { kRoot, kSecond };
constexpr TopEnv kRoot = TopEnv::kRoot;
constexpr TopEnv kSecond = TopEnv::kSecond;

// One command. A plain one has its function and the QN_PRIM_DEF fields;
// one with a registration of its own has `bind` and no function.
struct QMX_COMMAND {
  const char* name;
  TopEnv env;
  ZU_PRIM prim;
  int order;
  int min;
  int max;
  ZU_BINDER bind = nullptr;
};

// A row whose registration binds the command (or a whole family) itself.
constexpr QMX_COMMAND registered(const char* name, TopEnv env, ZU_BINDER bind) {
  return {name, env, nullptr, 0, 0, 0, bind};
}

// qmxCreate's private keyword environment has no field in a binding: its
// own registration makes it.
void bind_qmxCreate(ZUISP_ENV* env) {
  GcFrame frame("bind_qmxCreate");
  ZU_SEXP* f = get_func_prim(qn_qmxCreate, 0, new_qmx_format_env(), 1, -1);
  bind_builtin(env, "qmxCreate", f);
}

constexpr QMX_COMMAND kQmxCommands[] = {
    {"qmxGetPoint", kRoot, qn_qmxGetPoint_n, 1, 3, 3},
    {"qmxGetPoint", kSecond, qn_qmxGetPoint_s, 1, 3, 3},
    registered("qmxCreate", kSecond, bind_qmxCreate),
    registered("MI_*", kRoot, init_qmxConstant),
    {"qmxClose", kRoot, qn_qmxClose, 1, 1, 1},
    {"qmxPNMStatus", kSecond, qn_qmxPNMStatus, 1, 2, 2},
    {"qmxImportPNM", kSecond, qn_qmxImportPNM, 1, 6, 6},
    {"qmxImportUTM", kSecond, qn_qmxImportUTM, 1, 11, 11},
    {"qmxExportPNM", kSecond, qn_qmxExportPNM, 1, 4, 8},
    {"qmxScan", kSecond, qn_qmxScan, 1, 3, 3},
    {"qmxStatus", kRoot, qn_qmxStatus_n, 1, 1, 2},
    {"qmxStatus", kSecond, qn_qmxStatus_s, 1, 1, 2},
    {"qmxCopy", kSecond, qn_qmxCopy, 1, 2, -1},
    {"qmxCache", kRoot, qn_qmxCache, 1, 1, 1},
    registered("mxPgPlot", kSecond, init_mxPgPlot),
    {"qmxPgPlotInsert", kSecond, qn_qmxPgPlotInsert, 0, 3, 3},
    {"qmxPgPlotField", kSecond, qn_qmxPgPlotField, 1, 1, -1},
    {"qmxPgDisplay", kRoot, qn_qmxPgDisplay, 1, 2, 2},
};

// The agent's replacement of the library's Get in the root environment
// (Exit is bound by init_genExit).
constexpr QMX_COMMAND kReplacements[] = {
    {"Get", kRoot, qn_qmxGet, 1, 2, 3},
};

// What the program binds beyond the library and the matrix commands: the
// registration of the HTTP agent's paths, so that a plain request on a
// listening port reaches the script's handlers.
constexpr QMX_COMMAND kAgentBuiltins[] = {
    {"SetHttpAgentPath", kSecond, zu_SetHttpAgentPath, 1, 3, 3},
};

// A plain row's form length can be met; a registered row has none (min 0).
constexpr bool arity_sound(const QMX_COMMAND& r) {
  if (r.min == 0) return r.order == 0 && r.max == 0;
  return r.order >= 0 && r.order <= 2 && r.min >= 1 && (r.max == -1 || r.max >= r.min);
}

// Every row named, with a sound form length, and no name twice in one
// environment (the later binding would silently replace the earlier).
constexpr bool rows_sound(std::span<const QMX_COMMAND> rows) {
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].name || std::string_view(rows[i].name).empty() || !arity_sound(rows[i])) return false;
    for (size_t j = 0; j < i; ++j)
      if (rows[j].env == rows[i].env && std::string_view(rows[j].name) == rows[i].name) return false;
  }
  return true;
}
static_assert(rows_sound(kQmxCommands), "a slip in the matrix commands' table");
static_assert(rows_sound(kReplacements), "a slip in the agent's replacements");
static_assert(rows_sound(kAgentBuiltins), "a slip in the agent's own built-ins");

void bind_rows(ZUISP_ENV* env0, ZUISP_ENV* env1, std::span<const QMX_COMMAND> rows) {
  for (const QMX_COMMAND& r : rows) {
    ZUISP_ENV* env = r.env == kRoot ? env0 : env1;
    // A function's address is no constant the compiler compares with null:
    // a row with neither a function nor a registration, or both, shows here.
    if (!r.prim == !r.bind) {
      if (kFamilySlipStops) er_panic("init_qmx_lib_function: a command row needs a function or a registration");
      continue;
    }
    if (r.bind) {
      r.bind(env);
      continue;
    }
    const QN_PRIM_DEF defs[] = {{r.name, r.prim, r.order, r.min, r.max, 0}, {}};
    bind_prims(env, defs);
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
  set_mx_command_check(mx_command_running);
  ZuThreadScope scope("init_qmx_lib_function");
  bind_rows(env0, env1, kQmxCommands);
}

void init_qmx_function(ZUISP_ENV* env0, ZUISP_ENV* env1) {
  ZuThreadScope scope("init_qmx_function");
  init_qmx_lib_function(env0, env1);
  init_genExit(env1);
  bind_rows(env0, env1, kReplacements);
  bind_rows(env0, env1, kAgentBuiltins);
}
