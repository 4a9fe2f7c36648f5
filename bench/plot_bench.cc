// Plots: the plot-code reader (tagged and into a bump allocator) and writer
// in MB/s on 1M random 2-D points, then sort_plot and diff_pp of 10M random
// 2-D points (block size 16, one sum field) next to numpy on the same
// points in the same run: interleaved keys with argsort, and unique plus
// add.reduceat over the coarse keys. The summary at the end gives the
// ratios. PLOT_BENCH_POINTS changes the 10M.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "matrix/matrix.h"
#include "matrix_ops/plot_level.h"

namespace {

uint8_t bs[2] = {16, 16}, dd[2] = {1, 1};

MATRIX* plot_matrix() {
  static MATRIX m{};
  m.p.dim = 2;
  m.block_size = bs;
  m.dim_divide = dd;
  return &m;
}

// Plot code of n points in random order, each (flags 1, x, y, 0x31 value),
// from a fixed seed; numpy draws the same numbers from the same file.
std::vector<uint8_t> random_code(size_t n, std::vector<uint16_t>* xy = nullptr, std::vector<int64_t>* vals = nullptr) {
  std::mt19937_64 rng(7);
  std::vector<uint8_t> code(n * 16 + 1);
  uint8_t* p = code.data();
  for (size_t i = 0; i < n; ++i, p += 16) {
    uint64_t r = rng();
    auto x = static_cast<uint16_t>(r), y = static_cast<uint16_t>(r >> 16);
    auto v = static_cast<int64_t>(r >> 40);
    p[0] = 1;
    p[1] = 0;
    store_be16(p + 2, x);
    store_be16(p + 4, y);
    p[6] = kFdIntAdd;
    store_be64(p + 7, static_cast<uint64_t>(v));
    p[15] = 0;
    if (xy) xy->insert(xy->end(), {x, y});
    if (vals) vals->push_back(v);
  }
  *p = 0;
  return code;
}

INTERNAL_PLOT* read(std::vector<uint8_t>& code, SIMPLE_ALLOC_T* sat) {
  return code2internal(plot_matrix(), reinterpret_cast<PRIMITIVE_PLOT*>(code.data()), static_cast<int>(code.size()), sat);
}

void BM_CodeRead(benchmark::State& state) {
  std::vector<uint8_t> code = random_code(1000000);
  bool bump = state.range(0) != 0;
  for (auto _ : state) {
    SIMPLE_ALLOC_T sat{};
    INTERNAL_PLOT* ip = read(code, bump ? &sat : nullptr);
    benchmark::DoNotOptimize(ip);
    state.PauseTiming();
    bump ? free_smp(&sat) : free_internal_plot_list(ip);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * code.size()));
  state.SetLabel(bump ? "bump allocator" : "tagged");
}
BENCHMARK(BM_CodeRead)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_CodeWrite(benchmark::State& state) {
  std::vector<uint8_t> code = random_code(1000000);
  SIMPLE_ALLOC_T sat{};
  INTERNAL_PLOT* ip = read(code, &sat);
  for (auto _ : state) {
    int size = 0;
    PRIMITIVE_PLOT* out = internal2code(&size, plot_matrix(), ip);
    benchmark::DoNotOptimize(out);
    d_f_ree(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * code.size()));
  free_smp(&sat);
}
BENCHMARK(BM_CodeWrite)->Unit(benchmark::kMillisecond);

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Best of three: sort_plot of the list in random order; diff_pp of that
// sorted list, whose points lie scattered in memory, and of the same list
// read back from its plot code, as a stored child block arrives.
void ours(size_t n, double* sort_s, double* diff_s, double* diff_read_s) {
  std::vector<uint8_t> code = random_code(n);
  *sort_s = *diff_s = *diff_read_s = 1e30;
  for (int round = 0; round < 3; ++round) {
    SIMPLE_ALLOC_T sat{};
    INTERNAL_PLOT* ip = read(code, &sat);
    auto t = std::chrono::steady_clock::now();
    ip = sort_plot(plot_matrix(), ip);
    *sort_s = std::min(*sort_s, seconds_since(t));
    for (double* best : {diff_s, diff_read_s}) {
      INTERNAL_PLOT* diff = nullptr;
      t = std::chrono::steady_clock::now();
      INTERNAL_PLOT* up = diff_pp(plot_matrix(), &diff, ip);
      *best = std::min(*best, seconds_since(t));
      free_internal_plot_list(up);
      free_internal_plot_list(diff);
      int size = 0;
      auto* sorted = reinterpret_cast<uint8_t*>(internal2code(&size, plot_matrix(), ip));
      std::vector<uint8_t> again(sorted, sorted + size);
      d_f_ree(sorted);
      free_smp(&sat);
      ip = read(again, &sat);
    }
    free_smp(&sat);
  }
}

// numpy on the same points (written to a file), best of three, seconds.
bool numpy(size_t n, double* sort_s, double* diff_s) {
  std::vector<uint16_t> xy;
  std::vector<int64_t> vals;
  random_code(n, &xy, &vals);
  std::string dir = "/tmp/plot_bench_" + std::to_string(getpid());
  std::string xy_path = dir + ".xy", v_path = dir + ".v";
  FILE* f = std::fopen(xy_path.c_str(), "wb");
  FILE* g = std::fopen(v_path.c_str(), "wb");
  if (!f || !g) return false;
  std::fwrite(xy.data(), 2, xy.size(), f);
  std::fwrite(vals.data(), 8, vals.size(), g);
  std::fclose(f);
  std::fclose(g);
  std::string cmd = "/usr/bin/python3 -c '\n"
                    "import numpy as np, time, sys\n"
                    "xy = np.fromfile(sys.argv[1], dtype=np.uint16).reshape(-1, 2)\n"
                    "v = np.fromfile(sys.argv[2], dtype=np.int64)\n"
                    "def spread(a):\n"
                    "    a = a.astype(np.uint64)\n"
                    "    a = (a | (a << 8)) & 0x00FF00FF\n"
                    "    a = (a | (a << 4)) & 0x0F0F0F0F\n"
                    "    a = (a | (a << 2)) & 0x33333333\n"
                    "    return (a | (a << 1)) & 0x55555555\n"
                    "best_s = best_d = 1e30\n"
                    "for _ in range(3):\n"
                    "    t = time.perf_counter()\n"
                    "    key = (spread(xy[:, 0]) << 1) | spread(xy[:, 1])\n"
                    "    order = np.argsort(key, kind=\"stable\")\n"
                    "    best_s = min(best_s, time.perf_counter() - t)\n"
                    "    k, vs = key[order], v[order]\n"
                    "    t = time.perf_counter()\n"
                    "    coarse, first = np.unique(k >> 2, return_index=True)\n"
                    "    sums = np.add.reduceat(vs, first)\n"
                    "    fine = k & 3\n"
                    "    best_d = min(best_d, time.perf_counter() - t)\n"
                    "print(best_s, best_d)\n"
                    "' " + xy_path + " " + v_path;
  FILE* p = popen(cmd.c_str(), "r");
  bool ok = p && std::fscanf(p, "%lf %lf", sort_s, diff_s) == 2;
  if (p) pclose(p);
  std::remove(xy_path.c_str());
  std::remove(v_path.c_str());
  return ok;
}

void summary(const char* heap) {
  const char* env = std::getenv("PLOT_BENCH_POINTS");
  size_t n = env ? std::strtoull(env, nullptr, 10) : 10000000;
  double sort_s = 0, diff_s = 0, diff_read_s = 0, np_sort = 0, np_diff = 0;
  ours(n, &sort_s, &diff_s, &diff_read_s);
  std::printf("\n%zu random 2-D points, block size 16, one sum field (best of 3), %s\n", n, heap);
  std::printf("  sort_plot %.3f s   diff_pp %.3f s (after sorting), %.3f s (read from sorted code)\n", sort_s, diff_s,
              diff_read_s);
  if (!numpy(n, &np_sort, &np_diff)) {
    std::printf("  (numpy missing: run scripts/setup.sh)\n");
    return;
  }
  std::printf("  numpy argsort of interleaved keys %.3f s   unique + add.reduceat %.3f s\n", np_sort, np_diff);
  std::printf("  ratios (ours / numpy): sort %.2f   diff %.2f (after sorting), %.2f (read from sorted code)\n",
              sort_s / np_sort, diff_s / np_diff, diff_read_s / np_diff);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  summary("malloc as configured");
  // A long-running agent's heap keeps the pages of freed points; glibc's
  // default trimming hands them back after every round, so each round of
  // diff_pp pays page faults for the tagged points it makes.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  summary("malloc keeping freed memory (trim threshold raised)");
  return 0;
}
