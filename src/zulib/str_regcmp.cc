// RegCmp: how much of the start of a text a regular expression matches.
#include "text/regex.h"
#include "zu/builtin_kit.h"
#include "zu/core_init.h"
#include "zu/eval.h"
#include "zulib/strings.h"

namespace {

// (r min max): r the text's length when the whole text matches, else -1;
// min and max the shortest and longest matching starts, -1 when none.
ZU_SEXP* zu_RegCmp(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* rex = head_option(sf, "rex");
  if (!rex) return error_text_at(form, ZU_ER_PARAM, "RegCmp", "parameter error");
  ZU_SEXP* s = get_el(form, 1);
  if (get_type(s) != ZU_TYPE_STRING) return error_text_at(form, ZU_ER_TYPE, "RegCmp", "type missmatch");
  AUTOMATON* a = get_fa(rex);
  if (!a) return error_text_at(form, ZU_ER_PARAM, "RegCmp", "parameter error: regular expression");
  int min = -1;
  int max = -1;
  int r = parse_dfa_str(&min, &max, a, str_text(s), 0);
  free_automaton(a);
  return List(get_integer(r, nullptr), get_integer(min, nullptr), get_integer(max, nullptr), ZU_LIST_END);
}

const QN_PRIM_DEF kRegCmp[] = {{"RegCmp", zu_RegCmp, 1, 2, 2, ZU_FUNC_FORM_TRANSIENT}, {}};

}  // namespace

void init_RegCmp(ZUISP_ENV* env) { bind_prims(env, kRegCmp); }
