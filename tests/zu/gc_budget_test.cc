// The heap budget: when an allocation past it is refused (a throw inside a
// refusal zone with no task lock held, within a share's quarter), and how
// the evaluator turns a refusal into the error "memory" and goes on.
#include <gtest/gtest.h>

#include <functional>
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

TEST_F(HeapBudget, AnAllocationIsRefusedOnlyWhereTheRefusalCanBeCaught) {
  struct Case {
    const char* name;
    bool zone;       // inside a refusal zone
    bool locked;     // holding a task lock
    bool quiet;      // under NoRefusal
    bool share;      // attached to a share
    std::function<void()> take;
    bool refused;
  };
  const Case cases[] = {
      {"one block past the budget", true, false, false, false, [] { mmalloc(kBudget + kMiB, nullptr); }, true},
      {"one block larger than the budget, outside any zone", false, false, false, false,
       [] { mmalloc(kBudget + kMiB, nullptr); }, false},
      {"one block past the budget, a task lock held", true, true, false, false,
       [] { mmalloc(kBudget + kMiB, nullptr); }, false},
      {"one block past the budget, under NoRefusal", true, false, true, false,
       [] { mmalloc(kBudget + kMiB, nullptr); }, false},
      {"small cells kept until past the budget", true, false, false, false, [] { build_list(2 * kBudget); }, true},
      {"small cells past a share's quarter", true, false, false, true, [] { build_list(kBudget / 2); }, true},
      {"small cells within a share's quarter", true, false, false, true, [] { build_list(kBudget / 8); }, false},
      {"garbage past the budget: a collection makes room", true, false, false, false,
       [] {
         for (int i = 0; i < 12; ++i) {
           GcFrame dropped("garbage");
           build_list(kBudget / 4);
         }
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gc_collect_now();
    GC_SHARE share;
    if (c.share) gc_attach_share(&share);
    int frames = gc_frame_depth();
    bool refused = false;
    {
      GcFrame f("case");
      RefusalZone* zone = c.zone ? new RefusalZone : nullptr;
      if (c.locked) lock_task(test_lock());
      try {
        NoRefusal* quiet = c.quiet ? new NoRefusal : nullptr;
        c.take();
        delete quiet;
      } catch (const AllocRefused&) {
        refused = true;
        gc_unwind_frames(frames + 1);
      }
      if (c.locked) unlock_task(test_lock(), "test");
      delete zone;
    }
    EXPECT_EQ(refused, c.refused);
    EXPECT_EQ(gc_frame_depth(), frames);
    EXPECT_EQ(task_holds(), 0);
    gc_attach_share(nullptr);
    // What the case took is garbage now, and a collection gives it back.
    gc_collect_now();
    EXPECT_LT(gc_heap_in_use(), kBudget / 2);
  }
}

// Built-ins that take memory in the ways a refusal must unwind: a long list,
// one huge string, a frame pushed and never popped, a nested thread scope,
// and the same under a task lock (never refused: it ends over the budget).
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
  set_env(env, W(U"hog-list"), get_func_prim(hog_list, 1, nullptr, 1, 1));
  set_env(env, W(U"hog-block"), get_func_prim(hog_block, 1, nullptr, 1, 1));
  set_env(env, W(U"hog-frames"), get_func_prim(hog_frames, 1, nullptr, 1, 1));
  set_env(env, W(U"hog-locked"), get_func_prim(hog_locked, 1, nullptr, 1, 1));
  struct Case {
    const char* form;
    const char* refused_in;  // the built-in the error names; null: a value
  };
  const Case cases[] = {
      {"(hog-list)", "hog-list"},
      {"(hog-block)", "hog-block"},
      {"(hog-frames)", "hog-frames"},
      {"(progn 1 (if 1 (hog-list)))", "hog-list"},
      {"((lambda () (h n) (+ n (hog-list))) 1)", "hog-list"},
      {"(hog-locked)", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
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
    EXPECT_EQ(alloc_tl_zone, 0);
    EXPECT_EQ(task_holds(), 0);
    gc_root_release(roots, nullptr, nullptr);
    gc_collect_now();
    EXPECT_LT(gc_heap_in_use(), kBudget / 2);
    ZU_SEXP* after = eval(env, read_one("(+ 40 2)"));
    ASSERT_EQ(get_type(after), ZU_TYPE_INTEGER);
    EXPECT_EQ(after->integer.num, 42);
  }
}

}  // namespace
