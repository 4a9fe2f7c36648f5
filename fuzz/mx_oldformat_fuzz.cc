// Fuzz target: CR and R64 payloads built from the input. Bytes 0 and 1
// give the output's width and height (1..40 each), byte 2 the choices (a
// parent, R64 with RGB or grey pixels); then tiles follow, each x, y, px,
// py (signed bytes), a two-byte length and that many tile bytes whose first is
// mapped to the letter 'n', 'j' or another. Decoding must never read or
// write outside its inputs and output, crash, stop the process or leak,
// and every output element is uncovered or three 10-bit fields of 4 x an
// 8-bit value.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "elements/value.h"
#include "matrix/old_format.h"
#include "zu/core_init.h"
#include "zu/gc.h"

namespace {

ZU_SEXP* num(int64_t v) { return get_integer(v, nullptr); }

void* parent_vector(int32_t w, int32_t h, uint32_t fill) {
  int32_t ix[2] = {w, h};
  MATRIX_ALLOC_VECTOR_PARAM vp{2, ix, &fill, nullptr};
  return mx_type_uint32_v.alloc_data(&mx_type_uint32_v, MX_ATYPE::collector, &vp, nullptr, __FILE__, __LINE__);
}

void check(const void* v) {
  MATRIX_DH_SET dh;
  if (!v) return;
  if (!get_matrix_dh_set(&dh, v)) __builtin_trap();
  const auto* p = reinterpret_cast<const uint32_t*>(dh.offset);
  for (int64_t i = 0; i < dh.total_element; ++i) {
    uint32_t e = p[i];
    bool packed = (e >> 30) == 0 && (e & 0x3FF) <= 1020 && ((e >> 10) & 0x3FF) <= 1020 && ((e >> 20) & 0x3FF) <= 1020 &&
                  (e & 0x00300C03) == 0;
    if (e != kMxUncovered && !packed) __builtin_trap();
  }
}

// One input, decoded as the comment at the top says.
void decode(const uint8_t* data, size_t size) {
  const int w = 1 + data[0] % 40, h = 1 + data[1] % 40, flags = data[2];
  size_t at = 3;
  if (flags & 2) {
    ZU_SEXP* pixels = get_raw(data + at, static_cast<uint32_t>(size - at));
    check(uncompress_r64(List(num(w), num(h), get_string_ascii(flags & 4 ? "P" : "G"), pixels, ZU_LIST_END)));
    return;
  }
  ZU_SEXP *pos = nullptr, *tiles = nullptr;
  for (int n = 0; n < 16 && at + 6 <= size; ++n) {
    auto s = [&](size_t i) { return static_cast<int64_t>(static_cast<int8_t>(data[at + i])); };
    ZU_SEXP* p = List(num(s(0)), num(s(1)), num(s(2)), num(s(3)), ZU_LIST_END);
    size_t len = std::min<size_t>(size_t{data[at + 4]} << 8 | data[at + 5], size - at - 6);
    std::vector<uint8_t> tile(data + at + 6, data + at + 6 + len);
    if (!tile.empty()) tile[0] = "njx"[tile[0] % 3];
    at += 6 + len;
    pos = cons(p, pos);
    tiles = cons(get_raw(tile.data(), static_cast<uint32_t>(tile.size())), tiles);
  }
  const void* parent = flags & 1 ? parent_vector(1 + flags % 7, 1 + flags % 5, 0x3FCFF3FC & (flags * 0x01010101u)) : nullptr;
  check(uncompress_cr(nullptr, parent, List(num(w), num(h), pos, tiles, ZU_LIST_END)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = false;
  if (!started) {
    started = true;
    init_qnlisp();
    init_matrix();
  }
  if (size < 3) return 0;
  {
    ZuThreadScope scope("fuzz");
    decode(data, size);
  }
  // What the input made is freed before the next one, as in the reader
  // harnesses: the collector would free it only later, and libFuzzer's
  // memory limit and leak check count it meanwhile.
  gc_collect_now();
  return 0;
}
