// Inside the plot-field family: the initial operations of the four kinds
// (plot_field_initial.cc), which the kind table (plot_field_kinds.cc) lists,
// and the allocation every field value goes through.
#pragma once

#include <cstddef>

#include "matrix_ops/plot_field.h"

int fd_initial_none(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
int fd_initial_str(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
int fd_initial_int(IP_FIELD* target, void* data, FD_OPT* opt, int flag);
int fd_initial_rgba(IP_FIELD* target, void* data, FD_OPT* opt, int flag);

// n bytes from sat when given, else tagged under the caller's site.
void* xx_fd_alloc(size_t n, SIMPLE_ALLOC_T* sat, const char* file, int line);
#define fd_alloc(n, sat) xx_fd_alloc((n), (sat), __FILE__, __LINE__)

// The trace of a refused pair of fields.
void fd_trace_refused(unsigned t1, unsigned t2);
