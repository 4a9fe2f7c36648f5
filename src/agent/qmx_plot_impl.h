// Inside the point-vector commands (qmx_plot.h): what the field and the
// insertion commands share.
#pragma once

#include "matrix_ops/plot_field.h"
#include "zu/value.h"

// The field-description handle a value holds: a pointer value marked by
// gc_fd_opt_ptr, else null (other pointer values are not handles).
inline FD_OPT_PTR* fd_handle(ZU_SEXP* v) {
  if (get_type(v) != ZU_TYPE_POINTER || v->ptr.mark != gc_fd_opt_ptr) return nullptr;
  return static_cast<FD_OPT_PTR*>(v->ptr.ptr);
}
