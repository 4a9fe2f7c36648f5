#include "base/endian.h"

char endian_flag = 1;

void init_endian() {
  const uint16_t probe = 1;
  uint8_t first;
  std::memcpy(&first, &probe, 1);
  endian_flag = first == 1 ? 1 : 0;
}

namespace {
// Detect before main so that code running in static initialisers (and tests
// that never call the start-up sequence) see the right value.
struct EndianInit {
  EndianInit() { init_endian(); }
} endian_init;
}  // namespace
