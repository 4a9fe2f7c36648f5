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
