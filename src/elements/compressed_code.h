// The compressed signed 64-bit integer of matrix files and block formats:
// big-endian, the shortest of
//   2 bytes, prefix 0,    15-bit two's-complement payload
//   4 bytes, prefix 10,   30 bits
//   6 bytes, prefix 110,  45 bits
//   8 bytes, prefix 1110, 60 bits
//   9 bytes, 0xF0 followed by the 8-byte value.
// The bytes 0xF1 and 0xF2 never begin a value: they end dimension codes and
// child lists.
#pragma once

#include <cstdint>

constexpr int kCompressedCodeMax = 9;  // bytes of the longest form

// Writes v at ptr (room for kCompressedCodeMax bytes) and returns the end.
uint8_t* get_compressed_code64(uint8_t* ptr, int64_t v);
// Reads a value at ptr into *retp and returns the position after it. The
// bytes are trusted: use get_uncompressed_code64_bounded for outside data.
const uint8_t* get_uncompressed_code64(int64_t* retp, const uint8_t* ptr);
// As get_uncompressed_code64, reading nothing at or past `end`: null when
// the value would pass `end` or the first byte cannot begin a value
// (0xF1..0xFF).
const uint8_t* get_uncompressed_code64_bounded(int64_t* retp, const uint8_t* ptr, const uint8_t* end);
// Bytes get_compressed_code64 writes for v.
int compressed_code64_length(int64_t v);
