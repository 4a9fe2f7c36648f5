// Building the next coarser level of an R64 file: the plain 2 x 2 mean
// and the windowed half-band filter.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "codec/r64_fft_impl.h"
#include "codec/r64_impl.h"
#include "codec/r64_level.h"

namespace {

constexpr int kStep = 4;   // the filter's windows start every 4 pixels
constexpr int kSpan = 8;   // and are 8 pixels wide
constexpr int kKeep = 4;   // frequencies kept per axis: 0, 1, 6 and 7
constexpr int kPad = 2;    // accumulation index of destination column 0

// 0 when level can be read whole and level + 1 exists to be written.
int check_levels(R64_FILE* f, int level) {
  if (!r64_check_level(f, level) || !r64_level_present(f, level + 1)) {
    r64_error = kR64ErrLevel;
    return -1;
  }
  return 0;
}

// Pixel (x, y) of level through the file's out-of-image rule. A failed
// read leaves zeros and is reported; the pixel still counts.
void read_or_report(R64_FILE* f, int x, int y, int level, uint8_t* px) {
  if (r64_red(px, f, x, y, level) != 0) std::fprintf(stderr, "writeout err %i:%i\n", x, y);
}

// The means of one 64 x 64 area of level, written to level + 1. Pixels of
// the area are taken from its cached block directly unless a 2 x 2 group
// reaches past the level, where the rule decides.
void lofi_area(R64_FILE* f, int level, int bx, int by) {
  const int w = f->level_w[level], h = f->level_h[level], k = r64_pixel_bytes(f);
  const int ex = std::min(bx + kR64Block, w), ey = std::min(by + kR64Block, h);
  R64_CACHE_ENT* src = r64_block(f, bx, by, level);
  R64_CACHE_ENT* dst = src ? r64_block(f, bx / 2, by / 2, level + 1) : nullptr;
  for (int y = by; y < ey; y += 2)
    for (int x = bx; x < ex; x += 2) {
      uint8_t px[4][3] = {};
      const bool direct = dst && x + 1 < w && y + 1 < h;
      for (int i = 0; i < 4; ++i) {
        const int sx = x + i / 2, sy = y + i % 2;
        if (direct)
          r64_get_pixel(f, src, sx, sy, px[i]);
        else
          read_or_report(f, sx, sy, level, px[i]);
      }
      uint8_t mean[3];
      for (int c = 0; c < k; ++c) mean[c] = static_cast<uint8_t>((px[0][c] + px[1][c] + px[2][c] + px[3][c]) / 4);
      if (dst)
        r64_put_pixel(f, dst, x / 2, y / 2, mean);
      else
        r64_set(f, x / 2, y / 2, level + 1, mean);
    }
}

// The 8 x 8 pixels with top left (x, y), through the rule where the
// window leaves the level or its block.
void read_window(R64_FILE* f, int level, int x, int y, uint8_t (*px)[kSpan][3]) {
  const bool one_block = x >= 0 && y >= 0 && x + kSpan <= f->level_w[level] && y + kSpan <= f->level_h[level] &&
                         x / kR64Block == (x + kSpan - 1) / kR64Block && y / kR64Block == (y + kSpan - 1) / kR64Block;
  R64_CACHE_ENT* e = one_block ? r64_block(f, x, y, level) : nullptr;
  for (int yy = 0; yy < kSpan; ++yy)
    for (int xx = 0; xx < kSpan; ++xx) {
      if (e)
        r64_get_pixel(f, e, x + xx, y + yy, px[yy][xx]);
      else if (r64_red(px[yy][xx], f, x + xx, y + yy, level) != 0)
        px[yy][xx][0] = px[yy][xx][1] = px[yy][xx][2] = 0;
    }
}

// Cuts one windowed channel block to its lowest frequencies (rows and
// columns 0, 1, 6, 7 of the 8-point spectrum, moved to 0..3) and brings
// them back as 4 x 4 pixels in the real parts of a[0..3][0..3].
void half_band(COMPLEX (*a)[kSpan]) {
  constexpr int kept[kKeep] = {0, 1, 6, 7};
  for (int r = 0; r < kSpan; ++r) small_fft<3>(a[r], 1, -1, 1.0 / kSpan);
  for (int c : kept) small_fft<3>(&a[0][c], kSpan, -1, 1.0 / kSpan);
  for (int i = 2; i < kKeep; ++i)
    for (int c : kept) a[i][c] = a[kept[i]][c];
  for (int i = 2; i < kKeep; ++i)
    for (int r = 0; r < kKeep; ++r) a[r][i] = a[r][kept[i]];
  for (int r = 0; r < kKeep; ++r) small_fft<2>(a[r], 1, 1, 1.0);
  for (int c = 0; c < kKeep; ++c) small_fft<2>(&a[0][c], kSpan, 1, 1.0);
}

// The accumulation rows of the filter: per channel 4 rows of `line`
// values, destination column m at index m + kPad.
struct Accumulator {
  int channels, line;
  std::vector<double> v;
  Accumulator(int k, int dest_w) : channels(k), line(dest_w / 4 * 4 + 12), v(size_t(k) * 4 * size_t(line)) {}
  double* row(int ch, int r) { return &v[(size_t(ch) * 4 + size_t(r)) * size_t(line)]; }

  // Writes rows 0 and 1 as destination rows dy and dy + 1, then moves
  // rows 2 and 3 up and clears them.
  void emit(R64_FILE* f, int level, int dy) {
    const int dw = f->level_w[level], dh = f->level_h[level];
    for (int r = 0; r < 2; ++r) {
      if (dy + r < 0 || dy + r >= dh) continue;
      for (int m = 0; m < dw; ++m) {
        uint8_t px[3] = {};
        for (int ch = 0; ch < channels; ++ch)
          px[ch] = static_cast<uint8_t>(std::clamp(row(ch, r)[m + kPad], 0.0, 255.0));
        r64_set(f, m, dy + r, level, px);
      }
    }
    for (int ch = 0; ch < channels; ++ch)
      for (int r = 0; r < 2; ++r) {
        std::copy_n(row(ch, r + 2), line, row(ch, r));
        std::fill_n(row(ch, r + 2), line, 0.0);
      }
  }
};

}  // namespace

int r64_new_level(R64_FILE* f, int level) { return r64_new_level_lofi(f, level); }

int r64_new_level_lofi(R64_FILE* f, int level) {
  if (check_levels(f, level) != 0) return -1;
  const int w = f->level_w[level], h = f->level_h[level];
  const int total = static_cast<int>((int64_t{w} * h) >> 12);
  int left = total;
  for (int by = 0; by < h; by += kR64Block)
    for (int bx = 0; bx < w; bx += kR64Block) {
      std::fprintf(stderr, "total = %i/%i  \r", left--, total);
      lofi_area(f, level, bx, by);
    }
  std::fputs("\n", stderr);
  return 0;
}

int r64_new_level_hifi(R64_FILE* f, int level) {
  if (check_levels(f, level) != 0) return -1;
  const int w = f->level_w[level], h = f->level_h[level], k = r64_pixel_bytes(f);
  Accumulator acc(k, f->level_w[level + 1]);
  uint8_t px[kSpan][kSpan][3];
  COMPLEX a[kSpan][kSpan];
  for (int y = -kStep; y < h; y += kStep) {
    std::fprintf(stderr, "h = %i/%i   \r", y, h);
    for (int x = -kStep; x < w; x += kStep) {
      read_window(f, level, x, y, px);
      for (int ch = 0; ch < k; ++ch) {
        for (int yy = 0; yy < kSpan; ++yy)
          for (int xx = 0; xx < kSpan; ++xx) a[yy][xx] = {0, window_fn(xx, yy) * px[yy][xx][ch]};
        half_band(a);
        for (int r = 0; r < kKeep; ++r) {
          double* out = acc.row(ch, r) + x / 2 + kPad;
          for (int c = 0; c < kKeep; ++c) out[c] += a[r][c].re;
        }
      }
    }
    acc.emit(f, level + 1, y / 2);
  }
  std::fputs("\n", stderr);
  return 0;
}
