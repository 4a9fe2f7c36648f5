// The operator tables and binary().
#include "zu/arith.h"
#include "zu/arith_rel_impl.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "zu/unit.h"

namespace {

enum class Op { Add, Sub, Mul, Quo, Mod };
// Nesting of lists compared inside one another; deeper lists are refused
// rather than risking the stack.
constexpr int kMaxListDepth = 1000;

// ---- errors

ZU_SEXP* operand_error(ZU_SEXP* a, ZU_SEXP* b, uint32_t code, ZU_SEXP* data) {
  ZU_SEXP* at = a && a->h.file ? a : b;
  ZU_FILE* f = at ? at->h.file : nullptr;
  int line = at ? at->h.line : 0;
  return get_error_ascii(f, line, code, "binary", data);
}

ZU_SEXP* type_error(ZU_SEXP* a, ZU_SEXP* b) {
  return operand_error(a, b, ZU_ER_TYPE, list(get_string_ascii("type missmatch")));
}

ZU_SEXP* unit_error(ZU_SEXP* a, ZU_SEXP* b, const L_CHAR* ua, const L_CHAR* ub) {
  return operand_error(
      a, b, ZU_ER_TYPE,
      List(get_string_ascii("unit missmatch"), get_string(ua), get_string(ub), ZU_LIST_END));
}

ZU_SEXP* zero_error(ZU_SEXP* a, ZU_SEXP* b) {
  return operand_error(a, b, ZU_ER_PARAM, list(get_string_ascii("division by zero")));
}

ZU_SEXP* boolean(bool v) { return get_integer(v ? 1 : 0, nullptr); }

// ---- numbers with units

struct Num {
  bool is_int;
  int64_t i;
  double d;
  const L_CHAR* unit;
  double value() const { return is_int ? static_cast<double>(i) : d; }
};

Num num_of(ZU_SEXP* s) {
  if (s->h.type == ZU_TYPE_INTEGER) return {true, s->integer.num, 0.0, s->integer.unit};
  return {false, 0, s->floating.num, s->floating.unit};
}

bool has_unit(const L_CHAR* u) { return u && *u; }

// A converted value: a whole number in range keeps an integer integral.
void set_converted(Num& n, double v) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (n.is_int && v == std::trunc(v) && v >= -kLimit && v < kLimit) {
    n.i = static_cast<int64_t>(v);
  } else {
    n.is_int = false;
    n.d = v;
  }
}

// Brings b into a's unit; *unit receives the unit of the pair. False when
// the two units cannot be converted.
bool align(ZUISP_ENV* env, Num& a, Num& b, const L_CHAR** unit) {
  *unit = has_unit(a.unit) || !has_unit(b.unit) ? a.unit : b.unit;
  if (!has_unit(a.unit) || !has_unit(b.unit) || l_strcmp(a.unit, b.unit) == 0) return true;
  int err = 0;
  double v = conv_unit(&err, uenv_in_force(env), b.value(), b.unit, a.unit);
  if (err) return false;
  set_converted(b, v);
  b.unit = a.unit;
  return true;
}

// Unit of a product (sign 1) or quotient (-1) into *text; false when the
// unit texts are not unit expressions.
bool product_unit(ZUISP_ENV* env, Num& a, Num& b, int sign, std::vector<L_CHAR>* text) {
  if (!has_unit(a.unit) && !has_unit(b.unit)) {
    text->clear();
    return true;
  }
  if (has_unit(a.unit) && has_unit(b.unit)) {
    const L_CHAR* unused;
    Num trial = b;
    if (align(env, a, trial, &unused)) b = trial;
  }
  *text = unit_text_product(a.unit, b.unit, sign);
  return !text->empty();
}

int64_t wrap_add(int64_t x, int64_t y) {
  return static_cast<int64_t>(static_cast<uint64_t>(x) + static_cast<uint64_t>(y));
}
int64_t wrap_sub(int64_t x, int64_t y) {
  return static_cast<int64_t>(static_cast<uint64_t>(x) - static_cast<uint64_t>(y));
}
int64_t wrap_mul(int64_t x, int64_t y) {
  return static_cast<int64_t>(static_cast<uint64_t>(x) * static_cast<uint64_t>(y));
}

template <Op op>
ZU_SEXP* arith(ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char*, int) {
  Num x = num_of(a);
  Num y = num_of(b);
  std::vector<L_CHAR> text;
  const L_CHAR* unit;
  if constexpr (op == Op::Mul || op == Op::Quo) {
    if (!product_unit(env, x, y, op == Op::Mul ? 1 : -1, &text)) return unit_error(a, b, x.unit, y.unit);
    unit = text.size() > 1 ? text.data() : nullptr;
  } else {
    if (!align(env, x, y, &unit)) return unit_error(a, b, x.unit, y.unit);
  }
  if (x.is_int && y.is_int) {
    int64_t r = 0;
    switch (op) {
      case Op::Add: r = wrap_add(x.i, y.i); break;
      case Op::Sub: r = wrap_sub(x.i, y.i); break;
      case Op::Mul: r = wrap_mul(x.i, y.i); break;
      case Op::Quo:
        if (y.i == 0) return zero_error(a, b);
        r = y.i == -1 ? wrap_sub(0, x.i) : x.i / y.i;
        break;
      case Op::Mod:
        if (y.i == 0) return zero_error(a, b);
        r = y.i == -1 ? 0 : x.i % y.i;
        break;
    }
    return get_integer(r, unit);
  }
  double u = x.value(), v = y.value(), r = 0;
  switch (op) {
    case Op::Add: r = u + v; break;
    case Op::Sub: r = u - v; break;
    case Op::Mul: r = u * v; break;
    case Op::Quo:
      if (v == 0) return zero_error(a, b);
      r = u / v;
      break;
    case Op::Mod:
      if (v == 0) return zero_error(a, b);
      r = std::fmod(u, v);
      break;
  }
  return get_floating(r, unit);
}

template <Rel rel>
bool holds_3way(int c) {  // c: three-way result
  switch (rel) {
    case Rel::Lt: return c < 0;
    case Rel::Le: return c <= 0;
    case Rel::Gt: return c > 0;
    case Rel::Ge: return c >= 0;
    case Rel::Eq: return c == 0;
    case Rel::Ne: return c != 0;
  }
  return false;
}


template <Rel rel>
ZU_SEXP* num_rel(ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char*, int) {
  Num x = num_of(a);
  Num y = num_of(b);
  const L_CHAR* unit;
  if (!align(env, x, y, &unit)) return unit_error(a, b, x.unit, y.unit);
  if (x.is_int && y.is_int) return boolean(holds<rel>(x.i, y.i));
  return boolean(holds<rel>(x.value(), y.value()));
}

template <Rel rel>
ZU_SEXP* str_rel(ZUISP_ENV*, ZU_SEXP* a, ZU_SEXP* b, const char*, int) {
  return boolean(holds_3way<rel>(l_strcmp(str_text(a), str_text(b))));
}

template <Rel rel>
ZU_SEXP* sym_rel(ZUISP_ENV*, ZU_SEXP* a, ZU_SEXP* b, const char*, int) {
  return boolean(holds_3way<rel>(l_strcmp(sym_name(a), sym_name(b))));
}

// ---- lists

thread_local int list_depth = 0;

struct DepthGuard {
  DepthGuard() { ++list_depth; }
  ~DepthGuard() { --list_depth; }
};

int list_order(ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, ZU_SEXP** err);

// Orders two members as lt_t does, without making values: -1, 0 (neither
// is less) or 1; 2 with *err set when lt_t does not order them.
int member_order(ZUISP_ENV* env, ZU_SEXP* x, ZU_SEXP* y, ZU_SEXP** err) {
  int tx = get_type(x);
  int ty = get_type(y);
  if (tx == ZU_TYPE_ERROR || ty == ZU_TYPE_ERROR) {
    *err = tx == ZU_TYPE_ERROR ? x : y;
    return 2;
  }
  bool lx = tx == ZU_TYPE_NULL || tx == ZU_TYPE_LIST;
  bool ly = ty == ZU_TYPE_NULL || ty == ZU_TYPE_LIST;
  bool nx = tx == ZU_TYPE_INTEGER || tx == ZU_TYPE_FLOATING;
  bool ny = ty == ZU_TYPE_INTEGER || ty == ZU_TYPE_FLOATING;
  if (lx && ly) return list_order(env, x, y, err);
  if (tx == ZU_TYPE_STRING && ty == ZU_TYPE_STRING) return l_strcmp(str_text(x), str_text(y));
  if (tx == ZU_TYPE_SYMBOL && ty == ZU_TYPE_SYMBOL) return l_strcmp(sym_name(x), sym_name(y));
  if (nx && ny) {
    Num p = num_of(x);
    Num q = num_of(y);
    const L_CHAR* unit;
    if (!align(env, p, q, &unit)) {
      *err = unit_error(x, y, p.unit, q.unit);
      return 2;
    }
    if (p.is_int && q.is_int) return p.i < q.i ? -1 : p.i > q.i ? 1 : 0;
    double u = p.value(), v = q.value();
    return u < v ? -1 : v < u ? 1 : 0;
  }
  *err = type_error(x, y);
  return 2;
}

int list_order(ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, ZU_SEXP** err) {
  DepthGuard guard;
  if (list_depth > kMaxListDepth) {
    *err = operand_error(a, b, ZU_ER_TYPE, list(get_string_ascii("list nesting too deep")));
    return 2;
  }
  ZU_SEXP* p = a;
  ZU_SEXP* q = b;
  for (;;) {
    int tp = get_type(p);
    int tq = get_type(q);
    if (tp != ZU_TYPE_LIST || tq != ZU_TYPE_LIST) {
      if (tp == ZU_TYPE_NULL && tq == ZU_TYPE_NULL) return 0;
      if (tp == ZU_TYPE_NULL && tq == ZU_TYPE_LIST) return -1;
      if (tp == ZU_TYPE_LIST && tq == ZU_TYPE_NULL) return 1;
      return member_order(env, p, q, err);  // improper tails
    }
    int c = member_order(env, p->pair.car, q->pair.car, err);
    if (c != 0) return c;
    p = p->pair.cdr;
    q = q->pair.cdr;
  }
}

template <Rel rel>
ZU_SEXP* list_rel(ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char*, int) {
  ZU_SEXP* err = nullptr;
  int c = list_order(env, a, b, &err);
  if (c == 2) return err;
  return boolean(holds_3way<rel>(c));
}

// ---- table rows

#define N nullptr
#define EMPTY_ROW {N, N, N, N, N, N, N, N, N, N, N, N}
#define NUM_ROW(f) {N, N, N, N, N, f, f, N, N, N, N, N}
#define ARITH_TABLE(f) {EMPTY_ROW, EMPTY_ROW, EMPTY_ROW, EMPTY_ROW, EMPTY_ROW, NUM_ROW(f), NUM_ROW(f), \
                        EMPTY_ROW, EMPTY_ROW, EMPTY_ROW, EMPTY_ROW, EMPTY_ROW}
#define LIST_ROW(l) {l, N, l, N, N, N, N, N, N, N, N, N}
#define SYM_ROW(s) {N, N, N, s, N, N, N, N, N, N, N, N}
#define STR_ROW(s) {N, N, N, N, s, N, N, N, N, N, N, N}
#define REL_TABLE(r)                                                                         \
  {LIST_ROW(list_rel<r>), EMPTY_ROW, LIST_ROW(list_rel<r>), SYM_ROW(sym_rel<r>),            \
   STR_ROW(str_rel<r>),  NUM_ROW(num_rel<r>), NUM_ROW(num_rel<r>), EMPTY_ROW, EMPTY_ROW, \
   EMPTY_ROW, EMPTY_ROW, EMPTY_ROW}

}  // namespace

const BIN_TABLE add_t = ARITH_TABLE(arith<Op::Add>);
const BIN_TABLE sub_t = ARITH_TABLE(arith<Op::Sub>);
const BIN_TABLE mul_t = ARITH_TABLE(arith<Op::Mul>);
const BIN_TABLE quo_t = ARITH_TABLE(arith<Op::Quo>);
const BIN_TABLE mod_t = ARITH_TABLE(arith<Op::Mod>);
const BIN_TABLE lt_t = REL_TABLE(Rel::Lt);
const BIN_TABLE le_t = REL_TABLE(Rel::Le);
const BIN_TABLE gt_t = REL_TABLE(Rel::Gt);
const BIN_TABLE ge_t = REL_TABLE(Rel::Ge);
const BIN_TABLE eq_t = REL_TABLE(Rel::Eq);
const BIN_TABLE ne_t = REL_TABLE(Rel::Ne);

#undef N
#undef EMPTY_ROW
#undef NUM_ROW
#undef ARITH_TABLE
#undef LIST_ROW
#undef SYM_ROW
#undef STR_ROW
#undef REL_TABLE

ZU_SEXP* binary(const BIN_TABLE& t, ZUISP_ENV* env, ZU_SEXP* a, ZU_SEXP* b, const char* file,
                int line) {
  int ta = get_type(a);
  if (ta == ZU_TYPE_ERROR) return a;
  int tb = get_type(b);
  if (tb == ZU_TYPE_ERROR) return b;
  if (ta < 0 || ta >= kBinTypes || tb < 0 || tb >= kBinTypes) return type_error(a, b);
  BIN_FUNC f = t[ta][tb];
  if (!f) return type_error(a, b);
  return f(env, a, b, file, line);
}

int zu_truth(ZU_SEXP* s) {
  switch (get_type(s)) {
    case ZU_TYPE_INTEGER: return s->integer.num != 0 ? 1 : 0;
    case ZU_TYPE_FLOATING: return s->floating.num != 0.0 ? 1 : 0;
    default: return -1;
  }
}
