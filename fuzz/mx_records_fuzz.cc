// Fuzz target: every reader of the matrix file's byte forms. The first byte
// picks the reader, the second its parameters (the matrix's dim, flags and
// child bit field); the rest is the input. Nothing may read past the bytes,
// crash, stop the process or leak, and what a reader accepts must write back
// to bytes that read back the same.
#include <cstdint>
#include <cstring>
#include <span>

#include "elements/element_type.h"
#include "matrix/dim_code.h"
#include "matrix/mx_format.h"

namespace {

using Span = std::span<const uint8_t>;

// Reads must stop inside `in`: callers hand them exact spans, and ASan
// flags any byte beyond.
void compressed_values(Span in) {
  const uint8_t* p = in.data();
  const uint8_t* end = p + in.size();
  int64_t v = 0;
  while ((p = get_uncompressed_code64_bounded(&v, p, end))) {
    uint8_t buf[kCompressedCodeMax];
    int64_t back = 0;
    const uint8_t* e = get_compressed_code64(buf, v);
    if (get_uncompressed_code64_bounded(&back, buf, e) != e || back != v) __builtin_trap();
  }
}

void dim_codes(Span in) {
  const uint8_t* p = in.data();
  const uint8_t* end = p + in.size();
  while (p < end) {
    int dim = get_dim_code_dimension(p, end);
    int64_t dc[1 + kMxMaxDim];
    const uint8_t* next = get_uncompressed_dim_code(dc, 1 + kMxMaxDim, p, end);
    if (dim >= 0 && dim <= kMxMaxDim && !next) __builtin_trap();
    if (!next) return;
    if (dim < 0) {  // a code without a value: only its 0xF1
      if (*p != kMxDimCodeEnd) __builtin_trap();
      p = next;
      continue;
    }
    uint8_t buf[kMxDimCodeMaxBytes];
    uint8_t* e = get_compressed_dim_code(buf, dc, dim);
    int64_t again[1 + kMxMaxDim];
    if (get_uncompressed_dim_code(again, dim + 1, buf, e) != e || std::memcmp(again, dc, 8 * (dim + 1)) != 0)
      __builtin_trap();
    p = next;
  }
}

void header(Span in) {
  PN64_MX_HEADER h{};
  if (mx_header_decode(in, &h) != 0) return;
  static _PN64_MX_CHANNEL_INFO ch[kMxMaxChannels];
  for (int i = 0; i < h.channel_nos; ++i) {
    ch[i] = mx_header_channel(&h, i);
    mx_channel_info_of(ch[i]);
  }
  static uint8_t out[16 + 32 + 2 * kMxMaxDim + kCompressedCodeMax * kMxMaxDim + 12 * kMxMaxChannels];
  int64_t n = mx_header_encode(out, &h, ch);
  if (n < 0 || n > static_cast<int64_t>(in.size()) + 16) __builtin_trap();
  PN64_MX_HEADER again{};
  if (mx_header_decode(Span(out + 16, static_cast<size_t>(n - 16)), &again) != 0) __builtin_trap();
  if (std::memcmp(again.pixel_size, h.pixel_size, 8 * h.dim) != 0 || again.channel_nos != h.channel_nos)
    __builtin_trap();
}

void fixed_records(Span in) {
  PN64_MX_SUBHEADER s{};
  if (mx_subheader_decode(in, &s) == 0) {
    uint8_t out[sizeof s];
    if (mx_subheader_encode(out, &s) != sizeof s || std::memcmp(out + 16, in.data(), in.size()) != 0)
      __builtin_trap();
  }
  PN64_MX_CACHE_RING r{};
  if (mx_cache_ring_decode(in, &r) == 0) {
    uint8_t out[sizeof r];
    if (mx_cache_ring_encode(out, &r) != sizeof r || std::memcmp(out + 16, in.data(), in.size()) != 0)
      __builtin_trap();
  }
}

void data_records(Span in) {
  for (int code = 0; code < MX_TYPE_TABLE_SIZE; ++code) {
    int64_t n = mx_data_1_datum_size(get_matrix_data_type(code), in);
    if (n > static_cast<int64_t>(in.size())) __builtin_trap();
  }
  PN64_MX_DATA_2 d{};
  if (mx_data_2_decode(in, &d) == 0 && d.data.data() + d.data.size() != in.data() + in.size()) __builtin_trap();
}

struct Geometry {
  explicit Geometry(uint8_t param) {
    g.dim = 1 + param % kMxMaxDim;
    g.total_levels = 1 + param / 4;
    g.dim_divide = dd;
    g.block_size = bs;
  }
  uint8_t dd[kMxMaxDim] = {};
  uint8_t bs[kMxMaxDim] = {};
  MATRIX_GEOMETRY g{};
};

void child_list(uint8_t param, Span in) {
  Geometry geo(param);
  size_t pos = 0;
  int64_t dc[1 + kMxMaxDim];
  int r;
  while ((r = mx_dim_addr_next(&geo.g, in, &pos, dc)) == 1)
    if (pos > in.size()) __builtin_trap();
}

void node(uint8_t param, Span in) {
  Geometry geo(param);
  static const int kBitFields[] = {0, 1, 2, 1024};
  for (int flags : {0, kMxCacheFile})
    for (int bits : kBitFields) {
      PN64_MX_NODE n{};
      if (mx_node_decode(in, &geo.g, flags, bits, &n) != 0) continue;
      static uint8_t out[16 + 24 + kMxDimCodeMaxBytes + 1024];
      int64_t size = mx_node_encode(out, flags, bits, &n, geo.g.dim, n.bit_field);
      PN64_MX_NODE again{};
      if (size < 0 || mx_node_decode(Span(out + 16, static_cast<size_t>(size - 16)), &geo.g, flags, bits, &again))
        __builtin_trap();
      if (std::memcmp(again.dim_code, n.dim_code, 8 * (geo.g.dim + 1)) != 0) __builtin_trap();
    }
}

// Two keys of a 2-dimensional matrix, each led by its length byte.
void keys(Span in) {
  static uint8_t dd[2] = {1, 2}, bs[2] = {3, 4};
  static MATRIX m{};
  if (!m.p.dim) {
    m.p.dim = 2;
    m.dim_divide = dd;
    m.block_size = bs;
    m.total_levels = 8;
    m.geometry = MATRIX_GEOMETRY{2, 0, dd, bs, nullptr, 8};
  }
  MX_DIM_CODE k[2] = {};
  size_t at = 0;
  int64_t len[2] = {};
  for (int i = 0; i < 2; ++i) {
    if (at >= in.size()) return;
    size_t n = in[at++];
    if (n > in.size() - at || n > sizeof(MX_DIM_CODE)) return;
    std::memcpy(&k[i], in.data() + at, n);
    len[i] = static_cast<int64_t>(n);
    at += n;
  }
  bool valid = mx_dim_code_key_check(&m.geometry, &k[0], len[0]) == 0 &&
               mx_dim_code_key_check(&m.geometry, &k[1], len[1]) == 0;
  // The keys sit in whole MX_DIM_CODE records, so even a malformed one is
  // safe to compare: the order must be antisymmetric or report 2 both ways.
  int ab = mx_dim_code_cmp(&k[0], &k[1], &m), ba = mx_dim_code_cmp(&k[1], &k[0], &m);
  if (valid && (ab == 2 || ab != -ba)) __builtin_trap();
  if ((ab == 2) != (ba == 2)) __builtin_trap();
  mx_dim_code_endian(&k[0], len[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool types = (init_element_types(), true);
  (void)types;
  if (size < 2) return 0;
  Span in(data + 2, size - 2);
  switch (data[0] % 8) {
    case 0: compressed_values(in); break;
    case 1: dim_codes(in); break;
    case 2: header(in); break;
    case 3: fixed_records(in); break;
    case 4: data_records(in); break;
    case 5: child_list(data[1], in); break;
    case 6: node(data[1], in); break;
    default: keys(in); break;
  }
  return 0;
}
