#include "elements/value_mode.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "base/panic.h"

int16_t __uchar2short_tbl[256];
uint8_t __short2uchar_tbl[511];
std::atomic<int> tbl_flag{0};

void __short2uchar_tbl_setup() {
  static std::once_flag once;
  std::call_once(once, [] {
    bool present[511] = {};
    constexpr double kCoefficient = 1.0 / (127.5 * 127.5);
    for (int u = 0; u < 256; ++u) {
      double v = u - 127.5;
      auto c = static_cast<int16_t>(std::rint(v * v * v * kCoefficient + v));
      __uchar2short_tbl[u] = c;
      __short2uchar_tbl[c + 255] = static_cast<uint8_t>(u);
      present[c + 255] = true;
    }
    uint8_t last = 0;
    for (int i = 0; i < 511; ++i) {
      if (present[i]) last = __short2uchar_tbl[i];
      else __short2uchar_tbl[i] = last;
    }
    tbl_flag.store(1, std::memory_order_release);
  });
}

int16_t __uchar2short(uint8_t u) {
  if (!tbl_flag.load(std::memory_order_acquire)) __short2uchar_tbl_setup();
  return __uchar2short_tbl[u];
}

uint8_t __short2uchar(int s) {
  if (!tbl_flag.load(std::memory_order_acquire)) __short2uchar_tbl_setup();
  if (s > 255) return 255;
  if (s < -255) return 0;
  return __short2uchar_tbl[s + 255];
}

int64_t signed_convert(int64_t org, int size) {
  int64_t hi = (int64_t{1} << (size - 1)) - 1, lo = -(int64_t{1} << (size - 1));
  return org > hi ? hi : org < lo ? lo : org;
}

int64_t unsigned_convert(int64_t org, int size, int opt) {
  if (opt < 0 || opt > 2) er_panic("unsigned_convert");
  if (opt == MX_MODE_CURVE) org = __short2uchar(static_cast<int16_t>(static_cast<uint16_t>(org)));
  int64_t hi = (int64_t{1} << size) - 1;
  return org > hi ? hi : org < 0 ? 0 : org;
}

namespace {

template <class T>
void put(void* dest, T v) {
  std::memcpy(dest, &v, sizeof v);
}

}  // namespace

void round_int(int type, void* dest, int64_t org, int opt) {
  switch (type & 15) {
    case 1: put<uint8_t>(dest, org != 0); break;
    case 2: put(dest, static_cast<int8_t>(signed_convert(org, 8))); break;
    case 3: put(dest, static_cast<int16_t>(signed_convert(org, 16))); break;
    case 4: put(dest, static_cast<int32_t>(signed_convert(org, 32))); break;
    case 5:
    case 9: put(dest, org); break;
    case 6: put(dest, static_cast<uint8_t>(unsigned_convert(org, 8, opt))); break;
    case 7: put(dest, static_cast<uint16_t>(unsigned_convert(org, 16, 0))); break;
    case 8: put(dest, static_cast<uint32_t>(unsigned_convert(org, 32, 0))); break;
    case 10: put(dest, static_cast<float>(org)); break;
    case 11: put(dest, static_cast<double>(org)); break;
    default: break;  // rgb8, block, string, sexp: the callers handle them
  }
}
