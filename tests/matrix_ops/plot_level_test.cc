#include "plot_test_util.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "base/endian.h"

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

// The order of sort_plot spelled out: split by alternation (each half
// reversed), sort the halves, merge taking the second half on ties.
std::vector<INTERNAL_PLOT*> split_merge(MATRIX* m, const std::vector<INTERNAL_PLOT*>& v) {
  if (v.size() <= 1) return v;
  std::vector<INTERNAL_PLOT*> a, b, out;
  for (size_t i = 0; i < v.size(); ++i) (i % 2 ? b : a).push_back(v[i]);
  std::reverse(a.begin(), a.end());
  std::reverse(b.begin(), b.end());
  a = split_merge(m, a);
  b = split_merge(m, b);
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) out.push_back(cmp_plot(m, a[i]->c, b[j]->c) >= 0 ? b[j++] : a[i++]);
  out.insert(out.end(), a.begin() + static_cast<long>(i), a.end());
  out.insert(out.end(), b.begin() + static_cast<long>(j), b.end());
  return out;
}

std::vector<int64_t> ids(INTERNAL_PLOT* ip) {
  std::vector<int64_t> r;
  for (; ip; ip = ip->next) r.push_back(ip->id);
  return r;
}

// Long lists (a radix sort from 256 points on), cells with bits above the
// block size, many equal cells, keys wider than 64 bits: sort_plot and the
// sorted reader agree with the split-and-merge order, point for point.
TEST(PlotLevel, LongListsSortAsSplitAndMerge) {
  struct Case {
    std::vector<uint8_t> bs;
    unsigned cell_mask;
    int points;
  } cases[] = {
      {{16, 16}, 0xFFFF, 3000}, {{16, 16}, 0x7, 3000}, {{2}, 0xFFFF, 300},  {{5, 16, 3}, 0xFFFF, 255},
      {{5, 16, 3}, 0xFFFF, 256}, {{5, 16, 3}, 0x3F, 257}, {{16, 16, 16, 16, 16}, 0x3, 600}, {{16}, 0xFF, 2},
  };
  std::mt19937 rng(5);
  for (const Case& c : cases) {
    PlotMatrix pm(c.bs, std::vector<uint8_t>(c.bs.size(), 1));
    MATRIX* m = pm.get();
    int dim = static_cast<int>(c.bs.size());
    Bytes code;
    for (int i = 0; i < c.points; ++i) {
      size_t at = code.size();
      code.resize(at + 2 + 2 * static_cast<size_t>(dim) + 9);
      code[at] = kPpInserted | kPpId;
      for (int d = 0; d < dim; ++d) store_be16(&code[at + 2 + 2 * static_cast<size_t>(d)], static_cast<uint16_t>(rng() & c.cell_mask));
      store_be64(&code[at + 2 + 2 * static_cast<size_t>(dim)], static_cast<uint64_t>(i + 1));
    }
    code.push_back(0);
    auto* ptr = reinterpret_cast<PRIMITIVE_PLOT*>(code.data());
    int size = static_cast<int>(code.size());
    std::vector<INTERNAL_PLOT*> listed;
    INTERNAL_PLOT* ip = code2internal(m, ptr, size, nullptr);
    for (INTERNAL_PLOT* p = ip; p; p = p->next) listed.push_back(p);
    std::vector<int64_t> want;
    for (INTERNAL_PLOT* p : split_merge(m, listed)) want.push_back(p->id);
    std::string what = "dim " + std::to_string(dim) + ", " + std::to_string(c.points) + " points";
    ip = sort_plot(m, ip);
    EXPECT_EQ(ids(ip), want) << what;
    free_internal_plot_list(ip);
    SIMPLE_ALLOC_T sat{};
    int err = 1;
    EXPECT_EQ(ids(code2sorted_plot(m, code.data(), size, &sat, &err)), want) << what;
    EXPECT_EQ(err, 0);
    free_smp(&sat);
    ip = code2sorted_plot(m, code.data(), size, nullptr, &err);
    EXPECT_EQ(ids(ip), want) << what << " (tagged)";
    free_internal_plot_list(ip);
  }
}

TEST(PlotLevel, SortedReaderRefusesWhatTheReaderRefuses) {
  PlotMatrix pm({8}, {1});
  MATRIX* m = pm.get();
  struct {
    const char* hex;
    int err;
  } cases[] = {{"00", 0}, {"01 00 00 03 00 01 00 00 02 00 00", 0}, {"01 00 00 03 00 01 00 00 02 00", -1},
               {"01 00 00 03 77 00 00", -1}};
  for (const auto& c : cases) {
    Bytes code = unhex(c.hex);
    int err = 1;
    INTERNAL_PLOT* ip = code2sorted_plot(m, code.data(), static_cast<int>(code.size()), nullptr, &err);
    EXPECT_EQ(err, c.err) << c.hex;
    if (c.err == 0 && code.size() > 1) EXPECT_EQ(code_of(m, ip), "01 00 00 02 00 01 00 00 03 00 00");
    else EXPECT_EQ(ip, nullptr) << c.hex;
  }
  PlotMatrix wide({17}, {1});
  Bytes one = unhex("01 00 00 03 00 00");
  int err = 0;
  EXPECT_EQ(code2sorted_plot(wide.get(), one.data(), static_cast<int>(one.size()), nullptr, &err), nullptr);
  EXPECT_EQ(err, -1);
}

// A record of plot code in hex: flags, a 0 byte, 1-D cell, the rest
// (bases, id, fields), the closing 0.
std::string rec(const char* flags, int cell, const std::string& rest) {
  char head[32];
  std::snprintf(head, sizeof head, "%s 00 %02x %02x ", flags, cell >> 8, cell & 0xFF);
  return head + rest + " 00 ";
}

// diff_pp into bump allocators gives the lists it gives tagged, whichever
// list goes where, and refuses what it refuses; what a refusal made goes
// with the allocators.
TEST(PlotLevel, DiffIntoBumpAllocatorsGivesTheTaggedLists) {
  PlotMatrix pm({8}, {1});
  MATRIX* m = pm.get();
  const std::string sum2 = "31 00 00 00 00 00 00 00 02", sum3 = "31 00 00 00 00 00 00 00 03";
  const std::string avg = "32 00 00 00 00 00 00 00 09 00 00 00 00 00 00 00 02";
  const std::string ab = "20 61 62 00", base_id = "00 00 00 00 00 00 00 01 00 00 00 00 00 00 03 00";
  const std::string rgba = "40 01 02 03 04 00 00 00 00 00 00 00 05";
  const std::string cases[] = {
      rec("01", 4, sum2) + rec("01", 5, sum3) + rec("01", 9, sum3) + "00",
      rec("01", 4, avg) + rec("01", 4, avg) + rec("01", 5, avg) + rec("01", 6, avg) + "00",
      rec("01", 4, ab) + rec("01", 5, ab) + rec("01", 6, "22") + rec("01", 7, ab) + rec("01", 9, "20 63 00") + "00",
      rec("61", 4, base_id + rgba) + rec("61", 5, base_id + rgba + " " + sum2) + rec("41", 8, base_id.substr(24) + rgba) +
          "00",
      rec("01", 4, "") + rec("01", 5, sum2) + rec("01", 6, sum3 + " " + ab) + rec("01", 7, sum2) + "00",
      rec("01", 4, "21") + rec("01", 5, "21") + "00",         // a merge meets an inherit field
      rec("01", 4, sum2) + rec("01", 5, ab) + "00",           // kinds disagree in the merge
      rec("01", 4, sum2) + rec("01", 6, "21 " + sum2) + "00"  // and in a difference
  };
  int case_no = 0;
  for (const std::string& hex_code : cases) {
    INTERNAL_PLOT* child = plot_of(m, hex_code);
    INTERNAL_PLOT* want_diff = nullptr;
    int want_err = 0;
    INTERNAL_PLOT* want_up = diff_pp(m, &want_diff, child, &want_err);
    EXPECT_EQ(want_err, case_no++ < 5 ? 0 : -1) << hex_code;
    std::string up_code = code_of(m, want_up), diff_code = code_of(m, want_diff);
    for (int where = 1; where < 4; ++where) {
      SIMPLE_ALLOC_T up_sat{}, diff_sat{};
      SIMPLE_ALLOC_T* us = where & 1 ? &up_sat : nullptr;
      SIMPLE_ALLOC_T* ds = where & 2 ? &diff_sat : nullptr;
      INTERNAL_PLOT* diff = nullptr;
      int err = 1;
      INTERNAL_PLOT* up = diff_pp(m, &diff, child, us, ds, &err);
      EXPECT_EQ(err, want_err) << hex_code;
      EXPECT_EQ(code_of(m, up, us != nullptr), up_code) << where << ": " << hex_code;
      EXPECT_EQ(code_of(m, diff, ds != nullptr), diff_code) << where << ": " << hex_code;
      free_smp(&up_sat);
      free_smp(&diff_sat);
    }
    free_internal_plot_list(child);
  }
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
