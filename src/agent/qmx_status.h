// qmxStatus: a matrix described in the description language of qmxCreate,
// so that the text it prints, fed back as the body of a qmxCreate on a new
// file, makes an equal matrix.
//
//   (status (general (dim total-levels size0 size1 ...))
//           (qmxStatus (qmxMatrixParam qmxPriority...) qmxChannelInfo...
//                      qmxMatrixDimDivide... qmxMatrixBlockSize...
//                      qmxMatrixPixelSize... qmxPhase...))
//
// The full view (the binding of the second top environment) shows the
// current priorities and scripts and those of every stored mode; the
// restricted view (the root environment's binding, which peers reach)
// shows the client mode only, without mode names, and the channel flags as
// a peer sees them. The restricted view refuses matrix ids and absolute
// paths, and asks the access check of peers about document paths.
//
// A status reads the matrix with the entry's command lock held, so it
// never interleaves with another command on the same entry. A status by
// path closes the entry afterwards only when this call opened it: an entry
// that a script holds keeps its id.
#pragma once

#include "agent/mx_entry.h"
#include "zu/env.h"

// (qmxStatus ["path"]) with path-type, id: full (_s) and restricted (_n).
ZU_SEXP* qn_qmxStatus_s(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
ZU_SEXP* qn_qmxStatus_n(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// The command for s_flag 1 (full view) or 0 (restricted view).
ZU_SEXP* _qn_qmxStatus(int s_flag, ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf);

// The status of an entry the caller holds a reference to: takes and gives
// back its command lock around _get_mx_status. An error value when the
// entry began closing.
ZU_SEXP* get_mx_status(int s_flag, MX_ENTRY* e);
// The whole status list; the caller holds the entry's command lock.
ZU_SEXP* _get_mx_status(int s_flag, MX_ENTRY* e);

// The status of the matrix behind a document path: the path rule of its
// suffix for "Get" must hand out the mode "lod"; the candidate files are
// opened for reading in turn and the first that opens gives the status.
// An error value otherwise (0x80040a06 from "qmxStatus" when none opens).
ZU_SEXP* open_status_related(int s_flag, const L_CHAR* path, ZU_SEXP* form);
