// Print, Parse, PrintStd and its descriptors, PrintChain, SetResultFormat
// and the header forms, through the library as scripts call them.
#include <fcntl.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "runtime/services.h"
#include "support/temp_dir.h"
#include "zulib/printing_impl.h"
#include "zulib_test_util.h"

namespace {

// The text of a string result, or the result as a reply shows it.
std::string text_of(ZU_SEXP* v) {
  if (get_type(v) != ZU_TYPE_STRING) return "not a string: " + shown(v);
  std::string r;
  for (const L_CHAR* p = str_text(v); *p; ++p) r.push_back(static_cast<char>(*p));
  return r;
}

// Points a standard stream at a string stream for the scope's lifetime.
class Captured {
 public:
  explicit Captured(STREAM** slot) : slot_(slot), saved_(*slot), st_(s_open_string_write(utf8_cm)) { *slot = st_; }
  ~Captured() {
    *slot_ = saved_;
    d_s_close(st_);
  }
  std::string text() { return s_get_string(st_); }

 private:
  STREAM** slot_;
  STREAM* saved_;
  STREAM* st_;
};

class Printing : public ::testing::Test {
 protected:
  void SetUp() override {
    init_library_once();
    env_ = new_env(qnlisp_top_env1);
    gc_set_nl(env_, gc_qnlisp_env);
  }
  std::string print(const std::string& form) { return text_of(eval_text(env_, form)); }
  ZuThreadScope scope_{"printing test"};
  ZUISP_ENV* env_ = nullptr;
};

}  // namespace

TEST_F(Printing, PrintHasItsOwnTexts) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"(Print (quote (a . b)))", "(a .b)"},
      {"(Print ())", "()"},
      {"(Print (quote (1 (2 \"x\") [s a=\"1\" b=\"two\"])))", "(1 (2 \"x\") [s a=\"1\" b=\"two\"])"},
      // Line ends become \n, each on its own; quotes are not escaped.
      {"(Print \"a\\r\\nb\\\"c\")", "\"a\\n\\nb\"c\""},
      {"(Print 12km)", "12km"},
      {"(Print (List -3 2.5s))", "(-3 2.500000s)"},
  };
  for (const auto& [form, want] : cases) EXPECT_EQ(print(form), want) << form;
  EXPECT_EQ(print("(Print car)").rfind("[prim:0x", 0), 0u);
  EXPECT_EQ(print("(Print (lambda () (f x) x))").rfind("[lambda:0x", 0), 0u);
  EXPECT_EQ(run(env_, "(Print (car 1))"), "error 80030806 \"car\" (\"type missmatch\")");
}

TEST_F(Printing, ParseReadsFormsWithoutEvaluating) {
  EXPECT_EQ(run(env_, "(Parse \"(a b) c\")"), "((a b) c)");
  EXPECT_EQ(run(env_, "(Parse \"(car 1) <t k=\\\"v\\\">7</t>\")"), "((car 1) ([t k=\"v\"] 7))");
  EXPECT_EQ(run(env_, "(Parse \"\")"), "()");
  // Every character reaches the reader as it was.
  EXPECT_EQ(text_of(eval_text(env_, "(car (Parse \"\\\"\xe6\x97\xa5\\\"\"))")), text_of(eval_text(env_, "\"\xe6\x97\xa5\"")));
  EXPECT_EQ(run(env_, "(Parse 5)"), "error 80030806 \"Parse\" \"type missmatch\"");
}

// A read refused for memory in the middle of a form gives the source's
// turn back and ends the source: the next reader of the list finds its end
// (it once waited for that turn for good).
TEST_F(Printing, AParseCutOffByARefusalEnds) {
  bind_agent(env_, "text", get_string_ascii(("(a) \"" + std::string(4 << 20, 'x') + "\" (b)").c_str()));
  run(env_, "(define l (Parse text))");
  gc_collect_now();
  gc_set_heap_budget(48 << 20);
  GC_SHARE share;  // a peer's quarter, which the 16 MiB string passes
  GC_SHARE* outer = gc_attach_share(&share);
  EXPECT_EQ(run(env_, "(ListLength l)"), "error 80030507 \"ListLength\" (\"memory\")");
  EXPECT_EQ(run(env_, "(ListLength l)"), "1");
  gc_attach_share(outer);
  gc_set_heap_budget(0);
}

TEST_F(Printing, PrintStdOptionsAndTargets) {
  {
    Captured out(&s_stdout);
    eval_text(env_, "(PrintStd \"s\") (PrintStd d=\"stdout\" \"bare\") (PrintStd option=\"xml:indent\" 1)");
    EXPECT_EQ(out.text(), "\"s\"\nbare1\n");
  }
  EXPECT_EQ(run(env_, "(PrintStd option=\"xml;indent\" 1)"),
            "error 80040503 \"Printstd\" (\"invalid parameter (option)\")");
  EXPECT_EQ(run(env_, "(PrintStd option=\"lisp:\" 1)"), "error 80040503 \"Printstd\" (\"invalid parameter (option)\")");
  TempDir dir("printstd");
  std::string f = dir.at("one.txt");
  EXPECT_EQ(run(env_, "(PrintStd file=\"" + f + "\" (List \"a\" 2))"), "()");
  EXPECT_EQ(file_text(f), "(\"a\" 2)\n");
  EXPECT_EQ(run(env_, "(PrintStd file=\"" + dir.at("no/such") + "\" 1)"),
            "error 80040a06 \"Printstd\" (\"cannot open the file\" \"" + dir.at("no/such") +
                "\" \"No such file or directory\")");
}

TEST_F(Printing, DescriptorsNumberFromTheLargestOpenOne) {
  TempDir dir("descriptors");
  auto open = [&](const std::string& name, const std::string& attrs = "") {
    return run(env_, "(openPrintStd " + attrs + " \"" + dir.at(name) + "\")");
  };
  EXPECT_EQ(open("a"), "1");
  EXPECT_EQ(open("b", "encoding=\"EUC-JP\""), "2");
  EXPECT_EQ(run(env_, "(closePrintStd d=\"1\")"), "()");
  EXPECT_EQ(open("c"), "3");
  EXPECT_EQ(run(env_, "(PrintStd d=\"3\" \"text\") (PrintStd d=\"3\" (List 1)) (PrintStd d=\"2\" \"\xe6\x97\xa5\")"), "()");
  EXPECT_EQ(run(env_, "(PrintStd d=\"1\" 1)"), "error 8004070e \"Printstd\" (\"no stream descripter (attribute d)\")");
  EXPECT_EQ(run(env_, "(closePrintStd d=\"1\")"),
            "error 8004070e \"closePrintstd\" (\"no stream descripter (attribute d)\")");
  EXPECT_EQ(run(env_, "(closePrintStd)"), "error 80040503 \"closePrintstd\" (\"invalid parameter (d)\")");
  EXPECT_EQ(open("d", "encoding=\"nonesuch\""), "error 80040501 \"openPrintstd\" (\"invalid encoding\")");
  EXPECT_EQ(run(env_, "(openPrintStd 1)"), "error 80030806 \"openPrintstd\" (\"type missmatch\")");
  EXPECT_EQ(run(env_, "(openPrintStd \"" + dir.at("no/such") + "\")"),
            "error 80040a06 \"openPrintstd\" (\"cannot open the file\" \"" + dir.at("no/such") +
                "\" \"No such file or directory\")");
  EXPECT_EQ(run(env_, "(closePrintStd d=\"3\") (closePrintStd d=\"2\")"), "()");
  EXPECT_EQ(file_text(dir.at("c")), "text(1)");
  EXPECT_EQ(file_text(dir.at("b")), "\xc6\xfc");
  EXPECT_EQ(open("e"), "1");
  EXPECT_EQ(run(env_, "(closePrintStd d=\"1\")"), "()");
}

TEST_F(Printing, PrintChainWritesWholeCodes) {
  // "A", U+65E5 and half a code.
  static const uint8_t kBytes[] = {0, 0, 0, 'A', 0, 0, 0x65, 0xe5, 0, 0};
  gc_set_nl(env_, gc_qnlisp_env);
  ZU_SEXP* raw = get_raw(kBytes, sizeof kBytes);
  EXPECT_EQ(0, set_env_atom(env_, get_symbol_ascii("chunk")->symbol.atom, raw));
  {
    Captured err(&s_stderr);
    EXPECT_EQ(run(env_, "(PrintChain \"e\" chunk)"), "10");
    EXPECT_EQ(err.text(), "A\xe6\x97\xa5");
  }
  EXPECT_EQ(run(env_, "(PrintChain \"x\" chunk)"), "error 80040503 \"PrintChain\" \"invalid parameter\"");
  EXPECT_EQ(run(env_, "(PrintChain \"o\" \"text\")"), "error 80030806 \"PrintChain\" \"type missmatch\"");
  EXPECT_EQ(run(env_, "(PrintChain)"), "error 80030806 \"PrintChain\" \"type missmatch\"");
  // Without an interpreter there is no link to point the streams at.
  STREAM* out = s_stdout;
  EXPECT_EQ(run(env_, "(PrintChain sync=\"entry\") (PrintChain sync=\"exit\")"), "()");
  EXPECT_EQ(s_stdout, out);
}

TEST_F(Printing, HeadersActOnlyOnTheirInterpretersInput) {
  STREAM* out = s_stdout;
  EXPECT_EQ(run(env_, "(?xml encoding=\"EUC-JP\" stdout=\"chain\") (?zu stderr=\"x\")"), "()");
  EXPECT_EQ(s_stdout, out);
  // Without an interpreter SetResultFormat only describes the settings.
  EXPECT_EQ(run(env_, "(SetResultFormat indent=\"on\" mode=\"html\" mode=\"bad\")"), "(\"mode:HTML\" \"indent:on\")");
  // A standard stream that names a stream which closes names the process's
  // own again.
  TempDir dir("fallback");
  STREAM* f = s_open_file(dir.at("f").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(f, nullptr);
  s_stdout = f;
  d_s_close(f);
  EXPECT_EQ(s_stdout, out);
}

TEST_F(Printing, AChainThatCannotBeOpenedLeavesTheStreamsWhereTheyWere) {
  set_chain_forward(nullptr);  // nothing would carry a chain's text
  STREAM* out = s_stdout;
  STREAM* err = s_stderr;
  redirect_std(&s_stdout, s_open_chain(1, 'o'));
  redirect_std(&s_stderr, s_open_chain(1, 'e'));
  EXPECT_EQ(s_stdout, out);
  EXPECT_EQ(s_stderr, err);
  init_chain_forward();
}
