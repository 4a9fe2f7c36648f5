// Element values in memory: the vector layout and its parsed view, block
// records, the four allocation kinds, and the allocate, copy, fill and free
// operations that the descriptors' slots point to.
//
// Vector value (types 17-28 and 30), one piece of memory:
//   MATRIX_DATA_HEADER {offset, type, dim}, dim extents (int32),
//   filler up to `offset`, then the elements, first dimension fastest.
// Header length (`offset`): numeric, float, double and rgb8 vectors use the
// smallest multiple of the element size not below 4 + 4 * dim (so elements
// are aligned to their size); bit vectors exactly 4 + 4 * dim, followed by
// ceil(n / 8) bytes, element i in bit i % 8 of byte i / 8. String vectors
// keep, in memory only, the kind of their texts in the word after the
// extents and pointer-size slots at an 8-aligned offset (an empty slot is an
// absent text). `offset` is a signed byte, so dim is at most 29 for 8-byte
// elements and 30 otherwise; a string vector's offset byte alone is read
// unsigned (up to 128 bytes of header), so it too reaches dim 30 as its
// stored form does.
//
// Sizes: every size is computed in 64 bits; a value above INT32_MAX bytes,
// a negative extent or a dim beyond the limit is refused (null result).
// Kinds 1, 3 and 4 come zero-filled unless a default fills them.
#pragma once

#include <cstdint>

#include "elements/element_type.h"
#include "zu/gc.h"

struct MATRIX_DATA_HEADER {
  int8_t offset;  // distance from the value's start to its first element
  uint8_t type;   // the vector's own type code
  int16_t dim;    // number of dimensions
};
static_assert(sizeof(MATRIX_DATA_HEADER) == 4);

// Parsed view of a vector; owns nothing.
struct MATRIX_DH_SET {
  MATRIX_DATA_HEADER* hd;     // the value's header
  MATRIX_DATA_TYPE* tp;       // descriptor of the header's code; null when unregistered
  int32_t* ix;                // the extents
  int64_t total_element;      // product of the extents (1 for dim 0)
  uint8_t* offset;            // first element
};

// Request for a new vector.
struct MATRIX_ALLOC_VECTOR_PARAM {
  int dim;
  const int32_t* ix_size;     // dim extents
  const void* default_data;   // element every element starts as, or null
  MX_CACHE* mxc;              // pool for kind 4 when none is passed otherwise
};

// A block value's record. `h` is {0, 13, 0}. `data_kind` says who owns the
// bytes: 0 borrowed (never freed by the record), 1 heap, 2 collector,
// 3 tagged; `record_kind` is the record's own kind (0: made elsewhere,
// released as tagged). Data a record makes is of the record's kind, so a
// collector record keeps its data alive and nothing else refers to data a
// heap or tagged record frees. A record whose data_kind is 0 leaks at worst,
// never frees memory it does not own.
struct MATRIX_ALLOC_BLOCK_PARAM {
  MATRIX_DATA_HEADER h;
  int32_t size;               // number of data bytes
  void* block;                // the bytes
  int32_t data_kind;
  int32_t record_kind;
};

// ---- sizes and views
// get_size slots shared by families of types.
// Vectors: header and element area (null d: the element size).
int64_t mxt_vector_get_size(const MATRIX_DATA_TYPE* tp, const void* d);
int64_t mxt_bit_get_size(const MATRIX_DATA_TYPE* tp, const void* d);
int64_t mxt_bitv_get_size(const MATRIX_DATA_TYPE* tp, const void* d);
int64_t mxt_block_get_size(const MATRIX_DATA_TYPE* tp, const void* d);
int64_t mxt_string_get_size(const MATRIX_DATA_TYPE* tp, const void* d);
int64_t mxt_stringv_get_size(const MATRIX_DATA_TYPE* tp, const void* d);
int64_t mxt_sexp_get_size(const MATRIX_DATA_TYPE* tp, const void* d);
// Element size of a vector type's elements (8 for string-vector slots, 0
// for bit vectors, whose elements are bits); 0 for scalar types.
int mxt_vector_element_size(const MATRIX_DATA_TYPE* tp);
// Header length of a vector of tp with `dim` dimensions by the rule above;
// -1 when dim is negative or beyond the type's limit.
int mxt_header_length(const MATRIX_DATA_TYPE* tp, int dim);
// Largest dim a vector of tp can have.
int mxt_max_dim(const MATRIX_DATA_TYPE* tp);
// Fills dh for the vector d and returns dh->tp (null for an unknown code).
MATRIX_DATA_TYPE* get_matrix_dh_set(MATRIX_DH_SET* dh, const void* d);
// Orders two views by type code, dim, then each extent: -1, 0, 1.
int cmp_dh_set(const MATRIX_DH_SET* dh1, const MATRIX_DH_SET* dh2);

// ---- storage by kind
// size zero-filled bytes of kind atype: 1 heap, 2 collector heap with
// `mark` (gc_text when null), 3 tagged under file and line, 4 from cache c.
// Null for kind 4 without a cache or a size above INT32_MAX; any other kind
// is a broken invariant ("atype_alloc").
void* xx_atype_alloc(int64_t size, MX_ATYPE atype, MX_CACHE* c, GC_MARK_FUNC mark, const char* file, int line);
// Releases storage of a kind that can be released here (1 and 3; 2 is left
// to the collector, 4 goes back to cache c).
void mxt_release(void* p, int kind, MX_CACHE* c);
#define atype_alloc(size, atype, c, mark) xx_atype_alloc((size), (atype), (c), (mark), __FILE__, __LINE__)

// ---- scalars, strings and plain vectors
void* xx_mxt_alloc_copy(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                        const char* file, int line);
void* xx_mxt_alloc_data(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* d, MX_CACHE* w, const char* file,
                        int line);
void* mxt_bit_alloc_data(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* d, MX_CACHE* w,
                         const char* file, int line);
int mxt_vector_copy(const MATRIX_DATA_TYPE* tp, void* d1, const void* d2, MX_ATYPE atype, MX_CACHE* at_work);
void mxt_free_data(const MATRIX_DATA_TYPE* tp, void* d);
#define mxt_alloc_copy(tp, d, atype, w) xx_mxt_alloc_copy((tp), (d), (atype), (w), __FILE__, __LINE__)
#define mxt_alloc_data(tp, atype, d, w) xx_mxt_alloc_data((tp), (atype), (d), (w), __FILE__, __LINE__)

// ---- vectors (d is a MATRIX_ALLOC_VECTOR_PARAM)
// Numeric, float, double and rgb8 vectors; kind 4 takes w, else p->mxc.
void* xx_mxt_alloc_vector(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* p, MX_CACHE* w,
                          const char* file, int line);
// Bit vectors; a default fills 0xFF when its byte is non-zero, 0x00 when zero.
void* mxt_alloc_bitv(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* p, MX_CACHE* w, const char* file,
                     int line);
// The channel data of the node of matrix geometry m that holds dim_code:
// its shape (elements/geometry.h), filled with def when given; null for a
// node beyond the matrix bound or a dim code outside the geometry.
void* mxt_alloc_vector_by_dim_code(const MATRIX_GEOMETRY* m, const MATRIX_DATA_TYPE* tp, MX_ATYPE atype,
                                   const int64_t* dim_code, const void* def);
#define mxt_alloc_vector(tp, atype, p, w) xx_mxt_alloc_vector((tp), (atype), (p), (w), __FILE__, __LINE__)
// A vector of tp (numeric, float, double or rgb8) with the shape of p whose
// elements are not filled (kinds 1, 3 and 4), for a caller that writes
// every element before the vector is used; p's default is ignored. Null
// where xx_mxt_alloc_vector gives null, and for bit and string vectors.
void* xx_mxt_alloc_vector_unfilled(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const MATRIX_ALLOC_VECTOR_PARAM* p,
                                   MX_CACHE* w, const char* file, int line);
#define mxt_alloc_vector_unfilled(tp, atype, p, w) \
  xx_mxt_alloc_vector_unfilled((tp), (atype), (p), (w), __FILE__, __LINE__)

// ---- string vectors (texts share the vector's kind; kind 4 is not served)
void* mxt_alloc_stringv_data(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* p, MX_CACHE* w,
                             const char* file, int line);
void* mxt_alloc_stringv_copy(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                             const char* file, int line);
// Same shape required; the old texts are released and the new ones made in
// d1's kind.
int mxt_stringv_copy(const MATRIX_DATA_TYPE* tp, void* d1, const void* d2, MX_ATYPE atype, MX_CACHE* at_work);
void mxt_free_stringv_data(const MATRIX_DATA_TYPE* tp, void* d);
// Kind of the texts of a string vector; slot i (storage order) of it.
int mxt_stringv_kind(const void* v);
char** mxt_stringv_slots(void* v);
// Replaces slot i's text by a copy of text (null: absent) in the vector's
// kind, releasing the old one. 0, or -1 for an index outside the vector.
int mxt_stringv_set(void* v, int64_t i, const char* text);

// ---- blocks (records of kind 1-3; data of the record's kind or adopted)
void* mxt_alloc_block_data(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* d, MX_CACHE* w,
                           const char* file, int line);
void* mxt_alloc_block_copy(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                           const char* file, int line);
int mxt_block_copy(const MATRIX_DATA_TYPE* tp, void* d1, const void* d2, MX_ATYPE atype, MX_CACHE* at_work);
void mxt_free_block(const MATRIX_DATA_TYPE* tp, void* d);

// ---- marking functions of kind-2 values
// A block record and its collector-owned data.
void gc_mtx_block(void* block);
// A string vector and its collector-owned texts.
void gc_mx_stringv_data(void* vector);

// ---- defaults
// The zero datum of a scalar type, for a channel without a default: 0 for
// the numbers, bit and rgb8, the empty text, the empty block record. Null
// for vectors and sexp. Constant storage: copy it before changing it.
const void* get_zero_datum(const MATRIX_DATA_TYPE* tp);
