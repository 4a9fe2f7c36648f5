// Cast, TypeOf and GetType.
#include "zulib/cast.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>

#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/lib_impl.h"

// ---- reading numbers from text

namespace {

bool is_blank(L_CHAR c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
bool is_digit(L_CHAR c) { return c >= '0' && c <= '9'; }

// The digit's value in base `base`, or -1.
int digit_value(L_CHAR c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = static_cast<int>(c - '0');
  else if (c >= 'a' && c <= 'f') v = static_cast<int>(c - 'a') + 10;
  else if (c >= 'A' && c <= 'F') v = static_cast<int>(c - 'A') + 10;
  return v < base ? v : -1;
}

std::u32string compact(const L_CHAR* s, bool zero_ignore) {
  std::u32string t;
  for (const L_CHAR* p = s; p && *p; ++p) {
    if (is_blank(*p)) continue;
    if (zero_ignore && *p == '0' && is_digit(p[1])) continue;
    zero_ignore = false;
    t.push_back(static_cast<char32_t>(*p));
  }
  return t;
}

// Where the digits of the run starting at i end.
size_t digits_end(const std::u32string& t, size_t i) {
  while (i < t.size() && is_digit(t[i])) ++i;
  return i;
}

}  // namespace

int cast_read_integer(const L_CHAR* s, bool zero_ignore, CAST_NUMBER* out) {
  out->text = compact(s, zero_ignore);
  const std::u32string& t = out->text;
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  int base = 10;
  if (i + 2 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X') && digit_value(t[i + 2], 16) >= 0) {
    base = 16;
    i += 2;
  } else if (i < t.size() && t[i] == '0') {
    base = 8;
  }
  // The magnitude may reach 2^63 for a negative number only.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t v = 0;
  size_t start = i;
  for (int d; i < t.size() && (d = digit_value(t[i], base)) >= 0; ++i) {
    if (v > (limit - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return -1;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  if (i == start) {  // no digits: a sign alone is unit text too
    out->integer = 0;
    out->unit_at = 0;
    return 0;
  }
  out->integer = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  out->unit_at = i;
  return 0;
}

int cast_read_floating(const L_CHAR* s, bool zero_ignore, CAST_NUMBER* out) {
  out->text = compact(s, zero_ignore);
  const std::u32string& t = out->text;
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t int_end = digits_end(t, i);
  size_t end = int_end;
  bool digits = int_end > i;
  if (end < t.size() && t[end] == '.') {
    size_t frac_end = digits_end(t, end + 1);
    digits = digits || frac_end > end + 1;
    end = frac_end;
  }
  if (!digits) {
    out->floating = 0.0;
    out->unit_at = 0;
    return 0;
  }
  // An exponent counts only with digits after the "e" and its sign.
  if (end < t.size() && (t[end] == 'e' || t[end] == 'E')) {
    size_t e = end + 1;
    if (e < t.size() && (t[e] == '+' || t[e] == '-')) ++e;
    size_t exp_end = digits_end(t, e);
    if (exp_end > e) end = exp_end;
  }
  std::string number(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(end));
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  double v = strtod_l(number.c_str(), nullptr, c_locale);
  if (std::isinf(v)) return -1;
  out->floating = v;
  out->unit_at = end;
  return 0;
}

// ---- Cast

namespace {

constexpr const char* kFunc = "Cast";

struct CastCall {
  ZU_SEXP* x;
  int target;            // type code named by `type`
  const L_CHAR* option;  // null when absent
  ZU_SEXP* form;
  bool option_is(const char* word) const { return option && zu_wcmp_ascii(option, word) == 0; }
};

// A conversion from one source type: true with *r set, or false when the
// target is not among the source's conversions.
using CAST_FROM = bool (*)(const CastCall& c, ZU_SEXP** r);

std::u32string ascii_case(const L_CHAR* s, bool upper) {
  std::u32string t;
  for (const L_CHAR* p = s; p && *p; ++p) {
    L_CHAR ch = *p;
    if (upper && ch >= 'a' && ch <= 'z') ch -= 'a' - 'A';
    else if (!upper && ch >= 'A' && ch <= 'Z') ch += 'a' - 'A';
    t.push_back(static_cast<char32_t>(ch));
  }
  return t;
}

const L_CHAR* wide(const std::u32string& s) { return reinterpret_cast<const L_CHAR*>(s.c_str()); }

bool from_null(const CastCall& c, ZU_SEXP** r) {
  *r = nullptr;
  return c.target == ZU_TYPE_NULL || c.target == ZU_TYPE_LIST;
}

// Function, pointer, raw and environment values cast to their own type only.
bool itself(const CastCall& c, ZU_SEXP** r) {
  *r = c.x;
  return c.target == get_type(c.x);
}

bool from_symbol(const CastCall& c, ZU_SEXP** r) {
  if (c.target == ZU_TYPE_STRING) {
    *r = cast_symbol2string(c.x);
    return true;
  }
  if (c.target != ZU_TYPE_SYMBOL) return false;
  bool small = c.option_is("small");
  if (!small && !c.option_is("capital")) {
    *r = c.x;
    return true;
  }
  // Each attribute goes to the front in turn, so the new order is reversed.
  ZU_SEXP* s = get_symbol(wide(ascii_case(sym_name(c.x), !small)));
  for (ZU_SYM_FIELD* f = sym_field(c.x); f; f = f->next) {
    if (f->name) set_attribute(s, wide(ascii_case(f->name, !small)), f->value);
  }
  *r = s;
  return true;
}

bool from_string(const CastCall& c, ZU_SEXP** r) {
  const L_CHAR* text = str_text(c.x);
  CAST_NUMBER n;
  bool zero_ignore = c.option_is("zeroIgnore");
  switch (c.target) {
    case ZU_TYPE_STRING:
      if (c.option_is("small") || c.option_is("capital")) *r = get_string(wide(ascii_case(text, c.option_is("capital"))));
      else *r = c.option ? get_string(text) : c.x;
      return true;
    case ZU_TYPE_SYMBOL:
      *r = get_symbol(text);
      return true;
    case ZU_TYPE_INTEGER:
      if (cast_read_integer(text, zero_ignore, &n) < 0) {
        *r = error_text_at(c.form, ZU_ER_PARAM, kFunc, "number out of range");
      } else {
        // No text after the number: no unit at all.
        *r = get_integer(n.integer, n.unit_at < n.text.size() ? wide(n.text) + n.unit_at : nullptr);
      }
      return true;
    case ZU_TYPE_FLOATING:
      if (cast_read_floating(text, zero_ignore, &n) < 0)
        *r = error_text_at(c.form, ZU_ER_PARAM, kFunc, "number out of range");
      else *r = get_floating(n.floating, wide(n.text) + n.unit_at);
      return true;
    default:
      return false;
  }
}

bool from_integer(const CastCall& c, ZU_SEXP** r) {
  std::u32string text;
  switch (c.target) {
    case ZU_TYPE_INTEGER:
      *r = c.x;
      return true;
    case ZU_TYPE_FLOATING:
      *r = get_floating(static_cast<double>(c.x->integer.num), c.x->integer.unit);
      return true;
    case ZU_TYPE_STRING:
      if (c.option_is("char")) {
        L_CHAR code = static_cast<L_CHAR>(c.x->integer.num);
        *r = get_string_len(&code, 1);
      } else {
        number_text(c.x, &text);
        *r = get_string_u32(text);
      }
      return true;
    default:
      return false;
  }
}

bool from_floating(const CastCall& c, ZU_SEXP** r) {
  std::u32string text;
  double v = c.x->floating.num;
  switch (c.target) {
    case ZU_TYPE_INTEGER:
      // Truncation toward zero; a value beyond 64 bits has no integer.
      if (!(std::fabs(v) < 9223372036854775808.0))
        *r = error_text_at(c.form, ZU_ER_PARAM, kFunc, "number out of range");
      else *r = get_integer(static_cast<int64_t>(v), c.x->floating.unit);
      return true;
    case ZU_TYPE_FLOATING:
      *r = c.x;
      return true;
    case ZU_TYPE_STRING:
      number_text(c.x, &text);
      *r = get_string_u32(text);
      return true;
    default:
      return false;
  }
}

bool from_list(const CastCall& c, ZU_SEXP** r) {
  *r = c.x;
  return c.target == ZU_TYPE_LIST;
}

// Indexed by the source's type code; errors never arrive (arguments are
// evaluated) and delayed values are forced first.
constexpr CAST_FROM kCastFrom[ZU_TYPE_COUNT] = {
    from_null, nullptr, from_list, from_symbol, from_string, from_integer,
    from_floating, itself, nullptr, itself, itself, itself,
};

int type_code(const L_CHAR* name) {
  for (int t = 0; name && t < ZU_TYPE_COUNT; ++t) {
    if (zu_wcmp_ascii(name, zu_type_name(t)) == 0) return t;
  }
  return -1;
}

ZU_SEXP* zu_Cast(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  CastCall c{get_el(form, 1), type_code(head_option(sf, "type")), head_option(sf, "option"), form};
  if (c.target < 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "invalid type name");
  CAST_FROM from = kCastFrom[get_type(c.x)];
  ZU_SEXP* r = nullptr;
  if (!from || !from(c, &r)) return error_at(form, ZU_ER_TYPE, kFunc, nullptr);
  return r;
}

ZU_SEXP* zu_TypeOf(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_string_ascii(zu_type_name(get_type(get_el(form, 1))));
}

const QN_PRIM_DEF kCast[] = {{"Cast", zu_Cast, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT},
                             {"TypeOf", zu_TypeOf, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT},
                             {}};
const QN_PRIM_DEF kGetType[] = {{"GetType", zu_TypeOf, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT}, {}};

}  // namespace

void init_Cast(ZUISP_ENV* env) { bind_prims(env, kCast); }
void init_GetType(ZUISP_ENV* env) { bind_prims(env, kGetType); }
