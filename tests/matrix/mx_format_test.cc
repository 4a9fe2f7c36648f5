// The byte forms of the matrix file: compressed integers and dim codes, the
// records, the node tree's key and order, checked against fixed bytes and
// against the Python reference codec in both directions.
#include <fstream>
#include <map>
#include <random>

#include "base/alloc.h"
#include "base/endian.h"
#include "matrix/dim_code.h"
#include "matrix/mx_format.h"
#include "matrix_test_util.h"
#include "support/temp_dir.h"

namespace {

using Code = std::vector<int64_t>;

Bytes code_bytes(int64_t v) {
  uint8_t buf[kCompressedCodeMax];
  return Bytes(buf, get_compressed_code64(buf, v));
}

Bytes dc_bytes(const Code& dc) {
  uint8_t buf[kMxDimCodeMaxBytes];
  return Bytes(buf, get_compressed_dim_code(buf, dc.data(), static_cast<int>(dc.size()) - 1));
}

std::span<const uint8_t> body_of(const Bytes& rec) { return std::span<const uint8_t>(rec).subspan(16); }

// A geometry of dim dimensions with `levels` levels, for readers of codes.
struct FakeGeometry {
  explicit FakeGeometry(int dim, int levels) {
    g.dim = dim;
    g.total_levels = levels;
    g.dim_divide = dd;
    g.block_size = bs;
  }
  uint8_t dd[kMxMaxDim] = {};
  uint8_t bs[kMxMaxDim] = {};
  MATRIX_GEOMETRY g{};
};

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string f; in >> f;) out.push_back(f);
  return out;
}

}  // namespace

TEST(MxFormat, CompressedIntegerForms) {
  struct Case {
    int64_t v;
    size_t bytes;
  } cases[] = {{0, 2}, {(1 << 14) - 1, 2}, {-(1 << 14), 2}, {1 << 14, 4}, {-(1 << 14) - 1, 4},
               {int64_t{1} << 29, 6}, {int64_t{1} << 44, 8}, {-(int64_t{1} << 59), 8},
               {int64_t{1} << 59, 9}, {-(int64_t{1} << 59) - 1, 9}, {INT64_MIN, 9}, {INT64_MAX, 9}};
  for (const Case& c : cases) EXPECT_EQ(code_bytes(c.v).size(), c.bytes) << c.v;
  EXPECT_EQ(code_bytes(-(int64_t{1} << 44)), (Bytes{0xD0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(dc_bytes({0, 0, 0}), (Bytes{0, 0, 0, 0, 0, 0, 0xF1}));
  // Every other value, boundaries included, is checked against the
  // reference codec below.
}

TEST(MxFormat, DimCodeReadersStayInsideTheirBytes) {
  std::mt19937_64 rng(2);
  for (int dim = 1; dim <= kMxMaxDim; ++dim) {
    Code dc{static_cast<int64_t>(rng() % 63)};
    for (int d = 0; d < dim; ++d) dc.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
    Bytes b = dc_bytes(dc);
    ASSERT_LE(b.size(), static_cast<size_t>(mx_dim_code_max_bytes(dim)));
    Code back(dim + 1);
    const uint8_t* end = b.data() + b.size();
    ASSERT_EQ(get_uncompressed_dim_code(back.data(), dim + 1, b.data(), end), end);
    ASSERT_EQ(back, dc);
    ASSERT_EQ(get_dim_code_dimension(b.data(), end), dim);
    ASSERT_EQ(get_uncompressed_dim_code(nullptr, -1, b.data(), end), end) << "skipping";
    // Every cut is refused, and so is a code with more values than wanted.
    for (size_t cut = 0; cut < b.size(); ++cut) {
      ASSERT_EQ(get_uncompressed_dim_code(back.data(), dim + 1, b.data(), b.data() + cut), nullptr);
      ASSERT_EQ(get_dim_code_dimension(b.data(), b.data() + cut), -1);
    }
    ASSERT_EQ(get_uncompressed_dim_code(back.data(), dim, b.data(), end), nullptr);
  }
  for (uint8_t first = 0xF1; first != 0; ++first) {
    Bytes b{first, 0, 0, 0, 0, 0, 0, 0, 0, 0xF1};
    int64_t v = 0;
    if (first != 0xF1) {
      EXPECT_EQ(get_uncompressed_dim_code(&v, 1, b.data(), b.data() + b.size()), nullptr);
    }
  }
  Bytes only_end{0xF1};
  EXPECT_EQ(get_dim_code_dimension(only_end.data(), only_end.data() + 1), -1);

  // A code read for a matrix must name a node the matrix can have.
  FakeGeometry fg(2, 3);
  Code out(3);
  for (const Code& bad : {Code{3, 0, 0}, Code{-1, 0, 0}, Code{0, -5, 0}, Code{0, 0}, Code{0, 0, 0, 0}}) {
    Bytes b = dc_bytes(bad);
    EXPECT_EQ(mx_read_dim_code(&fg.g, out.data(), b.data(), b.data() + b.size()), nullptr) << bad.size();
  }
  Bytes good = dc_bytes({2, 7, 9});
  EXPECT_EQ(mx_read_dim_code(&fg.g, out.data(), good.data(), good.data() + good.size()), good.data() + good.size());
}

TEST(MxFormat, NodeRecordsInAllFourVariants) {
  FakeGeometry fg(2, 4);
  PN64_MX_NODE n{};
  n.channel_fofs = 0x1122334455667788;
  n.ring_fofs = 0x0102030405060708;
  n.nlist_dim_addr = 0x0A0B0C0D0E0F1011;
  Code dc{3, 1 << 20, 5};
  std::copy(dc.begin(), dc.end(), n.dim_code);
  const uint8_t bits[2] = {0x81, 0x7E};
  struct Variant {
    int flags, dim_bit_field, offset;
  } variants[] = {{0, 2, 8}, {kMxCacheFile, 2, 16}, {0, 0, 16}, {kMxCacheFile, 0, 24}};
  for (const Variant& v : variants) {
    EXPECT_EQ(mx_node_code_offset(v.flags, v.dim_bit_field), v.offset);
    Bytes rec(256);
    int64_t size = mx_node_encode(rec, v.flags, v.dim_bit_field, &n, 2, bits);
    ASSERT_EQ(size, mx_node_size(v.flags, v.dim_bit_field, n.dim_code, 2));
    rec.resize(static_cast<size_t>(size));
    Bytes code = dc_bytes(dc);
    ASSERT_TRUE(std::equal(code.begin(), code.end(), rec.begin() + 16 + v.offset));
    PN64_MX_NODE back{};
    ASSERT_EQ(mx_node_decode(body_of(rec), &fg.g, v.flags, v.dim_bit_field, &back), 0);
    EXPECT_EQ(back.channel_fofs, n.channel_fofs);
    EXPECT_EQ(back.ring_fofs, (v.flags & kMxCacheFile) ? n.ring_fofs : 0);
    EXPECT_EQ(back.nlist_dim_addr, v.dim_bit_field ? 0 : n.nlist_dim_addr);
    EXPECT_EQ(Code(back.dim_code, back.dim_code + 3), dc);
    if (v.dim_bit_field) {
      EXPECT_EQ(back.bit_field[1], 0x7E);
    }
    for (size_t cut = 0; cut + 16 < rec.size(); ++cut)
      ASSERT_EQ(mx_node_decode(body_of(rec).first(cut), &fg.g, v.flags, v.dim_bit_field, &back), -1) << cut;
    rec.push_back(0);
    EXPECT_EQ(mx_node_decode(body_of(rec), &fg.g, v.flags, v.dim_bit_field, &back), -1) << "trailing byte";
    EXPECT_EQ(mx_node_encode(std::span<uint8_t>(rec).first(static_cast<size_t>(size) - 1), v.flags,
                             v.dim_bit_field, &n, 2, bits), -1);
  }
}

TEST(MxFormat, ChildListRecords) {
  FakeGeometry fg(1, 4);
  // One short code in 1-D (two 2-byte values and 0xF1), then three 0xF2.
  Code only{1, 300};
  const int64_t* codes[] = {only.data()};
  Bytes rec(64);
  int64_t size = mx_dim_addr_encode(rec, codes, 1, 1);
  ASSERT_EQ(size, 24);
  ASSERT_EQ(size, mx_dim_addr_size(5));
  rec.resize(24);
  EXPECT_EQ(Bytes(rec.begin() + 16, rec.end()), (Bytes{0x00, 0x01, 0x01, 0x2C, 0xF1, 0xF2, 0xF2, 0xF2}));
  size_t pos = 0;
  int64_t dc[2];
  EXPECT_EQ(mx_dim_addr_next(&fg.g, body_of(rec), &pos, dc), 1);
  EXPECT_EQ(dc[1], 300);
  EXPECT_EQ(mx_dim_addr_next(&fg.g, body_of(rec), &pos, dc), 0);

  Bytes empty(64);
  ASSERT_EQ(mx_dim_addr_encode(empty, nullptr, 0, 1), 24);
  EXPECT_EQ(Bytes(empty.begin() + 16, empty.begin() + 24), Bytes(8, 0xF2));
  pos = 0;
  EXPECT_EQ(mx_dim_addr_next(&fg.g, body_of(empty).first(8), &pos, dc), 0);

  // Many children end at the body's end; a broken one is reported.
  std::vector<Code> kids;
  std::vector<const int64_t*> ptrs;
  for (int i = 0; i < 40; ++i) kids.push_back({i % 4, int64_t{i} << (i % 60)});
  for (const Code& k : kids) ptrs.push_back(k.data());
  Bytes many(2048);
  int64_t msize = mx_dim_addr_encode(many, ptrs.data(), 40, 1);
  many.resize(static_cast<size_t>(msize));
  pos = 0;
  int read = 0;
  while (mx_dim_addr_next(&fg.g, body_of(many), &pos, dc) == 1) ASSERT_EQ(dc[1], kids[read++][1]);
  EXPECT_EQ(read, 40);
  many.pop_back();
  pos = 0;
  int r = 0;
  while ((r = mx_dim_addr_next(&fg.g, body_of(many), &pos, dc)) == 1) {
  }
  EXPECT_EQ(r, -1) << "the last code lost its 0xF1";
}

TEST(MxFormat, HeaderRecord) {
  PN64_MX_HEADER h{};
  h.channel_nos = 3;
  h.dim = 2;
  h.flags = kMxCacheFile;
  h.modify_time = 0x0102030405060708;
  h.subheader_fofs = 4096;
  h.dim_divide[0] = h.dim_divide[1] = 1;
  h.block_size[0] = h.block_size[1] = 8;
  h.pixel_size[0] = 1000;
  h.pixel_size[1] = int64_t{1} << 40;
  _PN64_MX_CHANNEL_INFO ch[3] = {{6, kMxChFile, 777}, {0, 5, 9}, {29, 1, 0}};
  Bytes rec(512);
  int64_t size = mx_header_encode(rec, &h, ch);
  ASSERT_EQ(size, mx_header_size(&h));
  ASSERT_EQ(size, 16 + 32 + 4 + 2 + 6 + 36);
  rec.resize(static_cast<size_t>(size));
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 4), (Bytes{0x06, 0x00, 0, 0}));
  EXPECT_EQ(Bytes(rec.end() - 24, rec.end() - 12), Bytes(12, 0)) << "a channel without a type";
  PN64_MX_HEADER back{};
  ASSERT_EQ(mx_header_decode(body_of(rec), &back), 0);
  EXPECT_EQ(back.pixel_size[1], int64_t{1} << 40);
  EXPECT_EQ(back.modify_time, h.modify_time);
  _PN64_MX_CHANNEL_INFO c0 = mx_header_channel(&back, 0);
  EXPECT_EQ(c0.data_type, 6);
  EXPECT_EQ(c0.default_data_fofs, 777);
  EXPECT_EQ(mx_channel_info_of(c0).data_type, get_matrix_data_type(6));
  EXPECT_EQ(mx_channel_info_of(mx_header_channel(&back, 2)).data_type, nullptr) << "29 names no type";
  EXPECT_EQ(mx_channel_info_of({99, 0, 0}).data_type, nullptr);
  EXPECT_EQ(mx_channel_entry_of(mx_channel_info_of(c0)).default_data_fofs, 777);

  for (size_t cut = 0; cut + 16 < rec.size(); ++cut) ASSERT_EQ(mx_header_decode(body_of(rec).first(cut), &back), -1);
  Bytes longer = rec;
  longer.push_back(0);
  EXPECT_EQ(mx_header_decode(body_of(longer), &back), -1);
  // Counts that overrun, and geometries past the limits.
  auto patched = [&](size_t at, std::initializer_list<uint8_t> b) {
    Bytes x = rec;
    std::copy(b.begin(), b.end(), x.begin() + 16 + at);
    return mx_header_decode(body_of(x), &back);
  };
  EXPECT_EQ(patched(0, {0x7F, 0xFF, 0xFF, 0xFF}), -1);
  EXPECT_EQ(patched(4, {0, 0, 0, 65}), -1);
  EXPECT_EQ(patched(34, {31}), -1) << "block size 31";
  EXPECT_EQ(patched(32, {60}), -1) << "40 levels of 60 bits";
  EXPECT_EQ(patched(12, {0, 0, 0, 64}), -1);
  EXPECT_EQ(patched(36, {0xF3}), -1);
  EXPECT_EQ(patched(0, {0, 0, 0, 3}), 0);
}

TEST(MxFormat, FixedAndDataRecords) {
  PN64_MX_SUBHEADER s{};
  for (int mode = 0; mode < kMxModes; ++mode)
    for (int i = 0; i < kMxScriptSlots; ++i) {
      s.mode_pri_area[mode][i] = mode * 100 + i;
      s.mode_cal_fofs[mode][i] = (int64_t{mode} << 40) + i;
    }
  s.node_root = 0x1000;
  s.cache_next = s.cache_prev = 0x2000;
  s.cache_count = 7;
  s.flags = kMxOpenMark;
  Bytes rec(sizeof s);
  ASSERT_EQ(mx_subheader_encode(rec, &s), 912);
  EXPECT_EQ(load_be32(rec.data() + 16 + 4 * 25), 101u) << "mode-major priorities";
  EXPECT_EQ(load_be64(rec.data() + 16 + 288 + 8 * 24), uint64_t{1} << 40);
  EXPECT_EQ(load_be64(rec.data() + 16 + 864), 0x1000u);
  EXPECT_EQ(load_be32(rec.data() + 16 + 888), 7u);
  EXPECT_EQ(load_be32(rec.data() + 16 + 892), 1u);
  PN64_MX_SUBHEADER back{};
  ASSERT_EQ(mx_subheader_decode(body_of(rec), &back), 0);
  EXPECT_EQ(std::memcmp(&back.mode_pri_area, &s.mode_pri_area, 896), 0);
  EXPECT_EQ(back.h.type, kMxSubheaderType);
  EXPECT_EQ(mx_subheader_decode(body_of(rec).first(895), &back), -1);

  PN64_MX_CACHE_RING r{{}, 11, 22, 33};
  Bytes ring(40);
  ASSERT_EQ(mx_cache_ring_encode(ring, &r), 40);
  EXPECT_EQ(load_be64(ring.data() + 24), 22u);
  PN64_MX_CACHE_RING rb{};
  ASSERT_EQ(mx_cache_ring_decode(body_of(ring), &rb), 0);
  EXPECT_EQ(rb.prev, 33);
  EXPECT_EQ(mx_cache_ring_decode(body_of(ring).first(23), &rb), -1);

  // Default data: filled to 8 bytes, read back by the channel type.
  init_element_types();
  Bytes d1(64);
  const uint8_t one[1] = {0x2A};
  ASSERT_EQ(mx_data_1_encode(d1, one), 24);
  d1.resize(24);
  EXPECT_EQ(mx_data_1_datum_size(get_matrix_data_type(MX_TYPE_UINT8 + MX_TYPE_VECTOR), body_of(d1)), 1);
  EXPECT_EQ(mx_data_1_datum_size(get_matrix_data_type(MX_TYPE_BLOCK), body_of(d1)), 8);
  EXPECT_EQ(mx_data_1_datum_size(get_matrix_data_type(MX_TYPE_STRING), body_of(d1)), 2);
  EXPECT_EQ(mx_data_1_datum_size(get_matrix_data_type(MX_TYPE_STRING), body_of(d1).first(1)), -1);
  EXPECT_EQ(mx_data_1_datum_size(get_matrix_data_type(MX_TYPE_SEXP), body_of(d1)), -1);
  EXPECT_EQ(mx_data_1_datum_size(get_matrix_data_type(MX_TYPE_INT64), body_of(d1).first(7)), -1);

  Bytes d2(64);
  const uint8_t data[3] = {1, 2, 3};
  ASSERT_EQ(mx_data_2_encode(d2, 0x605, 4, data), 31);
  d2.resize(31);
  PN64_MX_DATA_2 dd{};
  ASSERT_EQ(mx_data_2_decode(body_of(d2), &dd), 0);
  EXPECT_EQ(dd.next_fofs, 0x605);
  EXPECT_EQ(dd.id, 4);
  EXPECT_EQ(Bytes(dd.data.begin(), dd.data.end()), (Bytes{1, 2, 3}));
  EXPECT_EQ(mx_data_2_decode(body_of(d2).first(11), &dd), -1);
  d2[16 + 8] = 0x80;
  EXPECT_EQ(mx_data_2_decode(body_of(d2), &dd), -1);

}

// Each record's byte table in mx_format.h, field by field: the encoders put
// every field at the offset and in the size its table gives (big-endian),
// behind the header the tables describe; the node tree's key likewise.
TEST(MxFormat, EveryFieldStandsWhereItsByteTableSays) {
  struct Field {
    const char* name;
    size_t at;  // from the body's first byte
    size_t size;
    uint64_t want;
  };
  auto check = [](const Bytes& rec, uint16_t type, std::initializer_list<Field> fields) {
    SCOPED_TRACE(type);
    ASSERT_GE(rec.size(), 16u);
    EXPECT_EQ(load_be16(rec.data()), type);
    EXPECT_EQ(Bytes(rec.begin() + 2, rec.begin() + 8), Bytes(6, 0)) << "fill";
    EXPECT_EQ(load_be64(rec.data() + 8), rec.size()) << "size";
    for (const Field& f : fields) {
      ASSERT_LE(16 + f.at + f.size, rec.size()) << f.name;
      uint64_t v = 0;
      for (size_t i = 0; i < f.size; ++i) v = v << 8 | rec[16 + f.at + i];
      EXPECT_EQ(v, f.want) << f.name;
    }
  };
  auto sized = [](Bytes rec, int64_t size) {
    EXPECT_GT(size, 0);
    rec.resize(static_cast<size_t>(size > 0 ? size : 0));
    return rec;
  };

  PN64_MX_HEADER h{};
  h.channel_nos = 2;
  h.dim = 2;
  h.flags = 0x0A0B0C0D;
  h.total_levels = 7;
  h.modify_time = 0x0102030405060708;
  h.subheader_fofs = 0x1112131415161718;
  h.dim_divide[0] = 1, h.dim_divide[1] = 2;
  h.block_size[0] = 3, h.block_size[1] = 4;
  h.pixel_size[0] = 100, h.pixel_size[1] = 70000;
  _PN64_MX_CHANNEL_INFO ch[2] = {{6, 0x0102, 0x2122}, {7, 0x0304, 0x3132333435363738}};
  Bytes hrec(512);
  hrec = sized(hrec, mx_header_encode(hrec, &h, ch));
  const size_t pixels = code_bytes(100).size() + code_bytes(70000).size(), p = 32 + 4 + pixels;
  check(hrec, kMxHeaderType,
        {{"channel_nos", 0, 4, 2}, {"dim", 4, 4, 2}, {"flags", 8, 4, 0x0A0B0C0D}, {"total_levels", 12, 4, 7},
         {"modify_time", 16, 8, 0x0102030405060708}, {"subheader_fofs", 24, 8, 0x1112131415161718},
         {"dim_divide", 32, 2, 0x0102}, {"block_size", 34, 2, 0x0304}, {"channel 0 type", p, 2, 6},
         {"channel 0 flags", p + 2, 2, 0x0102}, {"channel 0 default", p + 4, 8, 0x2122},
         {"channel 1 type", p + 12, 2, 7}, {"channel 1 flags", p + 14, 2, 0x0304},
         {"channel 1 default", p + 16, 8, 0x3132333435363738}});
  Bytes px = code_bytes(100), px1 = code_bytes(70000);
  px.insert(px.end(), px1.begin(), px1.end());
  EXPECT_EQ(Bytes(hrec.begin() + 16 + 36, hrec.begin() + 16 + 36 + static_cast<long>(pixels)), px) << "pixel sizes";
  EXPECT_EQ(hrec.size(), 16 + p + 24) << "the channel table ends the body";

  PN64_MX_SUBHEADER sub{};
  sub.mode_pri_area[2][23] = 0x41424344;
  sub.mode_cal_fofs[1][3] = 0x5152535455565758;
  sub.node_root = 0x61, sub.cache_next = 0x62, sub.cache_prev = 0x63, sub.cache_count = 0x64, sub.flags = 0x65;
  Bytes srec(sizeof sub);
  srec = sized(srec, mx_subheader_encode(srec, &sub));
  check(srec, kMxSubheaderType,
        {{"priority of mode 2 slot 23", 4 * (24 * 2 + 23), 4, 0x41424344},
         {"script of mode 1 slot 3", 288 + 8 * (24 * 1 + 3), 8, 0x5152535455565758}, {"node_root", 864, 8, 0x61},
         {"cache_next", 872, 8, 0x62}, {"cache_prev", 880, 8, 0x63}, {"cache_count", 888, 4, 0x64},
         {"flags", 892, 4, 0x65}});
  EXPECT_EQ(srec.size(), 16u + 896);

  PN64_MX_CACHE_RING ring{{}, 0x71, 0x72, 0x73};
  Bytes rrec(sizeof ring);
  rrec = sized(rrec, mx_cache_ring_encode(rrec, &ring));
  check(rrec, kMxCacheRingType, {{"node", 0, 8, 0x71}, {"next", 8, 8, 0x72}, {"prev", 16, 8, 0x73}});

  const uint8_t datum[2] = {0xAB, 0xCD};
  Bytes d1(64);
  d1 = sized(d1, mx_data_1_encode(d1, datum));
  check(d1, kMxData1Type, {{"datum", 0, 2, 0xABCD}, {"fill", 2, 6, 0}});
  EXPECT_EQ(d1.size(), 16u + 8);

  const uint8_t three[3] = {1, 2, 3};
  Bytes d2(64);
  d2 = sized(d2, mx_data_2_encode(d2, 0x0102030405060708, 9, three));
  check(d2, kMxData2Type, {{"next_fofs", 0, 8, 0x0102030405060708}, {"id", 8, 4, 9}, {"datum", 12, 3, 0x010203}});

  const uint8_t text[3] = {'(', 'x', ')'};
  Bytes cal(64);
  cal = sized(cal, mx_cal_encode(cal, text));
  check(cal, kMxCalType, {{"text", 0, 3, 0x287829}});
  EXPECT_EQ(cal.size(), 16u + 3);

  Code child{1, 300};
  const int64_t* kids[] = {child.data()};
  Bytes list(64);
  list = sized(list, mx_dim_addr_encode(list, kids, 1, 1));
  check(list, kMxDimAddrType, {{"code", 0, 5, 0x0001012CF1}, {"fill", 5, 3, 0xF2F2F2}});

  // The node record in its four variants: C is the code's offset.
  PN64_MX_NODE n{};
  n.channel_fofs = 0x81, n.ring_fofs = 0x82, n.nlist_dim_addr = 0x83;
  Code dc{1, 4, 6};
  std::copy(dc.begin(), dc.end(), n.dim_code);
  const uint8_t bits[2] = {0x91, 0x92};
  Bytes code = dc_bytes(dc);
  for (int flags : {0, kMxCacheFile})
    for (int field : {2, 0}) {
      size_t c = static_cast<size_t>(mx_node_code_offset(flags, field));
      Bytes rec(128);
      rec = sized(rec, mx_node_encode(rec, flags, field, &n, 2, bits));
      std::vector<Field> want{{"channel_fofs", 0, 8, 0x81}};
      if (flags) want.push_back({"ring_fofs", 8, 8, 0x82});
      if (!field) want.push_back({"nlist_dim_addr", c - 8, 8, 0x83});
      if (field) want.push_back({"bits", rec.size() - 16 - 2, 2, 0x9192});
      SCOPED_TRACE(std::to_string(flags) + "/" + std::to_string(field));
      EXPECT_EQ(c, 8 + (flags ? 8u : 0u) + (field ? 0u : 8u));
      for (const Field& f : want) check(rec, kMxNodeType, {f});
      EXPECT_EQ(Bytes(rec.begin() + 16 + static_cast<long>(c), rec.end() - field), code) << "code";
    }

  // The tree's key: fofs big-endian once the tree's byte-order function has
  // run, then the code.
  MX_DIM_CODE key{};
  int len = mx_dim_code_key(&key, 0x0102030405060708, dc.data(), 2);
  ASSERT_EQ(len, static_cast<int>(8 + code.size()));
  mx_dim_code_endian(&key, len);
  const auto* kb = reinterpret_cast<const uint8_t*>(&key);
  EXPECT_EQ(load_be64(kb), 0x0102030405060708u);
  EXPECT_EQ(Bytes(kb + 8, kb + len), code);
}

TEST_F(MatrixTest, TreeOrderAgreesWithTheNodeOrder) {
  MATRIX* m = make_matrix(3, {1, 2, 1}, {4, 3, 0}, {1 << 12, 1 << 20, 1 << 9});
  ASSERT_EQ(m->total_levels, 13);
  std::mt19937_64 rng(5);
  auto random_code = [&] {
    Code c{static_cast<int64_t>(rng() % 13)};
    for (int64_t lim : {1 << 12, 1 << 20, 1 << 9}) c.push_back(static_cast<int64_t>(rng() % lim));
    return c;
  };
  MX_DIM_CODE ka{}, kb{};
  for (int i = 0; i < 20000; ++i) {
    Code a = random_code(), b = i % 2 ? random_code() : a;
    if (i % 2 == 0)  // differ only below the node size, or just above it
      for (int d = 0; d < 3; ++d) b[d + 1] ^= int64_t{1} << (rng() % (mx_shift(m, a[0], d) + 1));
    int la = mx_dim_code_key(&ka, 100, a.data(), 3);
    mx_dim_code_key(&kb, 200, b.data(), 3);
    ASSERT_EQ(mx_dim_code_cmp(&ka, &kb, m), cmp_dim_code(m, a.data(), b.data()));
    ASSERT_EQ(mx_dim_code_key_check(&m->geometry, &ka, la), 0);
  }
  // Keys the matrix cannot have are bad comparisons, never a read past.
  Code a{1, 5, 5, 5};
  int la = mx_dim_code_key(&ka, 1, a.data(), 3);
  for (const Code& bad : {Code{13, 0, 0, 0}, Code{0, 0, 0}, Code{0, -1, 0, 0}}) {
    int lb = mx_dim_code_key(&kb, 1, bad.data(), static_cast<int>(bad.size()) - 1);
    EXPECT_EQ(mx_dim_code_cmp(&ka, &kb, m), 2);
    EXPECT_EQ(mx_dim_code_cmp(&kb, &ka, m), 2);
    EXPECT_EQ(mx_dim_code_key_check(&m->geometry, &kb, lb), -1);
  }
  EXPECT_EQ(mx_dim_code_key_check(&m->geometry, &ka, la - 1), -1);
  EXPECT_EQ(mx_dim_code_key_check(&m->geometry, &ka, la + 1), -1);
  EXPECT_EQ(mx_dim_code_key_check(&m->geometry, &ka, 8), -1);

  // The tree's byte-order function swaps the offset and nothing else.
  MX_DIM_CODE k{};
  int len = mx_dim_code_key(&k, 0x0102030405060708, a.data(), 3);
  Bytes before(reinterpret_cast<uint8_t*>(&k), reinterpret_cast<uint8_t*>(&k) + len);
  mx_dim_code_endian(&k, len);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&k)[0], 0x01);
  EXPECT_TRUE(std::equal(before.begin() + 8, before.end(), k.code));
  mx_dim_code_endian(&k, len);
  EXPECT_EQ(k.fofs, 0x0102030405060708);
  mx_dim_code_endian(&k, 7);
  EXPECT_EQ(k.fofs, 0x0102030405060708);
  drop_matrix(m);
}

// ---- the reference codec, both ways

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string p; std::getline(in, p, sep);) out.push_back(p);
  return out;
}

// "v VALUE HEX" and "d CODE HEX": our bytes equal the codec's, and its
// bytes read back as the value.
void check_value(const std::vector<std::string>& f) {
  Bytes want = unhex(f[2]);
  if (f[0] == "v") {
    int64_t v = std::stoll(f[1]), back = 0;
    ASSERT_EQ(code_bytes(v), want) << v;
    ASSERT_EQ(get_uncompressed_code64_bounded(&back, want.data(), want.data() + want.size()), want.data() + want.size());
    ASSERT_EQ(back, v);
    return;
  }
  Code dc = csv_ints(f[1]), back(dc.size());
  ASSERT_EQ(dc_bytes(dc), want);
  ASSERT_NE(get_uncompressed_dim_code(back.data(), static_cast<int>(dc.size()), want.data(), want.data() + want.size()), nullptr);
  ASSERT_EQ(back, dc);
}

// "c DD BS LEVELS A B RESULT": both orders give the codec's answer.
void check_order(const std::vector<std::string>& f) {
  Code dd = csv_ints(f[1]), bs = csv_ints(f[2]), a = csv_ints(f[4]), b = csv_ints(f[5]);
  auto dim = static_cast<int>(dd.size());
  uint8_t dv[4], bv[4];
  for (int d = 0; d < dim; ++d) dv[d] = static_cast<uint8_t>(dd[d]), bv[d] = static_cast<uint8_t>(bs[d]);
  MATRIX m{};
  m.p.dim = dim;
  m.dim_divide = dv;
  m.block_size = bv;
  m.geometry = MATRIX_GEOMETRY{dim, 0, dv, bv, nullptr, std::stoi(f[3])};
  MX_DIM_CODE ka{}, kb{};
  mx_dim_code_key(&ka, 0, a.data(), dim);
  mx_dim_code_key(&kb, 0, b.data(), dim);
  ASSERT_EQ(mx_dim_code_cmp(&ka, &kb, &m), std::stoi(f[6]));
  ASSERT_EQ(cmp_dim_code(&m, a.data(), b.data()), std::stoi(f[6]));
}

// "h ..." and "n ...": our records equal the codec's and decode.
void check_record(const std::vector<std::string>& f) {
  Bytes want = unhex(f.back()), got(want.size() + 64);
  if (f[0] == "h") {
    PN64_MX_HEADER h{};
    h.channel_nos = std::stoi(f[1]);
    h.dim = std::stoi(f[2]);
    h.flags = std::stoi(f[3]);
    h.total_levels = std::stoi(f[4]);
    h.modify_time = std::stoll(f[5]);
    h.subheader_fofs = std::stoll(f[6]);
    Code dd = csv_ints(f[7]), bs = csv_ints(f[8]), ps = csv_ints(f[9]);
    for (int d = 0; d < h.dim; ++d) h.dim_divide[d] = dd[d], h.block_size[d] = bs[d], h.pixel_size[d] = ps[d];
    std::vector<_PN64_MX_CHANNEL_INFO> ch;
    for (const std::string& c : split(f[10], ',')) {
      std::vector<std::string> t = split(c, ':');
      ch.push_back({static_cast<int16_t>(std::stoi(t[0])), static_cast<int16_t>(std::stoi(t[1])), std::stoll(t[2])});
    }
    got.resize(static_cast<size_t>(mx_header_encode(got, &h, ch.data())));
    ASSERT_EQ(got, want);
    PN64_MX_HEADER back{};
    ASSERT_EQ(mx_header_decode(body_of(want), &back), 0);
    return;
  }
  int flags = std::stoi(f[1]), bits = std::stoi(f[2]);
  Code dc = csv_ints(f[6]);
  PN64_MX_NODE n{};
  n.channel_fofs = std::stoll(f[3]);
  n.ring_fofs = std::stoll(f[4]);
  n.nlist_dim_addr = std::stoll(f[5]);
  std::copy(dc.begin(), dc.end(), n.dim_code);
  Bytes field = f[7] == "-" ? Bytes{} : unhex(f[7]);
  auto dim = static_cast<int>(dc.size()) - 1;
  got.resize(static_cast<size_t>(mx_node_encode(got, flags, bits, &n, dim, field.data())));
  ASSERT_EQ(got, want);
  FakeGeometry fg(dim, 5);
  PN64_MX_NODE back{};
  ASSERT_EQ(mx_node_decode(body_of(want), &fg.g, flags, bits, &back), 0);
}

}  // namespace

TEST(MxFormat, ReferenceCodecWritesWhatWeRead) {
  std::map<std::string, int> count;
  for (const std::string& line : run_lines(codec_cmd("gen 100000 19"))) {
    std::vector<std::string> f = fields(line);
    if (f[0] == "v" || f[0] == "d") check_value(f);
    else if (f[0] == "c") check_order(f);
    else check_record(f);
    ASSERT_FALSE(HasFailure()) << line;
    ++count[f[0]];
  }
  EXPECT_GE(count["v"], 100000);
  EXPECT_EQ(count["d"], 10000);
  EXPECT_EQ(count["c"], 10000);
  EXPECT_EQ(count["h"], 200);
  EXPECT_EQ(count["n"], 200);
}

TEST(MxFormat, ReferenceCodecReadsWhatWeWrite) {
  TempDir dir;
  std::string path = dir.path() + "/ours.txt";
  std::ofstream out(path);
  std::mt19937_64 rng(23);
  auto hexs = [](const Bytes& b) {
    std::string s;
    char buf[3];
    for (uint8_t x : b) std::snprintf(buf, sizeof buf, "%02x", x), s += buf;
    return s;
  };
  for (int i = 0; i < 100000; ++i) {
    auto v = static_cast<int64_t>(rng()) >> (rng() % 64);
    out << "v " << v << " " << hexs(code_bytes(v)) << "\n";
  }
  for (int i = 0; i < 10000; ++i) {
    Code dc{static_cast<int64_t>(rng() % 63)};
    for (int d = 0, dim = 1 + static_cast<int>(rng() % 64); d < dim; ++d)
      dc.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
    std::string text;
    for (int64_t v : dc) text += (text.empty() ? "" : ",") + std::to_string(v);
    out << "d " << text << " " << hexs(dc_bytes(dc)) << "\n";
  }
  out.close();
  std::vector<std::string> lines = run_lines(codec_cmd("check < " + path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "ok 110000");
}

