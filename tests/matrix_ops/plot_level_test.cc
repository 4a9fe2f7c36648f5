#include "plot_test_util.h"

namespace {

const int64_t kOrigin[] = {0, 0, 0};

TEST(PlotLevel, ChildSplitsIntoCoarsePointAndDifferencesAndIsRebuilt) {
  PlotMatrix pm({8, 8}, {1, 1});
  MATRIX* m = pm.get();
  // (4,3) and (5,2) with sum fields 2 and 3.
  INTERNAL_PLOT* child = plot_of(m,
                                 "01 00 00 04 00 03 31 00 00 00 00 00 00 00 02 00"
                                 " 01 00 00 05 00 02 31 00 00 00 00 00 00 00 03 00 00");
  INTERNAL_PLOT* diff = nullptr;
  int err = 1;
  INTERNAL_PLOT* up = diff_pp(m, &diff, child, &err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(code_of(m, up, true), "09 00 00 02 00 01 31 00 00 00 00 00 00 00 05 00 00");
  EXPECT_EQ(code_of(m, diff, true),
            "11 00 00 00 00 01 31 00 00 00 00 00 00 00 02 00 01 00 00 01 00 00 31 00 00 00 00 00 00 00 03 00 00");
  // A group of two without ids: each rebuilt point gets a new object id.
  EXPECT_EQ(code_of(m, add_diff(m, up, diff, kOrigin, nullptr, &err)),
            "51 00 00 04 00 03 00 00 00 00 00 00 01 00 31 00 00 00 00 00 00 00 02 00"
            " 41 00 00 05 00 02 00 00 00 00 00 00 02 00 31 00 00 00 00 00 00 00 03 00 00");
  const int64_t right[] = {0, 256, 0};
  EXPECT_EQ(code_of(m, shift_insert_plot(m, nullptr, up, right, &err)),
            "09 00 00 82 00 01 31 00 00 00 00 00 00 00 05 00 00");
  free_internal_plot_list(child);
  free_internal_plot_list(diff);
}

TEST(PlotLevel, RebuiltIdsFollowTheMarkers) {
  PlotMatrix pm({8}, {1});
  MATRIX* m = pm.get();
  // Cells 2 and 3 (one coarse cell, no ids), 8 alone, 10 and 11 sharing id 0x300.
  INTERNAL_PLOT* child = plot_of(m,
                                 "01 00 00 02 00 01 00 00 03 00 01 00 00 08 00"
                                 " 41 00 00 0a 00 00 00 00 00 00 03 00 00 41 00 00 0b 00 00 00 00 00 00 03 00 00 00");
  INTERNAL_PLOT* diff = nullptr;
  int err = 0;
  INTERNAL_PLOT* up = diff_pp(m, &diff, child, &err);
  EXPECT_EQ(code_of(m, diff, true),
            "11 00 00 00 00 01 00 00 01 00 11 00 00 00 00"
            " 51 00 00 00 00 00 00 00 00 00 03 00 00 41 00 00 01 00 00 00 00 00 00 00 01 00 00");
  up->next->id = 0x400;  // the coarse point of cell 8 got an id meanwhile
  // The pair without ids gets new object ids; the lone point the coarse
  // point's id; the marker 1 the coarse point's id.
  EXPECT_EQ(code_of(m, add_diff(m, up, diff, kOrigin, nullptr, &err)),
            "51 00 00 02 00 00 00 00 00 00 01 00 00 41 00 00 03 00 00 00 00 00 00 02 00 00"
            " 51 00 00 08 00 00 00 00 00 00 04 00 00"
            " 51 00 00 0a 00 00 00 00 00 00 03 00 00 41 00 00 0b 00 00 00 00 00 00 03 00 00 00");
  free_internal_plot_list(child);
  free_internal_plot_list(diff);
  free_internal_plot_list(up);
}

TEST(PlotLevel, SortSplitsAndMergesExactly) {
  PlotMatrix pm({8}, {1});
  MATRIX* m = pm.get();
  // Three equal cells come out second, first, third; one point is left alone.
  INTERNAL_PLOT* ip = plot_of(m,
                              "41 00 00 05 00 00 00 00 00 00 00 01 00 41 00 00 05 00 00 00 00 00 00 00 02 00"
                              " 41 00 00 05 00 00 00 00 00 00 00 03 00 41 00 00 01 00 00 00 00 00 00 00 04 00 00");
  INTERNAL_PLOT sentinel{};
  for (INTERNAL_PLOT* p = ip; p; p = p->next) p->prev = &sentinel;
  ip = sort_plot(m, ip);
  int64_t want[] = {4, 2, 1, 3};
  int i = 0;
  for (INTERNAL_PLOT* p = ip; p; p = p->next, ++i) {
    EXPECT_EQ(p->id, want[i]);
    EXPECT_EQ(p->prev, &sentinel);
  }
  EXPECT_EQ(i, 4);
  INTERNAL_PLOT* one = plot_of(m, "01 00 00 07 00 00");
  EXPECT_EQ(sort_plot(m, one), one);
  free_internal_plot_list(one);
  free_internal_plot_list(ip);
}

TEST(PlotLevel, EmptyListsAndHandingDown) {
  PlotMatrix pm({8}, {1});
  MATRIX* m = pm.get();
  INTERNAL_PLOT marker{};
  INTERNAL_PLOT* diff = &marker;
  int err = 1;
  EXPECT_EQ(diff_pp(m, &diff, nullptr, &err), nullptr);
  EXPECT_EQ(diff, nullptr);
  EXPECT_EQ(err, 0);
  INTERNAL_PLOT* some = plot_of(m, "11 00 00 01 00 00");
  EXPECT_EQ(add_diff(m, nullptr, some, kOrigin, nullptr, &err), nullptr);
  EXPECT_EQ(err, 0);
  free_internal_plot_list(some);
  // From level 2 into the level-0 node at the same origin: cell 10 becomes
  // 40, cell 70 (280 finest units) lies outside; a base remainder below a
  // level-0 cell cannot exist, so the base goes.
  INTERNAL_PLOT* coarse = plot_of(m,
                                  "01 00 00 0a 00 01 00 00 46 00"
                                  " 21 00 00 01 00 00 00 00 00 00 00 03 00 00");
  EXPECT_EQ(code_of(m, shift_under_plot(m, coarse, 2, kOrigin, &err)), "01 00 00 28 00 01 00 00 07 00 00");
  const int64_t beyond[] = {1, 0};
  EXPECT_EQ(shift_under_plot(m, coarse, 0, beyond, &err), nullptr);
  EXPECT_EQ(err, -1);  // the node must not lie above the list's level
  free_internal_plot_list(coarse);
}

TEST(PlotLevel, RefusedStepsLeaveTheirInputs) {
  PlotMatrix pm({8}, {1});
  MATRIX* m = pm.get();
  int err = 0;
  // A splice whose run would interleave with the parent's points.
  INTERNAL_PLOT* target = plot_of(m, "01 00 00 01 00 01 00 00 05 00 00");
  INTERNAL_PLOT* run = plot_of(m, "01 00 00 02 00 01 00 00 06 00 00");
  EXPECT_EQ(shift_insert_plot(m, target, run, kOrigin, &err), target);
  EXPECT_EQ(err, -1);
  EXPECT_EQ(code_of(m, run), "01 00 00 02 00 01 00 00 06 00 00");
  // A rebuild whose field kinds disagree, and a merge that meets an inherit
  // field.
  INTERNAL_PLOT* diff = plot_of(m, "11 00 00 00 40 01 02 03 04 00 00 00 00 00 00 00 01 00 00");
  INTERNAL_PLOT* up = plot_of(m, "01 00 00 00 31 00 00 00 00 00 00 00 01 00 00");
  EXPECT_EQ(add_diff(m, up, diff, kOrigin, nullptr, &err), nullptr);
  EXPECT_EQ(err, -1);
  INTERNAL_PLOT* child = plot_of(m, "01 00 00 02 21 00 01 00 00 03 21 00 00");
  INTERNAL_PLOT* d = nullptr;
  EXPECT_EQ(diff_pp(m, &d, child, &err), nullptr);
  EXPECT_EQ(err, -1);
  for (INTERNAL_PLOT* p : {target, diff, up, child}) free_internal_plot_list(p);
}

TEST(PlotLevel, ShiftsOfSixtyFourBitsOrMoreStayDefined) {
  PlotMatrix pm({8, 16}, {70, 200});
  MATRIX* m = pm.get();
  INTERNAL_PLOT* child = plot_of(m, "21 00 00 09 ff ff 00 00 00 00 00 00 00 05 80 00 00 00 00 00 00 00 00 00");
  INTERNAL_PLOT* diff = nullptr;
  int err = 0;
  INTERNAL_PLOT* up = diff_pp(m, &diff, child, &err);
  const int64_t far[] = {3, 1ll << 62, 1ll << 62};
  up = shift_insert_plot(m, nullptr, up, far, &err);
  EXPECT_EQ(code_of(m, add_diff(m, up, diff, far, nullptr, &err)), code_of(m, child, true).replace(0, 2, "31"));
  EXPECT_EQ(code_of(m, shift_under_plot(m, child, 5, far, &err)),
            "21 00 00 00 00 00 00 00 00 00 00 00 00 05 80 00 00 00 00 00 00 00 00 00");
  for (INTERNAL_PLOT* p : {child, diff, up}) free_internal_plot_list(p);
}

// The records of a parent's code that add_diff reads for a child: the
// first run inside the child's quarter, whatever follows it.
TEST(PlotLevel, ChildRunIsTheFirstRunInsideTheChild) {
  PlotMatrix pm({8}, {1});
  const int64_t left[] = {0, 0}, right[] = {0, 256};
  // Cells 0x10, 0x90, 0x20 (an unsorted parent), 0xa0.
  Bytes code = unhex("01 00 00 10 00 01 00 00 90 00 01 00 00 20 00 01 00 00 a0 00 00");
  struct {
    const int64_t* dc;
    int from, to;
  } cases[] = {{left, 0, 5}, {right, 5, 10}};
  for (const auto& c : cases) {
    int from = -1, to = -1, points = 0;
    ASSERT_EQ(child_run(pm.get(), code.data(), static_cast<int>(code.size()), c.dc, &from, &to, &points), 0);
    EXPECT_EQ(from, c.from);
    EXPECT_EQ(to, c.to);
    EXPECT_EQ(points, 4);
  }
  int from = 0, to = 0, points = 0;
  Bytes none = unhex("01 00 00 10 00 00");
  ASSERT_EQ(child_run(pm.get(), none.data(), static_cast<int>(none.size()), right, &from, &to, &points), 0);
  EXPECT_EQ(to - from, 0);
  EXPECT_EQ(points, 1);
  EXPECT_EQ(child_run(pm.get(), code.data(), static_cast<int>(code.size()) - 1, left, &from, &to, &points), -1);
}

}  // namespace
