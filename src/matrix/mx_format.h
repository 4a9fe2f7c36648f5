// The byte forms of the matrix file: a record file of file type 31 holding
// the eight matrix records (types 0x600 .. 0x607) and one node tree of key
// type 0x401 whose keys are MX_DIM_CODE.
//
// Every multi-byte field is big-endian. Compressed integers
// (elements/compressed_code.h) and compressed dim codes are byte strings,
// never swapped. A compressed dim code is its 1 + dim values, level first,
// followed by the byte 0xF1; 0xF2 fills child lists. A record in memory is
// the 16-byte PN64_HEADER (type and size big-endian, size counting the
// header) followed by the body; encoders here write whole records, decoders
// read bodies.
//
// Each record kind below gives its body as a byte table: the offset from
// the body's first byte, the size in bytes, the field. The header before
// it, as the encoders write it (on disk the record store keeps its own
// physical header in its place, store/pdb64.h):
//   offset  size  field
//   0       2     type (0x600 .. 0x607)
//   2       6     fill, zero, never stored
//   8       8     size: 16 + the body's length
//
// Readers take the bytes they may read and never read past them: a value
// cut off, a dim code without its 0xF1, a first byte 0xF1..0xFF, arrays or
// a channel table that overrun, a dim code whose level or coordinates the
// matrix cannot have, or a record of the wrong size give a negative result.
// Encoders write into the caller's span and return the record's size, or
// -1 when the span is too small; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "elements/compressed_code.h"
#include "elements/geometry.h"
#include "matrix/matrix.h"
#include "store/pdb64.h"

constexpr int32_t kMxFileType = 31;
constexpr uint16_t kMxHeaderType = 0x600;
constexpr uint16_t kMxSubheaderType = 0x601;
constexpr uint16_t kMxData1Type = 0x602;
constexpr uint16_t kMxData2Type = 0x603;
constexpr uint16_t kMxCalType = 0x604;
constexpr uint16_t kMxDimAddrType = 0x605;
constexpr uint16_t kMxNodeType = 0x606;
constexpr uint16_t kMxCacheRingType = 0x607;
constexpr int kMxDimCodeKeyType = 0x401;

constexpr uint8_t kMxDimCodeEnd = 0xF1;
constexpr uint8_t kMxListFill = 0xF2;
constexpr int kMxMinFilledBody = 8;  // default-datum and child-list bodies
constexpr int kMxChannelInfoBytes = 12;
constexpr int kMxSubheaderBody = 896;
constexpr int kMxCacheRingBody = 24;
constexpr int kMxModes = 3;          // script sets of the subheader
// Bytes of the longest compressed dim code of `dim` dimensions.
constexpr int mx_dim_code_max_bytes(int dim) { return kCompressedCodeMax * (dim + 1) + 1; }
constexpr int kMxDimCodeMaxBytes = mx_dim_code_max_bytes(kMxMaxDim);

// ---------------------------------------------------------------------------
// Compressed dim codes

// Writes the 1 + dim values of dc and 0xF1 at ptr (room for
// mx_dim_code_max_bytes(dim)); returns the end.
uint8_t* get_compressed_dim_code(uint8_t* ptr, const int64_t* dc, int dim);
// Reads a code at ptr, up to its 0xF1, storing at most max_values values
// in dc (null: only skips; max_values < 0: no limit). The position after
// the 0xF1, or null for a malformed code, one of more than max_values
// values, or one that does not end before `end`.
const uint8_t* get_uncompressed_dim_code(int64_t* dc, int max_values, const uint8_t* ptr, const uint8_t* end);
// The number of values before the 0xF1 minus 1 (the number of
// dimensions); -1 for a malformed code or one without a value.
int get_dim_code_dimension(const uint8_t* ptr, const uint8_t* end);
// Reads a code of exactly g->dim dimensions that names a node g can have
// (level 0 .. total_levels - 1, coordinates >= 0). As
// get_uncompressed_dim_code.
const uint8_t* mx_read_dim_code(const MATRIX_GEOMETRY* g, int64_t* dc, const uint8_t* ptr, const uint8_t* end);

// ---------------------------------------------------------------------------
// The node tree's key: the 0x606 offset, then the compressed dim code.
// In memory fofs is in host order; the tree's byte-order function swaps it.
//   offset  size    field
//   0       8       fofs: the node's 0x606 record
//   8       varies  the node's compressed dim code, ending 0xF1
struct MX_DIM_CODE {
  int64_t fofs;
  uint8_t code[kMxDimCodeMaxBytes];  // only the code's own bytes are stored
};

// Fills k and returns the key's length (8 + the code's).
int mx_dim_code_key(MX_DIM_CODE* k, int64_t fofs, const int64_t* dc, int dim);
// Byte-order function of the node tree (FAVT64_ENDIAN_FUNC): swaps the
// 8-byte fofs of a key of len bytes; shorter keys are left alone.
void mx_dim_code_endian(void* data, int64_t len);
// 0 when the len bytes at key are one key of g: 8 bytes of offset and a
// code that mx_read_dim_code accepts, ending exactly at len. -1 otherwise.
// A key read from a file passes this before the tree compares it.
int mx_dim_code_key_check(const MATRIX_GEOMETRY* g, const void* key, int64_t len);
// The node tree's order (a FAVT64_CMP with w the MATRIX): by level, then
// by the node origin in each dimension; codes inside one node are the same
// key. 1 when a is greater than b. Keys are read no further than the
// longest code of the matrix's dim; a key that is not a code of the matrix
// (other dim, level out of range, malformed) gives 2, which the tree
// reports as a bad comparison.
int mx_dim_code_cmp(void* a, void* b, void* m);

// ---------------------------------------------------------------------------
// 0x600: the matrix header. d = dim, c = channel_nos, and P = 32 + 2d + the
// bytes of the pixel sizes; the channel table ends the body.
//   offset   size    field
//   0        4       channel_nos (1 .. 65535)
//   4        4       dim (1 .. 64)
//   8        4       flags (MATRIX_PARAM flags)
//   12       4       total_levels (0: derived)
//   16       8       modify_time
//   24       8       subheader_fofs
//   32       d       dim_divide, a byte per dimension
//   32 + d   d       block_size, a byte per dimension
//   32 + 2d  varies  pixel_size, a compressed integer per dimension
//   P        12c     the channel table: channel i at P + 12i, as below
// An entry of the channel table:
//   0        2       data_type (element type code, 0: none)
//   2        2       flags (channel flags)
//   4        8       default_data_fofs (its 0x602 record, 0: none)

// One channel of the header's table (host order); 12 bytes stored.
struct _PN64_MX_CHANNEL_INFO {
  int16_t data_type;          // element type code, 0: none
  int16_t flags;              // channel flags
  int64_t default_data_fofs;  // its 0x602 record, 0: none
};

// The header's body, decoded (host order).
struct PN64_MX_HEADER {
  int32_t channel_nos;
  int32_t dim;
  int32_t flags;              // MATRIX_PARAM flags
  int32_t total_levels;       // the parameter (0: derived)
  int64_t modify_time;
  int64_t subheader_fofs;
  uint8_t dim_divide[kMxMaxDim];
  uint8_t block_size[kMxMaxDim];
  int64_t pixel_size[kMxMaxDim];
  const uint8_t* channel_table;  // decoded: channel_nos entries in the body
};

// Record size of a header of h's dim and channel_nos; -1 outside the limits.
int64_t mx_header_size(const PN64_MX_HEADER* h);
// Writes the record; ch holds h->channel_nos entries. A channel whose type
// is 0 is written as 12 zero bytes.
int64_t mx_header_encode(std::span<uint8_t> out, const PN64_MX_HEADER* h, const _PN64_MX_CHANNEL_INFO* ch);
// Decodes a body: dim 1..64, channel_nos 1..65535, the matrix limits, and
// the arrays, sizes and channel table exactly filling the body. 0 or -1.
int mx_header_decode(std::span<const uint8_t> body, PN64_MX_HEADER* h);
// Entry ch of a decoded header's table.
_PN64_MX_CHANNEL_INFO mx_header_channel(const PN64_MX_HEADER* h, int ch);
// The channel description a table entry gives: a type code that names no
// registered type leaves the channel without a type. No default datum.
MATRIX_CHANNEL_INFO mx_channel_info_of(const _PN64_MX_CHANNEL_INFO& c);
// The table entry of a channel description.
_PN64_MX_CHANNEL_INFO mx_channel_entry_of(const MATRIX_CHANNEL_INFO& inf);

// ---------------------------------------------------------------------------
// 0x601: the subheader (a fixed record; this struct is its memory form).
// Script slots are kMxScriptSlots (24) per mode, kMxModes (3) modes.
//   offset  size  field
//   0       288   mode_pri_area: 4 bytes per slot, mode m's slot s at
//                 4 * (24m + s)
//   288     576   mode_cal_fofs: 8 bytes per slot (its 0x604 record, 0:
//                 none), mode m's slot s at 288 + 8 * (24m + s)
//   864     8     node_root
//   872     8     cache_next
//   880     8     cache_prev
//   888     4     cache_count
//   892     4     flags
struct PN64_MX_SUBHEADER {
  PN64_HEADER h;
  int32_t mode_pri_area[kMxModes][kMxScriptSlots];
  int64_t mode_cal_fofs[kMxModes][kMxScriptSlots];  // 0x604 records, 0: none
  int64_t node_root;     // the node tree's root record
  int64_t cache_next;    // newest ring entry; the subheader itself when empty
  int64_t cache_prev;    // oldest ring entry; the subheader itself when empty
  int32_t cache_count;
  int32_t flags;         // kMxOpenMark while a process has the file open
};
static_assert(sizeof(PN64_MX_SUBHEADER) == 16 + kMxSubheaderBody);
// The struct is the record's memory image: its fields stand where the
// byte table says.
static_assert(offsetof(PN64_MX_SUBHEADER, mode_cal_fofs) == 16 + 288);
static_assert(offsetof(PN64_MX_SUBHEADER, node_root) == 16 + 864);
static_assert(offsetof(PN64_MX_SUBHEADER, cache_count) == 16 + 888);
static_assert(offsetof(PN64_MX_SUBHEADER, flags) == 16 + 892);
constexpr int32_t kMxOpenMark = 1;

// In place between host and stored order, both directions (the header too).
void change_endian_mx_subheader(PN64_MX_SUBHEADER* s);
int64_t mx_subheader_encode(std::span<uint8_t> out, const PN64_MX_SUBHEADER* s);
// s->h is set to the record's type and size (host order). 0 or -1.
int mx_subheader_decode(std::span<const uint8_t> body, PN64_MX_SUBHEADER* s);

// ---------------------------------------------------------------------------
// 0x607: an entry of the stored-node ring (this struct is its memory form)
//   offset  size  field
//   0       8     node
//   8       8     next
//   16      8     prev
struct PN64_MX_CACHE_RING {
  PN64_HEADER h;
  int64_t node;  // its 0x606 record
  int64_t next;  // next older entry; the subheader for the oldest
  int64_t prev;  // next newer entry; the subheader for the newest
};
static_assert(sizeof(PN64_MX_CACHE_RING) == 16 + kMxCacheRingBody);
static_assert(offsetof(PN64_MX_CACHE_RING, next) == 16 + 8);
static_assert(offsetof(PN64_MX_CACHE_RING, prev) == 16 + 16);

void change_endian_mx_cache_ring(PN64_MX_CACHE_RING* r);
int64_t mx_cache_ring_encode(std::span<uint8_t> out, const PN64_MX_CACHE_RING* r);
int mx_cache_ring_decode(std::span<const uint8_t> body, PN64_MX_CACHE_RING* r);

// ---------------------------------------------------------------------------
// 0x602: a channel's default datum in its stored form, filled to 8 bytes.
// A vector channel's default is one element, stored by the scalar parent.
//   offset  size    field
//   0       n       the datum's stored form (mx_data_1_datum_size gives n)
//   n       8 - n   zero bytes, when n is below 8

// Writes the record around the stored datum (filler bytes are zero).
int64_t mx_data_1_encode(std::span<uint8_t> out, std::span<const uint8_t> datum);
// The bytes of body that hold the default of a channel of type tp (the
// element size of fixed-size scalars, a text with its 0 byte, a whole
// block); -1 when the body cannot hold one, or tp has no stored form.
int64_t mx_data_1_datum_size(const MATRIX_DATA_TYPE* tp, std::span<const uint8_t> body);

// ---------------------------------------------------------------------------
// 0x603: one channel's data of one node, chained per node
//   offset  size    field
//   0       8       next_fofs
//   8       4       id
//   12      varies  the stored datum, to the body's end
struct PN64_MX_DATA_2 {
  int64_t next_fofs;              // next channel's record, 0 at the end
  int32_t id;                     // channel number
  std::span<const uint8_t> data;  // decoded: the stored datum in the body
};
constexpr int kMxData2Head = 12;

int64_t mx_data_2_encode(std::span<uint8_t> out, int64_t next_fofs, int32_t id, std::span<const uint8_t> data);
// 0, or -1 for a body shorter than 12 bytes or a negative id.
int mx_data_2_decode(std::span<const uint8_t> body, PN64_MX_DATA_2* d);

// ---------------------------------------------------------------------------
// 0x604: the UTF-8 text of one script, no terminator
//   offset  size    field
//   0       varies  the text, the whole body
int64_t mx_cal_encode(std::span<uint8_t> out, std::span<const uint8_t> utf8);

// ---------------------------------------------------------------------------
// 0x605: the child list of a node: compressed codes, 0xF2 up to 8 bytes
//   offset  size    field
//   0       varies  the children's compressed dim codes, each ending 0xF1
//   L       8 - L   0xF2 bytes, when the codes' L bytes are fewer than 8

// Record size for n codes of `code_bytes` compressed bytes in all.
int64_t mx_dim_addr_size(int64_t code_bytes);
// Writes the n child codes of dim dimensions.
int64_t mx_dim_addr_encode(std::span<uint8_t> out, const int64_t* const* codes, int n, int dim);
// Reads the next child at *pos of body into dc (a code of g): 1 a child
// read (*pos advanced), 0 the list ended (a 0xF2 or the end), -1 malformed.
int mx_dim_addr_next(const MATRIX_GEOMETRY* g, std::span<const uint8_t> body, size_t* pos, int64_t* dc);

// ---------------------------------------------------------------------------
// 0x606: one stored node. The body holds channel_fofs, then ring_fofs when
// the matrix has kMxCacheFile, then nlist_dim_addr when it keeps child
// lists (dim_bit_field 0), the compressed dim code, then dim_bit_field
// bytes of child bits when it keeps bit fields. Every variant is read into
// this full form. C = mx_node_code_offset (8, 16 or 24), b = dim_bit_field
// (0 with child lists).
//   offset  size    field
//   0       8       channel_fofs
//   8       8       ring_fofs, only with kMxCacheFile
//   C - 8   8       nlist_dim_addr, only with child lists
//   C       varies  the node's compressed dim code, ending 0xF1
//   end-b   b       the child bits, to the body's end
struct PN64_MX_NODE {
  int64_t channel_fofs;          // first 0x603, 0: none
  int64_t ring_fofs;             // its 0x607, 0 without the ring
  int64_t nlist_dim_addr;        // its 0x605, 0 with bit fields
  int64_t dim_code[1 + kMxMaxDim];
  const uint8_t* bit_field;      // decoded: dim_bit_field bytes in the body
};

// Where a node's dim code begins in the body: 8, 16 or 24.
int mx_node_code_offset(int param_flags, int dim_bit_field);
// Record size of a node of the matrix's kind; -1 for a bad code.
int64_t mx_node_size(int param_flags, int dim_bit_field, const int64_t* dc, int dim);
// Writes the node record; bit_field holds dim_bit_field bytes (null: zero).
int64_t mx_node_encode(std::span<uint8_t> out, int param_flags, int dim_bit_field, const PN64_MX_NODE* n,
                       int dim, const uint8_t* bit_field);
// Decodes a body of a matrix of geometry g with these flags and
// dim_bit_field; the code must be a node of g and the body must end with
// the bit field. 0 or -1.
int mx_node_decode(std::span<const uint8_t> body, const MATRIX_GEOMETRY* g, int param_flags, int dim_bit_field,
                   PN64_MX_NODE* n);
