#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "zu/builtin_kit.h"
#include "zu_test_util.h"

namespace {

class BuiltinKit : public ::testing::Test {
 protected:
  ZuThreadScope scope{"builtin kit test"};
};

std::u32string text(const L_CHAR* s) {
  std::u32string r;
  for (; s && *s; ++s) r.push_back(static_cast<char32_t>(*s));
  return r;
}

}  // namespace

// Integer options read as the decimal prefix; the ends of the range hold
// instead of wrapping, which a size or count option would otherwise turn
// into a small or negative number.
TEST_F(BuiltinKit, IntegerOptionsReadTheDecimalPrefixAndHoldAtTheEnds) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const struct {
    const char32_t* text;
    int64_t v64;
    int v32;
  } cases[] = {
      {U"42", 42, 42},
      {U" \t\n-17x", -17, -17},
      {U"+8", 8, 8},
      {U"0x10", 0, 0},
      {U"abc", 0, 0},
      {U"", 0, 0},
      {U"-", 0, 0},
      {U"9223372036854775807", kMax, std::numeric_limits<int>::max()},
      {U"9223372036854775808", kMax, std::numeric_limits<int>::max()},
      {U"99999999999999999999999", kMax, std::numeric_limits<int>::max()},
      {U"-9223372036854775808", kMin, std::numeric_limits<int>::min()},
      {U"-99999999999999999999999", kMin, std::numeric_limits<int>::min()},
      {U"2147483648", 2147483648LL, std::numeric_limits<int>::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(option_int64(W(c.text)), c.v64) << std::u32string(c.text).size();
    EXPECT_EQ(option_int(W(c.text)), c.v32);
  }
  EXPECT_EQ(option_int64(nullptr), 0);
}

TEST_F(BuiltinKit, OptionsErrorsAndLists) {
  ZU_SEXP* head = S("f");
  set_attribute(head, W(U"size"), W(U"second"));
  set_attribute(head, W(U"size"), W(U"first"));  // put in front: wins
  set_attribute(head, W(U"mode"), W(U"on"));
  ZU_SYM_FIELD* sf = sym_field(head);
  EXPECT_EQ(text(head_option(sf, "size")), U"first");
  EXPECT_TRUE(option_is(head_option(sf, "mode"), "on"));
  EXPECT_FALSE(option_is(head_option(sf, "missing"), "on"));
  EXPECT_EQ(head_option(nullptr, "size"), nullptr);

  ZU_SEXP* form = List(head, I(1), ZU_LIST_END);
  ZU_SEXP* e = error_text_at(form, ZU_ER_PARAM, "f", nullptr);
  ASSERT_EQ(get_type(e), ZU_TYPE_ERROR);
  EXPECT_EQ(e->error->code, ZU_ER_PARAM);
  EXPECT_EQ(text(e->error->func), U"f");
  EXPECT_EQ(e->error->data, nullptr);
  ZU_SEXP* d = error_list_at(form, ZU_ER_PARAM, "f", "why")->error->data;
  EXPECT_EQ(text(str_text(car(d))), U"why");
  EXPECT_EQ(cdr(d), nullptr);

  ZU_SEXP* l = data_list("reason", 7, static_cast<int64_t>(-1) << 40, S("x"));
  EXPECT_EQ(text(str_text(get_el(l, 0))), U"reason");
  EXPECT_EQ(get_el(l, 1)->integer.num, 7);
  EXPECT_EQ(get_el(l, 2)->integer.num, static_cast<int64_t>(-1) << 40);
  EXPECT_TRUE(is_symbol_named(get_el(l, 3), "x"));
  EXPECT_TRUE(is_element(form));
  EXPECT_FALSE(is_element(l));

  ListBuilder b;
  for (int i = 0; i < 3; ++i) b.add(I(i));
  EXPECT_EQ(list_length(b.head), 3);
  EXPECT_EQ(get_el(b.head, 2)->integer.num, 2);
}
