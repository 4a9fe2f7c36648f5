// qmxClose: closes an entry by id, waiting for the commands that use it.
#include "agent/mx_entry.h"
#include "agent/qmx_create.h"
#include "zu/builtin_kit.h"

ZU_SEXP* qn_qmxClose(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* id = head_option(sf, "id");
  MX_ENTRY* e = id ? hold_mx_entry(option_int(id)) : nullptr;
  if (!e || close_mx_entry(e) != 0) return error_at(form, ZU_ER_PARAM, "qmxClose", nullptr);
  return nullptr;
}
