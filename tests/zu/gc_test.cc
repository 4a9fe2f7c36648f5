#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/lock.h"
#include "zu/env.h"
#include "zu/file.h"
#include "zu/gc.h"
#include "zu_test_util.h"

namespace {

// A foreign record reachable only through a pointer value.
struct Holder {
  ZU_SEXP* held = nullptr;
  int marks = 0;
};

void mark_holder(void* p) {
  auto* h = static_cast<Holder*>(p);
  ++h->marks;
  gc_mark(h->held, gc_qn_sexp);
}

ZU_SEXP* chunked_list(int n) {
  // Built in chunks so the frame does not pin every cell separately.
  ZU_SEXP* r = nullptr;
  for (int i = n; i > 0;) {
    GcFrame f("chunk");
    for (int k = 0; k < 10000 && i > 0; ++k) r = cons(I(--i), r);
    r = f.keep(r, gc_qn_sexp);
  }
  return r;
}

}  // namespace

// A block handed back is the thread's to reuse at once, for blocks of its
// size (the evaluator's call environments live on that); collections
// before and after its reuse take it as free, then as live.
TEST(Collector, BlocksHandedBackAreReusedAtOnce) {
  ZuThreadScope scope("release");
  for (size_t size : {size_t{8}, size_t{40}, size_t{180}, size_t{1000}}) {
    size_t mark = gc_root_mark();
    void* a = mmalloc(size, nullptr);
    gc_root_release(mark, nullptr, nullptr);
    gc_release_block(a);
    gc_collect_now();  // a free cell the sweep must accept
    mark = gc_root_mark();
    void* b = mmalloc(size, nullptr);
    gc_root_release(mark, nullptr, nullptr);
    gc_release_block(b);
    ZU_SEXP* v = cons(I(1), nullptr);  // whatever reuses the cell stays whole
    gc_collect_now();
    EXPECT_EQ(v->pair.car->integer.num, 1);
    mark = gc_root_mark();
    void* c = mmalloc(size, nullptr);
    gc_root_release(mark, nullptr, nullptr);
    gc_release_block(c);
    EXPECT_EQ(mmalloc(size, nullptr), c) << size;
  }
  size_t mark = gc_root_mark();
  void* big = mmalloc(5000, nullptr);
  gc_root_release(mark, nullptr, nullptr);
  gc_release_block(big);  // left to the collector
  gc_collect_now();
}

TEST(Collector, FreesUnreachableAndKeepsPinnedValues) {
  ZuThreadScope scope("test");
  {
    GcFrame f("dropped");
    get_symbol(W(U"gc-dropped-name"));
  }
  ZU_SEXP* kept;
  {
    GcFrame f("kept");
    kept = f.keep(List(get_symbol(W(U"gc-kept-name")), I(7), ZU_LIST_END), gc_qn_sexp);
  }
  ASSERT_NE(find_atom(W(U"gc-dropped-name")), nullptr);
  gc_collect_now();
  // A name nothing refers to is forgotten; a pinned list keeps its members.
  EXPECT_EQ(find_atom(W(U"gc-dropped-name")), nullptr);
  EXPECT_NE(find_atom(W(U"gc-kept-name")), nullptr);
  EXPECT_EQ(get_el(kept, 1)->integer.num, 7);
  GC_STATS st;
  gc_get_stats(&st);
  EXPECT_GT(st.freed_blocks, 0u);

  // Symbols made again after the purge share one atom again.
  ZU_SEXP* a = get_symbol(W(U"gc-dropped-name"));
  ZU_SEXP* b = get_symbol_ascii("gc-dropped-name");
  EXPECT_EQ(a->symbol.atom, b->symbol.atom);
}

// Root marks: what was pinned after the mark is let go, the kept value and
// what was pinned before stay, and frames around them stay consistent, also
// once the root stack has grown.
TEST(Collector, RootMarksReleaseAllButTheKeptValue) {
  ZuThreadScope scope("test");
  GcFrame outer("outer");
  ZU_SEXP* before = get_symbol(W(U"gc-mark-before"));
  size_t mark = gc_root_mark();
  get_symbol(W(U"gc-mark-dropped"));
  ZU_SEXP* kept = get_symbol(W(U"gc-mark-kept"));
  for (int i = 0; i < 100000; ++i) gc_set_nl(before, gc_qn_sexp);
  {
    GcFrame inner("inner");
    for (int i = 0; i < 1000; ++i) I(i);
  }
  gc_root_release(mark, kept, gc_qn_sexp);
  EXPECT_EQ(gc_root_mark(), mark + 1);
  gc_collect_now();
  EXPECT_EQ(find_atom(W(U"gc-mark-dropped")), nullptr);
  EXPECT_NE(find_atom(W(U"gc-mark-kept")), nullptr);
  EXPECT_NE(find_atom(W(U"gc-mark-before")), nullptr);
  EXPECT_EQ(before->symbol.atom, find_atom(W(U"gc-mark-before")));
}

TEST(Collector, PointerValuesMarkThroughTheirFunction) {
  ZuThreadScope scope("test");
  Holder with_mark, without_mark;
  ZU_SEXP* p1;
  {
    GcFrame f("ptr");
    p1 = f.keep(get_ptr(&with_mark, mark_holder), gc_qn_sexp);
  }
  {
    GcFrame f("held");
    with_mark.held = get_symbol(W(U"held-through-pointer"));
    get_ptr(&without_mark, nullptr);
    without_mark.held = get_symbol(W(U"held-by-unmarked-pointer"));
  }
  gc_collect_now();
  EXPECT_EQ(with_mark.marks, 1);
  EXPECT_EQ(without_mark.marks, 0);
  EXPECT_NE(find_atom(W(U"held-through-pointer")), nullptr);
  EXPECT_EQ(find_atom(W(U"held-by-unmarked-pointer")), nullptr);
  EXPECT_EQ(p1->ptr.ptr, &with_mark);
}

namespace {
std::mutex close_m;
std::vector<int> close_codes;
void record_close(int code, void* work) {
  std::lock_guard<std::mutex> l(close_m);
  close_codes.push_back(code * 100 + static_cast<int>(reinterpret_cast<intptr_t>(work)));
}
}  // namespace

TEST(Collector, DroppedReaderStatesAreClosedOnce) {
  ZuThreadScope scope("test");
  close_codes.clear();
  int before = zu_file_count();
  ZU_SEXP* v;
  ZU_FILE* explicit_close;
  {
    GcFrame f("files");
    ZU_FILE* zf = new_zu_file(W(U"source.zu"), nullptr);
    set_close_func(zf, record_close, reinterpret_cast<void*>(1));
    ZU_FILE* dropped = new_zu_file(W(U"other.zu"), nullptr);
    set_close_func(dropped, record_close, reinterpret_cast<void*>(2));
    ZU_SEXP* s = S("from-source");
    set_sexp_pos(s, zf, 3);
    v = f.keep(s, gc_qn_sexp);
  }
  {
    GcFrame f("explicit");
    explicit_close = new_zu_file(W(U"explicit.zu"), nullptr);
    set_close_func(explicit_close, record_close, reinterpret_cast<void*>(3));
    close_zu_file(explicit_close);
    close_zu_file(explicit_close);
  }
  EXPECT_EQ(zu_file_count(), before + 2);
  gc_collect_now();
  // The state a value refers to is marked (2) and stays open; the other is
  // marked once more for the collection that drops it, then closed (1).
  std::vector<int> expect = {103, 201, 202, 102};
  std::sort(close_codes.begin(), close_codes.end());
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(close_codes, expect);
  EXPECT_EQ(zu_file_count(), before + 1);
  EXPECT_EQ(v->h.file->name[0], U's');

  close_codes.clear();
  v->h.file = nullptr;
  gc_collect_now();
  gc_collect_now();
  std::sort(close_codes.begin(), close_codes.end());
  EXPECT_EQ(close_codes, (std::vector<int>{101, 201}));
  EXPECT_EQ(zu_file_count(), before);
}

TEST(Collector, MillionElementListsAndDeepNesting) {
  ZuThreadScope scope("test");
  constexpr int kN = 1000000;
  ZU_SEXP* big = chunked_list(kN);
  gc_set(big, gc_qn_sexp);
  // Nesting as deep as the list is long would overflow a recursive marker.
  ZU_SEXP* deep = nullptr;
  for (int i = 0; i < 200000;) {
    GcFrame f("deep");
    for (int k = 0; k < 10000; ++k, ++i) deep = list(deep);
    deep = f.keep(deep, gc_qn_sexp);
  }
  gc_collect_now();
  EXPECT_EQ(list_length(big), kN);
  EXPECT_EQ(get_el(big, kN - 1)->integer.num, kN - 1);
  EXPECT_EQ(cmp_sexp(big, big), 0);
  EXPECT_EQ(list_error(deep), nullptr);
  ZU_SEXP* deep2 = nullptr;
  {
    GcFrame f("deep2");
    for (int i = 0; i < 200000; ++i) deep2 = list(deep2);
    deep2 = f.keep(deep2, gc_qn_sexp);
  }
  EXPECT_EQ(cmp_sexp(deep, deep2), 0);
  GcFrame f("rev");
  ZU_SEXP* r = reverse(big);
  EXPECT_EQ(r->pair.car->integer.num, kN - 1);
}

TEST(Collector, AThreadBlockedOutsideDoesNotHoldCollectionsUp) {
  std::mutex m;
  std::condition_variable cv;
  bool go = false, inside = false;
  ZU_SEXP* value = nullptr;
  std::thread t([&] {
    ZuThreadScope scope("blocked");
    value = List(S("pinned-by-blocked-thread"), I(42), ZU_LIST_END);
    std::unique_lock<std::mutex> l(m);
    inside = true;
    cv.notify_all();
    BlockingRegion outside;
    cv.wait(l, [&] { return go; });
  });
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return inside; });
  }
  gc_collect_now();  // would hang if the blocked thread kept the lock
  EXPECT_NE(find_atom(W(U"pinned-by-blocked-thread")), nullptr);
  {
    std::lock_guard<std::mutex> l(m);
    go = true;
  }
  cv.notify_all();
  t.join();
  EXPECT_EQ(gc_frame_depth(), 0);
}

// Threads build, bind and read values while collections are triggered by
// allocation and requested explicitly; any value freed too early shows up as
// a poisoned read, a mark of a free cell or a wrong sum.
TEST(Collector, ConcurrentMutatorsAndCollections) {
  init_qnlisp_envs();
  gc_set_trigger_bytes(1 << 20);
  init_gc_task();
  ZUISP_ENV* shared;
  {
    ZuThreadScope scope("setup");
    shared = new_env(qnlisp_top_env1);
    EXPECT_EQ(0, set_env(qnlisp_top_env1, W(U"stress-shared-env"), get_env(shared)));
  }
  SEM counter_lock = new_lock(LOCK_TEST);
  long counter = 0;
  std::atomic<int> failures{0};
  constexpr int kThreads = 4, kRounds = 150;
  auto worker = [&](int id) {
    ZuThreadScope scope("worker");
    for (int round = 0; round < kRounds; ++round) {
      GcFrame f("round");
      ZU_SEXP* l = nullptr;
      for (int i = 0; i < 500; ++i) l = cons(List(I(i), Str("x"), ZU_LIST_END), l);
      L_CHAR name[] = {'v', static_cast<L_CHAR>('0' + id), 0};
      EXPECT_EQ(0, set_env(shared, name, l));
      int64_t sum = 0;
      ZU_SEXP* back = get_env_symbol(shared, name, 0);
      for (ZU_SEXP* p = back; p; p = p->pair.cdr) sum += p->pair.car->pair.car->integer.num;
      if (sum != 499 * 500 / 2 || list_length(back) != 500) ++failures;
      lock_task(counter_lock);  // contended: waits here are safe points
      ++counter;
      unlock_task(counter_lock, "test");
      if (id == 0 && round % 30 == 0) gc_collect_now();
    }
  };
  std::vector<std::thread> ts;
  for (int i = 0; i < kThreads; ++i) ts.emplace_back(worker, i);
  for (auto& t : ts) t.join();
  stop_gc_task();
  gc_set_trigger_bytes(8u << 20);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(counter, kThreads * kRounds);
  GC_STATS st;
  gc_get_stats(&st);
  EXPECT_GT(st.collections, 3u);
  ZuThreadScope scope("check");
  gc_collect_now();
  ZU_SEXP* v = get_env_symbol(shared, W(U"v2"), 0);
  EXPECT_EQ(list_length(v), 500);
  EXPECT_EQ(0, del_env(qnlisp_top_env1, W(U"stress-shared-env")));
  _i_free_lock(counter_lock);
}

// Threads that hold no frame take and let go of the memory lock around a
// few allocations while collections run back to back. Letting go drops the
// thread's roots; done after leaving, it would race with a collection that
// is reading them (the thread sanitizer's build reports it).
TEST(Collector, ThreadsDropTheirRootsBeforeLettingCollectionsIn) {
  constexpr int kThreads = 4, kCollections = 40;
  std::atomic<int> working{kThreads}, collections{0};
  std::atomic<long> built{0}, rounds{0};
  auto worker = [&] {
    for (int i = 0; collections.load() < kCollections; ++i) {
      lock_mem();
      ZU_SEXP* l = List(I(i), Str("dropped"), ZU_LIST_END);
      built += list_length(l);
      unlock_mem();
      ++rounds;
    }
    --working;
  };
  std::vector<std::thread> ts;
  for (int i = 0; i < kThreads; ++i) ts.emplace_back(worker);
  while (working.load() > 0) {
    gc_collect_now();
    ++collections;
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(built.load(), 2 * rounds.load());
  EXPECT_GE(collections.load(), kCollections);
}

// A working thread reads the statistics while collections run: it waits
// for the running collection at a safe point, as that collection waits for
// it.
TEST(Collector, StatisticsAreReadWhileCollectionsRun) {
  std::atomic<bool> done{false};
  std::thread collector([&] {
    while (!done.load()) gc_collect_now();
  });
  {
    ZuThreadScope scope("reader");
    GC_STATS st{};
    for (int i = 0; i < 500; ++i) {
      ZU_SEXP* l = List(I(i), ZU_LIST_END);
      gc_get_stats(&st);
      ASSERT_EQ(l->pair.car->integer.num, i);
    }
  }
  done = true;
  collector.join();
}

// The process ends (std::exit from the main thread) while the collector
// task is collecting: the exit path must not reach the main thread's
// collector state after the thread's own clean-up released it.
TEST(CollectorDeathTest, ExitWhileTheCollectorTaskRuns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    init_qnlisp_envs();
    gc_set_trigger_bytes(64 << 10);
    init_gc_task();
    ZuThreadScope scope("exit");
    for (int i = 0; i < 2000; ++i) {
      GcFrame f("churn");
      for (int k = 0; k < 200; ++k) cons(I(k), nullptr);
    }
    // Still inside the scope, with collections in flight.
    std::exit(0);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
  auto after_scope = [] {
    init_gc_task();
    {
      ZuThreadScope scope("exit");
      for (int i = 0; i < 100; ++i) cons(I(i), nullptr);
    }
    gc_collect_now();
    std::exit(0);
  };
  EXPECT_EXIT(after_scope(), ::testing::ExitedWithCode(0), "");
}
