// Arg and ArgOption over command lines that the program's own tests cannot
// give it (the qnmx tests cover the ordinary ones end to end).
#include <cstring>
#include <vector>

#include "zulib/args.h"
#include "zulib_test_util.h"

namespace {

class ScriptArgs : public ::testing::Test {
 protected:
  void SetUp() override { init_library_once(); }
  void TearDown() override { init_sh_arg(0, nullptr); }
  // Keeps the words as the command line.
  void line(std::vector<const char*> words) {
    store_.clear();
    for (const char* w : words) store_.push_back(const_cast<char*>(w));
    store_.push_back(nullptr);
    init_sh_arg(static_cast<int>(words.size()), store_.data());
  }
  std::string eval(const char* text) { return run(new_env(qnlisp_top_env1), text); }

  ZuThreadScope scope_{"args test"};
  std::vector<char*> store_;
};

}  // namespace

TEST_F(ScriptArgs, NeverKeptLineIsAnError) {
  init_sh_arg(0, nullptr);
  const char* want = "error 80010507 \"Arg\" \"shell argments initializing is required\"";
  EXPECT_EQ(eval("(Arg)"), want);
  EXPECT_EQ(eval("(Arg 0)"), want);
  EXPECT_EQ(eval("(Arg \"0\")"), "error 80030806 \"Arg\" ()");
  EXPECT_EQ(eval("(ArgOption name=\"a\" 5)"), "5");
}

TEST_F(ScriptArgs, SeparatorAndIndexes) {
  // A "/" in the program name's place is no separator.
  line({"/", "s.zu", "/", "a", "b=c"});
  EXPECT_EQ(eval("(Arg)"), "3");
  EXPECT_EQ(eval("(Arg 1.9)"), "\"a\"");
  EXPECT_EQ(eval("(Arg -0.9)"), "\"/\"");
  EXPECT_EQ(eval("(Arg -2)"), "\"/\"");
  const char* over = "error 80030502 \"Arg\" \"shell argments length over\"";
  EXPECT_EQ(eval("(Arg -3)"), over);
  EXPECT_EQ(eval("(Arg 3)"), over);
  EXPECT_EQ(eval("(Arg 1e300)"), over);
  EXPECT_EQ(eval("(Arg -9223372036854775808)"), over);
  EXPECT_EQ(eval("(Arg 9223372036854775807)"), over);
  EXPECT_EQ(eval("(ArgOption name=\"b\")"), "\"c\"");
  EXPECT_EQ(eval("(ArgOption)"), "error 80040503 \"ArgOption\" \"invalid parameter(Attribute option required)\"");
}

TEST_F(ScriptArgs, PrivateCopyOutlivesTheCaller) {
  char a[] = "qnmx", b[] = "/", c[] = "k=v";
  char* v[] = {a, b, c, nullptr};
  set_arg(3, v, 1);
  std::strcpy(c, "k=w");
  EXPECT_EQ(eval("(ArgOption name=\"k\")"), "\"v\"");
  set_arg(3, v, 1);  // the first copy is freed (the leak check would tell)
  EXPECT_EQ(eval("(ArgOption name=\"k\")"), "\"w\"");
}
