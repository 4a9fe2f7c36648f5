// Building the next coarser level of an R64 file: the plain 2 x 2 mean
// and the windowed half-band filter.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/r64_impl.h"
#include "codec/r64_level.h"

namespace {

constexpr int kStep = 4;   // the filter's windows start every 4 pixels
constexpr int kSpan = 8;   // and are 8 pixels wide
constexpr int kKeep = 4;   // frequencies kept per axis: 0, 1, 6 and 7
constexpr int kPad = 2;    // accumulation index of destination column 0
// A sum that is an integer in exact arithmetic may come out a hair below
// it; truncation takes it as that integer.
constexpr double kSlack = 1e-6;

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

// The 8 rows of level from y, columns -4 .. w + 3 at index column + 4, 3
// bytes a pixel: whole block rows from the cache, positions outside the
// level through the file's rule, a failed read as zeros.
void read_band(R64_FILE* f, int level, int y, int cols, uint8_t* band) {
  const int w = f->level_w[level], h = f->level_h[level];
  for (int yy = 0; yy < kSpan; ++yy) {
    uint8_t* row = band + size_t(yy) * size_t(cols) * 3;
    const int sy = y + yy;
    for (int i = 0; i < cols;) {
      const int sx = i - kStep;
      R64_CACHE_ENT* e = sy >= 0 && sy < h && sx >= 0 && sx < w ? r64_block(f, sx, sy, level) : nullptr;
      if (e) {
        for (const int end = e->w_ofs + e->w_len; i - kStep < end; ++i) r64_get_pixel(f, e, i - kStep, sy, row + 3 * i);
        continue;
      }
      if (r64_red(row + 3 * i, f, sx, sy, level) != 0) std::fill_n(row + 3 * i, 3, 0);
      ++i;
    }
  }
}

// The filter along one axis as a 4 x 8 complex matrix: the window, the
// 8-point transform, the frequencies 0, 1, 6, 7 moved to 0..3 and the
// 4-point inverse, taken from the transforms' response to each unit
// sample. Both axes use it: a block's 4 x 4 result is the real part of
// A X A^T, that is Ar X Ar^T - Ai X Ai^T.
struct HalfBand {
  double re[kKeep][kSpan];
  double im[kKeep][kSpan];
};

const HalfBand& half_band() {
  static const HalfBand m = [] {
    HalfBand m{};
    constexpr int kept[kKeep] = {0, 1, 6, 7};
    for (int j = 0; j < kSpan; ++j) {
      COMPLEX v[kSpan] = {};
      v[j] = {0, window_fn(j, 4)};  // the window along one axis: its value at the other's centre is 1
      COMPLEX* spectrum = fastft(v, 3);
      COMPLEX u[kKeep];
      for (int i = 0; i < kKeep; ++i) u[i] = spectrum[kept[i]];
      COMPLEX* back = fastdft(u, 2);
      for (int r = 0; r < kKeep; ++r) m.re[r][j] = back[r].re, m.im[r][j] = back[r].im;
      std::free(spectrum);
      std::free(back);
    }
    return m;
  }();
  return m;
}

// One channel of a band through the filter, added into the accumulation
// rows. The vertical half of A X A^T is done once per column and shared
// by the two blocks that overlap there.
void filter_band(const HalfBand& m, const uint8_t* band, int cols, int ch, std::vector<double>& t, double* out,
                 size_t stride) {
  for (int i = 0; i < cols; ++i) {
    double* ti = &t[size_t(i) * 2 * kKeep];
    for (int r = 0; r < kKeep; ++r) {
      double re = 0, im = 0;
      for (int yy = 0; yy < kSpan; ++yy) {
        const double v = band[(size_t(yy) * size_t(cols) + size_t(i)) * 3 + size_t(ch)];
        re += m.re[r][yy] * v;
        im += m.im[r][yy] * v;
      }
      ti[r] = re, ti[kKeep + r] = im;
    }
  }
  for (int i0 = 0; i0 + kSpan <= cols; i0 += kStep, out += kStep / 2)
    for (int r = 0; r < kKeep; ++r)
      for (int c = 0; c < kKeep; ++c) {
        double v = 0;
        for (int xx = 0; xx < kSpan; ++xx) {
          const double* ti = &t[size_t(i0 + xx) * 2 * kKeep];
          v += ti[r] * m.re[c][xx] - ti[kKeep + r] * m.im[c][xx];
        }
        out[size_t(r) * stride + size_t(c)] += v;
      }
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
          px[ch] = static_cast<uint8_t>(std::clamp(row(ch, r)[m + kPad] + kSlack, 0.0, 255.0));
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
  // Blocks start every 4 columns from -4; the last one starts below w.
  const int cols = ((w + kStep - 1) / kStep) * kStep + kSpan;
  Accumulator acc(k, f->level_w[level + 1]);
  const HalfBand& m = half_band();
  std::vector<uint8_t> band(size_t(cols) * kSpan * 3);
  std::vector<double> t(size_t(cols) * 2 * kKeep);
  for (int y = -kStep; y < h; y += kStep) {
    std::fprintf(stderr, "h = %i/%i   \r", y, h);
    read_band(f, level, y, cols, band.data());
    for (int ch = 0; ch < k; ++ch) filter_band(m, band.data(), cols, ch, t, acc.row(ch, 0), size_t(acc.line));
    acc.emit(f, level + 1, y / 2);
  }
  std::fputs("\n", stderr);
  return 0;
}
