// The stored form of element values: what node data, compressed blocks and
// peers carry. Every multi-byte number is big-endian.
//
//   bit, int8, uint8            1 byte
//   int16, uint16               2 bytes
//   int32, uint32, rgb8, float  4 bytes
//   int64, uint64, double       8 bytes
//   string                      UTF-8 text and its 0 byte
//   block                       the data bytes; their count travels outside
//   sexp                        none (a ZU value exists in memory only)
//   numeric and rgb8 vectors    [h (signed byte)] [type] [dim BE16]
//                               [extents BE32 x dim] [zero filler to h]
//                               [elements, first dimension fastest]
//   bit_v                       the same header, then ceil(n / 8) bytes
//   string_v                    [BE32 30 * 65536 + dim] [extents BE32]
//                               [each text + 0; an absent text one 0 byte]
//
// Writers use the header rule of elements/value.h for h; readers accept
// 4 + 4 * dim <= h <= min(127, size) and check every length against the
// bytes given: bad bytes give a null result, never a read past them.
// Conversions swap only on a little-endian host (endian_flag).
#pragma once

#include <cstdint>

#include "elements/element_type.h"

struct CHAIN_LIST64;

// In place, both directions.
void mxt_endian_nothing(void* d);
void mxt_endian_int16(void* d);
void mxt_endian_int32(void* d);
void mxt_endian_float(void* d);
void mxt_endian_int64(void* d);
void mxt_endian_double(void* d);
// In place on a trusted vector: elements first, then extents and dim
// (to_net); dim and extents first, then elements (to_host).
void mxt_endian_vector_to_net(void* v);
void mxt_endian_vector_to_host(void* v);
// Bit vectors: dim and extents only.
void mxt_endian_bitv_to_net(void* v);
void mxt_endian_bitv_to_host(void* v);

// convert_to_net / convert_to_host slots.
int mxt_convert_basic_to_net(const MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, const void* d);
void* mxt_convert_basic_to_host(const MATRIX_DATA_TYPE* tp, const void* d, int64_t size, MX_ATYPE atype,
                                MX_CACHE* at_work, const char* file, int line);
// The piece is borrowed from the block record's data.
int mxt_convert_block_to_net(const MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, const void* d);
// With MX_ATYPE_ADOPT in atype the record borrows d itself.
void* mxt_convert_block_to_host(const MATRIX_DATA_TYPE* tp, const void* d, int64_t size, MX_ATYPE atype,
                                MX_CACHE* at_work, const char* file, int line);
// The texts are pieces borrowed from the vector.
int mxt_convert_stringv_to_net(const MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, const void* d);
void* mxt_convert_stringv_to_host(const MATRIX_DATA_TYPE* tp, const void* d, int64_t size, MX_ATYPE atype,
                                  MX_CACHE* at_work, const char* file, int line);

// The stored form of a numeric, rgb8 or bit vector made into the caller's
// bytes, for a writer that keeps one buffer for every node it writes: the
// size of that form (what convert_to_net appends), or -1 when tp's stored
// form is not made this way (another kind of type) or d is not a vector of
// tp. mxt_vector_to_net_into fills the size bytes at out (0, or -1 as
// above).
int64_t mxt_vector_net_size(const MATRIX_DATA_TYPE* tp, const void* d);
int mxt_vector_to_net_into(const MATRIX_DATA_TYPE* tp, const void* d, uint8_t* out);

// Byte size of the stored vector at ptr, reading at most `avail` bytes;
// -1 when it is not a valid stored vector header (or string vector) there.
int64_t get_size_endian(const void* ptr, int64_t avail);

// Inserts, right after piece ptr of rl (null: at the front), the compressed
// code of the total length of the pieces that follow it. 0, or -1 when the
// list is not joinable.
int set_recordlist_code(RECORD_LIST64* rl, CHAIN_LIST64* ptr);
