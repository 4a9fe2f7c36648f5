// Writing a CR file from an R64 file: a residual quadtree from the highest
// level down, each block coded against the decoded block above it, as a
// reader will see it.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/endian.h"
#include "codec/cr_block.h"
#include "codec/cr_file.h"
#include "codec/r64.h"
#include "codec/raster_io_impl.h"

namespace {

constexpr int kReportEvery = 10000;  // bytes of pixels between progress lines

struct CrWriter {
  CR_FILE* cr;
  R64_FILE* r64;
  int rect;
  int64_t processed = 0;  // 3 bytes a pixel read
  int64_t next_report = 0;
};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Malloced = std::unique_ptr<uint8_t, FreeDeleter>;

int fail(int code) {
  r64_error = code;
  return -1;
}

void count_pixels(CrWriter& wr, size_t n) {
  if (wr.processed >= wr.next_report) {
    std::fprintf(stderr, "loading %i   \r", static_cast<int>(wr.processed));
    wr.next_report += kReportEvery * ((wr.processed - wr.next_report) / kReportEvery + 1);
  }
  wr.processed += 3 * static_cast<int64_t>(n);
}

// The block's pixels less the parent's reconstruction under them (the
// pixels themselves without a parent), 3 values a pixel.
int residuals(CrWriter& wr, int level, int x0, int y0, int bw, int bh, const CR_BUFFER* parent,
              std::vector<int32_t>& res) {
  const bool grey = wr.r64->header.type != 'P';
  for (int y = 0; y < bh; ++y)
    for (int x = 0; x < bw; ++x) {
      uint8_t p[3];
      if (r64_red(p, wr.r64, x0 + x, y0 + y, level) != 0) return fail(kR64ErrSystem);
      if (grey) p[1] = p[2] = p[0];
      const uint8_t* q = nullptr;
      if (parent)
        q = parent->buf + 4 * (size_t(((y0 + y) >> 1) - parent->h_ofs) * size_t(parent->w_len) +
                               size_t(((x0 + x) >> 1) - parent->w_ofs));
      for (int c = 0; c < 3; ++c) res[(size_t(y) * size_t(bw) + size_t(x)) * 3 + size_t(c)] = p[c] - (q ? q[c] : 0);
    }
  return 0;
}

// The shift that centres each channel's residuals on 128.
void choose_shift(const std::vector<int32_t>& res, int8_t cal[3]) {
  for (size_t c = 0; c < 3; ++c) {
    int32_t lo = res[c], hi = res[c];
    for (size_t i = c; i < res.size(); i += 3) lo = std::min(lo, res[i]), hi = std::max(hi, res[i]);
    cal[c] = static_cast<int8_t>(std::clamp(128 - (hi + lo) / 2, -128, 127));
  }
}

// Appends the block data and fills its table entry.
int write_block(CrWriter& wr, int level, int x0, int y0, char type, const int8_t cal[3], const uint8_t* data,
                int32_t size) {
  CR_FILE* cr = wr.cr;
  if (uint64_t{cr->write_ofs} + static_cast<uint32_t>(size) > UINT32_MAX) return fail(kR64ErrSystem);
  uint8_t entry[kCrTableEntrySize];
  store_be32(entry, cr->write_ofs);
  entry[4] = static_cast<uint8_t>(type);
  std::memcpy(entry + 5, cal, 3);
  store_be32(entry + 8, static_cast<uint32_t>(size));
  if (raster_pwrite(cr->fd, data, static_cast<size_t>(size), cr->write_ofs) != size ||
      raster_pwrite(cr->fd, entry, sizeof entry, get_tbl_ofs(cr, x0, y0, level)) != kCrTableEntrySize)
    return fail(kR64ErrSystem);
  cr->write_ofs += static_cast<uint32_t>(size);
  return 0;
}

// What a reader rebuilds from the stored block: the decoded bytes on the
// top level, else the parent plus the unshifted residual, clamped.
Malloced reconstruct(const CR_CODEC* codec, const uint8_t* data, int32_t size, int bw, int bh, const int8_t cal[3],
                     int x0, int y0, const CR_BUFFER* parent) {
  int32_t dw = 0, dh = 0;
  Malloced dec(codec->uncompress(&dw, &dh, data, size));
  if (!dec) {
    std::fputs("_cr_write(1)\n", stderr);
    return nullptr;
  }
  if (dw != bw || dh != bh) {
    std::fputs("_cr_write(2)\n", stderr);
    return nullptr;
  }
  if (!parent) return dec;
  uint8_t* p = dec.get();
  for (int y = 0; y < bh; ++y)
    for (int x = 0; x < bw; ++x, p += 4) {
      const uint8_t* q = parent->buf + 4 * (size_t(((y0 + y) >> 1) - parent->h_ofs) * size_t(parent->w_len) +
                                            size_t(((x0 + x) >> 1) - parent->w_ofs));
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::clamp(q[c] + cr_inv_cal(p[c], cal[c]), 0, 255));
    }
  return dec;
}

int encode(CrWriter& wr, int level, int x0, int y0, const CR_BUFFER* parent) {
  const int lw = wr.cr->level_w[level], lh = wr.cr->level_h[level];
  if (x0 >= lw || y0 >= lh) return 0;
  const int bw = std::min(wr.rect, lw - x0), bh = std::min(wr.rect, lh - y0);
  const size_t n = size_t(bw) * size_t(bh);
  count_pixels(wr, n);
  std::vector<int32_t> res(n * 3);
  if (residuals(wr, level, x0, y0, bw, bh, parent, res) != 0) return -1;
  int8_t cal[3];
  choose_shift(res, cal);
  std::vector<uint8_t> stored(n * 4, 0);
  for (size_t i = 0; i < n; ++i)
    for (size_t c = 0; c < 3; ++c) stored[i * 4 + c] = cr_cal(res[i * 3 + c], cal[c]);
  const CR_CODEC* codec = get_cr_codec(bw >= 16 && bh >= 16 ? 'j' : 'n');
  int32_t size = 0;
  Malloced data(codec->compress(&size, stored.data(), bw, bh));
  if (!data) return fail(kR64ErrSystem);
  if (write_block(wr, level, x0, y0, codec->type, cal, data.get(), size) != 0) return -1;
  if (level == 0) return 0;
  Malloced recon = reconstruct(codec, data.get(), size, bw, bh, cal, x0, y0, parent);
  if (!recon) return fail(kR64ErrSystem);
  data.reset();
  const CR_BUFFER me{x0, y0, bw, bh, recon.get()};
  int rc = 0;
  for (int i = 0; i < 4; ++i)
    if (encode(wr, level - 1, 2 * x0 + (i & 1) * wr.rect, 2 * y0 + (i >> 1) * wr.rect, &me) != 0) rc = -1;
  return rc;
}

}  // namespace

int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64) {
  // Refused before the file is touched: opening truncates it.
  if (rect_size < 1 || rect_size > 256) return fail(kR64ErrMagic);
  const int w = r64->header.width, h = r64->header.height;
  CR_FILE* cr = cr_open_file(filename, O_RDWR | O_CREAT | O_TRUNC, mode, rect_size, w, h);
  if (!cr) return -1;
  std::fprintf(stderr, "r64 width=%d height=%d", w, h);
  int top = kR64Levels - 1;
  while (top >= 0 && !(r64_check_level(r64, top) && cr_check_level(cr, top))) --top;
  if (top < 0) {
    cr_close_file(cr);
    return fail(kR64ErrRule);
  }
  CrWriter wr{cr, r64, rect_size};
  int rc = 0;
  for (int y0 = 0; y0 < cr->level_h[top]; y0 += rect_size)
    for (int x0 = 0; x0 < cr->level_w[top]; x0 += rect_size)
      if (encode(wr, top, x0, y0, nullptr) != 0) rc = -1;
  int error = r64_error;
  if (cr_close_file(cr) != 0) rc = -1, error = kR64ErrSystem;
  std::fputs("\n", stderr);
  r64_error = rc == 0 ? kR64Ok : error;
  return rc;
}
