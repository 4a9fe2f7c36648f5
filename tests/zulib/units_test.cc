// Units: reading and setting units, conversions with integer and floating
// results, and unit systems that fail without changing what is in force.
#include "library_cases.h"

namespace {


// Each case runs in a fresh child environment, so unit systems set by one
// case do not leak into the next.
const LibCases kCases = {
    {"(GetUnit 5)", "\"\""},
    {"(GetUnit (SetUnit unit=\"m\" 5))", "\"m\""},
    {"(SetUnit unit=\"\" 5km)", "5"},
    {"(SetUnit unit=\"sec\" 2.5km)", "2.500000sec"},
    {"(GetUnit \"5m\")", "error 80030806 \"GetUnit\" \"type missmatch\""},
    {"(ConvertUnit 1.5km \"m\")", "1500m"},
    {"(ConvertUnit 1500m \"km\")", "1.500000km"},
    {"(ConvertUnit 3000000000m \"m\")", "3000000000.000000m"},
    {"(ConvertUnit 1m \"sec\")", "error 80040503 \"ConvertUnit\" \"Cannot convert\""},
    {"(ConvertUnit 1m 5)", "error 80030806 \"ConvertUnit\" \"type missmatch\""},
    {"(progn (UnitSystem (System 1 1000 name=\"km\" dim=\"l\") (System 1 1 name=\"m\" dim=\"l\") "
     "(System 1 3600 name=\"hour\" dim=\"t\") (System 1 1 name=\"sec\" dim=\"t\") (Alias name=\"kph\" dim=\"km/hour\")) "
     "(ConvertUnit 90kph \"m/sec\"))",
     "25m/sec"},
    // A base's system units and aliases carry over.
    {"(progn (UnitSystem (System 1 0.0254 name=\"inch\" dim=\"l\")) (ConvertUnit 1m \"inch\"))", "39.370079inch"},
    {"(progn (UnitSystem inherit=\"new\") (ConvertUnit 1km \"m\"))", "1000m"},
    {"(progn (UnitSystem inherit=\"new\" (System 1 1 name=\"m\" dim=\"l\")) (ConvertUnit 1km \"m\"))",
     "error 80040503 \"ConvertUnit\" \"Cannot convert\""},
    // Failures leave the unit system in force as it was.
    {"(progn (UnitSystem (Alias name=\"a\" dim=\"m\") (System 1 1 name=\"z\" dim=\"l\")))",
     "error 80030806 \"UnitSystem\" (\"System tag after Alias tags\")"},
    {"(UnitSystem (System 0 1 name=\"z\" dim=\"l\"))", "error 80030806 \"UnitSystem/System\" (\"invalid ratio\")"},
    {"(UnitSystem (System 1 (car 1) name=\"z\" dim=\"l\"))", "error 80030806 \"car\" (\"type missmatch\")"},
    {"(UnitSystem (System 1 1 name=\"z\" dim=\"x\"))", "error 80030806 \"UnitSystem/System\" (\"type missmatch\")"},
    {"(UnitSystem (System 1 1 name=\"z\"))", "error 80040503 \"UnitSystem/System\" \"invalid attribute parameter\""},
    {"(UnitSystem (System 1 name=\"z\" dim=\"l\"))", "error 80030502 \"UnitSystem/System\" \"invalid param length\""},
    {"(UnitSystem (Alias 1 name=\"a\" dim=\"m\"))", "error 80030502 \"UnitSystem/System\" \"invalid param length\""},
    {"(UnitSystem (Alias name=\"a\" dim=\"parsec\"))", "error 80040503 \"UnitSystem/System\" \"invalid attribute parameter\""},
    {"(UnitSystem (Alias name=\"a\" dim=\"km*m\"))", "error 80040503 \"UnitSystem/System\" \"invalid attribute parameter\""},
    {"(UnitSystem 5)", "error 80030806 \"UnitSystem\" (\"invalid tag in UnitSystem element\")"},
    {"(UnitSystem inherit=\"nowhere\")", "error 80040501 \"UnitSystem\" (\"undefined unit environment\")"},
};

}  // namespace

TEST_F(LibraryCases, Units) {
  for (const auto& [form, want] : kCases) {
    ZUISP_ENV* child = new_env(env_);
    gc_set_nl(child, gc_qnlisp_env);
    EXPECT_EQ(run(child, form), want) << form;
    // Nothing that failed, nor anything set below, changed what is in force here.
    EXPECT_EQ(run(env_, "(ConvertUnit 1km \"m\")"), "1000m") << "after " << form;
  }
}

// Named unit systems are replaced by name; a later system inherits one.
TEST_F(LibraryCases, NamedUnitSystems) {
  run_all("", {
                  {"(UnitSystem name=\"u-test\" inherit=\"new\" (System 1 2 name=\"two\" dim=\"w\"))", "()"},
                  {"(UnitSystem name=\"u-test\" inherit=\"new\" (System 1 3 name=\"three\" dim=\"w\"))", "()"},
                  {"(UnitSystem inherit=\"u-test\" (System 1 1 name=\"one\" dim=\"w\"))", "()"},
                  {"(ConvertUnit 2three \"one\")", "6one"},
                  {"(ConvertUnit 1two \"one\")", "error 80040503 \"ConvertUnit\" \"Cannot convert\""},
                  {"(UnitSystem inherit=\"u-test\")", "()"},
                  {"(ConvertUnit 1three \"one\")", "error 80040503 \"ConvertUnit\" \"Cannot convert\""},
              });
}

// Threads setting unit systems at once while the collector runs often: the
// base each one copies (the system in force in the shared environment, or
// a named one) is replaced by the others meanwhile, and must stay alive
// while it is copied.
TEST_F(LibraryCases, UnitSystemsFromManyThreads) {
  ASSERT_EQ(run(env_, "(UnitSystem name=\"u-shared\" inherit=\"new\" (System 1 1 name=\"m\" dim=\"l\"))"), "()");
  const char* kForms[] = {
      "(UnitSystem (System 1 1000 name=\"km\" dim=\"l\"))",
      "(UnitSystem name=\"u-shared\" inherit=\"new\" (System 1 1 name=\"m\" dim=\"l\"))",
      "(UnitSystem inherit=\"u-shared\" (System 1 2 name=\"two\" dim=\"l\"))",
      "(UnitSystem (System 1 3 name=\"three\" dim=\"w\"))",
  };
  std::atomic<int> wrong{0};
  gc_set_collect_every(3);
  {
    BlockingRegion region;  // the threads collect meanwhile
    std::vector<std::thread> threads;
    for (const char* form : kForms)
      threads.emplace_back([this, form, &wrong] {
        ZuThreadScope scope("unit systems");
        for (int i = 0; i < 150; ++i) {
          GcFrame pass("unit system");
          if (run(env_, form) != "()") ++wrong;
        }
      });
    for (std::thread& t : threads) t.join();
  }
  gc_set_collect_every(0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(run(env_, "(UnitSystem inherit=\"u-shared\" (System 1 1000 name=\"km\" dim=\"l\"))"), "()");
  EXPECT_EQ(run(env_, "(ConvertUnit 1km \"m\")"), "1000m");
}
