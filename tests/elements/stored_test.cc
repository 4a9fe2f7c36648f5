// The stored form against bytes an independent Python/numpy model makes,
// the worked examples, and refusals of damaged input.
#include "elements/compressed_code.h"
#include "elements/stored.h"
#include "element_test_util.h"

namespace {

using StoredForm = ElementsTest;

void free_value(const MATRIX_DATA_TYPE* tp, void* d) {
  if (d) tp->free_data(const_cast<MATRIX_DATA_TYPE*>(tp), d);
}

}  // namespace

// Every type and a spread of shapes: convert_to_net equals the model's
// bytes, convert_to_host of those bytes equals the value and its stored
// size, and get_size_endian measures every stored vector.
TEST_F(StoredForm, GoldenBytesOfEveryTypeAndShape) {
  std::set<int> codes;
  for (const std::string& line : run_model("golden")) {
    std::vector<std::string> f = split(line, '|');
    ASSERT_EQ(f.size(), 4u) << line;
    int code = std::stoi(f[0]);
    codes.insert(code);
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
    ASSERT_NE(tp, nullptr) << line;
    Bytes golden = unhex(f[3]);
    void* v = value_from_text(code, f[1], f[2]);
    ASSERT_NE(v, nullptr) << line;
    EXPECT_EQ(to_hex(to_net(tp, v)), f[3]) << line;
    void* back = tp->convert_to_host(tp, golden.data(), static_cast<int64_t>(golden.size()), MX_ATYPE::tagged,
                                     nullptr, __FILE__, __LINE__);
    ASSERT_NE(back, nullptr) << line;
    EXPECT_EQ(tp->cmp(tp, back, v), 0) << line;
    if (mx_is_vector_code(code)) {
      EXPECT_EQ(get_size_endian(golden.data(), static_cast<int64_t>(golden.size())),
                static_cast<int64_t>(golden.size())) << line;
      if (code != MX_TYPE_STRING_V) {
        EXPECT_EQ(tp->get_size(tp, back), static_cast<int64_t>(golden.size())) << line;
      }
    }
    free_value(tp, v);
    free_value(tp, back);
  }
  EXPECT_EQ(codes.size(), 27u);  // every type but sexp, which has no stored form
}

// The in-place slots of every vector type but strings: endian_to_net turns
// a value into the very bytes that convert_to_net stores (the elements
// found through the header before it is turned), endian_to_host turns
// them back.
TEST_F(StoredForm, InPlaceSlotsOfVectorsMatchTheStoredForm) {
  std::set<int> codes;
  for (const std::string& line : run_model("golden")) {
    std::vector<std::string> f = split(line, '|');
    int code = std::stoi(f[0]);
    if (!mx_is_vector_code(code) || code == MX_TYPE_STRING_V) continue;
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
    void* v = value_from_text(code, f[1], f[2]);
    ASSERT_NE(v, nullptr) << line;
    auto* at = static_cast<const uint8_t*>(v);
    Bytes host(at, at + tp->get_size(tp, v));
    Bytes work = host;
    tp->endian_to_net(work.data());
    EXPECT_EQ(to_hex(work), f[3]) << line;
    tp->endian_to_host(work.data());
    EXPECT_EQ(work, host) << line;
    codes.insert(code);
    free_value(tp, v);
  }
  EXPECT_EQ(codes.size(), 12u);  // bit_v, the ten number vectors and rgb8_v
}

// The stored form made into a writer's own buffer is byte for byte what
// convert_to_net stores, for every vector type but strings, and fills
// exactly its size; string vectors, scalars and blocks are not made so.
TEST_F(StoredForm, StoredFormIntoABufferMatchesConvertToNet) {
  std::set<int> codes;
  for (const std::string& line : run_model("golden")) {
    std::vector<std::string> f = split(line, '|');
    int code = std::stoi(f[0]);
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
    void* v = value_from_text(code, f[1], f[2]);
    ASSERT_NE(v, nullptr) << line;
    const int64_t size = mxt_vector_net_size(tp, v);
    if (!mx_is_vector_code(code) || code == MX_TYPE_STRING_V) {
      EXPECT_EQ(size, -1) << line;
      uint8_t none[8];
      EXPECT_EQ(mxt_vector_to_net_into(tp, v, none), -1) << line;
    } else {
      Bytes out(static_cast<size_t>(size) + 1, 0xEE);
      ASSERT_EQ(mxt_vector_to_net_into(tp, v, out.data()), 0) << line;
      EXPECT_EQ(out.back(), 0xEE) << line;
      out.pop_back();
      EXPECT_EQ(to_hex(out), f[3]) << line;
      EXPECT_EQ(mxt_vector_net_size(get_matrix_data_type(code == 22 ? 23 : 22), v), -1) << line;  // another type
      codes.insert(code);
    }
    free_value(tp, v);
  }
  EXPECT_EQ(codes.size(), 12u);
}

TEST_F(StoredForm, WorkedExamples) {
  // An int16 vector of 1, 2, 3.
  int32_t ext = 3;
  MATRIX_ALLOC_VECTOR_PARAM p{1, &ext, nullptr, nullptr};
  void* v = mxt_alloc_vector(&mx_type_int16_v, MX_ATYPE::tagged, &p, nullptr);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  const int16_t vals[3] = {1, 2, 3};
  std::memcpy(dh.offset, vals, sizeof vals);
  EXPECT_EQ(to_hex(to_net(&mx_type_int16_v, v)), "0813000100000003000100020003");
  mxt_free_data(&mx_type_int16_v, v);

  // A string vector {"a", absent, "bc"}.
  void* s = mx_type_string_v.alloc_data(&mx_type_string_v, MX_ATYPE::tagged, &p, nullptr, __FILE__, __LINE__);
  mxt_stringv_set(s, 0, "a");
  mxt_stringv_set(s, 2, "bc");
  Bytes net = to_net(&mx_type_string_v, s);
  EXPECT_EQ(to_hex(net), "001e000100000003610000626300");
  Bytes before = net;
  void* back = mx_type_string_v.convert_to_host(&mx_type_string_v, net.data(), static_cast<int64_t>(net.size()),
                                                MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(net, before);  // the input is never written
  EXPECT_EQ(mxt_stringv_slots(back)[1], nullptr);
  EXPECT_STREQ(mxt_stringv_slots(back)[2], "bc");
  mxt_free_stringv_data(&mx_type_string_v, s);
  mxt_free_stringv_data(&mx_type_string_v, back);

  // A length prefix after pieces of 3 and 200 bytes.
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  static char piece[200];
  CHAIN_LIST64* mark = set_recordlist_chain64(rl, piece, 1, 0);
  set_recordlist_chain64(rl, piece, 3, 0);
  set_recordlist_chain64(rl, piece, 200, 0);
  ASSERT_EQ(set_recordlist_code(rl, mark), 0);
  ASSERT_EQ(setup_recordlist64(rl), 1 + 2 + 203);
  EXPECT_EQ(to_hex(static_cast<uint8_t*>(rl->data) + 1, 2), "00cb");
  free_recordlist64(rl);
}

// Lengths in a stored vector that do not match the bytes are refused.
TEST_F(StoredForm, DamagedHeadersAreRefused) {
  auto host = [](const MATRIX_DATA_TYPE* tp, const Bytes& b) {
    void* v = tp->convert_to_host(tp, b.data(), static_cast<int64_t>(b.size()), MX_ATYPE::tagged, nullptr,
                                  __FILE__, __LINE__);
    bool ok = v != nullptr;
    free_value(tp, v);
    return ok;
  };
  Bytes good = unhex("0813000100000003000100020003");
  EXPECT_TRUE(host(&mx_type_int16_v, good));
  for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(host(&mx_type_int16_v, Bytes(good.begin(), good.begin() + static_cast<long>(n))));
  EXPECT_FALSE(host(&mx_type_int32_v, good));                 // another type byte
  EXPECT_FALSE(host(&mx_type_int16_v, unhex("0413000100000003000100020003")));  // h below 4 + 4 * dim
  EXPECT_FALSE(host(&mx_type_int16_v, unhex("0813ffff00000003000100020003")));  // negative dim
  EXPECT_FALSE(host(&mx_type_int16_v, unhex("08130001ffffffff000100020003")));  // negative extent
  EXPECT_FALSE(host(&mx_type_int16_v, unhex("0813000140000000000100020003")));  // count past the bytes
  // A longer header is read and written back by the rule.
  Bytes longer = unhex("0c1300010000000300000000000100020003");
  void* v = mx_type_int16_v.convert_to_host(&mx_type_int16_v, longer.data(), 18, MX_ATYPE::tagged, nullptr,
                                            __FILE__, __LINE__);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(to_net(&mx_type_int16_v, v), good);
  mxt_free_data(&mx_type_int16_v, v);
  // Scalars need their exact size, texts their 0 inside the bytes.
  EXPECT_FALSE(host(&mx_type_int32, unhex("000000")));
  EXPECT_FALSE(host(&mx_type_int32, unhex("0000000000")));
  EXPECT_FALSE(host(&mx_type_string, unhex("6162")));
  EXPECT_TRUE(host(&mx_type_string, unhex("6100ffff")));
  // String vectors: the header word, texts ending inside, nothing after.
  EXPECT_FALSE(host(&mx_type_string_v, unhex("001f00010000000161")));
  EXPECT_FALSE(host(&mx_type_string_v, unhex("001e0001000000026100")));
  EXPECT_FALSE(host(&mx_type_string_v, unhex("001e000100000001610000")));
  EXPECT_EQ(get_size_endian(good.data(), 3), -1);
  EXPECT_EQ(get_size_endian(good.data(), 8), 14);
}

TEST_F(StoredForm, CompressedIntegers) {
  struct Case {
    int64_t v;
    int len;
  };
  const int64_t p14 = int64_t{1} << 14, p29 = int64_t{1} << 29, p44 = int64_t{1} << 44, p59 = int64_t{1} << 59;
  for (Case c : {Case{0, 2}, {p14 - 1, 2}, {-p14, 2}, {p14, 4}, {-p14 - 1, 4}, {p29, 6}, {p44, 8}, {-p44, 6},
                 {p59, 9}, {-p59 - 1, 9}, {-p59, 8}, {INT64_MIN, 9}, {INT64_MAX, 9}}) {
    uint8_t buf[kCompressedCodeMax];
    uint8_t* end = get_compressed_code64(buf, c.v);
    EXPECT_EQ(end - buf, c.len) << c.v;
    int64_t back = 0;
    EXPECT_EQ(get_uncompressed_code64_bounded(&back, buf, end), end) << c.v;
    EXPECT_EQ(back, c.v);
    EXPECT_EQ(get_uncompressed_code64_bounded(&back, buf, end - 1), nullptr) << c.v;
  }
  uint8_t buf[kCompressedCodeMax];
  get_compressed_code64(buf, -p44);
  EXPECT_EQ(buf[0], 0xD0);
  for (uint8_t b : {0xF1, 0xF2, 0xFF}) EXPECT_EQ(get_uncompressed_code64_bounded(nullptr, &b, &b + 1), nullptr);
}
