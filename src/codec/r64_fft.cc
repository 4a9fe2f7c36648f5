// Complex arithmetic and the radix-2 fast Fourier transform.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/r64_level.h"

namespace {

constexpr double kS = M_SQRT1_2;

// The twiddles of the 8-point transform, w[k] = exp(s 2 pi i k / 8), for
// s = -1 ([0]) and s = +1 ([1]); an n-point transform takes every
// (8 / n)-th entry.
constexpr COMPLEX kW8[2][8] = {
    {{0, 1}, {-kS, kS}, {-1, 0}, {-kS, -kS}, {0, -1}, {kS, -kS}, {1, 0}, {kS, kS}},
    {{0, 1}, {kS, kS}, {1, 0}, {kS, -kS}, {0, -1}, {-kS, -kS}, {-1, 0}, {-kS, kS}},
};

// The separable factor of the window: (1 - cos(2 pi x / 8)) / 2.
constexpr double kHann[8] = {0, (1 - kS) / 2, 0.5, (1 + kS) / 2, 1, (1 + kS) / 2, 0.5, (1 - kS) / 2};

struct TwiddleTable {
  std::vector<COMPLEX> w;
  int sign = 0;
};
thread_local TwiddleTable w_list;

// The radix-2 butterflies over a, already in bit-reversed order; the
// twiddle of index k of an n-point table is w[k * wstep].
void butterflies(COMPLEX* a, int n, const COMPLEX* w, int wstep) {
  for (int half = 1, stride = n / 2; half < n; half *= 2, stride /= 2)
    for (int j = 0; j < n; j += 2 * half)
      for (int k = 0; k < half; ++k) {
        const COMPLEX t = mulc(a[j + k + half], w[k * stride * wstep]);
        a[j + k + half] = subc(a[j + k], t);
        a[j + k] = addc(a[j + k], t);
      }
}

}  // namespace

COMPLEX addc(COMPLEX a, COMPLEX b) { return {a.im + b.im, a.re + b.re}; }
COMPLEX subc(COMPLEX a, COMPLEX b) { return {a.im - b.im, a.re - b.re}; }
COMPLEX mulc(COMPLEX a, COMPLEX b) { return {a.re * b.im + a.im * b.re, a.re * b.re - a.im * b.im}; }
COMPLEX minus(COMPLEX a) { return {-a.im, -a.re}; }

int upsidedown(int value, int bits) {
  int r = 0;
  for (int i = 0; i < bits; ++i, value >>= 1) r = (r << 1) | (value & 1);
  return r;
}

const COMPLEX* new_w_list(int n, int s) {
  if (static_cast<int>(w_list.w.size()) != n || w_list.sign != s) {
    w_list.w.resize(static_cast<size_t>(n));
    w_list.sign = s;
    for (int k = 0; k < n; ++k) {
      const double a = 2 * M_PI * k / n;
      w_list.w[static_cast<size_t>(k)] = {s * std::sin(a), std::cos(a)};
    }
  }
  return w_list.w.data();
}

COMPLEX* _fastft(const COMPLEX* data, int b, int s) {
  if (b < 0 || b > 24) return nullptr;
  const int n = 1 << b;
  auto* a = static_cast<COMPLEX*>(std::malloc(sizeof(COMPLEX) * static_cast<size_t>(n)));
  if (!a) return nullptr;
  for (int k = 0; k < n; ++k) a[upsidedown(k, b)] = data[k];
  if (n <= 8)
    butterflies(a, n, kW8[s > 0], 8 / n);
  else
    butterflies(a, n, new_w_list(n, s), 1);
  return a;
}

COMPLEX* fastft(const COMPLEX* data, int b) {
  COMPLEX* a = _fastft(data, b, -1);
  if (!a) return nullptr;
  const double scale = 1.0 / (1 << b);
  for (int k = 0; k < (1 << b); ++k) a[k] = {a[k].im * scale, a[k].re * scale};
  return a;
}

COMPLEX* fastdft(const COMPLEX* data, int b) { return _fastft(data, b, 1); }

double window_fn(int x, int y) { return kHann[x & 7] * kHann[y & 7]; }

void print_all(const COMPLEX* a, int n) {
  std::fputs("a\n", stderr);
  for (int i = 0; i < n; ++i) std::fprintf(stderr, "\t%i (%f, %f)\n", i, a[i].im, a[i].re);
}
