// GetElement (also bound as GE): a member of a list by position, a child
// element by tag and attribute values, or an element by path.
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/library.h"
#include "zulib/lists.h"

namespace {

constexpr const char* kFunc = "GetElement";

// Walks the top-level chain. A proper list answers null; otherwise the
// first error inside the list, else its improper tail (a cycle, which no
// proper list has, answers a type error).
ZU_SEXP* improper(ZU_SEXP* x, ZU_SEXP* form) {
  ZU_SEXP* slow = x;
  ZU_SEXP* p = x;
  for (int n = 1; get_type(p) == ZU_TYPE_LIST; ++n) {
    p = p->pair.cdr;
    if (n % 2 == 0) {
      slow = slow->pair.cdr;
      if (slow == p && get_type(p) == ZU_TYPE_LIST) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
    }
  }
  if (get_type(p) == ZU_TYPE_NULL) return nullptr;
  ZU_SEXP* e = list_error(x);
  return e ? e : p;
}

// True when the tag symbol has every name="value" of the pairs in `test`
// (strings, checked by the caller); a name without a value passes.
bool attributes_match(ZU_SEXP* tag, ZU_SEXP* test) {
  for (ZU_SEXP* p = test; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr->pair.cdr) {
    if (get_type(p->pair.cdr) != ZU_TYPE_LIST) return true;
    const L_CHAR* v = get_sf_attribute(sym_field(tag), str_text(p->pair.car));
    if (!v || l_strcmp(v, str_text(p->pair.cdr->pair.car)) != 0) return false;
  }
  return true;
}

ZU_SEXP* by_tag(ZU_SEXP* x, ZU_SEXP* key, ZU_SEXP* test, ZU_SEXP* form) {
  for (ZU_SEXP* p = test; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (get_type(p->pair.car) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  }
  const ZU_ATOM* tag = key->symbol.atom;
  for (ZU_SEXP* p = x; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* m = p->pair.car;
    if (get_type(m) == ZU_TYPE_ERROR) return m;
    if (is_element_of(m, tag) && attributes_match(m->pair.car, test)) return m;
  }
  return nullptr;
}

ZU_SEXP* by_position(ZU_SEXP* x, int64_t n, ZU_SEXP* form) {
  if (n < 0) return error_text_at(form, ZU_ER_PARAM, kFunc, "parameter error");
  for (ZU_SEXP* p = x; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (n-- == 0) return p->pair.car;
  }
  return nullptr;
}

ZU_SEXP* by_path(ZU_SEXP* x, const L_CHAR* path, ZU_SYM_FIELD* sf, ZU_SEXP* form) {
  ZU_SEXP* r = get_el_c(x, path, get_sf_attribute(sf, l_string(std_cm, "default")));
  if (get_type(r) == ZU_TYPE_ERROR) {
    // The path operation's own error, placed at the call.
    r->h.file = form->h.file;
    r->h.line = form->h.line;
    r->error->file = form->h.file;
    r->error->line = form->h.line;
    return r;
  }
  const L_CHAR* el = get_sf_attribute(sf, l_string(std_cm, "el"));
  if (el && get_type(r) == ZU_TYPE_LIST) return get_el(r, option_int64(el));
  return r;
}

ZU_SEXP* zu_GetElement(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  if (sf) {
    if (const L_CHAR* path = get_sf_attribute(sf, l_string(std_cm, "path"))) return by_path(x, path, sf, form);
  }
  int tx = get_type(x);
  if (tx == ZU_TYPE_ERROR) return x;
  if (tx == ZU_TYPE_NULL) return nullptr;
  ZU_SEXP* key = get_el(form, 2);
  int tk = get_type(key);
  if (tx == ZU_TYPE_LIST) {
    if (tk == ZU_TYPE_ERROR) return key;
    if (tk == ZU_TYPE_SYMBOL || tk == ZU_TYPE_INTEGER) {
      if (ZU_SEXP* bad = improper(x, form)) return bad;
      if (tk == ZU_TYPE_INTEGER) return by_position(x, key->integer.num, form);
      return by_tag(x, key, form->pair.cdr->pair.cdr->pair.cdr, form);
    }
  }
  return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kGetElement[] = {{"GetElement", zu_GetElement, 1, 2, -1, T}, {}};

}  // namespace

void init_GetElement(ZUISP_ENV* env) {
  bind_prims(env, kGetElement);
  zulib_alias(env, "GE", "GetElement");
}
