// Element types: the table of the 28 types that a channel of a matrix node
// can hold, and the descriptor through which every caller reaches element
// data (sizing, allocation, copy, comparison, ZU conversion, printing and
// the big-endian stored form).
//
// A type code's low four bits name the scalar type; the value 16 marks a
// vector of that scalar (string vectors are 30). Codes 0, 16, 29 and 31 are
// never registered, and there are no vectors of blocks or of ZU values.
//
// What stays true: descriptors are constant once init_element_types() has
// run (it runs once, before any matrix is opened); the table is read without
// a lock afterwards. Element operations take no locks, except that ZU-value
// elements link into the held-value ring (elements/held.h). Functions that
// make or read ZU values expect the caller to hold the memory lock.
//
// Data of each type (in memory, host byte order):
//   bit             one byte, 0 or 1
//   int8 .. uint64  two's-complement or unsigned integers of 1, 2, 4, 8 bytes
//   float, double   IEEE single and double
//   rgb8            one 32-bit word R<<24 | G<<16 | B<<8 | x
//   string          the zero-terminated UTF-8 text itself
//   block           a MATRIX_ALLOC_BLOCK_PARAM record (elements/value.h)
//   sexp            the address of a MATRIX_SEXP record (elements/held.h)
//   vectors         MATRIX_DATA_HEADER, extents, filler, elements
#pragma once

#include <cstddef>
#include <cstdint>

struct ZU_SEXP;
struct RECORD_LIST64;
struct MX_CACHE;             // an element-access cache; only its pool is used here (elements/pool.h)
struct MATRIX_GEOMETRY;      // node geometry of a matrix (elements/geometry.h)
struct MATRIX_STRING_BUFFER; // text built from pieces (elements/print.h)

// ---- type codes
constexpr int MX_TYPE_BIT = 1;
constexpr int MX_TYPE_INT8 = 2;
constexpr int MX_TYPE_INT16 = 3;
constexpr int MX_TYPE_INT32 = 4;
constexpr int MX_TYPE_INT64 = 5;
constexpr int MX_TYPE_UINT8 = 6;
constexpr int MX_TYPE_UINT16 = 7;
constexpr int MX_TYPE_UINT32 = 8;
constexpr int MX_TYPE_UINT64 = 9;
constexpr int MX_TYPE_FLOAT = 10;
constexpr int MX_TYPE_DOUBLE = 11;
constexpr int MX_TYPE_RGB = 12;
constexpr int MX_TYPE_BLOCK = 13;
constexpr int MX_TYPE_STRING = 14;
constexpr int MX_TYPE_SEXP = 15;
constexpr int MX_TYPE_VECTOR = 16;  // added to a scalar code
constexpr int MX_TYPE_STRING_V = MX_TYPE_STRING + MX_TYPE_VECTOR;
constexpr int MX_TYPE_TABLE_SIZE = 32;

inline bool mx_is_vector_code(int code) { return (code & MX_TYPE_VECTOR) != 0; }
inline int mx_scalar_code(int code) { return code & 15; }

// ---- allocation kinds
// The kind of storage an element value is made in. A distinct type, so that
// alloc_data(tp, atype, d, ...) and alloc_copy(tp, d, atype, ...), which
// take kind and datum in opposite orders, do not compile with them swapped.
enum class MX_ATYPE : int {
  heap = 1,       // process heap (malloc/free)
  collector = 2,  // collector heap, kept by its marking function
  tagged = 3,     // tagged allocator under the caller's file and line
  cache = 4,      // node memory of an element-access cache (elements/pool.h)
};
// Blocks only: the new block record adopts the given data instead of
// copying it (the record then borrows the data and never frees it).
constexpr int MX_ATYPE_ADOPT = 0x10;
inline MX_ATYPE operator|(MX_ATYPE a, int flag) { return static_cast<MX_ATYPE>(static_cast<int>(a) | flag); }
inline MX_ATYPE mx_atype_kind(MX_ATYPE a) { return static_cast<MX_ATYPE>(static_cast<int>(a) & 15); }
inline bool mx_atype_adopts(MX_ATYPE a) { return (static_cast<int>(a) & MX_ATYPE_ADOPT) != 0; }

// ---- the descriptor
struct MATRIX_DATA_TYPE {
  int type;                      // type code
  const char* type_name;         // registered name, unique
  MATRIX_DATA_TYPE* parent;      // a vector's element type; null for scalars

  // Bytes of the value d (a block: its data length; null d: the element
  // size of a fixed-size scalar, 0 for a string).
  int64_t (*get_size)(const MATRIX_DATA_TYPE* tp, const void* d);
  // ZU value to element data; null when refused. *cpy (when given) is set
  // to 1 for a new tagged result the caller frees with free_data, 0 for
  // data borrowed from s.
  void* (*sexp2md)(int* cpy, const MATRIX_DATA_TYPE* tp, ZU_SEXP* s);
  // Element data to a ZU value; blocks and vectors become pointer values to
  // a collector copy that keeps itself alive.
  ZU_SEXP* (*md2sexp)(const MATRIX_DATA_TYPE* tp, const void* d);
  // Total order: -1, 0 or 1.
  int (*cmp)(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2);
  // Overwrites datum d1 with d2: 0, or -1 (nothing changed) when d1 cannot
  // take d2 (another size; string vectors another shape).
  int (*copy)(const MATRIX_DATA_TYPE* tp, void* d1, const void* d2, MX_ATYPE atype, MX_CACHE* at_work);
  // A new copy of d of kind atype; null for null d or a refusal.
  void* (*alloc_copy)(const MATRIX_DATA_TYPE* tp, const void* d, MX_ATYPE atype, MX_CACHE* at_work,
                      const char* file, int line);
  // New storage of kind atype made from d (vectors: d is a
  // MATRIX_ALLOC_VECTOR_PARAM; sexp: d is the ZU value to hold).
  void* (*alloc_data)(const MATRIX_DATA_TYPE* tp, MX_ATYPE atype, const void* d, MX_CACHE* w, const char* file,
                      int line);
  // Releases a value made in the tagged allocator (blocks and string
  // vectors release their parts by the kind recorded with them).
  void (*free_data)(const MATRIX_DATA_TYPE* tp, void* d);
  // Thinning and level differences (filled by the pyramid kernels).
  int (*thinned_rep)(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code,
                     const int32_t* rep, int parent, void* dest, const void* src);
  int (*thinned_avg)(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent,
                     void* dest, const void* src);
  int (*v_add)(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, int a,
               void* dest, const void* src1, const void* src2);
  int (*v_sub)(const MATRIX_DATA_TYPE* tp, const MATRIX_GEOMETRY* m, const int64_t* dim_code, int parent, int a,
               void* dest, const void* src1, const void* src2);
  // In place, host to stored byte order and back.
  void (*endian_to_net)(void* d);
  void (*endian_to_host)(void* d);
  // Appends the stored form of d to rlp: 0, or -1 when d is not a value of
  // the type. Pieces of blocks and string vectors are borrowed from d: the
  // list must be joined (setup_recordlist64) before d changes or is freed.
  int (*convert_to_net)(const MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, const void* d);
  // A new value of kind atype from `size` stored bytes at d; null when the
  // bytes are not a valid stored value of the type. d is never written.
  void* (*convert_to_host)(const MATRIX_DATA_TYPE* tp, const void* d, int64_t size, MX_ATYPE atype,
                           MX_CACHE* at_work, const char* file, int line);
  // Vector and matrix algebra of the numeric vector types (set by
  // fill_algebra_slots, elements/algebra.cc; null for the others).
  void* (*add_vv)(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c);
  void* (*sub_vv)(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c);
  void* (*mul_mm)(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c);
  void* (*mul_sv)(const MATRIX_DATA_TYPE* tp, const void* d1, const void* d2, MX_CACHE* c);
  void* (*trans_m)(const MATRIX_DATA_TYPE* tp, const void* d1, MX_CACHE* c);
  // The type's 0 and 1 (numeric scalars only).
  void (*get_zero)(const MATRIX_DATA_TYPE* tp, void* buf);
  void (*get_el)(const MATRIX_DATA_TYPE* tp, void* buf);
  // Appends the text of d to b, with fmt when it suits the value, else the
  // type's default format.
  void (*print_data)(const MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, const void* d, const char* fmt);
  void* max;  // always empty
};

// The 28 descriptors.
extern MATRIX_DATA_TYPE mx_type_bit, mx_type_bit_v, mx_type_int8, mx_type_int8_v, mx_type_uint8, mx_type_uint8_v,
    mx_type_int16, mx_type_int16_v, mx_type_uint16, mx_type_uint16_v, mx_type_int32, mx_type_int32_v,
    mx_type_uint32, mx_type_uint32_v, mx_type_int64, mx_type_int64_v, mx_type_uint64, mx_type_uint64_v,
    mx_type_float, mx_type_float_v, mx_type_double, mx_type_double_v, mx_type_block, mx_type_string,
    mx_type_string_v, mx_type_sexp, mx_type_RGB, mx_type_RGB_v;

// ---- the table
// Indexed by code; filled by insert_matrix_type_table.
extern MATRIX_DATA_TYPE* mtx_type_tbl[MX_TYPE_TABLE_SIZE];
// Stores tp at the index of its own code (ignored outside 0..31).
void insert_matrix_type_table(MATRIX_DATA_TYPE* tp);
// The registered descriptor of code; null outside 0..31 or unregistered.
MATRIX_DATA_TYPE* get_matrix_data_type(int code);
// The first registered descriptor, by ascending code, whose name equals
// `name`; null when none (callers report "invalid type(type)").
MATRIX_DATA_TYPE* search_matrix_data_type(const char* name);
// Registers the 28 types in table order, fills their slots and builds the
// brightness-curve tables. Runs once; later calls return at once.
void init_element_types();
