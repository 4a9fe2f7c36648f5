#include <gtest/gtest.h>

#include <cstdlib>

#include "base/paths.h"

// Limits and times read from the environment take a plain positive decimal
// within their bound and nothing else: a typo falls back, never half-read.
TEST(Paths, EnvironmentCountsTakeWholeNumbersOnly) {
  const struct {
    const char* text;
    int64_t want;
  } cases[] = {{"12", 12},     {"1000", 1000}, {"1001", 7}, {"", 7},  {"0", 7},
               {"-3", 7},      {"+4", 7},      {" 5", 7},   {"5 ", 7}, {"10abc", 7},
               {"0x10", 7},    {"99999999999999999999", 7}};
  for (const auto& c : cases) {
    ASSERT_EQ(setenv("QNMX_TEST_COUNT", c.text, 1), 0);
    EXPECT_EQ(u_getenv_count("QNMX_TEST_COUNT", 7, 1000), c.want) << '"' << c.text << '"';
  }
  unsetenv("QNMX_TEST_COUNT");
  EXPECT_EQ(u_getenv_count("QNMX_TEST_COUNT", 7, 1000), 7);
  EXPECT_EQ(u_getenv_count(nullptr, 3, 1000), 3);
}
