#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/smpalloc.h"

namespace {

// Bytes now charged to the site at `line` of this file.
size_t site_bytes(int line) {
  for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
    if (m->line == line && std::strcmp(m->file, __FILE__) == 0) return m->size;
  return 0;
}

TEST(TaggedAlloc, PerSiteTotalsFollowAllocReallocFreeAndMoves) {
  const int line_a = __LINE__ + 1;
  void* a1 = xx_d_alloc(100, __FILE__, line_a);
  void* a2 = xx_d_alloc(28, __FILE__, line_a);
  const int line_b = __LINE__ + 1;
  void* b = xx_d_alloc(50, __FILE__, line_b);
  EXPECT_EQ(site_bytes(line_a), 128u);
  EXPECT_EQ(site_bytes(line_b), 50u);

  // A resize keeps the site and the contents up to the smaller size.
  std::memset(a1, 'x', 100);
  a1 = d_re_alloc(a1, 300);
  ASSERT_NE(a1, nullptr);
  EXPECT_EQ(static_cast<char*>(a1)[99], 'x');
  EXPECT_EQ(site_bytes(line_a), 328u);
  a1 = d_re_alloc(a1, 10);
  EXPECT_EQ(site_bytes(line_a), 38u);

  // Moving a block's accounting moves all of it.
  xx_change_statistics(a2, __FILE__, line_b);
  EXPECT_EQ((std::pair{site_bytes(line_a), site_bytes(line_b)}), (std::pair{size_t{10}, size_t{78}}));
  for (void* p : {a1, a2, b, static_cast<void*>(nullptr)}) d_f_ree(p);
  EXPECT_EQ(site_bytes(line_a) + site_bytes(line_b), 0u);

  // A null block resized is a new zeroed block.
  auto* z = static_cast<unsigned char*>(d_re_alloc(nullptr, 64));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(z[i], 0);
  d_f_ree(z);
}

// Results stay aligned, writable and valid until the whole chain is freed,
// whatever mix of small and large requests comes (ASan sees a block left
// behind or written past).
TEST(SimpleAlloc, RoundsAlignsAndChainsBlocks) {
  SIMPLE_ALLOC_T sat;
  smp_init(&sat);
  auto* first = static_cast<char*>(smp_alloc(&sat, 5000));  // larger than a block
  std::memset(first, 1, 5000);
  auto* a = static_cast<char*>(smp_alloc(&sat, 1));
  auto* b = static_cast<char*>(smp_alloc(&sat, 13));
  EXPECT_EQ(b - a, 8);
  auto* c = static_cast<char*>(smp_alloc(&sat, 16));
  EXPECT_EQ(c - b, 16);
  std::memset(c, 0x5A, 16);
  auto* big = static_cast<char*>(smp_alloc(&sat, 1024));
  EXPECT_EQ(sat.last_alloc, big);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % 8, 0u);
  EXPECT_EQ(big[1023], 0);  // zeroed, and all of it usable
  std::memset(big, 3, 1024);
  EXPECT_EQ(static_cast<unsigned char>(c[15]), 0x5A);
  for (int i = 0; i < 1000; ++i) std::memset(smp_alloc(&sat, 40), 2, 40);
  free_smp(&sat);
  EXPECT_EQ(sat.blk, nullptr);
}

// Broken invariants stop the process with the framed label on standard error
// and exit status 1.
TEST(PanicDeathTest, BrokenInvariantsStopWithAFramedLabel) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { er_panic("_cr_write(2)"); }, "^\n\\*{12}\n_cr_write\\(2\\) \\([0-9]+\\)\n\\*{12}\n$"},
      {[] {
         auto* p = static_cast<unsigned char*>(d_alloc(32));
         p[-16] ^= 0xFF;  // the header's check word lies just before the block
         d_f_ree(p);
       },
       "\n\\*+\nxx_d_f_ree\\(1\\) \\([0-9]+\\)\n\\*+\n"},
      {[] {
         SIMPLE_ALLOC_T sat;
         smp_init(&sat);
         smp_alloc(&sat, -1);
       },
       "smp_alloc\\(1\\)"},
  };
  for (const auto& [body, label] : cases) EXPECT_EXIT(body(), testing::ExitedWithCode(1), label);
}

}  // namespace
