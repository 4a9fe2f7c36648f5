// The library's binding table against its published name list, and what
// init_function binds where.
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "zulib_test_util.h"

namespace {

// The 146 names in binding order, and those of the second top environment.
const char* kOrder =
    "Env0 Env1 While For ListLength List GetURL Parse ?xml ?zu OpenInterpreter CloseInterpreter Remote Local "
    "LocalEval Exit CurrentEnvironment Eval If Sequence Next GetIid Arg ArgOption Switch SetMainInterpreter "
    "GetVariable Launch WaitInterpreter GetElement GE ErrHandler Error Lambda Define DefineDefault NewEnvironment "
    "GetParentEnvironment SetParentEnvironment CutOut Append Print PrintStd openPrintStd closePrintStd PrintChain "
    "CutString StringLength GetChar SetChar MakeElement Load Save Shell Export GetAttribute GetSymbolCore "
    "ConvertUnit SetPrefixMode GetPrefixMode Get SetThisAgentName SetDatabasePath SetDirectory GetZUpathpair "
    "OpenSession CloseSession RemoteSession GetLocalHostName GetLocalHostIP SetLocalHostName GetZUTime "
    "ComposePath ComposeURL Trunc Leaf Directory Prefix SetResultFormat DeleteDefine DeleteDefaultDefine "
    "MoveDefine Cast TypeOf DivideString Sort ListEval NewEnvPair NaturalJoin Projection EE ReplaceString Reverse "
    "Rule MemoryStatistics Sleep IfDef EA SetEA SetLogPath GetProperCode GetVersion GetCPUStatus GetSize "
    "FindFile URLStringCode DecodeURLString SetAttribute GetTag Test SetScriptPath RegCmp RegSwitch Word2String "
    "Categorize V2H h2v GetType SetUnit GetUnit SetProxy GetProxy SetNativeProxy GetNativeProxy Chdir "
    "UnitSystem GetMainInterpreter GetZUIinfo IgnoreDelay SessionEnvironment Let Thread DelayAppend KillThread "
    "GetCwd UTime Rm Mv Mkdir Touch FormatEval GetListbaseEnv SetListbaseEnv DefineEval DE LaunchWWW";
const char* kSecondTop =
    "Env1 Arg ArgOption Test Rule Load Save SetPrefixMode SetDatabasePath SetDirectory GetZUpathpair SetLogPath "
    "FindFile SetScriptPath Chdir Exit GetVariable Launch Shell Export SetMainInterpreter SetThisAgentName "
    "SessionEnvironment GetCPUStatus SetProxy SetNativeProxy";
// Names that the registration of the family before them binds.
const char* kCompanions = "Env0 Env1 ?zu ArgOption GE Error openPrintStd closePrintStd TypeOf h2v DelayAppend KillThread DE";

std::vector<std::string> words(const char* text) {
  std::istringstream in(text);
  std::vector<std::string> r;
  for (std::string w; in >> w;) r.push_back(w);
  return r;
}

bool bound_at(ZUISP_ENV* env, const char* name) {
  ZU_SEXP* v = nullptr;
  return lookup_env_atom(env, get_symbol_ascii(name)->symbol.atom, 0, &v) != 0;
}

ZU_SEXP* value_at(ZUISP_ENV* env, const char* name) {
  ZU_SEXP* v = nullptr;
  lookup_env_atom(env, get_symbol_ascii(name)->symbol.atom, 0, &v);
  return v;
}

}  // namespace

TEST(LibraryTable, HoldsThePublishedNamesInOrderWithTheirEnvironments) {
  std::vector<std::string> order = words(kOrder);
  std::set<std::string> second;
  for (const std::string& w : words(kSecondTop)) second.insert(w);
  std::set<std::string> companions;
  for (const std::string& w : words(kCompanions)) companions.insert(w);
  ASSERT_EQ(order.size(), 146u);
  size_t i = 0, families = 0;
  for (const ZU_FAMILY* row = zulib_names; row->name; ++row, ++i) {
    ASSERT_LT(i, order.size());
    EXPECT_EQ(row->name, order[i]);
    EXPECT_EQ(row->env, second.count(row->name) ? 1 : 0) << row->name;
    if (companions.count(row->name)) {
      EXPECT_TRUE(!row->bind || row->bind == zulib_bound_elsewhere) << row->name;
    } else {
      EXPECT_NE(row->bind, zulib_bound_elsewhere) << row->name;
      ++families;
    }
  }
  EXPECT_EQ(i, 146u);
  EXPECT_EQ(families, 133u);
}

// The network services hand their families in by name and environment; a
// row of theirs that the library does not wait for is a slip that stops a
// debug build before any script runs.
TEST(LibraryTableDeathTest, ARegistrationNoRowWaitsForStopsADebugBuild) {
  const ZU_FAMILY slips[] = {
      {"GetURl", 0, zulib_bound_elsewhere},    // mistyped
      {"SetProxy", 0, zulib_bound_elsewhere},  // another environment
      {"Parse", 0, zulib_bound_elsewhere},     // built in the library itself
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const ZU_FAMILY& f : slips) {
    if (kFamilySlipStops)
      EXPECT_DEATH(zulib_set_binder(f), std::string("family_row: no row \"") + f.name + "\"");
    else
      EXPECT_EQ(zulib_set_binder(f), -1);
  }
}

TEST(LibraryTable, BindsEachBuiltNameInItsOwnEnvironmentOnly) {
  init_library_once();
  ZuThreadScope scope("test");
  ZUISP_ENV* env0 = new_env(nullptr);
  gc_set_nl(env0, gc_qnlisp_env);
  ZUISP_ENV* env1 = new_env(env0);
  static char prog[] = "prog";
  static char* argv[] = {prog, nullptr};
  init_function(env0, env1, 1, argv);
  // A companion counts as built when the family above it is.
  bool built = false;
  int bound = 0;
  for (const ZU_FAMILY* row = zulib_names; row->name; ++row) {
    if (row->bind != zulib_bound_elsewhere)
      built = row->bind == zulib_bound_above ? zulib_binder_above(*row) != nullptr : row->bind != nullptr;
    if (row->name == std::string("Env0")) built = true;
    ZUISP_ENV* own = row->env ? env1 : env0;
    ZUISP_ENV* other = row->env ? env0 : env1;
    EXPECT_EQ(bound_at(own, row->name), built) << row->name;
    EXPECT_FALSE(bound_at(other, row->name)) << row->name;
    bound += built;
  }
  EXPECT_GE(bound, 16);  // the arguments, lists and elements at least
  EXPECT_EQ(value_at(env0, "GE"), value_at(env0, "GetElement"));
  EXPECT_EQ(value_at(env0, "Env0")->env, env0);
  EXPECT_EQ(value_at(env1, "Env1")->env, env1);
  // Code given only the root environment does not see the second top one.
  ZUISP_ENV* peer = new_env(env0);
  EXPECT_EQ(run(peer, "(List 1 Env0)").substr(0, 8), "(1 [env:");
  EXPECT_EQ(run(peer, "Env1"), "error 80030705 \"eval\" (\"Env1\")");
  EXPECT_EQ(run(peer, "(Arg)"), "error 80030705 \"eval\" (\"Arg\")");
  EXPECT_EQ(run(new_env(env1), "(Arg)"), "0");
}
