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
// before any image descriptor, an image without pixels, or one over
// kCodecMaxPixels. A damaged or truncated stream gives what was decoded
// before the damage; the rest of the pixels take colour-map entry 0.
// *ret_width, *ret_height and ge are written once an image descriptor has
// been read.
uint8_t* gif_uncompress(int32_t* ret_width, int32_t* ret_height, GIF_ENV* ge, const void* data, int32_t length);
