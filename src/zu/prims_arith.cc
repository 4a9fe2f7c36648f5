// Arithmetic and comparison primitives: folds and chains of the binary
// operator tables.
//
// Most operands are plain numbers: integers or floating values without a
// unit, not delayed. For those the primitives compute directly, without the
// tables' dispatch and unit alignment, and a fold keeps its running value
// on the stack, making only the final result. The direct cases give exactly
// what the tables give; whatever they do not cover (units, other types,
// delayed operands, division by zero) goes through binary().
#include <cmath>
#include <cstdint>

#include "zu/arith.h"
#include "zu/arith_rel_impl.h"
#include "zu/core_init.h"
#include "zu/eval.h"

namespace {

enum class Op { Add, Sub, Mul, Quo, Mod };
inline bool plain_int(const ZU_SEXP* s) { return s && s->h.type == ZU_TYPE_INTEGER && !s->integer.unit; }
inline bool plain_float(const ZU_SEXP* s) { return s && s->h.type == ZU_TYPE_FLOATING && !s->floating.unit; }
inline bool plain_number(const ZU_SEXP* s) { return plain_int(s) || plain_float(s); }
inline double as_double(const ZU_SEXP* s) {
  return s->h.type == ZU_TYPE_INTEGER ? static_cast<double>(s->integer.num) : s->floating.num;
}

// Stores a op b into *out (a value on the caller's stack: type and number,
// no unit) when both are plain numbers and the operation cannot fail;
// false leaves the case to the tables.
template <Op op>
bool plain_arith(const ZU_SEXP* a, const ZU_SEXP* b, ZU_SEXP* out) {
  if (plain_int(a) && plain_int(b)) {
    // Two's complement wrap-around, as the tables compute it.
    uint64_t x = static_cast<uint64_t>(a->integer.num);
    uint64_t y = static_cast<uint64_t>(b->integer.num);
    int64_t r;
    switch (op) {
      case Op::Add: r = static_cast<int64_t>(x + y); break;
      case Op::Sub: r = static_cast<int64_t>(x - y); break;
      case Op::Mul: r = static_cast<int64_t>(x * y); break;
      case Op::Quo:
        if (y == 0) return false;
        r = b->integer.num == -1 ? static_cast<int64_t>(0 - x) : a->integer.num / b->integer.num;
        break;
      case Op::Mod:
        if (y == 0) return false;
        r = b->integer.num == -1 ? 0 : a->integer.num % b->integer.num;
        break;
    }
    out->h.type = ZU_TYPE_INTEGER;
    out->integer.num = r;
    out->integer.unit = nullptr;
    return true;
  }
  if (!plain_number(a) || !plain_number(b)) return false;
  double u = as_double(a), v = as_double(b), r;
  switch (op) {
    case Op::Add: r = u + v; break;
    case Op::Sub: r = u - v; break;
    case Op::Mul: r = u * v; break;
    case Op::Quo:
      if (v == 0) return false;
      r = u / v;
      break;
    case Op::Mod:
      if (v == 0) return false;
      r = std::fmod(u, v);
      break;
  }
  out->h.type = ZU_TYPE_FLOATING;
  out->floating.num = r;
  out->floating.unit = nullptr;
  return true;
}


// Stores whether a rel b into *out when both are plain numbers.
template <Rel rel>
bool plain_rel(const ZU_SEXP* a, const ZU_SEXP* b, bool* out) {
  if (plain_int(a) && plain_int(b)) {
    *out = holds<rel>(a->integer.num, b->integer.num);
    return true;
  }
  if (!plain_number(a) || !plain_number(b)) return false;
  *out = holds<rel>(as_double(a), as_double(b));
  return true;
}

// A collected copy of a running value kept on the stack.
ZU_SEXP* materialize(const ZU_SEXP& s) {
  if (s.h.type == ZU_TYPE_INTEGER) return get_integer(s.integer.num, nullptr);
  return get_floating(s.floating.num, nullptr);
}

// (op a b c...) = ((a op b) op c)...; (- a) negates.
template <const BIN_TABLE& T, Op op>
ZU_SEXP* fold(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* args = form->pair.cdr;
  ZU_SEXP* acc = args->pair.car;
  ZU_SEXP* rest = args->pair.cdr;
  ZU_SEXP run{};  // the running value while it stays a plain number
  if (!rest) {
    ZU_SEXP zero{};
    zero.h.type = ZU_TYPE_INTEGER;
    if (plain_arith<op>(&zero, acc, &run)) return materialize(run);
    return binary(T, env, get_integer(0, nullptr), acc, __FILE__, __LINE__);
  }
  bool running = false;
  for (; get_type(rest) == ZU_TYPE_LIST; rest = rest->pair.cdr) {
    if (plain_arith<op>(running ? &run : acc, rest->pair.car, &run)) {
      running = true;
      continue;
    }
    acc = binary(T, env, running ? materialize(run) : acc, rest->pair.car, __FILE__, __LINE__);
    running = false;
    if (get_type(acc) == ZU_TYPE_ERROR) return acc;
  }
  return running ? materialize(run) : acc;
}

// (op a b c...): 1 when each neighbouring pair is in order, else 0.
template <const BIN_TABLE& T, Rel rel>
ZU_SEXP* chain(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* r = nullptr;
  for (ZU_SEXP* p = form->pair.cdr; get_type(p->pair.cdr) == ZU_TYPE_LIST; p = p->pair.cdr) {
    bool in_order;
    if (plain_rel<rel>(p->pair.car, p->pair.cdr->pair.car, &in_order)) {
      if (!in_order) return get_integer(0, nullptr);
      r = nullptr;  // 1, made at the end
      continue;
    }
    r = binary(T, env, p->pair.car, p->pair.cdr->pair.car, __FILE__, __LINE__);
    if (get_type(r) != ZU_TYPE_INTEGER || r->integer.num == 0) return r;
  }
  return r ? r : get_integer(1, nullptr);
}

// The unit conversions only read the environment.
constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT | ZU_FUNC_ENV_TRANSIENT;
const QN_PRIM_DEF kArith[] = {
    {"+", fold<add_t, Op::Add>, 1, 3, -1, T},  {"-", fold<sub_t, Op::Sub>, 1, 2, -1, T},
    {"*", fold<mul_t, Op::Mul>, 1, 3, -1, T},  {"/", fold<quo_t, Op::Quo>, 1, 3, -1, T},
    {"%", fold<mod_t, Op::Mod>, 1, 3, -1, T},  {"<", chain<lt_t, Rel::Lt>, 1, 3, -1, T},
    {"<=", chain<le_t, Rel::Le>, 1, 3, -1, T}, {">", chain<gt_t, Rel::Gt>, 1, 3, -1, T},
    {">=", chain<ge_t, Rel::Ge>, 1, 3, -1, T}, {"==", chain<eq_t, Rel::Eq>, 1, 3, -1, T},
    {"!=", chain<ne_t, Rel::Ne>, 1, 3, -1, T}, {nullptr, nullptr, 0, 0, 0, 0},
};

}  // namespace

void init_qn_arith(ZUISP_ENV* env) { bind_prims(env, kArith); }
