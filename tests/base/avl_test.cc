#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "base/avl.h"

namespace {

int cmp_int(void* node_data, void* data) {
  int a = *static_cast<int*>(node_data), b = *static_cast<int*>(data);
  return a > b ? 1 : a < b ? -1 : 0;
}

// Checks order, balance and stored heights; returns the subtree height.
int check_subtree(const AVT_NODE* n, const int* lo, const int* hi) {
  if (!n) return 0;
  int v = *static_cast<int*>(n->data);
  if (lo) {
    EXPECT_GT(v, *lo);
  }
  if (hi) {
    EXPECT_LT(v, *hi);
  }
  int hs = check_subtree(n->small, lo, &v);
  int hl = check_subtree(n->large, &v, hi);
  EXPECT_LE(std::abs(hs - hl), 1) << "unbalanced at " << v;
  EXPECT_EQ(n->level, std::max(hs, hl) + 1) << "stale height at " << v;
  return std::max(hs, hl) + 1;
}

int collect(AVT_NODE* n, void* work) {
  static_cast<std::vector<int>*>(work)->push_back(*static_cast<int*>(n->data));
  return 0;
}

TEST(AvlTree, MatchesASetOverRandomInsertsAndDeletes) {
  constexpr int kKeys = 512;
  std::vector<int> keys(kKeys);
  std::vector<AVT_NODE> nodes(kKeys);
  for (int i = 0; i < kKeys; ++i) {
    keys[i] = i;
    nodes[i] = AVT_NODE{0, nullptr, nullptr, &keys[i]};
  }
  std::vector<int> linked(kKeys, 0);
  std::set<int> model;
  AVT_NODE* root = nullptr;
  std::mt19937 rng(12345);
  for (int step = 0; step < 6000; ++step) {
    int k = static_cast<int>(rng() % kKeys);
    if (rng() % 3 != 0) {
      if (linked[k]) {
        // A second node with equal data is not linked; the first is returned.
        AVT_NODE twin{0, nullptr, nullptr, &keys[k]};
        ASSERT_EQ(avt_insert(&root, &twin, cmp_int), &nodes[k]);
      } else {
        ASSERT_EQ(avt_insert(&root, &nodes[k], cmp_int), &nodes[k]);
        linked[k] = 1;
      }
      model.insert(k);
    } else {
      AVT_NODE* removed = avt_delete(&root, &keys[k], cmp_int);
      ASSERT_EQ(removed, model.erase(k) ? &nodes[k] : nullptr);
      linked[k] = 0;
    }
    if (step % 50 == 0) {
      check_subtree(root, nullptr, nullptr);
      std::vector<int> seen;
      avt_trace_from_small(root, collect, &seen);
      ASSERT_EQ(seen, std::vector<int>(model.begin(), model.end()));
    }
  }
  check_subtree(root, nullptr, nullptr);
  for (int k = 0; k < kKeys; ++k) {
    AVT_NODE* found = avt_search(root, &keys[k], cmp_int);
    EXPECT_EQ(found, model.count(k) ? &nodes[k] : nullptr);
  }
  std::vector<int> down;
  avt_trace_from_large(root, collect, &down);
  EXPECT_EQ(down, std::vector<int>(model.rbegin(), model.rend()));
}

TEST(AvlTreeDeathTest, BrokenComparisonOrMissingDataStops) {
  int k = 1;
  AVT_NODE n{0, nullptr, nullptr, &k};
  AVT_NODE* root = &n;
  n.level = 1;
  auto bad = [](void*, void*) { return 2; };
  EXPECT_EXIT(avt_search(root, &k, bad), testing::ExitedWithCode(1), "avt_search\\(1\\)");
  AVT_NODE empty{0, nullptr, nullptr, nullptr};
  EXPECT_EXIT(avt_insert(&root, &empty, cmp_int), testing::ExitedWithCode(1), "avt_insert\\(1\\)");
}

}  // namespace
