// Trees, data trees and associations sharing one file with records of
// random sizes, against a model of every key, value and record, through
// evictions of the node cache and reopens between phases; the file then
// passes the independent checker.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "store/assoc64.h"
#include "store/favt64.h"
#include "store/l_favt64.h"
#include "store_test_util.h"

namespace {

// Plain-tree keys: 8 ordering bytes (big-endian on disk) and a tail of
// 0 to 40 bytes, so nodes land at every offset of a page.
void prefix_endian(void* d, int64_t len) {
  if (len >= 8) key64_endian(d, 8);
}
Bytes tree_key(uint64_t k) {
  Bytes b(8 + k % 41, static_cast<uint8_t>(k * 7));
  std::memcpy(b.data(), &k, 8);
  return b;
}

std::string body_text(const std::string& body) { return std::string(body.c_str()); }

class TreeModel : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    init_l_favt64();
    set_pdb64_debug_check(0);
  }

  void open_file(bool create) {
    key_ = l_open_associate64(path("m.db").c_str(), create ? O_RDWR | O_CREAT | O_TRUNC : O_RDWR, 0644,
                              kPdb64WithFreeList, 40, "UTF-8");
    ASSERT_GT(key_, 0);
    lock_task(l_favt64_lock);
    p_ = as_key64[key_].p;
    int err = 0;
    tree_ = create ? favt64_alloc_root(p_, 0x402, prefix_endian) : get_root64(&err, p_, tree_at_, prefix_endian);
    if (tree_) favt64_lock(tree_);  // held while the file is open
    unlock_task(l_favt64_lock, "test");
    ASSERT_NE(tree_, nullptr);
    tree_at_ = tree_->h.fofs;
    if (create) {
      ASSERT_EQ(l_new_index64(key_, kAssocIntegerIndex, 1), 0);
      ASSERT_EQ(l_new_index64(key_, kAssocStringIndex, 2), 1);
    }
  }
  void close_file() {
    l_favt64_release(tree_);
    ASSERT_EQ(l_close_associate64(key_), 0);
  }

  void step(std::mt19937& rng) {
    uint32_t op = rng() % 100;
    if (op < 20) {
      int32_t k = static_cast<int32_t>(rng() % 400) - 200;
      std::string v = "(i " + std::to_string(rng() % 1000) + ")";
      ASSERT_EQ(l_insert_associate64_text(key_, 0, &k, v), 0);
      ints_[k] = v;
    } else if (op < 40) {
      std::u32string s(1 + rng() % 6, U'a');
      for (auto& c : s) c = static_cast<char32_t>(U'a' + rng() % 4);
      std::string v = "(s " + std::to_string(rng() % 1000) + ")";
      ASSERT_EQ(l_insert_associate64_text(key_, 1, reinterpret_cast<const L_CHAR*>(s.c_str()), v), 0);
      strs_[s] = v;
    } else if (op < 50 && !strs_.empty()) {
      auto it = std::next(strs_.begin(), static_cast<long>(rng() % strs_.size()));
      ASSERT_EQ(l_delete_associate64(key_, 1, reinterpret_cast<const L_CHAR*>(it->first.c_str())), 0);
      strs_.erase(it);
    } else if (op < 70) {
      uint64_t k = rng() % 3000;
      Bytes key = tree_key(k);
      lock_task(l_favt64_lock);
      int err = 0;
      FAVT64_NODE* a = favt64_alloc_node(tree_, key.data(), static_cast<int64_t>(key.size()));
      FAVT64_NODE* got = favt64_insert(&err, tree_, &tree_->node, a, key64_cmp, nullptr);
      if (got != a) favt64_free_node(a);
      unlock_task(l_favt64_lock, "test");
      ASSERT_NE(got, nullptr);
      keys_.insert(k);
    } else if (op < 80 && !keys_.empty()) {
      uint64_t k = *std::next(keys_.begin(), static_cast<long>(rng() % keys_.size()));
      lock_task(l_favt64_lock);
      int err = 0;
      FAVT64_NODE* d = favt64_delete(&err, tree_, &tree_->node, &k, key64_cmp, nullptr);
      int freed = d ? favt64_free_node(d) : -1;
      unlock_task(l_favt64_lock, "test");
      ASSERT_EQ(freed, 0);
      keys_.erase(k);
    } else if (op < 92 || records_.empty()) {
      Bytes r = make_record(0x0600, 24 + rng() % (rng() % 6 == 0 ? 70000 : 500), static_cast<uint32_t>(rng()));
      lock_task(l_favt64_lock);
      int64_t at = put_record(p_, r);
      unlock_task(l_favt64_lock, "test");
      ASSERT_GT(at, 0);
      records_[static_cast<uint64_t>(at)] = r;
    } else {
      auto it = std::next(records_.begin(), static_cast<long>(rng() % records_.size()));
      ASSERT_EQ(l_free_filespace64(p_, it->first), 0);
      records_.erase(it);
    }
  }

  void expect_model() {
    std::vector<std::string> all;
    ASSERT_EQ(l_get_assoc64_all_text(key_, 0, &all), 0);
    std::vector<std::string> want;
    for (auto& [k, v] : ints_) want.push_back(v);
    for (auto& s : all) s = body_text(s);
    EXPECT_EQ(all, want);
    ASSERT_EQ(l_get_assoc64_all_text(key_, 1, &all), 0);
    want.clear();
    for (auto& [k, v] : strs_) want.push_back(v);
    for (auto& s : all) s = body_text(s);
    EXPECT_EQ(all, want);
    for (auto& [k, v] : strs_) {
      std::string out;
      ASSERT_EQ(l_search_associate64_text(key_, 1, reinterpret_cast<const L_CHAR*>(k.c_str()), nullptr, &out), 1);
      EXPECT_EQ(body_text(out), v);
      // The longest stored prefix of a longer string is this key.
      std::u32string longer = k + U"zz";
      ASSOC64_STRING_OPT opt{0, 0};
      ASSERT_EQ(l_search_associate64_text(key_, 1, reinterpret_cast<const L_CHAR*>(longer.c_str()), &opt, &out), 1);
      EXPECT_EQ(opt.size, static_cast<int>(k.size()));
    }
    lock_task(l_favt64_lock);
    favt64_lock(tree_);
    int err = 0;
    struct Walk {
      std::vector<uint64_t> keys;
      size_t bad = 0;
    } walk;
    favt64_trace_from_small(&err, tree_, root_node64(&err, tree_), [](FAVT64_NODE* n, void* w) {
      auto* wk = static_cast<Walk*>(w);
      uint64_t k = key_of(n->data);
      wk->keys.push_back(k);
      Bytes want = tree_key(k);
      const auto* d = static_cast<const uint8_t*>(n->data);
      if (static_cast<size_t>(n->data_len) != want.size() || !std::equal(want.begin(), want.end(), d)) ++wk->bad;
      return 0;
    }, &walk);
    int64_t counted = favt64_test(&err, tree_, root_node64(&err, tree_), key64_cmp, nullptr);
    favt64_unlock(tree_);
    for (auto& [at, r] : records_) EXPECT_EQ(get_record(p_, at), r) << at;
    unlock_task(l_favt64_lock, "test");
    EXPECT_EQ(walk.keys, std::vector<uint64_t>(keys_.begin(), keys_.end()));
    EXPECT_EQ(walk.bad, 0u);
    EXPECT_EQ(counted, static_cast<int64_t>(keys_.size()));
  }

  int key_ = -1;
  PDB64* p_ = nullptr;
  FAVT64_ROOT* tree_ = nullptr;
  uint64_t tree_at_ = 0;
  std::map<int32_t, std::string> ints_;
  std::map<std::u32string, std::string> strs_;
  std::set<uint64_t> keys_;
  std::map<uint64_t, Bytes> records_;
};

TEST_F(TreeModel, SharedFileAgreesWithTheModelThroughEvictionAndReopen) {
  std::mt19937 rng(2024);
  open_file(true);
  for (int phase = 0; phase < 12; ++phase) {
    for (int i = 0; i < 600; ++i) {
      step(rng);
      if (HasFatalFailure()) return;
    }
    expect_model();
    switch (phase % 3) {
      case 0:  // every unpinned tree record leaves memory
        ASSERT_EQ(l_flush_filespace64(p_), 0);
        break;
      case 1:  // reopen
        close_file();
        ASSERT_TRUE(validate_files({path("m.db")}, true, true)) << "phase " << phase;
        open_file(false);
        break;
      default:
        break;
    }
    expect_model();
  }
  close_file();
  EXPECT_TRUE(validate_files({path("m.db")}, true, true));
}

}  // namespace
