// The atoms of the reader's grammar: bare words (symbols, numbers with
// units, strings between tags, attributes), quoted strings with escapes and
// references, bracketed symbols with attributes, raw bytes and error
// literals.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "zu/parser_impl.h"
#include "zu/site.h"

using namespace zu_parse;

namespace {

// The character a backslash escape stands for, pushed on the token stack
// (an unknown escape keeps its backslash).
void push_escape(Reader* r, L_CHAR e) {
  switch (e) {
    case 'n': tok_push(r, '\n'); break;
    case 'r': tok_push(r, '\r'); break;
    case 't': tok_push(r, '\t'); break;
    case '\\': case '"': case '\'': case '&': tok_push(r, e); break;
    default:
      tok_push(r, '\\');
      tok_push(r, e);
  }
}

// After a "&": the reference's character pushed, or the "&" itself when
// the text is no reference (an encoding announcement pushes nothing).
void push_ref(Reader* r, bool full) {
  L_CHAR code;
  int k = read_ref(r, full, &code);
  if (k == 1) tok_push(r, code);
  else if (k == 0) tok_push(r, '&');
}

// Whether a unit text would read as an exponent after a number.
bool exponent_like(const L_CHAR* u, size_t n) {
  if (n == 0 || (u[0] != 'e' && u[0] != 'E')) return false;
  size_t j = n > 1 && (u[1] == '+' || u[1] == '-') ? 2 : 1;
  return j < n && is_digit(u[j]);
}

// The value of a decimal integer text ([+-] digits); false when it does
// not fit in 64 bits.
bool integer_value(const L_CHAR* t, size_t n, int64_t* out) {
  size_t i = 0;
  bool neg = false;
  if (t[0] == '+' || t[0] == '-') {
    neg = t[0] == '-';
    i = 1;
  }
  const uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t v = 0;
  for (; i < n; ++i) {
    uint64_t d = t[i] - '0';
    if (v > (limit - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

// The value of a number text ([+-] digits, point, exponent: all plain
// bytes), rounded as strtod rounds it (in the "C" locale the program keeps).
double floating_value(const L_CHAR* t, size_t n) {
  char small[64];
  std::string big;
  char* b = small;
  if (n >= sizeof small) {
    big.resize(n + 1);
    b = big.data();
  }
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>(t[i]);
  b[n] = 0;
  double d = 0;
  auto [end, ec] = std::from_chars(b, b + n, d);
  // A leading "+", an overflow or an underflow: strtod says what it is.
  if (ec != std::errc() || end != b + n) d = std::strtod(b, nullptr);
  return d;
}

// A number's value with its unit (unit null: none).
template <class T>
ZU_SEXP* number_value(int type, T num, const L_CHAR* unit, size_t ulen) {
  ZU_SEXP* s = new_sexp(type);
  L_CHAR* u = unit ? ll_copy_mstr_len(unit, ulen) : nullptr;
  if (type == ZU_TYPE_INTEGER) {
    s->integer.num = static_cast<int64_t>(num);
    s->integer.unit = u;
  } else {
    s->floating.num = static_cast<double>(num);
    s->floating.unit = u;
  }
  return s;
}

// Numbers: [+-] digits [. digits] [(e|E) [+-] digits], then the unit. Null
// for a word that is no number; *bad is set when it reads as one that
// would not print back as itself (an overflow, or a unit like "e10").
ZU_SEXP* as_number(const L_CHAR* t, size_t n, bool* bad) {
  *bad = false;
  size_t i = 0;
  if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
  if (i >= n || !is_digit(t[i])) return nullptr;
  while (i < n && is_digit(t[i])) ++i;
  bool flo = false;
  if (i + 1 < n && t[i] == '.' && is_digit(t[i + 1])) {
    flo = true;
    i += 2;
    while (i < n && is_digit(t[i])) ++i;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    size_t j = i + 1;
    if (j < n && (t[j] == '+' || t[j] == '-')) ++j;
    if (j < n && is_digit(t[j])) {
      flo = true;
      i = j;
      while (i < n && is_digit(t[i])) ++i;
    }
  }
  const L_CHAR* unit = i < n ? t + i : nullptr;
  size_t ulen = n - i;
  if (exponent_like(unit, ulen)) {
    *bad = true;
    return nullptr;
  }
  int64_t v;
  if (!flo && integer_value(t, i, &v)) return number_value(ZU_TYPE_INTEGER, v, unit, ulen);
  double d = floating_value(t, i);
  if (std::isinf(d)) {
    *bad = true;
    return nullptr;
  }
  return number_value(ZU_TYPE_FLOATING, d, unit, ulen);
}

// The code of an error literal: decimal, or hexadecimal after "0x"; 0 for
// a word that is no code from 1 to 0xFFFFFFFF (0 itself reads as no error
// anywhere an error is tested for).
uint32_t error_code_word(const L_CHAR* t, size_t n) {
  bool hexa = n > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  size_t from = hexa ? 2 : 0;
  if (n <= from || n - from > (hexa ? 8u : 10u)) return 0;
  uint64_t v = 0;
  for (size_t i = from; i < n; ++i) {
    if (hexa ? !is_hex(t[i]) : !is_digit(t[i])) return 0;
    v = hexa ? (v << 4) | static_cast<uint64_t>(hex_val(t[i])) : v * 10 + (t[i] - '0');
  }
  return v <= UINT32_MAX ? static_cast<uint32_t>(v) : 0;
}

// "#error(code site file line func data)" after "#error(".
ZU_SEXP* read_error_literal(Parser& p, int depth, int line) {
  Reader* r = p.r;
  DepthGuard dg(r);
  if (depth + 1 > ZU_READ_MAX_DEPTH) return fail(p, ZU_ER_PARSE_DEPTH, "nesting too deep", line);
  L_CHAR c;
  if (skip_ws(p, &c) != kChar) return fail_end(p, line);
  uint32_t code;
  {
    TokScope scope(r);
    const uint64_t from = r->tok_len;
    while (peek_char(r, &c) == kChar && !is_ws(c) && c != '(' && c != ')' && c != '"') {
      next_char(r, &c);
      tok_push(r, c);
    }
    Span word = tok_since(r, from);
    code = error_code_word(tok_at(r, word), word.len);
  }
  if (code == 0) return fail(p, ZU_ER_PARSE_ERROR, "invalid error literal", line);
  ZU_SEXP* l = read_members(p, depth + 1, line);
  if (p.err) return nullptr;
  ZU_SEXP* v[5] = {};
  ZU_SEXP* x = l;
  int n = 0;
  for (; x && sexp_type(x) == ZU_TYPE_LIST && n < 5; x = x->pair.cdr) v[n++] = x->pair.car;
  auto text_or_nil = [](ZU_SEXP* s) { return !s || sexp_type(s) == ZU_TYPE_STRING; };
  auto line_number = [](ZU_SEXP* s) {
    return sexp_type(s) == ZU_TYPE_INTEGER && !s->integer.unit && s->integer.num >= INT32_MIN &&
           s->integer.num <= INT32_MAX;
  };
  if (n != 5 || x || sexp_type(v[0]) != ZU_TYPE_STRING || !text_or_nil(v[1]) || !line_number(v[2]) ||
      !text_or_nil(v[3]))
    return fail(p, ZU_ER_PARSE_ERROR, "invalid error literal", line);
  ZU_FILE* ef = nullptr;
  if (v[1]) {
    ef = new_zu_file(str_text(v[1]), nullptr);
    close_zu_file(ef);  // a name only: nothing to read
  }
  ZU_SEXP* e = get_error(ef, static_cast<int>(v[2]->integer.num), code, v[3] ? str_text(v[3]) : nullptr, v[4]);
  e->error->site = zu_intern_site(str_text(v[0]));
  return at(e, p.f, line);
}

// Raw bytes after "#size#": the value, taken from the buffer in one piece
// when all of it is there.
ZU_SEXP* read_raw(Parser& p, uint64_t size, int line) {
  Reader* r = p.r;
  L_CHAR c;
  ZU_SEXP* v = nullptr;
  uint64_t at_byte = r->cur.pos - r->base;
  if (at_byte <= r->fill && r->fill - at_byte >= size) {
    auto* block = static_cast<uint8_t*>(mmalloc(size, gc_text));
    take_buffered_bytes(r, size, block);
    v = get_raw_set_data(block, static_cast<uint32_t>(size));
  } else {
    // Gathered as it arrives: a size the input does not hold allocates
    // nothing beyond what came.
    std::vector<uint8_t> bytes;
    int k = read_bytes(r, size, bytes);
    if (k != kChar) return fail_end(p, line);
    v = get_raw(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  int k = next_char(r, &c);
  if (k != kChar) return fail_end(p, line);
  if (c != ']') return fail(p, ZU_ER_PARSE_RAW, "invalid raw data", line);
  return at(v, p.f, line);
}

}  // namespace

namespace zu_parse {

// After the opening quote: the text up to the closing quote, with
// backslash escapes and references, pushed on the token stack (*out).
bool read_quoted(Parser& p, L_CHAR quote, Span* out, int line) {
  Reader* r = p.r;
  const uint64_t from = r->tok_len;
  for (;;) {
    // Lines are capped as they are read; a string may span many.
    uint64_t n = r->tok_len - from;
    if (too_long(p, n, line)) return false;
    if (take_run(r, kQuotedRun, r->line_cap + 1 - n) && too_long(p, r->tok_len - from, line)) return false;
    L_CHAR c;
    int k = next_char(r, &c);
    if (k != kChar) {
      fail_end(p, line);
      return false;
    }
    if (c == quote) {
      *out = tok_since(r, from);
      return true;
    }
    if (c == '\\') {
      if (next_char(r, &c) != kChar) {
        fail_end(p, line);
        return false;
      }
      push_escape(r, c);
      continue;
    }
    if (c == '&') {
      push_ref(r, true);
      continue;
    }
    tok_push(r, c);
  }
}

// A bare word: symbol, number, string or attribute (name="value", returned
// through attr_out with a null result and left on the token stack). The
// word's text begins at the token stack's offset `from` (a first character
// the caller took may be there already).
ZU_SEXP* read_word(Parser& p, Ctx ctx, Attr* attr_out, int line, uint64_t from) {
  Reader* r = p.r;
  for (;;) {
    take_run(r, kWordRun);
    L_CHAR c;
    int k = peek_char(r, &c);
    if (k != kChar) break;
    if (is_ws(c)) break;
    bool empty = r->tok_len == from;
    if (ctx != kHtml && (c == '(' || c == ')' || c == '"')) break;
    if (ctx != kList && c == '<' && !empty) break;
    if (ctx != kHtml && c == '=' && !empty) {
      Cursor before = save(r);
      next_char(r, &c);
      L_CHAR q;
      if (peek_char(r, &q) == kChar && q == '"') {
        next_char(r, &q);
        Attr a;
        a.name = tok_since(r, from);
        if (!read_quoted(p, '"', &a.value, line)) return nullptr;
        if (!attr_out) return fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
        *attr_out = a;
        return nullptr;
      }
      restore(r, before);
      next_char(r, &c);
      tok_push(r, c);
      continue;
    }
    next_char(r, &c);
    if (c == '&') {
      push_ref(r, ctx != kList);
      continue;
    }
    if (c == '\\' && ctx == kContent) {
      L_CHAR e;
      if (next_char(r, &e) != kChar) {
        tok_push(r, '\\');
        break;
      }
      push_escape(r, e);
      continue;
    }
    tok_push(r, c);
  }
  Span t = tok_since(r, from);
  const L_CHAR* text = tok_at(r, t);
  bool bad = false;
  ZU_SEXP* v;
  if (ctx == kList) {
    v = as_number(text, t.len, &bad);
    if (!v && bad) return fail(p, ZU_ER_PARSE_NUMBER, "invalid number", line);
    if (!v) v = reader_symbol(r, t);
  } else {
    v = p.no_number() ? nullptr : as_number(text, t.len, &bad);
    if (!v) v = get_string_len(text, t.len);
  }
  r->tok_len = from;
  return at(v, p.f, line);
}

// A word that begins with a character the caller has taken.
ZU_SEXP* read_word_after(Parser& p, Ctx ctx, Attr* attr_out, int line, L_CHAR first) {
  uint64_t from = p.r->tok_len;
  tok_push(p.r, first);
  return read_word(p, ctx, attr_out, line, from);
}

// "[name a="v" ...]" after the "[": the symbol, or null (cursor unchanged
// for the caller to restore) when the text is not of that form.
ZU_SEXP* read_bracket(Parser& p, int line) {
  Reader* r = p.r;
  TokScope scope(r);
  Span name;
  L_CHAR c;
  if (peek_char(r, &c) != kChar) return nullptr;
  if (c == '"') {
    next_char(r, &c);
    if (!read_quoted(p, '"', &name, line)) {
      p.err = nullptr;
      return nullptr;
    }
  } else {
    const uint64_t from = r->tok_len;
    for (;;) {
      if (take_run(r, kBracketNameRun)) continue;
      if (peek_char(r, &c) != kChar) return nullptr;
      if (is_ws(c) || c == ']') break;
      if (c == '"' || c == '[' || c == '(' || c == ')') return nullptr;
      next_char(r, &c);
      if (c == '&') {
        push_ref(r, false);
        continue;
      }
      tok_push(r, c);
    }
    name = tok_since(r, from);
    if (name.len == 0) return nullptr;
  }
  FieldChain fields;
  for (;;) {
    if (skip_plain_ws(r)) continue;
    if (peek_char(r, &c) != kChar) return nullptr;
    if (is_ws(c)) {
      next_char(r, &c);
      continue;
    }
    if (c == ']') {
      next_char(r, &c);
      break;
    }
    if (fields.count >= static_cast<size_t>(ZU_READ_MAX_ATTRS)) return nullptr;
    TokScope attr_scope(r);
    // name="value", the name quoted when it is not a plain word.
    Attr a;
    if (c == '"') {
      next_char(r, &c);
      if (!read_quoted(p, '"', &a.name, line)) {
        p.err = nullptr;
        return nullptr;
      }
      if (next_char(r, &c) != kChar || c != '=') return nullptr;
    } else {
      const uint64_t from = r->tok_len;
      for (;;) {
        if (next_char(r, &c) != kChar) return nullptr;
        if (c == '=') break;
        if (is_ws(c) || c == ']' || c == '"' || c == '[') return nullptr;
        if (c == '&') {
          L_CHAR code;
          if (read_ref(r, false, &code) == 1) c = code;
        }
        tok_push(r, c);
      }
      a.name = tok_since(r, from);
      if (a.name.len == 0) return nullptr;
    }
    if (next_char(r, &c) != kChar || c != '"') return nullptr;
    if (!read_quoted(p, '"', &a.value, line)) {
      p.err = nullptr;
      return nullptr;
    }
    fields.add(new_field(r, a.name, a.value));
  }
  ZU_SEXP* s = reader_symbol(r, name);
  s->symbol.sf = fields.head;
  return at(s, p.f, line);
}

// "#" then a raw literal, an error literal or an ordinary word.
ZU_SEXP* read_hash(Parser& p, Ctx ctx, int depth, Attr* attr_out, int line) {
  Reader* r = p.r;
  Cursor start = save(r);
  Pin pin(r, start.pos);
  L_CHAR c;
  next_char(r, &c);  // "#"
  Cursor after_hash = save(r);
  static const char kErr[] = "error(";
  bool match = true;
  for (const char* q = kErr; *q && match; ++q) {
    if (peek_char(r, &c) != kChar || c != static_cast<L_CHAR>(*q)) match = false;
    else next_char(r, &c);
  }
  if (match) {
    pin.release();
    return read_error_literal(p, depth, line);
  }
  restore(r, after_hash);
  uint64_t size = 0;
  int digits = 0;
  while (peek_char(r, &c) == kChar && is_hex(c) && digits < 9) {
    next_char(r, &c);
    size = (size << 4) | static_cast<uint64_t>(hex_val(c));
    ++digits;
  }
  if (digits > 0 && peek_char(r, &c) == kChar && c == '#') {
    next_char(r, &c);
    pin.release();
    if (size > ZU_READ_MAX_RAW) return fail(p, ZU_ER_PARSE_RAW, "invalid raw data", line);
    if (r->cur.npend) return fail(p, ZU_ER_PARSE_RAW, "invalid raw data", line);
    return read_raw(p, size, line);
  }
  restore(r, start);
  // An ordinary word that begins with "#".
  next_char(r, &c);
  pin.release();
  return read_word_after(p, ctx, attr_out, line, '#');
}

}  // namespace zu_parse
