#include "elements/compressed_code.h"

namespace {

struct Form {
  int bytes;
  int bits;         // payload bits
  uint8_t prefix;   // prefix bits in the first byte
};
// Form 5 (0xF0 and 8 bytes) is handled apart.
constexpr Form kForms[] = {{2, 15, 0x00}, {4, 30, 0x80}, {6, 45, 0xC0}, {8, 60, 0xE0}};

bool fits(int64_t v, int bits) {
  int64_t lim = int64_t{1} << (bits - 1);
  return v >= -lim && v < lim;
}

int64_t sign_extend(uint64_t payload, int bits) {
  uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int64_t>((payload ^ sign) - sign);
}

// The form a first byte announces: 0..3 above, 4 for 0xF0, -1 for a byte
// that cannot begin a value.
int form_of(uint8_t b) {
  if (b == 0xF0) return 4;
  if ((b & 0xF0) == 0xF0) return -1;
  if ((b & 0xF0) == 0xE0) return 3;
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xC0) == 0x80) return 1;
  return 0;
}

const uint8_t* decode(int64_t* retp, const uint8_t* p, int form) {
  uint64_t raw = 0;
  if (form == 4) {
    for (int i = 1; i <= 8; ++i) raw = raw << 8 | p[i];
    *retp = static_cast<int64_t>(raw);
    return p + 9;
  }
  const Form& f = kForms[form];
  for (int i = 0; i < f.bytes; ++i) raw = raw << 8 | p[i];
  raw &= (uint64_t{1} << f.bits) - 1;
  *retp = sign_extend(raw, f.bits);
  return p + f.bytes;
}

}  // namespace

int compressed_code64_length(int64_t v) {
  for (const Form& f : kForms)
    if (fits(v, f.bits)) return f.bytes;
  return 9;
}

uint8_t* get_compressed_code64(uint8_t* ptr, int64_t v) {
  for (const Form& f : kForms) {
    if (!fits(v, f.bits)) continue;
    auto u = static_cast<uint64_t>(v) & ((uint64_t{1} << f.bits) - 1);
    for (int i = f.bytes - 1; i >= 0; --i, u >>= 8) ptr[i] = static_cast<uint8_t>(u);
    ptr[0] |= f.prefix;
    return ptr + f.bytes;
  }
  ptr[0] = 0xF0;
  auto u = static_cast<uint64_t>(v);
  for (int i = 8; i >= 1; --i, u >>= 8) ptr[i] = static_cast<uint8_t>(u);
  return ptr + 9;
}

const uint8_t* get_uncompressed_code64(int64_t* retp, const uint8_t* ptr) {
  int form = form_of(ptr[0]);
  return decode(retp, ptr, form < 0 ? 0 : form);
}

const uint8_t* get_uncompressed_code64_bounded(int64_t* retp, const uint8_t* ptr, const uint8_t* end) {
  if (!ptr || ptr >= end) return nullptr;
  int form = form_of(ptr[0]);
  if (form < 0) return nullptr;
  int64_t need = form == 4 ? 9 : kForms[form].bytes;
  if (end - ptr < need) return nullptr;
  return decode(retp, ptr, form);
}
