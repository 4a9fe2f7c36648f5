// Wide characters. Values below 0x80000000 are Unicode scalar values; the
// high-bit ranges are tagged legacy codes and encoding identifiers.
#pragma once

#include <cstdint>

using L_CHAR = uint32_t;
