// What a qnmx script cannot reach: the library's own Exit (the agent
// replaces it), version records read back from a peer's list, exact
// per-site memory sizes, and script threads over the runtime leaving no
// interpreter behind.
#include <cstdio>

#include "base/alloc.h"
#include "base/task.h"
#include "runtime/delayed.h"
#include "runtime/zu_init.h"
#include "support/child.h"
#include "support/runtime/interpreters.h"
#include "zulib/system.h"
#include "zulib/threads.h"
#include "zulib_test_util.h"

QNMX_CHILD_BODY(library_exit) {
  init_library_once();
  ZuThreadScope scope("exit");
  std::fputs(run(qnlisp_top_env1, "(List 1)").c_str(), stdout);
  std::fflush(stdout);
  run(qnlisp_top_env1, "(Exit)");
  return 3;
}

TEST(SystemLibrary, ExitEndsTheProcessWithStatusZero) {
  RunResult r = run_body("library_exit", {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "(1)");
}

TEST(SystemLibrary, VersionRecordsReadBackFromAList) {
  init_library_once();
  ZuThreadScope scope("versions");
  static VERSION month_only = {"T.month", "n", "p", "v", 2007, 3, 0, nullptr, "c"};
  static VERSION year_only = {"T.year", "n", "p", "v", 2007, 0, 0, nullptr, "c"};
  set_version(&month_only);
  set_version(&year_only);
  const std::pair<const char*, const char*> cases[] = {
      {"(GetVersion layer=\"T.month\")", "L=T.month v 2007-3 2007 3 0"},
      {"(GetVersion layer=\"T.year\")", "L=T.year v 2007 2007 0 0"},
      {"(quote ((\"L\" \"N\" \"P\" \"V\" \"2005-08-09\" extra)))", "L=L V 2005-08-09 2005 8 9"},
      {"(quote ((\"L\" \"N\" \"P\" \"V\" \"1999-300-x\")))", "L=L V 1999-300-x 1999 0 0"},
      {"(quote ((\"L\" \"N\" \"P\" \"V\")))", "null"},
      {"(quote ((\"L\" \"N\" P \"V\" \"2005\")))", "null"},
  };
  for (const auto& [form, want] : cases) {
    VERSION* v = convert_to_version(car(eval_text(qnlisp_top_env1, form)));
    char got[200] = "null";
    if (v) std::snprintf(got, sizeof got, "L=%s %s %s %i %i %i", v->layer, v->version, v->comment, v->year, v->month, v->day);
    EXPECT_STREQ(got, want) << form;
    free_version(v);
  }
}

TEST(SystemLibrary, MemoryStatisticsGivesEachSitesExactSize) {
  init_library_once();
  ZuThreadScope scope("memory");
  void* block = d_alloc(1234567);
  const int line = __LINE__ - 1;
  int64_t max = 0, found = 0;
  for (ZU_SEXP* p = eval_text(qnlisp_top_env1, "(MemoryStatistics)"); p; p = p->pair.cdr) {
    ZU_SEXP* site = p->pair.car;  // (mark file line size): "*" when the size is the largest so far
    int64_t size = get_el(site, 3)->integer.num;
    EXPECT_EQ(shown(get_el(site, 0)) == "\"*\"", size > max) << shown(site);
    max = std::max(max, size);
    if (shown(get_el(site, 1)).ends_with("system_test.cc\"") && get_el(site, 2)->integer.num == line) found = size;
  }
  EXPECT_EQ(found, 1234567);
  EXPECT_EQ(run(qnlisp_top_env1, "(MemoryStatistics max=\"\")").find("(\"\" "), std::string::npos);
  d_f_ree(block);
}

// The runtime's sweep of interpreters whose task has ended is kept from
// running, so that one a thread left behind stays visible.
QNMX_CHILD_BODY(thread_churn) {
  init_zu();
  init_library_once();
  set_zui_tick_ms(3600 * 1000);
  open_self_interpreter();
  int bad = 0;
  {
    ZuThreadScope scope("churn");
    for (int i = 0; i < 1000; ++i) bad += run(qnlisp_top_env1, "(Thread " + std::to_string(i) + ")") != std::to_string(i);
    const char* kill = "(progn ([define ignore.delay=\"1\"] w (Thread (while 1 1))) (KillThread w) w)";
    bad += run(qnlisp_top_env1, kill) != "error 80011405 \"cancel\" ()";
  }
  auto left_behind = [] {
    int n = running_script_threads();
    for (int iid = get_next_iid(0); iid > 0; iid = get_next_iid(iid)) {
      ZU_INTERPRETER info;
      n += get_zui_info(&info, iid) == 0 && thread_exist(info.front_thread) != 0;
    }
    return n;
  };
  bool clean = wait_until([&] { return left_behind() == 0; }, std::chrono::seconds(10));
  std::fprintf(stderr, "wrong values %d, left behind %d\n", bad, left_behind());
  close_self_interpreter();
  stop_gc_task();
  return bad == 0 && clean ? 0 : 1;
}

TEST(ScriptThreads, LeaveNoInterpreterBehind) {
  RunResult r = run_body("thread_churn", {}, {}, std::chrono::seconds(120));
  EXPECT_EQ(r.status, 0) << r.err;
}
