// Pyramid kernels: a 256 x 256 child block thinned by mean (uint8, uint16,
// float, double, rgb8) and level differences of the same size (uint8 with
// and without "CURVE", int16, float), each next to numpy on the same data;
// and a whole 8192 x 8192 rgb8 level thinned to 4096 x 4096 through the
// slots, next to numpy's reshape(4096, 2, 4096, 2, 3).mean(axis=(1, 3)) and
// `gdaladdo -r average` (one overview level, one thread) of a GeoTIFF that
// gdal_translate made from the same pixels. Every peer runs in the same
// run; the summary at the end gives the ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "elements/element_type.h"
#include "elements/geometry.h"
#include "elements/value.h"
#include "elements/value_mode.h"

namespace {

constexpr int kSide = 256;     // a node's block
constexpr int kLevel = 8192;   // the level thinned in the summary

// dim 2, dim_divide 1, block size 8, 8192 x 8192 at level 0.
struct Geometry {
  uint8_t dd[2] = {1, 1}, bs[2] = {8, 8};
  std::vector<std::vector<int64_t>> rows;
  std::vector<const int64_t*> ptrs;
  MATRIX_GEOMETRY g{};
  Geometry() {
    for (int64_t p = kLevel; p >= 1; p /= 2) rows.push_back({p, p});
    for (auto& r : rows) ptrs.push_back(r.data());
    g = MATRIX_GEOMETRY{2, 0, dd, bs, ptrs.data(), static_cast<int>(rows.size())};
  }
};

const MATRIX_GEOMETRY* geometry() {
  static Geometry geo;
  return &geo.g;
}

uint32_t next(uint32_t& seed) { return (seed = seed * 1103515245u + 12345u) >> 8; }

void* block(const MATRIX_DATA_TYPE* tp, uint32_t seed) {
  init_element_types();
  int32_t ix[2] = {kSide, kSide};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  void* v = mxt_alloc_vector(tp, MX_ATYPE::tagged, &p, nullptr);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  for (int64_t i = 0; i < dh.total_element; ++i) {
    uint8_t* e = dh.offset + i * mxt_vector_element_size(tp);
    uint32_t r = next(seed);
    if (tp == &mx_type_float_v) {
      float f = static_cast<float>(r % 100000) / 7.0f;
      std::memcpy(e, &f, 4);
    } else if (tp == &mx_type_double_v) {
      double d = static_cast<double>(r % 100000) / 7.0;
      std::memcpy(e, &d, 8);
    } else {
      std::memcpy(e, &r, static_cast<size_t>(mxt_vector_element_size(tp)));
    }
  }
  return v;
}

// The child at level 0 (256, 256): it fills the parent's quarter at (128,
// 128); differences take the same place one level up (level 0 has none).
int64_t child_dc[3] = {0, 256, 256};
int64_t diff_dc[3] = {1, 512, 512};

struct Thinning {
  const char* name;
  const MATRIX_DATA_TYPE* tp;
  const char* dtype;  // numpy's
};
const Thinning kThinning[] = {{"uint8", &mx_type_uint8_v, "u1"},
                              {"uint16", &mx_type_uint16_v, "u2"},
                              {"float", &mx_type_float_v, "f4"},
                              {"double", &mx_type_double_v, "f8"},
                              {"rgb8", &mx_type_RGB_v, "rgb"}};

struct Difference {
  const char* name;
  const MATRIX_DATA_TYPE* tp;
  bool add;
  int mode;
};
const Difference kDifference[] = {{"uint8 sub", &mx_type_uint8_v, false, 0},
                                  {"uint8 sub CURVE", &mx_type_uint8_v, false, MX_MODE_CURVE},
                                  {"uint8 add", &mx_type_uint8_v, true, 0},
                                  {"uint8 add CURVE", &mx_type_uint8_v, true, MX_MODE_CURVE},
                                  {"int16 sub", &mx_type_int16_v, false, 0},
                                  {"float sub", &mx_type_float_v, false, 0}};

// Blocks of one case: parent, child and result, made once.
struct Blocks {
  void *parent, *child, *out;
};
const Blocks& blocks_of(const MATRIX_DATA_TYPE* tp) {
  static std::map<const MATRIX_DATA_TYPE*, Blocks> made;
  auto it = made.find(tp);
  if (it == made.end()) it = made.emplace(tp, Blocks{block(tp, 1), block(tp, 2), block(tp, 3)}).first;
  return it->second;
}

void thin(const Thinning& t) {
  const Blocks& b = blocks_of(t.tp);
  t.tp->thinned_avg(t.tp, geometry(), child_dc, 1, b.parent, b.child);
}

void difference(const Difference& d) {
  const Blocks& b = blocks_of(d.tp);
  (d.add ? d.tp->v_add : d.tp->v_sub)(d.tp, geometry(), diff_dc, 1, d.mode, b.out, b.parent, b.child);
}

void BM_ThinnedAvg(benchmark::State& state) {
  const Thinning& t = kThinning[state.range(0)];
  for (auto _ : state) thin(t);
  state.SetLabel(t.name);
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_ThinnedAvg)->DenseRange(0, 4);

void BM_LevelDifference(benchmark::State& state) {
  const Difference& d = kDifference[state.range(0)];
  for (auto _ : state) difference(d);
  state.SetLabel(d.name);
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_LevelDifference)->DenseRange(0, 5);

// Best of several rounds of `calls` calls of f, in microseconds per call.
double best_us(const std::function<void()>& f, int calls) {
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f();
    std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count() / calls);
  }
  return best;
}

bool write_file(const std::string& path, const void* data, size_t n, const std::string& head = "") {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size() && std::fwrite(data, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

void write_elements(const std::string& path, const void* v) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  write_file(path, dh.offset, static_cast<size_t>(dh.total_element * mxt_vector_element_size(dh.tp)));
}

// numpy on the same blocks and level: "name microseconds" lines.
const char* kNumpy = R"(
import sys, timeit, numpy as np
d = sys.argv[1]
def best(f, n):
    return min(timeit.repeat(f, number=n, repeat=5)) / n * 1e6
def load(name, dt):
    a = np.fromfile(d + "/" + name, dtype=dt)
    return a.reshape(256, 256, 4) if a.size == 256 * 256 * 4 else a.reshape(256, 256)
for name, dt in (("uint8", "u1"), ("uint16", "u2"), ("float", "f4"), ("double", "f8"), ("rgb8", "u1")):
    c = load("thin_" + name, dt)
    shape = (128, 2, 128, 2) + c.shape[2:]
    print("thin", name, best(lambda: c.reshape(shape).mean(axis=(1, 3)).astype(c.dtype), 50))
curve = np.array([round((u - 127.5) ** 3 / 127.5 ** 2 + (u - 127.5)) for u in range(256)], np.int16)
inverse = np.array([max([u for u in range(256) if curve[u] <= s], default=0) for s in range(-255, 256)], np.uint8)
for name, dt, wide, lo, hi in (("uint8", "u1", np.int16, 0, 255), ("int16", "i2", np.int32, -32768, 32767),
                               ("float", "f4", None, 0, 0)):
    p, c = load("parent_" + name, dt), load("child_" + name, dt)
    up = lambda: np.repeat(np.repeat(p[128:, 128:], 2, axis=0), 2, axis=1)
    if wide is None:
        print("diff", name, "sub", best(lambda: up() - c, 50))
        continue
    print("diff", name, "sub", best(lambda: np.clip(up().astype(wide) - c, lo, hi).astype(c.dtype), 50))
    if name == "uint8":
        print("diff", name, "sub CURVE", best(lambda: inverse[up().astype(np.int16) - c + 255], 50))
        print("diff", name, "add", best(lambda: np.clip(up().astype(np.int16) + c, 0, 255).astype(np.uint8), 50))
        print("diff", name, "add CURVE", best(lambda: np.clip(up() + curve[c], 0, 255).astype(np.uint8), 50))
a = np.fromfile(d + "/level.ppm", dtype=np.uint8, offset=int(sys.argv[2])).reshape(8192, 8192, 3)
mean = lambda: a.reshape(4096, 2, 4096, 2, 3).mean(axis=(1, 3))
print("level numpy", min(timeit.repeat(mean, number=1, repeat=3)) * 1e6)
)";

// The level through the slots: 16 x 16 parent blocks, four children each.
double level_us(const std::vector<uint8_t>& rgb) {
  const MATRIX_GEOMETRY* g = geometry();
  int32_t ix[2] = {kSide, kSide};
  MATRIX_ALLOC_VECTOR_PARAM p{2, ix, nullptr, nullptr};
  constexpr int kNodes = kLevel / kSide;
  std::vector<void*> children, parents;
  for (int by = 0; by < kNodes; ++by)
    for (int bx = 0; bx < kNodes; ++bx) {
      void* v = mxt_alloc_vector(&mx_type_RGB_v, MX_ATYPE::heap, &p, nullptr);
      MATRIX_DH_SET dh;
      get_matrix_dh_set(&dh, v);
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
          const uint8_t* px = &rgb[(static_cast<size_t>(by * kSide + y) * kLevel + bx * kSide + x) * 3];
          uint32_t c = uint32_t{px[0]} << 24 | uint32_t{px[1]} << 16 | uint32_t{px[2]} << 8;
          std::memcpy(dh.offset + (y * kSide + x) * 4, &c, 4);
        }
      children.push_back(v);
    }
  for (int i = 0; i < kNodes * kNodes / 4; ++i)
    parents.push_back(mxt_alloc_vector(&mx_type_RGB_v, MX_ATYPE::heap, &p, nullptr));
  double us = best_us(
      [&] {
        for (int by = 0; by < kNodes; ++by)
          for (int bx = 0; bx < kNodes; ++bx) {
            int64_t dc[3] = {0, int64_t{bx} * kSide, int64_t{by} * kSide};
            void* parent = parents[static_cast<size_t>((by / 2) * (kNodes / 2) + bx / 2)];
            void* child = children[static_cast<size_t>(by * kNodes + bx)];
            mx_type_RGB_v.thinned_avg(&mx_type_RGB_v, g, dc, 1, parent, child);
          }
      },
      1);
  for (void* v : children) std::free(v);
  for (void* v : parents) std::free(v);
  return us;
}

double run_seconds(const std::string& cmd) {
  auto t0 = std::chrono::steady_clock::now();
  int rc = std::system(cmd.c_str());
  std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
  return rc == 0 ? d.count() : -1;
}

void summary() {
  char tmpl[] = "/tmp/pyramid_bench_XXXXXX";
  if (!mkdtemp(tmpl)) return;
  std::string dir = tmpl;
  for (const Thinning& t : kThinning) write_elements(dir + "/thin_" + t.name, blocks_of(t.tp).child);
  for (const MATRIX_DATA_TYPE* tp : {&mx_type_uint8_v, &mx_type_int16_v, &mx_type_float_v}) {
    std::string name = tp->parent->type_name;
    write_elements(dir + "/parent_" + name, blocks_of(tp).parent);
    write_elements(dir + "/child_" + name, blocks_of(tp).child);
  }
  std::vector<uint8_t> rgb(static_cast<size_t>(kLevel) * kLevel * 3);
  uint32_t seed = 7;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    uint32_t r = next(seed);
    size_t x = (i / 3) % kLevel, y = (i / 3) / kLevel;
    rgb[i] = static_cast<uint8_t>((x / 32 + (r & 15)) & 255);  // gradients with noise
    rgb[i + 1] = static_cast<uint8_t>((y / 32 + (r >> 4 & 15)) & 255);
    rgb[i + 2] = static_cast<uint8_t>(r >> 8);
  }
  std::string head = "P6\n" + std::to_string(kLevel) + " " + std::to_string(kLevel) + "\n255\n";
  write_file(dir + "/level.ppm", rgb.data(), rgb.size(), head);
  std::FILE* script = std::fopen((dir + "/peers.py").c_str(), "w");
  std::fputs(kNumpy, script);
  std::fclose(script);

  std::map<std::string, double> peer;
  std::string cmd = "/usr/bin/python3 " + dir + "/peers.py " + dir + " " + std::to_string(head.size());
  if (std::FILE* p = popen(cmd.c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, p)) {
      std::string s(line);
      size_t cut = s.find_last_of(' ');
      if (cut != std::string::npos) peer[s.substr(0, cut)] = std::atof(s.c_str() + cut + 1);
    }
    if (pclose(p) != 0) std::printf("numpy peers failed: run scripts/setup.sh (python3-numpy)\n");
  }
  std::printf("\n256x256 blocks, best of 5 x 200 calls (us per call)\n%-18s %10s %10s %12s\n", "kernel", "ours",
              "numpy", "numpy/ours");
  for (const Thinning& t : kThinning) {
    double ours = best_us([&] { thin(t); }, 200), np = peer["thin " + std::string(t.name)];
    std::printf("avg %-14s %10.2f %10.2f %12.2f\n", t.name, ours, np, np / ours);
  }
  for (const Difference& d : kDifference) {
    double ours = best_us([&] { difference(d); }, 200), np = peer["diff " + std::string(d.name)];
    std::printf("%-18s %10.2f %10.2f %12.2f\n", d.name, ours, np, np / ours);
  }

  double ours = level_us(rgb) / 1e6;
  double np = peer["level numpy"] / 1e6;
  std::string tif = dir + "/level.tif";
  double gdal = -1;
  if (run_seconds("gdal_translate -q -of GTiff " + dir + "/level.ppm " + tif) >= 0) {
    for (int round = 0; round < 3; ++round) {
      run_seconds("gdaladdo -q -clean " + tif);
      double s = run_seconds("gdaladdo -q -r average --config GDAL_NUM_THREADS 1 " + tif + " 2");
      if (s >= 0 && (gdal < 0 || s < gdal)) gdal = s;
    }
  }
  std::printf("\n8192x8192 rgb8 level to 4096x4096 by mean (s, best of 3)\n");
  std::printf("ours through the slots %8.3f\nnumpy reshape-mean     %8.3f   numpy/ours %.2f\n", ours, np, np / ours);
  if (gdal > 0) std::printf("gdaladdo -r average    %8.3f   ours/gdaladdo %.2f\n", gdal, ours / gdal);
  else std::printf("gdaladdo missing or failed: run scripts/setup.sh (gdal-bin)\n");
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  summary();
  return 0;
}
