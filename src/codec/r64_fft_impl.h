// The fixed-size transforms of the level filter: in place, over n = 2^B
// values spaced `stride` apart, multiplied by scale; no allocation.
// Folder-internal.
#pragma once

#include <cstddef>

#include "codec/r64_level.h"

// B = 2 or 3 (4 or 8 points); s -1 forward, +1 inverse.
template <int B>
void small_fft(COMPLEX* a, ptrdiff_t stride, int s, double scale);
