// Image blocks: grey (uint8_v) and colour (rgb8_v) images of two
// dimensions, raw below 20 pixels a side, JPEG from there on. An rgb8
// element is the word R<<24 | G<<16 | B<<8 | x; raw blocks keep R, G, B.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "codec/jpeg.h"
#include "codec/limits.h"
#include "matrix_ops/block_codec.h"
#include "matrix_ops/block_impl.h"

namespace {

constexpr int kJpegMinSide = 20;
constexpr int kRawMaxSide = 255;
constexpr int64_t kJpegMaxSide = 65500;
constexpr int kRawHead = 4;  // the two letters, width, height

// The word of an rgb8 element from its bytes R, G, B, x, and back.
inline uint32_t word_of(const uint8_t* rgbx) {
  uint32_t w;
  std::memcpy(&w, rgbx, 4);
  return std::endian::native == std::endian::little ? __builtin_bswap32(w) : w;
}
inline void rgbx_of(uint32_t word, uint8_t* out) {
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
  std::memcpy(out, &word, 4);
}

int clamp_quality(int q) { return std::clamp(q, 1, 100); }

// A new w x h vector of tp (kind atype) and its first element. Its
// elements are not filled: every reader writes each one, or drops the
// vector.
void* new_image(const MATRIX_DATA_TYPE* tp, int32_t w, int32_t h, MX_ATYPE atype, uint8_t** elements) {
  const int32_t ix[2] = {w, h};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  void* v = mxt_alloc_vector_unfilled(tp, atype, &p, nullptr);
  if (!v) return nullptr;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  *elements = dh.offset;
  return v;
}

void drop_image(const MATRIX_DATA_TYPE* tp, void* v, MX_ATYPE atype) {
  if (v && mx_atype_kind(atype) != MX_ATYPE::collector) tp->free_data(tp, v);
}

// ---- raw forms

// The block head of a raw form and room for n sample bytes behind it; null
// when a side does not fit its byte.
uint8_t* raw_block(int32_t* len, const MATRIX_DH_SET* dh, char letter, int64_t per_pixel, uint8_t** samples) {
  *len = 0;
  int32_t w = dh->ix[0], h = dh->ix[1];
  if (w < 0 || h < 0 || w > kRawMaxSide || h > kRawMaxSide) return nullptr;
  int64_t n = kRawHead + int64_t{w} * h * per_pixel;
  auto* b = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(n)));
  b[0] = static_cast<uint8_t>(letter);
  b[1] = 'n';
  b[2] = static_cast<uint8_t>(w);
  b[3] = static_cast<uint8_t>(h);
  *samples = b + kRawHead;
  *len = static_cast<int32_t>(n);
  return b;
}

// The sides of a raw block of form letter, when its samples are all there.
bool raw_sides(const uint8_t* b, int32_t size, char letter, int per_pixel, int32_t* w, int32_t* h) {
  if (!b || size < kRawHead || b[0] != letter || b[1] != 'n') return false;
  *w = b[2];
  *h = b[3];
  return size - kRawHead >= int64_t{*w} * *h * per_pixel;
}

// ---- JPEG forms

bool jpeg_sides_ok(const MATRIX_DH_SET* dh) {
  int64_t w = dh->ix[0], h = dh->ix[1];
  return w > 0 && h > 0 && w <= kJpegMaxSide && h <= kJpegMaxSide && static_cast<uint64_t>(w * h) <= kCodecMaxPixels;
}

// The two letters and the JPEG stream of the image whose rows of 4-byte
// pixels `rows` hands over (its data: the vector's view).
uint8_t* jpeg_block(int32_t* len, const MATRIX_DH_SET* dh, char letter, int quality, jpeg_row_source rows,
                    JpegPixels order) {
  *len = 0;
  if (!jpeg_sides_ok(dh)) return nullptr;
  int32_t n = 0;
  uint8_t* jpg = jpeg_compress_rows(&n, rows, const_cast<MATRIX_DH_SET*>(dh), dh->ix[0], dh->ix[1],
                                    clamp_quality(quality), order);
  if (!jpg || n > INT32_MAX - 2) {
    std::free(jpg);
    return nullptr;
  }
  auto* b = static_cast<uint8_t*>(d_alloc(static_cast<size_t>(n) + 2));
  b[0] = static_cast<uint8_t>(letter);
  b[1] = 'j';
  std::memcpy(b + 2, jpg, static_cast<size_t>(n));
  std::free(jpg);
  *len = n + 2;
  return b;
}

// Where decoded rows go. Colour images land in the vector's words as they
// are; grey ones through one row of 4-byte pixels, whose red bytes are
// moved into the vector as the next row is asked for.
struct JpegTarget {
  const MATRIX_DATA_TYPE* tp;
  MX_ATYPE atype;
  void* v = nullptr;
  uint8_t* elements = nullptr;
  size_t width = 0;
  uint8_t* row = nullptr;  // grey: the pixel row handed out last
  int32_t pending = -1;    // its row number
};

void flush_grey_row(JpegTarget* t) {
  if (t->pending < 0) return;
  uint8_t* dst = t->elements + static_cast<size_t>(t->pending) * t->width;
  for (size_t x = 0; x < t->width; ++x) dst[x] = t->row[4 * x];
  t->pending = -1;
}

int jpeg_header(LoadJPGInfo* info, void* data) {
  auto* t = static_cast<JpegTarget*>(data);
  if (info->bpp != 24) return 0;  // a greyscale stream is not a form of the block
  t->v = new_image(t->tp, info->width, info->height, t->atype, &t->elements);
  if (!t->v) return 0;
  t->width = static_cast<size_t>(info->width);
  if (t->tp == &mx_type_uint8_v) t->row = static_cast<uint8_t*>(d_alloc(4 * t->width));
  return 1;
}

uint8_t* jpeg_grey_row(int32_t y, void* data) {
  auto* t = static_cast<JpegTarget*>(data);
  flush_grey_row(t);
  t->pending = y;
  return t->row;
}

uint8_t* jpeg_word_row(int32_t y, void* data) {
  auto* t = static_cast<JpegTarget*>(data);
  return t->elements + static_cast<size_t>(y) * t->width * 4;
}

void* jpeg_image(const uint8_t* b, int32_t size, char letter, const MATRIX_DATA_TYPE* tp, MX_ATYPE atype) {
  if (!b || size < 2 || b[0] != letter || b[1] != 'j') return nullptr;
  JpegTarget t{tp, atype};
  int ok = 0;
  if (tp == &mx_type_uint8_v) {
    ok = LoadJPGFromMemory(b + 2, size - 2, jpeg_header, jpeg_grey_row, &t);
    if (ok) flush_grey_row(&t);
  } else {
    // The words' bytes in memory are x, B, G, R on a little-endian host and
    // R, G, B, x otherwise; the decoder leaves x 0.
    constexpr JpegPixels order = std::endian::native == std::endian::little ? JpegPixels::kXbgr : JpegPixels::kRgbx;
    ok = jpeg_uncompress_rows(b + 2, size - 2, order, jpeg_header, jpeg_word_row, &t);
  }
  if (t.row) d_f_ree(t.row);
  if (!ok) {
    drop_image(tp, t.v, atype);
    return nullptr;
  }
  return t.v;
}

}  // namespace

uint8_t* mx_glay_compress_1(int32_t* len, const MATRIX_DH_SET* dh, int) {
  uint8_t* samples = nullptr;
  uint8_t* b = raw_block(len, dh, 'g', 1, &samples);
  if (b) std::memcpy(samples, dh->offset, static_cast<size_t>(*len - kRawHead));
  return b;
}

uint8_t* mx_jpeg_compress_1(int32_t* len, const MATRIX_DH_SET* dh, int) {
  uint8_t* samples = nullptr;
  uint8_t* b = raw_block(len, dh, 'c', 3, &samples);
  if (!b) return nullptr;
  int64_t n = int64_t{dh->ix[0]} * dh->ix[1];
  for (int64_t i = 0; i < n; ++i, samples += 3) {
    uint8_t rgbx[4];
    uint32_t w;
    std::memcpy(&w, dh->offset + 4 * i, 4);
    rgbx_of(w, rgbx);
    std::memcpy(samples, rgbx, 3);
  }
  return b;
}

uint8_t* mx_glay_compress_2(int32_t* len, const MATRIX_DH_SET* dh, int quality) {
  // Each grey byte becomes a pixel whose red, green and blue are that byte.
  auto grey_row = [](int32_t y, uint8_t* px, void* data) -> const uint8_t* {
    const auto* view = static_cast<const MATRIX_DH_SET*>(data);
    const size_t w = static_cast<size_t>(view->ix[0]);
    const uint8_t* src = view->offset + static_cast<size_t>(y) * w;
    for (size_t x = 0; x < w; ++x) {
      uint32_t g = src[x] * 0x01010101u;
      std::memcpy(px + 4 * x, &g, 4);
    }
    return px;
  };
  return jpeg_block(len, dh, 'g', quality, grey_row, JpegPixels::kRgbx);
}

uint8_t* mx_jpeg_compress_2(int32_t* len, const MATRIX_DH_SET* dh, int quality) {
  // The library reads the words where they lie: their bytes in memory are
  // x, B, G, R on a little-endian host and R, G, B, x otherwise.
  auto word_row = [](int32_t y, uint8_t*, void* data) -> const uint8_t* {
    const auto* view = static_cast<const MATRIX_DH_SET*>(data);
    return view->offset + static_cast<size_t>(y) * static_cast<size_t>(view->ix[0]) * 4;
  };
  constexpr JpegPixels order = std::endian::native == std::endian::little ? JpegPixels::kXbgr : JpegPixels::kRgbx;
  return jpeg_block(len, dh, 'c', quality, word_row, order);
}

void* mx_glay_uncompress_1(const uint8_t* block, int32_t size, MX_ATYPE atype) {
  int32_t w = 0, h = 0;
  if (!raw_sides(block, size, 'g', 1, &w, &h)) return nullptr;
  uint8_t* e = nullptr;
  void* v = new_image(&mx_type_uint8_v, w, h, atype, &e);
  if (v) std::memcpy(e, block + kRawHead, static_cast<size_t>(w) * static_cast<size_t>(h));
  return v;
}

void* mx_jpeg_uncompress_1(const uint8_t* block, int32_t size, MX_ATYPE atype) {
  int32_t w = 0, h = 0;
  if (!raw_sides(block, size, 'c', 3, &w, &h)) return nullptr;
  uint8_t* e = nullptr;
  void* v = new_image(&mx_type_RGB_v, w, h, atype, &e);
  if (!v) return nullptr;
  const uint8_t* s = block + kRawHead;
  for (int64_t i = 0; i < int64_t{w} * h; ++i, s += 3) {
    const uint8_t rgbx[4] = {s[0], s[1], s[2], 0};
    uint32_t word = word_of(rgbx);
    std::memcpy(e + 4 * i, &word, 4);
  }
  return v;
}

void* mx_glay_uncompress_2(const uint8_t* block, int32_t size, MX_ATYPE atype) {
  return jpeg_image(block, size, 'g', &mx_type_uint8_v, atype);
}

void* mx_jpeg_uncompress_2(const uint8_t* block, int32_t size, MX_ATYPE atype) {
  return jpeg_image(block, size, 'c', &mx_type_RGB_v, atype);
}

uint8_t* mx_image_encode(int32_t* len, const MATRIX_DH_SET* dh, int quality, const char** why) {
  *len = 0;
  bool grey = dh->tp->type == MX_TYPE_UINT8 + MX_TYPE_VECTOR;
  int32_t w = dh->ix[0], h = dh->ix[1];
  if (w < kJpegMinSide || h < kJpegMinSide) {
    if (w > kRawMaxSide || h > kRawMaxSide) return mx_refuse(why, kMxWhyRawSide);
    return grey ? mx_glay_compress_1(len, dh, quality) : mx_jpeg_compress_1(len, dh, quality);
  }
  if (w > kJpegMaxSide || h > kJpegMaxSide) return mx_refuse(why, kMxWhyJpegSide);
  if (static_cast<uint64_t>(int64_t{w} * h) > kCodecMaxPixels) return mx_refuse(why, kMxWhyPixels);
  uint8_t* b = grey ? mx_glay_compress_2(len, dh, quality) : mx_jpeg_compress_2(len, dh, quality);
  return b ? b : mx_refuse(why, kMxWhyJpegEncode);
}

void* mx_image_decode(const void* block, int32_t size, MX_ATYPE atype, const char** why) {
  const auto* b = static_cast<const uint8_t*>(block);
  if (!b || size < 2 || (b[0] != 'g' && b[0] != 'c') || (b[1] != 'n' && b[1] != 'j'))
    return mx_refuse(why, kMxWhyLetters);
  bool grey = b[0] == 'g';
  void* v = nullptr;
  if (b[1] == 'n') {
    v = grey ? mx_glay_uncompress_1(b, size, atype) : mx_jpeg_uncompress_1(b, size, atype);
    return v ? v : mx_refuse(why, kMxWhyShortRaw);
  }
  v = grey ? mx_glay_uncompress_2(b, size, atype) : mx_jpeg_uncompress_2(b, size, atype);
  return v ? v : mx_refuse(why, kMxWhyJpegData);
}
