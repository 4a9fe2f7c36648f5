#include <gtest/gtest.h>

#include <iterator>

#include "zu/env.h"
#include "zu_test_util.h"

namespace {

int64_t num(ZU_SEXP* v) { return v ? v->integer.num : -999; }

class Env : public ::testing::Test {
 protected:
  ZuThreadScope scope{"env test"};
};

}  // namespace

TEST_F(Env, ShadowingDepthAndRemoval) {
  ZUISP_ENV* root = new_env(nullptr);
  ZUISP_ENV* mid = new_env(root);
  ZUISP_ENV* leaf = new_env(mid);
  set_env(root, W(U"x"), I(1));
  set_env(leaf, W(U"x"), I(3));
  set_env(root, W(U"only-root"), I(10));

  EXPECT_EQ(num(get_env_symbol(leaf, W(U"x"), -1)), 3);
  EXPECT_EQ(num(get_env_symbol(mid, W(U"x"), -1)), 1);
  EXPECT_EQ(num(get_env_symbol(leaf, W(U"only-root"), 2)), 10);
  EXPECT_EQ(get_env_symbol(leaf, W(U"only-root"), 1), nullptr);
  EXPECT_EQ(get_env_symbol(leaf, W(U"never-bound-anywhere"), -1), nullptr);

  // A binding to the empty list is a binding.
  set_env(mid, W(U"nil-bound"), nullptr);
  ZU_SEXP* v = I(5);
  EXPECT_EQ(lookup_env_atom(leaf, find_atom(W(U"nil-bound")), -1, &v), 1);
  EXPECT_EQ(v, nullptr);

  // set_op changes the nearest binding only and refuses unbound names.
  EXPECT_EQ(set_op(leaf, S("x"), I(4)), 0);
  EXPECT_EQ(num(get_env_symbol(root, W(U"x"), 0)), 1);
  EXPECT_EQ(set_op(leaf, S("nowhere-bound"), I(4)), -1);
  EXPECT_EQ(get_env_symbol(leaf, W(U"nowhere-bound"), -1), nullptr);

  del_env(leaf, W(U"x"));
  EXPECT_EQ(num(get_env_symbol(leaf, W(U"x"), -1)), 1);
  del_env(leaf, W(U"x"));
  EXPECT_EQ(get_env_symbol(leaf, W(U"x"), -1), nullptr);
  del_env(leaf, W(U"x"));  // bound nowhere: nothing happens

  // Detaching a parent hides its bindings.
  set_parent_env(mid, nullptr);
  EXPECT_EQ(get_env_symbol(leaf, W(U"only-root"), -1), nullptr);
}

TEST_F(Env, PairsSearchFirstThenSecondAndWriteIntoSecond) {
  ZUISP_ENV* kw = new_env(nullptr);
  ZUISP_ENV* caller_parent = new_env(nullptr);
  ZUISP_ENV* caller = new_env(caller_parent);
  ZUISP_ENV* pair = new_env_pair(kw, caller);
  set_env(kw, W(U"k"), I(1));
  set_env(caller_parent, W(U"k"), I(2));
  set_env(caller_parent, W(U"p"), I(3));
  EXPECT_EQ(num(get_env_symbol(pair, W(U"k"), -1)), 1);
  EXPECT_EQ(num(get_env_symbol(pair, W(U"p"), -1)), 3);
  // Both members sit one level below the pair.
  EXPECT_EQ(num(get_env_symbol(pair, W(U"k"), 1)), 1);
  EXPECT_EQ(get_env_symbol(pair, W(U"p"), 1), nullptr);
  EXPECT_EQ(num(get_env_symbol(pair, W(U"p"), 2)), 3);

  // A definition lands in the second member (through nested pairs too).
  set_env(pair, W(U"defined"), I(7));
  EXPECT_EQ(num(get_env_symbol(caller, W(U"defined"), 0)), 7);
  EXPECT_EQ(get_env_symbol(kw, W(U"defined"), -1), nullptr);
  ZUISP_ENV* outer = new_env_pair(new_env(nullptr), pair);
  set_env(outer, W(U"deeper"), I(8));
  EXPECT_EQ(num(get_env_symbol(caller, W(U"deeper"), 0)), 8);

  // set_op and del_env search the first member's chain before the second's.
  set_env(caller, W(U"k"), I(9));
  EXPECT_EQ(set_op(pair, S("k"), I(11)), 0);
  EXPECT_EQ(num(get_env_symbol(kw, W(U"k"), 0)), 11);
  EXPECT_EQ(num(get_env_symbol(caller, W(U"k"), 0)), 9);
  del_env(pair, W(U"k"));
  EXPECT_EQ(num(get_env_symbol(pair, W(U"k"), -1)), 9);

  // Replacing a pair's "parent" replaces its first member.
  set_parent_env(pair, nullptr);
  EXPECT_EQ(get_parent_env(pair), nullptr);
  EXPECT_EQ(num(get_env_symbol(pair, W(U"k"), -1)), 9);
}

TEST_F(Env, DefaultsWorkAndUnitEnvironmentsFollowSearchOrder) {
  ZUISP_ENV* a = new_env(nullptr);
  ZUISP_ENV* b = new_env(a);
  ZUISP_ENV* c = new_env(nullptr);
  ZUISP_ENV* pair = new_env_pair(c, b);
  ZU_SEXP* f1 = get_func_prim(nullptr, 1, nullptr, 1, -1);
  ZU_SEXP* f2 = get_func_prim(nullptr, 2, nullptr, 1, -1);
  set_default_env(pair, f1);  // lands in b
  set_default_env(c, f2);
  EXPECT_EQ(get_default_env(b), f1);
  EXPECT_EQ(get_default_env(pair), f2);
  del_default_env(pair);  // clears both members
  EXPECT_EQ(get_default_env(pair), nullptr);

  int tok1 = 0, tok2 = 0;
  set_env_work(a, &tok1);
  EXPECT_EQ(get_env_work(pair), &tok1);
  set_env_work(c, &tok2);
  EXPECT_EQ(get_env_work(pair), &tok2);
  auto* u = reinterpret_cast<UNIT_ENV*>(&tok1);
  EXPECT_EQ(get_uenv(b), nullptr);
  set_uenv(a, u);
  EXPECT_EQ(get_uenv(pair), u);
}

TEST_F(Env, ListFormRoundTrip) {
  ZUISP_ENV* parent = new_env(nullptr);
  ZUISP_ENV* e = new_env(parent);
  for (int i = 0; i < 100; ++i) {  // enough to grow the table
    L_CHAR name[] = {'n', static_cast<L_CHAR>('A' + i / 10), static_cast<L_CHAR>('0' + i % 10), 0};
    set_env(e, name, I(i));
  }
  ZU_SEXP* f = get_func_prim(nullptr, 1, nullptr, 1, 1);
  set_default_env(e, f);
  ZU_SEXP* form = get_listbase_env(e);
  ZU_SEXP* hash = get_el_by_symbol(form, W(U"hash"), 0);
  ASSERT_NE(hash, nullptr);
  EXPECT_EQ(list_length(hash), 101);
  ZUISP_ENV* copy = set_listbase_env(form, nullptr);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(get_parent_env(copy), parent);
  EXPECT_EQ(num(get_env_symbol(copy, W(U"nJ9"), 0)), 99);
  EXPECT_EQ(get_default_env(copy), f);

  ZUISP_ENV* pair = set_listbase_env(get_listbase_env(new_env_pair(e, parent)), nullptr);
  ASSERT_EQ(get_env_kind(pair), ZU_ENV_PAIR);
  ZUISP_ENV *p1, *p2;
  get_env_pair(pair, &p1, &p2);
  EXPECT_EQ(p1, e);
  EXPECT_EQ(p2, parent);

  // Forms the core cannot use give null.
  EXPECT_EQ(set_listbase_env(List(S("zuisp-env"), ZU_LIST_END), nullptr), nullptr);
  EXPECT_EQ(set_listbase_env(List(S("zuisp-env"), List(S("type"), Str("odd"), ZU_LIST_END), ZU_LIST_END),
                             nullptr),
            nullptr);
  EXPECT_EQ(set_listbase_env(List(S("zuisp-env"), List(S("type"), Str("env"), ZU_LIST_END), ZU_LIST_END),
                             nullptr),
            nullptr);
  EXPECT_EQ(set_listbase_env(I(3), nullptr), nullptr);
}

TEST_F(Env, CyclesEndTheSearch) {
  ZUISP_ENV* a = new_env(nullptr);
  ZUISP_ENV* b = new_env(a);
  set_parent_env(a, b);
  ZUISP_ENV* p = new_env_pair(a, nullptr);
  set_parent_env(p, p);
  EXPECT_EQ(get_env_symbol(b, W(U"unbound-in-cycle"), -1), nullptr);
  EXPECT_EQ(get_env_symbol(p, W(U"unbound-in-cycle"), -1), nullptr);
  EXPECT_EQ(get_env_work(b), nullptr);
  gc_collect_now();  // marking must end too
}

TEST_F(Env, TopEnvironmentsSurviveCollections) {
  init_qnlisp_envs();
  ASSERT_EQ(get_parent_env(qnlisp_top_env1), qnlisp_top_env0);
  {
    GcFrame f("bind");
    set_env(qnlisp_top_env0, W(U"top-bound"), List(I(1), Str("kept"), ZU_LIST_END));
  }
  gc_collect_now();
  ZU_SEXP* v = get_env_symbol(qnlisp_top_env1, W(U"top-bound"), -1);
  ASSERT_EQ(list_length(v), 2);
  EXPECT_EQ(str_text(get_el(v, 1))[0], U'k');
  del_env(qnlisp_top_env1, W(U"top-bound"));
}

// A collection at every allocation: a name that was interned but that
// nothing refers to any more must survive being bound (the intern table
// forgets atoms nobody marks), through the first table, growth and rebinding.
TEST_F(Env, BindingsKeepOtherwiseUnreferencedNamesAcrossCollections) {
  ZUISP_ENV* e = new_env(nullptr);
  const char32_t* names[] = {U"orphan-a", U"orphan-b", U"orphan-c", U"orphan-d", U"orphan-e",
                             U"orphan-f", U"orphan-g", U"orphan-h", U"orphan-i", U"orphan-j",
                             U"orphan-k", U"orphan-l", U"orphan-m", U"orphan-n", U"orphan-o",
                             U"orphan-p", U"orphan-q", U"orphan-r"};
  {
    GcFrame f("orphans");
    for (const char32_t* n : names) get_symbol(W(n));
  }
  // Everything else is made first: the bindings themselves must be the
  // first allocations after the names lost their last reference.
  ZU_SEXP* values[std::size(names)];
  for (size_t k = 0; k < std::size(names); ++k) values[k] = I(static_cast<int64_t>(k));
  ZU_SEXP* hundred = I(100);
  ZUISP_ENV* pair = new_env_pair(new_env(nullptr), e);
  gc_set_collect_every(1);
  int i = 0;
  for (const char32_t* n : names) ASSERT_EQ(set_env(e, W(n), values[i++]), 0);
  set_env(pair, W(names[0]), hundred);
  del_env(pair, W(names[1]));
  gc_set_collect_every(0);
  gc_collect_now();
  i = 0;
  for (const char32_t* n : names) {
    ZU_SEXP* v = get_env_symbol(e, W(n), 0);
    if (i == 0) EXPECT_EQ(num(v), 100);
    else if (i == 1) EXPECT_EQ(v, nullptr);
    else EXPECT_EQ(num(v), i) << i;
    ++i;
  }
}
