#include <fcntl.h>
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "store/pdb64.h"
#include "store_test_util.h"

using FreeSpace = StoreTest;

namespace {

int64_t alloc(PDB64* p, uint64_t m, uint16_t t = 0x0200) {
  PN64_HEADER h{t, {0, 0, 0}, m};
  return alloc_filespace64(p, &h);
}

// Offsets and disk sizes of the free chain, highest first.
std::vector<std::pair<uint64_t, uint64_t>> chain(PDB64* p) {
  std::vector<std::pair<uint64_t, uint64_t>> v;
  for (FREELIST64* f = p->freelist_work->next; f; f = f->next) v.emplace_back(f->fofs, pn64_disk_size(f->f.h.size));
  return v;
}

using Chain = std::vector<std::pair<uint64_t, uint64_t>>;

}  // namespace

TEST_F(FreeSpace, FitSplitMergeAndCutAtTheEnd) {
  PDB64* p = create("a.db");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(alloc(p, 40), 44);
  EXPECT_EQ(free_filespace64(p, 44), 0);
  EXPECT_EQ(pdb64_file_size(p), 44);
  EXPECT_EQ(alloc(p, 16), -1);  // below the smallest record that can be freed

  // 44: 28 bytes, 72: 28, 100: 1000, 1100: 28, 1128: 28 (disk sizes).
  int64_t a = alloc(p, 40), b = alloc(p, 40), c = alloc(p, 1012), d = alloc(p, 40), e = alloc(p, 40);
  ASSERT_EQ(e, 1128);
  ASSERT_EQ(free_filespace64(p, a), 0);
  ASSERT_EQ(free_filespace64(p, c), 0);
  EXPECT_EQ(chain(p), (Chain{{100, 1000}, {44, 28}}));
  // First fit from the top: disk 18 splits the 1000-byte segment, whose rest
  // stays in its place in the chain.
  EXPECT_EQ(alloc(p, 30), 100);
  EXPECT_EQ(chain(p), (Chain{{118, 982}, {44, 28}}));
  // Larger by 12 or less is no fit: disk 970 goes to the end, and freeing it
  // cuts the file back.
  EXPECT_EQ(alloc(p, pn64_mem_size(970)), 1156);
  ASSERT_EQ(free_filespace64(p, 1156), 0);
  EXPECT_EQ(pdb64_file_size(p), 1156);
  EXPECT_EQ(alloc(p, pn64_mem_size(982)), 118);  // exact fit
  EXPECT_EQ(alloc(p, 40), 44);                   // exact fit lower down
  EXPECT_TRUE(chain(p).empty());

  ASSERT_EQ(free_filespace64(p, 100), 0);
  ASSERT_EQ(free_filespace64(p, 118), 0);  // joins the segment below
  EXPECT_EQ(chain(p), (Chain{{100, 1000}}));
  ASSERT_EQ(free_filespace64(p, a), 0);
  ASSERT_EQ(free_filespace64(p, b), 0);  // touches both: one segment from 44
  EXPECT_EQ(chain(p), (Chain{{44, 1056}}));
  ASSERT_EQ(free_filespace64(p, d), 0);
  EXPECT_EQ(chain(p), (Chain{{44, 1084}}));
  // Freeing the last record cuts the file to the start of the free space below.
  ASSERT_EQ(free_filespace64(p, e), 0);
  EXPECT_EQ(pdb64_file_size(p), 44);
  EXPECT_TRUE(chain(p).empty());
  ASSERT_EQ(free_filespace64(p, alloc(p, 40)), 0);
  ASSERT_EQ(alloc(p, 40), 44);
  // A segment moving down: the freed record lies just below free space.
  int64_t f = alloc(p, 40), g = alloc(p, 40);
  ASSERT_EQ(free_filespace64(p, f), 0);
  ASSERT_EQ(free_filespace64(p, 44), 0);
  EXPECT_EQ(chain(p), (Chain{{44, 56}}));
  ASSERT_EQ(free_filespace64(p, g), 0);
  EXPECT_EQ(pdb64_file_size(p), 44);
  EXPECT_EQ(free_filespace64(p, 0), -1);
  EXPECT_EQ(free_filespace64(p, 32), -1);
  EXPECT_EQ(close_filespace64(p), 0);
}

TEST_F(FreeSpace, SizesNoRecordCanCoverAreNeverMade) {
  PDB64* p = create("a.db");
  ASSERT_NE(p, nullptr);
  int64_t big = alloc(p, pn64_mem_size(65565));
  int64_t tail = alloc(p, 40);
  ASSERT_EQ(free_filespace64(p, big), 0);
  // Splits that would leave 65537 or 65534 bytes are declined.
  EXPECT_GT(alloc(p, 40), tail);
  EXPECT_GT(alloc(p, 43), tail);
  EXPECT_EQ(alloc(p, 44), big);  // leaves 65533
  EXPECT_EQ(chain(p), (Chain{{76, 65533}}));
  EXPECT_EQ(close_filespace64(p), 0);

  // A merge that would make 65535 bytes is left undone; the freed record is
  // marked free outside the chain so no search by type finds it.
  p = create("b.db");
  ASSERT_NE(p, nullptr);
  int64_t r1 = alloc(p, 24, 0x0602), r2 = alloc(p, pn64_mem_size(65523));
  ASSERT_GT(alloc(p, 40), r2);
  ASSERT_EQ(free_filespace64(p, r2), 0);
  ASSERT_EQ(free_filespace64(p, r1), 0);
  EXPECT_EQ(chain(p), (Chain{{56, 65523}}));
  uint64_t o = 0;
  PN64_HEADER* h = get_file_record64(&o, p, 0x0602, 0);
  EXPECT_EQ(h, nullptr);
  d_f_ree(h);
  EXPECT_EQ(close_filespace64(p), 0);
}

namespace {

// First fit in chain order, by walking the chain: the rule the index keeps.
int64_t chain_order_fit(PDB64* p, uint64_t hd) {
  for (FREELIST64* f = p->freelist_work->next; f; f = f->next) {
    uint64_t sd = pn64_disk_size(f->f.h.size);
    if (sd == hd || (sd > hd + 12 && pn64_disk_size_ok(sd - hd))) return static_cast<int64_t>(f->fofs);
  }
  return pdb64_file_size(p);
}

}  // namespace

// Every allocation takes exactly the segment a walk of the chain from the
// highest offset down would take (near misses and splits that would leave
// sizes no record has included), also after a reopen rebuilds the index.
TEST_F(FreeSpace, IndexedFitIsTheChainOrderFit) {
  set_pdb64_debug_check(0);
  PDB64* p = create("fit.db");
  std::mt19937 rng(11);
  std::map<int64_t, uint64_t> live;
  const uint64_t sizes[] = {24, 28, 30, 36, 40, 41, 52, 100, 113, 1000, 65549, 65556};
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 6000; ++i) {
      if (live.size() < 50 || rng() % 100 < 50) {
        uint64_t m = sizes[rng() % std::size(sizes)] + (rng() % 4 == 0 ? rng() % 64 : 0);
        int64_t want = chain_order_fit(p, pn64_disk_size(m));
        int64_t at = alloc(p, m);
        ASSERT_EQ(at, want) << i;
        live.emplace(at, m);
      } else {
        auto it = live.begin();
        std::advance(it, static_cast<long>(rng() % live.size()));
        ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(it->first)), 0);
        live.erase(it);
      }
    }
    EXPECT_EQ(check_freelist64(p), 0);
    EXPECT_GT(chain(p).size(), 30u);
    ASSERT_EQ(close_filespace64(p), 0);
    p = open_filespace64(path("fit.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
    ASSERT_NE(p, nullptr);
  }
  ASSERT_EQ(close_filespace64(p), 0);
}

// Space freed outside the chain (no record covers the merge) joins its
// neighbours when they are freed, in the same session or a later one.
TEST_F(FreeSpace, OrphanedSpaceJoinsItsNeighbours) {
  PDB64* p = create("o.db");
  int64_t x = alloc(p, 40), a = alloc(p, 24), b = alloc(p, pn64_mem_size(65523));
  int64_t t = alloc(p, 40);
  ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(b)), 0);
  ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(a)), 0);  // 12 + 65523: no record has that size
  EXPECT_EQ(chain(p), (Chain{{84, 65523}}));
  ASSERT_EQ(close_filespace64(p), 0);
  p = open_filespace64(path("o.db").c_str(), O_RDWR, 0644, kPdb64WithFreeList, 31, nullptr);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(x)), 0);
  EXPECT_EQ(chain(p), (Chain{{44, 28 + 12 + 65523}}));
  ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(t)), 0);
  EXPECT_EQ(pdb64_file_size(p), 44);
  ASSERT_EQ(close_filespace64(p), 0);

  // In one session: the orphan below the last record goes with it.
  p = create("o2.db");
  a = alloc(p, 24);
  b = alloc(p, pn64_mem_size(65523));
  t = alloc(p, 40);
  ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(b)), 0);
  ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(a)), 0);
  ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(t)), 0);
  EXPECT_EQ(pdb64_file_size(p), 44);
  EXPECT_TRUE(chain(p).empty());
  ASSERT_EQ(close_filespace64(p), 0);
}
