// Lists and elements: results, errors, inputs left unchanged, and the same
// results while the collector runs at almost every allocation.
#include <utility>
#include <vector>

#include "zulib_test_util.h"

namespace {

// The fixtures every case may use.
const char* kSetUp =
    "(define d (quote <doc a=\"1\"><item id=\"1\">a</item><item id=\"3\" k=\"x\">b</item>"
    "<sub><x>7</x><x>8</x></sub></doc>))\n"
    "(define h (quote ([b y=\"9\" z=\"3\"] 2)))\n"
    "(define items (quote (<p><n>1</n></p> 5 <p><n>2</n><m>x</m></p>)))\n";

const char* kDoc =
    "([doc a=\"1\"] ([item id=\"1\"] \"a\") ([item id=\"3\" k=\"x\"] \"b\") (sub (x 7) (x 8)))";

const std::vector<std::pair<const char*, const char*>> kCases = {
    {"(List)", "()"},
    {"(ListLength ())", "0"},
    {"(ListLength 5)", "-1"},
    {"(ListLength (cons 1 2))", "-1"},
    {"(Reverse (cons 1 (cons 2 3)))", "(2 1)"},
    {"(Reverse \"x\")", "()"},
    // Append: either side empty, a merge of two element heads, refusals.
    {"(Append () 5)", "5"},
    {"(Append (List 1) ())", "(1)"},
    {"(Append (quote ([a x=\"1\" y=\"2\"] 1)) h)", "([a z=\"3\" x=\"1\" y=\"9\"] 1 [b y=\"9\" z=\"3\"] 2)"},
    {"(Append (List 1) 5)", "error 80030806 \"Append\" ()"},
    {"(Append (cons 1 2) (List 3))", "error 80030806 \"Append\" ()"},
    // GetElement by position, by tag and attributes, by path (the qnmx
    // tests cover defaults).
    {"(GetElement d 0)", "[doc a=\"1\"]"},
    {"(GE d 4)", "()"},
    {"(GE d -1)", "error 80040503 \"GetElement\" \"parameter error\""},
    {"(GetElement d (quote item) \"id\" \"3\")", "([item id=\"3\" k=\"x\"] \"b\")"},
    {"(GetElement d (quote item) \"id\" \"3\" \"k\" \"y\")", "()"},
    {"(GetElement d (quote item) \"k\")", "([item id=\"1\"] \"a\")"},
    {"(GetElement d (quote item) \"id\" 3)", "error 80030806 \"GetElement\" \"type missmatch\""},
    {"(GetElement d \"item\")", "error 80030806 \"GetElement\" \"type missmatch\""},
    {"(GetElement 5 0)", "error 80030806 \"GetElement\" \"type missmatch\""},
    {"(GetElement () 0)", "()"},
    {"(GetElement (cons 1 2) 0)", "2"},
    {"(GetElement path=\"sub/x'2\" el=\"1\" d)", "8"},
    {"(GetElement path=\"sub/x'2\" el=\"5\" d)", "()"},
    {"(GetElement path=\"'2\" d)", "([item id=\"3\" k=\"x\"] \"b\")"},
    {"(GetElement path=\"sub/y\" d)", "error 8004070e \"get_el_c\" \"no object\""},
    // Sizes and tags.
    {"(GetSize (List 1 2.0 \"ab\"))", "18"},
    {"(GetSize (List (quote abc) (cons 1 2) Env0))", "19"},
    {"(GetTag (GetElement d 0))", "doc"},
    {"(GetTag 5)", "error 80030806 \"GetTag\" (\"type missmatch\")"},
    // EA and SetEA with names made from values.
    {"(SetEA () \"k\" 5)", "()"},
    {"(SetEA Env0 3km 7)", "()"},
    {"(EA Env0 3km)", "7"},
    {"(EA () \"no-such-name\")", "error 80030705 \"eval\" (\"no-such-name\")"},
    {"(EA () \"no-such-name\" 0)", "0"},
    {"(EA 5 \"k\")", "error 80030806 \"EA\" ()"},
    {"(SetEA () (List) 1)", "error 80030806 \"SetEA\" ()"},
    // EE binds children as variables.
    {"(EE target=\"d\" (List tag item sub))", "([doc a=\"1\"] \"b\" ((x 7) (x 8)))"},
    {"(EE target=\"^d\" raw.mode.tag=\"x,item\" (List item))", "((\"b\"))"},
    {"(EE target=\"items\" mode=\"list\" (List n (IfUnbound)))", "error 80030705 \"eval\" (\"IfUnbound\")"},
    {"(EE target=\"items\" mode=\"list\" n)", "(1 2)"},
    {"(EE (List 1))", "error 80040503 \"EE\" \"invalid parameter(Attribute target required)\""},
    {"(EE target=\"k\" 1)", "error 80030806 \"EE\" ()"},
    // MakeElement edits a copy.
    {"(MakeElement d (InsertAfter (quote item) (List (quote new))) (Delete (quote sub)))",
     "([doc a=\"1\"] ([item id=\"1\"] \"a\") (new) ([item id=\"3\" k=\"x\"] \"b\"))"},
    {"(MakeElement d (InsertBefore (quote sub) 0))",
     "([doc a=\"1\"] ([item id=\"1\"] \"a\") ([item id=\"3\" k=\"x\"] \"b\") 0 (sub (x 7) (x 8)))"},
    {"(MakeElement (List 1) (InsertAfter (quote none) 2) (InsertBefore (quote none) 3))", "(1 2 3)"},
    {"(MakeElement d (Delete (quote item)))", "([doc a=\"1\"] (sub (x 7) (x 8)))"},
    {"(MakeElement () (InsertAfter (quote a) 1))", "(1)"},
    {"(MakeElement 5 (Delete (quote a)))", "error 80030806 \"MakeElement\" \"type missmatch\""},
    {"(MakeElement d 5)", "error 80040503 \"MakeElement\" \"(Insert/Delete element is required)\""},
    {"(MakeElement d (5))", "error 80040503 \"MakeElement\" \"(Insert/Delete element is required(symbol))\""},
    {"(MakeElement d (Insert 1 2))", "error 80040503 \"MakeElement\" \"(Invalid tag\""},
    {"(MakeElement d (InsertAfter (quote a)))",
     "error 80030502 \"MakeElement/InsertAfter\" \"invalid parameter length\""},
    {"(MakeElement d (InsertBefore 1 2))", "error 80030806 \"MakeElement/InsertBefore\" \"type missmatch\""},
    {"(MakeElement d (Delete (quote a) 1))", "error 80030502 \"MakeElement/Delete\" \"invalid parameter length\""},
    {"(MakeElement (List (car 1)) (Delete (quote a)))", "error 80030806 \"car\" (\"type missmatch\")"},
};

class Lists : public ::testing::Test {
 protected:
  void SetUp() override {
    init_library_once();
    env_ = new_env(qnlisp_top_env1);
    gc_set_nl(env_, gc_qnlisp_env);
    ASSERT_NE(get_type(eval_text(env_, kSetUp)), ZU_TYPE_ERROR);
  }
  // Runs every case; the fixtures must read the same after each one.
  void run_all() {
    for (const auto& [form, want] : kCases) {
      EXPECT_EQ(run(env_, form), want) << form;
      EXPECT_EQ(run(env_, "d"), kDoc) << "after " << form;
      EXPECT_EQ(run(env_, "h"), "([b y=\"9\" z=\"3\"] 2)") << "after " << form;
    }
  }
  ZuThreadScope scope_{"lists test"};
  ZUISP_ENV* env_ = nullptr;
};

}  // namespace

TEST_F(Lists, ResultsErrorsAndUnchangedInputs) { run_all(); }

TEST_F(Lists, SameWhileCollectingConstantly) {
  gc_set_collect_every(3);
  run_all();
  gc_set_collect_every(0);
}
