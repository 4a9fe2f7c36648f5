// The block formats of matrix scripts as plain functions over bytes: the
// zlib block, the image block and the compound block, which matrix files
// keep inside block channels. The built-ins of block_ops.cc wrap them; the
// check tool, the fuzz targets and the benchmarks call them directly.
//
// Formats (every multi-byte number big-endian):
//   zlib block      one zlib stream of the payload: a type code (13 block,
//                   else the vector's code), then the block's bytes or the
//                   vector's stored form (elements/stored.h).
//   image block     'g'|'c' then 'n' (raw: width byte, height byte, then
//                   grey bytes or R G B triples, first dimension fastest) or
//                   'j' (a JPEG stream of the colour image; grey pixels have
//                   R = G = B). Raw when a side is below 20, else JPEG.
//   compound block  items to the end: type byte, the compressed length code
//                   of the data (elements/compressed_code.h), the data:
//                   14 UTF-8 text, 5 int64, 11 double, 13 block bytes, a
//                   vector code its stored form.
//
// What stays true: nothing here reads outside the bytes it is given. A
// block that is not in its format is refused with a reason (a short word,
// the last element of the operation's error data) and leaves nothing
// allocated. Inflated payloads stop at kCodecMaxInflate, images at
// kCodecMaxPixels and sides of 65500. Results of kind 2 (collector) need
// the memory lock; the other kinds may be made on any thread. No state.
#pragma once

#include <cstdint>

#include "elements/value.h"

struct RECORD_LIST64;
struct CHAIN_LIST64;

// ---- reasons of refusals
inline constexpr const char* kMxWhyLevel = "zlib-level";
inline constexpr const char* kMxWhyDeflate = "zlib-compress";
inline constexpr const char* kMxWhyInflate = "zlib-uncompress";
inline constexpr const char* kMxWhyEmpty = "empty-payload";
inline constexpr const char* kMxWhyPayloadType = "payload-type";
inline constexpr const char* kMxWhyStored = "stored-vector";
inline constexpr const char* kMxWhyLetters = "image-letters";
inline constexpr const char* kMxWhyShortRaw = "raw-block-short";
inline constexpr const char* kMxWhyJpegData = "jpeg-data";
inline constexpr const char* kMxWhyJpegEncode = "jpeg-compress";
inline constexpr const char* kMxWhyRawSide = "image-side-over-255";
inline constexpr const char* kMxWhyJpegSide = "image-side-over-65500";
inline constexpr const char* kMxWhyPixels = "image-too-large";
inline constexpr const char* kMxWhyItemType = "item-type";
inline constexpr const char* kMxWhyItemLength = "item-length";

// ---- zlib blocks
// The 'z' block of a payload already built (type byte first): the payload
// is checked (a block, or a vector code followed by a valid stored vector)
// and compressed at `level` (-1..9). A tagged buffer, or null with *why.
uint8_t* mx_zblock_encode_payload(int32_t* len, const uint8_t* payload, int32_t size, int level, const char** why);
// The 'z' block of a value of type tp (the block type or a vector type).
uint8_t* mx_zblock_encode(int32_t* len, const MATRIX_DATA_TYPE* tp, const void* value, int level, const char** why);
// The checked payload of a 'z' block: inflated (tagged), at least the type
// byte, whose code is 13 or a registered vector type's, and for a vector a
// stored vector filling the rest exactly.
uint8_t* mx_zblock_payload(int32_t* len, const void* block, int32_t size, const char** why);
// The value of a 'z' block, of kind atype: a block record (*tp the block
// type) or a vector.
void* mx_zblock_decode(const MATRIX_DATA_TYPE** tp, const void* block, int32_t size, MX_ATYPE atype,
                       const char** why);

// ---- image blocks
// The writers of the four forms, over a 2-dimensional uint8_v ('g') or
// rgb8_v ('c') vector: the block bytes (tagged) and their count, or null.
// The raw writers refuse a side above 255, the JPEG ones a side above
// 65500 or an image above kCodecMaxPixels; quality is held to 1..100.
uint8_t* mx_glay_compress_1(int32_t* len, const MATRIX_DH_SET* dh, int quality);  // 'g' 'n'
uint8_t* mx_glay_compress_2(int32_t* len, const MATRIX_DH_SET* dh, int quality);  // 'g' 'j'
uint8_t* mx_jpeg_compress_1(int32_t* len, const MATRIX_DH_SET* dh, int quality);  // 'c' 'n'
uint8_t* mx_jpeg_compress_2(int32_t* len, const MATRIX_DH_SET* dh, int quality);  // 'c' 'j'
// The readers, over the whole block (letters included): a new vector of
// kind atype, or null for bytes that are not the form.
void* mx_glay_uncompress_1(const uint8_t* block, int32_t size, MX_ATYPE atype);
void* mx_glay_uncompress_2(const uint8_t* block, int32_t size, MX_ATYPE atype);
void* mx_jpeg_uncompress_1(const uint8_t* block, int32_t size, MX_ATYPE atype);
void* mx_jpeg_uncompress_2(const uint8_t* block, int32_t size, MX_ATYPE atype);
// The image block of a 2-dimensional uint8_v or rgb8_v vector, its form
// chosen by the sides (the caller has checked type and dim).
uint8_t* mx_image_encode(int32_t* len, const MATRIX_DH_SET* dh, int quality, const char** why);
// The vector of an image block, by its two letters.
void* mx_image_decode(const void* block, int32_t size, MX_ATYPE atype, const char** why);

// ---- compound blocks
// Writing: mx_compound_open appends an item's type byte and returns the
// mark that mx_compound_close takes once the item's data pieces are
// appended; close inserts their length code. 0, or -1.
CHAIN_LIST64* mx_compound_open(RECORD_LIST64* rl, int type);
int mx_compound_close(RECORD_LIST64* rl, CHAIN_LIST64* mark);
// Appends one whole item: type 5 (value an int64_t), 11 (a double), 14 (a
// zero-terminated UTF-8 text, written without its zero), 13 (a block
// record) or a vector code (the vector). Pieces of blocks and vectors are
// borrowed: join the list before the value changes. 0, or -1.
int mx_compound_add(RECORD_LIST64* rl, int type, const void* value);

// Reading: one item of a compound block.
struct MX_COMPOUND_ITEM {
  int type;             // 5, 11, 13, 14 or a registered vector code
  const uint8_t* data;  // inside the block
  int32_t size;         // 8 for types 5 and 11
};
// The item at *p (before end): 1 with *p past it, 0 at the end, -1 (*why)
// for an item of an unknown type or whose length runs past the block.
int mx_compound_next(MX_COMPOUND_ITEM* item, const uint8_t** p, const uint8_t* end, const char** why);
// The block record (13) or vector of an item, of kind atype; null (*why)
// for a stored vector that does not read. Types 5, 11 and 14 are read by
// the caller from the bytes.
void* mx_compound_value(const MX_COMPOUND_ITEM* item, MX_ATYPE atype, const char** why);

// Debugging aid: writes msg and the sum of the size bytes at a as
// "%s %i\n" to the standard error. Nothing calls it.
void data_checksum(const char* msg, const void* a, int size);
