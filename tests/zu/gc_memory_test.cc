// What the collector tells about the memory it hands out and frees: counts
// per thread and on an attached meter, the bytes a sweep freed, and a
// collection asked for once enough memory was let go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/lock.h"
#include "zu/gc.h"
#include "zu_test_util.h"

TEST(CollectorMemory, AllocationsCountOnTheirThreadAndItsAttachedMeter) {
  ZuThreadScope scope("test");
  std::atomic<int64_t> meter{0};
  uint64_t before = gc_thread_allocated();
  EXPECT_EQ(gc_attach_meter(&meter), nullptr);
  {
    GcFrame f("counted");
    mmalloc(3 << 20, nullptr);
  }
  int64_t seen = meter.load();
  EXPECT_GE(seen, 3 << 20);
  EXPECT_GE(gc_thread_allocated() - before, uint64_t{3} << 20);
  // Another thread's allocations count on neither.
  std::thread other([] {
    ZuThreadScope s("other");
    GcFrame f("elsewhere");
    mmalloc(2 << 20, nullptr);
  });
  other.join();
  EXPECT_EQ(meter.load(), seen);
  EXPECT_EQ(gc_attach_meter(nullptr), &meter);
  {
    GcFrame f("detached");
    mmalloc(1 << 20, nullptr);
  }
  EXPECT_EQ(meter.load(), seen);
}

TEST(CollectorMemory, ASweepReportsTheBytesItFreed) {
  ZuThreadScope scope("test");
  gc_collect_now();
  {
    GcFrame f("dropped");
    for (int i = 0; i < 4; ++i) mmalloc(1 << 20, nullptr);
  }
  gc_collect_now();
  GC_STATS st;
  gc_get_stats(&st);
  EXPECT_GE(st.freed_bytes, uint64_t{4} << 20);
  EXPECT_EQ(gc_collections_done(), st.collections);
}

TEST(CollectorMemory, LettingGoOfMoreThanTheTrimThresholdAsksForACollection) {
  init_gc_task();
  gc_set_trim_bytes(8 << 20);
  uint64_t done = gc_collections_done();
  gc_note_released(5 << 20);
  gc_note_released(5 << 20);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (gc_collections_done() == done && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(gc_collections_done(), done);
  stop_gc_task();
}

// The budget of allocation before the next triggered collection: twice the
// live bytes while collections find the heap keeping what it took (a
// structure being built), the live bytes once one frees most of it.
TEST(CollectorMemory, AGrowingHeapGetsTwiceItsLiveBytesUntilItFreesAgain) {
  ZuThreadScope scope("test");
  gc_set_trigger_bytes(1 << 20);
  constexpr int kBlocks = (8 << 20) / 64;
  GcFrame kept("kept");
  gc_collect_now();
  for (int i = 0; i < kBlocks; ++i) mmalloc(56, nullptr);
  gc_collect_now();
  GC_STATS st;
  gc_get_stats(&st);
  EXPECT_GE(st.live_bytes, uint64_t{8} << 20);
  EXPECT_EQ(st.budget, 2 * st.live_bytes);
  {
    GcFrame dropped("dropped");
    for (int i = 0; i < kBlocks; ++i) mmalloc(56, nullptr);
  }
  gc_collect_now();
  gc_get_stats(&st);
  EXPECT_GE(st.freed_bytes, uint64_t{8} << 20);
  EXPECT_EQ(st.budget, st.live_bytes);
  gc_set_trigger_bytes(8 << 20);
}

// While the heap takes new pages the collector task keeps page memory
// faulted in ahead, which new pages then take; a collection that finds no
// new page taken since the last lets the stock go.
TEST(CollectorMemory, AGrowingHeapTakesPagesFaultedInAheadAndAStillOneHoldsNone) {
  init_gc_task();
  {
    ZuThreadScope scope("test");
    GcFrame kept("kept");
    auto grow = [](int mib) {
      for (int i = 0; i < (mib << 20) / 64; ++i) mmalloc(56, nullptr);
    };
    GC_STATS st;
    grow(4);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      BlockingRegion outside;  // the task may be collecting meanwhile
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      gc_get_stats(&st);
    } while (st.stock_pages == 0 && std::chrono::steady_clock::now() < end);
    ASSERT_GT(st.stock_pages, 0u);
    EXPECT_LE(st.stock_pages, 32u);
    uint64_t served = st.stock_served;
    grow(1);
    gc_get_stats(&st);
    EXPECT_GT(st.stock_served, served);
    gc_collect_now();  // pages were taken since the last: the stock stays
    gc_collect_now();  // none since: it goes
    gc_get_stats(&st);
    EXPECT_EQ(st.stock_pages, 0u);
  }
  stop_gc_task();
}

// Every collection empties the threads' free cells, so a thread that
// allocates after it takes cells for each size it uses, which count toward
// the next collection. Taken a page (64 KiB) at a time, those of a few dozen
// threads that each allocate a little reached the trigger (8 MiB) by
// themselves, and collections followed each other.
TEST(CollectorMemory, ThreadsThatAllocateALittleDoNotReachTheTriggerByThemselves) {
  ZuThreadScope scope("test");
  gc_collect_now();
  std::vector<std::thread> ts;
  for (int i = 0; i < 48; ++i) {
    ts.emplace_back([] {
      ZuThreadScope s("one cell of every size");
      GcFrame f("cells");
      for (size_t size = 8; size + 8 <= kGcMaxCell; size += 8) mmalloc(size, nullptr);
    });
  }
  {
    BlockingRegion outside;
    for (auto& t : ts) t.join();
  }
  GC_STATS st;
  gc_get_stats(&st);
  EXPECT_LT(st.allocated_bytes, uint64_t{8} << 20);  // 69 MiB a page at a time
  // What a thread goes on to allocate counts in full.
  uint64_t before = st.allocated_bytes;
  {
    GcFrame f("used");
    for (int i = 0; i < 4096; ++i) mmalloc(1000, nullptr);
  }
  gc_get_stats(&st);
  EXPECT_GE(st.allocated_bytes - before, uint64_t{4000} << 10);
}
