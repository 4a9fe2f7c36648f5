// The plot block plug-in on the nodes of a 2-D matrix (dim_divide 1, block
// size 8): block forms, inserts, the divide limits, handing lists out and
// in (run under the sanitizers: no leak, no free by the wrong allocator),
// damaged blocks, distances and the cell array.
#include "base/alloc.h"
#include "matrix_ops/plot_block.h"
#include "plot_script_util.h"
#include "plot_test_util.h"

namespace {

class PlotBlockTest : public OpsTest {
 protected:
  void SetUp() override { bind_plot_test_prims(); }
  void TearDown() override {
    for (MATRIX* m : opened_) close_matrix(m);
  }
  // The node at dc of a new matrix of pixel sizes px, with empty plot
  // structures on channels 0 (plain) and 1 (compressed).
  MATRIX_NODE* node(const Code& dc, const std::vector<int64_t>& px = {1024, 1024}) {
    MATRIX* m = open_plot_matrix(px);
    opened_.push_back(m);
    MATRIX_NODE* n = ready_node(m, dc);
    NodeScript s(n);
    EXPECT_EQ(shown(s.eval(R"((mxPgPlotInitialize channel="0") (mxPgPlotInitialize channel="1" compress="on"))")),
              "()");
    return n;
  }
  std::vector<MATRIX*> opened_;
};

// The structure of channel ch, its channel lock let go at once: the tests
// are the only users of their nodes.
MX_STRUCT_BLOCK* sb_of(MATRIX_NODE* n, int ch) {
  MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, ch);
  if (sb) matrix_node_channel_unlock(n, 0);
  return sb;
}

int insert(MX_STRUCT_BLOCK* sb, int64_t level, Code crd) {
  PPC_INSERT_T in{level, crd.data(), nullptr};
  return pp_operation(PPC_INSERT, sb, &in);
}

INTERNAL_PLOT* listed(MX_STRUCT_BLOCK* sb) {
  INTERNAL_PLOT* ip = nullptr;
  EXPECT_EQ(pp_operation(PPC_GET, sb, &ip), 0);
  return ip;
}

std::vector<std::vector<int>> cells(INTERNAL_PLOT* ip) {
  std::vector<std::vector<int>> out;
  for (; ip; ip = ip->next) out.push_back({ip->flags, ip->c[0], ip->c[1]});
  return out;
}

Bytes block_of(MX_STRUCT_BLOCK* sb) {
  auto* b = pp_struct2block(sb);
  if (!b) return {};
  const auto* p = static_cast<const uint8_t*>(b->block);
  Bytes out(p, p + b->size);
  mx_type_block.free_data(&mx_type_block, b);
  return out;
}

int load(MX_STRUCT_BLOCK* sb, const Bytes& bytes) {
  MATRIX_ALLOC_BLOCK_PARAM p{};
  p.size = static_cast<int32_t>(bytes.size());
  p.block = const_cast<uint8_t*>(bytes.data());
  return pp_block2struct(sb, &p);
}

int stamps(MATRIX_NODE* n, int ch) { return get_matrix_update_time(n, ch, -2); }

// Three points: (1,2), (9,9) with a sum field, (3,1) with an id.
const char* kThree =
    "01 00 00 01 00 02 00 01 00 00 09 00 09 31 00 00 00 00 00 00 00 07 00"
    " 41 00 00 03 00 01 00 00 00 00 00 00 02 00 00 00";

TEST_F(PlotBlockTest, EmptyAndFullBlockForms) {
  MATRIX_NODE* n = node({2, 0, 0});
  MX_STRUCT_BLOCK *plain = sb_of(n, kPlainCh), *zip = sb_of(n, kZipCh);
  EXPECT_EQ(block_of(plain), unhex("00"));
  EXPECT_EQ(block_of(zip), zip_block(unhex("00")));
  ASSERT_EQ(load(plain, unhex(kThree)), 0);
  ASSERT_EQ(load(zip, zip_block(unhex(kThree))), 0);
  EXPECT_EQ(block_of(plain), unhex(kThree));
  EXPECT_EQ(block_of(zip), zip_block(unhex(kThree)));
  // Any type byte is skipped on reading; the channel's empty default is the
  // empty plot.
  Bytes other = unhex("42 " + std::string(kThree));
  EXPECT_EQ(load(zip, zlib_of(other)), 0);
  EXPECT_EQ(cells(listed(zip)).size(), 3u);
  EXPECT_EQ(load(plain, {}), 0);
  EXPECT_EQ(listed(plain), nullptr);
}

TEST_F(PlotBlockTest, InsertsComeOutReversedUntilSorted) {
  MATRIX_NODE* n = node({2, 0, 0});
  MX_STRUCT_BLOCK* sb = sb_of(n, kPlainCh);
  get_matrix_update_time(n, kPlainCh, -1);
  for (Code crd : {Code{0, 36, 8}, Code{0, 4, 4}, Code{0, 8, 0}}) EXPECT_EQ(insert(sb, 2, crd), 0);
  EXPECT_EQ(stamps(n, kPlainCh), 1) << "an insert stamps the structure";
  EXPECT_EQ(cells(listed(sb)), (std::vector<std::vector<int>>{{1, 2, 0}, {1, 1, 1}, {1, 9, 2}}));
  get_matrix_update_time(n, kPlainCh, -1);
  for (int cmd : {PPC_GET, PPC_DENSITY, PPC_ARRAY, PPC_FREE_ARRAY, PPC_DIVIDE_CHECK}) {
    INTERNAL_PLOT* out = nullptr;
    pp_operation(cmd, sb, &out);
  }
  EXPECT_EQ(stamps(n, kPlainCh), -1) << "reading commands leave the stamps";
  EXPECT_EQ(pp_operation(PPC_SORT, sb, nullptr), 0);
  EXPECT_EQ(stamps(n, kPlainCh), 1);
  EXPECT_EQ(cells(listed(sb)), (std::vector<std::vector<int>>{{1, 1, 1}, {1, 2, 0}, {1, 9, 2}}));
  // Codes outside the table, and the code without a command, change nothing.
  Bytes before = block_of(sb);
  get_matrix_update_time(n, kPlainCh, -1);
  EXPECT_EQ(pp_operation(0, sb, nullptr), -2);
  EXPECT_EQ(pp_operation(11, sb, nullptr), -2);
  EXPECT_EQ(pp_operation(2, sb, nullptr), -1);
  EXPECT_EQ(block_of(sb), before);
  EXPECT_EQ(stamps(n, kPlainCh), -1);
}

// A base exactly when the coordinate has bits between the point's own
// level and the node's; make_plot and get_plot_crd undo each other.
TEST(PlotPoints, BaseRulesAndPositions) {
  PlotMatrix pm({8, 8}, {1, 1});
  struct {
    int64_t level, own, x, y;
    int cx, cy;
    std::vector<int64_t> base;  // empty: none
  } cases[] = {
      {2, 0, 20, 8, 5, 2, {}},           // on a corner of a level-2 cell
      {2, 0, 21, 8, 5, 2, {1, 0}},       // one level-0 unit off it
      {2, 1, 21, 9, 5, 2, {}},           // the stray bits lie below its own level
      {2, 1, 22, 8, 5, 2, {2, 0}},       // bit 1 is between the levels
      {1, 1, 23, 9, 11, 4, {}},          // at its own level: never a base
      {0, 0, 300, 7, 44, 7, {}},         // level 0: the cell wraps at the block size
      {3, 0, 1031, 2048, 128, 0, {7, 0}},
  };
  for (const auto& c : cases) {
    int64_t crd[3] = {c.own, c.x, c.y};
    INTERNAL_PLOT* ip = make_plot(pm.get(), c.level, crd, nullptr);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->c[0], c.cx) << c.x;
    EXPECT_EQ(ip->c[1], c.cy) << c.y;
    EXPECT_EQ(ip->flags, c.base.empty() ? 0x01 : 0x21) << c.x;
    if (!c.base.empty()) {
      EXPECT_EQ(std::vector<int64_t>(ip->base, ip->base + 2), c.base);
    }
    int64_t back[3];
    get_plot_crd(back, pm.get(), ip, c.level);
    if (c.level > c.own) {
      int64_t node = int64_t{1} << (c.level + 8);
      EXPECT_EQ(back[1], c.base.empty() ? (c.x % node) & ~((int64_t{1} << c.level) - 1) : c.x % node) << c.x;
    }
    free_internal_plot(ip);
  }
  int64_t crd[3] = {0, 1, 1};
  EXPECT_EQ(make_plot(pm.get(), -1, crd, nullptr), nullptr);
  EXPECT_EQ(make_plot(pm.get(), 64, crd, nullptr), nullptr);
  crd[0] = -1;
  EXPECT_EQ(make_plot(pm.get(), 1, crd, nullptr), nullptr);
  PlotMatrix wide({17, 8}, {1, 1});
  crd[0] = 0;
  EXPECT_EQ(make_plot(wide.get(), 1, crd, nullptr), nullptr);
}

// A node not clipped by the matrix edge has room for 64 x 64 points in each
// quarter; one clipped to 3 cells has none.
TEST_F(PlotBlockTest, DivideLimits) {
  MATRIX_NODE* n = node({2, 0, 0});
  MX_STRUCT_BLOCK* sb = sb_of(n, kPlainCh);
  for (int64_t i = 0; i < 4096; ++i) ASSERT_EQ(insert(sb, 2, {0, 4 * (i % 128), 4 * (i / 128) + 512}), 0);
  for (int64_t i = 0; i < 3000; ++i) ASSERT_EQ(insert(sb, 2, {0, 4 * (i % 128) + 512, 4 * (i / 128)}), 0);
  EXPECT_EQ(pp_operation(PPC_DIVIDE_CHECK, sb, nullptr), 0);
  EXPECT_EQ(pp_op_divide_check(n, listed(sb)), 0);
  ASSERT_EQ(insert(sb, 2, {0, 0, 1020}), 0);
  EXPECT_EQ(pp_operation(PPC_DIVIDE_CHECK, sb, nullptr), 1);
  EXPECT_EQ(pp_op_divide_check(n, listed(sb)), 1);
  // The counters follow the list through take and replace.
  INTERNAL_PLOT* taken = nullptr;
  ASSERT_EQ(pp_operation(PPC_TAKE, sb, &taken), 0);
  EXPECT_EQ(pp_operation(PPC_DIVIDE_CHECK, sb, nullptr), 0);
  ASSERT_EQ(pp_operation(PPC_REPLACE, sb, taken), 0);
  EXPECT_EQ(pp_operation(PPC_DIVIDE_CHECK, sb, nullptr), 1);

  MATRIX_NODE* edge = node({0, 256, 0}, {259, 1024});
  MX_STRUCT_BLOCK* small = sb_of(edge, kPlainCh);
  EXPECT_EQ(pp_operation(PPC_DIVIDE_CHECK, small, nullptr), 0);
  ASSERT_EQ(insert(small, 0, {0, 257, 3}), 0);
  EXPECT_EQ(pp_operation(PPC_DIVIDE_CHECK, small, nullptr), 1);
}

// Take, get, replace, reading and freeing, with and without the bump
// allocator: a taken list is always the taker's tagged list, an adopted
// list is released as tagged, and nothing leaks.
TEST_F(PlotBlockTest, ListsGoToAndComeFromTheRightAllocator) {
  MATRIX_NODE* n = node({2, 0, 0});
  PlotMatrix pm({8, 8}, {1, 1});
  for (int flags : {0, kPpInSat, kPpInSat | kPpCompressed}) {
    SCOPED_TRACE(flags);
    MX_SB_NEW place{nullptr, n, kPlainCh};
    Bytes three = flags & kPpCompressed ? zip_block(unhex(kThree)) : unhex(kThree);
    PP_SB_NEW init{three.data(), static_cast<int>(three.size()), flags};
    MX_STRUCT_BLOCK* sb = pp_new_sb(&place, &init);
    ASSERT_TRUE(sb);
    INTERNAL_PLOT* lent = listed(sb);
    EXPECT_EQ(listed(sb), lent) << "get lends the list it holds";
    MX_STRUCT_BLOCK* copy = pp_copy_sb(sb);
    EXPECT_EQ(block_of(copy), block_of(sb));
    INTERNAL_PLOT* taken = nullptr;
    ASSERT_EQ(pp_operation(PPC_TAKE, sb, &taken), 0);
    EXPECT_EQ(listed(sb), nullptr);
    INTERNAL_PLOT* read = plot_of(pm.get(), kThree);
    EXPECT_EQ(cells(taken), cells(read)) << "a taken list is the points read";
    free_internal_plot_list(read);
    EXPECT_EQ(insert(sb, 2, {0, 40, 40}), 0);  // into the allocator the flags name
    free_internal_plot_list(taken);            // the taker's own tagged list
    ASSERT_EQ(pp_operation(PPC_REPLACE, sb, plot_of(pm.get(), kThree)), 0);
    EXPECT_EQ(insert(sb, 2, {0, 44, 40}), 0);  // joins the adopted tagged list
    EXPECT_EQ(cells(listed(sb)).size(), 4u);
    ASSERT_EQ(pp_operation(PPC_TAKE, sb, &taken), 0);
    free_internal_plot_list(taken);
    ASSERT_EQ(pp_operation(PPC_REPLACE, sb, plot_of(pm.get(), kThree)), 0);
    ASSERT_EQ(load(sb, three), 0);  // the adopted list goes; the read one follows the flags
    ASSERT_EQ(pp_operation(PPC_REPLACE, sb, nullptr), 0);
    pp_free_sb(sb);
    pp_free_sb(copy);
  }
}

TEST_F(PlotBlockTest, DamagedBlocksAreRefusedAndTheListKept) {
  MATRIX_NODE* n = node({2, 0, 0});
  Bytes code = unhex(kThree);
  Bytes truncated(code.begin(), code.end() - 2);
  Bytes bad_field = code;
  bad_field[13] = 0x35;  // no such field type
  struct {
    int flags;
    Bytes bytes;
  } cases[] = {
      {0, truncated},
      {0, bad_field},
      {kPpCompressed, code},                       // not a zlib stream
      {kPpCompressed, zip_block({})},         // nothing behind the type byte
      {kPpCompressed, zlib_of({})},                  // nothing at all
      {kPpCompressed, zip_block(truncated)},
      {kPpCompressed, {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(hex(c.bytes));
    MX_SB_NEW place{nullptr, n, kPlainCh};
    uint8_t none = 0;  // bytes there, but none of them to read
    PP_SB_NEW init{c.bytes.empty() ? &none : c.bytes.data(), static_cast<int>(c.bytes.size()), c.flags};
    EXPECT_EQ(pp_new_sb(&place, &init), nullptr);
    Bytes good = c.flags & kPpCompressed ? zip_block(code) : code;
    init = PP_SB_NEW{good.data(), static_cast<int>(good.size()), c.flags};
    MX_STRUCT_BLOCK* sb = pp_new_sb(&place, &init);
    ASSERT_TRUE(sb);
    INTERNAL_PLOT* before = listed(sb);
    EXPECT_EQ(load(sb, c.bytes), -1);
    EXPECT_EQ(listed(sb), before);
    EXPECT_EQ(block_of(sb), good);
    pp_free_sb(sb);
  }
  EXPECT_EQ(pp_block2struct(sb_of(n, kPlainCh), nullptr), -1);
  // A node of another matrix, and a geometry plots cannot hold.
  MATRIX_NODE* other = node({2, 0, 0});
  MX_SB_NEW wrong{n->matrix, other, 0};
  EXPECT_EQ(pp_new_sb(&wrong, nullptr), nullptr);
  PlotMatrix wide({17, 8}, {1, 1});
  MX_SB_NEW too_wide{wide.get(), nullptr, 0};
  EXPECT_EQ(pp_new_sb(&too_wide, nullptr), nullptr);
}

TEST_F(PlotBlockTest, DensityFindsNearestNeighbours) {
  MATRIX_NODE* n = node({2, 0, 0});
  MX_STRUCT_BLOCK* sb = sb_of(n, kPlainCh);
  ASSERT_EQ(insert(sb, 2, {0, 40, 40}), 0);
  ASSERT_EQ(pp_operation(PPC_DENSITY, sb, nullptr), 0);
  EXPECT_EQ(listed(sb)->min_direction, -1) << "alone";
  ASSERT_EQ(insert(sb, 2, {0, 48, 52}), 0);  // 2 + 3 cells away
  ASSERT_EQ(pp_operation(PPC_DENSITY, sb, nullptr), 0);
  EXPECT_EQ(listed(sb)->min_direction, 5);
  EXPECT_EQ(listed(sb)->next->min_direction, 5);
  // Both passes agree on a sorted list; the exhaustive one also finds the
  // smallest distance of all.
  for (int i = 0; i < 60; ++i) ASSERT_EQ(insert(sb, 2, {0, (i * 97) % 1024, (i * 389) % 1024}), 0);
  ASSERT_EQ(pp_operation(PPC_SORT, sb, nullptr), 0);
  ASSERT_EQ(pp_operation(PPC_DENSITY, sb, nullptr), 0);
  std::vector<int> pruned;
  for (INTERNAL_PLOT* p = listed(sb); p; p = p->next) pruned.push_back(p->min_direction), p->min_direction = -1;
  auto* b = reinterpret_cast<PP_STRUCT_BLOCK*>(sb);
  set_pp_density_1(b);
  std::vector<int> exact;
  int smallest = INT32_MAX;
  for (INTERNAL_PLOT* p = listed(sb); p; p = p->next) exact.push_back(p->min_direction), smallest = std::min(smallest, p->min_direction);
  EXPECT_EQ(b->min, smallest);
  EXPECT_EQ(pruned, exact);
}

// The cell array of a node clipped to 3 cells: a point outside has no slot,
// and of two in one cell the later one in the list stays.
TEST_F(PlotBlockTest, CellArrayKeepsInsideThePoints) {
  MATRIX_NODE* n = node({0, 256, 0}, {259, 1024});
  MX_STRUCT_BLOCK* sb = sb_of(n, kPlainCh);
  for (Code crd : {Code{0, 257, 1}, Code{0, 261, 1}, Code{0, 257, 1}, Code{0, 258, 200}}) ASSERT_EQ(insert(sb, 0, crd), 0);
  auto* b = reinterpret_cast<PP_STRUCT_BLOCK*>(sb);
  ASSERT_EQ(pp_operation(PPC_ARRAY, sb, nullptr), 0);
  ASSERT_TRUE(b->ary);
  EXPECT_EQ(std::vector<int>(b->ary_size, b->ary_size + 2), (std::vector<int>{3, 256}));
  INTERNAL_PLOT* first = listed(sb);  // (2, 200)
  EXPECT_EQ(b->ary[2 + 200 * 3], first);
  EXPECT_EQ(b->ary[1 + 1 * 3], first->next->next->next);
  int filled = 0;
  for (int i = 0; i < 3 * 256; ++i) filled += b->ary[i] != nullptr;
  EXPECT_EQ(filled, 2);
  // A released list leaves no slot behind; the extents stay.
  INTERNAL_PLOT* taken = nullptr;
  ASSERT_EQ(pp_operation(PPC_TAKE, sb, &taken), 0);
  free_internal_plot_list(taken);
  for (int i = 0; i < 3 * 256; ++i) ASSERT_EQ(b->ary[i], nullptr);
  ASSERT_EQ(pp_operation(PPC_FREE_ARRAY, sb, nullptr), 0);
  EXPECT_EQ(b->ary, nullptr);
  EXPECT_EQ(b->ary_size, nullptr);
}

}  // namespace
