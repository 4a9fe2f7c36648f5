// Inside the parser, shared by its files: the token stack, the parser
// state and its errors, the member stack of lists, and the readers of each
// kind of form. parser.cc holds the dispatch (read_form), white space, the
// recovery after an error and the lazy list of top-level forms;
// parser_atom.cc words, numbers, strings, bracketed symbols, raw bytes and
// error literals; parser_list.cc lists; parser_tag.cc elements and tags.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zu/reader.h"
#include "zu/reader_impl.h"

namespace zu_parse {

using namespace zu_reader;

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

// Makes room for `more` codes on the token stack.
void tok_grow(Reader* r, uint64_t more);

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

bool same_span(const Reader* r, const Span& a, const Span& b);

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
inline constexpr bool plain_ws(int b) { return b <= 0x20 || b == 0x7F; }
// Characters of a bare word that need no second look: the others end the
// word, begin a reference or an escape, or depend on the context.
inline constexpr ByteSet kWordRun = byte_set([](int b) {
  return !plain_ws(b) && b != '(' && b != ')' && b != '"' && b != '=' && b != '&' && b != '\\' && b != '<';
});
// Characters of quoted text taken as they stand (quotes, escapes,
// references and line ends go one at a time).
inline constexpr ByteSet kQuotedRun = byte_set([](int b) {
  return b != '"' && b != '\'' && b != '\\' && b != '&' && b != '\r' && b != '\n';
});
// Characters of a bracketed symbol's bare name without a second look.
inline constexpr ByteSet kBracketNameRun = byte_set([](int b) {
  return !plain_ws(b) && b != ']' && b != '"' && b != '[' && b != '(' && b != ')' && b != '&';
});
// Characters of a tag or attribute name without a second look.
inline constexpr ByteSet kNameRun = byte_set([](int b) {
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

// A symbol without attributes named by a piece of the token stack.
ZU_SEXP* reader_symbol(Reader* r, const Span& name);

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

inline ZU_SEXP* at(ZU_SEXP* s, ZU_FILE* f, int line) {
  if (s) set_sexp_pos(s, f, line);
  return s;
}

// Records the error that ends the current form (the first one only) and
// answers null. `closed`: open elements that the error ends (a wrong
// closing tag).
ZU_SEXP* fail(Parser& p, uint32_t code, const char* reason, int line, int closed = 0);
// The input ended (or failed) inside a form.
ZU_SEXP* fail_end(Parser& p, int line);
// A token past the reader's cap ends the input like a line over it.
bool too_long(Parser& p, size_t chars, int line);
inline int line_of(Parser& p) { return p.r->cur.line; }


// Skips white space, comments, "<!...>" declarations and encoding
// announcements. Returns kChar with the next character peeked, kEnd or
// kFail.
int skip_ws_slow(Parser& p, L_CHAR* c);
// In line for the case of nearly every member: plain white space, then a
// plain byte that begins no comment, declaration or reference (the cursor
// stays on it, as a peek leaves it).
inline int skip_ws(Parser& p, L_CHAR* c) {
  Reader* r = p.r;
  skip_plain_ws(r);
  if (plain_at_cursor(r)) {
    uint8_t b = r->buf[r->cur.pos - r->base];
    if (b > 0x20 && b < 0x7F && b != '&' && b != '<') {
      *c = b;
      return kChar;
    }
  }
  return skip_ws_slow(p, c);
}
// One form of the context ctx; an attribute read as a member comes back
// through attr_out (null result).
ZU_SEXP* read_form(Parser& p, Ctx ctx, int depth, Attr* attr_out);

inline bool name_char(L_CHAR c) { return !is_ws(c) && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '<' && c != '?'; }
inline L_CHAR fold(L_CHAR c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

// A field made from two pieces of the token stack.
ZU_SYM_FIELD* new_field(Reader* r, const Span& name, const Span& value);

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

// The members of a list being read wait on the reader's member stack; the
// list's cells are made together when it closes, so that a list's spine
// lies in one run of memory (a later walk over it, a printer's or the
// collector's, then follows it at the speed of its cache). Each cell is
// positioned at its member's line (the list's own for a nil member), the
// first at the list's.
//
// Roots. The member stack keeps the members alive (mark_reader marks it),
// so the thread's roots need not hold every value a form is made of: a
// member once on the stack lets go of the roots taken since the build
// began, and the cells of a list hold each other from the first on. A
// large form thus costs no root, and no entry on the collector's mark
// stack, per value. Whatever else a member's reading made and must keep
// hangs on the reader (its stacks) or on the member itself (attributes).
class ListBuild {
 public:
  explicit ListBuild(Reader* r) : r_(r), from_(r->elems_len), roots_(gc_root_mark()) {}
  ~ListBuild() { r_->elems_len = from_; }
  ListBuild(const ListBuild&) = delete;
  ListBuild& operator=(const ListBuild&) = delete;

  void add(ZU_SEXP* e) {
    if (r_->elems_len == r_->elems_cap) grow();
    r_->elems[r_->elems_len++] = ReadMember{e, e ? e->h.line : 0};
    gc_root_release(roots_, nullptr, nullptr);
  }
  bool empty() const { return r_->elems_len == from_; }
  ZU_SEXP* first() const { return empty() ? nullptr : r_->elems[from_].value; }
  ZU_SEXP* finish(Parser& p, ZU_SEXP* tail, int line) {
    ZU_SEXP* head = nullptr;
    ZU_SEXP** link = &head;
    // The members stay on the stack (and pinned) until their cells hold
    // them; of the cells only the first stays a root (tail, made before,
    // stays pinned below `roots`).
    const size_t roots = gc_root_mark();
    for (uint64_t i = from_; i < r_->elems_len; ++i) {
      const ReadMember& m = r_->elems[i];
      ZU_SEXP* c = cons(m.value, nullptr);
      set_sexp_pos(c, p.f, m.value ? m.line : line);
      *link = c;
      link = &c->pair.cdr;
      gc_root_release(roots, head, gc_qn_sexp);
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
    auto* n = static_cast<ReadMember*>(mmalloc(cap * sizeof(ReadMember), mark_reader_elems));
    std::memcpy(n, r_->elems, r_->elems_len * sizeof(ReadMember));
    r_->elems = n;
    r_->elems_cap = cap;
  }
  Reader* r_;
  uint64_t from_;
  size_t roots_;  // the thread's roots when the build began
};

// An attribute read as a member attaches to the first member, which must
// be a symbol.
bool attach(Parser& p, const ListBuild& elems, AttrTail& tail, const Attr& a, int line);

struct DepthGuard {
  Reader* r;
  explicit DepthGuard(Reader* rr) : r(rr) { ++r->depth; }
  ~DepthGuard() { --r->depth; }
};

// ---- the readers of each kind of form

// parser_atom.cc
// After the opening quote: the text up to the closing quote, with
// backslash escapes and references, pushed on the token stack (*out).
bool read_quoted(Parser& p, L_CHAR quote, Span* out, int line);
// A bare word: symbol, number, string or attribute (name="value", returned
// through attr_out with a null result and left on the token stack). The
// word's text begins at the token stack's offset `from`.
ZU_SEXP* read_word(Parser& p, Ctx ctx, Attr* attr_out, int line, uint64_t from);
// A word that begins with a character the caller has taken.
ZU_SEXP* read_word_after(Parser& p, Ctx ctx, Attr* attr_out, int line, L_CHAR first);
// "[name a="v" ...]" after the "[": the symbol, or null (cursor unchanged
// for the caller to restore) when the text is not of that form.
ZU_SEXP* read_bracket(Parser& p, int line);
// "#" then a raw literal, an error literal or an ordinary word.
ZU_SEXP* read_hash(Parser& p, Ctx ctx, int depth, Attr* attr_out, int line);

// parser_list.cc
// After "(" (counted open by the caller): members up to ")".
ZU_SEXP* read_members(Parser& p, int depth, int line);
// After "(": the list.
ZU_SEXP* read_list(Parser& p, int depth, int line);

// parser_tag.cc
// After "<": an element, a header form or a stray closing tag.
ZU_SEXP* read_element(Parser& p, int depth, int line);
// An HTML element that has no content and no closing tag.
bool void_element(const L_CHAR* n, size_t len);

}  // namespace zu_parse
