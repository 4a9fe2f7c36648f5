// The heap budget: an allocation past it (or past a share's quarter) is
// refused inside the evaluator's call forms, never under a task lock nor
// for garbage a collection can free, and the refused call answers the
// error "memory" while the evaluator goes on.
#include <gtest/gtest.h>

#include <string>

#include "base/alloc.h"
#include "base/lock.h"
#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/errcodes.h"
#include "zu/eval.h"
#include "zu/gc.h"
#include "reader_test_util.h"
#include "text/convert.h"
#include "zu_test_util.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kBudget = 48 * kMiB;

SEM test_lock() {
  static SEM s = new_lock(LOCK_TEST);
  return s;
}

// Cells of a list built until `bytes` have been taken, pinned in the
// caller's frame.
void build_list(uint64_t bytes) {
  ZU_SEXP* l = nullptr;
  for (uint64_t n = 0; n < bytes / 32; ++n) l = cons(nullptr, l);
}

class HeapBudget : public ::testing::Test {
 protected:
  void SetUp() override {
    init_qnlisp();
    gc_collect_now();
    gc_set_heap_budget(kBudget);
  }
  void TearDown() override {
    gc_attach_share(nullptr);
    gc_set_heap_budget(0);
    gc_collect_now();
  }
  ZuThreadScope scope{"budget test"};
};

// (hog KIND): memory taken in the ways a refusal must unwind. 1 a long list,
// 2 one huge block, 3 the list under frames pushed and never popped and a
// nested thread scope, 4 garbage a collection can free, 5 a list past a
// quarter within the budget, 6 a list past the budget under a task lock
// (never refused: it ends over the budget).
ZU_SEXP* hog(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  switch (get_el(form, 1)->integer.num) {
    case 1:
      build_list(4 * kBudget);
      break;
    case 2:
      mmalloc(uint64_t{1} << 34, nullptr);  // refused before anything is taken
      break;
    case 3: {
      gc_push(nullptr, nullptr, "left open");
      ZuThreadScope inner("nested");
      gc_push(nullptr, nullptr, "left open too");
      build_list(4 * kBudget);
      break;
    }
    case 4:
      for (int i = 0; i < 12; ++i) {
        GcFrame dropped("garbage");
        build_list(kBudget / 4);
      }
      break;
    case 5:
      build_list(kBudget / 4);  // cells and roots
      break;
    default:
      lock_task(test_lock());
      build_list(kBudget + 4 * kMiB);
      unlock_task(test_lock(), "hog");
  }
  return I(1);
}

TEST_F(HeapBudget, ARefusedCallAnswersMemoryAndTheEvaluatorGoesOn) {
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  EXPECT_EQ(0, set_env(env, W(U"hog"), get_func_prim(hog, 1, nullptr, 2, 2)));
  struct Case {
    const char* form;
    bool share;              // evaluated attached to a share
    const char* refused_in;  // the built-in the error names; null: a value
  } const cases[] = {
      {"(hog 1)", false, "hog"},
      {"(hog 2)", false, "hog"},
      {"(hog 3)", false, "hog"},
      {"(progn 1 (if 1 (hog 1)))", false, "hog"},
      {"((lambda () (h n) (+ n (hog 1))) 1)", false, "hog"},
      {"(hog 4)", false, nullptr},
      {"(hog 5)", false, nullptr},
      {"(hog 5)", true, "hog"},
      {"(hog 6)", false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    GC_SHARE share;
    gc_attach_share(c.share ? &share : nullptr);
    int frames = gc_frame_depth();
    size_t roots = gc_root_mark();
    ZU_SEXP* r;
    {
      GcFrame f("case");
      r = f.keep(eval(env, read_one(c.form)), gc_qn_sexp);
    }
    if (c.refused_in) {
      ASSERT_EQ(get_type(r), ZU_TYPE_ERROR);
      EXPECT_EQ(r->error->code, ZU_ER_MEMORY);
      EXPECT_EQ(std::string(n_string(std_cm, r->error->func)), c.refused_in);
    } else {
      EXPECT_NE(get_type(r), ZU_TYPE_ERROR);
    }
    EXPECT_EQ(gc_frame_depth(), frames);
    EXPECT_EQ(gc_root_mark(), roots + 1);
    EXPECT_EQ(gc_zone_depth() + task_holds(), 0);
    gc_root_release(roots, nullptr, nullptr);
    gc_attach_share(nullptr);
    gc_collect_now();
    EXPECT_LT(gc_heap_in_use(), kBudget / 2);
    ZU_SEXP* after = eval(env, read_one("(+ 40 2)"));
    ASSERT_EQ(get_type(after), ZU_TYPE_INTEGER);
    EXPECT_EQ(after->integer.num, 42);
  }
}

}  // namespace
