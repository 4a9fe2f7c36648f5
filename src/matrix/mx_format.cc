// The eight records of the matrix file, written into and read from byte
// spans.
#include "matrix/mx_format.h"

#include <cstring>

#include "base/endian.h"
#include "elements/value.h"
#include "matrix/matrix_impl.h"

namespace {

// A record under construction: the header, then fields appended in order.
// Every put fails quietly once the span is full; size() is -1 then.
class RecordWriter {
 public:
  RecordWriter(std::span<uint8_t> out, uint16_t type) : out_(out), pos_(16), ok_(out.size() >= 16), type_(type) {}
  void bytes(const void* p, size_t n) {
    if (!room(n)) return;
    if (n) std::memcpy(out_.data() + pos_, p, n);
    pos_ += n;
  }
  void u8(uint8_t v) { bytes(&v, 1); }
  void be16(uint16_t v) {
    if (room(2)) store_be16(out_.data() + pos_, v), pos_ += 2;
  }
  void be32(uint32_t v) {
    if (room(4)) store_be32(out_.data() + pos_, v), pos_ += 4;
  }
  void be64(uint64_t v) {
    if (room(8)) store_be64(out_.data() + pos_, v), pos_ += 8;
  }
  void code(int64_t v) {
    if (!room(compressed_code64_length(v))) return;
    pos_ = static_cast<size_t>(get_compressed_code64(out_.data() + pos_, v) - out_.data());
  }
  void dim_code(const int64_t* dc, int dim) {
    for (int i = 0; i <= dim; ++i) code(dc[i]);
    u8(kMxDimCodeEnd);
  }
  void fill_to(size_t body, uint8_t byte) {
    while (ok_ && pos_ < 16 + body) u8(byte);
  }
  // Writes the header and returns the record's size, or -1.
  int64_t finish() {
    if (!ok_) return -1;
    PN64_HEADER h{type_, {0, 0, 0}, pos_};
    change_endian_header64(&h);
    std::memcpy(out_.data(), &h, 16);
    return static_cast<int64_t>(pos_);
  }

 private:
  bool room(size_t n) {
    ok_ = ok_ && out_.size() - pos_ >= n;
    return ok_;
  }
  std::span<uint8_t> out_;
  size_t pos_;
  bool ok_;
  uint16_t type_;
};

// Bytes of a compressed dim code.
int64_t dim_code_bytes(const int64_t* dc, int dim) {
  int64_t n = 1;
  for (int i = 0; i <= dim; ++i) n += compressed_code64_length(dc[i]);
  return n;
}

void swap64(int64_t* v) { *v = static_cast<int64_t>(swap_if64(static_cast<uint64_t>(*v))); }
void swap32(int32_t* v) { *v = static_cast<int32_t>(swap_if32(static_cast<uint32_t>(*v))); }

}  // namespace

// ---- 0x600

int64_t mx_header_size(const PN64_MX_HEADER* h) {
  if (h->dim < 1 || h->dim > kMxMaxDim || h->channel_nos < 1 || h->channel_nos > kMxMaxChannels) return -1;
  int64_t n = 16 + 32 + 2 * h->dim;
  for (int d = 0; d < h->dim; ++d) n += compressed_code64_length(h->pixel_size[d]);
  return n + int64_t{kMxChannelInfoBytes} * h->channel_nos;
}

int64_t mx_header_encode(std::span<uint8_t> out, const PN64_MX_HEADER* h, const _PN64_MX_CHANNEL_INFO* ch) {
  if (mx_header_size(h) < 0) return -1;
  RecordWriter w(out, kMxHeaderType);
  w.be32(static_cast<uint32_t>(h->channel_nos));
  w.be32(static_cast<uint32_t>(h->dim));
  w.be32(static_cast<uint32_t>(h->flags));
  w.be32(static_cast<uint32_t>(h->total_levels));
  w.be64(static_cast<uint64_t>(h->modify_time));
  w.be64(static_cast<uint64_t>(h->subheader_fofs));
  w.bytes(h->dim_divide, h->dim);
  w.bytes(h->block_size, h->dim);
  for (int d = 0; d < h->dim; ++d) w.code(h->pixel_size[d]);
  for (int i = 0; i < h->channel_nos; ++i) {
    _PN64_MX_CHANNEL_INFO c = ch[i].data_type ? ch[i] : _PN64_MX_CHANNEL_INFO{};
    w.be16(static_cast<uint16_t>(c.data_type));
    w.be16(static_cast<uint16_t>(c.flags));
    w.be64(static_cast<uint64_t>(c.default_data_fofs));
  }
  return w.finish();
}

int mx_header_decode(std::span<const uint8_t> body, PN64_MX_HEADER* h) {
  if (body.size() < 32) return -1;
  const uint8_t* p = body.data();
  const uint8_t* end = p + body.size();
  h->channel_nos = static_cast<int32_t>(load_be32(p));
  h->dim = static_cast<int32_t>(load_be32(p + 4));
  h->flags = static_cast<int32_t>(load_be32(p + 8));
  h->total_levels = static_cast<int32_t>(load_be32(p + 12));
  h->modify_time = static_cast<int64_t>(load_be64(p + 16));
  h->subheader_fofs = static_cast<int64_t>(load_be64(p + 24));
  h->channel_table = nullptr;
  if (h->dim < 1 || h->dim > kMxMaxDim || h->channel_nos < 1 || h->channel_nos > kMxMaxChannels) return -1;
  p += 32;
  if (end - p < 2 * h->dim) return -1;
  std::memcpy(h->dim_divide, p, h->dim);
  std::memcpy(h->block_size, p + h->dim, h->dim);
  p += 2 * h->dim;
  for (int d = 0; d < h->dim; ++d) {
    p = get_uncompressed_code64_bounded(&h->pixel_size[d], p, end);
    if (!p) return -1;
  }
  if (end - p != int64_t{kMxChannelInfoBytes} * h->channel_nos) return -1;
  if (mx_check_limits(h->dim, h->dim_divide, h->block_size, h->pixel_size, h->total_levels) != 0) return -1;
  h->channel_table = p;
  return 0;
}

_PN64_MX_CHANNEL_INFO mx_header_channel(const PN64_MX_HEADER* h, int ch) {
  const uint8_t* p = h->channel_table + static_cast<size_t>(ch) * kMxChannelInfoBytes;
  return {static_cast<int16_t>(load_be16(p)), static_cast<int16_t>(load_be16(p + 2)),
          static_cast<int64_t>(load_be64(p + 4))};
}

MATRIX_CHANNEL_INFO mx_channel_info_of(const _PN64_MX_CHANNEL_INFO& c) {
  return {get_matrix_data_type(c.data_type), c.flags, nullptr, c.default_data_fofs};
}

_PN64_MX_CHANNEL_INFO mx_channel_entry_of(const MATRIX_CHANNEL_INFO& inf) {
  if (!inf.data_type) return {};
  return {static_cast<int16_t>(inf.data_type->type), static_cast<int16_t>(inf.flags), inf.default_data_fofs};
}

// ---- 0x601 and 0x607

void change_endian_mx_subheader(PN64_MX_SUBHEADER* s) {
  change_endian_header64(&s->h);
  for (auto& row : s->mode_pri_area)
    for (int32_t& v : row) swap32(&v);
  for (auto& row : s->mode_cal_fofs)
    for (int64_t& v : row) swap64(&v);
  swap64(&s->node_root);
  swap64(&s->cache_next);
  swap64(&s->cache_prev);
  swap32(&s->cache_count);
  swap32(&s->flags);
}

int64_t mx_subheader_encode(std::span<uint8_t> out, const PN64_MX_SUBHEADER* s) {
  if (out.size() < sizeof *s) return -1;
  PN64_MX_SUBHEADER r = *s;
  r.h = PN64_HEADER{kMxSubheaderType, {0, 0, 0}, sizeof r};
  change_endian_mx_subheader(&r);
  std::memcpy(out.data(), &r, sizeof r);
  return sizeof r;
}

int mx_subheader_decode(std::span<const uint8_t> body, PN64_MX_SUBHEADER* s) {
  if (body.size() != kMxSubheaderBody) return -1;
  s->h = PN64_HEADER{kMxSubheaderType, {0, 0, 0}, sizeof *s};
  change_endian_header64(&s->h);
  std::memcpy(reinterpret_cast<uint8_t*>(s) + 16, body.data(), kMxSubheaderBody);
  change_endian_mx_subheader(s);
  return 0;
}

void change_endian_mx_cache_ring(PN64_MX_CACHE_RING* r) {
  change_endian_header64(&r->h);
  swap64(&r->node);
  swap64(&r->next);
  swap64(&r->prev);
}

int64_t mx_cache_ring_encode(std::span<uint8_t> out, const PN64_MX_CACHE_RING* r) {
  if (out.size() < sizeof *r) return -1;
  PN64_MX_CACHE_RING c = *r;
  c.h = PN64_HEADER{kMxCacheRingType, {0, 0, 0}, sizeof c};
  change_endian_mx_cache_ring(&c);
  std::memcpy(out.data(), &c, sizeof c);
  return sizeof c;
}

int mx_cache_ring_decode(std::span<const uint8_t> body, PN64_MX_CACHE_RING* r) {
  if (body.size() != kMxCacheRingBody) return -1;
  r->h = PN64_HEADER{kMxCacheRingType, {0, 0, 0}, sizeof *r};
  change_endian_header64(&r->h);
  std::memcpy(reinterpret_cast<uint8_t*>(r) + 16, body.data(), kMxCacheRingBody);
  change_endian_mx_cache_ring(r);
  return 0;
}

// ---- 0x602, 0x603, 0x604

int64_t mx_data_1_encode(std::span<uint8_t> out, std::span<const uint8_t> datum) {
  RecordWriter w(out, kMxData1Type);
  w.bytes(datum.data(), datum.size());
  w.fill_to(kMxMinFilledBody, 0);
  return w.finish();
}

int64_t mx_data_1_datum_size(const MATRIX_DATA_TYPE* tp, std::span<const uint8_t> body) {
  if (!tp) return -1;
  if (tp->parent) tp = tp->parent;
  auto size = static_cast<int64_t>(body.size());
  switch (tp->type) {
    case MX_TYPE_SEXP:
      return -1;  // a ZU value has no stored form
    case MX_TYPE_BLOCK:
      return size;
    case MX_TYPE_STRING: {
      const void* nul = std::memchr(body.data(), 0, body.size());
      return nul ? static_cast<const uint8_t*>(nul) - body.data() + 1 : -1;
    }
    default: {
      int64_t n = tp->get_size(tp, nullptr);
      return n > 0 && n <= size ? n : -1;
    }
  }
}

int64_t mx_data_2_encode(std::span<uint8_t> out, int64_t next_fofs, int32_t id, std::span<const uint8_t> data) {
  RecordWriter w(out, kMxData2Type);
  w.be64(static_cast<uint64_t>(next_fofs));
  w.be32(static_cast<uint32_t>(id));
  w.bytes(data.data(), data.size());
  return w.finish();
}

int mx_data_2_decode(std::span<const uint8_t> body, PN64_MX_DATA_2* d) {
  if (body.size() < kMxData2Head) return -1;
  d->next_fofs = static_cast<int64_t>(load_be64(body.data()));
  d->id = static_cast<int32_t>(load_be32(body.data() + 8));
  d->data = body.subspan(kMxData2Head);
  return d->id < 0 ? -1 : 0;
}

int64_t mx_cal_encode(std::span<uint8_t> out, std::span<const uint8_t> utf8) {
  RecordWriter w(out, kMxCalType);
  w.bytes(utf8.data(), utf8.size());
  return w.finish();
}

// ---- 0x605

int64_t mx_dim_addr_size(int64_t code_bytes) {
  return 16 + (code_bytes < kMxMinFilledBody ? kMxMinFilledBody : code_bytes);
}

int64_t mx_dim_addr_encode(std::span<uint8_t> out, const int64_t* const* codes, int n, int dim) {
  RecordWriter w(out, kMxDimAddrType);
  for (int i = 0; i < n; ++i) w.dim_code(codes[i], dim);
  w.fill_to(kMxMinFilledBody, kMxListFill);
  return w.finish();
}

int mx_dim_addr_next(const MATRIX_GEOMETRY* g, std::span<const uint8_t> body, size_t* pos, int64_t* dc) {
  if (*pos >= body.size() || body[*pos] == kMxListFill) return 0;
  const uint8_t* at = body.data() + *pos;
  const uint8_t* next = mx_read_dim_code(g, dc, at, body.data() + body.size());
  if (!next) return -1;
  *pos += static_cast<size_t>(next - at);
  return 1;
}

// ---- 0x606

int mx_node_code_offset(int param_flags, int dim_bit_field) {
  return 8 + ((param_flags & kMxCacheFile) ? 8 : 0) + (dim_bit_field == 0 ? 8 : 0);
}

int64_t mx_node_size(int param_flags, int dim_bit_field, const int64_t* dc, int dim) {
  if (dim < 1 || dim > kMxMaxDim || dim_bit_field < 0) return -1;
  return 16 + mx_node_code_offset(param_flags, dim_bit_field) + dim_code_bytes(dc, dim) + dim_bit_field;
}

int64_t mx_node_encode(std::span<uint8_t> out, int param_flags, int dim_bit_field, const PN64_MX_NODE* n, int dim,
                       const uint8_t* bit_field) {
  if (mx_node_size(param_flags, dim_bit_field, n->dim_code, dim) < 0) return -1;
  RecordWriter w(out, kMxNodeType);
  w.be64(static_cast<uint64_t>(n->channel_fofs));
  if (param_flags & kMxCacheFile) w.be64(static_cast<uint64_t>(n->ring_fofs));
  if (dim_bit_field == 0) w.be64(static_cast<uint64_t>(n->nlist_dim_addr));
  w.dim_code(n->dim_code, dim);
  for (int i = 0; i < dim_bit_field; ++i) w.u8(bit_field ? bit_field[i] : 0);
  return w.finish();
}

int mx_node_decode(std::span<const uint8_t> body, const MATRIX_GEOMETRY* g, int param_flags, int dim_bit_field,
                   PN64_MX_NODE* n) {
  int at = mx_node_code_offset(param_flags, dim_bit_field);
  if (dim_bit_field < 0 || body.size() < static_cast<size_t>(at)) return -1;
  const uint8_t* p = body.data();
  n->channel_fofs = static_cast<int64_t>(load_be64(p));
  n->ring_fofs = (param_flags & kMxCacheFile) ? static_cast<int64_t>(load_be64(p + 8)) : 0;
  n->nlist_dim_addr = dim_bit_field == 0 ? static_cast<int64_t>(load_be64(p + at - 8)) : 0;
  const uint8_t* end = p + body.size();
  const uint8_t* q = mx_read_dim_code(g, n->dim_code, p + at, end);
  if (!q || end - q != dim_bit_field) return -1;
  n->bit_field = dim_bit_field ? q : nullptr;
  return 0;
}
