// Plots end to end on a 2-D matrix file (dim_divide 1, block size 8, two
// block channels, plain and compressed): points pushed down the pyramid,
// a parent's script making its plot and the children's difference lists
// and rebuilding each child (checked by the Python model), object ids,
// the structure-block operations, and the file read back after closing.
#include <array>
#include <fstream>
#include <map>
#include <random>
#include <set>


#include "matrix/dim_code.h"
#include "matrix/mx_file.h"
#include "matrix_ops/plot_block.h"
#include "plot_script_util.h"
#include "plot_test_util.h"
#include "support/temp_dir.h"

namespace {

using NodeSet = std::set<std::vector<int64_t>>;

class PlotFileTest : public OpsTest {
 protected:
  void SetUp() override { bind_plot_test_prims(); }
};

int64_t next_obj_id(MATRIX* m) {
  lock_task(matrix_lock);
  int64_t id = m->obj_id + 256;
  unlock_task(matrix_lock, "next_obj_id");
  return id;
}

// Runs text as the edit script of node dc, waits for the matrix to rest,
// and gives the notes the script wrote.
std::vector<std::string> edit(MATRIX* m, const Code& dc, const std::string& text) {
  MATRIX_NODE* n = ready_node(m, dc);
  EXPECT_TRUE(n);
  if (!n) return {};
  size_t before = notes().size();
  set_script(m, {9, 10, 11}, text);
  matrix_trigger_access(n, 9, 0);
  wait_idle(m);
  std::vector<std::string> all = notes();
  return std::vector<std::string>(all.begin() + static_cast<ptrdiff_t>(before), all.end());
}

// Points from a fixed seed: most of them in one level-1 quarter, so that
// the top node and one level-1 node divide, the rest anywhere.
std::vector<std::array<int64_t, 2>> points() {
  std::mt19937 rng(27);
  auto below = [&rng](int64_t n) { return static_cast<int64_t>(rng() % static_cast<uint32_t>(n)); };
  std::vector<std::array<int64_t, 2>> pts;
  for (int i = 0; i < 4300; ++i) pts.push_back({below(256), below(256)});
  for (int i = 0; i < 700; ++i) pts.push_back({below(1024), below(1024)});
  return pts;
}

// Inserts the points into channel 0 of m: false when one is refused.
bool insert_all(MATRIX* m) {
  PlotPush push(m, kPlainCh);
  for (const auto& p : points()) {
    int64_t v = p[0] * 1024 + p[1];
    IP_FIELD f{};
    f.type = kFdIntAdd;
    f.len = 1;
    f.d.i = &v;
    if (push.insert(p.data(), &f) != PlotInserter::kInserted) return false;
  }
  return true;
}

// What a node holds: its plot block, and whether it has children.
struct Stored {
  Bytes plot;
  int children;
  bool operator==(const Stored& o) const { return plot == o.plot && children == o.children; }
};

std::map<std::vector<int64_t>, Stored> snapshot(MATRIX* m, const NodeSet& nodes) {
  std::map<std::vector<int64_t>, Stored> out;
  for (const auto& dc : nodes) {
    MATRIX_NODE* n = ready_node(m, dc);
    if (n) out[dc] = Stored{channel_bytes(n, kPlainCh), check_children(n)};
  }
  return out;
}

// The node of `nodes` whose plot holds the most points.
Code fullest(MATRIX* m, const NodeSet& nodes) {
  PlotMatrix pm({8, 8}, {1, 1});
  Code best;
  int most = -1;
  for (const auto& [dc, stored] : snapshot(m, nodes)) {
    Bytes again;
    int count = read_back(pm.get(), stored.plot, nullptr, &again);
    if (count > most) most = count, best = dc;
  }
  return best;
}

// Writes the blocks (keep-blocks) of a script run into dir for the model.
void manifest_run(std::ofstream& man, const TempDir& dir, const char* kind, int64_t first_id,
                  const std::vector<std::pair<Code, Bytes>>& kept, size_t children) {
  man << "run " << kind << " " << first_id << "\n";
  for (size_t i = 0; i < kept.size(); ++i) {
    std::string name = std::string(kind) + std::to_string(kept[0].first[0]) + "_" + std::to_string(i);
    write_bytes(dir.at(name), kept[i].second);
    const Code& dc = kept[i].first;
    if (i < children) man << "child " << dc[0] << ":" << dc[1] << ":" << dc[2] << " " << name << "\n";
    else man << (i <= 2 * children ? "diff " : "add ") << name << "\n";  // one add per child with points
  }
}

// The same points go into a matrix with plain plot blocks and one with
// compressed ones; the node (2 0 0) has four children, and one of them
// four more.
TEST_F(PlotFileTest, PointsThroughThePyramidAndBack) {
  TempDir dir("plotfile");
  MATRIX *m = nullptr, *mz = nullptr;
  ASSERT_EQ(open_plot_file(&m, dir.at("plain.mx")), 0);
  ASSERT_EQ(open_plot_file(&mz, dir.at("zip.mx"), true), 0);
  ASSERT_TRUE(insert_all(m));
  ASSERT_TRUE(insert_all(mz));
  ASSERT_EQ(mx_file_sync_create_node(m), 0);
  ASSERT_EQ(mx_file_sync_create_node(mz), 0);
  const NodeSet nodes = pyramid_nodes(m);
  EXPECT_EQ(pyramid_nodes(mz), nodes);

  // Every point sits in a leaf; a divided node keeps the empty plot; both
  // matrices hold the same code.
  PlotMatrix pm({8, 8}, {1, 1});
  int total = 0, divided = 0;
  auto zipped = snapshot(mz, nodes);
  for (const auto& [dc, stored] : snapshot(m, nodes)) {
    SCOPED_TRACE(std::to_string(dc[0]) + " " + std::to_string(dc[1]) + " " + std::to_string(dc[2]));
    Bytes again;
    int count = read_back(pm.get(), stored.plot, nullptr, &again);
    ASSERT_GE(count, 0);
    total += count;
    if (stored.children) {
      EXPECT_EQ(count, 0);
      ++divided;
    }
    Bytes typed{kPpBlockType};
    typed.insert(typed.end(), stored.plot.begin(), stored.plot.end());
    EXPECT_EQ(inflate(zipped[dc].plot), typed);
    EXPECT_EQ(zipped[dc].children, stored.children);
  }
  EXPECT_EQ(total, 5000);
  EXPECT_GE(divided, 2) << "the nodes of levels 2 and 1 at least";

  // The scripts of the nodes with children: their plot and the children's
  // differences, then each child rebuilt. (2 0 0)'s child (1 0 0) is
  // divided, its plot empty, and rebuilding from its empty difference list
  // is refused.
  const char* script = R"(
    (keep-blocks (mxCH type="children" 0))
    (define d (mxPgPlotDiff sort="on" @ZIP@ (mxCH type="children" 0)))
    (keep-blocks d)
    (keep-blocks (mxPgPlotAdd @ZIP@ (car d) (car (cdr d))))
    (keep-blocks (mxPgPlotAdd @ZIP@ (car d) (car (cdr (cdr d)))))
    (keep-blocks (mxPgPlotAdd @ZIP@ (car d) (car (cdr (cdr (cdr d))))))
    (keep-blocks (mxPgPlotAdd @ZIP@ (car d) (car (cdr (cdr (cdr (cdr d)))))))
    (note "done"))";
  std::ofstream man(dir.at("manifest"));
  man << "geom 8:8 1:1\n";
  for (const Code& parent : {Code{2, 0, 0}, Code{1, 0, 0}}) {
    for (MATRIX* x : {m, mz}) {
      std::string text = script;
      for (size_t at; (at = text.find("@ZIP@")) != std::string::npos;)
        text.replace(at, 5, x == mz ? R"(compress="on")" : "");
      int64_t first_id = next_obj_id(x);
      std::vector<std::string> said = edit(x, parent, text);
      ASSERT_FALSE(said.empty());
      EXPECT_EQ(said.back(), "\"done\"");
      size_t refused = said.size() - 1;
      for (size_t i = 0; i < refused; ++i)
        EXPECT_EQ(said[i], R"(error 80040503 ("invalid parameter in mxPgPlotDiff" "child internal plot code"))");
      EXPECT_EQ(refused, parent[0] == 2 ? 1u : 0u);
      std::vector<std::pair<Code, Bytes>> kept = kept_blocks();
      ASSERT_EQ(kept.size(), 4u + 5u + 4u - refused);
      manifest_run(man, dir, x == mz ? "zlib" : "plain", first_id, kept, 4);
    }
  }
  man.close();
  EXPECT_EQ(run_lines("/usr/bin/python3 " + std::string(test_path("plot_blocks")) + " " + dir.at("manifest"), true),
            std::vector<std::string>{"ok 10000"}) << "each point once under each parent, twice compressed and plain";

  // The file reads back equal once closed and opened again.
  auto before = snapshot(m, nodes);
  close_matrix(m);
  close_matrix(mz);
  EXPECT_EQ(run_lines("/usr/bin/python3 " + std::string(test_path("validator")) + " --closed " + dir.at("plain.mx"), true),
            std::vector<std::string>{});
  ASSERT_EQ(open_plot_file(&m, dir.at("plain.mx")), 0);
  EXPECT_TRUE(snapshot(m, nodes) == before);
  close_matrix(m);
}

// mxObjID on a stored plot: every point gets an id once; only the id
// records change; the plain block is no zlib stream.
TEST_F(PlotFileTest, ObjectIdsOnAStoredPlot) {
  TempDir dir("plotid");
  MATRIX* m = nullptr;
  ASSERT_EQ(open_plot_file(&m, dir.at("id.mx")), 0);
  {
    PlotPush push(m, kPlainCh);
    for (int64_t i = 0; i < 40; ++i) {
      int64_t xy[2] = {(i * 37) % 256, (i * 91) % 256};
      ASSERT_EQ(push.insert(xy, nullptr), PlotInserter::kInserted);
    }
  }
  ASSERT_EQ(mx_file_sync_create_node(m), 0);
  const NodeSet nodes = pyramid_nodes(m);
  Code holder = fullest(m, nodes);
  EXPECT_EQ(edit(m, holder, R"((define b (mxCH 0)) (keep-blocks b) (define o (mxObjID b)) (keep-blocks o)
                                  (keep-blocks (mxObjID o)) (keep-blocks (mxObjID compress="on" b)))"),
            std::vector<std::string>{R"(error 80040503 ("invalid parameter in mxObjID" "zlib uncompress"))"});
  auto kept = kept_blocks();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[2].second, kept[1].second) << "no point gets a second id";
  PlotMatrix pm({8, 8}, {1, 1});
  INTERNAL_PLOT* a = plot_of(pm.get(), hex(kept[0].second, 1 << 20));
  INTERNAL_PLOT* b = plot_of(pm.get(), hex(kept[1].second, 1 << 20));
  std::set<int64_t> ids;
  int n = 0;
  for (INTERNAL_PLOT *p = a, *q = b; p || q; p = p->next, q = q->next, ++n) {
    ASSERT_TRUE(p && q);
    EXPECT_EQ(p->id, 0);
    EXPECT_EQ(q->flags, p->flags | kPpId);
    EXPECT_EQ(std::vector<int>(p->c, p->c + 2), std::vector<int>(q->c, q->c + 2));
    EXPECT_TRUE(q->id > 0 && q->id % 256 == 0);
    ids.insert(q->id);
  }
  EXPECT_EQ(ids.size(), 40u);
  EXPECT_EQ(kept[1].second.size(), kept[0].second.size() + 8 * 40);
  free_internal_plot_list(a);
  free_internal_plot_list(b);
  close_matrix(m);
}

// The structure-block operations of scripts with a plot: a structure read
// from unchanged bytes writes nothing back; a change is written and marks
// the node; a change that gives the same bytes marks nothing.
TEST_F(PlotFileTest, StructureBlockRoundTrips) {
  TempDir dir("plotsb");
  MATRIX* m = nullptr;
  ASSERT_EQ(open_plot_file(&m, dir.at("sb.mx")), 0);
  {
    PlotPush push(m, kPlainCh);
    for (int64_t i = 0; i < 3; ++i) {
      int64_t xy[2] = {300 * i, 200 * i};  // in point order, cells apart: the list holds them reversed
      ASSERT_EQ(push.insert(xy, nullptr), PlotInserter::kInserted);
    }
  }
  ASSERT_EQ(mx_file_sync_create_node(m), 0);
  const NodeSet nodes = pyramid_nodes(m);
  Code holder = fullest(m, nodes);
  MATRIX_NODE* n = ready_node(m, holder);
  Bytes stored = channel_bytes(n, kPlainCh);
  PlotMatrix pm({8, 8}, {1, 1});
  Bytes again;
  EXPECT_EQ(read_back(pm.get(), stored, nullptr, &again), 3);
  auto sort_now = [&] {
    MX_STRUCT_BLOCK* sb = get_channel_struct_block(n, kPlainCh);
    ASSERT_TRUE(sb);
    EXPECT_EQ(sb->tbl->operation(PPC_SORT, sb, nullptr), 0);
    matrix_node_channel_unlock(n, 0);
  };
  EXPECT_EQ(edit(m, holder, R"((mxSetSB channel="0" (sbPlot)) (mxLoadSB) (mxSaveSB) (note (node-dirty)))"),
            std::vector<std::string>{"0"});
  EXPECT_EQ(channel_bytes(n, kPlainCh), stored);
  sort_now();
  EXPECT_EQ(edit(m, holder, R"((mxSaveSB) (note (node-dirty)))"), std::vector<std::string>{"1"});
  Bytes sorted = channel_bytes(n, kPlainCh);
  EXPECT_NE(sorted, stored);
  ASSERT_EQ(mx_file_sync_create_node(m), 0);
  sort_now();
  EXPECT_EQ(edit(m, holder, R"((mxSaveSB) (note (node-dirty)))"), std::vector<std::string>{"0"});
  EXPECT_EQ(channel_bytes(n, kPlainCh), sorted);
  close_matrix(m);
}

}  // namespace
