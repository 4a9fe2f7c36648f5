#include "codec/cr_block.h"

#include <cstdlib>
#include <iterator>

#include "codec/jpeg.h"

uint8_t* none_compress(int32_t* size, const uint8_t* src, int32_t w, int32_t h) {
  *size = 0;
  if (!src || w < 1 || h < 1 || w > 256 || h > 256) return nullptr;
  const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  auto* out = static_cast<uint8_t*>(std::malloc(2 + 3 * n));
  if (!out) return nullptr;
  out[0] = static_cast<uint8_t>(w - 1);
  out[1] = static_cast<uint8_t>(h - 1);
  uint8_t* d = out + 2;
  for (size_t i = 0; i < n; ++i, src += 4, d += 3) {
    d[0] = src[0];
    d[1] = src[1];
    d[2] = src[2];
  }
  *size = static_cast<int32_t>(2 + 3 * n);
  return out;
}

uint8_t* none_uncompress(int32_t* w, int32_t* h, const uint8_t* src, int32_t size) {
  if (!src || size < 2) return nullptr;
  const int32_t bw = src[0] + 1, bh = src[1] + 1;
  const size_t n = static_cast<size_t>(bw) * static_cast<size_t>(bh);
  if (static_cast<size_t>(size) < 2 + 3 * n) return nullptr;
  auto* out = static_cast<uint8_t*>(std::calloc(n, 4));
  if (!out) return nullptr;
  const uint8_t* s = src + 2;
  for (size_t i = 0; i < n; ++i, s += 3) {
    out[i * 4] = s[0];
    out[i * 4 + 1] = s[1];
    out[i * 4 + 2] = s[2];
  }
  *w = bw;
  *h = bh;
  return out;
}

uint8_t cr_cal(int32_t cc, int8_t cal) {
  int64_t v = int64_t{cc} + cal;
  if (v > 223)
    v = (32 * v - 7168) / 332 + 224;
  else if (v < 32)
    v = (32 * v - 1024) / 332 + 32;
  return static_cast<uint8_t>(v);
}

int32_t cr_inv_cal(uint8_t v, int8_t cal) {
  int32_t r = v;
  if (r > 223)
    r = (332 * r - 74368) / 32 + 224;
  else if (r < 32)
    r = (332 * r - 10624) / 32 + 32;
  return r - cal;
}

namespace {

uint8_t* jpeg80_compress(int32_t* size, const uint8_t* src, int32_t w, int32_t h) {
  return jpeg_compress(size, src, w, h, kCrJpegQuality);
}

uint8_t* jpeg_block_uncompress(int32_t* w, int32_t* h, const uint8_t* src, int32_t size) {
  return jpeg_uncompress_within(w, h, src, size, kCrMaxSide, kCrMaxSide);
}

const CR_CODEC kCrCodecs[] = {
    {'n', none_compress, none_uncompress},
    {'j', jpeg80_compress, jpeg_block_uncompress},
};

}  // namespace

const CR_CODEC* get_cr_codec(char type) {
  for (const CR_CODEC& c : kCrCodecs)
    if (c.type == type) return &c;
  return nullptr;
}
