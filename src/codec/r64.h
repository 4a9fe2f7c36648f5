// R64 raster files: one image with its pyramid of coarser levels, each level
// stored in blocks of 64 x 64 pixels, read and written pixel by pixel
// through a write-back cache of 319 blocks. Every multi-byte field is
// big-endian on disk:
//   0 "R64", 3 type ('G' grey 1 byte, 'P' colour 3 bytes red green blue,
//   'B' bilevel 1 bit, leftmost pixel in the high bit), 4 width s16,
//   6 height s16, 8 level 0, then level 1, and so on.
// Level i + 1 halves level i's sides rounding up and starts w * h * k bytes
// after it (k = 3 for 'P', else 1). The levels stop before the first whose
// halved side would be below 2. Inside a level, bands of 64 rows follow one
// another; a band holds its 64-column blocks one after another; a block
// holds its rows packed without gaps.
//
// Positions outside a level are answered by the file's rule: its
// background, or the nearest pixel of the level (the default).
//
// A file record and r64_error are for one thread at a time. Failures
// return -1 (or null) with the code in r64_error (codec/raster_error.h).
#pragma once

#include <cstdint>

#include "codec/raster_error.h"

inline constexpr int kR64Levels = 32;
inline constexpr int kR64CacheEntries = 320;  // entry 0 heads the ring
inline constexpr int kR64HeaderSize = 8;
inline constexpr int kR64Block = 64;

// The number of cache slots (320), set by r64_init.
extern int ent_len;

struct R64_HEADER {
  char preamble[3];  // "R64"
  char type;         // 'G', 'P' or 'B'
  int16_t width;
  int16_t height;
};

struct R64_CACHE_ENT {
  R64_CACHE_ENT* next;
  R64_CACHE_ENT* prev;
  uint8_t flags;  // bit 0: dirty
  uint8_t* buf;   // a full block: 12288 bytes for 'P', 4096 for 'G', 512 for 'B'
  int32_t w_ofs;  // block origin, multiples of 64
  int32_t h_ofs;
  uint8_t w_len;  // 1..64
  uint8_t h_len;
  uint8_t level;
};

struct R64_FILE {
  int fd;
  int fctl;  // non-zero when writing is allowed
  R64_HEADER header;
  R64_CACHE_ENT* free_list;
  R64_CACHE_ENT cache[kR64CacheEntries];  // cache[0]: head of the ring, most recent first
  uint64_t level_ofs[kR64Levels];         // level starts, 0 for an absent level
  int32_t level_w[kR64Levels];
  int32_t level_h[kR64Levels];
  uint8_t background[3];
  int rc_type;  // out-of-image reads: 0 background, 1 nearest pixel
  // The cache slot of each block, by level, block row and block column
  // (-1 when not cached), so that finding a block never scans the ring.
  int16_t* slot_of;
  int32_t level_first_block[kR64Levels];
  uint8_t* buffers;   // the slots' block buffers, one allocation
  uint64_t file_end;  // the file's length as far as this record knows
};

void r64_init();
// Opens an R64 file. An empty file opened with write access gets a new
// header (filetype, width, height: sides 1..32767). Null with r64_error
// -1 (system error), -3 (memory), -4 (short or missing header), -5 (bad
// magic, type or sides). Without write access or a valid new header,
// O_TRUNC is refused (-5) before the file is touched and O_CREAT makes no
// file.
R64_FILE* r64_open_file(const char* filename, int ctl, int mode, char filetype, int width, int height);
// Writes back the dirty blocks, closes and frees. 0, or -1 (r64_error -1)
// when a block could not be written or the close failed; the record is
// freed either way.
int r64_close_file(R64_FILE* f);
// Writes back every dirty block; 0 or -1.
int r64_flush(R64_FILE* f);
// Command 0: the out-of-image rule, the int value points to (0 background,
// 1 nearest pixel); command 1: the background, from the bytes value points
// to (1 for 'G' and 'B', where non-zero is set, 3 for 'P'). 0, or -1 with
// r64_error -8.
int r64_ctl(R64_FILE* f, int command, const void* value);
// 1 when level is 0..31, present, and the file (with the blocks waiting to
// be written) holds it whole; else 0.
int r64_check_level(R64_FILE* f, int level);
// Copies pixel (w, h) of level into buf: 1 byte for 'G', 3 for 'P', 0 or
// 255 for 'B'. Positions outside the level follow the file's rule.
int r64_red(void* buf, R64_FILE* f, int w, int h, int level);
// Stores the pixel from buf ('B': set when the first byte is non-zero).
// -1 with r64_error -7 outside the level, -9 for an absent level.
int r64_set(R64_FILE* f, int w, int h, int level, const void* buf);
// Brings the block holding (x, y) into the cache and hands out its buffer,
// sides and byte count; valid until the slot is reused. Outside the level:
// null data, r64_error 0, result 0.
int r64_plane(uint8_t** data, int* w, int* h, int* size, R64_FILE* f, int x, int y, int level);
