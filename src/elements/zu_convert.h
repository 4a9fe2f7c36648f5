// Element values as ZU values: the sexp2md and md2sexp slots, the total
// order `cmp`, and the zero and unit elements.
//
// sexp2md: integers take the low bits of the 64-bit value (no saturation);
// float accepts only floating values, double integers and floating values;
// strings are stored as UTF-8; blocks come from a pointer value (borrowed,
// header checked) or raw bytes (copied); vectors from a pointer value or a
// raw value whose bytes pass the stored-form checks against the raw length
// (borrowed); string vectors only from pointer values. Units are ignored.
//
// md2sexp: signed types sign-extend, unsigned zero-extend, uint64 keeps its
// 64 bits (values from 2^63 read negative); blocks and vectors become a
// pointer value to a collector copy whose marking function keeps it (and
// its data or texts) alive, so the value outlives the datum it came from.
//
// cmp: -1, 0 or 1 for every type. Floating values order by value with
// -0.0 == 0.0 and every NaN equal to any NaN and after every number.
// Vectors compare type, dim and extents first, then elements in storage
// order. The caller holds the memory lock for every function that makes or
// reads ZU values.
#pragma once

#include <cstdint>

#include "elements/element_type.h"

struct ZU_SEXP;

// The data address of a raw value (type 10) or of a pointer value (type
// 9) whose marking function is one of the element marks (gc_text,
// gc_mtx_block, gc_mx_stringv_data); null for anything else.
void* get_vdata_from_sexp(ZU_SEXP* s);
// As get_vdata_from_sexp, and *len = the bytes behind it: the raw length,
// the collected block's size of a pointer value, -1 when there are none.
void* get_vdata_len_from_sexp(ZU_SEXP* s, int64_t* len);

void* mxt_vector_sexp2md(int* cpy, const MATRIX_DATA_TYPE* tp, ZU_SEXP* s);
ZU_SEXP* mxt_vector_md2sexp(const MATRIX_DATA_TYPE* tp, const void* d);
int mxt_RGB_cmp(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2);
int mxt_bitv_cmp(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2);
int mxt_string_cmp(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2);
int mxt_stringv_cmp(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2);
int mxt_sexp_cmp(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2);
// rgb8 order: bytes from the least significant up, unsigned.
int cmp_RGB(uint32_t r1, uint32_t r2);
