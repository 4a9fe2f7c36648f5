// The reader's grammar: lists, attributes, elements, numbers with units,
// strings, raw bytes and error literals; the lazy list of top-level forms
// and the parser lock.
//
// Token text is gathered on the reader's token stack (reader_impl.h) and
// runs of plain bytes are taken from the buffer in one step; every other
// character goes through the cursor one at a time, so that references,
// escapes, line ends and encoding switches are handled in one place.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <string>
#include <vector>

#include "stream/stream.h"
#include "text/convert.h"
#include "zu/reader.h"
#include "zu/reader_impl.h"
#include "zu/site.h"

using namespace zu_reader;

namespace {

// Where a bare word is read: in a list it is a number or a symbol; between
// tags a number or a string; in HTML text always text (and list syntax is
// not recognised).
enum Ctx { kList, kContent, kHtml };

// ---- the token stack

// A piece of the token stack: offset and length in codes.
struct Span {
  uint64_t at = 0;
  uint64_t len = 0;
};

void tok_grow(Reader* r, uint64_t more) {
  uint64_t cap = std::max(r->tok_cap * 2, r->tok_len + more);
  auto* t = static_cast<L_CHAR*>(mmalloc(cap * sizeof(L_CHAR), gc_text));
  std::memcpy(t, r->tok, r->tok_len * sizeof(L_CHAR));
  r->tok = t;
  r->tok_cap = cap;
}

inline void tok_push(Reader* r, L_CHAR c) {
  if (r->tok_len == r->tok_cap) tok_grow(r, 1);
  r->tok[r->tok_len++] = c;
}

// Pushes plain bytes (each the character of its code).
inline void tok_bytes(Reader* r, const uint8_t* p, size_t n) {
  if (r->tok_cap - r->tok_len < n) tok_grow(r, n);
  L_CHAR* d = r->tok + r->tok_len;
  for (size_t i = 0; i < n; ++i) d[i] = p[i];
  r->tok_len += n;
}

inline const L_CHAR* tok_at(const Reader* r, const Span& s) { return r->tok + s.at; }
inline Span tok_since(const Reader* r, uint64_t at) { return Span{at, r->tok_len - at}; }

bool same_span(const Reader* r, const Span& a, const Span& b) {
  return a.len == b.len && std::memcmp(tok_at(r, a), tok_at(r, b), a.len * sizeof(L_CHAR)) == 0;
}

// Pops what a scope pushed when it ends.
class TokScope {
 public:
  explicit TokScope(Reader* r) : r_(r), mark_(r->tok_len) {}
  ~TokScope() { r_->tok_len = mark_; }
  TokScope(const TokScope&) = delete;
  TokScope& operator=(const TokScope&) = delete;

 private:
  Reader* r_;
  uint64_t mark_;
};

// Byte classes of the scanners (plain bytes only): bytes a run may take.
struct ByteSet {
  bool in[128];
};
template <class Pred>
constexpr ByteSet byte_set(Pred pred) {
  ByteSet s{};
  for (int b = 0; b < 128; ++b) s.in[b] = pred(b);
  return s;
}
constexpr bool plain_ws(int b) { return b <= 0x20 || b == 0x7F; }
// Characters of a bare word that need no second look: the others end the
// word, begin a reference or an escape, or depend on the context.
constexpr ByteSet kWordRun = byte_set([](int b) {
  return !plain_ws(b) && b != '(' && b != ')' && b != '"' && b != '=' && b != '&' && b != '\\' && b != '<';
});
// Characters of quoted text taken as they stand (quotes, escapes,
// references and line ends go one at a time).
constexpr ByteSet kQuotedRun = byte_set([](int b) {
  return b != '"' && b != '\'' && b != '\\' && b != '&' && b != '\r' && b != '\n';
});
// Characters of a bracketed symbol's bare name without a second look.
constexpr ByteSet kBracketNameRun = byte_set([](int b) {
  return !plain_ws(b) && b != ']' && b != '"' && b != '[' && b != '(' && b != ')' && b != '&';
});
// Characters of a tag or attribute name without a second look.
constexpr ByteSet kNameRun = byte_set([](int b) {
  return !plain_ws(b) && b != '>' && b != '/' && b != '=' && b != '"' && b != '\'' && b != '<' && b != '?' &&
         b != '&';
});

// Takes the run of plain bytes of `set` at the cursor (at most max) onto
// the token stack; the number taken.
inline size_t take_run(Reader* r, const ByteSet& set, uint64_t max = UINT64_MAX) {
  const uint8_t *p, *end;
  if (!plain_window(r, &p, &end)) return 0;
  if (static_cast<uint64_t>(end - p) > max) end = p + max;
  const uint8_t* from = p;
  while (p < end && *p < 0x80 && set.in[*p]) ++p;
  size_t n = static_cast<size_t>(p - from);
  if (n) {
    tok_bytes(r, from, n);
    take_plain(r, n);
  }
  return n;
}

// ---- names

uint32_t name_hash(const L_CHAR* s, size_t len) {
  uint32_t h = static_cast<uint32_t>(len);
  for (size_t i = 0; i < len; ++i) h = (h ^ s[i]) * 0x9E3779B1u;
  return h;
}

bool same_name(const ZU_ATOM* a, const L_CHAR* s, size_t len) {
  if (a->len != len) return false;
  for (size_t i = 0; i < len; ++i)
    if (a->name[i] != s[i]) return false;
  return true;
}

// The interned atom of a name, through the reader's cache: two ways of
// kAtomCache / 2 sets, the way used last first.
ZU_ATOM* reader_atom(Reader* r, const L_CHAR* s, size_t len) {
  uint32_t h = name_hash(s, len);
  ZU_ATOM** set = &r->atoms[((h ^ (h >> 15)) * 0x2C1B3C6Du >> 24) % (kAtomCache / 2) * 2];
  if (set[0] && same_name(set[0], s, len)) return set[0];
  if (set[1] && same_name(set[1], s, len)) {
    std::swap(set[0], set[1]);
    return set[0];
  }
  ZU_ATOM* a = intern_atom(s, len);
  set[1] = set[0];
  set[0] = a;
  return a;
}

// A symbol without attributes named by a piece of the token stack.
ZU_SEXP* reader_symbol(Reader* r, const Span& name) {
  // The value first: the atom is then stored before any further safe point.
  ZU_SEXP* s = new_sexp(ZU_TYPE_SYMBOL);
  s->symbol.atom = reader_atom(r, tok_at(r, name), name.len);
  return s;
}

// ---- the parser

// An attribute name="value" read as a member: both texts on the token
// stack, left there for the caller (which pops them).
struct Attr {
  Span name, value;
  bool set() const { return name.len > 0; }
};

struct Parser {
  explicit Parser(Reader* rr) : r(rr), f(rr->f) {}
  Reader* r;
  ZU_FILE* f;
  ZU_SEXP* err = nullptr;  // the error that ended the current form
  // Where err was found, for skipping the rest of the form: the lists and
  // elements open there, and whether it was inside the start tag of the
  // innermost of them.
  int err_open = 0;
  bool err_in_tag = false;
  bool in_tag = false;  // a start tag is being read
  // HTML: a closing tag that an enclosing element must match.
  std::vector<L_CHAR> pending_close;
  bool has_pending_close = false;
  std::vector<std::vector<L_CHAR>> open_tags;  // HTML: names of open elements

  bool html() const { return (f->flags & ZU_FILE_HTML) != 0; }
  bool no_number() const { return (f->flags & ZU_FILE_NO_NUMBER) != 0; }
};

ZU_SEXP* at(ZU_SEXP* s, ZU_FILE* f, int line) {
  if (s) set_sexp_pos(s, f, line);
  return s;
}

// `closed`: open elements that the error ends (a wrong closing tag).
ZU_SEXP* fail(Parser& p, uint32_t code, const char* reason, int line, int closed = 0) {
  if (!p.err) {
    p.err = get_error_ascii(p.f, line, code, "parse", list(get_string_ascii(reason)));
    p.err_open = p.r->depth.load(std::memory_order_relaxed) - closed;
    p.err_in_tag = p.in_tag;
  }
  return nullptr;
}

ZU_SEXP* fail_end(Parser& p, int line) {
  const char* why = p.r->too_long  ? "line too long"
                    : p.r->refused ? "input over its memory budget"
                    : p.r->failed  ? "read error"
                                   : "end of input";
  return fail(p, ZU_ER_END_OF_INPUT, why, line);
}

// A token past the reader's cap ends the input like a line over it.
bool too_long(Parser& p, size_t chars, int line) {
  if (chars <= p.r->line_cap) return false;
  p.r->too_long = p.r->failed = 1;
  fail(p, ZU_ER_END_OF_INPUT, "token too long", line);
  return true;
}

int line_of(Parser& p) { return p.r->cur.line; }

// Skips white space, comments, "<!...>" declarations and encoding
// announcements. Returns kChar with the next character peeked, kEnd or
// kFail.
int skip_ws(Parser& p, L_CHAR* c) {
  Reader* r = p.r;
  for (;;) {
    skip_plain_ws(r);
    int k = peek_char(r, c);
    if (k != kChar) return k;
    if (is_ws(*c)) {
      next_char(r, c);
      continue;
    }
    if (*c == '&') {
      Cursor start = save(r);
      next_char(r, c);
      L_CHAR code;
      if (read_ref(r, false, &code) == 2) continue;
      restore(r, start);
      return peek_char(r, c);
    }
    if (*c == '<') {
      Cursor start = save(r);
      Pin pin(r, start.pos);
      next_char(r, c);
      L_CHAR d;
      if (peek_char(r, &d) == kChar && d == '!') {
        next_char(r, &d);
        pin.release();
        // "<!--" comment, else a declaration up to ">".
        L_CHAR e1 = 0, e2 = 0;
        bool comment = false;
        if (peek_char(r, &e1) == kChar && e1 == '-') {
          next_char(r, &e1);
          if (peek_char(r, &e2) == kChar && e2 == '-') {
            next_char(r, &e2);
            comment = true;
          }
        }
        int dashes = 0;
        for (;;) {
          L_CHAR x;
          int k2 = next_char(r, &x);
          if (k2 != kChar) return k2;
          if (comment) {
            if (x == '>' && dashes >= 2) break;
            dashes = x == '-' ? dashes + 1 : 0;
          } else if (x == '>') {
            break;
          }
        }
        continue;
      }
      restore(r, start);
      return peek_char(r, c);
    }
    return kChar;
  }
}

ZU_SEXP* read_form(Parser& p, Ctx ctx, int depth, Attr* attr_out);

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

bool name_char(L_CHAR c) { return !is_ws(c) && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '<' && c != '?'; }
L_CHAR fold(L_CHAR c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

ZU_SYM_FIELD* new_field(Reader* r, const Span& name, const Span& value) {
  auto* fl = static_cast<ZU_SYM_FIELD*>(mmalloc(sizeof(ZU_SYM_FIELD), gc_sym_field));
  fl->name = ll_copy_mstr_len(tok_at(r, name), name.len);
  fl->value = ll_copy_mstr_len(tok_at(r, value), value.len);
  return fl;
}

// Fields in source order, appended in constant time each.
struct FieldChain {
  ZU_SYM_FIELD* head = nullptr;
  ZU_SYM_FIELD** tail = &head;
  size_t count = 0;
  void add(ZU_SYM_FIELD* fl) {
    *tail = fl;
    tail = &fl->next;
    ++count;
  }
};

// Appends attributes to the end of one symbol's list (source order) in
// constant time each, refusing more than ZU_READ_MAX_ATTRS on a symbol.
class AttrTail {
 public:
  bool add(Parser& p, ZU_SEXP* sym, const Attr& a, int line) {
    if (sym != sym_) {
      sym_ = sym;
      count_ = 0;
      for (tail_ = &sym->symbol.sf; *tail_; tail_ = &(*tail_)->next) ++count_;
    }
    if (count_ >= ZU_READ_MAX_ATTRS) {
      fail(p, ZU_ER_PARSE_ATTRIBUTE, "too many attributes", line);
      return false;
    }
    ZU_SYM_FIELD* fl = new_field(p.r, a.name, a.value);
    *tail_ = fl;
    tail_ = &fl->next;
    ++count_;
    return true;
  }

 private:
  ZU_SEXP* sym_ = nullptr;
  ZU_SYM_FIELD** tail_ = nullptr;
  int count_ = 0;
};

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

// The members of a list being read wait on the reader's member stack; the
// list's cells are made together when it closes, so that a list's spine
// lies in one run of memory (a later walk over it, a printer's or the
// collector's, then follows it at the speed of its cache). Each cell is
// positioned at its member's line (the list's own for a nil member), the
// first at the list's.
class ListBuild {
 public:
  explicit ListBuild(Reader* r) : r_(r), from_(r->elems_len) {}
  ~ListBuild() { r_->elems_len = from_; }
  ListBuild(const ListBuild&) = delete;
  ListBuild& operator=(const ListBuild&) = delete;

  void add(ZU_SEXP* e) {
    if (r_->elems_len == r_->elems_cap) grow();
    r_->elems[r_->elems_len++] = e;
  }
  bool empty() const { return r_->elems_len == from_; }
  ZU_SEXP* first() const { return empty() ? nullptr : r_->elems[from_]; }
  ZU_SEXP* finish(Parser& p, ZU_SEXP* tail, int line) {
    ZU_SEXP* head = nullptr;
    ZU_SEXP** link = &head;
    // The members stay on the stack (and pinned) until their cells hold them.
    for (uint64_t i = from_; i < r_->elems_len; ++i) {
      ZU_SEXP* e = r_->elems[i];
      ZU_SEXP* c = cons(e, nullptr);
      set_sexp_pos(c, p.f, e ? e->h.line : line);
      *link = c;
      link = &c->pair.cdr;
    }
    *link = tail;
    r_->elems_len = from_;
    ZU_SEXP* l = head ? head : tail;
    if (l) set_sexp_pos(l, p.f, line);
    return l;
  }

 private:
  void grow() {
    uint64_t cap = r_->elems_cap * 2;
    auto* n = static_cast<ZU_SEXP**>(mmalloc(cap * sizeof(ZU_SEXP*), mark_reader_elems));
    std::memcpy(n, r_->elems, r_->elems_len * sizeof(ZU_SEXP*));
    r_->elems = n;
    r_->elems_cap = cap;
  }
  Reader* r_;
  uint64_t from_;
};

bool attach(Parser& p, const ListBuild& elems, AttrTail& tail, const Attr& a, int line) {
  if (elems.empty() || sexp_type(elems.first()) != ZU_TYPE_SYMBOL) {
    fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
    return false;
  }
  return tail.add(p, elems.first(), a, line);
}

struct DepthGuard {
  Reader* r;
  explicit DepthGuard(Reader* rr) : r(rr) { ++r->depth; }
  ~DepthGuard() { --r->depth; }
};

// After "(" (counted open by the caller): members up to ")".
ZU_SEXP* read_members(Parser& p, int depth, int line) {
  Reader* r = p.r;
  ListBuild elems(r);
  AttrTail attrs;
  for (;;) {
    L_CHAR c;
    int k = skip_ws(p, &c);
    if (k != kChar) return fail_end(p, line);
    if (c == ')') {
      next_char(r, &c);
      return elems.finish(p, nullptr, line);
    }
    if (c == '.' && !elems.empty()) {
      Cursor dot = save(r);
      next_char(r, &c);
      L_CHAR d;
      int kd = peek_char(r, &d);
      if (kd != kChar) return fail_end(p, line);
      if (d != ')') {
        if (skip_ws(p, &d) != kChar) return fail_end(p, line);
        if (d == ')') return fail(p, ZU_ER_PARSE_PAREN, "invalid dotted pair", line);
        ZU_SEXP* tail = read_form(p, kList, depth + 1, nullptr);
        if (p.err) return nullptr;
        if (skip_ws(p, &d) != kChar) return fail_end(p, line);
        if (d != ')') return fail(p, ZU_ER_PARSE_PAREN, "invalid dotted pair", line);
        next_char(r, &d);
        return elems.finish(p, tail, line);
      }
      restore(r, dot);
    }
    TokScope scope(r);
    Attr a;
    ZU_SEXP* e = read_form(p, kList, depth + 1, &a);
    if (p.err) return nullptr;
    if (a.set()) {
      if (!attach(p, elems, attrs, a, line)) return nullptr;
      continue;
    }
    elems.add(e);
  }
}

// After "(": the list.
ZU_SEXP* read_list(Parser& p, int depth, int line) {
  DepthGuard dg(p.r);
  if (depth > ZU_READ_MAX_DEPTH) return fail(p, ZU_ER_PARSE_DEPTH, "nesting too deep", line);
  return read_members(p, depth, line);
}

// A tag or attribute name pushed on the token stack.
Span read_tag_name(Parser& p) {
  Reader* r = p.r;
  const uint64_t from = r->tok_len;
  const bool html = p.html();
  L_CHAR c;
  for (;;) {
    if (!html && take_run(r, kNameRun)) continue;
    if (peek_char(r, &c) != kChar || !name_char(c)) break;
    next_char(r, &c);
    if (c == '&') {
      L_CHAR code;
      int k = read_ref(r, false, &code);
      if (k == 2) continue;
      if (k == 1) c = code;
    }
    tok_push(r, html ? fold(c) : c);
  }
  return tok_since(r, from);
}

// Attributes inside a tag, up to (not including) ">", "/>" or "?>", made
// into fields.
bool read_tag_attrs(Parser& p, FieldChain& fields, int line) {
  Reader* r = p.r;
  for (;;) {
    L_CHAR c;
    if (skip_ws(p, &c) != kChar) {
      fail_end(p, line);
      return false;
    }
    if (c == '>' || c == '/' || c == '?') return true;
    if (fields.count >= static_cast<size_t>(ZU_READ_MAX_ATTRS)) {
      fail(p, ZU_ER_PARSE_ATTRIBUTE, "too many attributes", line);
      return false;
    }
    TokScope scope(r);
    Attr a;
    a.name = read_tag_name(p);
    if (a.name.len == 0) {
      next_char(r, &c);
      fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
      return false;
    }
    if (skip_ws(p, &c) != kChar) {
      fail_end(p, line);
      return false;
    }
    if (c != '=') {
      if (!p.html()) {
        fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
        return false;
      }
      a.value = Span{r->tok_len, 0};
      fields.add(new_field(r, a.name, a.value));  // HTML: a bare attribute
      continue;
    }
    next_char(r, &c);
    if (skip_ws(p, &c) != kChar) {
      fail_end(p, line);
      return false;
    }
    if (c == '"' || c == '\'') {
      next_char(r, &c);
      if (!read_quoted(p, c, &a.value, line)) return false;
    } else if (p.html()) {
      const uint64_t from = r->tok_len;
      while (peek_char(r, &c) == kChar && !is_ws(c) && c != '>') {
        next_char(r, &c);
        tok_push(r, c);
      }
      a.value = tok_since(r, from);
    } else {
      fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
      return false;
    }
    fields.add(new_field(r, a.name, a.value));
  }
}

bool void_element(const L_CHAR* n, size_t len) {
  static const char* const kVoid[] = {"AREA", "BASE",   "BR",    "COL",      "EMBED", "HR",
                                      "IMG",  "INPUT",  "LINK",  "META",     "PARAM", "SOURCE",
                                      "TRACK", "WBR",   "BASEFONT", "FRAME", "ISINDEX"};
  for (const char* v : kVoid) {
    if (std::strlen(v) != len) continue;
    bool same = true;
    for (size_t i = 0; i < len && same; ++i) same = n[i] == static_cast<L_CHAR>(v[i]);
    if (same) return true;
  }
  return false;
}

std::vector<L_CHAR> span_copy(const Reader* r, const Span& s) {
  return std::vector<L_CHAR>(tok_at(r, s), tok_at(r, s) + s.len);
}

// After "</": the name up to ">".
bool read_close_tag(Parser& p, Span* name, int line) {
  *name = read_tag_name(p);
  L_CHAR c;
  if (skip_ws(p, &c) != kChar) {
    fail_end(p, line);
    return false;
  }
  if (c != '>') {
    fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", line);
    return false;
  }
  next_char(p.r, &c);
  return true;
}

// After "<": an element, a header form or a stray closing tag.
ZU_SEXP* read_element(Parser& p, int depth, int line) {
  Reader* r = p.r;
  TokScope scope(r);
  L_CHAR c;
  peek_char(r, &c);
  if (c == '/') {
    next_char(r, &c);
    Span name;
    if (!read_close_tag(p, &name, line)) return nullptr;
    return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", line);
  }
  DepthGuard dg(r);
  p.in_tag = true;
  if (depth > ZU_READ_MAX_DEPTH) return fail(p, ZU_ER_PARSE_DEPTH, "nesting too deep", line);
  bool header = c == '?';
  if (header) next_char(r, &c);
  const uint64_t from = r->tok_len;
  if (header) tok_push(r, '?');
  read_tag_name(p);
  Span name = tok_since(r, from);
  if (name.len == (header ? 1u : 0u)) return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", line);
  FieldChain fields;
  if (!read_tag_attrs(p, fields, line)) return nullptr;
  ZU_SEXP* tag = at(reader_symbol(r, name), p.f, line);
  tag->symbol.sf = fields.head;
  AttrTail tag_attrs;
  ListBuild elems(r);
  elems.add(tag);
  if (next_char(r, &c) != kChar) return fail_end(p, line);
  if (header || c == '/' || c == '?') {
    L_CHAR g;
    if (next_char(r, &g) != kChar) return fail_end(p, line);
    if (g != '>' || (header && c != '?')) return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", line);
    p.in_tag = false;
    return elems.finish(p, nullptr, line);
  }
  // c == '>'
  p.in_tag = false;
  if (p.html() && void_element(tok_at(r, name), name.len)) return elems.finish(p, nullptr, line);
  Ctx ctx = p.html() ? kHtml : kContent;
  if (p.html()) p.open_tags.push_back(span_copy(r, name));
  struct Pop {
    Parser& p;
    bool on;
    ~Pop() {
      if (on) p.open_tags.pop_back();
    }
  } pop{p, p.html()};
  for (;;) {
    int k = skip_ws(p, &c);
    if (k != kChar) {
      if (p.html() && k == kEnd) return elems.finish(p, nullptr, line);
      return fail_end(p, line);
    }
    TokScope member(r);
    if (c == '<') {
      Cursor lt = save(r);
      Pin pin(r, lt.pos);
      next_char(r, &c);
      L_CHAR d;
      if (peek_char(r, &d) == kChar && d == '/') {
        next_char(r, &d);
        Span cl;
        int cline = line_of(p);
        if (!read_close_tag(p, &cl, cline)) return nullptr;
        if (same_span(r, cl, name)) return elems.finish(p, nullptr, line);
        // Any closing tag ends this element, the wrong one with an error.
        if (!p.html()) return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", cline, 1);
        // HTML: a closing tag of an enclosing element closes this one too;
        // one that matches nothing open is dropped.
        std::vector<L_CHAR> closing = span_copy(r, cl);
        for (size_t i = p.open_tags.size(); i-- > 0;) {
          if (p.open_tags[i] == closing) {
            p.pending_close = std::move(closing);
            p.has_pending_close = true;
            return elems.finish(p, nullptr, line);
          }
        }
        continue;
      }
      restore(r, lt);
    }
    Attr a;
    ZU_SEXP* e = read_form(p, ctx, depth + 1, &a);
    if (p.err) return nullptr;
    if (a.set()) {
      if (!attach(p, elems, tag_attrs, a, line)) return nullptr;
      continue;
    }
    elems.add(e);
    if (p.has_pending_close) {
      if (p.pending_close == span_copy(r, name)) p.has_pending_close = false;
      return elems.finish(p, nullptr, line);
    }
  }
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

ZU_SEXP* read_form(Parser& p, Ctx ctx, int depth, Attr* attr_out) {
  Reader* r = p.r;
  L_CHAR c;
  int k = peek_char(r, &c);
  int line = r->cur.line;
  if (k != kChar) return fail_end(p, line);
  if (ctx != kHtml) {
    if (c == '(') {
      next_char(r, &c);
      return read_list(p, depth, line);
    }
    if (c == ')') {
      next_char(r, &c);
      return fail(p, ZU_ER_PARSE_PAREN, "unbalanced parenthesis", line);
    }
    if (c == '"') {
      next_char(r, &c);
      TokScope scope(r);
      Span t;
      if (!read_quoted(p, '"', &t, line)) return nullptr;
      return at(get_string_len(tok_at(r, t), t.len), p.f, line);
    }
    if (c == '[') {
      Cursor start = save(r);
      Pin pin(r, start.pos);
      next_char(r, &c);
      if (ZU_SEXP* s = read_bracket(p, line)) return s;
      restore(r, start);
      next_char(r, &c);
      pin.release();
      return read_word_after(p, ctx, attr_out, line, '[');
    }
    if (c == '#') return read_hash(p, ctx, depth, attr_out, line);
  }
  if (c == '<') {
    Cursor start = save(r);
    Pin pin(r, start.pos);
    next_char(r, &c);
    L_CHAR d;
    if (peek_char(r, &d) == kChar && tag_start(d)) {
      pin.release();
      return read_element(p, depth, line);
    }
    // A "<" that begins no tag is a character of the word.
    pin.release();
    return read_word_after(p, ctx, attr_out, line, '<');
  }
  return read_word(p, ctx, attr_out, line, r->tok_len);
}

// ---- recovery after a syntax error

enum class TagEnd { kOpen, kEmpty, kEnd };

// The rest of a start tag up to its ">", quoted values skipped whole.
TagEnd skip_tag_rest(Reader* r) {
  L_CHAR c, prev = 0;
  for (;;) {
    if (next_char(r, &c) != kChar) return TagEnd::kEnd;
    if (c == '"' || c == '\'') {
      L_CHAR q = c;
      do {
        if (next_char(r, &c) != kChar) return TagEnd::kEnd;
      } while (c != q);
    } else if (c == '>') {
      return prev == '/' || prev == '?' ? TagEnd::kEmpty : TagEnd::kOpen;
    }
    prev = c;
  }
}

// After "<": a tag, comment or declaration passed over. The change in the
// number of open elements (1 a start tag, -1 a closing tag), or -2 when the
// input ended.
int skip_markup(Parser& p) {
  Reader* r = p.r;
  L_CHAR c;
  if (peek_char(r, &c) != kChar) return -2;
  if (c == '/' || c == '!' || c == '?') {
    next_char(r, &c);
    bool closing = c == '/';
    TagEnd e = skip_tag_rest(r);
    return e == TagEnd::kEnd ? -2 : closing ? -1 : 0;
  }
  if (!tag_start(c)) return 0;
  TokScope scope(r);
  const uint64_t from = r->tok_len;
  while (peek_char(r, &c) == kChar && name_char(c)) {
    next_char(r, &c);
    tok_push(r, p.html() ? fold(c) : c);
  }
  Span name = tok_since(r, from);
  TagEnd e = skip_tag_rest(r);
  if (e == TagEnd::kEnd) return -2;
  return e == TagEnd::kOpen && !(p.html() && void_element(tok_at(r, name), name.len)) ? 1 : 0;
}

// Skips what is left of the form in which p.err was found, so that reading
// resumes after that form rather than inside it (where each closing
// parenthesis or tag would be an error of its own). Strings, lists and
// tags are followed; anything else is passed over.
void skip_rest_of_form(Parser& p) {
  Reader* r = p.r;
  int open = p.err_open;
  if (p.err_in_tag) {
    TagEnd e = skip_tag_rest(r);
    if (e == TagEnd::kEnd) return;
    if (e == TagEnd::kEmpty) --open;
  }
  bool lists = !p.html();
  L_CHAR c;
  while (open > 0 && next_char(r, &c) == kChar) {
    if (c == '<') {
      int d = skip_markup(p);
      if (d == -2) return;
      open += d;
    } else if (lists && c == '(') {
      ++open;
    } else if (lists && c == ')') {
      --open;
    } else if (lists && c == '"') {
      while (next_char(r, &c) == kChar && c != '"')
        if (c == '\\' && next_char(r, &c) != kChar) return;
    }
  }
}

// ---- the lazy list

enum class Top { kForm, kEnd, kError, kFatal };

Top read_top(Reader* r, ZU_SEXP** out) {
  r->tok_len = 0;  // whatever a form that failed left on the stacks
  r->elems_len = 0;
  reader_trim_stacks(r);
  Parser p(r);
  L_CHAR c;
  int k = skip_ws(p, &c);
  if (k == kEnd) return Top::kEnd;
  int line = r->cur.line;
  if (k == kFail) {
    fail_end(p, line);
    *out = p.err;
    return Top::kFatal;
  }
  Cursor before = save(r);
  Attr a;
  ZU_SEXP* form = read_form(p, p.html() ? kHtml : kList, 0, &a);
  if (!p.err && a.set()) fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
  if (p.err) {
    *out = p.err;
    if (error_code(p.err) == ZU_ER_END_OF_INPUT) return Top::kFatal;
    skip_rest_of_form(p);
    // Always move on, so that bad input cannot hold the reader in place.
    if (r->cur.pos == before.pos && r->cur.npend == before.npend) next_char(r, &c);
    return Top::kError;
  }
  *out = form;
  return Top::kForm;
}

void release_reader(ZU_FILE* f) {
  auto* r = static_cast<Reader*>(f->reader);
  if (r) r->closed = 1;
  STREAM* st = f->st;
  if (st && !(f->flags & ZU_FILE_KEEP_STREAM)) d_s_close(st);
  f->st = nullptr;
  if (r) r->st = nullptr;
  s_drop(st);  // init_parse's reference
}

// Waits until no other thread reads this source; true when the calling
// thread now reads it.
void enter(Reader* r) {
  int expected = 0;
  if (r->busy.compare_exchange_strong(expected, 1)) return;
  BlockingRegion br;
  for (;;) {
    expected = 0;
    if (r->busy.compare_exchange_weak(expected, 1)) return;
    sched_yield();
  }
}

ZU_SEXP* force_reader(ZU_SEXP* d) {
  ZU_FILE* f = d->delay.file;
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  GcFrame frame("zu_read");
  gc_set_nl(d, gc_qn_sexp);
  if (!r) return over_write_sexp(d, nullptr);
  enter(r);
  if (d->h.type != ZU_TYPE_DELAY) {  // another thread read it meanwhile
    r->busy.store(0);
    return d;
  }
  if (r->closed || !r->st) {
    r->busy.store(0);
    return over_write_sexp(d, nullptr);
  }
  ZU_SEXP* form = nullptr;
  Top t = read_top(r, &form);
  f->cm_work = r->cur.w;
  f->line = r->cur.line;
  ZU_SEXP* result = nullptr;
  bool finished = false;
  switch (t) {
    case Top::kEnd:
      finished = true;
      break;
    case Top::kFatal:
      result = cons(form, nullptr);
      finished = true;
      break;
    case Top::kForm:
    case Top::kError: {
      ZU_SEXP* rest = new_reader_delay(f, nullptr);
      set_sexp_pos(rest, f, r->cur.line);
      result = cons(form, rest);
      break;
    }
  }
  over_write_sexp(d, result);
  r->busy.store(0);
  if (f->result_hook) f->result_hook(f);
  if (finished) close_zu_file(f);
  return d;
}

int check_reader(ZU_SEXP* d) {
  ZU_FILE* f = d->delay.file;
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  if (!r || r->closed) return 3;
  if (r->cur.pos < r->base + r->fill || r->has_peek || r->cur.npend) return 4;
  if (r->st && s_get_fpipe_data_size(r->st) > 0) return 4;
  return 0;
}

const ZU_DELAY_OPS kOps = {force_reader, check_reader, nullptr};

std::once_flag lock_once;

}  // namespace

SEM lex_lock = nullptr;

void init_parse_lock() {
  std::call_once(lock_once, [] { lex_lock = new_lock(LOCK_LEX); });
}

void _xx_lock_parse(const char* file, int line) {
  init_parse_lock();
  _i_lock_task(lex_lock, file, line);
}

void unlock_parse(const char* label) { unlock_task(lex_lock, label); }

ZU_SEXP* init_parse(STREAM* st, const L_CHAR* name, const L_CHAR* comment) {
  static std::once_flag ops_once;
  std::call_once(ops_once, [] { set_reader_delay_ops(&kOps); });
  init_parse_lock();
  if (!st || !s_exist(st))
    return get_error_ascii(nullptr, 0, ZU_ER_END_OF_INPUT, "parse", list(get_string_ascii("cannot read the stream")));
  // The reader keeps the record while it may still read, even after its
  // owner closed the stream (it then reads the end of input).
  s_hold(st);
  ZU_FILE* f = new_zu_file(name, st);
  f->comment = ll_copy_mstr(comment);
  f->line = 1;
  Reader* r = new_reader(f, st);
  f->reader = r;
  f->reader_mark = mark_reader;
  f->release = release_reader;
  ZU_SEXP* d = new_reader_delay(f, nullptr);
  set_sexp_pos(d, f, 1);
  return d;
}

void zu_set_cm(ZU_FILE* f, CODE_METHOD* cm) {
  if (!f) return;
  if (auto* r = static_cast<Reader*>(f->reader)) {
    reader_set_cm(r, cm);
  } else {
    f->cm = cm ? cm : stream_cm;
    cm_work_init(&f->cm_work, f->cm);
  }
}

void zu_set_encoding_name(ZU_FILE* f, const L_CHAR* name) {
  CODE_METHOD* cm = name ? get_encoding(name) : nullptr;
  zu_set_cm(f, cm ? cm : stream_cm);
}

int set_encoding(ZU_SEXP* l) {
  static const L_CHAR kXml[] = {'?', 'x', 'm', 'l', 0};
  static const L_CHAR kZu[] = {'?', 'z', 'u', 0};
  static const L_CHAR kEnc[] = {'e', 'n', 'c', 'o', 'd', 'i', 'n', 'g', 0};
  for (int i = 0; i < 2; ++i) {
    if (get_type(l) != ZU_TYPE_LIST) return 0;
    ZU_SEXP* e = l->pair.car;
    if (get_type(e) == ZU_TYPE_LIST) {
      ZU_SEXP* h = e->pair.car;
      if (get_type(h) == ZU_TYPE_SYMBOL && (l_strcmp(sym_name(h), kXml) == 0 || l_strcmp(sym_name(h), kZu) == 0) &&
          get_sf_attribute(sym_field(h), kEnc)) {
        ZU_FILE* f = sexp_file(e) ? sexp_file(e) : sexp_file(l);
        for (ZU_SYM_FIELD* a = sym_field(h); a; a = a->next)
          if (a->name && l_strcmp(a->name, kEnc) == 0) zu_set_encoding_name(f, a->value);
        return 1;
      }
    }
    l = l->pair.cdr;
  }
  return 0;
}

int zu_file_depth(ZU_FILE* f) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  return r ? r->depth.load() : 0;
}

uint64_t zu_file_position(ZU_FILE* f) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  return r ? r->cur.pos : 0;
}

void zu_set_line_cap(ZU_FILE* f, uint64_t bytes) {
  if (auto* r = f ? static_cast<Reader*>(f->reader) : nullptr) r->line_cap = bytes ? bytes : 1;
}

bool zu_file_read_failed(ZU_FILE* f) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  return r && r->failed && !r->too_long && !r->refused;
}

int64_t zu_file_input_time(ZU_FILE* f) {
  return f ? std::atomic_ref<int64_t>(f->rb_time).load(std::memory_order_relaxed) : 0;
}

bool zu_file_window(ZU_FILE* f, char* out, int max, int* fill, int* pos) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  int expected = 0;
  if (!r || !r->buf || !r->busy.compare_exchange_strong(expected, 1)) return false;
  *fill = static_cast<int>(r->fill);
  *pos = r->cur.pos >= r->base ? static_cast<int>(r->cur.pos - r->base) : 0;
  std::memcpy(out, r->buf, std::min<size_t>(r->fill, static_cast<size_t>(std::max(max, 0))));
  r->busy.store(0);
  return true;
}

int zu_file_buffered(ZU_FILE* f, int* size) {
  auto* r = f ? static_cast<Reader*>(f->reader) : nullptr;
  if (size) *size = r ? static_cast<int>(std::min<uint64_t>(r->cap, INT32_MAX)) : 0;
  if (!r) return 0;
  uint64_t end = r->base + r->fill;
  return r->cur.pos < end ? static_cast<int>(std::min<uint64_t>(end - r->cur.pos, INT32_MAX)) : 0;
}
