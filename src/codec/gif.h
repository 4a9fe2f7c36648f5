// GIF decoding into the in-memory image: 4 bytes per pixel (red, green,
// blue, alpha), rows top to bottom. The first image of the stream is the
// one decoded. No shared state: calls from several threads are safe.
#pragma once

#include <cstdint>

#include "codec/rgb4.h"

typedef RGB4 ColorMap[256];

// The colour map of a decoded image (alpha in `x`: 0 for the transparent
// index, else 255) and its size.
struct GIF_ENV {
  ColorMap cmap;
  int32_t width;
  int32_t height;
};

// A tagged block (base/alloc.h, freed with d_f_ree) of width * height
// pixels, or null: for a stream not starting with "GIF8", one that ends
// before any image descriptor, an image without pixels, one over
// kCodecMaxPixels, or one with more pixels than its code stream could fill
// (4,096 x 8 per byte of it), refused before anything is allocated. A damaged or truncated stream gives what was decoded
// before the damage; the rest of the pixels take colour-map entry 0.
// *ret_width, *ret_height and ge are written once an image descriptor has
// been read.
uint8_t* gif_uncompress(int32_t* ret_width, int32_t* ret_height, GIF_ENV* ge, const void* data, int32_t length);

// One GIF87a image of an in-memory image (4 bytes per pixel, the fourth
// ignored), its colours reduced to at most 256 by median cut. Returns a
// tagged block (freed with d_f_ree) and its length in *ret_length;
// ret_ge gets the palette (fourth bytes 255, unused entries black) and the
// size. Null with length 0 for sides outside 1..65535, more than
// kCodecMaxPixels pixels or a failed encoding. ge is not read. One
// encoding runs at a time (a module lock).
uint8_t* gif_compress(int32_t* ret_length, GIF_ENV* ret_ge, GIF_ENV* ge, const void* data, int32_t width,
                      int32_t height);

// Reduces the image's colours to at most 256 boxes of a 16 x 16 x 16
// colour histogram, split at the median of their longest side: fills cmap
// (box i is entry i, at its centre; the rest black; fourth bytes 255) and,
// when pCode is not null, one index per pixel. iWorkID (0..4) names the
// histogram work area; reductions may run at once only with different
// ids. -1 after a reduction; 0, touching nothing, for null pData, an id
// outside 0..4 or an image without pixels.
int MedianCut(const void* pData, int iWidth, int iHeight, ColorMap cmap, uint8_t* pCode, int iWorkID);

inline int GetColorInt(uint8_t r, uint8_t g, uint8_t b) { return r + g * 256 + b * 65536; }
inline int GetColorRGB(RGB4 c) { return GetColorInt(c.r, c.g, c.b); }
