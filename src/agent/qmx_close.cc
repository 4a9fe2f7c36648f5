// qmxClose: closes an entry by id, waiting for the commands that use it.
// A close that could not save every change answers the store's error: the
// file that could not be written and why, or else the number of nodes
// whose changes are not in the file.
#include "agent/agent_impl.h"
#include "agent/mx_entry.h"
#include "agent/qmx_create.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"

ZU_SEXP* qn_qmxClose(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  const L_CHAR* id = head_option(sf, "id");
  MX_ENTRY* e = id ? hold_mx_entry(option_int(id)) : nullptr;
  MX_CLOSE_LOSS loss;
  const int r = e ? close_mx_entry(e, &loss) : -1;
  if (r < 0) return error_at(form, ZU_ER_PARAM, "qmxClose", nullptr);
  if (loss.file_errno) return qmx_write_error(form, "qmxClose", loss.path, loss.file_errno);
  if (r > 0) return error_at(form, ZU_ER_STORE, "qmxClose", data_list("changes of nodes not saved", r));
  return nullptr;
}
