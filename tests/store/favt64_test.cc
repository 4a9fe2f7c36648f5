#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "store/favt64.h"
#include "store/l_favt64.h"
#include "store_test_util.h"

namespace {

class TreeTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    init_l_favt64();
    set_pdb64_debug_check(0);  // full free-chain checks are quadratic
  }

  // Inserts k; the node now holding it.
  FAVT64_NODE* put(FAVT64_ROOT* r, uint64_t k) {
    FAVT64_NODE* a = favt64_alloc_node(r, &k, 8);
    EXPECT_NE(a, nullptr);
    int err = 0;
    FAVT64_NODE* got = favt64_insert(&err, r, &r->node, a, key64_cmp, nullptr);
    if (got != a) {
      EXPECT_EQ(favt64_free_node(a), 0);
    }
    return got;
  }
  bool erase(FAVT64_ROOT* r, uint64_t k) {
    int err = 0;
    FAVT64_NODE* n = favt64_delete(&err, r, &r->node, &k, key64_cmp, nullptr);
    if (!n) {
      EXPECT_EQ(err, kFavtNotFound);
      return false;
    }
    EXPECT_EQ(key_of(n->data), k);
    EXPECT_EQ(favt64_free_node(n), 0);
    return true;
  }
  FAVT64_NODE* find(FAVT64_ROOT* r, uint64_t k) {
    int err = 0;
    return favt64_search(&err, r, root_node64(&err, r), &k, key64_cmp, nullptr);
  }
  std::vector<uint64_t> keys(FAVT64_ROOT* r, bool ascending = true) {
    std::vector<uint64_t> out;
    int err = 0;
    favt64_lock(r);
    FAVT64_NODE* top = root_node64(&err, r);
    if (ascending)
      favt64_trace_from_small(&err, r, top, collect_key, &out);
    else
      favt64_trace_from_large(&err, r, top, collect_key, &out);
    favt64_unlock(r);
    return out;
  }
  // The whole tree against the model: same keys in order, every node
  // balanced with a right height, the cache consistent.
  void expect_model(FAVT64_ROOT* r, const std::set<uint64_t>& model) {
    favt64_lock(r);
    int err = 0;
    FAVT64_NODE* top = root_node64(&err, r);
    EXPECT_EQ(favt64_test(&err, r, top, key64_cmp, nullptr), static_cast<int64_t>(model.size()));
    favt64_unlock(r);
    EXPECT_EQ(keys(r), std::vector<uint64_t>(model.begin(), model.end()));
    EXPECT_EQ(check_cache64("model"), 0);
  }
  int height(FAVT64_ROOT* r) {
    int err = 0;
    FAVT64_NODE* top = root_node64(&err, r);
    return top ? top->level : 0;
  }
};

// Bounded search: inclusive, ascending, limited.
std::vector<uint64_t> bounded(FAVT64_ROOT* r, uint64_t lo, uint64_t hi, int limit, int* err) {
  *err = 0;
  BOUND64_LIST* b = favt64_bound_search(err, r, root_node64(err, r), &lo, &hi, limit, key64_cmp, nullptr);
  std::vector<uint64_t> got;
  for (BOUND64_LIST* e = b; e; e = e->next) got.push_back(key_of(e->data));
  free_bound_list64(b);
  return got;
}

TEST_F(TreeTest, SmallTreesInsertSearchDeleteAndBounds) {
  PDB64* p = create("small.db");
  FAVT64_ROOT* r = favt64_alloc_root(p, 0x401, key64_endian);
  ASSERT_NE(r, nullptr);
  favt64_lock(r);
  // Double rotations keep any insertion order balanced.
  for (uint64_t v : {1, 2, 3, 10, 6, 8, 20, 15, 17, 4, 5}) put(r, v);
  std::set<uint64_t> model{1, 2, 3, 4, 5, 6, 8, 10, 15, 17, 20};
  expect_model(r, model);
  EXPECT_EQ(keys(r, false), std::vector<uint64_t>(model.rbegin(), model.rend()));

  // An equal key gives the present node and leaves the new one out.
  uint64_t k = 3;
  int err = 0;
  FAVT64_NODE* dup = favt64_alloc_node(r, &k, 8);
  FAVT64_NODE* three = find(r, 3);
  EXPECT_EQ(favt64_insert(&err, r, &r->node, dup, key64_cmp, nullptr), three);
  EXPECT_EQ(dup->parent, nullptr);
  EXPECT_EQ(favt64_free_node(dup), 0);
  EXPECT_EQ(favt64_free_node(three), -1) << "a node still in the tree is not freed";

  EXPECT_EQ(bounded(r, 4, 15, -1, &err), (std::vector<uint64_t>{4, 5, 6, 8, 10, 15}));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(bounded(r, 4, 15, 3, &err), (std::vector<uint64_t>{4, 5, 6}));
  EXPECT_EQ(err, kFavtLimit);
  EXPECT_TRUE(bounded(r, 4, 15, 0, &err).empty());
  EXPECT_EQ(err, kFavtLimit);

  // Deleting the top (two children), absent keys, then down to a few.
  uint64_t topkey = key_of(root_node64(&err, r)->data);
  EXPECT_TRUE(erase(r, topkey));
  model.erase(topkey);
  EXPECT_FALSE(erase(r, 99));
  for (uint64_t v : {1, 2, 3, 4, 5}) {
    EXPECT_TRUE(erase(r, v));
    model.erase(v);
    expect_model(r, model);
  }
  uint64_t root_at = r->h.fofs;
  favt64_unlock(r);
  ASSERT_EQ(close_filespace64(p), 0);
  EXPECT_EQ(favt64_count, 0);

  p = open_filespace64(path("small.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
  ASSERT_NE(p, nullptr);
  r = get_root64(&err, p, root_at, key64_endian);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->type, 0x401);
  EXPECT_EQ(get_root64(&err, p, root_at, key64_endian), r);
  expect_model(r, model);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeTest, DamagedTreeRecordsGiveErrors) {
  PDB64* p = create("t.db");
  FAVT64_ROOT* r = favt64_alloc_root(p, 1, key64_endian);
  favt64_lock(r);
  for (uint64_t v = 1; v <= 40; ++v) put(r, v);
  uint64_t root_at = r->h.fofs;
  int err = 0;
  uint64_t top_at = r->node.fofs;
  uint64_t child_at = root_node64(&err, r)->small.fofs;
  favt64_unlock(r);
  ASSERT_EQ(close_filespace64(p), 0);
  Bytes good = read_bytes(path("t.db"));

  auto reopen = [&](const Bytes& b) {
    write_bytes(path("bad.bin"), b);
    PDB64* q = open_filespace64(path("bad.bin").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
    EXPECT_NE(q, nullptr);
    return q;
  };
  // A root offset naming a node, a node's child offset naming the root or
  // pointing into the middle of a record, and a child naming its own parent.
  PDB64* q = reopen(good);
  err = 0;
  EXPECT_EQ(get_root64(&err, q, top_at, key64_endian), nullptr);
  EXPECT_EQ(err, kFavtCorrupt);
  EXPECT_EQ(get_root64(&err, q, root_at + 1, key64_endian), nullptr);
  EXPECT_LT(err, 0);
  close_filespace64(q);

  for (uint64_t target : {root_at, top_at + 3, top_at, uint64_t{1} << 40}) {
    Bytes b = good;
    store_be64(b.data() + top_at + 4, target);  // the top node's small child
    q = reopen(b);
    FAVT64_ROOT* rr = get_root64(&err, q, root_at, key64_endian);
    ASSERT_NE(rr, nullptr);
    favt64_lock(rr);
    err = 0;
    std::vector<uint64_t> seen;
    FAVT64_NODE* top = root_node64(&err, rr);
    EXPECT_NE(favt64_trace_from_small(&err, rr, top, collect_key, &seen), 0);
    EXPECT_LT(err, 0);
    err = 0;
    uint64_t k = 1;
    EXPECT_EQ(favt64_search(&err, rr, root_node64(&err, rr), &k, key64_cmp, nullptr), nullptr);
    EXPECT_LT(err, 0);
    err = 0;
    EXPECT_LT(favt64_test(&err, rr, root_node64(&err, rr), key64_cmp, nullptr), 0);
    favt64_unlock(rr);
    close_filespace64(q);
  }
  // The independent checker sees order, height and linkage faults.
  ASSERT_TRUE(validate_files({path("t.db")}, true, true));
  auto checker_refuses = [&](size_t at, uint64_t v, int width) {
    Bytes b = good;
    if (width == 8)
      store_be64(b.data() + at, v);
    else
      store_be32(b.data() + at, static_cast<uint32_t>(v));
    write_bytes(path("bad.bin"), b);
    EXPECT_FALSE(validate_files({path("bad.bin")}, true, true)) << at;
  };
  checker_refuses(top_at + 4 + 24, 9, 4);         // top node's key
  checker_refuses(top_at + 4 + 16, 1, 4);         // top node's level
  checker_refuses(top_at + 4, child_at + 1, 8);   // child into a record
  checker_refuses(top_at + 4 + 8, child_at, 8);   // one child under two links
  checker_refuses(root_at + 4 + 4, child_at, 8);  // root skipping the top
}

// Pins that are never given back keep their records, but eviction of the
// others costs no more than without them: the walks over the whole cache
// that look for records to evict stay amortised, however many are pinned.
TEST_F(TreeTest, LeakedPinsDoNotMakeEveryLoadWalkTheCache) {
  PDB64* p = create("leak.db");
  FAVT64_ROOT* r = favt64_alloc_root(p, 0x401, key64_endian);
  favt64_lock(r);
  const uint64_t n = 40000;
  std::vector<FAVT64_NODE*> leaked;
  uint64_t steps_before = favt64_walk_steps;
  for (uint64_t i = 0; i < n; ++i) {
    FAVT64_NODE* g = put(r, (i * 2654435761u) % 1000003);
    if (i % 2 == 0) {
      favt64_lock(g);  // "forgotten"
      leaked.push_back(g);
    }
  }
  EXPECT_LT(favt64_walk_steps - steps_before, 8 * n);
  std::set<uint64_t> model;
  for (uint64_t i = 0; i < n; ++i) model.insert((i * 2654435761u) % 1000003);
  expect_model(r, model);
  for (FAVT64_NODE* g : leaked) favt64_unlock(g);
  favt64_unlock(r);
  ASSERT_EQ(close_filespace64(p), 0);
}

// Keys of any length whose first 8 bytes order them.
void prefix_endian(void* d, int64_t len) {
  if (len >= 8) key64_endian(d, 8);
}
std::vector<uint8_t> long_key(uint64_t k, size_t len) {
  std::vector<uint8_t> b(len);
  std::memcpy(b.data(), &k, 8);
  for (size_t i = 8; i < len; ++i) b[i] = static_cast<uint8_t>(k + i);
  return b;
}

// Roots and nodes whose physical header is cut by a page end (4- and
// 8-byte forms) load again after a reopen, and the trees stay usable.
TEST_F(TreeTest, RecordsCutByAPageEndLoadAfterReopen) {
  PDB64* p = create("ends.db");
  // Appends a filler so that the next record starts at `page_ofs` in a page.
  auto pad_to = [&](uint64_t page_ofs) {
    uint64_t end = static_cast<uint64_t>(pdb64_file_size(p));
    uint64_t d = (page_ofs - end % kFacPageSize + kFacPageSize) % kFacPageSize;
    if (d < 12) d += kFacPageSize;
    PN64_HEADER h{0x0600, {0, 0, 0}, pn64_mem_size(d)};
    ASSERT_EQ(static_cast<uint64_t>(alloc_filespace64(p, &h)), end);
  };
  std::vector<std::pair<uint64_t, std::vector<size_t>>> trees;  // root, key lengths
  int err = 0;
  for (uint64_t at = 4089; at < 4096; ++at) {
    pad_to(at);
    FAVT64_ROOT* r = favt64_alloc_root(p, 0x402, prefix_endian);
    ASSERT_EQ(r->h.fofs % kFacPageSize, at);
    favt64_lock(r);
    std::vector<size_t> lens;
    for (uint64_t k = 1; k <= 5; ++k) {
      size_t len = k == 3 ? 65510 + k : 8 + (k * at) % 23;  // one 8-byte header form
      pad_to(at);
      auto key = long_key(k, len);
      FAVT64_NODE* a = favt64_alloc_node(r, key.data(), static_cast<int64_t>(len));
      ASSERT_EQ(a->h.fofs % kFacPageSize, at);
      ASSERT_EQ(favt64_insert(&err, r, &r->node, a, key64_cmp, nullptr), a);
      lens.push_back(len);
    }
    trees.emplace_back(r->h.fofs, lens);
    favt64_unlock(r);
  }
  ASSERT_EQ(close_filespace64(p), 0);

  for (int round = 0; round < 2; ++round) {
    p = open_filespace64(path("ends.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
    ASSERT_NE(p, nullptr);
    for (auto& [root_at, lens] : trees) {
      FAVT64_ROOT* r = get_root64(&err, p, root_at, prefix_endian);
      ASSERT_NE(r, nullptr) << root_at;
      favt64_lock(r);
      std::vector<uint64_t> want(lens.size());
      std::iota(want.begin(), want.end(), 1);
      EXPECT_EQ(keys(r), want) << root_at;
      for (uint64_t k = 1; k <= lens.size(); ++k) {
        FAVT64_NODE* n = find(r, k);
        ASSERT_NE(n, nullptr) << root_at << " " << k;
        EXPECT_EQ(static_cast<size_t>(n->data_len), lens[k - 1]);
        EXPECT_EQ(static_cast<const uint8_t*>(n->data)[lens[k - 1] - 1], long_key(k, lens[k - 1]).back());
      }
      // Changes along every path: one key more, then one less.
      FAVT64_NODE* a = favt64_alloc_node(r, long_key(100 + round, 8).data(), 8);
      ASSERT_EQ(favt64_insert(&err, r, &r->node, a, key64_cmp, nullptr), a);
      uint64_t gone = 100 + round;
      FAVT64_NODE* d = favt64_delete(&err, r, &r->node, &gone, key64_cmp, nullptr);
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(favt64_free_node(d), 0);
      EXPECT_EQ(favt64_test(&err, r, root_node64(&err, r), key64_cmp, nullptr), static_cast<int64_t>(lens.size()));
      favt64_unlock(r);
    }
    // The second round loads everything again from the page cache alone.
    ASSERT_EQ(flush_filespace64(p), 0);
    EXPECT_EQ(favt64_count, 0);
    ASSERT_EQ(close_filespace64(p), 0);
  }
  ASSERT_TRUE(validate_files({path("ends.db")}, true, true));
}

// Two trees with keys of different sizes share the node cache, one filled
// in ascending and one in descending order (rotations of both hands):
// records of both come and go, a pinned node stays put and whole, the cache
// never holds more than its limit, the heights stay within the balanced
// bound, and every key and its bytes survive eviction, a flush and a reopen.
void wide_endian(void* d, int64_t len) {
  if (len == 40) key64_endian(d, 8);
}
std::vector<uint8_t> wide_key(uint64_t k) {
  std::vector<uint8_t> b(40);
  std::memcpy(b.data(), &k, 8);
  for (size_t i = 8; i < b.size(); ++i) b[i] = static_cast<uint8_t>(k * 31 + i);
  return b;
}

TEST_F(TreeTest, CacheSharedByTreesOfTwoKeySizesStaysWithinItsLimit) {
  PDB64* p = create("two.db");
  FAVT64_ROOT* a = favt64_alloc_root(p, 0x401, key64_endian);
  favt64_lock(a);
  FAVT64_ROOT* b = favt64_alloc_root(p, 0x402, wide_endian);
  favt64_lock(b);
  uint64_t a_at = a->h.fofs, b_at = b->h.fofs;
  const uint64_t n = 16000;
  FAVT64_NODE* held = nullptr;
  int err = 0;
  for (uint64_t i = 0; i < n; ++i) {
    put(a, i + 1);
    auto w = wide_key(n - i);
    FAVT64_NODE* wn = favt64_alloc_node(b, w.data(), 40);
    ASSERT_EQ(favt64_insert(&err, b, &b->node, wn, key64_cmp, nullptr), wn);
    if (i == 100) {
      held = find(a, 51);
      ASSERT_NE(held, nullptr);
      favt64_lock(held);
    }
    if (i % 2000 == 1999) {
      ASSERT_LE(favt64_count, kFavtCacheLimit);
      ASSERT_EQ(check_cache64("two trees"), 0);
      EXPECT_EQ(key_of(held->data), 51u);
      EXPECT_EQ(find(a, 51), held) << "a pinned node is never loaded twice";
      ASSERT_LE(std::max(height(a), height(b)), avl_height_bound(i + 1));
    }
  }
  favt64_unlock(held);
  EXPECT_EQ(favt64_test(&err, a, root_node64(&err, a), key64_cmp, nullptr), static_cast<int64_t>(n));
  favt64_unlock(b);
  favt64_unlock(a);
  ASSERT_EQ(close_filespace64(p), 0);

  p = open_filespace64(path("two.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
  ASSERT_NE(p, nullptr);
  a = get_root64(&err, p, a_at, key64_endian);
  b = get_root64(&err, p, b_at, wide_endian);
  ASSERT_TRUE(a && b);
  favt64_lock(a);
  favt64_lock(b);
  std::vector<uint64_t> want(n);
  std::iota(want.begin(), want.end(), 1);
  EXPECT_EQ(keys(a), want);
  struct Walk {
    std::vector<uint64_t> keys;
    size_t bad = 0;
  } walk;
  favt64_trace_from_small(&err, b, root_node64(&err, b), [](FAVT64_NODE* nd, void* w) {
    auto* wk = static_cast<Walk*>(w);
    uint64_t k = key_of(nd->data);
    wk->keys.push_back(k);
    auto* d = static_cast<const uint8_t*>(nd->data);
    if (nd->data_len != 40 || !std::equal(d, d + 40, wide_key(k).begin())) ++wk->bad;
    return 0;
  }, &walk);
  EXPECT_EQ(walk.keys, want);
  EXPECT_EQ(walk.bad, 0u);
  favt64_unlock(b);
  favt64_unlock(a);
  ASSERT_EQ(close_filespace64(p), 0);
}

}  // namespace
