// Star patterns of one path component, as FindFile and Rule read them.
#include <string>

#include "zulib/files_impl.h"
#include "zulib_test_util.h"

TEST(StarPattern, FindStarsTakeAnyRunRuleStarsAtLeastOneCharacter) {
  struct Case {
    const char* pattern;
    const char* name;
    bool find, rule;
  };
  const Case cases[] = {
      {"*", "a", true, true},          {"a*", "a", true, false},       {"*.txt", ".txt", true, false},
      {"*.txt", "a.txt", true, true},  {"*.txt", "a.txt.bak", false, false}, {"a*b*c", "abc", true, false},
      {"a*b*c", "axbyc", true, true},  {"*a*a", "a", false, false},    {"*a*a", "aa", true, false},
      {"*ab*b", "abb", true, false},   {"*ab*b", "abxb", true, false}, {"*ab*b", "xabyb", true, true},  {"x", "x", true, true},
      {"x", "X", false, false},        {"**", "a", true, false},       {"**", "ab", true, true},
      {"a?c", "abc", false, false},    {"a?c", "a?c", true, true},     {"[a]", "a", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StarPattern(c.pattern, false).matches(c.name), c.find) << c.pattern << " " << c.name;
    EXPECT_EQ(StarPattern(c.pattern, true).matches(c.name), c.rule) << c.pattern << " " << c.name;
  }
}

TEST(StarPattern, ManyStarsOverLongNamesStayQuick) {
  // Trying every split would take 2^40 steps here.
  std::string name(4000, 'a');
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern += "*a";
  pattern += "*b";
  EXPECT_FALSE(StarPattern(pattern, true).matches(name));
  EXPECT_TRUE(StarPattern(pattern, true).matches(name + "xb"));
}
