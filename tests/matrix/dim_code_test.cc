// Dim codes: the order and hash of nodes, child numbering and child lists.
#include <algorithm>
#include <random>

#include "base/alloc.h"
#include "matrix/dim_code.h"
#include "matrix/node.h"
#include "matrix_test_util.h"
#include "runtime/services.h"
#include "text/codemethod.h"

namespace {

using Code = std::vector<int64_t>;

// _check_dim_code with matrix_lock held, as the store calls it.
int checked_dim_code(const MATRIX_NODE* n, const int64_t* dc) {
  MatrixLocked held;
  return _check_dim_code(n, dc);
}

}  // namespace

TEST_F(MatrixTest, CodesInsideOneNodeAreOneKey) {
  MATRIX* m = make_matrix(1, {1}, {8}, {4096});
  Code a{2, 1000}, b{2, 1023}, c{2, 1024};
  EXPECT_EQ(cmp_dim_code(m, a.data(), b.data()), 0);
  EXPECT_EQ(_get_node_hash(m, a.data()), _get_node_hash(m, b.data()));
  EXPECT_EQ(cmp_dim_code(m, b.data(), c.data()), -1);
  EXPECT_EQ(cmp_dim_code(m, c.data(), a.data()), 1);
  Code lower{1, 5000};
  EXPECT_EQ(cmp_dim_code(m, lower.data(), a.data()), -1) << "the lower level sorts first";
  EXPECT_EQ(cmp_dim_code(m, nullptr, a.data()), -1);
  normalize_dim_code(m, b.data());
  EXPECT_EQ(b, (Code{2, 0}));
  EXPECT_EQ(copy_dim_code(m, nullptr), nullptr);
  EXPECT_STREQ(pt_dc(m, c.data(), 1), "+max 13+[2 400 ]");
  EXPECT_DEATH(pt_dc(m, c.data(), 3), "pt_dc");
  // Levels no matrix has still make only defined shifts (UBSan watches).
  Code huge{INT64_MAX, -1}, neg{INT64_MIN, 5};
  EXPECT_EQ(cmp_dim_code(m, neg.data(), huge.data()), -1);
  EXPECT_EQ(cmp_dim_code(m, huge.data(), huge.data()), 0);
  EXPECT_GE(_get_node_hash(m, huge.data()), 0);
  normalize_dim_code(m, huge.data());
  drop_matrix(m);

  // Origins beyond 2^32 compare and hash by all their 64 bits.
  MATRIX* big = make_matrix(1, {1}, {8}, {int64_t{1} << 40});
  Code x{0, int64_t{1} << 33}, y{0, (int64_t{1} << 33) + (int64_t{1} << 32)};
  EXPECT_EQ(cmp_dim_code(big, x.data(), y.data()), -1);
  EXPECT_NE(_get_node_hash(big, x.data()), _get_node_hash(big, y.data()));
  drop_matrix(big);
}

// The nodes of whole levels spread over the buckets: a grid of nodes, a
// strip, and a 3-D block, each with its coarser levels, leave no bucket
// much fuller than an even spread would.
TEST_F(MatrixTest, NodesOfALevelSpreadOverTheHash) {
  struct Case {
    int dim;
    int64_t across, down, deep;  // nodes along each dimension at level 0
  } cases[] = {{2, 64, 64, 1}, {2, 1024, 4, 1}, {3, 16, 16, 16}, {1, 8192, 1, 1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.dim);
    std::vector<int64_t> extent = {k.across * 256, k.down * 256, k.deep * 256};
    extent.resize(k.dim);
    MATRIX* m = make_matrix(k.dim, std::vector<int>(k.dim, 1), std::vector<int>(k.dim, 8), extent);
    std::vector<int> filled(kMxNodeHashSize);
    int64_t nodes = 0;
    for (int64_t l = 0, a = k.across, b = k.down, c = k.deep; a * b * c > 1 || l == 0; ++l) {
      for (int64_t x = 0; x < a; ++x)
        for (int64_t y = 0; y < b; ++y)
          for (int64_t z = 0; z < c; ++z) {
            Code dc{l, x << (8 + l), y << (8 + l), z << (8 + l)};
            dc.resize(1 + k.dim);
            ++filled[_get_node_hash(m, dc.data())];
            ++nodes;
          }
      a = (a + 1) / 2, b = (b + 1) / 2, c = (c + 1) / 2;
    }
    const int even = static_cast<int>((nodes + kMxNodeHashSize - 1) / kMxNodeHashSize);
    EXPECT_LE(*std::max_element(filled.begin(), filled.end()), 4 * even + 4) << nodes << " nodes";
    drop_matrix(m);
  }
}

TEST_F(MatrixTest, ChildIndexAndChildCodeAreInverses) {
  MATRIX* m = make_matrix(2, {1, 1}, {8, 8}, {1000, 1000});
  MATRIX_NODE* n = make_node(m, {1, 300, 700});
  Code child{0, 300, 700};
  EXPECT_EQ(_get_dim_code_index(n, child.data()), 2);
  MxDimCode c2 = get_dim_code_from_index(m, n->dim_code, 2);
  EXPECT_EQ(Code(c2.get(), c2.get() + 3), (Code{0, 256, 512}));
  drop_node(n);
  drop_matrix(m);

  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    int dim = 1 + static_cast<int>(rng() % 4);
    std::vector<int> dd, bs;
    std::vector<int64_t> ps;
    int levels = 2 + static_cast<int>(rng() % 6);
    for (int d = 0; d < dim; ++d) {
      dd.push_back(1 + static_cast<int>(rng() % 3));
      bs.push_back(static_cast<int>(rng() % 9));
      ps.push_back(int64_t{1} << (dd[d] * (levels - 1)));
    }
    MATRIX* g = make_matrix(dim, dd, bs, ps);
    ASSERT_EQ(g->total_levels, levels);
    Code at{1 + static_cast<int64_t>(rng() % (g->total_levels - 1))};
    for (int d = 0; d < dim; ++d) at.push_back(static_cast<int64_t>(rng() % static_cast<uint64_t>(ps[d])));
    MATRIX_NODE* node = make_node(g, at);
    int sum = 0;
    for (int v : dd) sum += v;
    for (int k = 0; k < 16; ++k) {
      int64_t ix = static_cast<int64_t>(rng() % (uint64_t{1} << sum));
      MxDimCode owned = get_dim_code_from_index(g, node->dim_code, ix);
      const int64_t* c = owned.get();
      ASSERT_EQ(c[0], node->dim_code[0] - 1);
      ASSERT_EQ(_get_dim_code_index(node, c), ix);
      int64_t up[1 + 4];
      std::copy(c, c + dim + 1, up);
      up[0] = node->dim_code[0];
      ASSERT_EQ(cmp_dim_code(g, up, node->dim_code), 0) << "the child lies inside its parent";
      int64_t copy[1 + 4];
      std::copy(c, c + dim + 1, copy);
      normalize_dim_code(g, copy);
      ASSERT_TRUE(std::equal(c, c + dim + 1, copy)) << "and is its own origin";
    }
    drop_node(node);
    drop_matrix(g);
  }
}

TEST_F(MatrixTest, BitFieldChildren) {
  MATRIX* m = make_matrix(2, {2, 2}, {4, 4}, {4096, 4096});
  ASSERT_EQ(m->dim_bit_field, 2);
  MATRIX_NODE* n = make_node(m, {2, 0, 0});
  EXPECT_EQ(check_children(n), 0);
  Code c{0, 100, 200};
  insert_dim_code_index(n, c.data(), 0);
  insert_dim_code_index(n, c.data(), 0);
  int64_t ix = _get_dim_code_index(n, c.data());
  EXPECT_EQ(n->nlist_dim_bit_field[ix / 8], 1 << (ix % 8)) << "one bit, set once";
  EXPECT_EQ(check_children(n), 1);
  EXPECT_EQ(checked_dim_code(n, c.data()), 1);
  Code other{0, 100, 100};
  EXPECT_EQ(checked_dim_code(n, other.data()), 0);
  EXPECT_EQ(n->dirty_file_time, 0u);

  const uint8_t bits[2] = {0x0F, 0x80};
  vecset_dim_code_index(n, bits, 0);
  EXPECT_EQ(n->nlist_dim_bit_field[1] & 0x80, 0x80);
  allset_dim_code_index(n, 0);
  EXPECT_EQ(n->nlist_dim_bit_field[0], 0xFF);
  EXPECT_EQ(n->nlist_dim_bit_field[1], 0xFF);

  // A changed child list dirties the node once a save script exists.
  MATRIX_NODE* fresh = make_node(m, {2, 0, 0});
  set_matrix_cal(m, 22, sexp_commands(utf8_cm, "(save)", nullptr));
  insert_dim_code_index(fresh, c.data(), 1);
  EXPECT_NE(fresh->dirty_file_time, 0u);
  drop_node(fresh);

  // One dim_divide of 1: two children, bits 0 and 1 only.
  MATRIX* pair = make_matrix(1, {1}, {4}, {4096});
  MATRIX_NODE* p = make_node(pair, {3, 0});
  allset_dim_code_index(p, 0);
  EXPECT_EQ(p->nlist_dim_bit_field[0], 0x03);
  drop_node(p);
  drop_matrix(pair);

  MATRIX_NODE* leaf = make_node(m, {0, 0, 0});
  insert_dim_code_index(leaf, c.data(), 0);
  EXPECT_EQ(check_children(leaf), 0) << "level 0 has no children";
  drop_node(leaf);
  drop_node(n);
  drop_matrix(m);
}

TEST_F(MatrixTest, ListChildrenStaySorted) {
  MATRIX* m = make_matrix(2, {7, 7}, {4, 4}, {int64_t{1} << 30, int64_t{1} << 30});
  ASSERT_EQ(m->dim_bit_field, 0);
  MATRIX_NODE* n = make_node(m, {2, 0, 0});
  std::vector<Code> kids{{0, 5000, 2048}, {0, 16, 5000}, {0, 5000, 0}};
  std::mt19937 rng(3);
  for (int round = 0; round < 6; ++round) {
    std::shuffle(kids.begin(), kids.end(), rng);
    for (const Code& k : kids) insert_dim_code_index(n, k.data(), 0);
    ASSERT_EQ(n->nlist_dim_addr_len, 3);
    for (int i = 0; i + 1 < 3; ++i) ASSERT_EQ(cmp_dim_code(m, n->nlist_dim_addr[i], n->nlist_dim_addr[i + 1]), -1);
  }
  EXPECT_EQ(n->nlist_dim_addr[0][0], 1) << "kept at the child level";
  for (const Code& k : kids) EXPECT_EQ(checked_dim_code(n, k.data()), 1);
  Code same_child{0, 16 + 15, 5000 + 15};
  EXPECT_EQ(checked_dim_code(n, same_child.data()), 1);
  Code none{0, 1 << 16, 0};
  EXPECT_EQ(checked_dim_code(n, none.data()), 0);
  EXPECT_EQ(check_children(n), 1);
  allset_dim_code_index(n, 0);
  EXPECT_EQ(n->nlist_dim_addr_len, 3) << "nothing for list nodes";
  drop_node(n);
  drop_matrix(m);
}

TEST(DimCode, PowerOf) {
  EXPECT_EQ(power_of(1, 2), 0);
  EXPECT_EQ(power_of(8, 2), 0);
  EXPECT_EQ(power_of(12, 2), -1);
  EXPECT_EQ(power_of(0, 2), -1);
  EXPECT_EQ(power_of(uint64_t{1} << 63, 2), 0);
  EXPECT_EQ(power_of(5, 1), -1) << "no endless loop";
}

// Vector index helpers, first dimension fastest: a linear index and its
// per-dimension index are inverses, and a stepped walk sends each
// dimension back to its start (0 without starts) as it carries, saying
// when every dimension wrapped.
TEST_F(MatrixTest, VectorIndexHelpers) {
  const int size[3] = {3, 4, 2};
  for (int seq = 0; seq < 24; ++seq) {
    int ix[3];
    get_ix_from_seq(ix, size, seq, 3);
    EXPECT_EQ((std::vector<int>{ix[0], ix[1], ix[2]}), (std::vector<int>{seq % 3, seq / 3 % 4, seq / 12}));
    EXPECT_EQ(get_seq_from_ix(ix, size, 3), seq);
  }
  auto walk = [&](const int* st, const int* inc) {
    int ix[3] = {st ? st[0] : 0, st ? st[1] : 0, st ? st[2] : 0};
    std::vector<int> seen{get_seq_from_ix(ix, size, 3)};
    for (int guard = 0; guard < 30 && inc_ix(ix, st, inc, size, 3) == 0; ++guard) seen.push_back(get_seq_from_ix(ix, size, 3));
    EXPECT_EQ(get_seq_from_ix(ix, size, 3), seen.front()) << "every dimension back at its start";
    return seen;
  };
  const int st[3] = {1, 0, 0}, by_two[3] = {2, 1, 1}, skip_rows[3] = {1, 2, 1};
  EXPECT_EQ(walk(st, by_two), (std::vector<int>{1, 4, 7, 10, 13, 16, 19, 22}));
  EXPECT_EQ(walk(nullptr, skip_rows), (std::vector<int>{0, 1, 2, 6, 7, 8, 12, 13, 14, 18, 19, 20}));

  // The 32-bit reading of a dim-code list: non-integers read as 0, fewer
  // than two elements give nothing.
  Tagged<int32_t> owned = get_dim_code_from_sexp_int(
      List(get_integer(2, nullptr), get_integer(7, nullptr), get_string_ascii("x"), ZU_LIST_END));
  ASSERT_NE(owned, nullptr);
  const int32_t* dc = owned.get();
  EXPECT_EQ((std::vector<int32_t>{dc[0], dc[1], dc[2]}), (std::vector<int32_t>{2, 7, 0}));
  EXPECT_EQ(get_dim_code_from_sexp_int(List(get_integer(2, nullptr), ZU_LIST_END)), nullptr);
}
