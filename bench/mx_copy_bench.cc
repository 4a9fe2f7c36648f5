// Scans and copies over a stored pyramid: a SIDE x SIDE uint8 matrix in
// 256 x 256 nodes (each level halving) is written at level 0 through the
// element-access cache and every node is registered in its parent; then a
// scan fires a trivial script on every stored node ("post", the whole
// area), and matrix_copy copies every node into a new matrix file, which
// is closed.
//
//   mx_copy_bench DIR SIDE   prints one line of JSON: seconds of the write,
//                            scan and copy, nodes, bytes of the source
//                            file (left as DIR/src.mx for the peers)
// bench/mx_copy_peers.py runs it next to cp and gdal_translate.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "elements/element_type.h"
#include "matrix/element_cache.h"
#include "matrix/matrix.h"
#include "matrix/mx_file.h"
#include "matrix/node.h"
#include "matrix/node_copy.h"
#include "matrix/scan.h"
#include "matrix_ops/matrix_ops.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "text/codemethod.h"
#include "text/convert.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// The same pixels as bench/mx_file_bench.cc and the peers' PGM.
uint8_t pixel(int64_t x, int64_t y) { return static_cast<uint8_t>((x * 7 + y * 13 + ((x ^ y) >> 3)) & 255); }

void die(const char* what) {
  std::fprintf(stderr, "mx_copy_bench: %s failed\n", what);
  std::exit(1);
}

MATRIX* open_file(const std::string& path, int64_t side) {
  MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
  int r = load_matrix_header(m, O_RDWR | O_CREAT, 0644);
  MATRIX_PARAM p{};
  p.read_file = matrix_standard_read_file;
  p.write_file = matrix_standard_write_file;
  p.close_file = close_matrix_file;
  if (r == kMxNewFile) {
    p.dim = 2;
    p.channel_nos = 1;
  }
  set_matrix_param(m, &p);
  if (r == kMxNewFile) {
    for (int d = 0; d < 2; ++d) {
      set_matrix_dim_divide(m, d, 1);
      set_matrix_block_size(m, d, 8);
      set_matrix_pixel_size(m, d, side);
    }
    MATRIX_CHANNEL_INFO inf{&mx_type_uint8_v, kMxChFile, nullptr, 0};
    set_matrix_channel_info(m, 0, &inf);
    r = save_matrix_header(m);
  }
  if (r != 0) die("open");
  auto script = [m](std::initializer_list<int> slots, const char* text) {
    ZU_SEXP* forms = sexp_commands(utf8_cm, text, nullptr);
    for (int slot : slots) set_matrix_cal(m, slot, forms);
  };
  script({3, 4, 5}, R"((mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad target="file-n-create"))");
  script({6, 7, 8}, "(quote 1)");
  script({21, 22, 23}, "(mxSave)");
  set_matrix_mode(m, kMxModeActive);
  return m;
}

void write_level0(MATRIX* m, int64_t side) {
  MX_CACHE c{};
  int ch = 0;
  c.m = m;
  c.access_ch = &ch;
  c.ds_len = 1;
  c.gn_create = c.gn_wait = 3;
  mxc_setup(&c);
  MX_CACHE_PARAM_IX ix{0, 0};
  std::vector<uint8_t> row(static_cast<size_t>(side));
  void* buf = row.data();
  MX_CACHE_PARAM p{};
  p.c = &c;
  p.data_ix = &ix;
  p.data_ptrs[0] = &buf;
  p.vector_len = static_cast<int>(side);
  for (int64_t y = 0; y < side; ++y) {
    for (int64_t x = 0; x < side; ++x) row[static_cast<size_t>(x)] = pixel(x, y);
    int64_t dc[3] = {0, 0, y};
    p.dc = dc;
    if (write_mx_cache_vector(&p) != side) die("level 0 write");
  }
  flush_mx_cache(&c, 1);
  mxc_release(&c);
  // Every node enters its parent's child list, as a pyramid built by
  // fetches has it.
  for (int64_t y = 0; y < side; y += 256)
    for (int64_t x = 0; x < side; x += 256) {
      int64_t dc[3] = {0, x, y};
      int err = 0;
      if (MATRIX_NODE* n = get_matrix_tree(&err, m, dc, 2, 0)) unlock_node(n, nullptr);
    }
  if (mx_file_sync_create_node(m) != 0) die("sync");
}

int count_nodes(MATRIX_SCAN_T* mst) {
  ++*static_cast<int64_t*>(mst->work);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: mx_copy_bench DIR SIDE\n");
    return 2;
  }
  const std::string src_path = std::string(argv[1]) + "/src.mx", dest_path = std::string(argv[1]) + "/dest.mx";
  const int64_t side = std::atoll(argv[2]);
  init_zu();
  install_matrix_ops();
  init_matrix();
  set_matrix_gc_hooks();
  ZuThreadScope scope("mx_copy_bench");
  unlink(src_path.c_str());
  unlink(dest_path.c_str());
  MATRIX* src = open_file(src_path, side);
  double t0 = now();
  write_level0(src, side);
  double t1 = now();
  int64_t start[3] = {0, 0, 0}, end[3] = {0, side - 1, side - 1}, nodes = 0;
  if (matrix_scan(src, 1, 7, start, end, count_nodes, &nodes) != 0) die("scan");
  double t2 = now();
  MATRIX* dest = open_file(dest_path, side);
  const int channels[] = {0, -1};
  if (matrix_copy(dest, src, channels, 0) != 0) die("copy");
  close_matrix(dest);
  double t3 = now();
  close_matrix(src);
  struct stat st {};
  stat(src_path.c_str(), &st);
  std::printf("{\"side\": %lld, \"write_s\": %.4f, \"scan_s\": %.4f, \"nodes\": %lld, \"copy_s\": %.4f, "
              "\"file_bytes\": %lld}\n",
              static_cast<long long>(side), t1 - t0, t2 - t1, static_cast<long long>(nodes), t3 - t2,
              static_cast<long long>(st.st_size));
  unlink(dest_path.c_str());
  return 0;
}
