// Plots: the plot-code reader (tagged and into a bump allocator) and writer
// in MB/s on 1M random 2-D points, then sort_plot and diff_pp of 10M random
// 2-D points (block size 16, one sum field) next to numpy on the same
// points, in rounds taken in turn with numpy's (ours, numpy, ours, ...).
//
// Both sides do the same work. sort: the order keys, the sort, and the
// points in point order (ours relinks the list; numpy gathers the records
// into a sorted array). diff: the coarse points (one per coarse cell, its
// sum and the merge flag) and the difference list (fine cells, the group
// flag, each point's own value), as records (ours as lists, numpy as
// structured arrays of flags, cells, id, field type and value), with
// unique plus add.reduceat finding the groups. diff_pp runs into bump
// allocators as the built-ins run it, on the list sort_plot left (its
// points scattered in memory) and on the same list read back from its plot
// code (points in order in memory); and once more into tagged lists.
// The rounds are pairs (QNMX_BENCH_REPEATS, default 5), run with the heap
// as the agent sets it up. The summary gives min and median of each side
// and their ratios; the ROW lines of the benchmark table (plot.sort and
// plot.diff, the latter on the list read from sorted code, as the
// built-ins make a child's list) follow. PLOT_BENCH_POINTS changes the 10M.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "matrix/matrix.h"
#include "matrix_ops/plot_level.h"
#include "peer_rounds.h"
#include "plot_code_gen.h"
#include "row.h"
#include "runtime/zu_init.h"
#include "stream/stream.h"
#include "text/codemethod.h"

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
  return plot_code_of(n, 16, 7, xy, vals);
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

size_t env_size(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

struct Rounds {
  std::vector<double> sort, diff, diff_tagged, diff_read;  // ours
  std::vector<double> np_sort, np_diff;                    // numpy's
};

// diff_pp of ip into two bump allocators, freed after the clock stops.
double timed_diff(INTERNAL_PLOT* ip) {
  SIMPLE_ALLOC_T up_sat{}, diff_sat{};
  INTERNAL_PLOT* diff = nullptr;
  auto t = std::chrono::steady_clock::now();
  INTERNAL_PLOT* up = diff_pp(plot_matrix(), &diff, ip, &up_sat, &diff_sat);
  double s = seconds_since(t);
  benchmark::DoNotOptimize(up);
  free_smp(&up_sat);
  free_smp(&diff_sat);
  return s;
}

double timed_tagged_diff(INTERNAL_PLOT* ip) {
  INTERNAL_PLOT* diff = nullptr;
  auto t = std::chrono::steady_clock::now();
  INTERNAL_PLOT* up = diff_pp(plot_matrix(), &diff, ip);
  double s = seconds_since(t);
  free_internal_plot_list(up);
  free_internal_plot_list(diff);
  return s;
}

// One round of ours: sort_plot of the list in random order, then diff_pp
// of the sorted list and of the same list read back from its code.
// False when the code is refused (its points past what one block may
// make): nothing would be timed.
bool our_round(std::vector<uint8_t>& code, Rounds* r) {
  SIMPLE_ALLOC_T sat{};
  INTERNAL_PLOT* ip = read(code, &sat);
  if (!ip) return false;
  auto t = std::chrono::steady_clock::now();
  ip = sort_plot(plot_matrix(), ip);
  r->sort.push_back(seconds_since(t));
  r->diff.push_back(timed_diff(ip));
  r->diff_tagged.push_back(timed_tagged_diff(ip));
  int size = 0;
  auto* sorted = reinterpret_cast<uint8_t*>(internal2code(&size, plot_matrix(), ip));
  std::vector<uint8_t> again(sorted, sorted + size);
  d_f_ree(sorted);
  free_smp(&sat);
  ip = read(again, &sat);
  r->diff_read.push_back(timed_diff(ip));
  free_smp(&sat);
  return true;
}

// numpy's rounds on the same points (read from two files).
const std::string kNumpy = std::string(R"(
import numpy as np, sys, time
xy = np.fromfile(sys.argv[1], dtype=np.uint16).reshape(-1, 2)
v = np.fromfile(sys.argv[2], dtype=np.int64)
n = v.size
rec = np.dtype([("flags", "u1"), ("x", "u2"), ("y", "u2"), ("id", "i8"), ("type", "u1"), ("v", "i8")])
def records(m, flags, x, y, val):
    r = np.empty(m, dtype=rec)
    r["flags"] = flags; r["x"] = x; r["y"] = y; r["id"] = 0; r["type"] = 0x31; r["v"] = val
    return r
)") + peer_rounds::kNumpySpread + R"(
for line in sys.stdin:
    t = time.perf_counter()
    key = (spread(xy[:, 0]) << 1) | spread(xy[:, 1])
    order = np.argsort(key, kind="stable")
    k = key[order]
    pts = records(n, 1, xy[order, 0], xy[order, 1], v[order])
    sort_s = time.perf_counter() - t
    t = time.perf_counter()
    coarse, first = np.unique(k >> 2, return_index=True)
    sums = np.add.reduceat(pts["v"], first)
    merged = np.diff(first, append=n) > 1
    up = records(coarse.size, np.where(merged, 9, 1), pts["x"][first] >> 1, pts["y"][first] >> 1, sums)
    flags = np.ones(n, dtype=np.uint8)
    flags[first] |= 0x10
    down = records(n, flags, pts["x"] & 1, pts["y"] & 1, pts["v"])
    diff_s = time.perf_counter() - t
    print(sort_s, diff_s, flush=True)
)";

std::string write_file(const char* tag, const void* data, size_t bytes) {
  std::string path = "/tmp/plot_bench_" + std::to_string(getpid()) + tag;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    std::fwrite(data, 1, bytes, f);
    std::fclose(f);
  }
  return path;
}

void line(const char* what, const std::vector<double>& v) {
  std::printf("  %-58s %8.3f s %8.3f s\n", what, peer_rounds::fastest(v), peer_rounds::median(v));
}

void ratio(const char* what, const std::vector<double>& ours, const std::vector<double>& theirs) {
  std::printf("  %-58s %8.2f   %8.2f\n", what, peer_rounds::fastest(ours) / peer_rounds::fastest(theirs),
              peer_rounds::median(ours) / peer_rounds::median(theirs));
}

void summary() {
  // The points of one plot block: what a block's code may make is bounded,
  // and 2M points stay within that bound.
  size_t n = env_size("PLOT_BENCH_POINTS", 2000000);
  int rounds = bench_row::repeats();
  std::vector<uint16_t> xy;
  std::vector<int64_t> vals;
  std::vector<uint8_t> code = random_code(n, &xy, &vals);
  std::string xy_path = write_file(".xy", xy.data(), xy.size() * 2), v_path = write_file(".v", vals.data(), vals.size() * 8);
  std::vector<uint16_t>().swap(xy);
  std::vector<int64_t>().swap(vals);
  peer_rounds::Peer numpy(kNumpy, {xy_path, v_path});
  Rounds r;
  bool peer = true;
  // diff_pp's traces go to a string that is thrown away.
  STREAM* traces = s_stderr;
  s_stderr = s_open_string_write(utf8_cm);
  for (int i = 0; i < rounds; ++i) {
    if (!our_round(code, &r)) {
      s_stderr = traces;
      std::printf("\n%zu points: their plot code is refused (past what one block may make); no rows\n", n);
      return;
    }
    double a = 0, b = 0;
    std::string answer = peer ? numpy.round() : "";
    peer = std::sscanf(answer.c_str(), "%lf %lf", &a, &b) == 2;
    if (peer) {
      r.np_sort.push_back(a);
      r.np_diff.push_back(b);
    }
  }
  d_s_close(s_stderr);
  s_stderr = traces;
  std::remove(xy_path.c_str());
  std::remove(v_path.c_str());
  std::printf("\n%zu random 2-D points, block size 16, one sum field, %d rounds in turn with numpy\n", n, rounds);
  std::printf("  %-58s %8s   %8s\n", "", "min", "median");
  line("sort_plot", r.sort);
  line("diff_pp of the sorted list (into bump allocators)", r.diff);
  line("diff_pp of the sorted list (tagged lists)", r.diff_tagged);
  line("diff_pp of the list read from sorted code (bump)", r.diff_read);
  if (peer) {
    line("numpy: keys, argsort, records in order", r.np_sort);
    line("numpy: unique, add.reduceat, coarse and difference records", r.np_diff);
    std::printf("  ratios, ours / numpy\n");
    ratio("sort", r.sort, r.np_sort);
    ratio("diff, sorted list (bump)", r.diff, r.np_diff);
    ratio("diff, sorted list (tagged)", r.diff_tagged, r.np_diff);
    ratio("diff, list read from sorted code (bump)", r.diff_read, r.np_diff);
  }
  std::string theirs_sort = bench_row::times(r.np_sort), theirs_diff = bench_row::times(r.np_diff);
  if (!peer) theirs_sort = theirs_diff = peer_rounds::kNumpyMissing;
  std::string size = n % 1000000 == 0 ? std::to_string(n / 1000000) + "M" : std::to_string(n);
  bench_row::print("plot.sort", "plot: sort_plot of " + size + " random 2-D points, block size 16", "numpy",
                   "sort_plot of the list read from plot code (order keys, radix sort, relinked list)",
                   "interleaved keys, stable argsort, the points gathered into sorted records", "in process",
                   "ratio<=3; at most 3x numpy", r.sort, theirs_sort);
  bench_row::print("plot.diff", "plot: diff_pp of " + size + " sorted points, one sum field", "numpy",
                   "diff_pp into bump allocators of the list read from sorted plot code: coarse points and "
                   "difference points",
                   "unique + add.reduceat over the coarse keys: coarse and difference records", "in process",
                   "ratio<=3; at most 3x numpy", r.diff_read, theirs_diff);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The heap as the agent sets it up.
  init_zu();
  init_matrix();
  summary();
  return 0;
}
