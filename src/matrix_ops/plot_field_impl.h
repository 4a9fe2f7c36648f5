// Inside the plot-field family: the initial operations of the four kinds
// (plot_field_initial.cc), which the kind table (plot_field_kinds.cc) lists,
// the allocation every field value goes through, and the merge and level
// difference with their values from a bump allocator, for the plot level
// algorithms.
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

// More operations of each kind (rows as field_type_tbl): merge and diff
// with their values from sat when given, else tagged (the table's slots are
// these with no sat), and the reading of a stored field in two steps, so
// that a reader can place a point's values next to it: the bytes the value
// takes in memory (0: none), and the value read into that room (dest null:
// only skipped), which returns the position after the field.
struct FIELD_ARITH {
  int (*merge)(IP_FIELD* dest, IP_FIELD* src1, IP_FIELD* src2, SIMPLE_ALLOC_T* sat);
  int (*diff)(IP_FIELD* dest, IP_FIELD* up, IP_FIELD* down, SIMPLE_ALLOC_T* sat);
  size_t (*room)(const unsigned char* p);
  unsigned char* (*place)(IP_FIELD* dest, unsigned char* p, void* room);
};
extern const FIELD_ARITH fd_arith_tbl[5];

// merge_fields and diff_fields with the result from sat when given. A
// refusal leaves what was made in sat until it is freed.
IP_FIELD* fd_merge_fields(unsigned char* flags, IP_FIELD* fd1, IP_FIELD* fd2, SIMPLE_ALLOC_T* sat, int* errp);
IP_FIELD* fd_diff_fields(IP_FIELD* down, IP_FIELD* up, SIMPLE_ALLOC_T* sat, int* errp);
