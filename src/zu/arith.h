// Binary operators over typed operands. Each operator is a 12 by 12 table
// of cells indexed by the types of its two operands (ZU_TYPE_NULL ..
// ZU_TYPE_ENV); an empty cell means the operator does not apply to that
// pair of types.
#pragma once

#include "zu/value.h"

using BIN_FUNC = ZU_SEXP* (*)(ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char* file, int line);
constexpr int kBinTypes = 12;
using BIN_TABLE = BIN_FUNC[kBinTypes][kBinTypes];

// Applies the operator of table t to a and b: an error operand is the
// result; a pair of types without a cell gives the type error 0x80030806.
ZU_SEXP* binary(const BIN_TABLE& t, ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char* file,
                int line);

// The operator tables. Comparisons give the integer 1 or nil; lt_t orders
// two lists member by member (the first unequal pair decides).
extern const BIN_TABLE add_t, sub_t, mul_t, div_t, mod_t;
extern const BIN_TABLE lt_t, le_t, gt_t, ge_t, eq_t, ne_t;
