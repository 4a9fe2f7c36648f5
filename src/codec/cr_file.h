// CR raster files: an image as a residual pyramid of square blocks, read
// block by block through a cache of the blocks last read. Every multi-byte
// field is big-endian on disk:
//   0 "CR\0", 3 type (0), 4 width s16, 6 height s16, 8 rect_size u16,
//   10 dummy, 12 cr_tbl_nos u32, 16 the table: 12-byte entries (ofs u32,
//   type char, cal 3 x s8, size s32), then block data.
// Level 0 is the image; each next level halves the sides rounding up. The
// levels stop before the first whose halved side would be below 2; that
// last computed level has table entries but is absent.
//
// A CR_FILE and r64_error are for one thread at a time. Failures return a
// negative code that is also left in r64_error (codec/raster_error.h).
#pragma once

#include <cstdint>

#include "codec/raster_error.h"

inline constexpr int kCrLevels = 32;
inline constexpr int kCrCacheEntries = 320;  // entry 0 heads the ring
inline constexpr int kCrHeaderSize = 16;
inline constexpr int kCrTableEntrySize = 12;

struct CR_HEADER {
  char magic[3];
  uint8_t type;
  int16_t width;
  int16_t height;
  uint16_t rect_size;  // block side, 1..256
  uint16_t dummy;
  uint32_t cr_tbl_nos;
};

// A table entry in host order.
struct CR_TBL {
  uint32_t ofs;  // file offset of the block data, 0 when not written
  char type;     // 'j' or 'n'
  int8_t cal[3]; // level shift of red, green, blue
  int32_t size;  // bytes of block data
};

// A block as read: its data (malloc) with the entry's type, shift and size.
struct CR_MEM_TBL {
  uint8_t* buf;
  char type;
  int8_t cal[3];
  int32_t size;
};

// A block handed from parent to children while a file is written.
struct CR_BUFFER {
  int32_t w_ofs;
  int32_t h_ofs;
  int32_t w_len;
  int32_t h_len;
  uint8_t* buf;  // reconstructed 4-byte pixels, rows of w_len
};

struct CR_ENT {
  CR_ENT* next;
  CR_ENT* prev;
  CR_MEM_TBL b;
  int32_t w_ofs;  // block origin on its level
  int32_t h_ofs;
  uint16_t w_len;
  uint16_t h_len;
  uint8_t level;
};

struct CR_FILE {
  int fd;
  int fctl;  // non-zero when opened for writing
  CR_HEADER header;
  CR_ENT* free_list;
  CR_ENT cache[kCrCacheEntries];  // cache[0]: head of the ring, most recent first
  int32_t level_entry[kCrLevels];  // first table index, -1 when absent
  int32_t level_w[kCrLevels];
  int32_t level_h[kCrLevels];
  uint32_t write_ofs;  // where the next block data go
};

// Opens a CR file. An empty file opened with write access gets a new
// header for width x height in blocks of rect_size and a zeroed table.
// Null with r64_error -1 (system error), -3 (memory), -4 (short header or
// a table longer than the file), -5 (bad magic or sizes).
CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width, int height);
// Closes the file and frees the record and its cache; the close's result.
int cr_close_file(CR_FILE* f);
// 1 when level is 0..31 and present, else 0.
int cr_check_level(const CR_FILE* f, int level);
// File offset of the table entry of the block holding (x, y) on level, or
// -1 for an absent level or a position outside it.
int64_t get_tbl_ofs(const CR_FILE* f, int x, int y, int level);
// Fills b with a copy of the block holding (x, y) on level. 0, or -1
// (system error), -4 (entry unusable: unwritten, empty, or pointing past
// the end of the file), -7 (position outside the level), -9 (level absent).
int cr_read(CR_MEM_TBL* b, CR_FILE* f, int x, int y, int level);
void free_cr_mem_tbl(CR_MEM_TBL* b);

struct R64_FILE;
// Writes the image of an R64 file as a new CR file (created, or truncated,
// with mode), rect_size a side: every block of the highest level the R64
// file holds whole is coded as it is, the blocks below it as residuals
// against the decoded block above, each shifted per channel by
// cal = 128 - (max + min) / 2 and coded as JPEG when both sides are at
// least 16, else raw. 0, or -1 with r64_error: -5 for a rect_size outside
// 1..256, -2 when the R64 file holds no level, -1 when a pixel cannot be
// read, a block cannot be coded or written, or the data would pass 4 GiB.
// The file written so far stays.
int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64);
