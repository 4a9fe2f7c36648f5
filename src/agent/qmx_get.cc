// The agent's Get: node and status reads of peers (qmx_get.h).
#include "agent/qmx_get.h"

#include "agent/agent_impl.h"
#include "agent/mx_entry.h"
#include "agent/qmx_point.h"
#include "agent/qmx_status.h"
#include "base/alloc.h"
#include "matrix/node.h"
#include "runtime/docpath.h"
#include "runtime/later_services.h"
#include "text/convert.h"
#include "zu/builtin_kit.h"
#include "zu/errcodes.h"

namespace {

constexpr const char* kFunc = "Get(qnmx)";

// Whether dc names a level of m and a position inside its level-0 extent:
// a peer's coordinates never make the store create a node elsewhere.
bool inside(MATRIX* m, const int64_t* dc) {
  lock_task(matrix_lock);
  bool ok = m->pixel_size && dc[0] >= 0 && dc[0] < m->total_levels;
  for (int d = 0; ok && d < m->p.dim; ++d) ok = dc[d + 1] >= 0 && dc[d + 1] < m->pixel_size[d];
  unlock_task(matrix_lock, kFunc);
  return ok;
}

// The transmitted form of a ready node the caller has locked; the node's
// channels and child list are read under their locks.
ZU_SEXP* encode_locked(MATRIX_NODE* n) {
  matrix_node_channel_lock(n);
  lock_task(matrix_lock);
  ZU_SEXP* raw = encode_matrix_node(n);
  unlock_task(matrix_lock, kFunc);
  matrix_node_channel_unlock(n, 0);
  return raw;
}

ZU_SEXP* no_node(ZU_SEXP* form, ZU_SEXP* dcl) {
  return error_at(form, ZU_ER_NO_OBJECT, kFunc, data_list("get_matrix there is no node", dcl));
}

// The node at dc, encoded; or the error of the store's answer.
ZU_SEXP* fetch_node(MATRIX* m, const int64_t* dc, ZU_SEXP* dcl, ZU_SEXP* form) {
  set_matrix_env(m, "create-node", "disable");
  int status = 0;
  ZU_SEXP* stop = nullptr;
  if (MATRIX_NODE* n = wait_matrix_node(m, dc, kMxFetchSlot, form, &status, &stop)) {
    ZU_SEXP* raw = encode_locked(n);
    unlock_node(n, nullptr);
    return raw ? raw : no_node(form, dcl);
  }
  if (stop) return stop;
  if (mx_is_load_fault(status)) return qmx_node_error(form, kFunc, "others", status, dcl);
  switch (status) {
    case kMxNoMatrix:
    case kMxNodeFailed:
      return no_node(form, dcl);
    case kMxLoading:
      // Still loading after every try.
      return error_at(form, ZU_ER_NO_OBJECT, kFunc,
                      data_list("invalid object in channel of NODE", "others", data_list(status, dcl)));
    case kMxInactive:
      return error_at(form, ZU_ER_OPEN, kFunc, data_list("get_matrix error", status));
    default:
      return qmx_store_error(form, kFunc, status);
  }
}

// The read on an opened entry (the caller holds a reference).
ZU_SEXP* read_node(MX_ENTRY* e, ZU_SEXP* dcl, ZU_SEXP* form) {
  MATRIX* m = e->c.m;
  MxDimCode dc = qmx_dim_code(m, dcl);
  if (!dc) return error_text_at(form, ZU_ER_PARAM, kFunc, "dim_code format");
  return inside(m, dc.get()) ? fetch_node(m, dc.get(), dcl, form) : error_text_at(form, ZU_ER_PARAM, kFunc, "dim_code");
}

}  // namespace

ZU_SEXP* open_mxread_server_related(ZU_SEXP* path, ZU_SEXP* form) {
  Tagged<L_CHAR> candidates[2];
  ZU_GETFILE* rule = nullptr;
  if (ZU_SEXP* err = get_path(candidates, &rule, str_text(path), form, l_string(std_cm, "Get"))) return err;
  ZU_SEXP* dcl = get_el(form, 2);
  ZU_SEXP* r = nullptr;
  if (!getfile_mode_is(rule, "lod")) r = error_text_at(form, ZU_ER_NOT_AVAILABLE, kFunc, "unsupport Get mode");
  else if (get_type(dcl) != ZU_TYPE_LIST) r = error_text_at(form, ZU_ER_TYPE, kFunc, "dim_code");
  for (const Tagged<L_CHAR>& candidate : candidates) {
    if (r || !candidate) continue;
    if (EntryHold e{open_mxread(nullptr, candidate.get(), nullptr, 1)}) r = read_node(e.get(), dcl, form);
  }
  // None of the candidates opened (one or two of them).
  return r ? r : error_at(form, ZU_ER_OPEN, kFunc, nullptr);
}

ZU_SEXP* qn_qmxGet(ZUISP_ENV*, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD* sf, ZUISP_ENV*) {
  ZU_SEXP* path = get_el(form, 1);
  if (!is_string(path)) return error_text_at(form, ZU_ER_TYPE, kFunc, "filename");
  if (ZU_SEXP* denied = auth_filepath_passive(path, "Get")) return denied;
  const L_CHAR* mode = head_option(sf, "mode");
  if (!mode || option_is(mode, "data")) return open_mxread_server_related(path, form);
  // The client's view, closing the entry afterwards when this call opened it.
  if (option_is(mode, "meta")) return open_status_related(0, str_text(path), form);
  return error_text_at(form, ZU_ER_PARAM, kFunc, "mode value");
}
