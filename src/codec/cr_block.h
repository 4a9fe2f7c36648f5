// Blocks of CR raster files and their level shift. A block is coded raw
// ('n': byte 0 width - 1, byte 1 height - 1, then width * height RGB
// triples, rows top first) or as JPEG at quality 80 ('j'). Decoded blocks
// are 4-byte pixels (red, green, blue, 0). Buffers come from malloc and are
// released with free. No state.
#pragma once

#include <cstdint>

// The 'n' form of a w x h block of 4-byte pixels (sides 1..256; the fourth
// bytes are dropped); null for other sides.
uint8_t* none_compress(int32_t* size, const uint8_t* src, int32_t w, int32_t h);
// The pixels of an 'n' block; null when size is below 2 or the block is
// shorter than its sides say.
uint8_t* none_uncompress(int32_t* w, int32_t* h, const uint8_t* src, int32_t size);

// The stored byte of sample cc shifted by cal: exact for results 32..223,
// the tails squeezed by 32/332.
uint8_t cr_cal(int32_t cc, int8_t cal);
// The residual a stored byte means under shift cal (not clamped).
int32_t cr_inv_cal(uint8_t v, int8_t cal);

// One block codec, chosen by the type letter of a table entry.
struct CR_CODEC {
  char type;
  uint8_t* (*compress)(int32_t* size, const uint8_t* src, int32_t w, int32_t h);
  uint8_t* (*uncompress)(int32_t* w, int32_t* h, const uint8_t* src, int32_t size);
};

// The codec of type letter 'n' or 'j'; null for any other letter.
const CR_CODEC* get_cr_codec(char type);

inline constexpr int kCrJpegQuality = 80;
// The largest side of a block (a file's rect_size is 1..256).
inline constexpr int kCrMaxSide = 256;
