// Point vectors in the block channels of a matrix: qmxPgPlotField builds
// the field-description handle that says how one input record becomes one
// point, qmxPgPlotInsert turns records (one list of values, or CSV lines)
// into points and hands each to the plot inserter (matrix_ops/plot_insert.h),
// which puts it into the plot block of the first node without children on
// its way down the pyramid, handing a block's points to the children when
// it must divide, and qmxPgDisplay shows the points of a plot block read
// from a node.
//
// What stays true:
// - A handle is a pointer value whose mark function is gc_fd_opt_ptr; its
//   descriptions are ordered by input column (csv_label), a new one after
//   those of the same column. Every description names a field kind of the
//   field table, a coordinate below the matrix's dimension count, and (for
//   a point field) a type byte that plot code stores.
// - No point is lost by an insertion (the plot inserter's rules).
// - qmxPgDisplay is reachable by peers (the root environment): the block is
//   a raw value, inflated within the codec's ceiling, and decoded only
//   through the plot-code reader's checks.
//
// The commands hold the entry's command lock (entries by the `id`
// attribute) for the time they use its cache; the insertion sets the
// cache's node access to a writer's (nodes missing on the way are made and
// entered in their parents' child lists) and puts the entry's settings
// back, and leaves the matrix's "create-node" at "enable". Plot blocks are
// changed only under their node's channel lock.
#pragma once

#include "zu/env.h"

// (qmxPgPlotField) with id: a new empty handle; (qmxPgPlotField handle
// [settings...]) with dim, label, merge-type and csv: the handle with one
// more description.
ZU_SEXP* qn_qmxPgPlotField(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// (qmxPgPlotInsert handle-form data-form) with id, channel, and csv and
// startline for CSV lines: nil.
ZU_SEXP* qn_qmxPgPlotInsert(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
// (qmxPgDisplay item) with id and compress: (pg size length count (ip
// (point flags (c ...) base fields) ...)).
ZU_SEXP* qn_qmxPgDisplay(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);
