#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/assoc64.h"
#include "store/l_favt64.h"
#include "store_test_util.h"
#include "support/text/wide.h"

namespace {

std::u32string w(const char* s) { return std::u32string(s, s + std::strlen(s)); }
std::string text(const std::string& body) { return std::string(body.c_str()); }

class AssocTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    init_l_favt64();
  }
  int open(const char* name, int oflags = O_RDWR | O_CREAT) {
    return l_open_associate64(path(name).c_str(), oflags, 0644, kPdb64WithFreeList, 40, "UTF-8");
  }
  std::string value_at(PDB64* p, uint64_t fofs) {
    Bytes b = get_record(p, fofs);
    return b.size() > 16 ? std::string(reinterpret_cast<const char*>(b.data()) + 16) : "";
  }
};

// A value list grows under one key, shrinks value by value, and the emptied
// key leaves no node or tree behind.
TEST_F(AssocTest, DataTreeValueListsAndCleanup) {
  int key = open("d.db");
  ASSERT_GT(key, 0);
  ASSERT_EQ(l_new_index64(key, kAssocStringIndex, 7), 0);
  lock_task(l_favt64_lock);
  PDB64* p = as_key64[key].p;
  int err = 0;
  FAVT64_ROOT* r = get_root64(&err, p, load_be64(reinterpret_cast<uint8_t*>(as_key64[key].assoc) + 16),
                              dtree64_endian);
  ASSERT_NE(r, nullptr);
  favt64_lock(r);
  uint64_t a = static_cast<uint64_t>(alloc64_data(p, "first"));
  uint64_t b = static_cast<uint64_t>(alloc64_data(p, "second"));
  auto abc = w("abc");
  EXPECT_EQ(insert_dtree64(&err, r, W(abc.c_str()), 0, a), 0);
  EXPECT_EQ(insert_dtree64(&err, r, W(abc.c_str()), 99, b), -1) << "no old value to replace";
  EXPECT_EQ(insert_dtree64(&err, r, W(abc.c_str()), 0, b), 0);
  std::vector<uint64_t> vals;
  uint64_t slot = search_dtree64(&err, nullptr, r, W(abc.c_str()), 1);
  ASSERT_TRUE(dtree64_values(p, slot, &vals));
  EXPECT_EQ(vals, (std::vector<uint64_t>{a, b}));
  EXPECT_EQ(delete_dtree64(&err, r, W(abc.c_str()), a), 0);
  EXPECT_EQ(search_dtree64(&err, nullptr, r, W(abc.c_str()), 1), b);
  EXPECT_EQ(delete_dtree64(&err, r, W(abc.c_str()), b), 0);
  EXPECT_EQ(search_dtree64(&err, nullptr, r, W(abc.c_str()), 1), 0u);
  EXPECT_EQ(r->node.fofs, 0u) << "the emptied key's nodes and trees are gone";
  EXPECT_EQ(delete_dtree64(&err, r, W(abc.c_str()), 0), -1);

  favt64_unlock(r);
  unlock_task(l_favt64_lock, "test");
  ASSERT_EQ(l_close_associate64(key), 0);
  // Both value records were given up by the caller above and never freed;
  // free them so the file holds no stray value.
  PDB64* q = open_filespace64(path("d.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 40, nullptr);
  EXPECT_EQ(free_filespace64(q, a) | free_filespace64(q, b), 0);
  EXPECT_EQ(close_filespace64(q), 0);
}

// Index refusals change nothing; a second insert replaces, a delete of an
// absent key is refused.
TEST_F(AssocTest, IndexesAndTheirRefusals) {
  int key = open("a.db");
  ASSERT_GT(key, 0);
  EXPECT_EQ(l_new_index64(key, kAssocIntegerIndex, 1), 0);
  EXPECT_EQ(l_new_index64(key, kAssocStringIndex, 2), 1);
  Bytes header_before = [&] {
    lock_task(l_favt64_lock);
    Bytes h = get_record(as_key64[key].p, as_key64[key].assoc_fofs);
    unlock_task(l_favt64_lock, "test");
    return h;
  }();
  EXPECT_EQ(l_new_index64(key, kAssocStringIndex, 2), -1);
  EXPECT_EQ(l_new_index64(key, 3, 9), -1);
  EXPECT_EQ(l_new_index64(8, kAssocIntegerIndex, 9), -1);
  lock_task(l_favt64_lock);
  EXPECT_EQ(get_record(as_key64[key].p, as_key64[key].assoc_fofs), header_before);
  unlock_task(l_favt64_lock, "test");
  EXPECT_EQ(l_get_index64(key, 2), 1);
  EXPECT_EQ(l_get_index64(key, 5), -1);
  EXPECT_EQ(l_get_index_type64(key, 0), kAssocIntegerIndex);
  EXPECT_EQ(l_get_index_type64(key, 2), -1);

  int32_t three = 3;
  EXPECT_EQ(l_insert_associate64_text(key, 0, &three, "v3"), 0);
  EXPECT_EQ(l_insert_associate64_text(key, 0, &three, "(three)"), 0);  // replaces
  EXPECT_EQ(l_delete_associate64(key, 0, &three), -1);                  // only string indexes delete
  auto b = w("b"), ab = w("ab");
  for (auto* s : {&b, &ab}) EXPECT_EQ(l_insert_associate64_text(key, 1, W(s->c_str()), "x"), 0);
  EXPECT_EQ(l_delete_associate64(key, 1, W(b.c_str())), 0);
  EXPECT_EQ(l_delete_associate64(key, 1, W(b.c_str())), -1);
  ASSERT_EQ(l_close_associate64(key), 0);
  EXPECT_EQ(l_close_associate64(key), -1);

  key = open("a.db", O_RDWR);
  ASSERT_GT(key, 0);
  std::string out;
  EXPECT_EQ(l_search_associate64_text(key, 0, &three, nullptr, &out), 1);
  EXPECT_EQ(text(out), "(three)");
  ASSOC64_STRING_OPT exact{1, 0};  // no prefix match when asked for the key itself
  EXPECT_EQ(l_search_associate64_text(key, 1, W(w("abzz").c_str()), &exact, &out), 0);
  EXPECT_EQ(l_search_associate64_text(key, 1, W(b.c_str()), nullptr, &out), 0);
  ASSERT_EQ(l_close_associate64(key), 0);
}

// A damaged association header: a root offset naming no root, a body that
// is not whole entries. (A damaged value record: assoc64_zu_test.)
TEST_F(AssocTest, DamagedHeadersGiveNegativeResults) {
  int key = open("good.db");
  ASSERT_EQ(l_new_index64(key, kAssocIntegerIndex, 1), 0);
  int32_t k = 1;
  ASSERT_EQ(l_insert_associate64_text(key, 0, &k, "one"), 0);
  lock_task(l_favt64_lock);
  uint64_t header_at = as_key64[key].assoc_fofs;
  unlock_task(l_favt64_lock, "test");
  ASSERT_EQ(l_close_associate64(key), 0);
  Bytes good = read_bytes(path("good.db"));
  std::string out;
  Bytes b = good;
  store_be64(b.data() + header_at + 4, 12345);  // the index's root offset
  write_bytes(path("bad2.bin"), b);
  key = open("bad2.bin", O_RDWR);
  ASSERT_GT(key, 0);
  EXPECT_EQ(l_search_associate64_text(key, 0, &k, nullptr, &out), -1);
  EXPECT_EQ(l_insert_associate64_text(key, 0, &k, "x"), -1);
  l_close_associate64(key);

  b = good;
  store_be16(b.data() + header_at + 2, 4 + 20);  // header body not whole entries
  write_bytes(path("bad3.bin"), b);
  EXPECT_EQ(open("bad3.bin", O_RDWR), -1);
}

// Tree nodes with keys shorter than their index's layout, or heights no
// tree can have, are refused when loaded: never read past, never summed
// into an overflow.
TEST_F(AssocTest, HostileKeyLengthsAndHeightsAreRefused) {
  int key = open("good.db");
  ASSERT_EQ(l_new_index64(key, kAssocIntegerIndex, 1), 0);
  ASSERT_EQ(l_new_index64(key, kAssocStringIndex, 2), 1);
  for (int32_t k : {5, 9, 2}) ASSERT_EQ(l_insert_associate64_text(key, 0, &k, "v"), 0);
  for (const char* s : {"ab", "ac", "b"}) ASSERT_EQ(l_insert_associate64_text(key, 1, W(w(s).c_str()), s), 0);
  ASSERT_EQ(l_close_associate64(key), 0);
  Bytes good = read_bytes(path("good.db"));
  std::vector<size_t> nodes = records_of(good, 0x0102);
  ASSERT_GE(nodes.size(), 7u);
  int refused = 0;
  for (size_t at : nodes) {
    for (int how = 0; how < 3; ++how) {
      Bytes b = good;
      if (how == 0)
        store_be16(b.data() + at + 2, static_cast<uint16_t>(load_be16(b.data() + at + 2) - 8));  // key 8 bytes short
      else
        store_be32(b.data() + at + 4 + 16, how == 1 ? 0x7FFFFFFFu : 0u);  // level
      write_bytes(path("bad.bin"), b);
      key = open("bad.bin", O_RDWR);
      ASSERT_GT(key, 0);
      std::vector<std::string> all;
      std::string out;
      int bad = 0;
      for (int index = 0; index < 2; ++index) bad += l_get_assoc64_all_text(key, index, &all) < 0;
      for (int32_t k : {5, 9, 2, 7}) {
        bad += l_search_associate64_text(key, 0, &k, nullptr, &out) < 0;
        bad += l_insert_associate64_text(key, 0, &k, "w") < 0;
      }
      for (const char* s : {"ab", "ac", "b", "abc"}) {
        ASSOC64_STRING_OPT opt{0, 0};
        bad += l_search_associate64_text(key, 1, W(w(s).c_str()), &opt, &out) < 0;
        bad += l_insert_associate64_text(key, 1, W(w(s).c_str()), "w") < 0;
        bad += l_delete_associate64(key, 1, W(w(s).c_str())) < 0;
      }
      refused += bad > 0;
      l_close_associate64(key);
    }
  }
  EXPECT_EQ(refused, static_cast<int>(3 * nodes.size())) << "every damaged node is noticed";
}

}  // namespace
