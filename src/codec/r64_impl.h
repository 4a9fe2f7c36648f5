// Block access of R64 files for the level builders: the cache entry of a
// block, so that a whole block can be worked on without a call per pixel.
// Folder-internal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/r64.h"

// Bytes a pixel takes in a block buffer: 3 for 'P', else 1 ('B' packs 8
// pixels into a byte).
inline int r64_pixel_bytes(const R64_FILE* f) { return f->header.type == 'P' ? 3 : 1; }

// 1 when level is 0..31 and present in the level table.
inline bool r64_level_present(const R64_FILE* f, int level) {
  return level >= 0 && level < kR64Levels && f->level_ofs[level] != 0;
}

// The cached block holding (x, y), which must lie inside the present level,
// read or filled as needed and moved to the front of the ring; null with
// r64_error set when it cannot be had. The entry stays valid until the
// next block is asked for.
R64_CACHE_ENT* r64_block(R64_FILE* f, int x, int y, int level);

// Pixel (x, y) of a cached block into out (3 bytes 'P', 1 'G', 0 or 255
// 'B'), and back.
inline void r64_get_pixel(const R64_FILE* f, const R64_CACHE_ENT* e, int x, int y, uint8_t* out) {
  const size_t row = static_cast<size_t>(y - e->h_ofs), col = static_cast<size_t>(x - e->w_ofs);
  if (f->header.type == 'P') {
    const uint8_t* p = e->buf + (row * e->w_len + col) * 3;
    out[0] = p[0], out[1] = p[1], out[2] = p[2];
  } else if (f->header.type == 'G') {
    out[0] = e->buf[row * e->w_len + col];
  } else {
    out[0] = (e->buf[row * ((e->w_len + 7u) / 8u) + col / 8] >> (7 - col % 8)) & 1 ? 255 : 0;
  }
}

inline void r64_put_pixel(const R64_FILE* f, R64_CACHE_ENT* e, int x, int y, const uint8_t* in) {
  const size_t row = static_cast<size_t>(y - e->h_ofs), col = static_cast<size_t>(x - e->w_ofs);
  if (f->header.type == 'P') {
    uint8_t* p = e->buf + (row * e->w_len + col) * 3;
    p[0] = in[0], p[1] = in[1], p[2] = in[2];
  } else if (f->header.type == 'G') {
    e->buf[row * e->w_len + col] = in[0];
  } else {
    uint8_t& p = e->buf[row * ((e->w_len + 7u) / 8u) + col / 8];
    const auto bit = static_cast<uint8_t>(0x80 >> (col % 8));
    p = static_cast<uint8_t>(in[0] ? p | bit : p & ~bit);
  }
  e->flags |= 1;
}
