// Scans and copies over file-backed pyramids of 16 x 16 elements in 4 x 4
// nodes: 5 levels of 16, 4, 1, 1 and 1 nodes, every node stored and
// registered in its parent.
// The scripts of access kind 2 call (scan-log), which records the node and
// ends as the test asks (normally, with a break, with an error).
#include <mutex>

#include "elements/value.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix/node_copy.h"
#include "matrix/scan.h"
#include "matrix_test_util.h"
#include "support/temp_dir.h"
#include "runtime/services.h"
#include "text/codemethod.h"
#include "zu/core_init.h"
#include "zu/errcodes.h"

namespace {

using Code = std::vector<int64_t>;

std::mutex log_mu;
std::vector<Code> visits;
std::map<Code, uint32_t> endings;  // node -> error code its script ends with

ZU_SEXP* scan_log(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  const int64_t* dc = static_cast<MATRIX_TOKEN*>(get_env_work(env))->process_node->dim_code;
  std::lock_guard<std::mutex> g(log_mu);
  visits.push_back(Code(dc, dc + 3));
  uint32_t code = endings.count(visits.back()) ? endings[visits.back()] : 0;
  return code ? get_error_ascii(form->h.file, form->h.line, code, "scan-log", nullptr) : nullptr;
}

// A fetch that fails for nodes the file does not hold.
ZU_SEXP* fload_only(ZUISP_ENV* env, ZU_SEXP*, ZUISP_ENV*, ZU_SYM_FIELD*, ZUISP_ENV*) {
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  set_access_jump(t, -1, -1, kMsLoadingErr1, kMsOk);
  return matrix_standard_read_file(t, nullptr) < 0 ? get_error_ascii(nullptr, 0, ZU_ER_NO_OBJECT, "fload-only", nullptr)
                                                   : nullptr;
}

std::vector<Code> all_nodes() {
  std::vector<Code> r;
  for (int64_t l = 0; l < 5; ++l)
    for (int64_t y = 0; y < 16; y += 4 << l)
      for (int64_t x = 0; x < 16; x += 4 << l) r.push_back({l, x, y});
  return r;
}

uint8_t pattern(const Code& dc, int64_t i) { return static_cast<uint8_t>(dc[0] * 50 + dc[1] * 3 + dc[2] * 7 + i); }

// The bytes of channel ch of the node at dc (empty when it has none),
// filled first with the pattern when asked (the node marked changed).
Bytes channel(MATRIX* m, const Code& dc, int ch, bool fill = false) {
  int err = 0;
  MATRIX_NODE* n = nullptr;
  void* d = get_matrix_node_channel(&err, &n, m, dc.data(), ch, 0, fill ? 0 : -1, nullptr, 0);
  if (!d) return {};
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  for (int64_t i = 0; fill && i < dh.total_element; ++i) dh.offset[i] = pattern(dc, i + ch);
  Bytes b(dh.offset, dh.offset + dh.total_element);
  matrix_node_channel_unlock(n, fill);
  return b;
}

class ScanCopy : public MatrixTest {
 protected:
  static void SetUpTestSuite() {
    ZuThreadScope scope("scan test");
    static const QN_PRIM_DEF prims[] = {{"scan-log", scan_log, 1, 1, 1, 0}, {"fload-only", fload_only, 1, 1, 1, 0}, {}};
    bind_prims(matrix_zu_env, prims);
  }
  void SetUp() override {
    visits.clear();
    endings.clear();
  }
  // A stored pyramid: channel 0 kept in the file, channel 1 in memory only.
  MATRIX* pyramid(const char* name, bool fill = true) {
    MxSpec s;
    s.dd = {1, 1};
    s.bs = {2, 2};
    s.ps = {16, 16};
    s.channels = {{&mx_type_uint8_v, kMxChFile, nullptr, 0}, {&mx_type_uint8_v, 0, nullptr, 0}};
    MATRIX* m = nullptr;
    EXPECT_EQ(open_mx_file(&m, dir_.at(name), s), 0);
    if (!m || !fill) return m;
    set_matrix_cal(m, 6, sexp_commands(utf8_cm, "(scan-log)", nullptr));
    set_matrix_cal_equ(m, 7, 6);
    set_matrix_cal_equ(m, 8, 6);
    for (Code dc : all_nodes()) {
      if (dc[0] == 0) {
        int err = 0;
        if (MATRIX_NODE* n = get_matrix_tree(&err, m, dc.data(), 2, 0)) unlock_node(n, nullptr);
      }
      EXPECT_FALSE(channel(m, dc, 0, true).empty());
    }
    EXPECT_EQ(mx_file_sync_create_node(m), 0);
    return m;
  }
  int scan(MATRIX* m, int dir, int access, Code start = {0, 0, 0}, Code end = {0, 15, 15}) {
    return matrix_scan(m, dir, access, start.data(), end.data(), nullptr, nullptr);
  }
  static ptrdiff_t at(const Code& dc) { return std::find(visits.begin(), visits.end(), dc) - visits.begin(); }
  TempDir dir_{"mxscan"};
};

bool inside(const Code& child, const Code& parent) {
  int64_t size = int64_t{4} << parent[0];
  return child[0] + 1 == parent[0] && child[1] / size * size == parent[1] && child[2] / size * size == parent[2];
}

}  // namespace

// "post" (area 7: the kind-2 byte) runs every node once, each before its
// children; "pre" each after them. A node of an area whose children all
// lie outside it (tested at the node's own level) still runs.
TEST_F(ScanCopy, ScanOrderAndArea) {
  MATRIX* m = pyramid("a.mx");
  for (int dir : {1, 0}) {
    visits.clear();
    ASSERT_EQ(scan(m, dir, 7), 0);
    ASSERT_EQ(visits.size(), 23u) << dir;
    for (const Code& p : all_nodes())
      for (const Code& c : all_nodes())
        if (inside(c, p)) {
          EXPECT_EQ(at(p) < at(c), dir == 1) << p[0] << p[1] << p[2];
        }
  }
  int err = 0;
  MATRIX_NODE* root = get_matrix_node_wait(&err, m, Code{4, 0, 0}.data(), -1);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->scan_call[2], kMxCallDone);
  unlock_node(root, nullptr);

  visits.clear();
  ASSERT_EQ(scan(m, 0, 7, {0, 0, 0}, {0, 3, 3}), 0);
  std::vector<Code> want = {{0, 0, 0}, {0, 0, 4}, {0, 4, 0}, {0, 4, 4}, {1, 0, 0}, {1, 0, 8}, {1, 8, 0}, {1, 8, 8}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}};
  EXPECT_EQ(visits, want) << "(1 8 0) and the other level-1 nodes run without their children";
  close_matrix(m);
}

// A break in a child's script ends the scan: its siblings and the nodes
// after it are not visited, nothing stays locked and close returns. A
// slot without a script, an erring script and a failed matrix end too.
TEST_F(ScanCopy, ScanStopsAndNeverHangs) {
  MATRIX* m = pyramid("b.mx");
  endings[{0, 4, 0}] = ZU_ER_EXIT;
  endings[{0, 12, 12}] = ZU_ER_PARAM;
  EXPECT_EQ(scan(m, 0, 7), kMxScanBreak);
  std::vector<Code> want = {{0, 0, 0}, {0, 0, 4}, {0, 4, 0}};
  EXPECT_EQ(visits, want);
  EXPECT_EQ(scan(m, 1, 7, {0, 8, 8}, {0, 15, 15}), -100) << "an erring script marks the result";
  EXPECT_EQ(scan(m, 0, 7, {0, 4, 0}, {0, 4, 0}), kMxScanBreak) << "a node stopped by a break does not hang";
  EXPECT_EQ(scan(m, 0, 10, {0, 8, 8}, {0, 15, 15}), 0) << "no script in that slot";
  lock_task(matrix_lock);
  int locked = 0;
  for (MATRIX_NODE* head : m->node_hash)
    for (MATRIX_NODE* n = head; n; n = n->nh_next) locked += n->locked + n->ch_lock;
  unlock_task(matrix_lock, "test");
  EXPECT_EQ(locked, 0);
  set_matrix_mode(m, kMxModeFailed);
  EXPECT_EQ(scan(m, 1, 7), kMxInactive);
  close_matrix(m);
}

// A force scan whose function answers 0 stays at the root and counts the
// whole area's elements (16 x 16, then 2 x 2 nodes of 16, then one such
// node on each of the three levels above); answering 1 it visits all 23
// positions; a node it loads is locked for its calls only.
TEST_F(ScanCopy, ForceScan) {
  MATRIX* m = pyramid("c.mx");
  Code start{0, 0, 0}, end{0, 15, 15}, root{4, 0, 0};
  EXPECT_EQ(get_loop_amount(m, start.data(), end.data(), root.data()), 256 + 64 + 3 * 16);
  struct Seen {
    int answer;
    std::vector<std::pair<int, Code>> calls;
    int locked_at_1 = -1;
  } seen{0, {}};
  auto func = [](MATRIX_SCAN_T* mst) {
    auto* s = static_cast<Seen*>(mst->work);
    s->calls.push_back({mst->dir, Code(mst->dim_code, mst->dim_code + 3)});
    if (mst->dir == 1 && mst->n) s->locked_at_1 = mst->n->locked;
    mst->loading_type = 1;
    mst->gn_create = kMxFetchSlot;
    return s->answer;
  };
  ASSERT_EQ(matrix_scan_force(m, 7, start.data(), end.data(), func, &seen), 0);
  std::vector<std::pair<int, Code>> want = {{0, root}, {1, root}, {2, root}, {3, root}};
  EXPECT_EQ(seen.calls, want);
  seen = Seen{1, {}};
  ASSERT_EQ(matrix_scan_force(m, 7, start.data(), end.data(), func, &seen), 0);
  EXPECT_EQ(seen.calls.size(), 23u * 4);
  seen = Seen{2, {}};
  ASSERT_EQ(matrix_scan_force(m, 7, start.data(), end.data(), func, &seen), 0);
  EXPECT_EQ(seen.locked_at_1, 1);
  int err = 0;
  MATRIX_NODE* n = get_matrix_node_wait(&err, m, root.data(), -1);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->locked, 1) << "only this look-up's lock";
  unlock_node(n, nullptr);
  close_matrix(m);
}

// Copies: dims that differ (-126), a node the source does not hold (0,
// nothing made), only the channels kept in the file, and a whole pyramid
// that reads back equal and validates.
TEST_F(ScanCopy, Copies) {
  MATRIX* m2 = make_matrix(2, {1, 1}, {2, 2}, {16, 16});
  MATRIX* m3 = make_matrix(3, {1, 1, 1}, {2, 2, 2}, {16, 16, 16});
  const int none[] = {-1};
  EXPECT_EQ(matrix_copy(m3, m2, none, kMxChFile), kMxCopyDiffers);
  drop_matrix(m2);
  drop_matrix(m3);

  MATRIX* src = pyramid("src.mx");
  MATRIX* dest = pyramid("dest.mx", false);
  MATRIX* empty = pyramid("empty.mx", false);
  set_matrix_cal(empty, 3, sexp_commands(utf8_cm, "(fload-only)", nullptr));
  set_matrix_cal_equ(empty, 4, 3);
  set_matrix_cal_equ(empty, 5, 3);
  Code leaf{0, 4, 8};
  EXPECT_EQ(matrix_copy_node(dest, empty, leaf.data(), none, kMxChFile), 0);
  int err = 0;
  EXPECT_EQ(get_matrix_node(&err, dest, leaf.data(), -1, nullptr, nullptr), nullptr);
  int64_t lo[3], hi[3];
  EXPECT_EQ(mx_scale_of_dim_code(lo, hi, dest), -1) << "nothing stored";

  channel(src, leaf, 1, true);
  ASSERT_EQ(matrix_copy_node(dest, src, leaf.data(), none, kMxChFile), 0);
  EXPECT_EQ(channel(dest, leaf, 0), channel(src, leaf, 0));
  EXPECT_TRUE(channel(dest, leaf, 1).empty()) << "channel 1 is not kept in the file";

  ASSERT_EQ(matrix_copy(dest, src, none, kMxChFile), 0);
  for (const Code& dc : all_nodes()) EXPECT_EQ(channel(dest, dc, 0), channel(src, dc, 0));
  MX_DIM_CODE_LIST* kids = get_children_list(&err, dest, Code{2, 0, 0}.data(), -1, 1, nullptr);
  int count = 0;
  for (MX_DIM_CODE_LIST* k = kids; k; k = k->next) ++count;
  free_mx_dim_code_list(kids);
  EXPECT_EQ(count, 4);

  // A source node in an edit-error status holds data its scripts did not
  // mean to leave: copying it fails with -102, which ends the whole copy.
  for (int status : {kMsEditErr1, kMsEditErr2}) {
    Code bad{1, 8, 0};
    err = 0;
    MATRIX_NODE* held = get_matrix_node_wait(&err, src, bad.data(), 3);
    ASSERT_TRUE(held && err == 0) << err;
    {
      MatrixLocked locked;
      held->status = status;
    }
    EXPECT_EQ(matrix_copy_node(dest, src, bad.data(), none, kMxChFile), kMxNodeFailed) << status;
    EXPECT_EQ(matrix_copy(dest, src, none, kMxChFile), kMxNodeFailed) << status;
    {
      MatrixLocked locked;
      held->status = kMsOk;
    }
    unlock_node(held, nullptr);
  }
  for (MATRIX* m : {src, dest, empty}) close_matrix(m);
  EXPECT_EQ(mx_validate({dir_.at("dest.mx")}), "");
}

TEST(BlockCheckSum, SumsUnsignedBytes) {
  MATRIX_ALLOC_BLOCK_PARAM p{};
  char abc[] = "abc";
  p.size = 3;
  p.block = abc;
  testing::internal::CaptureStderr();
  block_check_sum("x", &p);
  std::vector<uint8_t> high(1 << 24, 0xFF);
  p.size = static_cast<int32_t>(high.size());
  p.block = high.data();
  block_check_sum("y", &p);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CHK x 294 - 3\nCHK y " + std::to_string(static_cast<int32_t>(0xFFu * (1u << 24))) + " - 16777216\n");
}
