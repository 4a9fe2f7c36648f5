// The codecs on the data that bench/codec_peers.py writes into the folder
// named by CODEC_BENCH_DATA, so that the outside peers it times work on the
// same bytes; without that folder the benchmarks say so and do nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/file.h"
#include "codec/gif.h"
#include "codec/jpeg.h"
#include "codec/pnm.h"
#include "codec/r64.h"
#include "codec/r64_level.h"
#include "codec/tmerc.h"
#include "codec/zlib_block.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string data_path(const std::string& name) {
  const char* dir = std::getenv("CODEC_BENCH_DATA");
  return dir ? std::string(dir) + "/" + name : std::string();
}

bool load(benchmark::State& state, const std::string& name, Bytes* out) {
  std::string path = data_path(name);
  std::ifstream f(path, std::ios::binary);
  if (path.empty() || !f) {
    state.SkipWithError(("no " + name + ": run bench/codec_peers.py").c_str());
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

// The pixels of a P6 file written by the peers' script ("P6\nW H\n255\n").
bool load_ppm(benchmark::State& state, const std::string& name, int* w, int* h, Bytes* rgb) {
  Bytes file;
  if (!load(state, name, &file)) return false;
  int used = 0;
  std::sscanf(reinterpret_cast<const char*>(file.data()), "P6 %d %d 255%n", w, h, &used);
  rgb->assign(file.begin() + used + 1, file.end());
  return true;
}

Bytes to_rgbx(const Bytes& rgb) {
  Bytes px(rgb.size() / 3 * 4, 0);
  for (size_t i = 0, n = rgb.size() / 3; i < n; ++i) std::memcpy(&px[i * 4], &rgb[i * 3], 3);
  return px;
}

void BM_ZlibCompress7(benchmark::State& state) {
  Bytes src;
  if (!load(state, "zlib_" + std::to_string(state.range(0)) + "k.bin", &src)) return;
  for (auto _ : state) {
    int32_t len;
    void* out = zlib_compress(&len, src.data(), static_cast<int32_t>(src.size()), 7);
    benchmark::DoNotOptimize(out);
    d_f_ree(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_ZlibCompress7)->Arg(64)->Arg(128)->Arg(256);

void BM_ZlibUncompress(benchmark::State& state) {
  Bytes src;
  if (!load(state, "zlib_" + std::to_string(state.range(0)) + "k.bin", &src)) return;
  int32_t clen;
  void* z = zlib_compress(&clen, src.data(), static_cast<int32_t>(src.size()), 7);
  for (auto _ : state) {
    int32_t len;
    void* out = zlib_uncompress(&len, z, clen);
    benchmark::DoNotOptimize(out);
    d_f_ree(out);
  }
  d_f_ree(z);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_ZlibUncompress)->Arg(64)->Arg(128)->Arg(256);

void BM_JpegCompress80(benchmark::State& state) {
  int w, h;
  Bytes rgb;
  if (!load_ppm(state, "jpeg_" + std::to_string(state.range(0)) + ".ppm", &w, &h, &rgb)) return;
  Bytes px = to_rgbx(rgb);
  for (auto _ : state) {
    int32_t len;
    uint8_t* out = jpeg_compress(&len, px.data(), w, h, 80);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.counters["Mpixels/s"] = benchmark::Counter(double(w) * h * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_JpegCompress80)->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond);

void BM_JpegUncompress(benchmark::State& state) {
  int w, h;
  Bytes rgb;
  if (!load_ppm(state, "jpeg_" + std::to_string(state.range(0)) + ".ppm", &w, &h, &rgb)) return;
  Bytes px = to_rgbx(rgb);
  int32_t len;
  uint8_t* jpg = jpeg_compress(&len, px.data(), w, h, 80);
  for (auto _ : state) {
    int32_t ow, oh;
    uint8_t* out = jpeg_uncompress(&ow, &oh, jpg, len);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  std::free(jpg);
  state.counters["Mpixels/s"] = benchmark::Counter(double(w) * h * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_JpegUncompress)->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond);

void BM_GifUncompress4096(benchmark::State& state) {
  Bytes gif;
  if (!load(state, "gif_4096.gif", &gif)) return;
  for (auto _ : state) {
    int32_t w, h;
    GIF_ENV ge;
    uint8_t* out = gif_uncompress(&w, &h, &ge, gif.data(), static_cast<int32_t>(gif.size()));
    benchmark::DoNotOptimize(out);
    d_f_ree(out);
  }
}
BENCHMARK(BM_GifUncompress4096)->Unit(benchmark::kMillisecond);

void BM_WritePpm8192(benchmark::State& state) {
  int w, h;
  Bytes rgb;
  if (!load_ppm(state, "ppm_8192.ppm", &w, &h, &rgb)) return;
  std::string out = data_path("ours_out.ppm");
  for (auto _ : state) {
    // A new file each time, as the peer's: truncating the last one is not
    // part of the write.
    state.PauseTiming();
    u_unlink(out.c_str());
    state.ResumeTiming();
    PPM_INFO p{};
    p.pi_fd = u_open64(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    p.pi_width = static_cast<uint32_t>(w);
    p.pi_height = static_cast<uint32_t>(h);
    p.pi_max = 255;
    if (write_ppm(&p, rgb.data()) != 0) state.SkipWithError("write_ppm failed");
    close_ppm(&p);
  }
  u_unlink(out.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rgb.size()));
}
BENCHMARK(BM_WritePpm8192)->Unit(benchmark::kMillisecond)->UseRealTime();

// An R64 colour file of the peers' picture at level 0, made once per run
// (not timed); empty when it cannot be made.
std::string level0_r64(benchmark::State& state, int* w, int* h) {
  static std::string made;
  static int made_w, made_h;
  if (made.empty()) {
    Bytes rgb;
    if (!load_ppm(state, "raster_8192.ppm", &made_w, &made_h, &rgb)) return {};
    const std::string path = data_path("level0.r64");
    r64_init();
    R64_FILE* f = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', made_w, made_h);
    if (!f) return {};
    for (int y = 0; y < made_h; ++y)
      for (int x = 0; x < made_w; ++x) r64_set(f, x, y, 0, &rgb[(size_t(y) * made_w + x) * 3]);
    if (r64_close_file(f) != 0) return {};
    made = path;
  }
  *w = made_w;
  *h = made_h;
  return made;
}

// Every level of the file built from the one below it, written back; the
// rate counts the bytes of level 0.
void levels(benchmark::State& state, int (*build)(R64_FILE*, int)) {
  int w, h;
  const std::string path = level0_r64(state, &w, &h);
  if (path.empty()) return;
  for (auto _ : state) {
    R64_FILE* f = r64_open_file(path.c_str(), O_RDWR, 0, 0, 0, 0);
    for (int level = 0; level + 1 < kR64Levels && f->level_ofs[level + 1]; ++level)
      if (build(f, level) != 0) state.SkipWithError("level building failed");
    if (r64_close_file(f) != 0) state.SkipWithError("close failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * w * h * 3);
}

void BM_R64LevelsLofi8192(benchmark::State& state) { levels(state, r64_new_level_lofi); }
BENCHMARK(BM_R64LevelsLofi8192)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_R64LevelsHifi8192(benchmark::State& state) { levels(state, r64_new_level_hifi); }
BENCHMARK(BM_R64LevelsHifi8192)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GifCompress8192(benchmark::State& state) {
  int w, h;
  Bytes rgb;
  if (!load_ppm(state, "raster_8192.ppm", &w, &h, &rgb)) return;
  Bytes px = to_rgbx(rgb);
  rgb = Bytes();
  for (auto _ : state) {
    int32_t len;
    GIF_ENV ge;
    uint8_t* out = gif_compress(&len, &ge, nullptr, px.data(), w, h);
    if (!out) state.SkipWithError("gif_compress failed");
    d_f_ree(out);
  }
}
BENCHMARK(BM_GifCompress8192)->Unit(benchmark::kMillisecond)->UseRealTime();

// UTM zone 32 on GRS80, as the UTM import sets it up.
ELIPSOID zone32() {
  ELIPSOID ep{};
  ep.a = 6378137.0;
  ep.b = 6356752.314140356;
  ep.m0 = 0.9996;
  ep.org_Y0 = 500000;
  ep.org_lambda = 9 * M_PI / 180;
  ep.org_X_enable = 1;
  return ep;
}

// Rows of constant latitude across a zone, as the UTM import projects
// them; the same grid as the peers' script gives cs2cs.
void BM_ProjectRows(benchmark::State& state) {
  const int rows = 1000, cols = static_cast<int>(state.range(0)) / rows;
  const ELIPSOID ep = zone32();
  const double deg = M_PI / 180;
  for (auto _ : state) {
    double sum = 0;
    for (int j = 0; j < rows; ++j) {
      const double lat = (-80 + 164.0 * j / rows) * deg;
      for (int i = 0; i < cols; ++i) {
        double X, Y;
        utm2bl(&X, &Y, (6 + 6.0 * i / cols) * deg, lat, &ep);
        sum += X + Y;
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rows * cols);
}
BENCHMARK(BM_ProjectRows)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

void BM_ProjectRandom(benchmark::State& state) {
  const ELIPSOID ep = zone32();
  uint64_t s = 88172645463325252ull;
  auto next = [&] {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return double(s >> 11) / double(1ull << 53);
  };
  for (auto _ : state) {
    double X, Y;
    utm2bl(&X, &Y, (6 + 6 * next()) * M_PI / 180, (-80 + 164 * next()) * M_PI / 180, &ep);
    benchmark::DoNotOptimize(X + Y);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProjectRandom);

}  // namespace

BENCHMARK_MAIN();
