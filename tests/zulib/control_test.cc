// The loops, evaluators and definitions keep what they hold across
// collections: a program run while a collection comes at every third
// allocation gives exactly what it gives without them.
#include "zulib_test_util.h"

namespace {

// Each form's value, one per line.
std::string run_forms(const char* const* forms) {
  ZuThreadScope scope("test");
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  std::string out;
  for (const char* const* f = forms; *f; ++f) out += run(env, *f) + "\n";
  return out;
}

const char* const kProgram[] = {
    "(Define acc ())",
    "(Define i 0)",
    "(While (< i 40) (Sequence () (Define i (+ i 1)) (Define acc (cons (List i \"x\") acc)) i))",
    "(Define n 30)",
    "(For dec=\"n\" (Define acc (cons (Reverse (List n 1.5 \"s\")) acc)) (If (== n 3) (Then (Break (GetSize acc)))))",
    "(Define l acc)",
    "(For dec=\"l\" (Define last (Let (Sub (h (car l)) (t (List h h))) t)) (Continue) (Define never 1))",
    "last",
    "(Define k 0)",
    "(Define sw ())",
    "(For (< k 20) (Define k (+ k 1)) (Define sw (cons (Switch (Case (== k 7) (List \"seven\" k)) (Case 1 k)) sw)))",
    "sw",
    "(Define hits ())",
    "(RegSwitch \"a1bb22ccc333\" (d rex=\"[0-9]+\" (set hits (cons pattern hits)) \"#\") (w rex=\"[a-z]+\" pattern))",
    "hits",
    "(Define __text () (g x) (List \"T\" x))",
    "(FormatEval (CurrentEnvironment) \"s\" (List 1 (List \"t\" 2.5)) (quote (List 3)))",
    "(Define c () (g x) (List \"c\" x))",
    "(ListEval text=\"\" () (List \"u\" (quote (c 1)) (quote (c 2))) (quote c))",
    "(Define f () (g a b) (List (ErrHandler (car a)) (DE () stored (List a b)) (DE (CurrentEnvironment) stored 0)))",
    "(f 1 2)",
    "(Let (Env (NewEnvPair (NewEnvironment Env0) (CurrentEnvironment))) (Define paired \"p\") paired)",
    nullptr,
};

TEST(ControlUnderCollection, SameResultsWhileCollectingConstantly) {
  init_library_once();
  std::string calm = run_forms(kProgram);
  EXPECT_NE(calm.find("(\"seven\" 7)"), std::string::npos) << calm;
  gc_set_collect_every(3);
  std::string stressed = run_forms(kProgram);
  gc_set_collect_every(0);
  EXPECT_EQ(stressed, calm);
}

}  // namespace
