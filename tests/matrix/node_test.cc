// Nodes outside the cache: the byte form remote readers receive, channels
// as ZU values, dim codes in ZU form, the Z order of a level and the index
// helpers.
#include "base/alloc.h"
#include "elements/value.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_impl.h"
#include "matrix/node.h"
#include "matrix_test_util.h"
#include "text/codemethod.h"
#include "text/convert.h"

namespace {

void set_channels(MATRIX* m, std::initializer_list<std::pair<MATRIX_DATA_TYPE*, int>> chs) {
  int ch = 0;
  for (auto [tp, flags] : chs) {
    MATRIX_CHANNEL_INFO inf{tp, flags, nullptr, 0};
    ASSERT_EQ(set_matrix_channel_info(m, ch++, &inf), 0);
  }
}

template <class T>
void put(MATRIX_NODE* n, int ch, T v) {
  {
    MatrixLocked held;
    _mx_node_channels(n);
  }
  MATRIX_DATA_TYPE* tp = n->matrix->channel_info[ch].data_type;
  n->channel[ch].data = tp->alloc_copy(tp, &v, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__);
}

template <class T>
T got(const MATRIX_NODE* n, int ch) {
  return *static_cast<const T*>(n->channel[ch].data);
}

Bytes raw_bytes(ZU_SEXP* s) { return Bytes(s->raw.data, s->raw.data + s->raw.size); }

ZU_SEXP* raw_of(const Bytes& b) { return get_raw(b.data(), static_cast<uint32_t>(b.size())); }

}  // namespace

// A bit-field node with two sendable channels: form 1, the field's length
// and bytes, then the records in channel order; the channel without the
// send flag is absent. Both child-list forms come back whole.
TEST_F(MatrixTest, NodeByteFormRoundTrips) {
  MATRIX* m = make_matrix(2, {1, 1}, {2, 2}, {64, 64}, 3);
  set_channels(m, {{&mx_type_int16, kMxChSend}, {&mx_type_int32, 0}, {&mx_type_uint8, kMxChSend | kMxChFile}});
  MATRIX_NODE* n = make_node(m, {1, 8, 4});
  n->nlist_dim_bit_field[0] = 0x0A;
  put<int16_t>(n, 0, -2);
  put<int32_t>(n, 1, 5);
  put<uint8_t>(n, 2, 200);
  Bytes want = unhex("01" "0001" "0a" "0000" "0002" "fffe" "0002" "0001" "c8");
  EXPECT_EQ(raw_bytes(encode_matrix_node(n)), want);

  MATRIX_NODE* back = make_node(m, {1, 8, 4});
  ASSERT_EQ(decode_matrix_node(back, raw_of(want)), 0);
  EXPECT_EQ(back->nlist_dim_bit_field[0], 0x0A);
  EXPECT_EQ(got<int16_t>(back, 0), -2);
  EXPECT_EQ(back->channel[1].data, nullptr);
  EXPECT_EQ(got<uint8_t>(back, 2), 200);
  // A record of channel channel_nos is skipped; the next one still counts.
  Bytes skip = unhex("01" "0001" "0a" "0003" "0001" "11" "0002" "0001" "07");
  ASSERT_EQ(decode_matrix_node(back, raw_of(skip)), 0);
  EXPECT_EQ(got<uint8_t>(back, 2), 7);

  MATRIX* lists = make_matrix(2, {7, 7}, {1, 1}, {1 << 20, 1 << 20}, 1);
  set_channels(lists, {{&mx_type_double, kMxChSend}});
  ASSERT_EQ(lists->dim_bit_field, 0);
  MATRIX_NODE* p = make_node(lists, {2, 0, 0});
  for (int64_t x : {3 << 8, 1 << 8, 2 << 8}) insert_dim_code_index(p, std::vector<int64_t>{1, x, 256}.data(), 0);
  put<double>(p, 0, 2.5);
  ZU_SEXP* enc = encode_matrix_node(p);
  MATRIX_NODE* q = make_node(lists, {2, 0, 0});
  ASSERT_EQ(decode_matrix_node(q, enc), 0);
  ASSERT_EQ(q->nlist_dim_addr_len, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cmp_dim_code(lists, q->nlist_dim_addr[i], p->nlist_dim_addr[i]), 0);
  EXPECT_EQ(raw_bytes(encode_matrix_node(q)), raw_bytes(enc));
  for (MATRIX_NODE* x : {n, back, p, q}) drop_node(x);
  drop_matrix(lists);
  drop_matrix(m);
}

// Counts, lengths, codes, forms and every channel's datum are checked
// before the node changes; a record for a channel without a type is
// refused and leaves the matrix as it was.
TEST_F(MatrixTest, NodeDecodeRefusesMalformedBytes) {
  MATRIX* m = make_matrix(2, {1, 1}, {2, 2}, {64, 64}, 2);
  set_channels(m, {{&mx_type_uint8, kMxChSend}, {nullptr, 0}});
  MATRIX_NODE* n = make_node(m, {1, 8, 4});
  d_f_ree(n->channel);  // a node whose channel table is not made yet
  n->channel = nullptr;
  n->nlist_dim_bit_field[0] = 0x05;
  for (const char* bad : {"", "02", "00" "0000", "01" "f07fffffffffffffff", "01" "0002" "ffff", "01" "0001" "0a" "00",
                          "01" "0001" "0a" "0000" "0005" "01", "01" "0001" "0a" "0000" "c0"})
    EXPECT_EQ(decode_matrix_node(n, raw_of(unhex(bad))), -1) << bad;
  EXPECT_EQ(decode_matrix_node(n, get_integer(1, nullptr)), -1);
  EXPECT_EQ(n->nlist_dim_bit_field[0], 0x05);
  EXPECT_EQ(n->channel, nullptr);
  put<uint8_t>(n, 0, 3);
  // A good record of channel 0 first, then one the node cannot take.
  for (const char* late : {"0001" "0001" "09", "0000" "0000", "0000" "0002" "0909"}) {
    std::string bytes = std::string("01" "0001" "0a" "0000" "0001" "07") + late;
    EXPECT_EQ(decode_matrix_node(n, raw_of(unhex(bytes))), -1) << late;
    EXPECT_EQ(n->nlist_dim_bit_field[0], 0x05) << late;
    EXPECT_EQ(got<uint8_t>(n, 0), 3) << late;
  }
  EXPECT_FALSE(m->flags & kMxBroken);
  drop_node(n);
  drop_matrix(m);
}

// Channel writes as ZU values: what each answers, the marks it leaves,
// and the reasons a read is refused.
TEST_F(MatrixTest, ChannelsAsValues) {
  MATRIX* m = make_matrix(1, {1}, {2}, {64}, 2);
  set_channels(m, {{&mx_type_int64, kMxChFile}, {&mx_type_sexp, 0}});
  ASSERT_EQ(set_matrix_cal(m, 23, list(get_integer(1, nullptr))), 0);
  MATRIX_NODE* n = make_node(m, {0, 5});
  {
    MatrixLocked held;
    _mx_node_channels(n);
  }
  // A new or different datum marks the node; only a replaced one advances
  // the update stamp.
  struct Write {
    ZU_SEXP* v;
    int ch, result;
    bool marks, stamps;
  } writes[] = {{get_integer(5, nullptr), 0, 1, true, false}, {get_integer(5, nullptr), 0, 0, false, false},
                {get_integer(6, nullptr), 0, 1, true, true},  {get_string_ascii("x"), 0, -2, false, false},
                {get_integer(1, nullptr), 9, -1, false, false}};
  for (const Write& w : writes) {
    n->dirty_file_time = 0;
    int64_t stamp = n->channel[0].update_time[0];
    EXPECT_EQ(set_channel_sexp(n, w.ch, w.v), w.result);
    EXPECT_EQ(n->dirty_file_time != 0, w.marks);
    EXPECT_EQ(n->channel[0].update_time[0] != stamp, w.stamps);
  }
  EXPECT_EQ(get_channel_data(n, 0, nullptr)->integer.num, 6);
  for (auto [ch, reason] : {std::pair{1, "SEXP type no data"}, std::pair{9, "overflow the ch No."}}) {
    ZU_SEXP* e = get_channel_data(n, ch, nullptr);
    EXPECT_EQ(error_code(e), ZU_ER_NO_OBJECT);
    EXPECT_STREQ(n_string(utf8_cm, str_text(get_el(e->error->data, 1))), reason);
  }
  drop_node(n);
  drop_matrix(m);
}

// The Z order of level 0 inside [start, end), the first dimension fastest.
TEST_F(MatrixTest, PeanoOrder) {
  MATRIX* m = make_matrix(2, {1, 1}, {0, 0}, {4, 4});
  struct Case {
    int64_t start[3], end[3];
    const char* order;
  } cases[] = {
      {{0, 0, 0}, {0, 4, 4}, "00 10 01 11 20 30 21 31 02 12 03 13 22 32 23 33"},
      {{0, 1, 1}, {0, 3, 3}, "11 21 12 22"},
  };
  for (const Case& c : cases) {
    int64_t dc[3] = {c.start[0], c.start[1], c.start[2]};
    std::string order;
    do order += (order.empty() ? "" : " ") + std::to_string(dc[1]) + std::to_string(dc[2]);
    while (_dc_peano_inc(m, dc, c.start, c.end, 0) == 0);
    EXPECT_EQ(order, c.order);
  }
  drop_matrix(m);
}
