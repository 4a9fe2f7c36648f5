// Structure blocks: the weighted sum of a layering block over the clicks of
// one id, reading a layering block of many clicks, and searches of a structured array (2-D, 256 x 256 block) over
// its whole range and over one 16 x 16 window.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "matrix/matrix.h"
#include "matrix/struct_block.h"
#include "runtime/zu_init.h"

namespace {

MATRIX* matrix_2d() {
  static MATRIX* m = [] {
    init_zu();
    init_matrix();
    ZuThreadScope scope("sblock_bench");
    MATRIX* x = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    p.dim = 2;
    p.channel_nos = 1;
    set_matrix_param(x, &p);
    for (int d = 0; d < 2; ++d) {
      set_matrix_block_size(x, d, 8);
      set_matrix_dim_divide(x, d, 1);
      set_matrix_pixel_size(x, d, 1 << 16);
    }
    return x;
  }();
  return m;
}

void BM_HlCalc(benchmark::State& state) {
  MX_SB_NEW where{matrix_2d(), nullptr, 0};
  MX_STRUCT_BLOCK* b = hl_new_sb(&where, nullptr);
  std::mt19937 rng(1);
  for (int64_t i = 0; i < state.range(0); ++i) {
    long long ix[2] = {static_cast<long long>(rng() % 256), static_cast<long long>(rng() % 256)};
    hl_insert_point(reinterpret_cast<HL_STRUCT_BLOCK*>(b), 1, ix, 1.0 + i, 1, 0, 1);
  }
  long long q[2] = {100, 100};
  HL_OP op{1, q, 2.5, 0, 0};
  for (auto _ : state) {
    hl_calc(reinterpret_cast<HL_STRUCT_BLOCK*>(b), &op);
    benchmark::DoNotOptimize(op.show);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetLabel("clicks weighed");
  hl_free_sb(b);
}
BENCHMARK(BM_HlCalc)->Arg(1000)->Arg(100000);

// Reading a layering block of n clicks of one id into an empty block:
// the time per click stays near flat as n doubles.
void BM_HlDecode(benchmark::State& state) {
  MX_SB_NEW where{matrix_2d(), nullptr, 0};
  MX_STRUCT_BLOCK* b = hl_new_sb(&where, nullptr);
  for (int64_t i = 0; i < state.range(0); ++i) {
    long long ix[2] = {i % 256, i / 256};
    hl_insert_point(reinterpret_cast<HL_STRUCT_BLOCK*>(b), 1, ix, 1.0, 1, 0, 1);
  }
  MATRIX_ALLOC_BLOCK_PARAM* bytes = hl_struct2block(b);
  for (auto _ : state) {
    MX_STRUCT_BLOCK* back = hl_new_sb(&where, nullptr);
    hl_block2struct(back, bytes);
    hl_free_sb(back);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetLabel("clicks read");
  mx_type_block.free_data(&mx_type_block, bytes);
  hl_free_sb(b);
}
BENCHMARK(BM_HlDecode)->Arg(20000)->Arg(40000)->Arg(80000)->Arg(160000)->Unit(benchmark::kMillisecond);

void BM_SaSearch(benchmark::State& state) {
  MX_SB_NEW where{matrix_2d(), nullptr, 0};
  SA_NEW init{pr_new_sb(&where, nullptr)};
  MX_STRUCT_BLOCK* b = sa_new_sb(&where, &init);
  std::mt19937 rng(2);
  int members = 0;
  for (int i = 0; i < 4096; ++i) {
    int ix[2] = {static_cast<int>(rng() % 256), static_cast<int>(rng() % 256)};
    SA_OP op{};
    op.index1 = ix;
    members += sa_operation(kSbInsert, b, &op) == 0;
  }
  const int window = static_cast<int>(state.range(0));
  const int from = window == 256 ? 0 : 100;
  int lo[2] = {from, from}, hi[2] = {from + window, from + window};
  int64_t found = 0;
  for (auto _ : state) {
    MX_SB_LIST* l = sa_search_blk(reinterpret_cast<SA_STRUCT_BLOCK*>(b), lo, hi);
    for (MX_SB_LIST* e = l; e; e = e->next) ++found;
    free_mx_sb_list(l);
  }
  state.SetItemsProcessed(found);
  state.SetLabel("members found (" + std::to_string(members) + " held)");
  sa_free_sb(b);
}
BENCHMARK(BM_SaSearch)->Arg(16)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
