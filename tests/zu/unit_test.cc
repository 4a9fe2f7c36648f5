#include <gtest/gtest.h>

#include <string>

#include "zu/env.h"
#include "zu/unit.h"
#include "zu_test_util.h"

namespace {

class Unit : public ::testing::Test {
 protected:
  void SetUp() override { init_unit(); }
  double conv(UNIT_ENV* u, double v, const char32_t* from, const char32_t* to, int* err) {
    return conv_unit(err, u, v, from ? W(from) : nullptr, to ? W(to) : nullptr);
  }
  ZuThreadScope scope{"unit test"};
};

void mark_with_units() {
  gc_default_mark();
  gc_unit();
}

}  // namespace

TEST_F(Unit, SystemUnitsKeepDescendingRatiosAndRenumber) {
  UNIT_ENV* u = new_uenv();
  ASSERT_EQ(new_su(u, 0, W(U"m"), 1, 1), 0);
  ASSERT_EQ(new_su(u, 0, W(U"km"), 1000, 1), 0);
  DIMENSION d[kUnitDims];
  system_unit_alias(u);
  ASSERT_EQ(name2dim(u, d, W(U"m")), 0);
  EXPECT_EQ(d[0].su, 2);
  ASSERT_EQ(new_su(u, 0, W(U"hm"), 100, 1), 0);  // lands between: m becomes 3
  ASSERT_EQ(name2dim(u, d, W(U"m")), 0);
  EXPECT_EQ(d[0].su, 3);
  EXPECT_EQ(d[0].power, 1);

  EXPECT_EQ(new_su(u, 0, W(U"km"), 1, 1), -1);  // name taken in the class
  EXPECT_EQ(new_su(u, 1, W(U"km"), 1, 1), 0);   // another class may have it
  EXPECT_EQ(new_su(u, 0, W(U"bad"), 1, 0), -1);
  EXPECT_EQ(new_su(u, 0, W(U"bad"), -1, 1), -1);
  EXPECT_EQ(new_su(u, 4, W(U"bad"), 1, 1), -1);
}

TEST_F(Unit, DefaultConversionsBothWaysAndRefusals) {
  UNIT_ENV* u = get_default_uenv();
  int err = 1;
  EXPECT_DOUBLE_EQ(conv(u, 1.5, U"km", U"m", &err), 1500);
  EXPECT_EQ(err, 0);
  EXPECT_DOUBLE_EQ(conv(u, 1500, U"m", U"km", &err), 1.5);
  EXPECT_DOUBLE_EQ(conv(u, 2, U"hour", U"min", &err), 120);
  EXPECT_DOUBLE_EQ(conv(u, 1, U"m/sec", U"km/hour", &err), 3.6);
  EXPECT_DOUBLE_EQ(conv(u, 1, U"km^2", U"m * m", &err), 1e6);
  EXPECT_DOUBLE_EQ(conv(u, 3, U"kg*m*sec^-2", U"g*km/min^2", &err), 3 * 3600.0);
  EXPECT_EQ(err, 0);

  // Different dimensions, unknown names and malformed text leave the value.
  EXPECT_DOUBLE_EQ(conv(u, 7, U"km", U"sec", &err), 7);
  EXPECT_EQ(err, -1);
  EXPECT_DOUBLE_EQ(conv(u, 7, nullptr, U"sec", &err), 7);
  EXPECT_EQ(err, -1);
  for (const char32_t* bad : {U"parsec", U"km^", U"*m", U"m^99", U"m//sec", U"m^x"}) {
    conv(u, 1, bad, U"m", &err);
    EXPECT_EQ(err, -1);
  }
  std::u32string many = U"m";
  for (int i = 0; i < 300; ++i) many += U"*m/m";
  conv(u, 1, many.c_str(), U"m", &err);
  EXPECT_EQ(err, -1);
  // Equal texts convert even where nothing knows them.
  EXPECT_DOUBLE_EQ(conv(nullptr, 4, U"dot", U"dot", &err), 4);
  EXPECT_EQ(err, 0);

  // The default is in force where no environment sets one.
  ZUISP_ENV* e = new_env(nullptr);
  EXPECT_EQ(uenv_in_force(e), u);
  EXPECT_EQ(get_uenv(qnlisp_top_env0), u);
}

TEST_F(Unit, AliasesAndCopies) {
  UNIT_ENV* u = new_uenv();
  new_su(u, 0, W(U"km"), 1000, 1);
  new_su(u, 0, W(U"m"), 1, 1);
  new_su(u, 1, W(U"hour"), 3600, 1);
  new_su(u, 1, W(U"sec"), 1, 1);
  const DIMENSION kmph[kUnitDims] = {{1, 1}, {1, -1}, {0, 0}, {0, 0}};
  ASSERT_EQ(new_ua(u, kmph, W(U"kmph")), 0);
  EXPECT_EQ(new_ua(u, kmph, W(U"other")), -1);  // same vector
  const DIMENSION m[kUnitDims] = {{2, 1}, {0, 0}, {0, 0}, {0, 0}};
  EXPECT_EQ(new_ua(u, m, W(U"kmph")), -1);  // same name
  const DIMENSION missing[kUnitDims] = {{9, 1}, {0, 0}, {0, 0}, {0, 0}};
  EXPECT_EQ(new_ua(u, missing, W(U"x")), -1);
  system_unit_alias(u);
  int err;
  EXPECT_DOUBLE_EQ(conv(u, 36, U"kmph", U"m/sec", &err), 10);
  EXPECT_EQ(err, 0);

  // Mixed units of one class: the vector names the first, the factor the rest.
  DIMENSION d[kUnitDims];
  double factor = 0;
  ASSERT_EQ(name2dim(u, d, W(U"km*m"), &factor), 0);
  EXPECT_EQ(d[0].su, 1);
  EXPECT_EQ(d[0].power, 2);
  EXPECT_DOUBLE_EQ(factor, 0.001);

  // Copies: system units first, then the aliases renumbered by name.
  UNIT_ENV* c = copy_uenv1(u);
  EXPECT_EQ(name2dim(c, d, W(U"km")), -1);  // no aliases copied yet
  new_su(c, 0, W(U"mile"), 1609, 1);       // km becomes 2, m 3
  system_unit_alias(c);
  EXPECT_GT(copy_uenv2(c, u), 0);
  EXPECT_DOUBLE_EQ(conv(c, 36, U"kmph", U"m/sec", &err), 10);
  ASSERT_EQ(name2dim(c, d, W(U"kmph")), 0);
  EXPECT_EQ(d[0].su, 2);
}

TEST_F(Unit, NamedEnvironmentsSurviveCollection) {
  const GC_HOOKS hooks{nullptr, mark_with_units, gc_default_sp, nullptr, nullptr};
  gc_set_hooks(&hooks);
  {
    GcFrame f("named");
    UNIT_ENV* a = new_uenv();
    new_su(a, 1, W(U"tick"), 5, 1);
    new_su(a, 1, W(U"sec"), 1, 1);
    system_unit_alias(a);
    ASSERT_EQ(set_uenv_name(a, W(U"ticks")), 0);
    ASSERT_EQ(set_uenv_name(new_uenv(), W(U"other")), 0);
    ASSERT_EQ(set_uenv_name(new_uenv(), W(U"ticks-replaced")), 0);
  }
  gc_collect_now();
  UNIT_ENV* a = search_uenv_name(W(U"ticks"));
  ASSERT_NE(a, nullptr);
  int err;
  EXPECT_DOUBLE_EQ(conv(a, 3, U"tick", U"sec", &err), 15);
  // Registering under a taken name replaces; removal forgets.
  UNIT_ENV* b = new_uenv();
  set_uenv_name(b, W(U"ticks"));
  EXPECT_EQ(search_uenv_name(W(U"ticks")), b);
  EXPECT_EQ(del_uenv_name(W(U"ticks")), 0);
  EXPECT_EQ(del_uenv_name(W(U"ticks")), -1);
  EXPECT_EQ(search_uenv_name(W(U"ticks")), nullptr);
  del_uenv_name(W(U"other"));
  del_uenv_name(W(U"ticks-replaced"));
  gc_set_hooks(nullptr);
}
