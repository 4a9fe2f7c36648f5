// The GIF stream's records and the LZW decoder's state, shared by the
// decoder and the encoder of this folder. Folder-internal.
#pragma once

#include <cstddef>
#include <cstdint>

struct GIF_RGB {
  uint8_t r;
  uint8_t g;
  uint8_t b;
};

// The working palette: a local table overwrites the start of the global one.
struct TAB_COL {
  GIF_RGB col[256];
  int32_t nos;  // entries of the table read last
};

// Graphic control extension: packed bits 2-4 disposal, bit 1 user input,
// bit 0 transparent colour present.
struct GIF_GCE {
  uint8_t packed;
  uint16_t delay;
  uint8_t transpcolindex;
};

// Image descriptor in host order; pf bit 7 local table, bit 6 interlaced,
// bits 0-2 table size n (2^(n+1) entries).
struct GIF_IMAGE_DESK {
  uint16_t l;
  uint16_t t;
  uint16_t w;
  uint16_t h;
  uint8_t pf;
};

inline constexpr int kGifMaxCodes = 4096;

// Bytes of the stream still to be read; every read is checked against end.
struct GIF_READER {
  const uint8_t* pos;
  const uint8_t* end;
  int get_byte() { return pos < end ? *pos++ : -1; }
  size_t left() const { return static_cast<size_t>(end - pos); }
};

struct GIF_DECODE {
  int16_t curr_size;     // bits of the next code
  int16_t clear;         // the clear code
  int16_t ending;        // the end code
  int16_t newcodes;      // first code past the roots and the two specials
  int16_t top_slot;      // first code that needs a wider code
  int16_t slot;          // next free table entry
  int16_t navail_bytes;  // bytes left in the current sub-block
  int16_t nbits_left;    // unread bits of b1
  uint8_t b1;
  uint8_t byte_buff[257];
  const uint8_t* pbytes;
  GIF_READER* in;
  uint8_t stack[kGifMaxCodes];
  uint8_t suffix[kGifMaxCodes];
  uint16_t prefix[kGifMaxCodes];
};

// Where decoded lines go: rows in order, or the four interlace passes.
struct GIF_IMAGE_ITERATOR {
  uint8_t* row;
  uint8_t* image;
  int32_t width;
  int32_t height;
  int32_t rows_done;  // plain images
  bool interlaced;
  int32_t iypos;      // row of the next line
  int32_t istep;      // row step of the pass
  int32_t iheight;
  int32_t ipass;      // passes begun
};

// One code, or -1 when the data end (end of stream or a zero sub-block).
int gif_get_next_code(GIF_DECODE* d);
// Places one line of n <= width indices; -1 when the image has no row left.
int gif_out_line(GIF_IMAGE_ITERATOR* it, const uint8_t* line, int32_t n);
void gif_set_row(GIF_IMAGE_ITERATOR* it, const uint8_t* line, int32_t n);
// Decodes one image's data into it->image; 0 at the end code, -1 when the
// data stopped early or were bad.
int lzw_decode_func(GIF_DECODE* d, GIF_IMAGE_ITERATOR* it);

// ---- Encoding ----

// One slot of the encoder's string table: prefix code + character -> code.
struct code_entry {
  int prior_code;
  int code_id;  // 0: free slot
  uint8_t added_char;
};

inline constexpr int kGifHashSlots = 5003;  // a prime

// Writes header, screen descriptor with the global table color_map
// (2^bp entries, scaled to 8 bits from cr bits when normalize is set),
// image descriptor, the LZW data of bitmap (one index per pixel, rows in
// order) and trailer into the output of the running encoding (between
// init_gif_compress and close_gif_compress). 0, or the first failure: -3
// for a code size outside 1..9, -2 when memory runs out; then no trailer.
int __gif_compress(const uint8_t* bitmap, int width, int height, int cr, int interlaced, int bp, int normalize,
                   const GIF_RGB* color_map);
// Takes the module lock and starts an empty output; the lock is created
// on first use.
void init_gif_compress();
// Hands out the output (tagged, or null when empty) and its length, then
// resets the state and releases the lock.
uint8_t* close_gif_compress(size_t* length);

// ---- Colour reduction ----

// One box of colours: lowest value and extent per channel.
struct ColorTree;
struct RGBColorInfo {
  int r_pos, g_pos, b_pos;
  int r_size, g_size, b_size;
  int pixel_count;
  ColorTree* tree;  // the box's leaf in the split tree
};

// A node of the split tree: a leaf (type 0) with its palette index, or a
// split on red (1), green (2) or blue (3) at pos, lower values left.
struct ColorTree {
  int type;
  int pos;
  ColorTree* left;
  ColorTree* right;
  int pal_index;
};

// One histogram cell, the colours sharing the high nibbles of red, green
// and blue: the pixel count of each colour of the cell, indexed by the low
// nibbles (r << 8 | g << 4 | b), allocated with the cell's first pixel.
struct MedianCutInfo {
  uint32_t* col;
  uint32_t count;  // pixels in the cell
};

inline constexpr int kMedianWorkAreas = 5;
inline constexpr int kMedianCells = 16 * 16 * 16;
extern MedianCutInfo gif_histgram[kMedianWorkAreas][kMedianCells];

// The longest extent of the box, and its channel (1 red, 2 green, 3 blue;
// the first of equal ones).
int median_info_maxlen(const RGBColorInfo* box);
int median_info_maxtype(const RGBColorInfo* box);
// Pixels of the box per value of channel type (1..3) into weit[256]; the
// total.
int median_info_get_pixel_weit(const MedianCutInfo* area, const RGBColorInfo* box, int type, int weit[256]);
