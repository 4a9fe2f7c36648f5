// Elements of the reader's grammar: start tags with their attributes,
// content up to the matching closing tag, header forms, and HTML's looser
// rules (folded names, bare attributes, void elements, closing tags that
// close enclosing elements).
#include <cstring>
#include <vector>

#include "zu/parser_impl.h"

using namespace zu_parse;

namespace {

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

}  // namespace

namespace zu_parse {

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

}  // namespace zu_parse
