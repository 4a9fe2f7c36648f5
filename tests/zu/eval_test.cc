#include <gtest/gtest.h>

#include <string>

#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zu_test_util.h"

namespace {

// A built-in that records what the evaluator handed it.
struct Seen {
  int calls = 0;
  ZU_SEXP* form = nullptr;
  ZU_SYM_FIELD* sf = nullptr;
  ZUISP_ENV* args_env = nullptr;
};
Seen seen;

ZU_SEXP* spy(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ++seen.calls;
  seen.form = form;
  seen.sf = sf;
  seen.args_env = args_env;
  return get_integer(seen.calls, nullptr);
}

ZU_SEXP* collect(ZUISP_ENV*, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  gc_collect_now();
  return I(1);
}

ZU_SEXP* Err(uint32_t code) { return get_error_ascii(nullptr, 0, code, "test", nullptr); }

ZU_SEXP* L(std::initializer_list<ZU_SEXP*> xs) {
  ZU_SEXP* r = nullptr;
  for (auto it = xs.end(); it != xs.begin();) r = cons(*--it, r);
  return r;
}

ZU_SEXP* With(const char* name, const char32_t* attr, const char32_t* value) {
  ZU_SEXP* s = S(name);
  set_attribute(s, W(attr), W(value));
  return s;
}

int64_t num(ZU_SEXP* v) { return get_type(v) == ZU_TYPE_INTEGER ? v->integer.num : -999; }

// Every case runs twice: as it stands, and with a collection at every
// allocation (param 1), so that a value the evaluator leaves unpinned, or a
// call environment handed back too early, is freed at once.
class Eval : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    init_qnlisp();
    stress = GetParam();
    seen = Seen{};
    env = new_env(qnlisp_top_env1);
    kw = new_env(nullptr);
    EXPECT_EQ(0, set_env(env, W(U"spy0"), get_func_prim(spy, 0, kw, 2, 3)));
    EXPECT_EQ(0, set_env(env, W(U"spy1"), get_func_prim(spy, 1, nullptr, 1, -1)));
    EXPECT_EQ(0, set_env(env, W(U"collect"), get_func_prim(collect, 1, nullptr, 1, 1)));
    gc_set_collect_every(stress);
  }
  void TearDown() override { gc_set_collect_every(0); }
  // Cases that run a very large number of allocations take part only
  // without the stress.
  bool heavy() const { return stress != 0; }
  ZuThreadScope scope{"eval test"};
  ZUISP_ENV* env = nullptr;
  ZUISP_ENV* kw = nullptr;
  uint32_t stress = 0;
};

TEST_P(Eval, CallingConventionOrdersLengthsAndErrorShortCircuit) {
  EXPECT_EQ(0, set_env(env, W(U"x"), I(5)));
  // Order 0: the form as written, the head's attributes and keywords.
  ZU_SEXP* head = With("spy0", U"mode", U"on");
  ZU_SEXP* form = L({head, S("x")});
  EXPECT_EQ(num(eval(env, form)), 1);
  EXPECT_EQ(seen.form, form);
  EXPECT_EQ(seen.args_env, kw);
  EXPECT_EQ(zu_wcmp_ascii(get_sf_attribute(seen.sf, W(U"mode")), "on"), 0);

  // Order 1: a new form whose head is the original symbol, arguments evaluated.
  ZU_SEXP* h1 = With("spy1", U"a", U"b");
  eval(env, L({h1, S("x"), L({S("spy1")})}));
  ASSERT_EQ(list_length(seen.form), 3);
  EXPECT_EQ(get_el(seen.form, 0), h1);
  EXPECT_EQ(num(get_el(seen.form, 1)), 5);
  EXPECT_EQ(num(get_el(seen.form, 2)), 2);  // the inner call ran first

  // Length checked before the call: minimum and maximum in the data.
  seen.calls = 0;
  ZU_SEXP* r = eval(env, L({S("spy0"), I(1), I(2), I(3)}));
  EXPECT_EQ(error_code(r), ZU_ER_LENGTH);
  EXPECT_EQ(num(get_el(r->error->data, 1)), 2);
  EXPECT_EQ(num(get_el(r->error->data, 2)), 3);
  EXPECT_EQ(zu_wcmp_ascii(r->error->func, "spy0"), 0);
  EXPECT_EQ(error_code(eval(env, cons(S("spy0"), I(1)))), ZU_ER_LENGTH);  // improper form
  EXPECT_EQ(seen.calls, 0);

  // The first error argument is the result; later arguments are not evaluated.
  ZU_SEXP* e = Err(0x80040503);
  r = eval(env, L({S("spy1"), I(1), e, L({S("spy1")})}));
  EXPECT_EQ(r, e);
  EXPECT_EQ(seen.calls, 0);
  r = eval(env, L({S("spy1"), S("unbound-name")}));
  EXPECT_EQ(error_code(r), ZU_ER_UNBOUND);
  EXPECT_EQ(seen.calls, 0);
}

TEST_P(Eval, HeadsAndSelfEvaluation) {
  ZU_SEXP* str = Str("s");
  EXPECT_EQ(eval(env, str), str);
  EXPECT_EQ(eval(env, nullptr), nullptr);
  ZU_SEXP* r = eval(env, S("nowhere"));
  EXPECT_EQ(error_code(r), ZU_ER_UNBOUND);
  EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(r->error->data, 0)), "nowhere"), 0);

  // A list headed by a number or string stands for itself.
  ZU_SEXP* data = L({Str("a"), I(5)});
  EXPECT_EQ(eval(env, data), data);
  // A head bound to something other than a function: "eval" says which.
  EXPECT_EQ(0, set_env(env, W(U"five"), I(5)));
  r = eval(env, L({S("five")}));
  EXPECT_EQ(error_code(r), ZU_ER_TYPE);
  EXPECT_EQ(zu_wcmp_ascii(r->error->func, "eval"), 0);
  ASSERT_EQ(list_length(r->error->data), 2);
  EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(r->error->data, 0)), "not a function"), 0);
  EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(r->error->data, 1)), "five"), 0);
  // A head that is a function value, or a list evaluating to one.
  EXPECT_EQ(num(eval(env, L({get_func_prim(spy, 1, nullptr, 1, 1)}))), 1);
  ZU_SEXP* mk = L({S("lambda"), nullptr, L({S("g"), S("a")}), S("a")});
  EXPECT_EQ(num(eval(env, L({mk, I(9)}))), 9);
}

TEST_P(Eval, LambdaScopeAttributesAndOrders) {
  // (define f () (g a) (list a __args_env id outer)): dynamic scope sees the
  // caller's `outer`; the call's attribute id becomes a string binding.
  eval(env, L({S("define"), S("f"), nullptr, L({S("g"), S("a")}),
               L({S("list"), S("a"), S("__args_env"), S("id"), S("outer")})}));
  ZUISP_ENV* caller = new_env(env);
  EXPECT_EQ(0, set_env(caller, W(U"outer"), I(3)));
  ZU_SEXP* r = eval(caller, L({With("f", U"id", U"7"), L({S("+"), I(1), I(1)})}));
  ASSERT_EQ(list_length(r), 4);
  EXPECT_EQ(num(get_el(r, 0)), 2);
  EXPECT_EQ(get_el(r, 1), nullptr);
  EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(r, 2)), "7"), 0);
  EXPECT_EQ(num(get_el(r, 3)), 3);
  // Nothing leaked into the caller.
  EXPECT_EQ(get_env_symbol(caller, W(U"a"), -1), nullptr);

  // A keyword environment reaches the body as __args_env.
  EXPECT_EQ(0, set_env(kw, W(U"k"), I(11)));
  eval(env, L({S("define"), S("fk"), get_env(kw), L({S("g")}), S("__args_env")}));
  r = eval(env, L({S("fk")}));
  ASSERT_EQ(get_type(r), ZU_TYPE_ENV);
  EXPECT_EQ(r->env, kw);

  // Order 2: (parameter value) pairs by name, missing ones nil, unknown ignored.
  ZU_SEXP* by_name = With("define", U"Order", U"ApplicativeElement");
  eval(env, L({by_name, S("fe"), nullptr, L({S("g"), S("a"), S("b")}), L({S("list"), S("a"), S("b")})}));
  r = eval(env, L({S("fe"), L({S("b"), L({S("+"), I(2), I(3)})}), L({S("zz"), I(1)})}));
  ASSERT_EQ(list_length(r), 2);
  EXPECT_EQ(get_el(r, 0), nullptr);
  EXPECT_EQ(num(get_el(r, 1)), 5);
  EXPECT_EQ(error_code(eval(env, L({S("fe"), I(1), I(2)}))), ZU_ER_TYPE);

  // Format errors name "lambda" and carry the whole form.
  ZU_SEXP* bad = L({S("lambda"), nullptr, L({S("g"), I(1)}), I(1)});
  r = eval(env, bad);
  EXPECT_EQ(error_code(r), ZU_ER_FORMAT);
  EXPECT_EQ(zu_wcmp_ascii(r->error->func, "lambda"), 0);
  EXPECT_EQ(get_el(r->error->data, 2), bad);
  // An empty parameter list makes a function no call form fits.
  eval(env, L({S("define"), S("never"), nullptr, nullptr, I(1)}));
  EXPECT_EQ(error_code(eval(env, L({S("never")}))), ZU_ER_LENGTH);
}

TEST_P(Eval, DefaultBindingServesUnboundHeads) {
  ZUISP_ENV* outer = new_env(env);
  ZUISP_ENV* inner = new_env(outer);
  eval(outer, L({S("define-default"), nullptr, L({S("h"), S("a")}), L({S("list"), S("a")})}));
  ZU_SEXP* r = eval(inner, L({S("anything"), L({S("a"), I(4)})}));
  ASSERT_EQ(list_length(r), 1);
  EXPECT_EQ(num(get_el(r, 0)), 4);
  // Bound names still win, and a pair finds the default in either member.
  EXPECT_EQ(num(eval(inner, L({S("spy1")}))), 1);
  ZUISP_ENV* pair = new_env_pair(new_env(nullptr), outer);
  EXPECT_EQ(get_type(eval(pair, L({S("other"), L({S("a"), I(1)})}))), ZU_TYPE_LIST);
  EXPECT_EQ(0, del_default_env(outer));
  EXPECT_EQ(error_code(eval(inner, L({S("anything")}))), ZU_ER_UNBOUND);
}

int hook_calls = 0;
ZU_SEXP* stop_hook(ZU_SEXP*) {
  ++hook_calls;
  return get_error_ascii(nullptr, 0, ZU_ER_EXIT, "break", nullptr);
}

TEST_P(Eval, BreakHookStopsEndlessLoops) {
  if (heavy()) GTEST_SKIP() << "loops until the clock's next second";
  set_break_check_hook(stop_hook);
  // One that calls functions and one that evaluates no call form at all.
  ZU_SEXP* r1 = eval(env, L({S("while"), I(1), L({S("+"), I(1), I(1)})}));
  ZU_SEXP* r2 = eval(env, L({S("while"), I(1), I(1)}));
  set_break_check_hook(nullptr);
  EXPECT_EQ(error_code(r1), ZU_ER_EXIT);
  EXPECT_EQ(error_code(r2), ZU_ER_EXIT);
  EXPECT_GE(hook_calls, 2);
}

TEST_P(Eval, TemplateStep) {
  EXPECT_EQ(0, set_env(env, W(U"x"), I(4)));
  ZU_SEXP* form = L({S("a"), S("^x"), L({S("$"), L({S("+"), S("x"), I(1)})}), L({S("b"), S("^x")}), S("^")});
  ZU_SEXP* r = qn_quote_trace(env, form, nullptr);
  ASSERT_EQ(list_length(r), 5);
  EXPECT_EQ(num(get_el(r, 1)), 4);
  EXPECT_EQ(num(get_el(r, 2)), 5);
  EXPECT_EQ(num(get_el(get_el(r, 3), 1)), 4);
  EXPECT_EQ(zu_wcmp_ascii(sym_name(get_el(r, 4)), "^"), 0);
  EXPECT_EQ(zu_wcmp_ascii(sym_name(get_el(form, 1)), "^x"), 0);  // the form is not changed
  EXPECT_EQ(qn_quote_trace(env, form, W(U"direct")), form);

  EXPECT_EQ(error_code(qn_quote_trace(env, L({S("^nope")}), W(U"normal"))), ZU_ER_UNBOUND);
  EXPECT_EQ(error_code(qn_quote_trace(env, L({L({S("$"), S("nope")})}), nullptr)), ZU_ER_UNBOUND);
  r = qn_quote_trace(env, form, W(U"other"));
  EXPECT_EQ(error_code(r), ZU_ER_PARAM);
  EXPECT_EQ(zu_wcmp_ascii(r->error->func, "quote"), 0);
  // quote applies it through its type attribute.
  r = eval(env, L({With("quote", U"type", U"normal"), L({S("^x")})}));
  EXPECT_EQ(num(get_el(r, 0)), 4);
}

TEST_P(Eval, RunawayRecursionIsAnErrorNotACrash) {
  if (heavy()) GTEST_SKIP() << "a collection per allocation at each of thousands of levels";
  eval(env, L({S("define"), S("down"), nullptr, L({S("g"), S("n")}), L({S("down"), L({S("+"), S("n"), I(1)})})}));
  EXPECT_EQ(error_code(eval(env, L({S("down"), I(0)}))), ZU_ER_EVAL_DEPTH);
}

TEST_P(Eval, ValuesSurviveCollectionsDuringEvaluation) {
  // Fresh values waiting in argument lists, a function that rebinds its own
  // name while running, and a loop's result, all across collections.
  eval(env, L({S("define"), S("self"), nullptr, L({S("g"), S("a")}),
               L({S("progn"), L({S("define"), S("self"), I(0)}), L({S("collect")}),
                  L({S("list"), S("a"), L({S("cons"), I(7), I(8)})})})}));
  ZU_SEXP* r = eval(env, L({S("list"), L({S("cons"), I(1), I(2)}), L({S("collect")}),
                            L({S("self"), L({S("cons"), I(3), I(4)})})}));
  gc_collect_now();
  ASSERT_EQ(list_length(r), 3);
  EXPECT_EQ(num(cdr(get_el(r, 0))), 2);
  ZU_SEXP* inner = get_el(r, 2);
  EXPECT_EQ(num(cdr(get_el(inner, 0))), 4);
  EXPECT_EQ(num(car(get_el(inner, 1))), 7);

  EXPECT_EQ(0, set_env(env, W(U"i"), I(0)));
  r = eval(env, L({S("while"), L({S("<"), S("i"), I(3)}),
                   L({S("set"), S("i"), L({S("+"), S("i"), I(1)})}), L({S("collect")}), L({S("list"), S("i")})}));
  EXPECT_EQ(num(get_el(r, 0)), 3);
}

// An argument rebinds the name of the built-in being called, so that only
// the call itself still holds the function value, and then collections run:
// the built-in called is still the one named, on either calling path.
TEST_P(Eval, ACalledBuiltinOutlivesTheRebindingOfItsName) {
  ZU_SEXP* car_fn = get_env_symbol(qnlisp_top_env0, W(U"car"), -1);
  ASSERT_EQ(get_type(car_fn), ZU_TYPE_FUNCTION);
  {
    GcFrame frame("bind");  // the bindings are the only references
    ZU_SEXP* first = get_func_prim(car_fn->func->prim, 1, nullptr, 2, 2);
    first->h.flags = car_fn->h.flags;  // its form on the stack
    EXPECT_EQ(0, set_env(env, W(U"first"), first));
    EXPECT_EQ(0, set_env(env, W(U"spy"), get_func_prim(spy, 1, kw, 1, -1)));
  }
  ZU_SEXP* f1 = L({S("first"), L({S("progn"), L({S("set"), S("first"), I(0)}), L({S("list"), I(7), I(8)})})});
  ZU_SEXP* f2 = L({S("spy"), L({S("set"), S("spy"), I(0)}), L({S("list"), I(1)})});
  gc_set_collect_every(1);
  ZU_SEXP* r1 = eval(env, f1);
  ZU_SEXP* r2 = eval(env, f2);
  gc_set_collect_every(stress);
  EXPECT_EQ(num(r1), 7);
  EXPECT_EQ(num(r2), 1);
  EXPECT_EQ(seen.args_env, kw);
}

// Every attribute of a lambda call's head is bound, however many there are;
// of two equal names the first wins.
TEST_P(Eval, ALambdaCallBindsAnyNumberOfAttributes) {
  if (heavy()) GTEST_SKIP() << "300000 attributes";
  eval(env, L({S("define"), S("f"), nullptr, L({S("g")}), L({S("list"), S("a7"), S("a299999")})}));
  ZU_SEXP* head = S("f");
  std::u32string name, value;
  for (int i = 0; i < 300000; ++i) {
    GcFrame frame("attr");
    std::string n = "a" + std::to_string(i);
    name.assign(n.begin(), n.end());
    value.assign(n.begin() + 1, n.end());
    set_attribute(head, W(name.c_str()), W(value.c_str()));
  }
  set_attribute(head, W(U"a7"), W(U"first"));
  ZU_SEXP* r = eval(env, L({head}));
  ASSERT_EQ(list_length(r), 2);
  EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(r, 0)), "first"), 0);
  EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(r, 1)), "299999"), 0);
}

// Lambda calls with a collection at every allocation: the call environment,
// the atoms and values it binds (keyword environment, attributes, pairs by
// name) and recursion results must all stay alive.
TEST_P(Eval, LambdaCallsWithACollectionAtEveryAllocation) {
  eval(env, L({S("define"), S("fib"), nullptr, L({S("g"), S("n")}),
               L({S("if"), L({S("<"), S("n"), I(2)}), S("n"),
                  L({S("+"), L({S("fib"), L({S("-"), S("n"), I(1)})}), L({S("fib"), L({S("-"), S("n"), I(2)})})})})}));
  eval(env, L({S("define"), S("fk"), get_env(kw), L({S("g"), S("a")}),
               L({S("list"), S("a"), S("__args_env"), S("tag-attr")})}));
  ZU_SEXP* by_name = With("define", U"Order", U"ApplicativeElement");
  eval(env, L({by_name, S("fe"), nullptr, L({S("g"), S("a"), S("b")}), L({S("list"), S("b"), S("a")})}));
  ZU_SEXP* fib = L({S("fib"), I(9)});
  ZU_SEXP* fk = L({With("fk", U"tag-attr", U"v"), L({S("cons"), I(1), I(2)})});
  ZU_SEXP* fe = L({S("fe"), L({S("b"), L({S("cons"), I(5), I(6)})}), L({S("a"), I(4)})});
  for (uint32_t every = 1; every <= 3; ++every) {
  gc_set_collect_every(every);
  ZU_SEXP* r1 = eval(env, fib);
  ZU_SEXP* r2 = eval(env, fk);
  ZU_SEXP* r3 = eval(env, fe);
  gc_set_collect_every(stress);
  gc_collect_now();
  EXPECT_EQ(num(r1), 34);
  ASSERT_EQ(list_length(r2), 3);
  EXPECT_EQ(num(cdr(get_el(r2, 0))), 2);
  ASSERT_EQ(get_type(get_el(r2, 1)), ZU_TYPE_ENV);
  EXPECT_EQ(get_el(r2, 1)->env, kw);
  EXPECT_EQ(zu_wcmp_ascii(str_text(get_el(r2, 2)), "v"), 0);
  ASSERT_EQ(list_length(r3), 2);
  EXPECT_EQ(num(car(get_el(r3, 0))), 5);
  EXPECT_EQ(num(get_el(r3, 1)), 4);
  }
}

// A built-in that keeps the environment it is called in, as a thread
// starter or a delayed evaluation does: here in a value it returns.
ZU_SEXP* keep_env(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) { return get_env(env); }

// Call environments are handed back when their call returns, unless
// something else may still reach them: a built-in given the environment of
// a call (or of a call below it) may keep it, and what it kept stays whole.
TEST_P(Eval, CallEnvironmentsAKeepingBuiltinSawOutliveTheirCalls) {
  EXPECT_EQ(0, set_env(env, W(U"keep"), get_func_prim(keep_env, 1, nullptr, 1, 1)));
  // inner keeps its own environment; outer's is above it and must stay too.
  eval(env, L({S("define"), S("inner"), nullptr, L({S("g"), S("b")}), L({S("keep")})}));
  eval(env, L({S("define"), S("outer"), nullptr, L({S("g"), S("a")}), L({S("inner"), L({S("+"), S("a"), I(1)})})}));
  ZU_SEXP* kept = eval(env, L({S("outer"), I(41)}));
  ASSERT_EQ(get_type(kept), ZU_TYPE_ENV);
  ZUISP_ENV* kept_env = kept->env;
  // Calls that reuse freed environments, and collections, in between.
  eval(env, L({S("define"), S("id"), nullptr, L({S("g"), S("x")}), S("x")}));
  for (int i = 0; i < 50; ++i) eval(env, L({S("id"), L({S("cons"), I(i), I(i)})}));
  gc_collect_now();
  EXPECT_EQ(num(get_env_symbol(kept_env, W(U"b"), 0)), 42);
  EXPECT_EQ(num(get_env_symbol(kept_env, W(U"a"), -1)), 41);
  EXPECT_EQ(num(eval(kept_env, S("a"))), 41);
}

// A call environment handed back leaves its address to the next call's:
// what a look-up found under the old one must not answer for the new one,
// which may stand below another caller.
TEST_P(Eval, LookupsInACallEnvironmentFollowItsOwnCaller) {
  // A second free name that falls on the same mark of remembered names as
  // v, looked up first: the look-up of v then finds the mark set.
  const uint32_t v_hash = intern_atom(W(U"v"), 1)->hash;
  std::u32string w;
  for (int i = 0; w.empty(); ++i) {
    std::string n = "w" + std::to_string(i);
    std::u32string c(n.begin(), n.end());
    if ((intern_atom(W(c.c_str()), c.size())->hash >> 27) == (v_hash >> 27)) w = c;
  }
  ZU_SEXP* w_sym = get_symbol(W(w.c_str()));
  EXPECT_EQ(0, set_env(env, W(w.c_str()), I(100)));
  eval(env, L({S("define"), S("get"), nullptr, L({S("g")}), L({S("+"), w_sym, S("v")})}));
  ZUISP_ENV* one = new_env(env);
  ZUISP_ENV* two = new_env(env);
  EXPECT_EQ(0, set_env(one, W(U"v"), I(1)));
  EXPECT_EQ(0, set_env(two, W(U"v"), I(20)));
  eval(env, L({S("define"), S("via"), nullptr, L({S("g"), S("v")}), L({S("get")})}));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(num(eval(one, L({S("get")}))), 101);
    EXPECT_EQ(num(eval(two, L({S("get")}))), 120);
    EXPECT_EQ(num(eval(one, L({S("via"), I(i)}))), 100 + i);  // a call in between, binding v itself
  }
}

INSTANTIATE_TEST_SUITE_P(Collections, Eval, ::testing::Values(0u, 1u),
                         [](const ::testing::TestParamInfo<uint32_t>& i) {
                           return i.param ? std::string("AtEveryAllocation") : std::string("AsTheyCome");
                         });

}  // namespace
