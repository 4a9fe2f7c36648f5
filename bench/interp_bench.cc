// Interpolated reads through the element-access cache: a SIDE x SIDE double
// matrix in 256 x 256 nodes (with the extra element per node that cells on
// node edges need) is filled at level 0, then read at real coordinates:
// points inside one cell (the corner memory), random points over the whole
// matrix one by one, and the same random points as one batch.
//
//   interp_bench DIR SIDE N   prints one line of JSON: points per second of
//                             each pass; leaves DIR/grid.f64 (the level-0
//                             values, x fastest), DIR/random.f64 and
//                             DIR/same.f64 (N points, x and y of each) and
//                             DIR/ours.f64 (our values at the random points)
//   interp_bench DIR SIDE N rounds
//                             the same, then times one pass a line of its
//                             standard input until its end: "random" reads
//                             the random points one by one, "batch" reads
//                             them as one batch; each line is answered with
//                             the seconds of the pass
// bench/interp_peers.py runs it next to scipy's RegularGridInterpolator,
// a round of ours, then one of scipy's.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "elements/element_type.h"
#include "elements/interp.h"
#include "elements/pool.h"
#include "matrix/element_cache.h"
#include "matrix/matrix.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix_ops/matrix_ops.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "text/codemethod.h"
#include "text/convert.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

void die(const char* what) {
  std::fprintf(stderr, "interp_bench: %s failed\n", what);
  std::exit(1);
}

double pixel(int64_t x, int64_t y) {
  return static_cast<double>((x * 7919 + y * 104729 + ((x * y) % 613)) % 1000) / 10.0;
}

MATRIX* open_file(const std::string& path, int64_t side) {
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  if (load_matrix_header(m, O_RDWR | O_CREAT, 0644) != kMxNewFile) die("open");
  MATRIX_PARAM p{};
  p.read_file = matrix_standard_read_file;
  p.write_file = matrix_standard_write_file;
  p.close_file = close_matrix_file;
  p.dim = 2;
  p.channel_nos = 1;
  p.flags = kMxIndexHem;
  set_matrix_param(m, &p);
  for (int d = 0; d < 2; ++d) {
    set_matrix_dim_divide(m, d, 1);
    set_matrix_block_size(m, d, 8);
    set_matrix_pixel_size(m, d, side);
  }
  MATRIX_CHANNEL_INFO inf{&mx_type_double_v, kMxChFile, nullptr, 0};
  set_matrix_channel_info(m, 0, &inf);
  if (save_matrix_header(m) != 0) die("header");
  ZU_SEXP* fetch = sexp_commands(utf8_cm, R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad target="file-n-create"))", nullptr);
  for (int slot : {3, 4, 5}) set_matrix_cal(m, slot, fetch);
  set_matrix_mode(m, kMxModeActive);
  return m;
}

struct Cache {
  explicit Cache(MATRIX* m) {
    c.m = m;
    c.access_ch = &ch;
    c.ds_len = 1;
    c.gn_create = c.gn_wait = 3;
    mxc_setup(&c);
  }
  ~Cache() {
    flush_mx_cache(&c, 1);
    for (int k = 0; k < c.mblk_hashsize; ++k)
      while (MBLK* b = c.mblk_hash[k]) {
        c.mblk_hash[k] = b->next;
        d_f_ree(b);
      }
    mxc_release(&c);
  }
  MX_CACHE c{};
  int ch = 0;
};

// Every element of every node, its extra element included.
void fill(MATRIX* m, int64_t side) {
  Cache k(m);
  MX_CACHE_PARAM_IX ix{0, 0};
  double v = 0;
  MX_CACHE_PARAM p{};
  p.c = &k.c;
  p.data_ix = &ix;
  p.data_ptrs[0] = &v;
  for (int64_t oy = 0; oy < side; oy += 256)
    for (int64_t ox = 0; ox < side; ox += 256)
      for (int j = 0; j <= 256; ++j)
        for (int i = 0; i <= 256; ++i) {
          int64_t dc[3] = {0, ox, oy};
          int ofs[2] = {i, j};
          p.dc = dc;
          p.ofs = ofs;
          v = pixel(ox + i, oy + j);
          write_mx_cache(&p);  // past the matrix's last node: refused
        }
}

void save(const std::string& path, const std::vector<double>& v) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(v.data(), sizeof(double), v.size(), f) != v.size() || std::fclose(f) != 0) die("save");
}

// Points per second of reading every point one by one, the pass repeated
// until it took min_seconds (at least once).
double single_reads(MX_CACHE* c, const std::vector<double>& pts, std::vector<double>* values, double min_seconds) {
  MX_CACHE_PARAM_IX ix{0, 0};
  double out = 0;
  MX_CACHE_PARAM p{};
  p.c = c;
  p.data_ix = &ix;
  p.data_ptrs[0] = &out;
  int64_t done = 0;
  const double t0 = now();
  do {
    for (size_t n = 0; n < pts.size(); n += 2) {
      p.inp_buf = const_cast<double*>(&pts[n]);
      if (read_mx_ip_double(&p) != 0) die("read");
      if (values) (*values)[n / 2] = out;
    }
    done += static_cast<int64_t>(pts.size() / 2);
    values = nullptr;
  } while (now() - t0 < min_seconds);
  return static_cast<double>(done) / (now() - t0);
}

double batch_reads(MX_CACHE* c, const std::vector<double>& pts, double min_seconds) {
  const size_t n = pts.size() / 2;
  std::vector<double> xs(n), ys(n), r0(n);
  for (size_t k = 0; k < n; ++k) xs[k] = pts[2 * k], ys[k] = pts[2 * k + 1];
  double* coords[2] = {xs.data(), ys.data()};
  double* outs[1] = {r0.data()};
  MX_IP_V in{static_cast<int>(n), nullptr, coords}, out{static_cast<int>(n), nullptr, outs};
  MX_CACHE_PARAM_IX ix{0, 0};
  MX_CACHE_PARAM p{};
  p.c = c;
  p.data_ix = &ix;
  p.inp_buf = &in;
  p.ret_buf = &out;
  int64_t done = 0;
  const double t0 = now();
  do {
    if (read_mx_ip_double_v(&p) != 0) die("batch");
    done += static_cast<int64_t>(n);
  } while (now() - t0 < min_seconds);
  return static_cast<double>(done) / (now() - t0);
}

// Answers every line of standard input with the seconds of one pass over
// the points: "random" one by one, "batch" as one batch.
void serve_rounds(MX_CACHE* c, const std::vector<double>& pts) {
  const double points = static_cast<double>(pts.size() / 2);
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    const std::string what(line, std::strcspn(line, "\r\n"));
    if (what == "random")
      std::printf("%.9f\n", points / single_reads(c, pts, nullptr, 0));
    else if (what == "batch")
      std::printf("%.9f\n", points / batch_reads(c, pts, 0));
    else
      std::printf("unknown round %s\n", what.c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool rounds = argc == 5 && std::string(argv[4]) == "rounds";
  if (argc < 4 || (argc > 4 && !rounds)) {
    std::fprintf(stderr, "usage: interp_bench DIR SIDE N [rounds]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int64_t side = std::atoll(argv[2]);
  const size_t count = static_cast<size_t>(std::atoll(argv[3]));
  init_zu();
  install_matrix_ops();
  init_matrix();
  set_matrix_gc_hooks();
  ZuThreadScope scope("interp_bench");
  const std::string path = dir + "/interp.mx";
  unlink(path.c_str());
  MATRIX* m = open_file(path, side);
  fill(m, side);
  std::vector<double> grid(static_cast<size_t>(side * side));
  for (int64_t y = 0; y < side; ++y)
    for (int64_t x = 0; x < side; ++x) grid[static_cast<size_t>(y * side + x)] = pixel(x, y);
  save(dir + "/grid.f64", grid);
  std::mt19937_64 rng(8130);
  std::uniform_real_distribution<double> anywhere(0.0, static_cast<double>(side - 1) - 1e-6), inside(0.0, 0.999);
  std::vector<double> random(2 * count), same(2 * count), values(count);
  for (size_t n = 0; n < 2 * count; ++n) random[n] = anywhere(rng), same[n] = static_cast<double>(side / 2 + 5) + inside(rng);
  save(dir + "/random.f64", random);
  save(dir + "/same.f64", same);
  {
    Cache k(m);
    const double same_rate = single_reads(&k.c, same, nullptr, 0.3);
    const double random_rate = single_reads(&k.c, random, &values, 0.3);
    const double batch_rate = batch_reads(&k.c, random, 0.3);
    save(dir + "/ours.f64", values);
    std::printf("{\"side\": %lld, \"points\": %zu, \"same_cell\": %.0f, \"random\": %.0f, \"random_batch\": %.0f}\n",
                static_cast<long long>(side), count, same_rate, random_rate, batch_rate);
    std::fflush(stdout);
    if (rounds) serve_rounds(&k.c, random);
  }
  close_matrix(m);
  unlink(path.c_str());
  return 0;
}
