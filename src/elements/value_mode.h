// Value modes of the pyramid operations, saturation into element types and
// the brightness curve that stores an 8-bit difference (-255..255) in one
// unsigned byte: small differences exact, large ones compressed.
//
// The curve tables are built once by init_element_types (or by the first
// use, behind a one-time guard) and never change afterwards; readers need
// no lock.
#pragma once

#include <atomic>
#include <cstdint>

// The `opt` argument.
constexpr int MX_MODE_NONE = 0;   // saturate
constexpr int MX_MODE_TRUNC = 1;  // "TRUNC": as MX_MODE_NONE
constexpr int MX_MODE_CURVE = 2;  // "CURVE": uint8 targets through the inverse curve

// org clamped to a signed integer of size bits (8, 16 or 32).
int64_t signed_convert(int64_t org, int size);
// With opt 2, org becomes __short2uchar of its low 16 bits (as int16);
// then clamped to 0 .. 2^size - 1. Another opt is a broken invariant.
int64_t unsigned_convert(int64_t org, int size, int opt);
// Stores org into the element at dest by the low four bits of `type`:
// saturated for 8-32-bit integers (uint8 by `opt`), all 64 bits for int64
// and uint64, converted for float and double, 0/1 for bit; nothing for
// codes 0 and 12-15.
void round_int(int type, void* dest, int64_t org, int opt);

// The curve: entry u = rint(v^3 / 127.5^2 + v), v = u - 127.5.
extern int16_t __uchar2short_tbl[256];
// Its inverse at index s + 255 (s = -255..255); values the curve skips take
// the entry of the next smaller s.
extern uint8_t __short2uchar_tbl[511];
// Set once both tables are built.
extern std::atomic<int> tbl_flag;
int16_t __uchar2short(uint8_t u);
uint8_t __short2uchar(int s);
// Builds both tables (once; later calls do nothing).
void __short2uchar_tbl_setup();
