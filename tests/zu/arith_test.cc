#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "zu/arith.h"
#include "zu/core_init.h"
#include "zu/env.h"
#include "zu/eval.h"
#include "zu/unit.h"
#include "zu_test_util.h"

namespace {

ZU_SEXP* In(int64_t v, const char32_t* unit) { return get_integer(v, W(unit)); }
ZU_SEXP* F(double v, const char32_t* unit = nullptr) { return get_floating(v, unit ? W(unit) : nullptr); }
ZU_SEXP* L2(ZU_SEXP* a, ZU_SEXP* b) { return List(a, b, ZU_LIST_END); }
ZU_SEXP* L3(ZU_SEXP* a, ZU_SEXP* b, ZU_SEXP* c) { return List(a, b, c, ZU_LIST_END); }

class Arith : public ::testing::Test {
 protected:
  void SetUp() override {
    init_unit();
    env = new_env(nullptr);
  }
  ZU_SEXP* op(const BIN_TABLE& t, ZU_SEXP* a, ZU_SEXP* b) { return BINARY(t, env, a, b); }
  // The integer result, checking its type.
  int64_t iv(const BIN_TABLE& t, ZU_SEXP* a, ZU_SEXP* b) {
    ZU_SEXP* r = op(t, a, b);
    EXPECT_EQ(get_type(r), ZU_TYPE_INTEGER);
    return get_type(r) == ZU_TYPE_INTEGER ? r->integer.num : -12345;
  }
  uint32_t code(const BIN_TABLE& t, ZU_SEXP* a, ZU_SEXP* b) { return error_code(op(t, a, b)); }
  std::string unit_of(ZU_SEXP* r) {
    const L_CHAR* u = get_type(r) == ZU_TYPE_INTEGER ? r->integer.unit : r->floating.unit;
    std::string s;
    for (; u && *u; ++u) s += static_cast<char>(*u);
    return s;
  }

  ZuThreadScope scope{"arith test"};
  ZUISP_ENV* env = nullptr;
};

}  // namespace

TEST_F(Arith, IntegersAndFloatingValues) {
  EXPECT_EQ(iv(add_t, I(2), I(3)), 5);
  EXPECT_EQ(iv(quo_t, I(-7), I(2)), -3);
  EXPECT_EQ(iv(mod_t, I(-7), I(2)), -1);
  ZU_SEXP* r = op(add_t, I(1), F(0.5));
  ASSERT_EQ(get_type(r), ZU_TYPE_FLOATING);
  EXPECT_DOUBLE_EQ(r->floating.num, 1.5);
  r = op(mod_t, F(7.5), I(2));
  EXPECT_DOUBLE_EQ(r->floating.num, 1.5);

  // Overflow wraps instead of being undefined.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(iv(add_t, I(kMax), I(1)), kMin);
  EXPECT_EQ(iv(mul_t, I(kMax), I(2)), -2);
  EXPECT_EQ(iv(quo_t, I(kMin), I(-1)), kMin);
  EXPECT_EQ(iv(mod_t, I(kMin), I(-1)), 0);

  // Division by zero is an error value, integer or floating.
  EXPECT_EQ(code(quo_t, I(1), I(0)), ZU_ER_PARAM);
  EXPECT_EQ(code(mod_t, I(1), I(0)), ZU_ER_PARAM);
  EXPECT_EQ(code(quo_t, F(1), F(-0.0)), ZU_ER_PARAM);

  // Pairs of types without a cell, and errors passing through.
  EXPECT_EQ(code(add_t, Str("a"), I(1)), ZU_ER_TYPE);
  EXPECT_EQ(code(add_t, nullptr, I(1)), ZU_ER_TYPE);
  EXPECT_EQ(code(lt_t, I(1), Str("1")), ZU_ER_TYPE);
  ZU_SEXP* e = get_error_ascii(nullptr, 3, ZU_ER_USER, "x", nullptr);
  EXPECT_EQ(op(add_t, e, Str("a")), e);
  EXPECT_EQ(op(lt_t, I(1), e), e);

  EXPECT_EQ(zu_truth(I(0)), 0);
  EXPECT_EQ(zu_truth(I(INT64_MIN)), 1);
  EXPECT_EQ(zu_truth(F(-0.0)), 0);
  EXPECT_EQ(zu_truth(Str("1")), -1);
}

TEST_F(Arith, UnitsConvertToTheLeftOperand) {
  ZU_SEXP* r = op(add_t, In(1, U"km"), In(500, U"m"));
  ASSERT_EQ(get_type(r), ZU_TYPE_FLOATING);
  EXPECT_DOUBLE_EQ(r->floating.num, 1.5);
  EXPECT_EQ(unit_of(r), "km");
  // A whole converted value keeps integers integral.
  r = op(sub_t, In(2000, U"m"), In(1, U"km"));
  ASSERT_EQ(get_type(r), ZU_TYPE_INTEGER);
  EXPECT_EQ(r->integer.num, 1000);
  EXPECT_EQ(unit_of(r), "m");
  r = op(add_t, I(5), In(2, U"min"));
  EXPECT_EQ(unit_of(r), "min");
  EXPECT_EQ(unit_of(op(add_t, In(1, U"dot"), In(2, U"dot"))), "dot");

  // Products and quotients combine units.
  EXPECT_EQ(unit_of(op(mul_t, In(2, U"m"), In(3, U"m"))), "m^2");
  r = op(mul_t, In(2, U"km"), In(500, U"m"));
  EXPECT_DOUBLE_EQ(r->floating.num, 1.0);
  EXPECT_EQ(unit_of(r), "km^2");
  r = op(quo_t, In(6, U"km"), In(2000, U"m"));
  EXPECT_EQ(r->integer.num, 3);
  EXPECT_EQ(unit_of(r), "");
  EXPECT_EQ(unit_of(op(quo_t, In(4, U"m"), In(2, U"sec"))), "m*sec^-1");
  EXPECT_EQ(unit_of(op(quo_t, I(1), In(2, U"sec"))), "sec^-1");

  // Different dimensions, or units nobody knows, are refused.
  r = op(add_t, In(1, U"m"), In(1, U"sec"));
  EXPECT_EQ(error_code(r), ZU_ER_TYPE);
  EXPECT_EQ(zu_wcmp_ascii(str_text(car(r->error->data)), "unit missmatch"), 0);
  EXPECT_EQ(code(lt_t, In(1, U"dot"), In(1, U"m")), ZU_ER_TYPE);

  // The unit environment in force decides.
  UNIT_ENV* u = new_uenv();
  new_su(u, 0, W(U"mile"), 1609, 1);
  new_su(u, 0, W(U"m"), 1, 1);
  system_unit_alias(u);
  EXPECT_EQ(0, set_uenv(env, u));
  EXPECT_EQ(iv(gt_t, In(1, U"mile"), In(1600, U"m")), 1);
  EXPECT_EQ(code(add_t, In(1, U"km"), In(1, U"m")), ZU_ER_TYPE);
}

TEST_F(Arith, ComparisonsOfNumbersTextsAndLists) {
  EXPECT_EQ(iv(lt_t, I(1), I(2)), 1);
  EXPECT_EQ(iv(lt_t, I(2), I(1)), 0);
  EXPECT_EQ(iv(le_t, F(2.0), I(2)), 1);
  EXPECT_EQ(iv(eq_t, In(1, U"km"), In(1000, U"m")), 1);
  EXPECT_EQ(iv(ne_t, F(0.0 / 0.0), F(0.0 / 0.0)), 1);
  EXPECT_EQ(iv(lt_t, Str("abc"), Str("abd")), 1);
  EXPECT_EQ(iv(ge_t, S("b"), S("a")), 1);

  // Lists: member by member, equal members passed over, prefix first.
  EXPECT_EQ(iv(lt_t, L3(I(1), I(2), I(3)), L2(I(1), I(3))), 1);
  EXPECT_EQ(iv(lt_t, L2(I(1), I(3)), L3(I(1), I(2), I(3))), 0);
  EXPECT_EQ(iv(lt_t, L2(I(1), I(2)), L3(I(1), I(2), I(0))), 1);
  EXPECT_EQ(iv(lt_t, nullptr, list(I(0))), 1);
  EXPECT_EQ(iv(eq_t, L2(In(1, U"km"), Str("a")), L2(In(1000, U"m"), Str("a"))), 1);
  EXPECT_EQ(iv(gt_t, list(L2(I(1), Str("b"))), list(L2(I(1), Str("a")))), 1);
  // A pair the operator does not order ends the comparison with its error.
  EXPECT_EQ(code(lt_t, L2(I(1), Str("a")), L2(I(1), I(2))), ZU_ER_TYPE);
  EXPECT_EQ(iv(lt_t, L2(I(0), Str("a")), L2(I(1), I(2))), 1);
  ZU_SEXP* e = get_error_ascii(nullptr, 1, ZU_ER_USER, "x", nullptr);
  EXPECT_EQ(op(eq_t, list(e), list(I(1))), e);
}

TEST_F(Arith, DeeplyNestedListsGiveAnErrorNotACrash) {
  ZU_SEXP* a = I(1);
  ZU_SEXP* b = I(1);
  for (int i = 0; i < 5000; ++i) {
    a = list(a);
    b = list(b);
  }
  EXPECT_EQ(code(eq_t, a, b), ZU_ER_TYPE);
}

// The arithmetic and comparison built-ins compute plain numbers directly;
// every result must match what the operator tables give for the same
// operands, units, errors and the edges of integer and floating arithmetic
// included.
namespace {

class ArithPrims : public ::testing::Test {
 protected:
  void SetUp() override {
    init_qnlisp();
    init_unit();
    env = new_env(qnlisp_top_env1);
  }
  ZU_SEXP* call(const char* op, std::initializer_list<ZU_SEXP*> args) {
    ZU_SEXP* form = nullptr;
    for (auto it = args.end(); it != args.begin();) form = cons(*--it, form);
    return eval(env, cons(S(op), form));
  }
  ZuThreadScope scope{"arith prims test"};
  ZUISP_ENV* env = nullptr;
};

std::string describe(ZU_SEXP* v) {
  std::string s;
  auto text = [&s](const L_CHAR* u) {
    s += " [";
    for (; u && *u; ++u) s += static_cast<char>(*u);
    s += "]";
  };
  switch (get_type(v)) {
    case ZU_TYPE_INTEGER:
      s = "int " + std::to_string(v->integer.num);
      if (v->integer.unit) text(v->integer.unit);
      break;
    case ZU_TYPE_FLOATING: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "float %a", v->floating.num);
      s = std::isnan(v->floating.num) ? "float nan" : buf;
      if (v->floating.unit) text(v->floating.unit);
      break;
    }
    case ZU_TYPE_ERROR:
      s = "error " + std::to_string(v->error->code);
      break;
    default:
      s = "type " + std::to_string(get_type(v));
  }
  return s;
}

}  // namespace

TEST_F(ArithPrims, BuiltinsAgreeWithTheOperatorTables) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<ZU_SEXP*> vals = {I(0), I(1), I(-1), I(7), I(-7), I(kMin), I(kMax), F(0.0), F(-0.0), F(2.5),
                                F(-1.0), F(inf), F(std::nan("")), In(3, U"m"), In(2, U"km"), F(1.5, U"sec"),
                                F(4.0, U""), Str("a")};
  struct Op {
    const char* name;
    const BIN_TABLE& t;
  };
  const Op ops[] = {{"+", add_t}, {"-", sub_t}, {"*", mul_t}, {"/", quo_t}, {"%", mod_t}, {"<", lt_t},
                    {"<=", le_t}, {">", gt_t},  {">=", ge_t}, {"==", eq_t}, {"!=", ne_t}};
  for (const Op& op : ops) {
    bool chain_op = op.name[0] == '<' || op.name[0] == '>' || op.name[0] == '=' || op.name[0] == '!';
    for (ZU_SEXP* a : vals) {
      for (ZU_SEXP* b : vals) {
        GcFrame frame("pair");
        ZU_SEXP* want = BINARY(op.t, env, a, b);
        EXPECT_EQ(describe(call(op.name, {a, b})), describe(want))
            << op.name << " " << describe(a) << " " << describe(b);
        // Three operands: a fold or a chain of two steps.
        ZU_SEXP* c = I(3);
        ZU_SEXP* want3;
        if (chain_op) {
          want3 = want;
          if (get_type(want) == ZU_TYPE_INTEGER && want->integer.num != 0) want3 = BINARY(op.t, env, b, c);
        } else {
          want3 = get_type(want) == ZU_TYPE_ERROR ? want : BINARY(op.t, env, want, c);
        }
        EXPECT_EQ(describe(call(op.name, {a, b, c})), describe(want3))
            << op.name << " " << describe(a) << " " << describe(b) << " 3";
      }
    }
  }
  // Negation is 0 - a.
  for (ZU_SEXP* a : vals) EXPECT_EQ(describe(call("-", {a})), describe(BINARY(sub_t, env, I(0), a))) << describe(a);
}

TEST_F(ArithPrims, LongFoldsChainsAndFreshResults) {
  // A running value that turns floating, then meets a unit midway.
  ZU_SEXP* r = call("+", {I(1), I(2), F(0.5), In(1, U"m"), I(2)});
  ASSERT_EQ(get_type(r), ZU_TYPE_FLOATING);
  EXPECT_DOUBLE_EQ(r->floating.num, 6.5);
  EXPECT_EQ(zu_wcmp_ascii(r->floating.unit, "m"), 0);
  // An error midway stops the fold.
  EXPECT_EQ(error_code(call("/", {I(8), I(2), I(0), Str("x")})), ZU_ER_PARAM);
  // A chain stops at the first pair out of order, even before a bad pair.
  EXPECT_EQ(describe(call("<", {I(1), I(3), I(2), Str("x")})), "int 0");
  EXPECT_EQ(error_code(call("<", {I(1), I(2), Str("x")})), ZU_ER_TYPE);
  EXPECT_EQ(describe(call("<=", {I(1), F(1.0), In(1, U"m"), In(1, U"km")})), "int 1");
  // Results are new values, never an operand.
  ZU_SEXP* one = I(1);
  EXPECT_NE(call("+", {one}), one);
  EXPECT_NE(call("*", {one, one}), one);
}
