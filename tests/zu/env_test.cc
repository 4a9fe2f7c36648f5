#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <thread>

#include "base/lock.h"
#include "zu/env.h"
#include "zu/peer.h"
#include "zu/peer_account.h"
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
  EXPECT_EQ(0, set_env(root, W(U"x"), I(1)));
  EXPECT_EQ(0, set_env(leaf, W(U"x"), I(3)));
  EXPECT_EQ(0, set_env(root, W(U"only-root"), I(10)));

  EXPECT_EQ(num(get_env_symbol(leaf, W(U"x"), -1)), 3);
  EXPECT_EQ(num(get_env_symbol(mid, W(U"x"), -1)), 1);
  EXPECT_EQ(num(get_env_symbol(leaf, W(U"only-root"), 2)), 10);
  EXPECT_EQ(get_env_symbol(leaf, W(U"only-root"), 1), nullptr);
  EXPECT_EQ(get_env_symbol(leaf, W(U"never-bound-anywhere"), -1), nullptr);

  // A binding to the empty list is a binding.
  EXPECT_EQ(0, set_env(mid, W(U"nil-bound"), nullptr));
  ZU_SEXP* v = I(5);
  EXPECT_EQ(lookup_env_atom(leaf, find_atom(W(U"nil-bound")), -1, &v), 1);
  EXPECT_EQ(v, nullptr);

  // set_op changes the nearest binding only and refuses unbound names.
  EXPECT_EQ(set_op(leaf, S("x"), I(4)), 0);
  EXPECT_EQ(num(get_env_symbol(root, W(U"x"), 0)), 1);
  EXPECT_EQ(set_op(leaf, S("nowhere-bound"), I(4)), -1);
  EXPECT_EQ(get_env_symbol(leaf, W(U"nowhere-bound"), -1), nullptr);

  EXPECT_EQ(0, del_env(leaf, W(U"x")));
  EXPECT_EQ(num(get_env_symbol(leaf, W(U"x"), -1)), 1);
  EXPECT_EQ(0, del_env(leaf, W(U"x")));
  EXPECT_EQ(get_env_symbol(leaf, W(U"x"), -1), nullptr);
  EXPECT_EQ(0, del_env(leaf, W(U"x")));  // bound nowhere: nothing happens

  // Detaching a parent hides its bindings.
  EXPECT_EQ(0, set_parent_env(mid, nullptr));
  EXPECT_EQ(get_env_symbol(leaf, W(U"only-root"), -1), nullptr);
}

TEST_F(Env, PairsSearchFirstThenSecondAndWriteIntoSecond) {
  ZUISP_ENV* kw = new_env(nullptr);
  ZUISP_ENV* caller_parent = new_env(nullptr);
  ZUISP_ENV* caller = new_env(caller_parent);
  ZUISP_ENV* pair = new_env_pair(kw, caller);
  EXPECT_EQ(0, set_env(kw, W(U"k"), I(1)));
  EXPECT_EQ(0, set_env(caller_parent, W(U"k"), I(2)));
  EXPECT_EQ(0, set_env(caller_parent, W(U"p"), I(3)));
  EXPECT_EQ(num(get_env_symbol(pair, W(U"k"), -1)), 1);
  EXPECT_EQ(num(get_env_symbol(pair, W(U"p"), -1)), 3);
  // Both members sit one level below the pair.
  EXPECT_EQ(num(get_env_symbol(pair, W(U"k"), 1)), 1);
  EXPECT_EQ(get_env_symbol(pair, W(U"p"), 1), nullptr);
  EXPECT_EQ(num(get_env_symbol(pair, W(U"p"), 2)), 3);

  // A definition lands in the second member (through nested pairs too).
  EXPECT_EQ(0, set_env(pair, W(U"defined"), I(7)));
  EXPECT_EQ(num(get_env_symbol(caller, W(U"defined"), 0)), 7);
  EXPECT_EQ(get_env_symbol(kw, W(U"defined"), -1), nullptr);
  ZUISP_ENV* outer = new_env_pair(new_env(nullptr), pair);
  EXPECT_EQ(0, set_env(outer, W(U"deeper"), I(8)));
  EXPECT_EQ(num(get_env_symbol(caller, W(U"deeper"), 0)), 8);

  // set_op and del_env search the first member's chain before the second's.
  EXPECT_EQ(0, set_env(caller, W(U"k"), I(9)));
  EXPECT_EQ(set_op(pair, S("k"), I(11)), 0);
  EXPECT_EQ(num(get_env_symbol(kw, W(U"k"), 0)), 11);
  EXPECT_EQ(num(get_env_symbol(caller, W(U"k"), 0)), 9);
  EXPECT_EQ(0, del_env(pair, W(U"k")));
  EXPECT_EQ(num(get_env_symbol(pair, W(U"k"), -1)), 9);

  // Replacing a pair's "parent" replaces its first member.
  EXPECT_EQ(0, set_parent_env(pair, nullptr));
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
  EXPECT_EQ(0, set_default_env(pair, f1));  // lands in b
  EXPECT_EQ(0, set_default_env(c, f2));
  EXPECT_EQ(get_default_env(b), f1);
  EXPECT_EQ(get_default_env(pair), f2);
  EXPECT_EQ(0, del_default_env(pair));  // clears both members
  EXPECT_EQ(get_default_env(pair), nullptr);

  int tok1 = 0, tok2 = 0;
  set_env_work(a, &tok1);
  EXPECT_EQ(get_env_work(pair), &tok1);
  set_env_work(c, &tok2);
  EXPECT_EQ(get_env_work(pair), &tok2);
  auto* u = reinterpret_cast<UNIT_ENV*>(&tok1);
  EXPECT_EQ(get_uenv(b), nullptr);
  EXPECT_EQ(0, set_uenv(a, u));
  EXPECT_EQ(get_uenv(pair), u);
}

TEST_F(Env, ListFormRoundTrip) {
  ZUISP_ENV* parent = new_env(nullptr);
  ZUISP_ENV* e = new_env(parent);
  for (int i = 0; i < 100; ++i) {  // enough to grow the table
    L_CHAR name[] = {'n', static_cast<L_CHAR>('A' + i / 10), static_cast<L_CHAR>('0' + i % 10), 0};
    EXPECT_EQ(0, set_env(e, name, I(i)));
  }
  ZU_SEXP* f = get_func_prim(nullptr, 1, nullptr, 1, 1);
  EXPECT_EQ(0, set_default_env(e, f));
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
  EXPECT_EQ(0, set_parent_env(a, b));
  ZUISP_ENV* p = new_env_pair(a, nullptr);
  EXPECT_EQ(0, set_parent_env(p, p));
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
    EXPECT_EQ(0, set_env(qnlisp_top_env0, W(U"top-bound"), List(I(1), Str("kept"), ZU_LIST_END)));
  }
  gc_collect_now();
  ZU_SEXP* v = get_env_symbol(qnlisp_top_env1, W(U"top-bound"), -1);
  ASSERT_EQ(list_length(v), 2);
  EXPECT_EQ(str_text(get_el(v, 1))[0], U'k');
  EXPECT_EQ(0, del_env(qnlisp_top_env1, W(U"top-bound")));
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
  EXPECT_EQ(0, set_env(pair, W(names[0]), hundred));
  EXPECT_EQ(0, del_env(pair, W(names[1])));
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

namespace {

// The value of a name seen from e, asked twice so that the second answer
// can come from what the first search remembered.
int64_t look(ZUISP_ENV* e, const char32_t* name) {
  get_env_symbol(e, W(name), -1);
  return num(get_env_symbol(e, W(name), -1));
}

}  // namespace

// Repeated look-ups are answered from remembered results; every change of
// the search path must still show at once.
TEST_F(Env, RepeatedLookupsSeeEveryLaterChange) {
  ZUISP_ENV* root = new_env(nullptr);
  ZUISP_ENV* mid = new_env(root);
  ZUISP_ENV* leaf = new_env(mid);
  ZUISP_ENV* call = new_env(leaf);
  ZU_SEXP* p = S("p");
  bind_private_env(call, p->symbol.atom, I(0));
  EXPECT_EQ(look(call, U"p"), 0);
  EXPECT_EQ(look(call, U"x"), -999);
  EXPECT_EQ(0, set_env(root, W(U"x"), I(1)));
  EXPECT_EQ(look(call, U"x"), 1);
  EXPECT_EQ(0, set_env(mid, W(U"x"), I(2)));  // a nearer binding appears
  EXPECT_EQ(look(call, U"x"), 2);
  // Enough names that leaf needs a table, regrown on the way.
  for (int i = 0; i < 40; ++i) {
    L_CHAR n[] = {'f', 'i', 'l', 'l', static_cast<L_CHAR>('0' + i / 10), static_cast<L_CHAR>('0' + i % 10), 0};
    EXPECT_EQ(0, set_env(leaf, n, I(i)));
    if (i == 10) {
      EXPECT_EQ(look(call, U"fill05"), 5);
    }
  }
  EXPECT_EQ(look(call, U"fill05"), 5);
  EXPECT_EQ(0, set_env(leaf, W(U"x"), I(3)));
  EXPECT_EQ(look(call, U"x"), 3);
  EXPECT_EQ(set_op(call, S("x"), I(30)), 0);  // a table entry
  EXPECT_EQ(look(call, U"x"), 30);
  EXPECT_EQ(0, set_env(leaf, W(U"fill39"), I(-1)));  // rebinding
  EXPECT_EQ(look(call, U"fill39"), -1);
  EXPECT_EQ(0, del_env(call, W(U"x")));
  EXPECT_EQ(look(call, U"x"), 2);
  EXPECT_EQ(set_op(call, S("x"), I(20)), 0);  // a slot
  EXPECT_EQ(look(call, U"x"), 20);
  EXPECT_EQ(num(get_env_symbol(root, W(U"x"), 0)), 1);
  EXPECT_EQ(0, del_env(call, W(U"x")));
  EXPECT_EQ(look(call, U"x"), 1);

  // Rewiring: a new parent, and pairs whose members change.
  ZUISP_ENV* other = new_env(nullptr);
  EXPECT_EQ(0, set_env(other, W(U"x"), I(9)));
  EXPECT_EQ(0, set_parent_env(mid, other));
  EXPECT_EQ(look(call, U"x"), 9);
  ZUISP_ENV* kw = new_env(nullptr);
  ZUISP_ENV* pair = new_env_pair(kw, mid);
  ZUISP_ENV* under = new_env(pair);
  EXPECT_EQ(look(under, U"x"), 9);
  EXPECT_EQ(look(pair, U"x"), 9);
  EXPECT_EQ(0, set_env(kw, W(U"x"), I(7)));
  EXPECT_EQ(look(under, U"x"), 7);
  EXPECT_EQ(look(pair, U"x"), 7);
  EXPECT_EQ(0, set_parent_env(pair, nullptr));  // the first member goes
  EXPECT_EQ(look(under, U"x"), 9);
  EXPECT_EQ(0, set_env(other, W(U"late"), I(5)));
  EXPECT_EQ(look(under, U"late"), 5);
  // A binding made in an environment after it became a parent.
  EXPECT_EQ(0, set_env(call, W(U"late"), I(6)));
  ZUISP_ENV* callee = new_env(call);
  EXPECT_EQ(look(callee, U"late"), 6);
  EXPECT_EQ(0, set_env(call, W(U"later"), I(8)));
  EXPECT_EQ(look(callee, U"later"), 8);
}

// A collection frees environments and hands their addresses to new ones
// with other parents: nothing remembered about the old ones may answer.
TEST_F(Env, RememberedLookupsDoNotOutliveTheirEnvironments) {
  ZUISP_ENV* a = new_env(nullptr);
  ZUISP_ENV* b = new_env(nullptr);
  EXPECT_EQ(0, set_env(a, W(U"reused"), I(1)));
  EXPECT_EQ(0, set_env(b, W(U"reused"), I(2)));
  for (int round = 0; round < 4; ++round) {
    {
      GcFrame f("old");
      for (int k = 0; k < 300; ++k) look(new_env(round % 2 ? b : a), U"reused");
    }
    gc_collect_now();
    GcFrame f("new");
    int wrong = 0;
    for (int k = 0; k < 300; ++k) wrong += look(new_env(round % 2 ? a : b), U"reused") != (round % 2 ? 1 : 2);
    EXPECT_EQ(wrong, 0) << round;
  }
}

// One thread adds and removes a binding in the middle of a chain while
// another keeps looking the name up from below: every answer is one of the
// two states, and once the writer is done the reader sees its last change.
TEST_F(Env, LookupsFollowChangesMadeByOtherThreads) {
  ZUISP_ENV* root = new_env(nullptr);
  ZUISP_ENV* mid = new_env(root);
  EXPECT_EQ(0, set_env(root, W(U"shared-x"), I(1)));
  std::atomic<int> phase{0};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    ZuThreadScope s("reader");
    ZUISP_ENV* below = new_env(new_env(mid));
    look(below, U"shared-x");
    phase = 1;
    int seen_phase = -1;
    while (seen_phase < 2) {
      seen_phase = phase.load();
      int64_t v = look(below, U"shared-x");
      if (v != 1 && v != 2) ++bad;
      if (seen_phase == 2 && v != 2) ++bad;
    }
  });
  while (phase.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(0, set_env(mid, W(U"shared-x"), I(2)));
    EXPECT_EQ(0, del_env(mid, W(U"shared-x")));
    if (i % 100 == 0) gc_safepoint();
  }
  EXPECT_EQ(0, set_env(mid, W(U"shared-x"), I(2)));
  phase = 2;
  {
    BlockingRegion outside;
    reader.join();
  }
  EXPECT_EQ(bad.load(), 0);
}

std::atomic<int> collections_begun{0};
void count_collection() { ++collections_begun; }

// An assignment whose value the caller only found (nothing pins it) waits
// for the environment lock while the holder, having removed the binding the
// value came from, collects: the value assigned must survive.
TEST_F(Env, AssignmentKeepsItsValueAcrossTheWaitForTheLock) {
  ZUISP_ENV* e = new_env(nullptr);
  // Enough names that y is bound in the table, which set_op changes only
  // under the lock.
  for (int i = 0; i < 8; ++i) {
    std::u32string n = U"n" + std::u32string(1, static_cast<char32_t>('A' + i));
    EXPECT_EQ(0, set_env(e, W(n.c_str()), nullptr));
  }
  EXPECT_EQ(0, set_env(e, W(U"y"), nullptr));
  ZU_SEXP* y = S("y");
  ZU_ATOM* x = intern_atom(W(U"x"), 1);
  ZU_ATOM* z = intern_atom(W(U"z"), 1);
  {
    GcFrame f("x");
    EXPECT_EQ(0, set_env_atom(e, x, I(42)));
  }
  static const GC_HOOKS hooks{count_collection, gc_default_mark, gc_default_sp, nullptr, nullptr};
  gc_set_hooks(&hooks);
  std::atomic<bool> go{false};
  std::thread holder([&] {
    ZuThreadScope s("holder");
    {
      BlockingRegion br;
      while (!go.load()) std::this_thread::yield();
    }
    EXPECT_EQ(0, del_env_atom(e, x));
    int before = collections_begun.load();
    gc_set_collect_every(1);  // the new binding's entry collects under the lock
    EXPECT_EQ(0, set_env_atom(e, z, nullptr));
    gc_set_collect_every(0);
    EXPECT_GT(collections_begun.load(), before);
  });
  ZU_SEXP* v = nullptr;
  ASSERT_EQ(lookup_env_atom(e, x, -1, &v), 1);
  int before = collections_begun.load();
  go.store(true);
  while (collections_begun.load() == before) std::this_thread::yield();  // no safe point here
  EXPECT_EQ(set_op(e, y, v), 0);
  {
    BlockingRegion br;
    holder.join();
  }
  gc_set_hooks(nullptr);
  gc_collect_now();
  ZU_SEXP* now = get_env_symbol(e, W(U"y"), 0);
  ASSERT_EQ(get_type(now), ZU_TYPE_INTEGER);
  EXPECT_EQ(now->integer.num, 42);
}

// A call environment binds its parameters as whoever made it, also where
// others may reach it already (one with a child, a pair around it): in one
// a peer made, the binding is the peer's, never the agent's, so that no
// name the agent reads its settings from is bound there as the agent's.
TEST_F(Env, PrivateBindingsAreTheMakersWhereverOthersReachThem) {
  struct Case {
    bool peer_made, watched, pair;
  } const cases[] = {{true, false, false}, {true, true, false},  {true, false, true},
                     {false, false, false}, {false, true, false}, {false, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.peer_made << c.watched << c.pair);
    ZUISP_ENV* e;
    {
      EvalOriginScope maker(c.peer_made ? peer_origin(0x7F000002, 5) : kAgentOrigin);
      e = new_env(nullptr);
    }
    gc_set_nl(e, gc_qnlisp_env);
    if (c.watched) gc_set_nl(new_env(e), gc_qnlisp_env);
    ZUISP_ENV* target = c.pair ? new_env_pair(nullptr, e) : e;
    gc_set_nl(target, gc_qnlisp_env);
    bind_private_env(target, get_symbol_ascii("LockPort")->symbol.atom, get_integer(7, nullptr));
    EXPECT_EQ(num(get_env_symbol(e, W(U"LockPort"), 0)), 7);
    EXPECT_EQ(agent_setting(e, "LockPort") != nullptr, !c.peer_made);
  }
}

// A peer's removal of default bindings it may not touch is refused with the
// reason of the environment that kept one.
TEST_F(Env, RemovingDefaultsItMayNotTouchTellsAPeerWhy) {
  struct Case {
    bool peer_made, sealed;
    const char* why;
  } const cases[] = {{true, false, "a binding of another peer, refused to this one"},
                     {false, true, "a built-in's own environment, which nothing writes"},
                     {false, false, "a binding of this agent, refused to a peer"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ZUISP_ENV* e;
    {
      EvalOriginScope maker(c.peer_made ? peer_origin(0x7F000002, 5) : kAgentOrigin);
      e = new_env(nullptr);
      gc_set_nl(e, gc_qnlisp_env);
      ASSERT_EQ(0, set_default_env(e, get_integer(1, nullptr)));
    }
    if (c.sealed) seal_env(e);
    EvalOriginScope other(peer_origin(0x7F000003, 6));
    EXPECT_EQ(kEnvRefused, del_default_env(e));
    EXPECT_STREQ(env_refusal_why(), c.why);
    EXPECT_NE(get_default_env(e), nullptr);
  }
}

// A peer changing its own binding races the agent taking the binding over,
// removing it and the peer binding it again: a change refused under the
// lock gives its charge back, so what its address is charged is exactly
// what its bindings made cost, the refused ones nothing.
TEST_F(Env, APeersRefusedChangeCostsItsAddressNothing) {
  constexpr int kIp = 0x7F000009;
  constexpr uint32_t kLink = 5;
  ZUISP_ENV* e = new_env(nullptr);
  gc_set_nl(e, gc_qnlisp_env);
  ZU_ATOM* x = intern_atom(W(U"x"), 1);
  ZU_SEXP* v = Str("a value its binder pays for, bound again and again");
  gc_set_nl(v, gc_qn_sexp);
  const EVAL_ORIGIN peer = peer_origin(kIp, kLink);
  int64_t cost = 0;
  {
    EvalOriginScope as_peer(peer);
    const int64_t before = account_held(kIp, PEER_HOLD::kBound);
    ASSERT_EQ(0, set_env_atom(e, x, v));
    cost = account_held(kIp, PEER_HOLD::kBound) - before;
  }
  ASSERT_GT(cost, 0);
  bool exact = false;
  for (int round = 0; round < 5 && !exact; ++round) {  // a collection counts afresh: try again
    const uint64_t collections = gc_collections_done();
    const int64_t start = account_held(kIp, PEER_HOLD::kBound);
    std::atomic<bool> stop{false};
    int rebound = 0;
    std::thread agent([&] {
      ZuThreadScope s("agent");
      while (!stop.load()) {
        EXPECT_EQ(0, set_env_atom(e, x, v));
        EXPECT_EQ(0, del_env_atom(e, x));
        EvalOriginScope as_peer(peer);
        if (set_env_atom(e, x, v) == 0) ++rebound;
      }
    });
    int changed = 0;
    {
      EvalOriginScope as_peer(peer);
      for (int i = 0; i < 20000; ++i)
        if (set_op(e, S("x"), v) == 0) ++changed;
    }
    stop.store(true);
    {
      BlockingRegion br;
      agent.join();
    }
    if (gc_collections_done() != collections) continue;
    exact = true;
    EXPECT_EQ(account_held(kIp, PEER_HOLD::kBound) - start, (changed + rebound) * cost);
  }
  EXPECT_TRUE(exact);
}
