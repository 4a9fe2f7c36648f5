// Dim-code arithmetic and the matrix file's codec on the node look-up and
// tree paths: compressing and reading dim codes, the tree key's order, the
// in-memory order, hash and child index, with memcpy of the same bytes as
// the floor. Each benchmark counts the heap allocations made inside its
// timed loop ("allocs" per call; these paths must make none).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <random>
#include <vector>

#include "matrix/dim_code.h"
#include "matrix/mx_format.h"

// Every malloc of the process is counted, so an allocation on a timed path
// shows in the counters.
namespace {
std::atomic<uint64_t> mallocs{0};
}
extern "C" void* __libc_malloc(size_t n);
extern "C" void* malloc(size_t n) {
  mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}

namespace {

constexpr int kCodes = 1024;

// A 2-D matrix of 2^20 x 2^20 (13 levels of 256 x 256 blocks) and codes
// spread over it, as the node cache and the node tree see them.
struct Fixture {
  uint8_t dd[2] = {1, 1}, bs[2] = {8, 8};
  MATRIX m{};
  std::vector<int64_t> codes;  // kCodes x 3
  std::vector<MX_DIM_CODE> keys;
  std::vector<std::vector<uint8_t>> packed;

  Fixture() {
    m.p.dim = 2;
    m.dim_divide = dd;
    m.block_size = bs;
    m.total_levels = 13;
    m.geometry = MATRIX_GEOMETRY{2, 0, dd, bs, nullptr, 13};
    std::mt19937_64 rng(1);
    for (int i = 0; i < kCodes; ++i) {
      int64_t c[3] = {static_cast<int64_t>(rng() % 13), static_cast<int64_t>(rng() % (1 << 20)),
                      static_cast<int64_t>(rng() % (1 << 20))};
      codes.insert(codes.end(), c, c + 3);
      MX_DIM_CODE k{};
      mx_dim_code_key(&k, 4096 + i, c, 2);
      keys.push_back(k);
      uint8_t buf[kMxDimCodeMaxBytes];
      packed.emplace_back(buf, get_compressed_dim_code(buf, c, 2));
    }
  }
  const int64_t* code(int i) const { return &codes[3 * static_cast<size_t>(i % kCodes)]; }
};

const Fixture& fx() {
  static Fixture f;
  return f;
}

template <class F>
void run(benchmark::State& state, F&& body) {
  uint64_t before = mallocs.load();
  int i = 0;
  for (auto _ : state) body(i++);
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(mallocs.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_CopyCodeBytes(benchmark::State& state) {
  const Fixture& f = fx();
  uint8_t out[32];
  run(state, [&](int i) {
    const auto& p = f.packed[i % kCodes];
    std::memcpy(out, p.data(), p.size());
    benchmark::DoNotOptimize(out);
  });
}

void BM_CompressDimCode(benchmark::State& state) {
  const Fixture& f = fx();
  uint8_t out[kMxDimCodeMaxBytes];
  run(state, [&](int i) { benchmark::DoNotOptimize(get_compressed_dim_code(out, f.code(i), 2)); });
}

void BM_ReadDimCode(benchmark::State& state) {
  const Fixture& f = fx();
  int64_t dc[3];
  run(state, [&](int i) {
    const auto& p = f.packed[i % kCodes];
    benchmark::DoNotOptimize(mx_read_dim_code(&f.m.geometry, dc, p.data(), p.data() + p.size()));
  });
}

void BM_TreeKeyOrder(benchmark::State& state) {
  Fixture& f = const_cast<Fixture&>(fx());
  run(state, [&](int i) {
    benchmark::DoNotOptimize(mx_dim_code_cmp(&f.keys[i % kCodes], &f.keys[(i * 7 + 3) % kCodes], &f.m));
  });
}

void BM_NodeOrder(benchmark::State& state) {
  const Fixture& f = fx();
  run(state, [&](int i) { benchmark::DoNotOptimize(cmp_dim_code(&f.m, f.code(i), f.code(i * 7 + 3))); });
}

void BM_NodeHash(benchmark::State& state) {
  const Fixture& f = fx();
  run(state, [&](int i) { benchmark::DoNotOptimize(_get_node_hash(&f.m, f.code(i))); });
}

void BM_ChildIndex(benchmark::State& state) {
  const Fixture& f = fx();
  int64_t top[3] = {12, 0, 0};
  MATRIX_NODE n{};
  n.matrix = const_cast<MATRIX*>(&f.m);
  n.dim_code = top;
  run(state, [&](int i) { benchmark::DoNotOptimize(_get_dim_code_index(&n, f.code(i))); });
}

}  // namespace

BENCHMARK(BM_CopyCodeBytes);
BENCHMARK(BM_CompressDimCode);
BENCHMARK(BM_ReadDimCode);
BENCHMARK(BM_TreeKeyOrder);
BENCHMARK(BM_NodeOrder);
BENCHMARK(BM_NodeHash);
BENCHMARK(BM_ChildIndex);
BENCHMARK_MAIN();
