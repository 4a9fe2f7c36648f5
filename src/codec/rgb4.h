// The four-byte colour of palettes and colour maps.
#pragma once

#include <cstdint>

struct RGB4 {
  uint8_t r;
  uint8_t g;
  uint8_t b;
  uint8_t x;  // alpha in GIF colour maps, 0 in JPEG palettes
};
