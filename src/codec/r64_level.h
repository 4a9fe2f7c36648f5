// The coarser levels of an R64 file, built from the level below: a plain
// 2 x 2 average, or a half-band filter that cuts 8 x 8 blocks, weighted by
// a Hann window and overlapping by half, down to 4 x 4 in the frequency
// domain and adds the results. With them the complex arithmetic and the
// radix-2 fast Fourier transform the filter uses.
//
// The twiddle tables are per thread and the window is constant, so
// transforms may run in several threads; building a level works on one
// file record, which is for one thread at a time.
#pragma once

#include "codec/r64.h"

// Imaginary part first: the order of the system's complex numbers.
struct COMPLEX {
  double im;
  double re;
};

COMPLEX addc(COMPLEX a, COMPLEX b);
COMPLEX subc(COMPLEX a, COMPLEX b);
COMPLEX mulc(COMPLEX a, COMPLEX b);
COMPLEX minus(COMPLEX a);
// The low `bits` bits of value in reverse order.
int upsidedown(int value, int bits);

// The twiddle table w[k] = cos(2 pi k / n) + i s sin(2 pi k / n) of the
// calling thread, rebuilt only when n or s differs from the last call.
const COMPLEX* new_w_list(int n, int s);

// The transform of the 2^b values of data with sign s (-1 forward, +1
// inverse), unscaled, in a new array from malloc (the caller frees it);
// data is left as it was. Null for b outside 0..24 or no memory.
COMPLEX* _fastft(const COMPLEX* data, int b, int s);
// Forward transform divided by 2^b.
COMPLEX* fastft(const COMPLEX* data, int b);
// Inverse transform, unscaled.
COMPLEX* fastdft(const COMPLEX* data, int b);

// The weight of the 8 x 8 window at (x, y), 0..7 each:
// (1 - cos(2 pi x / 8)) (1 - cos(2 pi y / 8)) / 4.
double window_fn(int x, int y);

// Writes "a" and one line per element (index, imaginary and real part) on
// the standard error stream.
void print_all(const COMPLEX* a, int n);

// Writes level + 1 from level; the plain form. 0, or -1 with r64_error -9
// when level is not held whole or level + 1 is absent.
int r64_new_level(R64_FILE* f, int level);
// Each destination pixel is the truncated mean of its 2 x 2 source pixels
// (positions outside the level follow the file's rule); a bilevel pixel is
// set when any of its four is.
int r64_new_level_lofi(R64_FILE* f, int level);
// The windowed half-band filter: 8 x 8 blocks every 4 pixels from -4
// (the rule supplies what lies outside), each weighted by window_fn, cut
// to the frequencies 0, 1, 6, 7 of both axes of its 8-point spectrum
// (fastft) and brought back as 4 x 4 (fastdft); the overlapping results
// add up, truncated and limited to 0..255.
int r64_new_level_hifi(R64_FILE* f, int level);
