// The reader's cap on a line, a token and a look-ahead: input past it ends
// the list with one error instead of growing without bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader_test_util.h"
#include "zu/gc.h"

namespace {

constexpr uint64_t kCap = 64 * 1024;

class ReaderCap : public ::testing::Test {
 protected:
  ZuThreadScope scope{"reader cap test"};
};

// The forms of `bytes` read with the cap, printed one per entry; the
// reader's buffer size after reading goes to *buffer.
std::vector<std::string> read_capped(const std::string& bytes, int* buffer) {
  GcFrame frame("cap");
  ZU_SEXP* l = open_text(bytes);
  ZU_FILE* f = sexp_file(l);
  zu_set_line_cap(f, kCap);
  std::vector<std::string> out;
  for (; get_type(l) == ZU_TYPE_LIST; l = l->pair.cdr) out.push_back(print_str(l->pair.car));
  zu_file_buffered(f, buffer);
  return out;
}

TEST_F(ReaderCap, LinesTokensAndLookAheadsPastTheCapEndTheInput) {
  const std::string big(16 * kCap, 'a');
  struct Case {
    std::string text, why;
  } cases[] = {
      {"(quote " + big, "line too long"},                               // a word with no end
      {"1 \"" + std::string(8 * kCap, '\n') + big, "token too long"},  // a string over many lines
      {"[a" + std::string(16 * kCap, ' '), "line too long"},            // a look-ahead kept pinned
      {"[a" + std::string(16 * kCap, '\n'), "line too long"}};
  for (const Case& c : cases) {
    int buffer = 0;
    std::vector<std::string> forms = read_capped(c.text + "\n(after)\n", &buffer);
    ASSERT_FALSE(forms.empty());
    const std::string& last = forms.back();
    EXPECT_NE(last.find("#error(2147549441 "), std::string::npos) << last.substr(0, 80);
    EXPECT_NE(last.find(c.why), std::string::npos) << last.substr(0, 80);
    EXPECT_LE(forms.size(), 2u);  // at most the word before the cap, and nothing after it
    for (const std::string& f : forms) EXPECT_EQ(f.find("after"), std::string::npos);
    EXPECT_LE(buffer, static_cast<int>(2 * kCap));
  }
}

TEST_F(ReaderCap, TheCapIsPerLineNotPerInput) {
  std::string text;
  for (int i = 0; i < 64; ++i) text += "(quote " + std::string(kCap / 2, 'x') + ")\n";
  int buffer = 0;
  std::vector<std::string> forms = read_capped(text, &buffer);
  ASSERT_EQ(forms.size(), 64u);
  EXPECT_EQ(forms[63].size(), kCap / 2 + 8);  // "(quote " and ")"
  EXPECT_EQ(forms[63].find("#error"), std::string::npos);
}

}  // namespace
