// Arithmetic and comparison primitives: folds and chains of the binary
// operator tables.
#include "zu/arith.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

// (op a b c...) = ((a op b) op c)...; (- a) negates.
template <const BIN_TABLE& T>
ZU_SEXP* fold(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* args = form->pair.cdr;
  ZU_SEXP* acc = args->pair.car;
  ZU_SEXP* rest = args->pair.cdr;
  if (!rest) return binary(T, env, get_integer(0, nullptr), acc, __FILE__, __LINE__);
  for (; get_type(rest) == ZU_TYPE_LIST; rest = rest->pair.cdr) {
    acc = binary(T, env, acc, rest->pair.car, __FILE__, __LINE__);
    if (get_type(acc) == ZU_TYPE_ERROR) return acc;
  }
  return acc;
}

// (op a b c...): 1 when each neighbouring pair is in order, else 0.
template <const BIN_TABLE& T>
ZU_SEXP* chain(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* r = nullptr;
  for (ZU_SEXP* p = form->pair.cdr; get_type(p->pair.cdr) == ZU_TYPE_LIST; p = p->pair.cdr) {
    r = binary(T, env, p->pair.car, p->pair.cdr->pair.car, __FILE__, __LINE__);
    if (get_type(r) != ZU_TYPE_INTEGER || r->integer.num == 0) return r;
  }
  return r;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kArith[] = {
    {"+", fold<add_t>, 1, 3, -1, T},   {"-", fold<sub_t>, 1, 2, -1, T},  {"*", fold<mul_t>, 1, 3, -1, T},
    {"/", fold<quo_t>, 1, 3, -1, T},   {"%", fold<mod_t>, 1, 3, -1, T},  {"<", chain<lt_t>, 1, 3, -1, T},
    {"<=", chain<le_t>, 1, 3, -1, T},  {">", chain<gt_t>, 1, 3, -1, T},  {">=", chain<ge_t>, 1, 3, -1, T},
    {"==", chain<eq_t>, 1, 3, -1, T},  {"!=", chain<ne_t>, 1, 3, -1, T}, {nullptr, nullptr, 0, 0, 0, 0},
};

}  // namespace

void init_qn_arith(ZUISP_ENV* env) { bind_prims(env, kArith); }
