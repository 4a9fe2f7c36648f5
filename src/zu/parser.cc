// The reader's grammar: lists, attributes, elements, numbers with units,
// strings, raw bytes and error literals; the lazy list of top-level forms
// and the parser lock.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <string>
#include <unordered_set>
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

struct Attr {
  std::vector<L_CHAR> name, value;
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
  const char* why = p.r->too_long ? "line too long" : p.r->failed ? "read error" : "end of input";
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

// After the opening quote: the text up to the closing quote, with
// backslash escapes and references.
bool read_quoted(Parser& p, L_CHAR quote, std::vector<L_CHAR>& out, int line) {
  Reader* r = p.r;
  for (;;) {
    L_CHAR c;
    // Lines are capped as they are read; a string may span many.
    if (too_long(p, out.size(), line)) return false;
    int k = next_char(r, &c);
    if (k != kChar) {
      fail_end(p, line);
      return false;
    }
    if (c == quote) return true;
    if (c == '\\') {
      if (next_char(r, &c) != kChar) {
        fail_end(p, line);
        return false;
      }
      switch (c) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case '\\': case '"': case '\'': case '&': out.push_back(c); break;
        default:
          out.push_back('\\');
          out.push_back(c);
      }
      continue;
    }
    if (c == '&') {
      L_CHAR code;
      int k2 = read_ref(r, true, &code);
      if (k2 == 1) out.push_back(code);
      else if (k2 == 0) out.push_back('&');
      continue;
    }
    out.push_back(c);
  }
}

// Whether a unit text would read as an exponent after a number.
bool exponent_like(const L_CHAR* u) {
  if (!u || (u[0] != 'e' && u[0] != 'E')) return false;
  size_t j = u[1] == '+' || u[1] == '-' ? 2 : 1;
  return is_digit(u[j]);
}

// Numbers: [+-] digits [. digits] [(e|E) [+-] digits], then the unit. Null
// for a word that is no number; *bad is set when it reads as one that
// would not print back as itself (an overflow, or a unit like "e10").
ZU_SEXP* as_number(const std::vector<L_CHAR>& t, bool* bad) {
  *bad = false;
  size_t n = t.size(), i = 0;
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
  std::string num(t.begin(), t.begin() + static_cast<long>(i));
  const L_CHAR* unit = nullptr;
  std::vector<L_CHAR> u;
  if (i < n) {
    u.assign(t.begin() + static_cast<long>(i), t.end());
    u.push_back(0);
    unit = u.data();
  }
  if (exponent_like(unit)) {
    *bad = true;
    return nullptr;
  }
  if (!flo) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(num.c_str(), &end, 10);
    if (errno == 0 && end && *end == 0) return get_integer(v, unit);
  }
  double d = std::strtod(num.c_str(), nullptr);
  if (std::isinf(d)) {
    *bad = true;
    return nullptr;
  }
  return get_floating(d, unit);
}

bool name_char(L_CHAR c) { return !is_ws(c) && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '<' && c != '?'; }
L_CHAR fold(L_CHAR c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

// Text of a vector; an empty one is "" (never null).
const L_CHAR* text_of(const std::vector<L_CHAR>& v) {
  static const L_CHAR empty[1] = {0};
  return v.empty() ? empty : v.data();
}

ZU_SYM_FIELD* new_field(const std::vector<L_CHAR>& name, const std::vector<L_CHAR>& value) {
  auto* fl = static_cast<ZU_SYM_FIELD*>(mmalloc(sizeof(ZU_SYM_FIELD), gc_sym_field));
  fl->name = ll_copy_mstr_len(text_of(name), name.size());
  fl->value = ll_copy_mstr_len(text_of(value), value.size());
  return fl;
}

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
    ZU_SYM_FIELD* fl = new_field(a.name, a.value);
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
// through attr_out with a null result).
ZU_SEXP* read_word(Parser& p, Ctx ctx, Attr* attr_out, int line, std::vector<L_CHAR> t = {}) {
  Reader* r = p.r;
  for (;;) {
    L_CHAR c;
    int k = peek_char(r, &c);
    if (k != kChar) break;
    if (is_ws(c)) break;
    if (ctx != kHtml && (c == '(' || c == ')' || c == '"')) break;
    if (ctx != kList && c == '<' && !t.empty()) break;
    if (ctx != kHtml && c == '=' && !t.empty()) {
      Cursor before = save(r);
      next_char(r, &c);
      L_CHAR q;
      if (peek_char(r, &q) == kChar && q == '"') {
        next_char(r, &q);
        Attr a;
        a.name = std::move(t);
        if (!read_quoted(p, '"', a.value, line)) return nullptr;
        if (!attr_out) return fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
        *attr_out = std::move(a);
        return nullptr;
      }
      restore(r, before);
      next_char(r, &c);
      t.push_back(c);
      continue;
    }
    next_char(r, &c);
    if (c == '&') {
      L_CHAR code;
      int k2 = read_ref(r, ctx != kList, &code);
      if (k2 == 1) t.push_back(code);
      else if (k2 == 0) t.push_back('&');
      continue;
    }
    if (c == '\\' && ctx == kContent) {
      L_CHAR e;
      if (next_char(r, &e) != kChar) {
        t.push_back('\\');
        break;
      }
      switch (e) {
        case 'n': t.push_back('\n'); break;
        case 'r': t.push_back('\r'); break;
        case 't': t.push_back('\t'); break;
        case '\\': case '"': case '\'': case '&': t.push_back(e); break;
        default:
          t.push_back('\\');
          t.push_back(e);
      }
      continue;
    }
    t.push_back(c);
  }
  bool bad = false;
  if (ctx == kList) {
    if (ZU_SEXP* n = as_number(t, &bad)) return at(n, p.f, line);
    if (bad) return fail(p, ZU_ER_PARSE_NUMBER, "invalid number", line);
    return at(get_symbol_len(t.data(), t.size()), p.f, line);
  }
  if (!p.no_number()) {
    if (ZU_SEXP* n = as_number(t, &bad)) return at(n, p.f, line);
  }
  return at(get_string_len(t.data(), t.size()), p.f, line);
}

// "[name a="v" ...]" after the "[": the symbol, or null (cursor unchanged
// for the caller to restore) when the text is not of that form.
ZU_SEXP* read_bracket(Parser& p, int line) {
  Reader* r = p.r;
  std::vector<L_CHAR> name;
  L_CHAR c;
  if (peek_char(r, &c) != kChar) return nullptr;
  if (c == '"') {
    next_char(r, &c);
    if (!read_quoted(p, '"', name, line)) {
      p.err = nullptr;
      return nullptr;
    }
  } else {
    for (;;) {
      if (peek_char(r, &c) != kChar) return nullptr;
      if (is_ws(c) || c == ']') break;
      if (c == '"' || c == '[' || c == '(' || c == ')') return nullptr;
      next_char(r, &c);
      if (c == '&') {
        L_CHAR code;
        int k2 = read_ref(r, false, &code);
        if (k2 == 1) name.push_back(code);
        else if (k2 == 0) name.push_back('&');
        continue;
      }
      name.push_back(c);
    }
    if (name.empty()) return nullptr;
  }
  std::vector<Attr> attrs;
  for (;;) {
    if (peek_char(r, &c) != kChar) return nullptr;
    if (is_ws(c)) {
      next_char(r, &c);
      continue;
    }
    if (c == ']') {
      next_char(r, &c);
      break;
    }
    if (attrs.size() >= static_cast<size_t>(ZU_READ_MAX_ATTRS)) return nullptr;
    // name="value", the name quoted when it is not a plain word.
    Attr a;
    if (c == '"') {
      next_char(r, &c);
      if (!read_quoted(p, '"', a.name, line)) {
        p.err = nullptr;
        return nullptr;
      }
      if (next_char(r, &c) != kChar || c != '=') return nullptr;
    } else {
      for (;;) {
        if (next_char(r, &c) != kChar) return nullptr;
        if (c == '=') break;
        if (is_ws(c) || c == ']' || c == '"' || c == '[') return nullptr;
        if (c == '&') {
          L_CHAR code;
          if (read_ref(r, false, &code) == 1) c = code;
        }
        a.name.push_back(c);
      }
      if (a.name.empty()) return nullptr;
    }
    if (next_char(r, &c) != kChar || c != '"') return nullptr;
    if (!read_quoted(p, '"', a.value, line)) {
      p.err = nullptr;
      return nullptr;
    }
    attrs.push_back(std::move(a));
  }
  ZU_SEXP* s = get_symbol_len(name.data(), name.size());
  AttrTail tail;
  for (const Attr& a : attrs) tail.add(p, s, a, line);
  return at(s, p.f, line);
}

// Builds the list of elems with an optional tail.
ZU_SEXP* build_list(Parser& p, std::vector<ZU_SEXP*>& elems, ZU_SEXP* tail, int line) {
  ZU_SEXP* l = tail;
  for (size_t i = elems.size(); i-- > 0;) {
    l = cons(elems[i], l);
    set_sexp_pos(l, p.f, elems[i] ? elems[i]->h.line : line);
  }
  if (l) set_sexp_pos(l, p.f, line);
  return l;
}

bool attach(Parser& p, std::vector<ZU_SEXP*>& elems, AttrTail& tail, const Attr& a, int line) {
  if (elems.empty() || sexp_type(elems[0]) != ZU_TYPE_SYMBOL) {
    fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
    return false;
  }
  return tail.add(p, elems[0], a, line);
}

struct DepthGuard {
  Reader* r;
  explicit DepthGuard(Reader* rr) : r(rr) { ++r->depth; }
  ~DepthGuard() { --r->depth; }
};

// After "(" (counted open by the caller): members up to ")".
ZU_SEXP* read_members(Parser& p, int depth, int line) {
  Reader* r = p.r;
  std::vector<ZU_SEXP*> elems;
  AttrTail attrs;
  for (;;) {
    L_CHAR c;
    int k = skip_ws(p, &c);
    if (k != kChar) return fail_end(p, line);
    if (c == ')') {
      next_char(r, &c);
      return build_list(p, elems, nullptr, line);
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
        return build_list(p, elems, tail, line);
      }
      restore(r, dot);
    }
    Attr a;
    bool had_attr = false;
    Attr* ap = &a;
    a.name.clear();
    ZU_SEXP* e = read_form(p, kList, depth + 1, ap);
    if (p.err) return nullptr;
    had_attr = !a.name.empty();
    if (had_attr) {
      if (!attach(p, elems, attrs, a, line)) return nullptr;
      continue;
    }
    elems.push_back(e);
  }
}

// After "(": the list.
ZU_SEXP* read_list(Parser& p, int depth, int line) {
  DepthGuard dg(p.r);
  if (depth > ZU_READ_MAX_DEPTH) return fail(p, ZU_ER_PARSE_DEPTH, "nesting too deep", line);
  return read_members(p, depth, line);
}

void read_tag_name(Parser& p, std::vector<L_CHAR>& name) {
  L_CHAR c;
  while (peek_char(p.r, &c) == kChar && name_char(c)) {
    next_char(p.r, &c);
    if (c == '&') {
      L_CHAR code;
      int k = read_ref(p.r, false, &code);
      if (k == 2) continue;
      if (k == 1) c = code;
    }
    name.push_back(p.html() ? fold(c) : c);
  }
}

// Attributes inside a tag, up to (not including) ">", "/>" or "?>".
bool read_tag_attrs(Parser& p, std::vector<Attr>& attrs, int line) {
  Reader* r = p.r;
  for (;;) {
    L_CHAR c;
    if (skip_ws(p, &c) != kChar) {
      fail_end(p, line);
      return false;
    }
    if (c == '>' || c == '/' || c == '?') return true;
    if (attrs.size() >= static_cast<size_t>(ZU_READ_MAX_ATTRS)) {
      fail(p, ZU_ER_PARSE_ATTRIBUTE, "too many attributes", line);
      return false;
    }
    Attr a;
    read_tag_name(p, a.name);
    if (a.name.empty()) {
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
      attrs.push_back(std::move(a));  // HTML: a bare attribute
      continue;
    }
    next_char(r, &c);
    if (skip_ws(p, &c) != kChar) {
      fail_end(p, line);
      return false;
    }
    if (c == '"' || c == '\'') {
      next_char(r, &c);
      if (!read_quoted(p, c, a.value, line)) return false;
    } else if (p.html()) {
      while (peek_char(r, &c) == kChar && !is_ws(c) && c != '>') {
        next_char(r, &c);
        a.value.push_back(c);
      }
    } else {
      fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
      return false;
    }
    attrs.push_back(std::move(a));
  }
}

bool void_element(const std::vector<L_CHAR>& n) {
  static const char* const kVoid[] = {"AREA", "BASE",   "BR",    "COL",      "EMBED", "HR",
                                      "IMG",  "INPUT",  "LINK",  "META",     "PARAM", "SOURCE",
                                      "TRACK", "WBR",   "BASEFONT", "FRAME", "ISINDEX"};
  for (const char* v : kVoid) {
    size_t len = std::strlen(v);
    if (n.size() != len) continue;
    bool same = true;
    for (size_t i = 0; i < len && same; ++i) same = n[i] == static_cast<L_CHAR>(v[i]);
    if (same) return true;
  }
  return false;
}

// After "</": the name up to ">".
bool read_close_tag(Parser& p, std::vector<L_CHAR>& name, int line) {
  read_tag_name(p, name);
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
  L_CHAR c;
  peek_char(r, &c);
  if (c == '/') {
    next_char(r, &c);
    std::vector<L_CHAR> name;
    if (!read_close_tag(p, name, line)) return nullptr;
    return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", line);
  }
  DepthGuard dg(r);
  p.in_tag = true;
  if (depth > ZU_READ_MAX_DEPTH) return fail(p, ZU_ER_PARSE_DEPTH, "nesting too deep", line);
  bool header = c == '?';
  if (header) next_char(r, &c);
  std::vector<L_CHAR> name;
  if (header) name.push_back('?');
  read_tag_name(p, name);
  if (name.size() == (header ? 1u : 0u)) return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", line);
  std::vector<Attr> attrs;
  if (!read_tag_attrs(p, attrs, line)) return nullptr;
  ZU_SEXP* tag = at(get_symbol_len(name.data(), name.size()), p.f, line);
  AttrTail tag_attrs;
  for (const Attr& a : attrs) tag_attrs.add(p, tag, a, line);
  std::vector<ZU_SEXP*> elems{tag};
  if (next_char(r, &c) != kChar) return fail_end(p, line);
  if (header || c == '/' || c == '?') {
    L_CHAR g;
    if (next_char(r, &g) != kChar) return fail_end(p, line);
    if (g != '>' || (header && c != '?')) return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", line);
    p.in_tag = false;
    return build_list(p, elems, nullptr, line);
  }
  // c == '>'
  p.in_tag = false;
  if (p.html() && void_element(name)) return build_list(p, elems, nullptr, line);
  Ctx ctx = p.html() ? kHtml : kContent;
  if (p.html()) p.open_tags.push_back(name);
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
      if (p.html() && k == kEnd) return build_list(p, elems, nullptr, line);
      return fail_end(p, line);
    }
    if (c == '<') {
      Cursor lt = save(r);
      Pin pin(r, lt.pos);
      next_char(r, &c);
      L_CHAR d;
      if (peek_char(r, &d) == kChar && d == '/') {
        next_char(r, &d);
        std::vector<L_CHAR> cl;
        int cline = line_of(p);
        if (!read_close_tag(p, cl, cline)) return nullptr;
        if (cl == name) return build_list(p, elems, nullptr, line);
        // Any closing tag ends this element, the wrong one with an error.
        if (!p.html()) return fail(p, ZU_ER_PARSE_TAG, "unbalanced tag", cline, 1);
        // HTML: a closing tag of an enclosing element closes this one too;
        // one that matches nothing open is dropped.
        for (size_t i = p.open_tags.size(); i-- > 0;) {
          if (p.open_tags[i] == cl) {
            p.pending_close = std::move(cl);
            p.has_pending_close = true;
            return build_list(p, elems, nullptr, line);
          }
        }
        continue;
      }
      restore(r, lt);
    }
    Attr a;
    ZU_SEXP* e = read_form(p, ctx, depth + 1, &a);
    if (p.err) return nullptr;
    if (!a.name.empty()) {
      if (!attach(p, elems, tag_attrs, a, line)) return nullptr;
      continue;
    }
    elems.push_back(e);
    if (p.has_pending_close) {
      if (p.pending_close == name) p.has_pending_close = false;
      return build_list(p, elems, nullptr, line);
    }
  }
}

// The code of an error literal: decimal, or hexadecimal after "0x"; 0 for
// a word that is no code from 1 to 0xFFFFFFFF (0 itself reads as no error
// anywhere an error is tested for).
uint32_t error_code_word(const std::vector<L_CHAR>& t) {
  bool hexa = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  size_t from = hexa ? 2 : 0;
  if (t.size() <= from || t.size() - from > (hexa ? 8u : 10u)) return 0;
  uint64_t v = 0;
  for (size_t i = from; i < t.size(); ++i) {
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
  std::vector<L_CHAR> word;
  while (peek_char(r, &c) == kChar && !is_ws(c) && c != '(' && c != ')' && c != '"') {
    next_char(r, &c);
    word.push_back(c);
  }
  uint32_t code = error_code_word(word);
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
    std::vector<uint8_t> bytes;
    int k = read_bytes(r, size, bytes);
    if (k != kChar) return fail_end(p, line);
    k = next_char(r, &c);
    if (k != kChar) return fail_end(p, line);
    if (c != ']') return fail(p, ZU_ER_PARSE_RAW, "invalid raw data", line);
    return at(get_raw(bytes.data(), static_cast<uint32_t>(bytes.size())), p.f, line);
  }
  restore(r, start);
  // An ordinary word that begins with "#".
  next_char(r, &c);
  pin.release();
  return read_word(p, ctx, attr_out, line, {'#'});
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
      std::vector<L_CHAR> t;
      if (!read_quoted(p, '"', t, line)) return nullptr;
      return at(get_string_len(t.data(), t.size()), p.f, line);
    }
    if (c == '[') {
      Cursor start = save(r);
      Pin pin(r, start.pos);
      next_char(r, &c);
      if (ZU_SEXP* s = read_bracket(p, line)) return s;
      restore(r, start);
      next_char(r, &c);
      pin.release();
      return read_word(p, ctx, attr_out, line, {'['});
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
    return read_word(p, ctx, attr_out, line, {'<'});
  }
  return read_word(p, ctx, attr_out, line);
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
  std::vector<L_CHAR> name;
  while (peek_char(r, &c) == kChar && name_char(c)) {
    next_char(r, &c);
    name.push_back(p.html() ? fold(c) : c);
  }
  TagEnd e = skip_tag_rest(r);
  if (e == TagEnd::kEnd) return -2;
  return e == TagEnd::kOpen && !(p.html() && void_element(name)) ? 1 : 0;
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
  if (!p.err && !a.name.empty()) fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
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
