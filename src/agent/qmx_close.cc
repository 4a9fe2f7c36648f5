// qmxClose: closes an entry by id, waiting for the commands that use it.
#include "agent/agent_impl.h"
#include "agent/mx_entry.h"
#include "agent/qmx_create.h"

ZU_SEXP* qn_qmxClose(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* id = qmx_attr(sf, "id");
  MX_ENTRY* e = id ? hold_mx_entry(qmx_atoi(id)) : nullptr;
  if (!e || close_mx_entry(e) != 0) return qmx_error(form, ZU_ER_PARAM, "qmxClose", nullptr);
  return nullptr;
}
