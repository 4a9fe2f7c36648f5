// Operator tables: plain integers, units that must be converted, and the
// member-by-member order of long lists (the field comparison of sorts).
#include <benchmark/benchmark.h>

#include "zu/arith.h"
#include "zu/env.h"
#include "zu/unit.h"

namespace {

const L_CHAR kKm[] = {'k', 'm', 0};
const L_CHAR kM[] = {'m', 0};

void BM_AddIntegers(benchmark::State& state) {
  ZuThreadScope scope("bench");
  init_unit();
  ZUISP_ENV* env = new_env(nullptr);
  ZU_SEXP* a = get_integer(40, nullptr);
  ZU_SEXP* b = get_integer(2, nullptr);
  for (auto _ : state) {
    GcFrame f("op");
    benchmark::DoNotOptimize(BINARY(add_t, env, a, b));
  }
}
BENCHMARK(BM_AddIntegers);

void BM_AddConvertingUnits(benchmark::State& state) {
  ZuThreadScope scope("bench");
  init_unit();
  ZUISP_ENV* env = new_env(nullptr);
  ZU_SEXP* a = get_integer(1, kKm);
  ZU_SEXP* b = get_integer(500, kM);
  for (auto _ : state) {
    GcFrame f("op");
    benchmark::DoNotOptimize(BINARY(add_t, env, a, b));
  }
}
BENCHMARK(BM_AddConvertingUnits);

void BM_LessThanLongLists(benchmark::State& state) {
  ZuThreadScope scope("bench");
  ZUISP_ENV* env = new_env(nullptr);
  ZU_SEXP* a = nullptr;
  ZU_SEXP* b = list(get_integer(1, nullptr));
  for (int64_t i = 0; i < state.range(0); ++i) {
    a = cons(get_integer(i, nullptr), a);
    b = cons(get_integer(i, nullptr), b);
  }
  for (auto _ : state) {
    GcFrame f("op");
    benchmark::DoNotOptimize(BINARY(lt_t, env, a, b));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LessThanLongLists)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
