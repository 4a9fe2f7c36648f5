// EA and SetEA (a variable named by a value, read or bound in an
// environment) and EE (a body evaluated with an element's children bound
// as variables).
#include <string>

#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/lib_impl.h"
#include "zulib/library.h"
#include "zulib/lists.h"

namespace {

// The environment named by EA's and SetEA's first argument: nil the
// caller's, an environment value its own; null for anything else.
ZUISP_ENV* target_env(ZUISP_ENV* env, ZU_SEXP* v) {
  switch (get_type(v)) {
    case ZU_TYPE_NULL:
      return env;
    case ZU_TYPE_ENV:
      return v->env;
    default:
      return nullptr;
  }
}

const L_CHAR* wide(const std::u32string& s) { return reinterpret_cast<const L_CHAR*>(s.c_str()); }

// The value of the variable `name` in env; an unbound name's error carries
// the call's position.
ZU_SEXP* variable(ZUISP_ENV* env, const L_CHAR* name, ZU_SEXP* form) {
  ZU_SEXP* sym = get_symbol(name);
  set_sexp_pos(sym, form->h.file, form->h.line);
  return eval(env, sym);
}

ZU_SEXP* zu_EA(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZUISP_ENV* e = target_env(env, get_el(form, 1));
  std::u32string name;
  if (!e || !value_text(get_el(form, 2), &name)) return error_text_at(form, ZU_ER_TYPE, "EA", nullptr);
  ZU_SEXP* v = variable(e, wide(name), form);
  if (get_type(v) == ZU_TYPE_ERROR && list_length(form) == 4) return get_el(form, 3);
  return v;
}

ZU_SEXP* zu_SetEA(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZUISP_ENV* e = target_env(env, get_el(form, 1));
  std::u32string name;
  if (!e || !value_text(get_el(form, 2), &name)) return error_text_at(form, ZU_ER_TYPE, "SetEA", nullptr);
  if (set_env(e, wide(name), get_el(form, 3)) == kEnvRefused) return peer_refused(form, "SetEA");
  return nullptr;
}

// ---- EE

// True when `name` is one of the ","-separated names of `list`.
bool listed(const L_CHAR* list, const L_CHAR* name) {
  if (!list) return false;
  for (const L_CHAR* p = list;;) {
    const L_CHAR* q = name;
    while (*p && *p != ',' && *p == *q) ++p, ++q;
    if (*q == 0 && (*p == 0 || *p == ',')) return true;
    while (*p && *p != ',') ++p;
    if (!*p) return false;
    ++p;
  }
}

// Runs the body forms for one element in a new child of env where "tag" is
// the element's tag and each child element is bound under its tag name.
ZU_SEXP* ee_one(ZUISP_ENV* env, ZU_SEXP* el, ZU_SEXP* body, const L_CHAR* raw_tags) {
  ZUISP_ENV* child = new_env(env);
  ZU_SEXP* head = get_type(el) == ZU_TYPE_LIST ? el->pair.car : nullptr;
  bind_private_env(child, get_symbol_ascii("tag")->symbol.atom,
                   get_type(head) == ZU_TYPE_SYMBOL ? head : nullptr);
  for (ZU_SEXP* p = el; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* m = p->pair.car;
    int tm = get_type(m);
    if (tm == ZU_TYPE_ERROR) return m;
    if (tm != ZU_TYPE_LIST) continue;
    ZU_SEXP* tag = m->pair.car;
    int tt = get_type(tag);
    if (tt == ZU_TYPE_ERROR) return tag;
    if (tt != ZU_TYPE_SYMBOL) continue;
    ZU_SEXP* rest = m->pair.cdr;
    bool single = get_type(rest) == ZU_TYPE_LIST && get_type(rest->pair.cdr) == ZU_TYPE_NULL;
    ZU_SEXP* v = single && !listed(raw_tags, sym_name(tag)) ? rest->pair.car : rest;
    bind_private_env(child, tag->symbol.atom, v);
  }
  return eval_body(child, body);
}

ZU_SEXP* zu_EE(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* target = get_sf_attribute(sf, l_string(std_cm, "target"));
  if (!target) return error_text_at(form, ZU_ER_PARAM, "EE", "invalid parameter(Attribute target required)");
  if (target[0] == '^') ++target;
  const L_CHAR* mode = get_sf_attribute(sf, l_string(std_cm, "mode"));
  const L_CHAR* raw_tags = get_sf_attribute(sf, l_string(std_cm, "raw.mode.tag"));
  ZU_SEXP* v = variable(env, target, form);
  int tv = get_type(v);
  if (tv == ZU_TYPE_ERROR) return v;
  if (tv != ZU_TYPE_LIST && tv != ZU_TYPE_NULL) return error_text_at(form, ZU_ER_TYPE, "EE", nullptr);
  // The body may rebind the target: keep its value alive meanwhile.
  gc_set_nl(v, gc_qn_sexp);
  ZU_SEXP* body = form->pair.cdr;
  if (!mode || zu_wcmp_ascii(mode, "list") != 0) return ee_one(env, v, body, raw_tags);
  ZU_SEXP* head = nullptr;
  ZU_SEXP* last = nullptr;
  for (ZU_SEXP* p = v; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    if (get_type(p->pair.car) != ZU_TYPE_LIST) continue;
    // Only each element's result outlives its round.
    GcFrame round("EE");
    ZU_SEXP* r = round.keep(ee_one(env, p->pair.car, body, raw_tags), gc_qn_sexp);
    if (get_type(r) == ZU_TYPE_ERROR) return r;
    ZU_SEXP* c = cons(r, nullptr);
    if (last) last->pair.cdr = c;
    else head = c;
    last = c;
  }
  return head;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kEA[] = {{"EA", zu_EA, 1, 3, 4, T}, {}};
const QN_PRIM_DEF kSetEA[] = {{"SetEA", zu_SetEA, 1, 4, 4, T}, {}};
const QN_PRIM_DEF kEE[] = {{"EE", zu_EE, 0, 1, -1, 0}, {}};

}  // namespace

void init_EA(ZUISP_ENV* env) { bind_prims(env, kEA); }
void init_SetEA(ZUISP_ENV* env) { bind_prims(env, kSetEA); }
void init_EE(ZUISP_ENV* env) { bind_prims(env, kEE); }
