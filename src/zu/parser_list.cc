// Lists of the reader's grammar: members up to the closing parenthesis,
// dotted pairs, and attributes read as members attached to the first.
#include "zu/parser_impl.h"

namespace zu_parse {

bool attach(Parser& p, const ListBuild& elems, AttrTail& tail, const Attr& a, int line) {
  if (elems.empty() || sexp_type(elems.first()) != ZU_TYPE_SYMBOL) {
    fail(p, ZU_ER_PARSE_ATTRIBUTE, "invalid attribute", line);
    return false;
  }
  return tail.add(p, elems.first(), a, line);
}

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

}  // namespace zu_parse
