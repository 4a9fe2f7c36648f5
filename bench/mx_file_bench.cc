// The matrix file through the element-access cache: a 32768 x 32768 uint8
// matrix (256 x 256 nodes, each level halving), of which a SIDE x SIDE
// square is written row by row at level 0 (write_mx_cache_vector); every
// coarser level is built from 2 x 2 means of the level below, read back
// with read_mx_cache_vector; then the matrix is closed, reopened and every
// level read. Random single points are read last (a hit takes no lock).
// The level-0 write is timed up to the end of sync_matrix, which hands the
// file to the disk (fdatasync); that sync is also given on its own.
//
//   mx_file_bench DIR SIDE   prints one line of JSON: seconds of each phase
//                            (and of the sync ending the level-0 write),
//                            bytes of the file, peak RSS, points per second,
//                            and what the caches may hold: the record
//                            store's page cache and the node cache (the
//                            most nodes it lets in before it frees used
//                            ones, times a node's bytes, or its byte
//                            budget and a batch past it when more)
// bench/mx_file_peers.py runs it next to cp and GDAL on the same pixels.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "elements/element_type.h"
#include "matrix/element_cache.h"
#include "matrix/matrix.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix_ops/matrix_ops.h"
#include "runtime/zu_init.h"
#include "store/pdb64.h"
#include "stream/stream.h"
#include "text/convert.h"
#include "zu/reader.h"

namespace {

constexpr int64_t kMatrixSide = 32768;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// The pixel at (x, y) of the written square: the same bytes the peers get.
uint8_t pixel(int64_t x, int64_t y) { return static_cast<uint8_t>((x * 7 + y * 13 + ((x ^ y) >> 3)) & 255); }

void set_script(MATRIX* m, std::initializer_list<int> slots, const char* text) {
  STREAM* st = s_open_string_read(text, utf8_cm, static_cast<int>(std::strlen(text)), 1);
  ZU_SEXP* forms = init_parse(st, l_string(ascii_cm, "script"), nullptr);
  for (ZU_SEXP* p = forms; get_type(p) == ZU_TYPE_LIST; p = p->pair.cdr) {
  }
  for (int slot : slots) set_matrix_cal(m, slot, forms);
}

MATRIX* open_file(const std::string& path) {
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  int r = load_matrix_header(m, O_RDWR | O_CREAT, 0644);
  MATRIX_PARAM hooks{};
  hooks.read_file = matrix_standard_read_file;
  hooks.write_file = matrix_standard_write_file;
  hooks.close_file = close_matrix_file;
  set_matrix_param(m, &hooks);
  if (r == kMxNewFile) {
    MATRIX_PARAM p{};
    p.dim = 2;
    p.channel_nos = 1;
    set_matrix_param(m, &p);
    for (int d = 0; d < 2; ++d) {
      set_matrix_dim_divide(m, d, 1);
      set_matrix_block_size(m, d, 8);
      set_matrix_pixel_size(m, d, kMatrixSide);
    }
    MATRIX_CHANNEL_INFO inf{&mx_type_uint8_v, kMxChFile, nullptr, 0};
    set_matrix_channel_info(m, 0, &inf);
    r = save_matrix_header(m);
  }
  if (r != 0) {
    std::fprintf(stderr, "cannot open %s: %d\n", path.c_str(), r);
    std::exit(1);
  }
  set_script(m, {3, 4, 5},
             R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad target="file-n-create"))");
  set_script(m, {21, 22, 23}, "(mxSave)");
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
    p.c = &c;
    p.data_ix = &ix;
    p.data_ptrs[0] = &buf;
  }
  ~Cache() {
    flush_mx_cache(&c, 1);
    mxc_release(&c);
  }
  // A run of n elements of level `level` from (x, y) in that level's units.
  int run(int level, int64_t x, int64_t y, uint8_t* data, int64_t n, bool write) {
    int64_t dc[3] = {level, x << level, y << level};
    p.dc = dc;
    buf = data;
    p.vector_len = static_cast<int>(n);
    return write ? write_mx_cache_vector(&p) : read_mx_cache_vector(&p);
  }
  MX_CACHE c{};
  MX_CACHE_PARAM p{};
  int ch = 0;
  MX_CACHE_PARAM_IX ix{0, 0};
  void* buf = nullptr;
};

// The largest node-cache target seen (the access tick moves it).
int most_target = 0;
void note_target() {
  lock_task(matrix_lock);
  most_target = std::max(most_target, total_ncache_size);
  unlock_task(matrix_lock, "mx_file_bench");
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "mx_file_bench: %s failed\n", what);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: mx_file_bench DIR SIDE\n");
    return 2;
  }
  std::string path = std::string(argv[1]) + "/bench.mx";
  const int64_t side = std::atoll(argv[2]);
  init_zu();
  install_matrix_ops();
  init_matrix();
  set_matrix_gc_hooks();
  ZuThreadScope scope("mx_file_bench");
  unlink(path.c_str());
  MATRIX* m = open_file(path);
  int levels = 1;
  for (int64_t s = side; s > 1; s = (s + 1) / 2) ++levels;

  double t0 = now();
  std::vector<uint8_t> row(static_cast<size_t>(side));
  {
    Cache w(m);
    for (int64_t y = 0; y < side; ++y) {
      for (int64_t x = 0; x < side; ++x) row[static_cast<size_t>(x)] = pixel(x, y);
      check(w.run(0, 0, y, row.data(), side, true) == side, "level 0 write");
    }
  }
  // Every node saved, then the sync (the rest of the write-back and the
  // fdatasync) timed on its own: a copy with cp ends before that.
  mx_file_sync_create_node(m);
  double ts = now();
  sync_matrix(m);
  note_target();
  double t1 = now();
  {
    Cache r(m), w(m);
    std::vector<uint8_t> a(static_cast<size_t>(side)), b(a.size());
    int64_t below = side;
    for (int level = 1; level < levels; ++level) {
      int64_t s = (below + 1) / 2;
      for (int64_t y = 0; y < s; ++y) {
        check(r.run(level - 1, 0, 2 * y, a.data(), below, false) == below, "level read");
        bool two = 2 * y + 1 < below;
        if (two) check(r.run(level - 1, 0, 2 * y + 1, b.data(), below, false) == below, "level read");
        for (int64_t x = 0; x < s; ++x) {
          int64_t x1 = std::min(2 * x + 1, below - 1);
          unsigned sum = a[2 * x] + a[x1] + (two ? b[2 * x] + b[x1] : a[2 * x] + a[x1]);
          row[static_cast<size_t>(x)] = static_cast<uint8_t>(sum / 4);
        }
        check(w.run(level, 0, y, row.data(), s, true) == s, "level write");
      }
      below = s;
    }
  }
  sync_matrix(m);
  note_target();
  close_matrix(m);
  double t2 = now();

  m = open_file(path);
  int64_t checksum = 0;
  {
    Cache r(m);
    int64_t s = side;
    for (int level = 0; level < levels; ++level, s = (s + 1) / 2)
      for (int64_t y = 0; y < s; ++y) {
        check(r.run(level, 0, y, row.data(), s, false) == s, "read back");
        checksum += row[static_cast<size_t>(y % s)];
      }
  }
  double t3 = now();
  // Random points at level 0, each inside the node held just before with
  // probability 1/2 (a hit) or anywhere (a miss).
  int64_t points = 0;
  double t4;
  {
    Cache r(m);
    std::mt19937_64 rng(7);
    uint8_t v = 0;
    r.p.data_ptrs[0] = &v;
    int64_t dc[3] = {0, 0, 0};
    r.p.dc = dc;
    double start = now();
    while ((t4 = now()) - start < 1.0)
      for (int i = 0; i < 1000; ++i, ++points) {
        if (rng() & 1) {
          dc[1] = static_cast<int64_t>(rng() % static_cast<uint64_t>(side));
          dc[2] = static_cast<int64_t>(rng() % static_cast<uint64_t>(side));
        } else {
          dc[1] = (dc[1] & ~int64_t{255}) + static_cast<int64_t>(rng() % 256);
          dc[1] = std::min(dc[1], side - 1);
        }
        check(read_mx_cache(&r.p) == 0, "point read");
      }
    points = static_cast<int64_t>(static_cast<double>(points) / (t4 - start));
  }
  note_target();
  close_matrix(m);
  struct stat st {};
  stat(path.c_str(), &st);
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  const long long page_cache_kb = static_cast<long long>(fac_general_info.total_entries) * kFacPageSize / 1024;
  const long long node_kb = 256 * 256 / 1024;  // one uint8 node of 256 x 256
  // Past its byte budget a batch of the target comes in before a purge.
  const long long node_cache_kb =
      std::max<long long>(static_cast<long long>(kMxPurgeFarOver + 1) * most_target * node_kb,
                          node_cache_bytes / 1024 * (kMxPurgeFarOver + 1) / kMxPurgeFarOver);
  std::printf(
      "{\"side\": %lld, \"levels\": %d, \"write0_s\": %.4f, \"sync0_s\": %.4f, \"pyramid_s\": %.4f, \"read_s\": %.4f, "
      "\"file_bytes\": %lld, \"peak_rss_kb\": %ld, \"points_per_s\": %lld, \"checksum\": %lld, "
      "\"page_cache_kb\": %lld, \"node_target\": %d, \"node_cache_kb\": %lld}\n",
      static_cast<long long>(side), levels, t1 - t0, t1 - ts, t2 - t1, t3 - t2, static_cast<long long>(st.st_size),
      ru.ru_maxrss, static_cast<long long>(points), static_cast<long long>(checksum), page_cache_kb, most_target,
      node_cache_kb);
  unlink(path.c_str());
  return 0;
}
