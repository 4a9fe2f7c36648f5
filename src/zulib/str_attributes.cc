// GetAttribute and SetAttribute: the name="value" pairs of a tag symbol.
#include <string>
#include <vector>

#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/lib_impl.h"
#include "zulib/strings.h"

namespace {

ZU_SEXP* zu_GetAttribute(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  constexpr const char* kFunc = "GetAttribute";
  ZU_SEXP* sym = get_el(form, 1);
  if (get_type(sym) != ZU_TYPE_SYMBOL) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  if (list_length(form) == 3) {
    ZU_SEXP* name = get_el(form, 2);
    if (get_type(name) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
    const L_CHAR* v = get_sf_attribute(sym_field(sym), str_text(name));
    return v ? get_string(v) : nullptr;
  }
  const L_CHAR* type = head_option(sf, "type");
  // Both forms go from the last attribute to the first: the list shows
  // them so, and in the environment the first of two equal names wins.
  std::vector<ZU_SYM_FIELD*> fields;
  for (ZU_SYM_FIELD* f = sym_field(sym); f; f = f->next) {
    if (f->name) fields.push_back(f);
  }
  if (type && zu_wcmp_ascii(type, "list") == 0) {
    ZU_SEXP* r = nullptr;
    for (ZU_SYM_FIELD* f : fields) r = cons(List(get_symbol(f->name), get_string(f->value), ZU_LIST_END), r);
    return r;
  }
  if (type && zu_wcmp_ascii(type, "env") == 0) {
    for (auto f = fields.rbegin(); f != fields.rend(); ++f) {
      if (set_env(env, (*f)->name, get_string((*f)->value)) == kEnvRefused) return peer_refused(form, kFunc);
    }
    return nullptr;
  }
  return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
}

ZU_SEXP* zu_SetAttribute(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* x = get_el(form, 1);
  ZU_SEXP* name = get_el(form, 2);
  std::u32string value;
  bool element = is_element(x);
  if (get_type(name) != ZU_TYPE_STRING || !value_text(get_el(form, 3), &value) ||
      (!element && get_type(x) != ZU_TYPE_SYMBOL))
    return error_list_at(form, ZU_ER_TYPE, "SetAttribute", "type missmatch");
  ZU_SEXP* old = element ? x->pair.car : x;
  const L_CHAR* n = str_text(name);
  // Each attribute goes to the front: the others end up reversed, the new
  // one first.
  ZU_SEXP* tag = get_symbol_atom(old->symbol.atom);
  for (ZU_SYM_FIELD* f = sym_field(old); f; f = f->next) {
    if (f->name && l_strcmp(f->name, n) != 0) set_attribute(tag, f->name, f->value);
  }
  set_attribute(tag, n, reinterpret_cast<const L_CHAR*>(value.c_str()));
  return element ? cons(tag, x->pair.cdr) : tag;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kGetAttribute[] = {{"GetAttribute", zu_GetAttribute, 1, 2, 3, T}, {}};
const QN_PRIM_DEF kSetAttribute[] = {{"SetAttribute", zu_SetAttribute, 1, 4, 4, T}, {}};

}  // namespace

void init_GetAttribute(ZUISP_ENV* env) { bind_prims(env, kGetAttribute); }
void init_SetAttribute(ZUISP_ENV* env) { bind_prims(env, kSetAttribute); }
