// JPEG compression and decoding over the memory managers. The functions
// that call setjmp keep every changing value in a job record outside their
// own frame, so nothing is left indeterminate by a jump back.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/jpeg_impl.h"
#include "codec/limits.h"

namespace {

constexpr int32_t kMaxSide = JPEG_MAX_DIMENSION;
constexpr JDIMENSION kBatch = 16;  // rows handed to the library at once
constexpr size_t kStreamBytes = size_t{1} << 20;

bool side_ok(int64_t w, int64_t h) {
  return w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && static_cast<uint64_t>(w * h) <= kCodecMaxPixels;
}

// Huffman coding spends at least one bit on each 8 x 8 block of every
// component, in the first scan that codes it (a DC code): a stream fills
// at most eight blocks a byte. One whose components have more blocks than
// that cannot be filled by its data, and decoding it would make (and hold
// the coefficients of) a picture its data never reach: a progressive
// stream that codes only a coarsely sampled component claims 32 x 32
// pixels a bit. Arithmetic coding has no such floor: once its data end
// the decoder reads zeros, which code a plain picture of any size, so a
// few hundred bytes would make a gigabyte. Its streams are held to the
// rate the GIF decoder allows its data, 4,096 x 8 pixels a byte (512
// blocks of one component): a plain picture of a few million pixels still
// decodes. Called once the header is read, when the components' sizes are
// known, before anything of the image is allocated.
constexpr uint64_t kHuffmanBlocksPerByte = 8;
constexpr uint64_t kArithBlocksPerByte = 4096 * 8 / 64;

bool fillable(const jpeg_decompress_struct& c, int32_t stream_bytes) {
  uint64_t blocks = 0;
  for (int i = 0; i < c.num_components; ++i)
    blocks += uint64_t{c.comp_info[i].width_in_blocks} * c.comp_info[i].height_in_blocks;
  const uint64_t rate = c.arith_code ? kArithBlocksPerByte : kHuffmanBlocksPerByte;
  return blocks <= rate * static_cast<uint64_t>(stream_bytes);
}

struct CompressJob {
  jpeg_compress_struct cinfo;
  my_error_mgr jerr;
  jpeg_row_source rows;
  void* data;
  uint8_t* strip;  // room for a batch of rows the source converts
  JDIMENSION width;
  JDIMENSION height;
  J_COLOR_SPACE pixels;
  int32_t quality;
  uint8_t* out;
  size_t written;
};

bool run_compress(CompressJob* job) {
  j_compress_ptr c = &job->cinfo;
  c->err = my_error_init(&job->jerr);
  if (setjmp(job->jerr.setjmp_buffer)) {
    jpeg_destroy_compress(c);
    return false;
  }
  jpeg_create_compress(c);
  jpeg_memory_dest(c, &job->out, nullptr);
  c->image_width = job->width;
  c->image_height = job->height;
  c->input_components = 4;
  c->in_color_space = job->pixels;
  jpeg_set_defaults(c);
  jpeg_set_quality(c, job->quality, TRUE);
  jpeg_start_compress(c, TRUE);
  const size_t stride = size_t{c->image_width} * 4;
  JSAMPROW rows[kBatch];
  while (c->next_scanline < c->image_height) {
    JDIMENSION n = 0;
    for (; n < kBatch && c->next_scanline + n < c->image_height; ++n)
      rows[n] = const_cast<JSAMPROW>(
          job->rows(static_cast<int32_t>(c->next_scanline + n), job->strip + n * stride, job->data));
    jpeg_write_scanlines(c, rows, n);
  }
  jpeg_finish_compress(c);
  job->written = get_jpeg_compressed_size(c);
  jpeg_destroy_compress(c);
  return true;
}

// What the decoder delivers, chosen from the library's colour space.
enum class RowKind { kNone, kRgb, kCmyk, kGrey };

struct DecodeJob {
  jpeg_decompress_struct cinfo;
  my_error_mgr jerr;
  const uint8_t* memory;
  int32_t size;
  jpeg_header_callback header_callback;
  jpeg_read_callback read_callback;
  void* data;
  bool zero_fourth;  // the unused byte written 0 (else left as it was)
  JpegPixels order;  // of RGB and CMYK pixels when zero_fourth
  bool stream;       // rows written past the cache
  LoadJPGInfo info;
  RowKind kind;
};

RowKind classify(jpeg_decompress_struct* c) {
  if (c->out_color_space == JCS_RGB && c->num_components == 3) return RowKind::kRgb;
  if (c->out_color_space == JCS_CMYK && c->num_components == 4) return RowKind::kCmyk;
  if (c->out_color_space == JCS_GRAYSCALE && c->num_components == 1) return RowKind::kGrey;
  return RowKind::kNone;
}

// Offers the image to the header callback; false when it is refused.
bool offer_header(DecodeJob* job) {
  LoadJPGInfo& info = job->info;
  info = LoadJPGInfo{static_cast<int32_t>(job->cinfo.image_width), static_cast<int32_t>(job->cinfo.image_height), 0,
                     0, nullptr};
  job->kind = classify(&job->cinfo);
  if (!side_ok(info.width, info.height) || !fillable(job->cinfo, job->size)) job->kind = RowKind::kNone;
  if (job->kind == RowKind::kNone) return false;
  info.bpp = job->kind == RowKind::kGrey ? 8 : 24;
  if (job->kind == RowKind::kGrey) {
    info.palette = static_cast<RGB4*>(std::malloc(256 * sizeof(RGB4)));
    if (!info.palette) return false;
    info.num_palette = 256;
    for (int i = 0; i < 256; ++i) info.palette[i] = RGB4{uint8_t(i), uint8_t(i), uint8_t(i), 0};
  }
  bool accepted = job->header_callback(&info, job->data) != 0;
  std::free(info.palette);
  info.palette = nullptr;
  return accepted;
}

// ---- rows from the library's samples

// The bytes of a 4-byte pixel kept from the library's RGBX or XBGR sample.
uint32_t colour_mask(JpegPixels order) {
  const uint8_t bytes[2][4] = {{0xFF, 0xFF, 0xFF, 0}, {0, 0xFF, 0xFF, 0xFF}};
  uint32_t mask;
  std::memcpy(&mask, bytes[order == JpegPixels::kXbgr], 4);
  return mask;
}

// Red, green and blue from the library's sample, the fourth byte from the
// destination; whole pixels at a time.
void merge_rgb(const uint8_t* src, uint8_t* dst, JDIMENSION width) {
  const uint32_t keep = ~colour_mask(JpegPixels::kRgbx);
  for (JDIMENSION i = 0; i < width; ++i, src += 4, dst += 4) {
    uint32_t s, d;
    std::memcpy(&s, src, 4);
    std::memcpy(&d, dst, 4);
    d = (s & ~keep) | (d & keep);
    std::memcpy(dst, &d, 4);
  }
}

// Pixels [from, to) of src masked into dst, through the cache.
void mask_span(const uint8_t* src, uint8_t* dst, size_t from, size_t to, uint32_t mask) {
  size_t i = from;
#if defined(__SSE2__)
  const __m128i m = _mm_set1_epi32(static_cast<int>(mask));
  for (; i + 4 <= to; i += 4)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i),
                     _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i)), m));
#endif
  for (; i < to; ++i) {
    uint32_t px;
    std::memcpy(&px, src + 4 * i, 4);
    px &= mask;
    std::memcpy(dst + 4 * i, &px, 4);
  }
}

// The library's pixels with their unused byte (0xFF) made 0. With
// `stream`, the whole cache lines of the row are written past the cache
// (the row's partial lines at either end through it, so that no line is
// written both ways).
void store_rgb(const uint8_t* src, uint8_t* dst, JDIMENSION width, JpegPixels order, bool stream) {
  const uint32_t mask = colour_mask(order);
  size_t lead = width, body = width;  // pixels before the first whole line; end of the last
#if defined(__SSE2__)
  const auto at = reinterpret_cast<uintptr_t>(dst);
  if (stream && at % 4 == 0) {
    lead = std::min<size_t>(width, (64 - at % 64) % 64 / 4);
    body = lead + (width - lead) / 16 * 16;
  }
  mask_span(src, dst, 0, lead, mask);
  const __m128i m = _mm_set1_epi32(static_cast<int>(mask));
  for (size_t i = lead; i < body; i += 4)
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 4 * i),
                     _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i)), m));
#else
  (void)stream;
  lead = body = 0;
#endif
  mask_span(src, dst, body, width, mask);
}

// C, M, Y, K samples as red = C*K/255, green = M*K/255, blue = Y*K/255.
void store_cmyk(const uint8_t* src, uint8_t* dst, JDIMENSION width, const DecodeJob* job) {
  const bool xbgr = job->zero_fourth && job->order == JpegPixels::kXbgr;
  for (JDIMENSION i = 0; i < width; ++i, src += 4, dst += 4) {
    const unsigned k = src[3];
    const auto r = static_cast<uint8_t>(src[0] * k / 255), g = static_cast<uint8_t>(src[1] * k / 255),
               b = static_cast<uint8_t>(src[2] * k / 255);
    if (xbgr) {
      dst[0] = 0, dst[1] = b, dst[2] = g, dst[3] = r;
    } else {
      dst[0] = r, dst[1] = g, dst[2] = b;
      if (job->zero_fourth) dst[3] = 0;
    }
  }
}

void put_row(const DecodeJob* job, const uint8_t* src, uint8_t* dst, JDIMENSION width) {
  switch (job->kind) {
    case RowKind::kRgb:
      if (job->zero_fourth) store_rgb(src, dst, width, job->order, job->stream);
      else merge_rgb(src, dst, width);
      break;
    case RowKind::kCmyk:
      store_cmyk(src, dst, width, job);
      break;
    case RowKind::kGrey:
      std::memcpy(dst, src, width);
      break;
    case RowKind::kNone:
      break;
  }
}

// Room for `batch` rows of `row_bytes` from the image pool. Each row starts
// 4 bytes past a 64-byte line: the library's vector code streams rows that
// start on 16 bytes past the cache, and these are read back at once.
JSAMPARRAY strip_rows(j_decompress_ptr c, size_t row_bytes, JDIMENSION batch) {
  const size_t pitch = (row_bytes + 4 + 63) / 64 * 64;
  auto* rows = static_cast<JSAMPARRAY>(
      (*c->mem->alloc_small)(reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE, sizeof(JSAMPROW) * batch));
  auto* room = static_cast<JSAMPLE*>(
      (*c->mem->alloc_large)(reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE, pitch * batch + 64));
  JSAMPLE* first = room + (64 - reinterpret_cast<uintptr_t>(room) % 64) % 64 + 4;
  for (JDIMENSION r = 0; r < batch; ++r) rows[r] = first + r * pitch;
  return rows;
}

int decode_rows(DecodeJob* job) {
  j_decompress_ptr c = &job->cinfo;
  if (job->kind == RowKind::kRgb)
    c->out_color_space = job->zero_fourth && job->order == JpegPixels::kXbgr ? JCS_EXT_XBGR : JCS_EXT_RGBX;
  jpeg_start_decompress(c);
  // Rows are read in batches: the library's vector code and ours then
  // alternate once a batch instead of once a row, which costs far less.
  const size_t row_bytes = size_t{c->output_width} * static_cast<size_t>(c->output_components);
  const auto batch = static_cast<JDIMENSION>(std::clamp<size_t>((size_t{128} << 10) / row_bytes, 1, 64));
  JSAMPARRAY rows = strip_rows(c, row_bytes, batch);
  // A whole image larger than a core's second-level cache would push its
  // first rows out before anyone reads them: its rows skip the cache.
  job->stream = job->zero_fourth && row_bytes * c->output_height > kStreamBytes;
  bool stopped = false;
  while (c->output_scanline < c->output_height && !stopped) {
    const JDIMENSION first = c->output_scanline;
    JDIMENSION got = 0;
    while (got < batch && c->output_scanline < c->output_height) {
      JDIMENSION n = jpeg_read_scanlines(c, rows + got, batch - got);
      if (n == 0) break;
      got += n;
    }
    // A source that never suspends always gives rows: none is a failure,
    // never a spin or a result with rows missing.
    if (got == 0) return 0;
    for (JDIMENSION r = 0; r < got; ++r) {
      uint8_t* dst = job->read_callback(static_cast<int32_t>(first + r), job->data);
      if (!dst) {
        stopped = true;
        break;
      }
      put_row(job, rows[r], dst, c->output_width);
    }
  }
  // A read that stopped early leaves rows unread: destroying the record is
  // the clean end for it.
  if (c->output_scanline >= c->output_height) jpeg_finish_decompress(c);
  return 1;
}

int run_decode(DecodeJob* job) {
  j_decompress_ptr c = &job->cinfo;
  c->err = my_error_init(&job->jerr);
  if (setjmp(job->jerr.setjmp_buffer)) {
    std::free(job->info.palette);
    job->info.palette = nullptr;
    jpeg_destroy_decompress(c);
    return 0;
  }
  jpeg_create_decompress(c);
  jpeg_memory_src(c, job->memory, job->size);
  jpeg_read_header(c, TRUE);
  const int ok = offer_header(job) ? decode_rows(job) : 0;
  jpeg_destroy_decompress(c);
  return ok;
}

}  // namespace

uint8_t* jpeg_compress_rows(int32_t* ret_jpeg_length, jpeg_row_source rows, void* data, int32_t image_width,
                            int32_t image_height, int32_t quality, JpegPixels order) {
  *ret_jpeg_length = 0;
  if (!rows || !side_ok(image_width, image_height)) return nullptr;
  CompressJob job_record{};
  CompressJob* job = &job_record;
  job->width = static_cast<JDIMENSION>(image_width);
  job->height = static_cast<JDIMENSION>(image_height);
  job->rows = rows;
  job->data = data;
  job->pixels = order == JpegPixels::kXbgr ? JCS_EXT_XBGR : JCS_EXT_RGBX;
  job->strip = static_cast<uint8_t*>(std::malloc(size_t{kBatch} * 4 * job->width));
  job->quality = quality;
  uint8_t* out = nullptr;
  if (job->strip && run_compress(job) && job->written <= INT32_MAX) {
    out = job->out;
    *ret_jpeg_length = static_cast<int32_t>(job->written);
  } else {
    std::free(job->out);
  }
  std::free(job->strip);
  return out;
}

uint8_t* jpeg_compress(int32_t* ret_jpeg_length, const void* rgb_32bit_data, int32_t image_width,
                       int32_t image_height, int32_t quality) {
  *ret_jpeg_length = 0;
  if (!rgb_32bit_data) return nullptr;
  struct Image {
    const uint8_t* pixels;
    size_t stride;
  } image{static_cast<const uint8_t*>(rgb_32bit_data), size_t{static_cast<uint32_t>(image_width)} * 4};
  auto row = [](int32_t y, uint8_t*, void* data) -> const uint8_t* {
    const auto* im = static_cast<const Image*>(data);
    return im->pixels + static_cast<size_t>(y) * im->stride;
  };
  return jpeg_compress_rows(ret_jpeg_length, row, &image, image_width, image_height, quality);
}

namespace {

int load(const void* memory, int32_t memory_size, jpeg_header_callback header_callback,
         jpeg_read_callback read_callback, void* data, bool zero_fourth, JpegPixels order) {
  if (!header_callback || !read_callback) return 0;
  DecodeJob job_record{};
  DecodeJob* job = &job_record;
  job->memory = static_cast<const uint8_t*>(memory);
  job->size = memory ? memory_size : 0;
  job->header_callback = header_callback;
  job->read_callback = read_callback;
  job->data = data;
  job->zero_fourth = zero_fourth;
  job->order = order;
  const int ok = run_decode(job);
#if defined(__SSE2__)
  _mm_sfence();  // the streamed rows are in memory before the caller hands them on
#endif
  return ok;
}

}  // namespace

int LoadJPGFromMemory(const void* memory, int32_t memory_size, jpeg_header_callback header_callback,
                      jpeg_read_callback read_callback, void* data) {
  return load(memory, memory_size, header_callback, read_callback, data, false, JpegPixels::kRgbx);
}

int jpeg_uncompress_rows(const void* memory, int32_t memory_size, JpegPixels order,
                         jpeg_header_callback header_callback, jpeg_read_callback read_callback, void* data) {
  return load(memory, memory_size, header_callback, read_callback, data, true, order);
}

int HeaderCallback(LoadJPGInfo* info, void* data) {
  auto* ci = static_cast<CallbackInfo*>(data);
  if (info->bpp != 24 || info->width > ci->max_width || info->height > ci->max_height) return 0;
  // Not zeroed: the decoder writes every byte of every row, the fourth
  // bytes included.
  ci->dib = static_cast<uint8_t*>(std::malloc(size_t{static_cast<uint32_t>(info->width)} * info->height * 4));
  ci->width = info->width;
  ci->height = info->height;
  return ci->dib != nullptr;
}

uint8_t* ReadCallback(int32_t row, void* data) {
  auto* ci = static_cast<CallbackInfo*>(data);
  return ci->dib + size_t{static_cast<uint32_t>(ci->width)} * 4 * static_cast<uint32_t>(row);
}

uint8_t* jpeg_uncompress(int32_t* ret_width, int32_t* ret_height, const void* jpeg_data, int32_t jpeg_length) {
  return jpeg_uncompress_within(ret_width, ret_height, jpeg_data, jpeg_length, kMaxSide, kMaxSide);
}

uint8_t* jpeg_uncompress_within(int32_t* ret_width, int32_t* ret_height, const void* jpeg_data, int32_t jpeg_length,
                                int32_t max_width, int32_t max_height) {
  CallbackInfo ci{nullptr, 0, 0, nullptr, nullptr, max_width, max_height};
  int ok = jpeg_uncompress_rows(jpeg_data, jpeg_length, JpegPixels::kRgbx, HeaderCallback, ReadCallback, &ci);
  *ret_width = ci.width;
  *ret_height = ci.height;
  if (!ok) {
    std::free(ci.dib);
    return nullptr;
  }
  return ci.dib;
}
