// The agent's start-up pieces: version records and identification text,
// the script-slot constants, Exit, and collections under the agent's hooks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "agent/agent.h"
#include "agent/qmx_create.h"
#include "agent/qmx_get.h"
#include "agent/qmx_plot.h"
#include "agent/qmx_pnm.h"
#include "agent/qmx_point.h"
#include "agent/qmx_scan.h"
#include "agent/qmx_status.h"
#include "agent/qmx_utm.h"
#include "matrix/matrix.h"
#include "netsvc/http_agent.h"
#include "base/version.h"
#include "runtime/later_services.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/printer.h"

namespace {

// The library started as the program starts it, without the interpreters'
// break check (it stops evaluations on threads that have no interpreter).
void init_core() {
  init_zu();
  set_break_check_hook(nullptr);
}

ZU_SEXP* bound(ZUISP_ENV* env, const char* name) {
  ZU_SEXP* v = nullptr;
  return lookup_env_atom(env, get_symbol_ascii(name)->symbol.atom, 0, &v) ? v : get_symbol_ascii("<unbound>");
}

// Fresh top environments, a root and a second one under it, with the
// agent's commands bound (the caller holds a ZuThreadScope).
std::pair<ZUISP_ENV*, ZUISP_ENV*> commands_bound() {
  ZUISP_ENV* env0 = new_env(nullptr);
  gc_set_nl(env0, gc_qnlisp_env);
  ZUISP_ENV* env1 = new_env(env0);
  init_qmx_function(env0, env1);
  return {env0, env1};
}

}  // namespace

TEST(AgentStartUp, VersionRecordsAndIdentification) {
  init_core();
  init_qns();
  init_qns();  // harmless twice
  VERSION* v = get_version(nullptr);
  ASSERT_TRUE(v && v->next && v->next->next);
  EXPECT_STREQ(v->layer, "AP.code");
  EXPECT_STREQ(v->name, "qnmx");
  EXPECT_STREQ(v->comment, "QN r64/cr agent ");
  EXPECT_STREQ(v->next->layer, "QN.code");
  EXPECT_STREQ(v->next->comment, "CINDRALE QUARVEN protocol library ");
  EXPECT_STREQ(v->next->next->layer, "QN.proto");
  ASSERT_TRUE(v->next->next->next);
  EXPECT_STREQ(v->next->next->next->layer, "ZU.code");  // then the library's records
  VERSION* proto = get_version("QN.proto");
  ASSERT_TRUE(proto);
  EXPECT_STREQ(proto->version, "ver.05.5.23");
  EXPECT_EQ(proto->year * 10000 + proto->month * 100 + proto->day, 20050523);
  EXPECT_STREQ(get_setagent_msg(), "qnmx/ver.B.b16.14(SKELDER)");
}

TEST(AgentStartUp, ScriptSlotConstantsLiveInTheRootOnly) {
  init_core();
  ZuThreadScope scope("test");
  auto [env0, env1] = commands_bound();
  const char* kinds[] = {"DEF", "FETCH_1", "FETCH_2", "EDIT_1", "EDIT_2", "VISU_1", "VISU_2", "SAVE"};
  const char* classes[] = {"TP", "MD", "BT"};
  for (int k = 0; k < 8; ++k) {
    for (int c = 0; c < 3; ++c) {
      std::string name = std::string("MI_") + kinds[k] + "_" + classes[c];
      ZU_SEXP* v = bound(env0, name.c_str());
      ASSERT_EQ(get_type(v), ZU_TYPE_INTEGER) << name;
      EXPECT_EQ(v->integer.num, k * 3 + c) << name;
      EXPECT_EQ(v->integer.unit, nullptr) << name;
      EXPECT_EQ(get_type(bound(env1, name.c_str())), ZU_TYPE_SYMBOL) << name;
    }
  }
  EXPECT_EQ(get_type(bound(env0, "Exit")), ZU_TYPE_SYMBOL);
  EXPECT_EQ(get_type(bound(env1, "Exit")), ZU_TYPE_FUNCTION);
}

// Peers (an interpreter that sees only the root) can show a plot block but
// neither make field handles nor insert points; the plot constants and the
// plot built-ins are the second top environment's.
TEST(AgentStartUp, PointVectorCommandsByEnvironment) {
  init_core();
  ZuThreadScope scope("test");
  auto [env0, env1] = commands_bound();
  const struct {
    const char* name;
    int in_root;    // type bound in env0
    int in_second;  // type bound in env1 itself
  } cases[] = {
      {"qmxPgDisplay", ZU_TYPE_FUNCTION, ZU_TYPE_SYMBOL},
      {"qmxPgPlotField", ZU_TYPE_SYMBOL, ZU_TYPE_FUNCTION},
      {"qmxPgPlotInsert", ZU_TYPE_SYMBOL, ZU_TYPE_FUNCTION},
      {"mxPgPlotSort", ZU_TYPE_SYMBOL, ZU_TYPE_FUNCTION},
      {"mxPgINT_AVG", ZU_TYPE_SYMBOL, ZU_TYPE_INTEGER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(get_type(bound(env0, c.name)), c.in_root) << c.name;
    EXPECT_EQ(get_type(bound(env1, c.name)), c.in_second) << c.name;
  }
}

// Each command is bound in the top environment(s) it belongs to, and only
// there, with its own function, argument order and form lengths: a peer's
// interpreter sees the root alone, so a command bound in the wrong one is
// either given to peers or taken from them; the root and second forms of
// qmxGetPoint and qmxStatus differ in what they show.
TEST(AgentStartUp, EveryCommandInItsEnvironmentWithItsArity) {
  init_core();
  ZuThreadScope scope("test");
  auto [env0, env1] = commands_bound();
  struct Form {
    ZU_PRIM prim;  // null: not bound in that environment itself
    int order, min, max;
  };
  const struct {
    const char* name;
    Form root, second;
  } cases[] = {
      {"qmxGetPoint", {qn_qmxGetPoint_n, 1, 3, 3}, {qn_qmxGetPoint_s, 1, 3, 3}},
      {"qmxCreate", {}, {qn_qmxCreate, 0, 1, -1}},
      {"qmxClose", {qn_qmxClose, 1, 1, 1}, {}},
      {"qmxPNMStatus", {}, {qn_qmxPNMStatus, 1, 2, 2}},
      {"qmxImportPNM", {}, {qn_qmxImportPNM, 1, 6, 6}},
      {"qmxImportUTM", {}, {qn_qmxImportUTM, 1, 11, 11}},
      {"qmxExportPNM", {}, {qn_qmxExportPNM, 1, 4, 8}},
      {"qmxScan", {}, {qn_qmxScan, 1, 3, 3}},
      {"qmxStatus", {qn_qmxStatus_n, 1, 1, 2}, {qn_qmxStatus_s, 1, 1, 2}},
      {"qmxCopy", {}, {qn_qmxCopy, 1, 2, -1}},
      {"qmxCache", {qn_qmxCache, 1, 1, 1}, {}},
      {"qmxPgPlotInsert", {}, {qn_qmxPgPlotInsert, 0, 3, 3}},
      {"qmxPgPlotField", {}, {qn_qmxPgPlotField, 1, 1, -1}},
      {"qmxPgDisplay", {qn_qmxPgDisplay, 1, 2, 2}, {}},
      {"Get", {qn_qmxGet, 1, 2, 3}, {}},
      {"SetHttpAgentPath", {}, {zu_SetHttpAgentPath, 1, 3, 3}},
  };
  for (const auto& c : cases) {
    for (const auto& [env, want, where] : {std::tuple{env0, c.root, "root"}, std::tuple{env1, c.second, "second"}}) {
      ZU_SEXP* v = bound(env, c.name);
      if (!want.prim) {
        EXPECT_EQ(get_type(v), ZU_TYPE_SYMBOL) << c.name << " in the " << where;
        continue;
      }
      ASSERT_EQ(get_type(v), ZU_TYPE_FUNCTION) << c.name << " in the " << where;
      EXPECT_TRUE(v->func->prim == want.prim) << c.name << " in the " << where;
      EXPECT_EQ((std::vector<int>{v->func->order, v->func->min, v->func->max}),
                (std::vector<int>{want.order, want.min, want.max}))
          << c.name << " in the " << where;
    }
  }
}

TEST(AgentStartUp, ExitIsTheExitRequestAtItsForm) {
  init_core();
  ZuThreadScope scope("test");
  init_genExit(qnlisp_top_env1);
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  ZU_SEXP* forms = sexp_commands(utf8_cm, "\n\n(Exit)\n(Exit 1)\n", nullptr);
  ASSERT_EQ(get_type(forms), ZU_TYPE_LIST);
  gc_set_nl(forms, gc_qn_sexp);
  ZU_SEXP* r = eval(env, get_el(forms, 0));
  ASSERT_EQ(get_type(r), ZU_TYPE_ERROR);
  EXPECT_EQ(r->error->code, ZU_ER_EXIT);
  EXPECT_EQ(zu_wcmp_ascii(r->error->func, "Exit"), 0);
  EXPECT_EQ(r->error->data, nullptr);
  EXPECT_EQ(r->error->line, 3);
  r = eval(env, get_el(forms, 1));
  ASSERT_EQ(get_type(r), ZU_TYPE_ERROR);
  EXPECT_EQ(r->error->code, ZU_ER_LENGTH);
}

// Collections under the agent's hooks keep what threads hold and leave no
// lock taken: a second collection on the same thread would stop the
// process when the first had left one of its locks held.
TEST(AgentStartUp, CollectionsUnderTheAgentHooks) {
  init_core();
  init_matrix();
  set_matrix_gc_hooks();
  {
    ZuThreadScope scope("test");
    ZU_SEXP* kept = sexp_commands(utf8_cm, "(a <b c=\"d\">e</b> 1.5km \"text\")", nullptr);
    gc_set_nl(kept, gc_qn_sexp);
    gc_collect_now();
    gc_collect_now();
    STREAM* st = s_open_string_write(utf8_cm);
    print_sexp(st, kept, 0);
    EXPECT_STREQ(s_get_string(st), "((a ([b c=\"d\"] \"e\") 1.500000km \"text\"))");
    d_s_close(st);
  }
  gc_set_hooks(nullptr);
}
