// The system built-ins where a qnmx script cannot reach them: the
// library's own Exit (the agent replaces it), version records read back
// from a peer's answer, exact per-site memory sizes; and script threads
// over the interpreter runtime, which must leave no interpreter behind.
#include <cstdio>

#include "base/alloc.h"
#include "base/task.h"
#include "base/version.h"
#include "runtime/delayed.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "zulib/system.h"
#include "zulib/threads.h"
#include "zulib_test_util.h"

namespace {

ZU_SEXP* parsed(const char* text) {
  ZU_SEXP* forms = sexp_commands(utf8_cm, text, nullptr);
  gc_set_nl(forms, gc_qn_sexp);
  return forms->pair.car;
}

}  // namespace

QNMX_CHILD_BODY(library_exit) {
  init_library_once();
  ZuThreadScope scope("exit");
  std::fputs(run(new_env(qnlisp_top_env1), "(List 1)").c_str(), stdout);
  std::fflush(stdout);
  run(new_env(qnlisp_top_env1), "(Exit)");
  std::fputs("not reached", stdout);
  return 3;
}

TEST(SystemLibrary, ExitEndsTheProcessWithStatusZero) {
  RunResult r = run_body("library_exit", {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "(1)");
}

TEST(SystemLibrary, VersionRecordsReadBackFromAPeersList) {
  init_library_once();
  ZuThreadScope scope("versions");
  struct Case {
    const char* list;
    const char* fields;  // layer name publisher version comment year month day, or "null"
  } cases[] = {
      {"(\"L\" \"N\" \"P\" \"V\" \"2005-5-23\")", "L N P V 2005-5-23 2005 5 23"},
      {"(\"L\" \"N\" \"P\" \"V\" \"2005-08-09\" extra)", "L N P V 2005-08-09 2005 8 9"},
      {"(\"L\" \"N\" \"P\" \"V\" \"2007\")", "L N P V 2007 2007 0 0"},
      {"(\"L\" \"N\" \"P\" \"V\" \"1999-300-x\")", "L N P V 1999-300-x 1999 0 0"},
      {"(\"L\" \"N\" \"P\" \"V\")", "null"},
      {"(\"L\" \"N\" P \"V\" \"2005\")", "null"},
  };
  for (const Case& c : cases) {
    VERSION* v = convert_to_version(parsed(c.list));
    char got[200] = "null";
    if (v)
      std::snprintf(got, sizeof got, "%s %s %s %s %s %i %i %i", v->layer, v->name, v->publisher, v->version,
                    v->comment, v->year, v->month, v->day);
    EXPECT_STREQ(got, c.fields) << c.list;
    free_version(v);
  }
  // Dates of records without a day or month, and the round trip.
  static VERSION month_only = {"T.month", "n", "p", "v", 2007, 3, 0, nullptr, "c"};
  static VERSION year_only = {"T.year", "n", "p", "v", 2007, 0, 0, nullptr, "c"};
  set_version(&month_only);
  set_version(&year_only);
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  EXPECT_EQ(run(env, "(GetVersion layer=\"T.month\")"), "((\"T.month\" \"n\" \"p\" \"v\" \"2007-3\"))");
  EXPECT_EQ(run(env, "(GetVersion layer=\"T.year\")"), "((\"T.year\" \"n\" \"p\" \"v\" \"2007\"))");
  VERSION* back = convert_to_version(car(eval_text(env, "(GetVersion layer=\"T.month\")")));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->year * 100 + back->month * 10 + back->day, 200730);
  free_version(back);
}

TEST(SystemLibrary, MemoryStatisticsGivesEachSitesExactSize) {
  init_library_once();
  ZuThreadScope scope("memory");
  void* block = d_alloc(1234567);
  int line = __LINE__ - 1;
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  int found = 0;
  int64_t max = 0;
  for (ZU_SEXP* p = eval_text(env, "(MemoryStatistics)"); p; p = p->pair.cdr) {
    ZU_SEXP* site = p->pair.car;
    std::string file = shown(get_el(site, 1));
    int64_t size = get_el(site, 3)->integer.num;
    bool marked = shown(get_el(site, 0)) == "\"*\"";
    EXPECT_EQ(marked, size > max) << shown(site);
    if (marked) max = size;
    if (file.ends_with("system_test.cc\"") && get_el(site, 2)->integer.num == line) found = static_cast<int>(size);
  }
  EXPECT_EQ(found, 1234567);
  // With max, only the sites that raised the maximum, in growing order.
  int64_t last = 0;
  for (ZU_SEXP* p = eval_text(env, "(MemoryStatistics max=\"\")"); p; p = p->pair.cdr) {
    EXPECT_EQ(shown(get_el(p->pair.car, 0)), "\"*\"");
    EXPECT_GT(get_el(p->pair.car, 3)->integer.num, last);
    last = get_el(p->pair.car, 3)->integer.num;
  }
  EXPECT_GE(last, 1234567);
  d_f_ree(block);
}

// Short threads and a killed loop over the real runtime: every thread's
// interpreter and record are gone once its value has arrived.
QNMX_CHILD_BODY(thread_churn) {
  init_zu();
  init_library_once();
  ZU_INTERPRETER* self = new_zu_interpreter();
  self->a_type = ZUI_SELF;
  self->env = qnlisp_top_env1;
  setup_i(self);
  // The runtime's own sweep of interpreters whose task has ended is kept
  // from running, so that one left behind stays visible.
  set_zui_tick_ms(3600 * 1000);
  int bad = 0;
  {
    ZuThreadScope scope("churn");
    ZUISP_ENV* env = new_env(qnlisp_top_env1);
    gc_set_nl(env, gc_qnlisp_env);
    for (int i = 0; i < 1000; ++i) {
      std::string want = std::to_string(i);
      if (run(env, "(Thread " + want + ")") != want) ++bad;
    }
    const char* kill = "(progn ([define ignore.delay=\"1\"] w (Thread (while 1 1))) (KillThread w) w)";
    if (run(env, kill) != "error 80011405 \"cancel\" ()") ++bad;
  }
  auto left_behind = [] {
    int n = running_script_threads();
    for (int iid = get_next_iid(0); iid > 0; iid = get_next_iid(iid)) {
      ZU_INTERPRETER info;
      if (get_zui_info(&info, iid) == 0 && thread_exist(info.front_thread) != 0) ++n;
    }
    return n;
  };
  bool clean = wait_until([&] { return left_behind() == 0; }, std::chrono::seconds(10));
  std::fprintf(stderr, "bad %d, left behind %d\n", bad, left_behind());
  close_self_interpreter();
  stop_gc_task();
  return bad == 0 && clean ? 0 : 1;
}

TEST(ScriptThreads, LeaveNoInterpreterBehind) {
  RunResult r = run_body("thread_churn", {}, {}, std::chrono::seconds(120));
  EXPECT_EQ(r.status, 0) << r.err;
}
