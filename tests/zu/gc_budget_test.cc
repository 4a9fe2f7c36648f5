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

// Built-ins that take memory in the ways a refusal must unwind: a long list,
// one huge block, a frame pushed and never popped, a nested thread scope;
// the same under a task lock (never refused: it ends over the budget), and
// garbage a collection can free.
ZU_SEXP* hog_list(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  build_list(4 * kBudget);
  return I(1);
}
ZU_SEXP* hog_block(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  mmalloc(uint64_t{1} << 34, nullptr);  // refused before anything is taken
  return I(1);
}
ZU_SEXP* hog_frames(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  gc_push(nullptr, nullptr, "left open");
  ZuThreadScope inner("nested");
  gc_push(nullptr, nullptr, "left open too");
  build_list(4 * kBudget);
  return I(1);
}
ZU_SEXP* hog_garbage(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  for (int i = 0; i < 12; ++i) {
    GcFrame dropped("garbage");
    build_list(kBudget / 4);
  }
  return I(1);
}
ZU_SEXP* hog_quarter(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  build_list(kBudget / 4);  // cells and roots: past a quarter, within the budget
  return I(1);
}
ZU_SEXP* hog_locked(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  lock_task(test_lock());
  {
    GcFrame f("over");
    build_list(kBudget + 4 * kMiB);
  }
  unlock_task(test_lock(), "hog");
  return I(1);
}

TEST_F(HeapBudget, ARefusedCallAnswersMemoryAndTheEvaluatorGoesOn) {
  ZUISP_ENV* env = new_env(qnlisp_top_env1);
  const std::pair<const char32_t*, ZU_PRIM> hogs[] = {
      {U"hog-list", hog_list},     {U"hog-block", hog_block},     {U"hog-frames", hog_frames},
      {U"hog-locked", hog_locked}, {U"hog-garbage", hog_garbage}, {U"hog-quarter", hog_quarter}};
  for (auto [name, prim] : hogs) set_env(env, W(name), get_func_prim(prim, 1, nullptr, 1, 1));
  struct Case {
    const char* form;
    bool share;              // evaluated attached to a share
    const char* refused_in;  // the built-in the error names; null: a value
  } const cases[] = {
      {"(hog-list)", false, "hog-list"},
      {"(hog-block)", false, "hog-block"},
      {"(hog-frames)", false, "hog-frames"},
      {"(progn 1 (if 1 (hog-list)))", false, "hog-list"},
      {"((lambda () (h n) (+ n (hog-list))) 1)", false, "hog-list"},
      {"(hog-locked)", false, nullptr},
      {"(hog-garbage)", false, nullptr},
      {"(hog-quarter)", false, nullptr},
      {"(hog-quarter)", true, "hog-quarter"},
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
