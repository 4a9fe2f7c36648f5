// Tables of families: the row a registration handed in from above belongs
// to, and the stop of a debug build when no row takes it.
#include <gtest/gtest.h>

#include <string>

#include "zu/core_init.h"

namespace {

void mark(ZUISP_ENV*) {}
void given(ZUISP_ENV*) {}

constexpr ZU_FAMILY kRows[] = {
    {"Open", 0, mark},
    {"Close", 1, mark},
    {"Close", 0, given},
    {"Plain", 0, nullptr},
};

}  // namespace

TEST(FamilyTable, RowsAreFoundByNameEnvironmentAndMark) {
  const struct {
    ZU_FAMILY family;
    ZU_BINDER mark;
    int row;
  } cases[] = {
      {{"Open", 0, given}, mark, 0},
      {{"Close", 1, given}, mark, 1},
      {{"Close", 0, given}, nullptr, 2},  // without a mark any row of the name
      {{"Plain", 0, given}, nullptr, 3},
  };
  for (const auto& c : cases) EXPECT_EQ(family_row(kRows, c.family, c.mark), c.row) << c.family.name;
}

TEST(FamilyTableDeathTest, ARowThatTakesNothingStopsADebugBuild) {
  const struct {
    ZU_FAMILY family;
    ZU_BINDER mark;
    const char* shown;
  } slips[] = {
      {{"Opne", 0, given}, nullptr, "Opne"},      // mistyped
      {{"Open", 1, given}, nullptr, "Open"},      // another environment
      {{"Close", 0, given}, mark, "Close"},       // a row that waits for nothing from above
      {{nullptr, 0, given}, nullptr, "\\(null\\)"},
  };
  for (const auto& c : slips) {
    if (kFamilySlipStops)
      EXPECT_DEATH(family_row(kRows, c.family, c.mark), std::string("family_row: no row \"") + c.shown + "\"");
    else
      EXPECT_EQ(family_row(kRows, c.family, c.mark), -1);
  }
}
