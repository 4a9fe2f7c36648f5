// Stored-form conversion of a 256 x 256 node block (double and uint8):
// convert_to_net joined by setup_recordlist64, and convert_to_host, next to
// memcpy of the same bytes and numpy's astype on the same data in the same
// run. The summary at the end gives the ratios.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/alloc.h"
#include "elements/element_type.h"
#include "elements/value.h"
#include "store/recordlist.h"

namespace {

constexpr int kSide = 256;

struct Block {
  const MATRIX_DATA_TYPE* tp;
  void* value;
  std::vector<uint8_t> net;  // its stored form
  size_t element_bytes;
};

Block make_block(const MATRIX_DATA_TYPE* tp) {
  init_element_types();
  int32_t ix[2] = {kSide, kSide};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  Block b{tp, mxt_alloc_vector(tp, MX_ATYPE::tagged, &p, nullptr), {}, 0};
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, b.value);
  b.element_bytes = static_cast<size_t>(dh.total_element) * static_cast<size_t>(mxt_vector_element_size(tp));
  uint32_t seed = 1;
  for (size_t i = 0; i < b.element_bytes; ++i) dh.offset[i] = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  if (tp == &mx_type_double_v)  // finite doubles, as a real channel holds
    for (size_t i = 0; i < b.element_bytes; i += 8) dh.offset[i + 7] = 0x40;
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  tp->convert_to_net(tp, rl, b.value);
  int64_t n = setup_recordlist64(rl);
  b.net.assign(static_cast<uint8_t*>(rl->data), static_cast<uint8_t*>(rl->data) + n);
  free_recordlist64(rl);
  return b;
}

const Block& block(int which) {
  static const Block blocks[2] = {make_block(&mx_type_double_v), make_block(&mx_type_uint8_v)};
  return blocks[which];
}

void to_net(const Block& b) {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  b.tp->convert_to_net(b.tp, rl, b.value);
  benchmark::DoNotOptimize(setup_recordlist64(rl));
  free_recordlist64(rl);
}

void to_host(const Block& b) {
  void* v = b.tp->convert_to_host(b.tp, b.net.data(), static_cast<int64_t>(b.net.size()), MX_ATYPE::tagged, nullptr,
                                  __FILE__, __LINE__);
  benchmark::DoNotOptimize(v);
  mxt_free_data(b.tp, v);
}

void copy_bytes(const Block& b, std::vector<uint8_t>& out) {
  std::memcpy(out.data(), b.net.data(), b.net.size());
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void BM_ConvertToNetJoin(benchmark::State& state) {
  const Block& b = block(static_cast<int>(state.range(0)));
  for (auto _ : state) to_net(b);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.net.size()));
}
BENCHMARK(BM_ConvertToNetJoin)->Arg(0)->Arg(1);

void BM_ConvertToHost(benchmark::State& state) {
  const Block& b = block(static_cast<int>(state.range(0)));
  for (auto _ : state) to_host(b);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.net.size()));
}
BENCHMARK(BM_ConvertToHost)->Arg(0)->Arg(1);

void BM_Memcpy(benchmark::State& state) {
  const Block& b = block(static_cast<int>(state.range(0)));
  std::vector<uint8_t> out(b.net.size());
  for (auto _ : state) copy_bytes(b, out);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.net.size()));
}
BENCHMARK(BM_Memcpy)->Arg(0)->Arg(1);

// Best of several runs of f, in microseconds per call.
double best_us(const std::function<void()>& f) {
  double best = 1e300;
  for (int round = 0; round < 7; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) f();
    std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count() / 200);
  }
  return best;
}

// numpy's astype on the same elements: host to big-endian and back, in us.
bool numpy_us(const Block& b, const char* dtype, double* out, double* back) {
  char path[] = "/tmp/elements_bench_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, b.value);
  bool ok = write(fd, dh.offset, b.element_bytes) == static_cast<ssize_t>(b.element_bytes);
  close(fd);
  std::string cmd = std::string("/usr/bin/python3 -c '") +
                    "import numpy as np, timeit\n"
                    "a = np.fromfile(\"" + path + "\", dtype=\"=" + dtype + "\").reshape(256, 256)\n"
                    "s = a.astype(\">" + dtype + "\")\n"
                    "t = lambda f: min(timeit.repeat(f, number=200, repeat=7)) / 200 * 1e6\n"
                    "print(t(lambda: a.astype(\">" + dtype + "\")), t(lambda: s.astype(\"=" + dtype + "\")))' 2>/dev/null";
  FILE* p = ok ? popen(cmd.c_str(), "r") : nullptr;
  ok = p && std::fscanf(p, "%lf %lf", out, back) == 2;
  if (p) ok = pclose(p) == 0 && ok;
  unlink(path);
  return ok;
}

void summary(const char* label) {
  std::printf("\nstored-form conversion of a 256x256 block, best of 7 x 200 calls (us per call); %s\n", label);
  std::printf("%-9s %10s %10s %10s %10s %10s %9s %9s\n", "type", "memcpy", "to_net", "to_host", "np>BE", "npBE>",
              "net/mcp", "host/mcp");
  const char* dtypes[2] = {"f8", "u1"};
  const char* names[2] = {"double_v", "uint8_v"};
  for (int which = 0; which < 2; ++which) {
    const Block& b = block(which);
    std::vector<uint8_t> out(b.net.size());
    double mc = best_us([&] { copy_bytes(b, out); });
    double net = best_us([&] { to_net(b); });
    double host = best_us([&] { to_host(b); });
    double np_out = 0, np_back = 0;
    bool np = numpy_us(b, dtypes[which], &np_out, &np_back);
    std::printf("%-9s %10.2f %10.2f %10.2f %10.2f %10.2f %9.2f %9.2f", names[which], mc, net, host, np_out, np_back,
                net / mc, host / mc);
    if (np) std::printf("   numpy/to_net %.2f, numpy/to_host %.2f\n", np_out / net, np_back / host);
    else std::printf("   (numpy missing: run scripts/setup.sh)\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  summary("malloc as configured");
  // A long-running agent's heap keeps freed blocks; glibc's defaults give
  // half-megabyte blocks back to the kernel at every free, so each
  // conversion pays page faults that have nothing to do with it.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  summary("malloc keeping freed memory (mmap and trim thresholds raised)");
  return 0;
}
