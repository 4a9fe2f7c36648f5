// The block formats of matrix scripts on the data that bench/mxblock_peers.py
// writes into the folder named by MXBLOCK_BENCH_DATA (stored vectors one
// after another), so that the outside peers it times work on the same
// bytes; without that folder the benchmarks say so and do nothing.
//   z_u8.bin, z_rgb8.bin   1,000 blocks of 256 x 256 (uint8_v, rgb8_v)
//   j_256.bin, j_2048.bin  one rgb8_v image each
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "elements/stored.h"
#include "matrix_ops/block_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The host vectors of a file of stored vectors, read once (tagged, kept
// for every run of the program).
const std::vector<void*>& load_vectors(benchmark::State& state, const std::string& name) {
  static const bool ready = (init_element_types(), true);
  (void)ready;
  static std::map<std::string, std::vector<void*>> loaded;
  std::vector<void*>& out = loaded[name];
  if (!out.empty()) return out;
  const char* dir = std::getenv("MXBLOCK_BENCH_DATA");
  std::ifstream f(dir ? std::string(dir) + "/" + name : std::string(), std::ios::binary);
  if (!dir || !f) {
    state.SkipWithError(("no " + name + ": run bench/mxblock_peers.py").c_str());
    return out;
  }
  Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  for (size_t at = 0; at + 4 <= all.size();) {
    int64_t n = get_size_endian(all.data() + at, static_cast<int64_t>(all.size() - at));
    const MATRIX_DATA_TYPE* tp = get_matrix_data_type(all[at + 1]);
    if (n <= 0 || !tp) break;
    out.push_back(tp->convert_to_host(tp, all.data() + at, n, MX_ATYPE::tagged, nullptr, __FILE__, __LINE__));
    at += static_cast<size_t>(n);
  }
  return out;
}

const MATRIX_DATA_TYPE* type_of(const void* v) {
  MATRIX_DH_SET dh;
  return get_matrix_dh_set(&dh, v);
}

void BM_ZEncode7(benchmark::State& state, const char* file) {
  const std::vector<void*>& vs = load_vectors(state, file);
  if (vs.empty()) return;
  for (auto _ : state)
    for (void* v : vs) {
      int32_t n = 0;
      uint8_t* z = mx_zblock_encode(&n, type_of(v), v, 7, nullptr);
      benchmark::DoNotOptimize(z);
      d_f_ree(z);
    }
}

void BM_ZDecode(benchmark::State& state, const char* file) {
  const std::vector<void*>& vs = load_vectors(state, file);
  std::vector<std::pair<uint8_t*, int32_t>> blocks;
  for (void* v : vs) {
    int32_t n = 0;
    blocks.emplace_back(mx_zblock_encode(&n, type_of(v), v, 7, nullptr), n);
  }
  for (auto _ : state)
    for (auto& [z, n] : blocks) {
      const MATRIX_DATA_TYPE* tp = nullptr;
      void* v = mx_zblock_decode(&tp, z, n, MX_ATYPE::tagged, nullptr);
      benchmark::DoNotOptimize(v);
      tp->free_data(tp, v);
    }
  for (auto& [z, n] : blocks) d_f_ree(z);
}

void BM_JEncode80(benchmark::State& state, const char* file) {
  const std::vector<void*>& vs = load_vectors(state, file);
  if (vs.empty()) return;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, vs[0]);
  for (auto _ : state) {
    int32_t n = 0;
    uint8_t* b = mx_image_encode(&n, &dh, 80, nullptr);
    benchmark::DoNotOptimize(b);
    d_f_ree(b);
  }
}

void BM_JDecode(benchmark::State& state, const char* file) {
  const std::vector<void*>& vs = load_vectors(state, file);
  if (vs.empty()) return;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, vs[0]);
  int32_t n = 0;
  uint8_t* b = mx_image_encode(&n, &dh, 80, nullptr);
  for (auto _ : state) {
    void* v = mx_image_decode(b, n, MX_ATYPE::tagged, nullptr);
    benchmark::DoNotOptimize(v);
    type_of(v)->free_data(type_of(v), v);
  }
  d_f_ree(b);
}

BENCHMARK_CAPTURE(BM_ZEncode7, u8, "z_u8.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZEncode7, rgb8, "z_rgb8.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZDecode, u8, "z_u8.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZDecode, rgb8, "z_rgb8.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_JEncode80, 256, "j_256.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_JEncode80, 2048, "j_2048.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_JDecode, 256, "j_256.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_JDecode, 2048, "j_2048.bin")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
