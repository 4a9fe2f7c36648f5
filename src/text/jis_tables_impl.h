// Mapping tables between the JIS character sets and Unicode, built once from
// the C library's iconv(3) by walking the JIS code space, on first use. Used
// by the EUC-JP, Shift_JIS and ISO-2022-JP code methods only.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "text/lchar.h"

namespace jis {

enum Set : uint32_t { kNone = 0, k0208 = 1, k0212 = 2, kKana = 3, kRoman = 4 };

struct Tables {
  // Index (row - 0x21) * 94 + (col - 0x21); Unicode or a tagged code.
  L_CHAR x0208[94 * 94];
  L_CHAR x0212[94 * 94];
  L_CHAR kana[63];     // bytes 0xA1-0xDF
  L_CHAR roman[128];   // JIS X 0201 Roman (ISO-2022-JP "ESC ( J")
  // Unicode -> (set << 16) | code, where code is the EUC form (0xA1A1-0xFEFE)
  // for the double-byte sets and the byte for kana and Roman; 0 = none.
  uint32_t rev_bmp[0x10000];
  std::vector<std::pair<L_CHAR, uint32_t>> rev_astral;  // sorted by code
};

// Builds the tables once (thread-safe; the first caller builds, the others
// wait) and publishes them in built_tables.
const Tables& build_tables();
// The tables once built, else null. Building them walks the JIS code
// space through iconv, which costs far more than a short run of the
// program: nothing builds them before a Japanese encoding meets a
// character outside ASCII.
extern std::atomic<const Tables*> built_tables;

// The tables, built on first use.
inline const Tables& tables() {
  const Tables* t = built_tables.load(std::memory_order_acquire);
  return t ? *t : build_tables();
}

uint32_t lookup_astral(const Tables& t, L_CHAR c);

// Where code lives in the JIS sets: (set << 16) | code as in rev_bmp, or 0.
// Tagged JIS codes map to themselves; ASCII is not looked up here.
inline uint32_t lookup(const Tables& t, L_CHAR c) {
  if (c < 0x10000) return t.rev_bmp[c];
  uint32_t hi = c & 0xFFFF0000u;
  if (hi == LC_JISX0208 || hi == LC_JISX0212) {
    uint32_t b1 = (c >> 8) & 0xFF, b2 = c & 0xFF;
    if (b1 < 0xA1 || b1 > 0xFE || b2 < 0xA1 || b2 > 0xFE) return 0;
    return ((hi == LC_JISX0208 ? k0208 : k0212) << 16) | (c & 0xFFFF);
  }
  if ((c & 0xFFFFFF00u) == LC_KANA) {
    uint32_t b = c & 0xFF;
    return b >= 0xA1 && b <= 0xDF ? (kKana << 16) | b : 0;
  }
  return lookup_astral(t, c);
}

}  // namespace jis
