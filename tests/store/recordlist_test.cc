#include "store/recordlist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/alloc.h"

TEST(RecordList, JoinsPiecesBehindTheFixedPart) {
  char a[2] = {'a', 'b'}, b[1] = {'c'};
  RECORD_LIST64* plain = new_recordlist64(0, 0);
  set_recordlist_chain64(plain, a, 2, 0);
  set_recordlist_chain64(plain, b, 1, 0);
  EXPECT_EQ(setup_recordlist64(plain), 3);
  EXPECT_EQ(std::memcmp(plain->data, "abc", 3), 0);
  EXPECT_EQ(plain->enable_header, 0u);
  EXPECT_EQ(setup_recordlist64(plain), 0);  // nothing left to join

  RECORD_LIST64* rec = new_recordlist64(0x0602, 24);
  std::memcpy(static_cast<char*>(rec->data) + 16, "fixedpt!", 8);
  auto* piece = static_cast<char*>(d_alloc(10));
  std::memcpy(piece, "0123456789", 10);
  CHAIN_LIST64* c = set_recordlist_chain64(rec, piece, 10, 1);
  // A piece put after the last one becomes the last; appends follow it.
  set_recordlist_chain64_middle(rec, c, b, 1, 0);
  set_recordlist_chain64(rec, a, 2, 0);
  ASSERT_EQ(setup_recordlist64_size(rec), 0);
  PN64_HEADER h;
  std::memcpy(&h, rec->data, sizeof h);
  EXPECT_EQ(h.size, 37u);
  EXPECT_EQ(rec->header.size, 24u);  // not joined yet
  plain->next = rec;
  EXPECT_EQ(setup_recordlist64(plain), 37);
  std::memcpy(&h, rec->data, sizeof h);
  EXPECT_EQ(h.type, 0x0602);
  EXPECT_EQ(h.size, 37u);
  EXPECT_EQ(rec->header.size, 37u);
  EXPECT_EQ(std::memcmp(static_cast<char*>(rec->data) + 16, "fixedpt!0123456789cab", 21), 0);
  free_recordlist64(plain);  // frees both lists; the tagged piece was freed at set-up
}

TEST(RecordList, UnjoinedPiecesAreFreedOnceAndBadSizesRefused) {
  RECORD_LIST64* lst = new_recordlist64(0x0602, 16);
  auto* owned = static_cast<char*>(d_alloc(4));
  char stack[4];
  set_recordlist_chain64(lst, owned, 4, 1);
  set_recordlist_chain64(lst, stack, 4, 0);
  free_recordlist64(lst);  // LeakSanitizer catches a missed free, ASan a double one

  EXPECT_EQ(new_recordlist64(1, 8), nullptr);
  lst = new_recordlist64(0x0602, 16);
  set_recordlist_chain64(lst, stack, INT64_MAX, 0);
  EXPECT_EQ(setup_recordlist64_size(lst), -1);
  EXPECT_EQ(setup_recordlist64(lst), -1);
  EXPECT_EQ(lst->header.size, 16u);  // unchanged
  free_recordlist64(lst);
}

// A headerless list of one owned piece takes the piece as its block; the
// block then joins again like any other, and everything is freed once.
TEST(RecordList, OneOwnedPieceBecomesTheBlock) {
  struct Case {
    std::vector<std::pair<const char*, bool>> pieces;  // text, owned
    const char* joined;
  } cases[] = {{{{"alone", true}}, "alone"},
               {{{"lent", false}}, "lent"},
               {{{"first", true}, {"+second", true}}, "first+second"},
               {{{"", true}}, ""}};
  for (const Case& c : cases) {
    RECORD_LIST64* lst = new_recordlist64(0, 0);
    int64_t want = 0;
    for (auto [text, owned] : c.pieces) {
      size_t n = std::strlen(text);
      void* p = const_cast<char*>(text);
      if (owned) {
        p = d_alloc(n + 1);
        std::memcpy(p, text, n + 1);
      }
      set_recordlist_chain64(lst, p, static_cast<int64_t>(n), owned ? 1 : 0);
      want += static_cast<int64_t>(n);
    }
    ASSERT_EQ(setup_recordlist64(lst), want) << c.joined;
    EXPECT_EQ(std::string(static_cast<char*>(lst->data), static_cast<size_t>(want)), c.joined);
    // Joined again, a headerless list starts at its first byte: the new
    // piece is all of it, in a block reallocated from the adopted one.
    char more[] = "again";
    set_recordlist_chain64(lst, more, 5, 0);
    ASSERT_EQ(setup_recordlist64(lst), 5);
    EXPECT_EQ(std::memcmp(lst->data, "again", 5), 0);
    free_recordlist64(lst);
  }
}
