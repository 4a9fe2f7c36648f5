// Collector: allocation rate of cons cells and the pause of a collection
// with many live values.
#include <benchmark/benchmark.h>

#include "zu/gc.h"
#include "zu/value.h"

namespace {

// Short-lived cells: each round's list becomes garbage when its frame pops,
// so collections triggered by allocation run in the background.
void BM_ConsGarbage(benchmark::State& state) {
  static bool started = [] {
    init_gc_task();
    return true;
  }();
  (void)started;
  // The scope is taken per round: the benchmark's own thread barriers are
  // waits the collector cannot see, so no thread may hold the memory lock
  // across them.
  for (auto _ : state) {
    ZuThreadScope scope("round");
    ZU_SEXP* l = nullptr;
    for (int i = 0; i < 1000; ++i) l = cons(nullptr, l);
    benchmark::DoNotOptimize(l);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ConsGarbage)->Threads(1)->Threads(4)->UseRealTime();

// Pause of one collection with `n` live cons cells in one list.
void BM_CollectLive(benchmark::State& state) {
  const int64_t n = state.range(0);
  ZuThreadScope scope("bench");
  ZU_SEXP* one = get_integer(1, nullptr);
  ZU_SEXP* l = nullptr;
  for (int64_t i = 0; i < n;) {
    GcFrame f("chunk");
    for (int k = 0; k < 100000 && i < n; ++k, ++i) l = cons(one, l);
    l = f.keep(l, gc_qn_sexp);
  }
  gc_collect_now();
  for (auto _ : state) gc_collect_now();
  GC_STATS st;
  gc_get_stats(&st);
  state.counters["live_blocks"] = static_cast<double>(st.live_blocks);
  state.counters["pause_ms"] = st.last_pause_ms;
  benchmark::DoNotOptimize(l);
}
BENCHMARK(BM_CollectLive)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
