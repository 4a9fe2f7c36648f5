// List, ListLength, Reverse, Append, GetSize and GetTag.
#include <vector>

#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/library.h"
#include "zulib/lists.h"

namespace {

// The evaluated form is a fresh list: its tail is the answer.
ZU_SEXP* zu_List(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) { return form->pair.cdr; }

ZU_SEXP* zu_ListLength(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return get_integer(list_length(get_el(form, 1)), nullptr);
}

ZU_SEXP* zu_Reverse(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  return reverse(get_el(form, 1));
}

// Two element heads merge: a's name with a's attributes, each of b's set on
// them in turn (a new list; neither symbol changes).
ZU_SEXP* merged_head(ZU_SEXP* ha, ZU_SEXP* hb) {
  ZU_SYM_FIELD* sf = sym_field(ha);
  for (ZU_SYM_FIELD* f = sym_field(hb); f; f = f->next) {
    if (f->name) sf = set_sym_field(sf, f->name, f->value);
  }
  ZU_SEXP* h = get_symbol_atom(ha->symbol.atom);
  h->symbol.sf = sf;
  return h;
}

ZU_SEXP* zu_Append(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* a = get_el(form, 1);
  ZU_SEXP* b = get_el(form, 2);
  if (is_nil(a)) return b;
  if (is_nil(b)) return a;
  if (list_length(a) < 0 || list_length(b) < 0) return error_text_at(form, ZU_ER_TYPE, "Append", nullptr);
  ZU_SEXP* r = append(a, b);
  if (is_element(a) && is_element(b)) r->pair.car = merged_head(a->pair.car, b->pair.car);
  return r;
}

// Sizes: texts count characters, numbers 8 bytes, raw values their bytes,
// lists the sum of their members (and of an improper tail). Nested lists
// are walked with an explicit stack.
ZU_SEXP* zu_GetSize(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  int64_t size = 0;
  std::vector<ZU_SEXP*> pending{get_el(form, 1)};
  while (!pending.empty()) {
    ZU_SEXP* s = pending.back();
    pending.pop_back();
    switch (get_type(s)) {
      case ZU_TYPE_LIST:
        pending.push_back(s->pair.cdr);
        pending.push_back(s->pair.car);
        break;
      case ZU_TYPE_SYMBOL:
        size += s->symbol.atom->len;
        break;
      case ZU_TYPE_STRING:
        size += static_cast<int64_t>(l_strlen(str_text(s)));
        break;
      case ZU_TYPE_INTEGER:
      case ZU_TYPE_FLOATING:
        size += 8;
        break;
      case ZU_TYPE_RAW:
        size += s->raw.size;
        break;
      default:
        break;
    }
  }
  return get_integer(size, nullptr);
}

ZU_SEXP* zu_GetTag(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_SYMBOL)
    return error_at(form, ZU_ER_TYPE, "GetTag", list(get_string_ascii("type missmatch")));
  return get_symbol_atom(s->symbol.atom);
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kList[] = {{"List", zu_List, 1, 1, -1, 0}, {}};
const QN_PRIM_DEF kListLength[] = {{"ListLength", zu_ListLength, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kReverse[] = {{"Reverse", zu_Reverse, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kAppend[] = {{"Append", zu_Append, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kGetSize[] = {{"GetSize", zu_GetSize, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kGetTag[] = {{"GetTag", zu_GetTag, 1, 2, 2, T}, {}};

}  // namespace

void init_List(ZUISP_ENV* env) { bind_prims(env, kList); }
void init_ListLength(ZUISP_ENV* env) { bind_prims(env, kListLength); }
void init_Reverse(ZUISP_ENV* env) { bind_prims(env, kReverse); }
void init_Append(ZUISP_ENV* env) { bind_prims(env, kAppend); }
void init_GetSize(ZUISP_ENV* env) { bind_prims(env, kGetSize); }
void init_GetTag(ZUISP_ENV* env) { bind_prims(env, kGetTag); }
