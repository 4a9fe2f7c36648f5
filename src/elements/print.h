// Text forms of element values, for diagnostics: the string buffer that
// printers append to, the per-type printers, and two trace helpers whose
// lines go to the standard error stream.
#pragma once

#include <cstdint>

#include "elements/element_type.h"

// A text built from pieces. The caller's head record (zeroed before use)
// points to the first piece (`next`) and the last (`tail`); every piece
// holds a tagged text. `len` is filled when the text is joined.
struct MATRIX_STRING_BUFFER {
  char* data;
  MATRIX_STRING_BUFFER* next;
  MATRIX_STRING_BUFFER* tail;
  int64_t len;
};

// Appends a piece holding a copy of str (null: nothing).
void out_matrix_string_buffer(MATRIX_STRING_BUFFER* b, const char* str);
// A new tagged text joining every piece in order ("" for none).
char* get_matrix_string_buffer(MATRIX_STRING_BUFFER* b);
// Releases every piece and leaves b empty.
void free_matrix_string_buffer(MATRIX_STRING_BUFFER* b);

// print_data slots named by the types that share them.
void mxt_print_bit(const MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, const void* d, const char* fmt);
void mxt_print_string(const MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, const void* d, const char* fmt);
// "[dim:%i " with dim, "%i " per extent, ":::\n", the elements (through the
// parent's printer with fmt), each followed by " ", or by " /\n" at the end
// of a row of the first extent that is not the last element; then "]".
void mxt_print_vector(const MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, const void* d, const char* fmt);
// As mxt_print_vector with texts (absent: nothing); with dim 1 the texts
// follow one another without separator.
void mxt_print_string_vector(const MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, const void* d,
                             const char* fmt);
// The text of d, handed to the calling task's ring of deferred frees ("" for
// a type without a printer or a null datum).
const char* mxt_print(const MATRIX_DATA_TYPE* tp, const void* d, const char* fmt);

// At most once per second of *tim: "%s(%s)" with msg and fn (or "(%s+%i)"
// with fn and ln when msg is empty), then " :: <scalar name>|VECTOR\n" or
// "|SCOLOR\n", or " :: zero\n" for a null tp.
void xx_type_debug(const char* msg, const MATRIX_DATA_TYPE* tp, const char* fn, int ln, unsigned int* tim);
#define type_debug(msg, tp, tim) xx_type_debug((msg), (tp), __FILE__, __LINE__, (tim))
// "%s(%s) z-%i o-%i oth-%i total=%i\n": msg, the dim code's text, and how
// many elements of vector d are 0, 1 and anything else (bits for bit_v).
void check_bittest(const MATRIX_GEOMETRY* m, const int64_t* dim_code, const void* d, const char* msg);
