// JPEG compression and decoding over the memory managers. The functions
// that call setjmp keep every changing value in a job record outside their
// own frame, so nothing is left indeterminate by a jump back.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codec/jpeg_impl.h"
#include "codec/limits.h"

namespace {

constexpr int32_t kMaxSide = JPEG_MAX_DIMENSION;
constexpr JDIMENSION kBatch = 16;  // rows handed to the library at once

bool side_ok(int64_t w, int64_t h) {
  return w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && static_cast<uint64_t>(w * h) <= kCodecMaxPixels;
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
  if (!side_ok(info.width, info.height)) job->kind = RowKind::kNone;
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

void convert_row(RowKind kind, const uint8_t* src, uint8_t* dst, JDIMENSION width) {
  switch (kind) {
    case RowKind::kRgb: {
      // Whole pixels at a time: red, green and blue from the library's
      // sample, the fourth byte from the destination.
      uint32_t keep;
      const uint8_t fourth[4] = {0, 0, 0, 0xFF};
      std::memcpy(&keep, fourth, 4);
      for (JDIMENSION i = 0; i < width; ++i, src += 4, dst += 4) {
        uint32_t s, d;
        std::memcpy(&s, src, 4);
        std::memcpy(&d, dst, 4);
        d = (s & ~keep) | (d & keep);
        std::memcpy(dst, &d, 4);
      }
      break;
    }
    case RowKind::kCmyk:
      for (JDIMENSION i = 0; i < width; ++i, src += 4, dst += 4) {
        unsigned k = src[3];
        dst[0] = static_cast<uint8_t>(src[0] * k / 255);
        dst[1] = static_cast<uint8_t>(src[1] * k / 255);
        dst[2] = static_cast<uint8_t>(src[2] * k / 255);
      }
      break;
    case RowKind::kGrey:
      std::memcpy(dst, src, width);
      break;
    case RowKind::kNone:
      break;
  }
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
  if (!offer_header(job)) {
    jpeg_destroy_decompress(c);
    return 0;
  }
  if (job->kind == RowKind::kRgb) c->out_color_space = JCS_EXT_RGBX;
  jpeg_start_decompress(c);
  // Rows are read in batches: the library's vector code and ours then
  // alternate once a batch instead of once a row, which costs far less.
  const size_t row_bytes = size_t{c->output_width} * static_cast<size_t>(c->output_components);
  const auto batch = static_cast<JDIMENSION>(std::clamp<size_t>((size_t{1} << 20) / row_bytes, 1, 64));
  JSAMPARRAY rows = (*c->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE,
                                            c->output_width * c->output_components, batch);
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
    if (got == 0) {
      jpeg_destroy_decompress(c);
      return 0;
    }
    for (JDIMENSION r = 0; r < got; ++r) {
      uint8_t* dst = job->read_callback(static_cast<int32_t>(first + r), job->data);
      if (!dst) {
        stopped = true;
        break;
      }
      convert_row(job->kind, rows[r], dst, c->output_width);
    }
  }
  // A read that stopped early leaves rows unread: destroying the record is
  // the clean end for it.
  if (c->output_scanline >= c->output_height) jpeg_finish_decompress(c);
  jpeg_destroy_decompress(c);
  return 1;
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

int LoadJPGFromMemory(const void* memory, int32_t memory_size, jpeg_header_callback header_callback,
                      jpeg_read_callback read_callback, void* data) {
  if (!header_callback || !read_callback) return 0;
  DecodeJob job_record{};
  DecodeJob* job = &job_record;
  job->memory = static_cast<const uint8_t*>(memory);
  job->size = memory ? memory_size : 0;
  job->header_callback = header_callback;
  job->read_callback = read_callback;
  job->data = data;
  int ok = run_decode(job);
  return ok;
}

int HeaderCallback(LoadJPGInfo* info, void* data) {
  auto* ci = static_cast<CallbackInfo*>(data);
  if (info->bpp != 24) return 0;
  // Each row is zeroed as it is handed out (ReadCallback), just before the
  // decoder fills it, rather than the whole image up front.
  ci->dib = static_cast<uint8_t*>(std::malloc(size_t{static_cast<uint32_t>(info->width)} * info->height * 4));
  ci->width = info->width;
  ci->height = info->height;
  return ci->dib != nullptr;
}

uint8_t* ReadCallback(int32_t row, void* data) {
  auto* ci = static_cast<CallbackInfo*>(data);
  const size_t stride = size_t{static_cast<uint32_t>(ci->width)} * 4;
  uint8_t* at = ci->dib + stride * static_cast<uint32_t>(row);
  std::memset(at, 0, stride);
  return at;
}

uint8_t* jpeg_uncompress(int32_t* ret_width, int32_t* ret_height, const void* jpeg_data, int32_t jpeg_length) {
  CallbackInfo ci{nullptr, 0, 0, nullptr, nullptr};
  int ok = LoadJPGFromMemory(jpeg_data, jpeg_length, HeaderCallback, ReadCallback, &ci);
  *ret_width = ci.width;
  *ret_height = ci.height;
  if (!ok) {
    std::free(ci.dib);
    return nullptr;
  }
  return ci.dib;
}
