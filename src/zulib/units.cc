// GetUnit, SetUnit, ConvertUnit and UnitSystem.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zu/peer.h"
#include "zu/unit.h"
#include "zulib/units.h"

namespace {

bool is_number(ZU_SEXP* s) {
  int t = get_type(s);
  return t == ZU_TYPE_INTEGER || t == ZU_TYPE_FLOATING;
}

const L_CHAR* unit_of(ZU_SEXP* n) {
  return get_type(n) == ZU_TYPE_INTEGER ? n->integer.unit : n->floating.unit;
}

double value_of(ZU_SEXP* n) {
  return get_type(n) == ZU_TYPE_INTEGER ? static_cast<double>(n->integer.num) : n->floating.num;
}

ZU_SEXP* zu_GetUnit(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  ZU_SEXP* n = get_el(form, 1);
  if (!is_number(n)) return error_text_at(form, ZU_ER_TYPE, "GetUnit", "type missmatch");
  return get_string(unit_of(n));
}

ZU_SEXP* zu_SetUnit(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* n = get_el(form, 1);
  if (!is_number(n)) return error_text_at(form, ZU_ER_TYPE, "SetUnit", "type missmatch");
  const L_CHAR* unit = head_option(sf, "unit");
  if (unit && !*unit) unit = nullptr;
  if (get_type(n) == ZU_TYPE_INTEGER) return get_integer(n->integer.num, unit);
  return get_floating(n->floating.num, unit);
}

// A whole number within 32 bits comes back as an integer.
ZU_SEXP* zu_ConvertUnit(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  constexpr const char* kFunc = "ConvertUnit";
  ZU_SEXP* n = get_el(form, 1);
  ZU_SEXP* target = get_el(form, 2);
  int tt = get_type(target);
  if ((tt != ZU_TYPE_STRING && tt != ZU_TYPE_NULL) || !is_number(n))
    return error_text_at(form, ZU_ER_TYPE, kFunc, "type missmatch");
  const L_CHAR* to = tt == ZU_TYPE_STRING && *str_text(target) ? str_text(target) : nullptr;
  int err = 0;
  double v = conv_unit(&err, uenv_in_force(env), value_of(n), unit_of(n), to);
  if (err) return error_text_at(form, ZU_ER_PARAM, kFunc, "Cannot convert");
  if (v >= INT32_MIN && v <= INT32_MAX && v == std::trunc(v)) return get_integer(static_cast<int64_t>(v), to);
  return get_floating(v, to);
}

// ---- UnitSystem

constexpr const char* kMember = "UnitSystem/System";  // both members' errors carry it

// Dimension class of a system unit by its letter, or -1.
int dim_class(const L_CHAR* d) {
  static const char* const kDims[] = {"l", "t", "w"};
  for (int i = 0; d && i < 3; ++i) {
    if (zu_wcmp_ascii(d, kDims[i]) == 0) return i;
  }
  return -1;
}

// (System a b) name=".." dim="l|t|w": a unit of ratio b / a.
ZU_SEXP* system_member(ZUISP_ENV* env, UNIT_ENV* u, ZU_SEXP* m) {
  if (list_length(m) != 3) return error_text_at(m, ZU_ER_LENGTH, kMember, "invalid param length");
  ZU_SYM_FIELD* sf = sym_field(m->pair.car);
  const L_CHAR* name = head_option(sf, "name");
  const L_CHAR* dim = head_option(sf, "dim");
  if (!name || !dim) return error_text_at(m, ZU_ER_PARAM, kMember, "invalid attribute parameter");
  int cls = dim_class(dim);
  if (cls < 0) return error_list_at(m, ZU_ER_TYPE, kMember, "type missmatch");
  double ab[2];
  for (int i = 0; i < 2; ++i) {
    ZU_SEXP* v = eval(env, get_el(m, i + 1));
    if (get_type(v) == ZU_TYPE_ERROR) return v;
    if (!is_number(v)) return error_list_at(m, ZU_ER_TYPE, kMember, "type missmatch");
    ab[i] = value_of(v);
  }
  // A zero, negative or endless ratio would make every conversion wrong.
  double ratio = ab[1] / ab[0];
  if (!(std::isfinite(ratio) && ratio > 0)) return error_list_at(m, ZU_ER_TYPE, kMember, "invalid ratio");
  new_su(u, cls, name, ab[1], ab[0]);  // a name the class has already is passed over
  return nullptr;
}

// (Alias) name=".." dim="unit expression" [rate=".."].
ZU_SEXP* alias_member(UNIT_ENV* u, ZU_SEXP* m) {
  if (list_length(m) != 1) return error_text_at(m, ZU_ER_LENGTH, kMember, "invalid param length");
  ZU_SYM_FIELD* sf = sym_field(m->pair.car);
  const L_CHAR* name = head_option(sf, "name");
  const L_CHAR* dim = head_option(sf, "dim");
  if (!name || !dim) return error_text_at(m, ZU_ER_PARAM, kMember, "invalid attribute parameter");
  // The rate is not used: an alias stands for its expression exactly, so
  // an expression that mixes units of one class (km*m) has no alias.
  DIMENSION vec[kUnitDims] = {};
  double factor = 1;
  if (name2dim(u, vec, dim, &factor) < 0 || factor != 1)
    return error_text_at(m, ZU_ER_PARAM, kMember, "invalid attribute parameter");
  new_ua(u, vec, name);  // a name or vector that has an alias already is passed over
  return nullptr;
}

ZU_SEXP* zu_UnitSystem(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* inherit = head_option(sf, "inherit");
  UNIT_ENV* base = nullptr;
  if (!inherit) {
    base = get_uenv(env);
  } else if (zu_wcmp_ascii(inherit, "new") != 0) {
    base = search_uenv_name(inherit);
    if (!base) return error_list_at(form, ZU_ER_NO_OBJECT, "UnitSystem", "undefined unit environment");
  }
  // Another thread may replace the system in force here, or the named one,
  // at any moment: the base is pinned before anything allocates, since it
  // is copied from while the new system is built.
  gc_set_nl(base, gc_unit_env);
  ZU_SEXP* body = form->pair.cdr;
  if (!body) return set_uenv(env, base) == kEnvRefused ? peer_refused(form, "UnitSystem") : nullptr;
  UNIT_ENV* u = copy_uenv1(base);
  gc_set_nl(u, gc_unit_env);
  bool aliases = false;  // the system units are fixed once the first alias comes
  auto fix_system_units = [&] {
    aliases = true;
    system_unit_alias(u);
    if (base) copy_uenv2(u, base);
  };
  for (ZU_SEXP* p = body; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
    ZU_SEXP* m = p->pair.car;
    const ZU_ATOM* tag = is_element(m) ? m->pair.car->symbol.atom : nullptr;
    bool system = tag && zu_wcmp_ascii(tag->name, "System") == 0;
    bool alias = tag && zu_wcmp_ascii(tag->name, "Alias") == 0;
    if (!system && !alias)
      return get_error_ascii(p->h.file, p->h.line, ZU_ER_TYPE, "UnitSystem",
                             list(get_string_ascii("invalid tag in UnitSystem element")));
    if (system && aliases) return error_list_at(m, ZU_ER_TYPE, "UnitSystem", "System tag after Alias tags");
    if (alias && !aliases) fix_system_units();
    ZU_SEXP* r = system ? system_member(env, u, m) : alias_member(u, m);
    if (get_type(r) == ZU_TYPE_ERROR) return r;
  }
  if (!aliases) fix_system_units();
  // A name is the process's: the agent's own unit systems inherit by it.
  if (const L_CHAR* name = head_option(sf, "name")) {
    if (evaluates_for_peer()) return peer_power_refused(form, "UnitSystem");
    set_uenv_name(u, name);
  }
  return set_uenv(env, u) == kEnvRefused ? peer_refused(form, "UnitSystem") : nullptr;
}

constexpr uint8_t T = ZU_FUNC_FORM_TRANSIENT;
const QN_PRIM_DEF kGetUnit[] = {{"GetUnit", zu_GetUnit, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kSetUnit[] = {{"SetUnit", zu_SetUnit, 1, 2, 2, T}, {}};
const QN_PRIM_DEF kConvertUnit[] = {{"ConvertUnit", zu_ConvertUnit, 1, 3, 3, T}, {}};
const QN_PRIM_DEF kUnitSystem[] = {{"UnitSystem", zu_UnitSystem, 0, 1, -1, 0}, {}};

}  // namespace

void init_GetUnit(ZUISP_ENV* env) { bind_prims(env, kGetUnit); }
void init_SetUnit(ZUISP_ENV* env) { bind_prims(env, kSetUnit); }
void init_ConvertUnit(ZUISP_ENV* env) { bind_prims(env, kConvertUnit); }
void init_UnitSystem(ZUISP_ENV* env) { bind_prims(env, kUnitSystem); }
