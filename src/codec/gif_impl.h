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
