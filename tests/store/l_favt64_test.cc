#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "store/l_favt64.h"
#include "store_test_util.h"

namespace {

class LockedTreeTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    init_l_favt64();
    set_pdb64_debug_check(0);
  }
};

// Threads work on trees of several files at once through the locked
// interface, each on its own keys, with the node cache far too small for
// the trees; every record a thread holds is pinned, so eviction by the
// others never pulls one from under it.
TEST_F(LockedTreeTest, ThreadsOnSeveralFilesStayConsistent) {
  constexpr int kFiles = 3, kThreads = 4, kOps = 12000;
  std::vector<PDB64*> files;
  std::vector<uint64_t> roots;
  for (int f = 0; f < kFiles; ++f) {
    lock_task(l_favt64_lock);
    PDB64* p = create("t" + std::to_string(f) + ".db");
    unlock_task(l_favt64_lock, "test");
    FAVT64_ROOT* r = l_favt64_alloc_root(p, 0x401, key64_endian);
    ASSERT_NE(r, nullptr);
    files.push_back(p);
    roots.push_back(r->h.fofs);
    l_favt64_release(r);
  }
  // models[thread][file]
  std::vector<std::vector<std::set<uint64_t>>> models(kThreads, std::vector<std::set<uint64_t>>(kFiles));
  std::vector<int> failures(kThreads, 0);
  auto worker = [&](int t) {
    std::mt19937_64 rng(100 + t);
    std::vector<FAVT64_ROOT*> rs;
    for (int f = 0; f < kFiles; ++f) {
      int err = 0;
      rs.push_back(l_get_root64(&err, files[f], roots[f], key64_endian));
    }
    for (int i = 0; i < kOps; ++i) {
      int f = static_cast<int>(rng() % kFiles);
      FAVT64_ROOT* r = rs[f];
      auto& model = models[t][f];
      uint64_t k = (rng() % 6000) * kThreads + static_cast<uint64_t>(t);
      int err = 0;
      int op = static_cast<int>(rng() % 10);
      if (op < 6) {
        FAVT64_NODE* a = l_favt64_alloc_node(r, &k, 8);
        FAVT64_NODE* got = l_favt64_insert(&err, r, &r->node, a, key64_cmp, nullptr);
        if (!got || key_of(got->data) != k || (got == a) == (model.count(k) == 1)) ++failures[t];
        model.insert(k);
        l_favt64_release(got);
        if (got != a)
          l_favt64_free_node(a);
        else
          l_favt64_release(a);
      } else if (op < 8) {
        FAVT64_NODE* n = l_favt64_delete(&err, r, &r->node, &k, key64_cmp, nullptr);
        if ((n != nullptr) != (model.erase(k) == 1)) ++failures[t];
        if (n && key_of(n->data) != k) ++failures[t];
        if (n) l_favt64_free_node(n);
      } else {
        FAVT64_NODE* top = l_root_node64(&err, r);
        FAVT64_NODE* n = top ? l_favt64_search(&err, r, top, &k, key64_cmp, nullptr) : nullptr;
        if ((n != nullptr) != (model.count(k) == 1)) ++failures[t];
        if (n && key_of(n->data) != k) ++failures[t];
        l_favt64_release(n);
        l_favt64_release(top);
      }
    }
    for (FAVT64_ROOT* r : rs) l_favt64_release(r);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_EQ(l_check_cache64("threads"), 0);

  for (int f = 0; f < kFiles; ++f) {
    std::set<uint64_t> all;
    for (int t = 0; t < kThreads; ++t) all.insert(models[t][f].begin(), models[t][f].end());
    int err = 0;
    FAVT64_ROOT* r = l_get_root64(&err, files[f], roots[f], key64_endian);
    ASSERT_NE(r, nullptr);
    FAVT64_NODE* top = l_root_node64(&err, r);
    std::vector<uint64_t> got;
    EXPECT_EQ(l_favt64_trace_from_small(&err, r, top, collect_key, &got), 0);
    EXPECT_EQ(got, std::vector<uint64_t>(all.begin(), all.end()));
    // A bounded search through the lock sees the same keys.
    uint64_t lo = 0, hi = ~uint64_t{0};
    BOUND64_LIST* b = l_favt64_bound_search(&err, r, top, &lo, &hi, -1, key64_cmp, nullptr);
    size_t count = 0;
    for (BOUND64_LIST* e = b; e; e = e->next) ++count;
    EXPECT_EQ(count, all.size());
    free_bound_list64(b);
    l_favt64_release(top);
    l_favt64_release(r);
    EXPECT_EQ(l_close_filespace64(files[f]), 0);
  }
  std::vector<std::string> paths;
  for (int f = 0; f < kFiles; ++f) paths.push_back(path("t" + std::to_string(f) + ".db"));
  EXPECT_TRUE(validate_files(paths, true, true));
}

// A node unlinked and freed while another holder still pins it stays
// readable until that holder lets go.
TEST_F(LockedTreeTest, FreedNodeLivesUntilLastPinIsGone) {
  PDB64* p = create("pin.db");
  FAVT64_ROOT* r = l_favt64_alloc_root(p, 1, key64_endian);
  uint64_t k = 42;
  int err = 0;
  FAVT64_NODE* a = l_favt64_alloc_node(r, &k, 8);
  l_favt64_release(l_favt64_insert(&err, r, &r->node, a, key64_cmp, nullptr));
  FAVT64_NODE* top = l_root_node64(&err, r);
  FAVT64_NODE* seen = l_favt64_search(&err, r, top, &k, key64_cmp, nullptr);  // another holder
  FAVT64_NODE* gone = l_favt64_delete(&err, r, &r->node, &k, key64_cmp, nullptr);
  ASSERT_EQ(gone, a);
  EXPECT_EQ(l_favt64_free_node(gone), 0);
  EXPECT_EQ(key_of(seen->data), 42u);
  l_favt64_release(seen);
  l_favt64_release(top);
  l_favt64_release(a);  // the pin from the allocation
  EXPECT_EQ(l_check_cache64("pins"), 0);
  l_favt64_release(r);
  EXPECT_EQ(l_close_filespace64(p), 0);
}

// The locked record calls do what the calls they wrap do: a record placed,
// written at its offset, read back whole, bare and as its header, changed
// and written back placed, given back; the node cache written back; and
// the file cut to nothing.
TEST_F(LockedTreeTest, LockedRecordCallsMatchTheRecordLayer) {
  PDB64* p = create("records.db");
  Bytes rec = make_record(0x0601, 100, 3);
  PN64_HEADER h{0x0601, {0, 0, 0}, 100};
  int64_t at = l_alloc_filespace64(p, &h);
  ASSERT_GT(at, 0);
  auto fofs = static_cast<uint64_t>(at);
  const auto written = static_cast<int64_t>(pn64_disk_size(100));
  ASSERT_EQ(l_write_filespace64f(p, fofs, as_header(rec)), written);

  PN64_HEADER* bare = l_read_filespace64f(p, fofs);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(std::memcmp(bare, rec.data(), rec.size()), 0);
  d_f_ree(bare);
  ACC_PN64_HEADER* a = l_read_filespace64(p, fofs);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->a.fofs, fofs);
  EXPECT_EQ(std::memcmp(&a->h, rec.data(), rec.size()), 0);
  auto* body = reinterpret_cast<uint8_t*>(&a->h);
  body[20] ^= 0xFF;
  EXPECT_EQ(l_write_filespace64(p, a), written);
  Bytes changed(body, body + rec.size());
  d_f_ree(a);
  EXPECT_EQ(get_record(p, fofs), changed);
  ACC_PN64_HEADER* head = l_read_filespace64_header(p, fofs);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->a.fofs, fofs);
  EXPECT_EQ(swap_if64(head->h.size), 100u);
  d_f_ree(head);
  PN64_HEADER* bare_head = l_read_filespace64f_header(p, fofs);
  ASSERT_NE(bare_head, nullptr);
  EXPECT_EQ(swap_if16(bare_head->type), 0x0601);
  d_f_ree(bare_head);
  EXPECT_EQ(l_read_filespace64(p, fofs + 1), nullptr);

  EXPECT_EQ(l_flush_favt64_cache(p), 0);
  EXPECT_EQ(l_free_filespace64(p, fofs), 0);
  EXPECT_EQ(l_close_filespace64(p), 0);

  // A file cut to nothing is not fit for records any more: it goes away.
  p = create("cut.db");
  ASSERT_GT(l_alloc_filespace64(p, &h), 0);
  EXPECT_EQ(l_truncate_filespace64(p), 0);
  EXPECT_EQ(pdb64_file_size(p), 0);
  l_close_filespace64(p);
  for (const auto& e : std::filesystem::directory_iterator(path(".")))
    if (e.path().filename().string().rfind("cut.db", 0) == 0) std::filesystem::remove(e.path());
}

}  // namespace
