// Binary operators over typed operands. Each operator is a 12 by 12 table
// of cells indexed by the types of its two operands (ZU_TYPE_NULL ..
// ZU_TYPE_ENV); an empty cell means the operator does not apply to that
// pair of types.
//
// Arithmetic (add_t, sub_t, mul_t, quo_t, mod_t) applies to integers and
// floating values. Integer op integer gives an integer, computed in 64 bits
// with wrap-around on overflow (INT64_MIN / -1 is INT64_MIN, INT64_MIN % -1
// is 0); an operand that is floating makes the result floating. Division and
// remainder by zero (integer or floating) give the error 0x80040503 with
// data ("division by zero"). Integer division truncates toward zero; the
// remainder has the sign of the dividend.
//
// Units. For +, -, % and the comparisons, an operand without unit takes the
// other's; different units are converted, the right operand into the left's
// unit, through the unit environment in force for env (uenv_in_force); when
// they cannot be converted the result is the error 0x80030806 with data
// ("unit missmatch" left-unit right-unit). An integer converted to a whole
// number stays an integer. For * and / the units multiply and divide: the
// right operand is first converted to the left's unit when the two have the
// same dimension, then equal names have their powers summed (2m * 3m is
// 6m^2, 6km / 2000m is 3 without unit, 4m / 2sec is 2m*sec^-1).
//
// Comparisons (lt_t, le_t, gt_t, ge_t, eq_t, ne_t) give the integer 1 or 0.
// They apply to numbers, to two strings (code order), to two symbols (their
// names, attributes ignored) and to two lists (nil being the empty list):
// lists are ordered member by member through lt_t, equal members (neither
// less than the other) being passed over; the first unequal pair decides,
// and a list that is a prefix of the other comes first. A member pair that
// lt_t does not order ends the comparison with its error.
#pragma once

#include "zu/value.h"

using BIN_FUNC = ZU_SEXP* (*)(ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char* file, int line);
constexpr int kBinTypes = 12;
using BIN_TABLE = BIN_FUNC[kBinTypes][kBinTypes];

// Applies the operator of table t to a and b (delayed operands are forced):
// an error operand is the result (a's first); a pair of types without a
// cell gives the error 0x80030806 from "binary" with data ("type
// missmatch"). Errors carry the source position of the left operand (the
// right one's when the left has none). file and line are the C++ caller's.
ZU_SEXP* binary(const BIN_TABLE& t, ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char* file,
                int line);
#define BINARY(t, env, a, b) binary((t), (env), (a), (b), __FILE__, __LINE__)

// The operator tables. (The quotient table is quo_t: div_t is taken by the
// C library.)
extern const BIN_TABLE add_t, sub_t, mul_t, quo_t, mod_t;
extern const BIN_TABLE lt_t, le_t, gt_t, ge_t, eq_t, ne_t;

// Truth of a condition: 1 for an integer with any bit set or a floating
// value other than 0.0, 0 for a zero number, -1 for any other type.
int zu_truth(ZU_SEXP* s);
